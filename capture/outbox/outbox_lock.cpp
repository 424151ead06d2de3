#include "capture/outbox/outbox_lock.h"

#include "platform/core/private_files.h"

#include <QDir>
#include <QFile>
#include <QHash>
#include <QStandardPaths>

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <mutex>
#include <sys/file.h>
#include <unistd.h>

namespace {

QString procComm(qint64 pid) {
    QFile file(QStringLiteral("/proc/%1/comm").arg(pid));
    if (!file.open(QIODevice::ReadOnly))
        return {};
    return QString::fromLocal8Bit(file.readLine()).trimmed();
}

// The process number the lock's holder wrote; 0 when it wrote none.
qint64 holderPid(int fd) {
    char text[32] = {};
    const ssize_t n = ::pread(fd, text, sizeof text - 1, 0);
    bool ok = false;
    const qint64 pid = n > 0 ? QByteArray(text, int(n)).trimmed().toLongLong(&ok) : 0;
    return ok && pid > 0 ? pid : 0;
}

KCOutboxClaim claim(const QString &folder) {
    KCOutboxClaim result;
    const QString problem = kcMakePrivateFolder(folder);
    if (!problem.isEmpty()) {
        result.problem =
            QStringLiteral("The folder of the captures waiting to be sent cannot be used: %1.").arg(problem);
        return result;
    }
    const QByteArray path = QFile::encodeName(folder + QStringLiteral("/.lock"));
    // Never closed: the lock lasts as long as the process. Not inherited by
    // programs this one starts.
    const int fd = ::open(path.constData(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
    if (fd < 0) {
        result.problem =
            QStringLiteral("The lock of the captures waiting to be sent (%1) cannot be opened: %2.")
                .arg(QFile::decodeName(path), QString::fromLocal8Bit(std::strerror(errno)));
        return result;
    }
    int locked;
    do
        locked = ::flock(fd, LOCK_EX | LOCK_NB);
    while (locked != 0 && errno == EINTR);
    if (locked != 0) {
        const qint64 pid = holderPid(fd);
        ::close(fd);
        const QString comm = pid ? procComm(pid) : QString();
        result.holder = pid ? QStringLiteral("%1 (process %2)")
                                  .arg(comm.isEmpty() ? QStringLiteral("a program") : comm)
                                  .arg(pid)
                            : QStringLiteral("another process");
        const QString end = pid ? QStringLiteral("end it (kill %1)").arg(pid) : QStringLiteral("end it");
        result.problem =
            QStringLiteral("Another KelvraCapture, %1, sends the captures waiting in %2. This one neither "
                           "sends nor stores captures there: Accept keeps the card open with \"Save "
                           "image…\". Use the other one, or %3 and start KelvraCapture again.")
                .arg(result.holder, folder, end);
        return result;
    }
    const QByteArray pid = QByteArray::number(qint64(::getpid())) + '\n';
    if (::ftruncate(fd, 0) != 0 || ::pwrite(fd, pid.constData(), size_t(pid.size()), 0) != pid.size()) {
        // The lock is held all the same; only the holder's name is missing.
    }
    result.held = true;
    return result;
}

} // namespace

KCOutboxClaim kcClaimOutbox(const QString &folder) {
    static std::mutex mutex;
    static QHash<QString, KCOutboxClaim> claims;
    const QString key = QDir::cleanPath(QDir(folder).absolutePath());
    std::lock_guard lock(mutex);
    auto it = claims.constFind(key);
    if (it != claims.constEnd())
        return *it;
    const KCOutboxClaim result = claim(key);
    // A folder that could not be made is tried again by the next call.
    if (result.held || !result.holder.isEmpty())
        claims.insert(key, result);
    return result;
}

QString kcPendingUploadsFolder() {
    return QStandardPaths::writableLocation(QStandardPaths::AppDataLocation) +
           QStringLiteral("/pending-uploads");
}
