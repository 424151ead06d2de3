#pragma once
// Accepted captures waiting for their services. Each capture is stored,
// sealed (sealed_outbox.h), before its first attempt: its image once, and a
// record per destination, each written, flushed to the disk and renamed into
// place; a record is removed only once its service has confirmed that it
// stored it. Failed attempts are retried with a growing delay, always with
// the same record (same ids); a refusal that no retry can mend (a 4xx other
// than 401, 403, 408 and 429) stops the retries and keeps the record for the
// user to retry, save or discard. Records left from an earlier run are sent
// again at start; records that cannot be read are kept for the user to
// discard.
//
// Each record belongs to the account that accepted it (clinic user, service
// URL and, for the chart, the EMR practice) and is sent only while that
// account is signed in. Before an attempt the record is marked on disk as
// possibly in flight; the EMR sender uses the mark to look in the chart
// before sending again.
//
// Records are sent one at a time per destination, oldest first; while a
// service cannot be reached only its oldest record is tried, with a growing
// delay, and the others follow once it answers. All file
// work (PNG encoding, sealing, JSON, flushing) runs on a worker thread; the
// queue itself lives on the thread that made it, as do its signals and the
// calls of the senders.

#include "capture/outbox/sealed_outbox.h"

#include <QElapsedTimer>
#include <QHash>
#include <QImage>
#include <QObject>
#include <QString>
#include <QTimer>
#include <QVariantMap>

#include <functional>
#include <memory>
#include <optional>

class DispatchQueue;

class DocumentationUploadQueue : public QObject {
    Q_OBJECT
public:
    using Account = KCUploadAccount;
    using Entry = KCOutboxEntry;

    // What one attempt came to.
    struct Outcome {
        enum Kind { Filed, Failed, Refused };
        Kind kind = Failed;
        QString error;
        // False when the attempt certainly did not reach the service (no
        // connection, an answer that refuses the record).
        bool reached = true;
        // The service could not be reached or takes nothing now (no
        // connection, no answer, busy, not set up): its other records wait
        // with this one rather than being tried one after another.
        bool unavailable = false;
        static Outcome filed() { return {Filed, QString(), true, false}; }
        // This record failed; the service is there.
        static Outcome failed(const QString &error, bool reached = true) {
            return {Failed, error, reached, false};
        }
        static Outcome unreachable(const QString &error, bool reached = false) {
            return {Failed, error, reached, true};
        }
        static Outcome refusedFor(const QString &error) { return {Refused, error, false, false}; }
    };
    // A sender is called on the queue's thread and must call `done` once
    // (any thread). It returns a function that cancels the attempt (may be
    // empty). The entry's record carries its image as "content".
    using Done = std::function<void(const Outcome &outcome)>;
    using Cancel = std::function<void()>;
    using Sender = std::function<Cancel(const Entry &entry, Done done)>;
    // For senders: runs `start` on a worker thread (building a request body,
    // a PDF) and returns a function that cancels what `start` began, or
    // keeps it from beginning. A queue that goes away waits for such work
    // still running, so that none outlives the application.
    static Cancel inBackground(std::function<Cancel()> start);
    // The account signed in now (an empty user while signed out).
    using AccountSource = std::function<Account()>;

    // One destination's record of a capture to store. Of `patient` only the
    // ids are kept.
    struct NewRecord {
        QString destination;
        QVariantMap record;
        QVariantMap patient = {};
    };

    static constexpr const char *kClinic = "clinic";
    static constexpr const char *kEMR = "emr";

    // `directory` keeps the pending records (made when missing, mode 0700).
    // The queue takes its lock (outbox_lock.h); when another process holds
    // it, the queue stores, loads and sends nothing and says why
    // (lockProblem()).
    // The key that seals them is kept in `keyStore` (the desktop keyring
    // when none is given); it is asked for at once, in the background. Until
    // the keyring answers (an unlock prompt may be open), and when it keeps
    // no key, captures are sealed with a key held in memory; once it gives
    // its key, they are sealed again with that.
    explicit DocumentationUploadQueue(const QString &directory, QObject *parent = nullptr,
                                      std::shared_ptr<KCSecretStore> keyStore = nullptr);
    ~DocumentationUploadQueue() override;

    void setSender(const QString &destination, Sender sender);
    // Without a source every record is sent whoever is signed in (tools and
    // tests); with one, a record is sent only while its account is.
    void setAccountSource(AccountSource source);
    // First retry delay and its ceiling; an attempt without an answer after
    // `attemptTimeoutMs` is cancelled and counts as failed.
    void setRetryPolicy(int firstDelayMs, int maxDelayMs, int attemptTimeoutMs);

    // Accept: stores the capture (its image encoded as PNG, once) and one
    // record per destination under the current account, in the background,
    // then starts them. All or nothing. `done` runs on the queue's thread
    // with "" or why nothing was stored.
    void enqueueCapture(const QImage &image, const QList<NewRecord> &records,
                        std::function<void(const QString &error)> done);
    // The same with the PNG bytes (none: records without an image), waiting
    // until they are stored. For tools and tests.
    bool enqueueAll(const QByteArray &png, const QList<NewRecord> &records, QString *error = nullptr);
    bool enqueue(const QString &destination, const QVariantMap &record, const QVariantMap &patient = {},
                 QString *error = nullptr);
    // Loads the records left on disk, in the background once the keyring has
    // answered, and starts them; loaded() follows.
    void resumeStored();
    // Tries every waiting entry (not the refused ones) now.
    void retryNow();
    // The keyring appeared, unlocked or changed its items (the Secret
    // Service's signals): when captures wait for its key, or are sealed
    // with a key held in memory, it is asked again; then the waiting ones
    // are read and the others sealed again with its key.
    void keyringChanged();
    // The signed-in account or today's patient list may have changed: start
    // what may be sent now (services that could not be reached are tried
    // again).
    void accountChanged();

    // The user's choices for one record, taken only from the account that
    // accepted it (with an account source): never while signed out, never
    // for another account's record.
    bool mayAct(const Entry &entry) const;
    bool retry(const QString &key);
    bool discard(const QString &key);
    // Writes the capture's image (PNG, mode 0600); an error text, empty on
    // success.
    QString saveImage(const QString &key, const QString &path) const;
    // While paused (the user has signed out) nothing is sent; records stay
    // stored. Unpausing tries every waiting entry at once.
    Q_INVOKABLE void setPaused(bool paused);
    bool isPaused() const { return m_paused; }

    int pendingCount() const { return int(m_entries.size()); }
    // Entries whose last attempt failed, that were refused or cannot be read.
    int failedCount() const;
    int refusedCount() const;
    int unreadableCount() const;
    // Entries sealed with a key held in memory only: lost if the application
    // quits before they are sent; and why the key is not kept.
    int lostAtQuitCount() const;
    QString keyProblem() const { return m_keyProblem; }
    // Why this queue neither sends nor stores anything: another process
    // holds the folder (outbox_lock.h); "" when this one does.
    QString lockProblem() const { return m_lockProblem; }
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
    // The records of resumeStored() are in.
    void loaded();

private:
    template <typename Work, typename Then> void onDisk(Work work, Then then);
    QList<Entry> newEntries(const QString &capture, const QList<NewRecord> &records, QString *error);
    void insertStored(const QList<Entry> &entries, const QString &keyProblem);
    void keyringAnswered();
    void resealInMemory();
    void rereadWaitingForKey();
    void recheckAccounts();
    qint64 retryDelay(int attempts) const;
    void pump();
    void attempt(const QString &key);
    void prepared(const QString &key, int attemptNumber, bool earlierMayHaveReached, const QString &error,
                  bool unreadable, const QString &content);
    // `earlierMayHaveReached`: whether an attempt before this one may have
    // reached the service; an attempt that certainly did not reach it
    // leaves that as it was.
    void finish(const QString &key, int attemptNumber, const Outcome &outcome, bool earlierMayHaveReached);
    void store(const Entry &entry);
    // The account signed in now; none without an account source (then every
    // record may be sent).
    std::optional<Account> signedIn() const;
    static bool mayAttempt(const Entry &entry, const std::optional<Account> &now);
    void watchAccounts();
    void announce();

    QString m_directory;
    std::shared_ptr<KCSealedOutbox> m_disk; // used on m_io only
    std::shared_ptr<DispatchQueue> m_io;
    QHash<QString, Sender> m_senders;
    AccountSource m_accountSource;
    QHash<QString, Entry> m_entries;
    // When each waiting entry, and each destination whose service could not
    // be reached, may be tried next (m_clock's milliseconds); the number of
    // such attempts in a row per destination.
    QHash<QString, qint64> m_dueAt;
    QHash<QString, qint64> m_destinationDueAt;
    QHash<QString, int> m_unavailableAttempts;
    QHash<QString, Cancel> m_cancels;
    QElapsedTimer m_clock;
    QTimer m_wake;
    QTimer m_accountWatch;
    QStringList m_announcedWaiting;
    QString m_keyProblem;
    QString m_lockProblem;
    QDateTime m_lastAcceptedAt;
    bool m_keyringAnswered = false;
    bool m_loadWhenKeyringAnswers = false;
    int m_firstDelayMs = 2000;
    int m_maxDelayMs = 300000;
    int m_attemptTimeoutMs = 120000;
    bool m_paused = false;
};

// For tests of crash safety: when the environment variable
// KC_UPLOAD_QUEUE_STOP_AT names `step` (optionally "step:destination"), the
// process writes "kc-upload-queue: stopped at <step>" to stderr and stops
// itself (SIGSTOP) there. Steps: "stored" (a new capture on disk, not yet
// tried), "before-send" (marked as in flight, nothing sent), "answer-received" (the service answered, nothing
// recorded yet), "filed-before-remove" (confirmed, the record still on disk).
void kcUploadQueueTestStop(const char *step, const QString &destination);
