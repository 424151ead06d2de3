#include "capture/upload_queue.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QPointer>
#include <QSaveFile>

DocumentationUploadQueue::DocumentationUploadQueue(const QString &directory, QObject *parent)
    : QObject(parent), m_directory(directory) {
    QDir().mkpath(m_directory);
    QFile::setPermissions(m_directory, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
}

DocumentationUploadQueue::~DocumentationUploadQueue() = default;

void DocumentationUploadQueue::setSender(const QString &destination, Sender sender) {
    m_senders.insert(destination, std::move(sender));
}

void DocumentationUploadQueue::setRetryPolicy(int firstDelayMs, int maxDelayMs, int attemptTimeoutMs) {
    m_firstDelayMs = firstDelayMs;
    m_maxDelayMs = maxDelayMs;
    m_attemptTimeoutMs = attemptTimeoutMs;
}

QString DocumentationUploadQueue::pathFor(const QString &key) const {
    return m_directory + "/" + key + ".json";
}

bool DocumentationUploadQueue::store(const Entry &entry) const {
    QSaveFile file(pathFor(entry.key));
    if (!file.open(QIODevice::WriteOnly))
        return false;
    file.setPermissions(QFile::ReadOwner | QFile::WriteOwner);
    const QJsonObject object{{"destination", entry.destination},
                             {"record", QJsonObject::fromVariantMap(entry.record)},
                             {"appointmentInfo", QJsonObject::fromVariantMap(entry.appointmentInfo)}};
    file.write(QJsonDocument(object).toJson(QJsonDocument::Compact));
    return file.commit();
}

bool DocumentationUploadQueue::enqueue(const QString &destination, const QVariantMap &record,
                                       const QVariantMap &appointmentInfo) {
    Entry entry;
    entry.destination = destination;
    entry.record = record;
    entry.appointmentInfo = appointmentInfo;
    entry.key = destination + "-" + record.value(QStringLiteral("id")).toString();
    if (m_entries.contains(entry.key) || !store(entry))
        return false;
    m_entries.insert(entry.key, entry);
    announce();
    attempt(entry.key);
    return true;
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
        if (entry.destination.isEmpty() || entry.record.isEmpty() || m_entries.contains(entry.key))
            continue;
        m_entries.insert(entry.key, entry);
    }
    announce();
    for (const QString &key : m_entries.keys())
        if (!m_entries[key].inFlight)
            attempt(key);
}

void DocumentationUploadQueue::retryNow() {
    for (const QString &key : m_entries.keys()) {
        if (m_entries[key].inFlight)
            continue;
        if (QTimer *timer = m_timers.take(key))
            timer->deleteLater();
        attempt(key);
    }
}

int DocumentationUploadQueue::failedCount() const {
    int failed = 0;
    for (const Entry &e : m_entries)
        failed += !e.lastError.isEmpty();
    return failed;
}

void DocumentationUploadQueue::announce() {
    emit pendingChanged(pendingCount(), failedCount());
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
    if (it == m_entries.end() || it->inFlight || m_paused)
        return;
    const Sender sender = m_senders.value(it->destination);
    if (!sender) {
        // No client for this destination right now (e.g. the EMR is not
        // configured yet): keep the record and try again later.
        finish(key, ++it->attempts, QStringLiteral("no %1 client is available").arg(it->destination));
        return;
    }
    it->inFlight = true;
    const int attemptNumber = ++it->attempts;
    QPointer<DocumentationUploadQueue> self(this);
    auto once = std::make_shared<std::atomic<bool>>(false);
    Done done = [self, key, attemptNumber, once](const QString &error) {
        if (once->exchange(true))
            return;
        QMetaObject::invokeMethod(
            QCoreApplication::instance(),
            [self, key, attemptNumber, error] {
                if (self)
                    self->finish(key, attemptNumber, error);
            },
            Qt::QueuedConnection);
    };
    QTimer::singleShot(m_attemptTimeoutMs, this,
                       [done] { done(QStringLiteral("the service did not answer")); });
    sender(*it, done);
}

void DocumentationUploadQueue::finish(const QString &key, int attemptNumber, const QString &error) {
    auto it = m_entries.find(key);
    if (it == m_entries.end() || it->attempts != attemptNumber)
        return;
    it->inFlight = false;
    const QString destination = it->destination;
    if (error.isEmpty()) {
        const QString id = it->record.value(QStringLiteral("id")).toString();
        m_entries.erase(it);
        QFile::remove(pathFor(key));
        if (QTimer *timer = m_timers.take(key))
            timer->deleteLater();
        announce();
        emit uploadSucceeded(destination, id);
        return;
    }
    it->lastError = error;
    const int shift = qMin(it->attempts - 1, 16);
    const qint64 delay = qMin<qint64>(qint64(m_firstDelayMs) << shift, m_maxDelayMs);
    QTimer *&timer = m_timers[key];
    if (!timer) {
        timer = new QTimer(this);
        timer->setSingleShot(true);
        connect(timer, &QTimer::timeout, this, [this, key] {
            if (QTimer *t = m_timers.take(key))
                t->deleteLater();
            attempt(key);
        });
    }
    timer->start(int(delay));
    announce();
    emit uploadFailed(destination, error);
}
