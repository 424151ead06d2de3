#include "platform/core/private_files.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

QString systemError(const QString &what, const QString &path) {
    return QStringLiteral("%1 %2: %3").arg(what, path, QString::fromLocal8Bit(std::strerror(errno)));
}

} // namespace

QString kcMakePrivateFolder(const QString &path) {
    if (!QDir().mkpath(path))
        return QStringLiteral("cannot create the folder %1").arg(path);
    // A real folder of this user (not a link planted there), then 0700.
    const QByteArray native = QFile::encodeName(path);
    struct stat st {};
    if (::lstat(native.constData(), &st) != 0 || !S_ISDIR(st.st_mode) || st.st_uid != ::geteuid())
        return QStringLiteral("%1 is not a folder of this user").arg(path);
    if ((st.st_mode & 07777) != 0700 && ::chmod(native.constData(), 0700) != 0)
        return systemError(QStringLiteral("cannot make private the folder"), path);
    return QString();
}

QString kcSyncFolder(const QString &folder) {
    const int fd = ::open(QFile::encodeName(folder).constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0)
        return systemError(QStringLiteral("cannot open the folder"), folder);
    const bool ok = ::fsync(fd) == 0;
    const QString error = ok ? QString() : systemError(QStringLiteral("cannot flush the folder"), folder);
    ::close(fd);
    return error;
}

QString kcWriteFileDurably(const QString &path, const QByteArray &bytes) {
    const QString temporary = path + QStringLiteral(".tmp");
    const QByteArray name = QFile::encodeName(temporary);
    const int fd = ::open(name.constData(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOFOLLOW, 0600);
    if (fd < 0)
        return systemError(QStringLiteral("cannot create"), temporary);
    QString error;
    // A temporary left by someone else keeps its mode through O_TRUNC.
    if (::fchmod(fd, 0600) != 0)
        error = systemError(QStringLiteral("cannot make private"), temporary);
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
    return kcSyncFolder(QFileInfo(path).absolutePath());
}
