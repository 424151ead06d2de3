#pragma once
// Accepted captures waiting for their services. Each documentation record is
// written to disk (written, flushed to the disk and renamed into place)
// before its first attempt and removed only once its service has confirmed
// that it stored it. Failed attempts are retried with a growing delay, always
// with the same record (same ids); a refusal that no retry can mend (a 4xx
// other than 401, 403, 408 and 429) stops the retries and keeps the record
// for the user to retry, save or discard. Records left from an earlier run
// are sent again at start.
//
// Each record belongs to the account that accepted it (clinic user, service
// URL and, for the chart, the EMR practice) and is sent only while that
// account is signed in. Before an attempt the record is marked on disk as
// possibly in flight; the EMR sender uses the mark to look in the chart
// before sending again.

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
    // Whose capture a record is.
    struct Account {
        QString user;     // clinic user name
        QString service;  // clinic service URL
        QString practice; // EMR practice ("" without an EMR)
        bool isEmpty() const { return user.isEmpty(); }
        bool operator==(const Account &other) const = default;
    };

    struct Entry {
        QString key;         // file name stem: destination + record id
        QString destination; // "clinic" or "emr"
        QVariantMap record;
        QVariantMap appointmentInfo;
        Account account;
        QDateTime acceptedAt;
        int attempts = 0;
        QString lastError;
        bool inFlight = false;
        // An earlier attempt may have reached the service (kept on disk).
        bool mayHaveReached = false;
        // The service refused the record for good; no automatic retries.
        bool refused = false;
    };

    // What one attempt came to.
    struct Outcome {
        enum Kind { Filed, Failed, Refused };
        Kind kind = Failed;
        QString error;
        // False when the attempt certainly did not reach the service (no
        // connection, an answer that refuses the record).
        bool reached = true;
        static Outcome filed() { return {Filed, QString(), true}; }
        static Outcome failed(const QString &error, bool reached = true) { return {Failed, error, reached}; }
        static Outcome refusedFor(const QString &error) { return {Refused, error, false}; }
    };
    // `done` must be called once (any thread). The sender returns a function
    // that cancels the attempt (may be empty).
    using Done = std::function<void(const Outcome &outcome)>;
    using Cancel = std::function<void()>;
    using Sender = std::function<Cancel(const Entry &entry, Done done)>;
    // The account signed in now (an empty user while signed out).
    using AccountSource = std::function<Account()>;

    // A record to store with enqueueAll().
    struct NewRecord {
        QString destination;
        QVariantMap record;
        QVariantMap appointmentInfo;
    };

    static constexpr const char *kClinic = "clinic";
    static constexpr const char *kEMR = "emr";

    // `directory` keeps the pending records (made when missing, mode 0700).
    explicit DocumentationUploadQueue(const QString &directory, QObject *parent = nullptr);
    ~DocumentationUploadQueue() override;

    void setSender(const QString &destination, Sender sender);
    // Without a source every record is sent whoever is signed in (tools and
    // tests); with one, a record is sent only while its account is.
    void setAccountSource(AccountSource source);
    // First retry delay and its ceiling; an attempt without an answer after
    // `attemptTimeoutMs` is cancelled and counts as failed.
    void setRetryPolicy(int firstDelayMs, int maxDelayMs, int attemptTimeoutMs);

    // Stores every record durably under the current account, then starts
    // them. All or nothing: when one cannot be stored none is kept, nothing
    // is sent and `error` says why.
    bool enqueueAll(const QList<NewRecord> &records, QString *error = nullptr);
    bool enqueue(const QString &destination, const QVariantMap &record,
                 const QVariantMap &appointmentInfo = {}, QString *error = nullptr);
    // Loads the records left on disk and starts them.
    void resumeStored();
    // Tries every waiting entry (not the refused ones) now.
    void retryNow();
    // The signed-in account may have changed: start what may be sent now.
    void accountChanged();

    // The user's choices for one record.
    bool retry(const QString &key);
    bool discard(const QString &key);
    // Writes the record's image as PNG; an error text, empty on success.
    QString saveImage(const QString &key, const QString &path) const;
    // While paused (the user has signed out) nothing is sent; records stay
    // stored. Unpausing tries every waiting entry at once.
    Q_INVOKABLE void setPaused(bool paused);
    bool isPaused() const { return m_paused; }

    int pendingCount() const { return int(m_entries.size()); }
    // Entries whose last attempt failed or that were refused.
    int failedCount() const;
    int refusedCount() const;
    // The user names whose sign-in the waiting records need (none for the
    // account signed in now).
    QStringList waitingForUsers() const;
    bool isWaitingForAccount(const Entry &entry) const;
    QList<Entry> entries() const { return m_entries.values(); }
    QString directory() const { return m_directory; }

signals:
    // After every change of the counts.
    void pendingChanged(int pending, int failed);
    // An attempt failed; it will be retried.
    void uploadFailed(const QString &destination, const QString &error);
    // The service refused a record for good; it waits for the user.
    void uploadRefused(const QString &destination, const QString &error);
    // A service confirmed a record.
    void uploadSucceeded(const QString &destination, const QString &recordID);

private:
    void attempt(const QString &key);
    void finish(const QString &key, int attemptNumber, const Outcome &outcome);
    void scheduleRetry(const QString &key, int attempts);
    void dropTimer(const QString &key);
    QString store(const Entry &entry) const;
    QString pathFor(const QString &key) const;
    bool mayAttempt(const Entry &entry) const;
    void watchAccounts();
    void announce();

    QString m_directory;
    QHash<QString, Sender> m_senders;
    AccountSource m_accountSource;
    QHash<QString, Entry> m_entries;
    QHash<QString, QTimer *> m_timers;
    QHash<QString, Cancel> m_cancels;
    QTimer m_accountWatch;
    QStringList m_announcedWaiting;
    int m_firstDelayMs = 2000;
    int m_maxDelayMs = 300000;
    int m_attemptTimeoutMs = 120000;
    bool m_paused = false;
};

// For tests of crash safety: when the environment variable
// KC_UPLOAD_QUEUE_STOP_AT names `step` (optionally "step:destination"), the
// process writes "kc-upload-queue: stopped at <step>" to stderr and stops
// itself (SIGSTOP) there. Steps: "before-send" (marked as in flight, nothing
// sent), "answer-received" (the service answered, nothing recorded yet),
// "filed-before-remove" (confirmed, the record still on disk).
void kcUploadQueueTestStop(const char *step, const QString &destination);
