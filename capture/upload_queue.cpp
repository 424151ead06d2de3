#include "capture/upload_queue.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QImage>
#include <QJsonDocument>
#include <QJsonObject>
#include <QPointer>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>

namespace {

constexpr int kAccountWatchMs = 3000;

QString systemError(const QString &what, const QString &path) {
    return QStringLiteral("%1 %2: %3").arg(what, path, QString::fromLocal8Bit(std::strerror(errno)));
}

// Makes a rename or removal in `directory` survive a power cut.
QString syncDirectory(const QString &directory) {
    const int fd = ::open(QFile::encodeName(directory).constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0)
        return systemError(QStringLiteral("cannot open the folder"), directory);
    const bool ok = ::fsync(fd) == 0;
    const QString error = ok ? QString() : systemError(QStringLiteral("cannot flush the folder"), directory);
    ::close(fd);
    return error;
}

// Writes `bytes` to a new file next to `path`, flushes it to the disk and
// renames it into place; an error text, empty on success. Nothing is left
// behind on failure.
QString writeDurably(const QString &directory, const QString &path, const QByteArray &bytes) {
    const QString temporary = path + QStringLiteral(".tmp");
    const QByteArray name = QFile::encodeName(temporary);
    const int fd = ::open(name.constData(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    if (fd < 0)
        return systemError(QStringLiteral("cannot create"), temporary);
    QString error;
    qsizetype written = 0;
    while (written < bytes.size() && error.isEmpty()) {
        const ssize_t n = ::write(fd, bytes.constData() + written, size_t(bytes.size() - written));
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            error = systemError(QStringLiteral("cannot write"), temporary);
        else
            written += n;
    }
    if (error.isEmpty() && ::fsync(fd) != 0)
        error = systemError(QStringLiteral("cannot flush"), temporary);
    if (::close(fd) != 0 && error.isEmpty())
        error = systemError(QStringLiteral("cannot close"), temporary);
    if (error.isEmpty() && ::rename(name.constData(), QFile::encodeName(path).constData()) != 0)
        error = systemError(QStringLiteral("cannot rename"), temporary);
    if (!error.isEmpty()) {
        ::unlink(name.constData());
        return error;
    }
    return syncDirectory(directory);
}

QJsonObject accountObject(const DocumentationUploadQueue::Account &account) {
    return {{QStringLiteral("user"), account.user},
            {QStringLiteral("service"), account.service},
            {QStringLiteral("practice"), account.practice}};
}

DocumentationUploadQueue::Account accountFrom(const QJsonObject &object) {
    return {object.value(QStringLiteral("user")).toString(),
            object.value(QStringLiteral("service")).toString(),
            object.value(QStringLiteral("practice")).toString()};
}

bool isEmr(const DocumentationUploadQueue::Entry &entry) {
    return entry.destination == QLatin1String(DocumentationUploadQueue::kEMR);
}

} // namespace

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

DocumentationUploadQueue::DocumentationUploadQueue(const QString &directory, QObject *parent)
    : QObject(parent), m_directory(directory) {
    QDir().mkpath(m_directory);
    QFile::setPermissions(m_directory, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
    m_accountWatch.setInterval(kAccountWatchMs);
    connect(&m_accountWatch, &QTimer::timeout, this, &DocumentationUploadQueue::accountChanged);
}

DocumentationUploadQueue::~DocumentationUploadQueue() {
    for (const Cancel &cancel : std::as_const(m_cancels))
        if (cancel)
            cancel();
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

QString DocumentationUploadQueue::pathFor(const QString &key) const {
    return m_directory + "/" + key + ".json";
}

QString DocumentationUploadQueue::store(const Entry &entry) const {
    const QJsonObject object{
        {"destination", entry.destination},
        {"record", QJsonObject::fromVariantMap(entry.record)},
        {"appointmentInfo", QJsonObject::fromVariantMap(entry.appointmentInfo)},
        {"account", accountObject(entry.account)},
        {"accepted_at", entry.acceptedAt.toString(Qt::ISODateWithMs)},
        {"state", entry.refused          ? "refused"
                  : entry.mayHaveReached ? "sending"
                                         : "waiting"},
        {"error", entry.lastError},
    };
    return writeDurably(m_directory, pathFor(entry.key),
                        QJsonDocument(object).toJson(QJsonDocument::Compact));
}

bool DocumentationUploadQueue::enqueueAll(const QList<NewRecord> &records, QString *error) {
    QString problem;
    QList<Entry> stored;
    const Account account = m_accountSource ? m_accountSource() : Account();
    const QDateTime now = QDateTime::currentDateTime();
    for (const NewRecord &r : records) {
        Entry entry;
        entry.destination = r.destination;
        entry.record = r.record;
        entry.appointmentInfo = r.appointmentInfo;
        entry.account = account;
        entry.acceptedAt = now;
        entry.key = r.destination + "-" + r.record.value(QStringLiteral("id")).toString();
        if (m_entries.contains(entry.key)) {
            problem = tr("The record %1 is already waiting.").arg(entry.key);
            break;
        }
        problem = store(entry);
        if (!problem.isEmpty())
            break;
        stored.append(entry);
    }
    if (!problem.isEmpty()) {
        for (const Entry &entry : std::as_const(stored))
            QFile::remove(pathFor(entry.key));
        syncDirectory(m_directory);
        if (error)
            *error = problem;
        return false;
    }
    for (const Entry &entry : std::as_const(stored))
        m_entries.insert(entry.key, entry);
    announce();
    for (const Entry &entry : std::as_const(stored))
        attempt(entry.key);
    return true;
}

bool DocumentationUploadQueue::enqueue(const QString &destination, const QVariantMap &record,
                                       const QVariantMap &appointmentInfo, QString *error) {
    return enqueueAll({NewRecord{destination, record, appointmentInfo}}, error);
}

void DocumentationUploadQueue::resumeStored() {
    const QStringList files =
        QDir(m_directory).entryList({QStringLiteral("*.json")}, QDir::Files, QDir::Name);
    for (const QString &name : files) {
        QFile file(m_directory + "/" + name);
        if (!file.open(QIODevice::ReadOnly))
            continue;
        const QJsonObject object = QJsonDocument::fromJson(file.readAll()).object();
        Entry entry;
        entry.key = name.chopped(5);
        entry.destination = object.value("destination").toString();
        entry.record = object.value("record").toObject().toVariantMap();
        entry.appointmentInfo = object.value("appointmentInfo").toObject().toVariantMap();
        entry.account = accountFrom(object.value("account").toObject());
        entry.acceptedAt = QDateTime::fromString(object.value("accepted_at").toString(), Qt::ISODateWithMs);
        if (!entry.acceptedAt.isValid())
            entry.acceptedAt = QFileInfo(file).lastModified();
        const QString state = object.value("state").toString();
        entry.refused = state == QLatin1String("refused");
        // A record kept while an attempt was out (or by a version that did
        // not say) may already be with its service.
        entry.mayHaveReached = state != QLatin1String("waiting") && !entry.refused;
        entry.lastError = object.value("error").toString();
        if (entry.destination.isEmpty() || entry.record.isEmpty() || m_entries.contains(entry.key))
            continue;
        if (entry.account.isEmpty() && m_accountSource && !entry.refused) {
            // Kept without its account: only the user can say whose it is.
            entry.refused = true;
            entry.lastError = tr("Saved without its account; Retry sends it as the user signed in now.");
        }
        m_entries.insert(entry.key, entry);
    }
    announce();
    for (const QString &key : m_entries.keys())
        if (!m_entries[key].inFlight && !m_entries[key].refused)
            attempt(key);
}

void DocumentationUploadQueue::retryNow() {
    for (const QString &key : m_entries.keys()) {
        if (m_entries[key].inFlight || m_entries[key].refused)
            continue;
        dropTimer(key);
        attempt(key);
    }
}

void DocumentationUploadQueue::accountChanged() {
    bool blocked = false;
    for (const QString &key : m_entries.keys()) {
        const Entry &entry = m_entries[key];
        if (entry.inFlight || entry.refused || m_timers.contains(key))
            continue;
        if (mayAttempt(entry))
            attempt(key);
        else
            blocked = true;
    }
    if (!blocked)
        m_accountWatch.stop();
    // The tray names the accounts waited for: tell it when they change.
    const QStringList waiting = waitingForUsers();
    if (waiting != m_announcedWaiting) {
        m_announcedWaiting = waiting;
        announce();
    }
}

bool DocumentationUploadQueue::retry(const QString &key) {
    auto it = m_entries.find(key);
    if (it == m_entries.end())
        return false;
    if (it->refused) {
        it->refused = false;
        it->lastError.clear();
        if (it->account.isEmpty() && m_accountSource)
            it->account = m_accountSource();
        const QString error = store(*it);
        if (!error.isEmpty()) {
            it->refused = true;
            it->lastError = error;
            announce();
            return false;
        }
    }
    dropTimer(key);
    attempt(key);
    announce();
    return true;
}

bool DocumentationUploadQueue::discard(const QString &key) {
    auto it = m_entries.find(key);
    if (it == m_entries.end())
        return false;
    if (const Cancel cancel = m_cancels.take(key))
        cancel();
    dropTimer(key);
    m_entries.erase(it);
    QFile::remove(pathFor(key));
    syncDirectory(m_directory);
    announce();
    return true;
}

QString DocumentationUploadQueue::saveImage(const QString &key, const QString &path) const {
    const auto it = m_entries.constFind(key);
    if (it == m_entries.constEnd())
        return tr("The capture is no longer waiting.");
    const QVariantList uploads = it->record.value(QStringLiteral("Upload")).toList();
    const QString content = uploads.value(0).toMap().value(QStringLiteral("content")).toString();
    const QImage image = QImage::fromData(QByteArray::fromBase64(content.toLatin1()));
    if (image.isNull())
        return tr("The capture holds no readable image.");
    if (!image.save(path, "PNG"))
        return tr("The image could not be written to %1.").arg(path);
    return QString();
}

int DocumentationUploadQueue::failedCount() const {
    int failed = 0;
    for (const Entry &e : m_entries)
        failed += !e.lastError.isEmpty() || e.refused;
    return failed;
}

int DocumentationUploadQueue::refusedCount() const {
    int refused = 0;
    for (const Entry &e : m_entries)
        refused += e.refused;
    return refused;
}

bool DocumentationUploadQueue::isWaitingForAccount(const Entry &entry) const {
    return !entry.refused && !entry.inFlight && !mayAttempt(entry);
}

QStringList DocumentationUploadQueue::waitingForUsers() const {
    QStringList users;
    for (const Entry &e : m_entries)
        if (isWaitingForAccount(e) && !users.contains(e.account.user))
            users.append(e.account.user);
    return users;
}

bool DocumentationUploadQueue::mayAttempt(const Entry &entry) const {
    if (!m_accountSource)
        return true;
    const Account now = m_accountSource();
    if (now.isEmpty() || now.user != entry.account.user || now.service != entry.account.service)
        return false;
    return !isEmr(entry) || now.practice == entry.account.practice;
}

void DocumentationUploadQueue::announce() {
    emit pendingChanged(pendingCount(), failedCount());
}

void DocumentationUploadQueue::watchAccounts() {
    if (!m_accountWatch.isActive())
        m_accountWatch.start();
}

void DocumentationUploadQueue::dropTimer(const QString &key) {
    if (QTimer *timer = m_timers.take(key))
        timer->deleteLater();
}

void DocumentationUploadQueue::setPaused(bool paused) {
    if (m_paused == paused)
        return;
    m_paused = paused;
    if (!paused)
        retryNow();
}

void DocumentationUploadQueue::attempt(const QString &key) {
    auto it = m_entries.find(key);
    if (it == m_entries.end() || it->inFlight || it->refused || m_paused)
        return;
    if (!mayAttempt(*it)) {
        // Another account's capture: it waits for that account's sign-in.
        watchAccounts();
        return;
    }
    const Sender sender = m_senders.value(it->destination);
    if (!sender) {
        // No client for this destination right now (e.g. the EMR is not
        // configured yet): keep the record and try again later.
        const int attemptNumber = ++it->attempts;
        finish(key, attemptNumber,
               Outcome::failed(tr("no %1 client is available").arg(it->destination), false));
        return;
    }
    const bool earlierMayHaveReached = it->mayHaveReached;
    if (!it->mayHaveReached) {
        // From here on an answer may be lost: say so on disk first.
        it->mayHaveReached = true;
        const QString error = store(*it);
        if (!error.isEmpty()) {
            it->mayHaveReached = false;
            const int attemptNumber = ++it->attempts;
            finish(key, attemptNumber, Outcome::failed(error, false));
            return;
        }
    }
    kcUploadQueueTestStop("before-send", it->destination);
    it->inFlight = true;
    const int attemptNumber = ++it->attempts;
    QPointer<DocumentationUploadQueue> self(this);
    auto once = std::make_shared<std::atomic<bool>>(false);
    Done done = [self, key, attemptNumber, once](const Outcome &outcome) {
        if (once->exchange(true))
            return;
        QMetaObject::invokeMethod(
            QCoreApplication::instance(),
            [self, key, attemptNumber, outcome] {
                if (self)
                    self->finish(key, attemptNumber, outcome);
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
        done(Outcome::failed(tr("the service did not answer")));
    });
    // The sender learns whether an earlier attempt may have arrived.
    Entry snapshot = *it;
    snapshot.mayHaveReached = earlierMayHaveReached;
    const Cancel cancel = sender(snapshot, done);
    if (m_entries.contains(key) && m_entries[key].inFlight && m_entries[key].attempts == attemptNumber)
        m_cancels.insert(key, cancel);
}

void DocumentationUploadQueue::finish(const QString &key, int attemptNumber, const Outcome &outcome) {
    auto it = m_entries.find(key);
    if (it == m_entries.end() || it->attempts != attemptNumber)
        return;
    if (it->inFlight)
        kcUploadQueueTestStop("answer-received", it->destination);
    it->inFlight = false;
    m_cancels.remove(key);
    const QString destination = it->destination;
    if (outcome.kind == Outcome::Filed) {
        kcUploadQueueTestStop("filed-before-remove", destination);
        const QString id = it->record.value(QStringLiteral("id")).toString();
        m_entries.erase(it);
        QFile::remove(pathFor(key));
        syncDirectory(m_directory);
        dropTimer(key);
        announce();
        emit uploadSucceeded(destination, id);
        return;
    }
    it->lastError = outcome.error.isEmpty() ? tr("the upload failed") : outcome.error;
    if (!outcome.reached)
        it->mayHaveReached = false;
    if (outcome.kind == Outcome::Refused) {
        it->refused = true;
        dropTimer(key);
        store(*it);
        announce();
        emit uploadRefused(destination, it->lastError);
        return;
    }
    if (!outcome.reached)
        store(*it);
    scheduleRetry(key, it->attempts);
    announce();
    emit uploadFailed(destination, outcome.error);
}

void DocumentationUploadQueue::scheduleRetry(const QString &key, int attempts) {
    const int shift = qMin(attempts - 1, 16);
    const qint64 delay = qMin<qint64>(qint64(m_firstDelayMs) << shift, m_maxDelayMs);
    QTimer *&timer = m_timers[key];
    if (!timer) {
        timer = new QTimer(this);
        timer->setSingleShot(true);
        connect(timer, &QTimer::timeout, this, [this, key] {
            dropTimer(key);
            attempt(key);
        });
    }
    timer->start(int(delay));
}
