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

namespace {

// Why the folders above a private folder would let another user swap or
// reach it ("" when they do not): each one up to the home folder (or, outside
// it, up to the first folder of root or a shared sticky one such as /tmp) is
// a real folder, not a link, of this user, and not writable by others. A
// folder writable by its group counts only where the group is the user's own.
QString parentsProblem(const QString &folder) {
    const QString home = QDir::cleanPath(QDir::homePath());
    const uid_t uid = ::geteuid();
    QString dir = QFileInfo(QDir::cleanPath(folder)).absolutePath();
    for (;;) {
        struct stat st {};
        if (::lstat(QFile::encodeName(dir).constData(), &st) != 0)
            return systemError(QStringLiteral("cannot look at the folder"), dir);
        if (S_ISLNK(st.st_mode))
            return QStringLiteral("%1 is a link, not a folder").arg(dir);
        if (!S_ISDIR(st.st_mode))
            return QStringLiteral("%1 is not a folder").arg(dir);
        const bool shared = (st.st_mode & S_ISVTX) && (st.st_mode & S_IWOTH);
        if (dir != home && (st.st_uid == 0 || shared) && st.st_uid != uid)
            return QString(); // the system's folders from here up
        if (shared)
            return QString(); // sticky: others cannot move what is ours in it
        if (st.st_uid != uid)
            return QStringLiteral("%1 belongs to another user").arg(dir);
        if ((st.st_mode & S_IWOTH) || ((st.st_mode & S_IWGRP) && st.st_gid != ::getegid()))
            return QStringLiteral("%1 is writable by other users").arg(dir);
        if (dir == home || dir == QLatin1String("/"))
            return QString();
        dir = QFileInfo(dir).absolutePath();
    }
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
    return parentsProblem(path);
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
