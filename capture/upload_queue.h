#pragma once
// Accepted captures waiting for their services. Each documentation record is
// written to disk before its first attempt and removed only once its service
// has acknowledged it; failed attempts are retried with a growing delay,
// always with the same record (same ids), so a service that files by id
// cannot file it twice. Records left from an earlier run are sent again at
// start.

#include <QDateTime>
#include <QHash>
#include <QObject>
#include <QString>
#include <QTimer>
#include <QVariantMap>

#include <functional>

class DocumentationUploadQueue : public QObject {
    Q_OBJECT
public:
    struct Entry {
        QString key;         // file name stem: destination + record id
        QString destination; // "clinic" or "emr"
        QVariantMap record;
        QVariantMap appointmentInfo;
        int attempts = 0;
        QString lastError;
        bool inFlight = false;
    };
    // Sends one entry; `done` must be called once (any thread), with an empty
    // error on success.
    using Done = std::function<void(const QString &error)>;
    using Sender = std::function<void(const Entry &entry, Done done)>;

    static constexpr const char *kClinic = "clinic";
    static constexpr const char *kEMR = "emr";

    // `directory` keeps the pending records (made when missing, mode 0700).
    explicit DocumentationUploadQueue(const QString &directory, QObject *parent = nullptr);
    ~DocumentationUploadQueue() override;

    void setSender(const QString &destination, Sender sender);
    // First retry delay and its ceiling; an attempt without an answer after
    // `attemptTimeoutMs` counts as failed.
    void setRetryPolicy(int firstDelayMs, int maxDelayMs, int attemptTimeoutMs);

    // Stores the record and starts its first attempt. False (and nothing
    // queued) when it cannot be stored.
    bool enqueue(const QString &destination, const QVariantMap &record,
                 const QVariantMap &appointmentInfo = {});
    // Loads the records left on disk and starts them.
    void resumeStored();
    // Tries every waiting entry now.
    void retryNow();
    // While paused (the user has signed out) nothing is sent; records stay
    // stored. Unpausing tries every waiting entry at once.
    Q_INVOKABLE void setPaused(bool paused);
    bool isPaused() const { return m_paused; }

    int pendingCount() const { return int(m_entries.size()); }
    // Entries whose last attempt failed.
    int failedCount() const;
    QList<Entry> entries() const { return m_entries.values(); }
    QString directory() const { return m_directory; }

signals:
    // After every change of the counts.
    void pendingChanged(int pending, int failed);
    // An attempt failed; it will be retried.
    void uploadFailed(const QString &destination, const QString &error);
    // A service acknowledged a record.
    void uploadSucceeded(const QString &destination, const QString &recordID);

private:
    void attempt(const QString &key);
    void finish(const QString &key, int attemptNumber, const QString &error);
    bool store(const Entry &entry) const;
    QString pathFor(const QString &key) const;
    void announce();

    QString m_directory;
    QHash<QString, Sender> m_senders;
    QHash<QString, Entry> m_entries;
    QHash<QString, QTimer *> m_timers;
    int m_firstDelayMs = 2000;
    int m_maxDelayMs = 300000;
    int m_attemptTimeoutMs = 120000;
    bool m_paused = false;
};
