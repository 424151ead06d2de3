#include "capture/outbox/upload_queue.h"

#include "capture/documentation_upload.h"
#include "capture/outbox/outbox_lock.h"
#include "capture/private_files.h"
#include "platform/core/dispatch.h"
#include "platform/secretstore/secret_service_watch.h"

#include <QCoreApplication>
#include <QPointer>

#include <algorithm>
#include <atomic>
#include <csignal>
#include <cstdio>
#include <mutex>
#include <tuple>

namespace {

constexpr int kAccountWatchMs = 3000;
// How long quitting waits for the files still being written.
constexpr int kFinishWritingMs = 10000;

bool isEmr(const DocumentationUploadQueue::Entry &entry) {
    return entry.destination == QLatin1String(DocumentationUploadQueue::kEMR);
}

bool isWaiting(const DocumentationUploadQueue::Entry &entry) {
    return !entry.inFlight && !entry.refused && !entry.unreadable;
}

// The senders' work on worker threads, of every queue.
const DispatchGroupPtr &backgroundWork() {
    static const DispatchGroupPtr group = DispatchGroup::create();
    return group;
}

} // namespace

// Runs `work` on the file worker and hands what it returns to `then` on the
// queue's thread, while the queue lives.
template <typename Work, typename Then> void DocumentationUploadQueue::onDisk(Work work, Then then) {
    QPointer<DocumentationUploadQueue> self(this);
    m_io->async([disk = m_disk, self, work = std::move(work), then = std::move(then)]() mutable {
        auto result = work(*disk);
        QMetaObject::invokeMethod(
            QCoreApplication::instance(),
            [self, then = std::move(then), result = std::move(result)]() mutable {
                if (self)
                    then(std::move(result));
            },
            Qt::QueuedConnection);
    });
}

void kcUploadQueueTestStop(const char *step, const QString &destination) {
    static const QByteArray wanted = qgetenv("KC_UPLOAD_QUEUE_STOP_AT");
    if (wanted.isEmpty())
        return;
    const QByteArray here = QByteArray(step);
    if (wanted != here && wanted != here + ':' + destination.toUtf8())
        return;
    std::fprintf(stderr, "kc-upload-queue: stopped at %s %s\n", step, qPrintable(destination));
    std::fflush(stderr);
    ::raise(SIGSTOP);
}

DocumentationUploadQueue::DocumentationUploadQueue(const QString &directory, QObject *parent,
                                                   std::shared_ptr<KCSecretStore> keyStore)
    : QObject(parent), m_directory(directory),
      m_io(DispatchQueue::createSerial(QStringLiteral("com.kelvra.capture.outbox"))) {
    m_clock.start();
    m_wake.setSingleShot(true);
    connect(&m_wake, &QTimer::timeout, this, &DocumentationUploadQueue::pump);
    m_accountWatch.setInterval(kAccountWatchMs);
    connect(&m_accountWatch, &QTimer::timeout, this, &DocumentationUploadQueue::recheckAccounts);
    const KCOutboxClaim claim = kcClaimOutbox(directory);
    if (!claim.held) {
        // Another process sends these captures: this one keeps out of the
        // folder altogether, the keyring's key included.
        m_lockProblem = claim.problem;
        return;
    }
    // The key is asked for at once, so that the first Accept does not wait
    // for the keyring.
    QPointer<DocumentationUploadQueue> self(this);
    m_disk = std::make_shared<KCSealedOutbox>(directory, std::move(keyStore), [self] {
        QMetaObject::invokeMethod(
            QCoreApplication::instance(),
            [self] {
                if (self)
                    self->keyringAnswered();
            },
            Qt::QueuedConnection);
    });
    // The keyring is asked again when it appears, unlocks or its items
    // change.
    auto *watch = new KCSecretServiceWatch(this);
    connect(watch, &KCSecretServiceWatch::changed, this, &DocumentationUploadQueue::keyringChanged);
}

DocumentationUploadQueue::~DocumentationUploadQueue() {
    for (const Cancel &cancel : std::as_const(m_cancels))
        if (cancel)
            cancel();
    // Requests still being built, removals and marks still being written are
    // finished first.
    backgroundWork()->wait(kFinishWritingMs);
    const DispatchGroupPtr written = DispatchGroup::create();
    written->async(m_io, [] {});
    written->wait(kFinishWritingMs);
}

DocumentationUploadQueue::Cancel DocumentationUploadQueue::inBackground(std::function<Cancel()> start) {
    struct State {
        std::mutex mutex;
        bool cancelled = false;
        Cancel cancel;
    };
    auto state = std::make_shared<State>();
    backgroundWork()->async(DispatchQueue::global(DispatchQueue::Priority::Utility),
                            [state, start = std::move(start)] {
                                {
                                    std::lock_guard lock(state->mutex);
                                    if (state->cancelled)
                                        return;
                                }
                                Cancel begun = start();
                                std::unique_lock lock(state->mutex);
                                if (!state->cancelled) {
                                    state->cancel = std::move(begun);
                                    return;
                                }
                                lock.unlock();
                                if (begun)
                                    begun();
                            });
    return [state] {
        Cancel begun;
        {
            std::lock_guard lock(state->mutex);
            state->cancelled = true;
            begun = std::move(state->cancel);
        }
        if (begun)
            begun();
    };
}

void DocumentationUploadQueue::setSender(const QString &destination, Sender sender) {
    m_senders.insert(destination, std::move(sender));
}

void DocumentationUploadQueue::setAccountSource(AccountSource source) {
    m_accountSource = std::move(source);
}

void DocumentationUploadQueue::setRetryPolicy(int firstDelayMs, int maxDelayMs, int attemptTimeoutMs) {
    m_firstDelayMs = firstDelayMs;
    m_maxDelayMs = maxDelayMs;
    m_attemptTimeoutMs = attemptTimeoutMs;
}

QList<DocumentationUploadQueue::Entry> DocumentationUploadQueue::newEntries(const QString &capture,
                                                                            const QList<NewRecord> &records,
                                                                            QString *error) {
    QList<Entry> entries;
    const Account account = m_accountSource ? m_accountSource() : Account();
    // Later captures have later times, also within one millisecond: the
    // records are sent in that order.
    const QDateTime now = qMax(QDateTime::currentDateTime(), m_lastAcceptedAt.addMSecs(1));
    m_lastAcceptedAt = now;
    for (const NewRecord &r : records) {
        const QString id = kcIdText(r.record.value(QStringLiteral("id")));
        for (const Entry &e : m_entries) {
            if (e.destination == r.destination && kcIdText(e.record.value(QStringLiteral("id"))) == id) {
                *error = tr("The record %1 is already waiting.").arg(id);
                return {};
            }
        }
        Entry entry;
        entry.key = capture + QLatin1Char('.') + r.destination;
        entry.destination = r.destination;
        entry.record = r.record;
        entry.patient = kcPatientIds(r.patient);
        entry.account = account;
        entry.acceptedAt = now;
        entries.append(entry);
    }
    return entries;
}

void DocumentationUploadQueue::insertStored(const QList<Entry> &entries, const QString &keyProblem) {
    m_keyProblem = keyProblem;
    for (Entry entry : entries) {
        if (m_entries.contains(entry.key))
            continue;
        if (entry.account.isEmpty() && m_accountSource && !entry.refused && !entry.unreadable) {
            // Kept without its account: only the user can say whose it is.
            entry.refused = true;
            entry.lastError = tr("Saved without its account; Retry sends it as the user signed in now.");
        }
        m_entries.insert(entry.key, entry);
        m_dueAt.insert(entry.key, 0);
    }
    announce();
    if (m_keyringAnswered)
        resealInMemory(); // stored while the keyring's answer was on its way
    pump();
}

void DocumentationUploadQueue::enqueueCapture(const QImage &image, const QList<NewRecord> &records,
                                              std::function<void(const QString &error)> done) {
    const QString capture = KCSealedOutbox::newCaptureName();
    QString error = m_lockProblem;
    const QList<Entry> entries = error.isEmpty() ? newEntries(capture, records, &error) : QList<Entry>();
    if (!error.isEmpty() || entries.isEmpty()) {
        QMetaObject::invokeMethod(
            this, [done, error] { done(error); }, Qt::QueuedConnection);
        return;
    }
    struct Stored {
        QList<Entry> entries;
        QString error, keyProblem;
    };
    onDisk(
        [capture, image, entries](KCSealedOutbox &disk) {
            Stored stored{entries, QString(), QString()};
            stored.error = disk.storeCapture(capture, kcPngBytes(image), stored.entries);
            stored.keyProblem = disk.keyProblem();
            return stored;
        },
        [this, done](const Stored &stored) {
            if (stored.error.isEmpty()) {
                kcUploadQueueTestStop("stored", stored.entries.first().destination);
                insertStored(stored.entries, stored.keyProblem);
            }
            done(stored.error);
        });
}

bool DocumentationUploadQueue::enqueueAll(const QByteArray &png, const QList<NewRecord> &records,
                                          QString *error) {
    const QString capture = KCSealedOutbox::newCaptureName();
    QString problem = m_lockProblem;
    QList<Entry> entries = problem.isEmpty() ? newEntries(capture, records, &problem) : QList<Entry>();
    QString keyProblem;
    if (problem.isEmpty() && !entries.isEmpty())
        m_io->sync([&] {
            problem = m_disk->storeCapture(capture, png, entries);
            keyProblem = m_disk->keyProblem();
        });
    if (!problem.isEmpty()) {
        if (error)
            *error = problem;
        return false;
    }
    insertStored(entries, keyProblem);
    return true;
}

bool DocumentationUploadQueue::enqueue(const QString &destination, const QVariantMap &record,
                                       const QVariantMap &patient, QString *error) {
    return enqueueAll(QByteArray(), {NewRecord{destination, record, patient}}, error);
}

void DocumentationUploadQueue::resumeStored() {
    if (!m_lockProblem.isEmpty()) {
        emit loaded(); // nothing: the folder is another process's
        return;
    }
    // The records of earlier runs need the keyring's key: they are read once
    // the keyring has answered (an unlock prompt may be open until then).
    if (!m_keyringAnswered) {
        m_loadWhenKeyringAnswers = true;
        return;
    }
    onDisk([](KCSealedOutbox &disk) { return std::make_pair(disk.load(), disk.keyProblem()); },
           [this](std::pair<QList<Entry>, QString> loaded) {
               // Not made in this run: a backup may have brought it back
               // after it was filed, with an older ledger. The chart is
               // looked at before it is sent.
               for (Entry &entry : loaded.first)
                   entry.mayHaveReached = !entry.refused && !entry.unreadable;
               insertStored(loaded.first, loaded.second);
               emit this->loaded();
           });
}

void DocumentationUploadQueue::keyringAnswered() {
    m_keyringAnswered = true;
    if (m_loadWhenKeyringAnswers) {
        m_loadWhenKeyringAnswers = false;
        resumeStored();
    }
    resealInMemory();
    rereadWaitingForKey();
}

void DocumentationUploadQueue::keyringChanged() {
    if (!m_disk)
        return;
    const bool needsKey = !m_keyProblem.isEmpty() ||
                          std::any_of(m_entries.cbegin(), m_entries.cend(),
                                      [](const Entry &e) { return e.waitingForKey || e.lostAtQuit; });
    if (needsKey)
        m_disk->askKeyringAgain();
}

// Records sealed with a kept key that the keyring did not give are read
// again once it answers: it may give that key now.
void DocumentationUploadQueue::rereadWaitingForKey() {
    QStringList names;
    for (const Entry &e : std::as_const(m_entries))
        if (e.waitingForKey)
            names.append(e.key);
    if (names.isEmpty())
        return;
    onDisk([names](KCSealedOutbox &disk) { return std::make_pair(disk.reread(names), disk.keyProblem()); },
           [this](const std::pair<QList<Entry>, QString> &read) {
               m_keyProblem = read.second;
               for (Entry entry : read.first) {
                   auto it = m_entries.find(entry.key);
                   if (it == m_entries.end() || !it->waitingForKey || entry.waitingForKey)
                       continue;
                   entry.mayHaveReached = !entry.refused && !entry.unreadable; // of an earlier run
                   *it = entry;
                   m_dueAt.insert(entry.key, 0);
               }
               announce();
               pump();
           });
}

// Captures sealed with a key in memory before the keyring answered are
// sealed again with the keyring's key, when it gave one: then they outlive a
// quit.
void DocumentationUploadQueue::resealInMemory() {
    QList<Entry> inMemory;
    for (const Entry &e : std::as_const(m_entries))
        if (e.lostAtQuit)
            inMemory.append(e);
    if (inMemory.isEmpty())
        return;
    onDisk(
        [inMemory](KCSealedOutbox &disk) { return std::make_pair(disk.reseal(inMemory), disk.keyProblem()); },
        [this](const std::pair<QStringList, QString> &resealed) {
            m_keyProblem = resealed.second;
            for (const QString &key : resealed.first)
                if (auto it = m_entries.find(key); it != m_entries.end())
                    it->lostAtQuit = false;
            if (lostAtQuitCount() == 0)
                m_io->async([disk = m_disk] { disk->forgetMemoryKey(); });
            announce();
        });
}

void DocumentationUploadQueue::retryNow() {
    for (auto it = m_dueAt.begin(); it != m_dueAt.end(); ++it)
        it.value() = 0;
    m_destinationDueAt.clear();
    pump();
}

void DocumentationUploadQueue::accountChanged() {
    m_destinationDueAt.clear();
    recheckAccounts();
}

void DocumentationUploadQueue::recheckAccounts() {
    pump();
    // The tray names the accounts waited for: tell it when they change.
    const QStringList waiting = waitingForUsers();
    if (waiting.isEmpty())
        m_accountWatch.stop();
    if (waiting != m_announcedWaiting) {
        m_announcedWaiting = waiting;
        announce();
    }
}

bool DocumentationUploadQueue::mayAct(const Entry &entry) const {
    const std::optional<Account> now = signedIn();
    if (!now)
        return true;
    if (now->isEmpty())
        return false;
    // Kept without its account (or unreadable): the user signed in decides.
    return entry.account.isEmpty() || mayAttempt(entry, now);
}

bool DocumentationUploadQueue::retry(const QString &key) {
    auto it = m_entries.find(key);
    if (it == m_entries.end() || it->unreadable || !mayAct(*it))
        return false;
    if (it->refused) {
        it->refused = false;
        it->lastError.clear();
        if (it->account.isEmpty() && m_accountSource)
            it->account = m_accountSource();
        store(*it);
    }
    m_dueAt.insert(key, 0);
    announce();
    pump();
    return true;
}

bool DocumentationUploadQueue::discard(const QString &key) {
    auto it = m_entries.find(key);
    if (it == m_entries.end() || !mayAct(*it))
        return false;
    if (const Cancel cancel = m_cancels.take(key))
        cancel();
    const Entry entry = *it;
    m_entries.erase(it);
    m_dueAt.remove(key);
    m_io->async([disk = m_disk, entry] { disk->remove(entry); });
    announce();
    pump();
    return true;
}

QString DocumentationUploadQueue::saveImage(const QString &key, const QString &path) const {
    const auto it = m_entries.constFind(key);
    if (it == m_entries.constEnd())
        return tr("The capture is no longer waiting.");
    if (!mayAct(*it))
        return tr("The capture belongs to another account; sign in as %1 to save it.").arg(it->account.user);
    if (!it->hasImage)
        return tr("The capture holds no image.");
    QString error;
    const Entry entry = *it;
    m_io->sync([&] {
        const std::optional<QByteArray> png = m_disk->image(entry, &error);
        if (png)
            error = kcSaveImageFile(path, *png);
    });
    return error;
}

int DocumentationUploadQueue::failedCount() const {
    int failed = 0;
    for (const Entry &e : m_entries)
        failed += !e.lastError.isEmpty() || e.refused || e.unreadable;
    return failed;
}

int DocumentationUploadQueue::refusedCount() const {
    return int(std::count_if(m_entries.cbegin(), m_entries.cend(), [](const Entry &e) { return e.refused; }));
}

int DocumentationUploadQueue::unreadableCount() const {
    return int(
        std::count_if(m_entries.cbegin(), m_entries.cend(), [](const Entry &e) { return e.unreadable; }));
}

int DocumentationUploadQueue::lostAtQuitCount() const {
    return int(
        std::count_if(m_entries.cbegin(), m_entries.cend(), [](const Entry &e) { return e.lostAtQuit; }));
}

bool DocumentationUploadQueue::isWaitingForAccount(const Entry &entry) const {
    return isWaiting(entry) && !mayAttempt(entry, signedIn());
}

QStringList DocumentationUploadQueue::waitingForUsers() const {
    QStringList users;
    const std::optional<Account> now = signedIn();
    for (const Entry &e : m_entries)
        if (isWaiting(e) && !mayAttempt(e, now) && !users.contains(e.account.user))
            users.append(e.account.user);
    return users;
}

std::optional<DocumentationUploadQueue::Account> DocumentationUploadQueue::signedIn() const {
    if (!m_accountSource)
        return std::nullopt;
    return m_accountSource();
}

bool DocumentationUploadQueue::mayAttempt(const Entry &entry, const std::optional<Account> &now) {
    if (!now)
        return true;
    if (now->isEmpty() || now->user != entry.account.user || now->service != entry.account.service)
        return false;
    return !isEmr(entry) || now->practice == entry.account.practice;
}

void DocumentationUploadQueue::announce() {
    emit pendingChanged(pendingCount(), failedCount());
}

void DocumentationUploadQueue::watchAccounts() {
    if (!m_accountWatch.isActive())
        m_accountWatch.start();
}

void DocumentationUploadQueue::setPaused(bool paused) {
    if (m_paused == paused)
        return;
    m_paused = paused;
    if (!paused)
        retryNow();
}

void DocumentationUploadQueue::store(const Entry &entry) {
    m_io->async([disk = m_disk, entry] { disk->write(entry); });
}

// Starts, per destination with nothing in flight, the oldest entry that is
// due, and sets the wake-up for the next one.
void DocumentationUploadQueue::pump() {
    if (m_paused || !m_disk)
        return;
    const qint64 now = m_clock.elapsed();
    QHash<QString, const Entry *> next;
    QSet<QString> busy;
    qint64 wake = -1;
    bool blocked = false;
    const std::optional<Account> account = signedIn();
    for (const Entry &e : std::as_const(m_entries)) {
        if (e.inFlight)
            busy.insert(e.destination);
        if (!isWaiting(e))
            continue;
        if (!mayAttempt(e, account)) {
            blocked = true;
            continue;
        }
        const qint64 due = qMax(m_dueAt.value(e.key), m_destinationDueAt.value(e.destination));
        if (due > now) {
            wake = wake < 0 ? due : qMin(wake, due);
            continue;
        }
        const Entry *&oldest = next[e.destination];
        if (!oldest || std::tie(e.acceptedAt, e.key) < std::tie(oldest->acceptedAt, oldest->key))
            oldest = &e;
    }
    // A destination with an attempt out goes on when that attempt ends.
    QStringList start;
    for (auto it = next.cbegin(); it != next.cend(); ++it)
        if (!busy.contains(it.key()))
            start.append(it.value()->key);
    if (blocked)
        watchAccounts();
    if (wake >= 0)
        m_wake.start(int(qMax<qint64>(0, wake - now)));
    else
        m_wake.stop();
    for (const QString &key : std::as_const(start))
        attempt(key);
}

void DocumentationUploadQueue::attempt(const QString &key) {
    auto it = m_entries.find(key);
    if (it == m_entries.end() || !isWaiting(*it))
        return;
    const bool earlierMayHaveReached = it->mayHaveReached;
    // From here on an answer may be lost: say so on disk first.
    const bool mark = !it->mayHaveReached;
    it->mayHaveReached = true;
    it->inFlight = true;
    const int attemptNumber = ++it->attempts;
    struct Read {
        QString error, content;
        bool unreadable = false;
    };
    onDisk(
        [entry = *it, mark](KCSealedOutbox &disk) {
            Read read;
            read.error = mark ? disk.write(entry) : QString();
            if (read.error.isEmpty() && entry.hasImage) {
                if (const std::optional<QByteArray> png = disk.image(entry, &read.error))
                    read.content = QString::fromLatin1(png->toBase64());
                read.unreadable = !read.error.isEmpty();
            }
            return read;
        },
        [this, key, attemptNumber, earlierMayHaveReached](const Read &read) {
            prepared(key, attemptNumber, earlierMayHaveReached, read.error, read.unreadable, read.content);
        });
}

void DocumentationUploadQueue::prepared(const QString &key, int attemptNumber, bool earlierMayHaveReached,
                                        const QString &error, bool unreadable, const QString &content) {
    auto it = m_entries.find(key);
    if (it == m_entries.end() || it->attempts != attemptNumber || !it->inFlight)
        return;
    if (unreadable) {
        it->inFlight = false;
        it->mayHaveReached = earlierMayHaveReached;
        it->unreadable = true;
        it->lastError = error;
        announce();
        emit uploadRefused(it->destination, error);
        pump();
        return;
    }
    if (!error.isEmpty()) {
        finish(key, attemptNumber, Outcome::failed(error, false), earlierMayHaveReached);
        return;
    }
    if (m_paused || !mayAttempt(*it, signedIn())) {
        // Signed out (or another account) while the record was being read.
        it->inFlight = false;
        --it->attempts;
        pump();
        return;
    }
    const Sender sender = m_senders.value(it->destination);
    if (!sender) {
        // No client for this destination right now (e.g. the EMR is not
        // configured yet): keep the record and try again later.
        finish(key, attemptNumber, Outcome::unreachable(tr("no %1 client is available").arg(it->destination)),
               earlierMayHaveReached);
        return;
    }
    kcUploadQueueTestStop("before-send", it->destination);
    auto once = std::make_shared<std::atomic<bool>>(false);
    QPointer<DocumentationUploadQueue> self(this);
    Done done = [self, key, attemptNumber, earlierMayHaveReached, once](const Outcome &outcome) {
        if (once->exchange(true))
            return;
        QMetaObject::invokeMethod(
            QCoreApplication::instance(),
            [self, key, attemptNumber, earlierMayHaveReached, outcome] {
                if (self)
                    self->finish(key, attemptNumber, outcome, earlierMayHaveReached);
            },
            Qt::QueuedConnection);
    };
    QTimer::singleShot(m_attemptTimeoutMs, this, [this, key, attemptNumber, done] {
        auto it = m_entries.find(key);
        if (it == m_entries.end() || it->attempts != attemptNumber || !it->inFlight)
            return;
        // Stop the request: its late answer would be dropped anyway.
        if (const Cancel cancel = m_cancels.take(key))
            cancel();
        done(Outcome::unreachable(tr("the service did not answer"), true));
    });
    // The sender learns whether an earlier attempt may have arrived.
    Entry snapshot = *it;
    snapshot.mayHaveReached = earlierMayHaveReached;
    if (it->hasImage)
        snapshot.record = kcRecordWithContent(it->record, content);
    const Cancel cancel = sender(snapshot, done);
    if (m_entries.contains(key) && m_entries[key].inFlight && m_entries[key].attempts == attemptNumber)
        m_cancels.insert(key, cancel);
}

void DocumentationUploadQueue::finish(const QString &key, int attemptNumber, const Outcome &outcome,
                                      bool earlierMayHaveReached) {
    auto it = m_entries.find(key);
    if (it == m_entries.end() || it->attempts != attemptNumber)
        return;
    if (it->inFlight)
        kcUploadQueueTestStop("answer-received", it->destination);
    it->inFlight = false;
    m_cancels.remove(key);
    const QString destination = it->destination;
    if (outcome.unavailable) {
        // Its other records wait with it; the oldest is tried again first.
        const int attempts = ++m_unavailableAttempts[destination];
        m_destinationDueAt.insert(destination, m_clock.elapsed() + retryDelay(attempts));
    } else {
        // The service answered: it takes records again.
        m_unavailableAttempts.remove(destination);
        m_destinationDueAt.remove(destination);
    }
    if (outcome.kind == Outcome::Filed) {
        kcUploadQueueTestStop("filed-before-remove", destination);
        const QString id = it->record.value(QStringLiteral("id")).toString();
        const Entry entry = *it;
        m_entries.erase(it);
        m_dueAt.remove(key);
        m_io->async([disk = m_disk, entry] {
            disk->recordFiled(entry);
            disk->remove(entry);
        });
        announce();
        emit uploadSucceeded(destination, id);
        pump();
        return;
    }
    it->lastError = outcome.error.isEmpty() ? tr("the upload failed") : outcome.error;
    // This attempt did not reach the service, but an earlier one may have:
    // the next attempt must still look first.
    if (!outcome.reached)
        it->mayHaveReached = earlierMayHaveReached;
    if (outcome.kind == Outcome::Refused) {
        it->refused = true;
        store(*it);
        announce();
        emit uploadRefused(destination, it->lastError);
        pump();
        return;
    }
    if (!outcome.reached)
        store(*it);
    if (!outcome.unavailable)
        m_dueAt.insert(key, m_clock.elapsed() + retryDelay(it->attempts));
    announce();
    emit uploadFailed(destination, outcome.error);
    pump();
}

qint64 DocumentationUploadQueue::retryDelay(int attempts) const {
    const int shift = qBound(0, attempts - 1, 16);
    return qMin<qint64>(qint64(m_firstDelayMs) << shift, m_maxDelayMs);
}
