#include "platform/portal/screenshot_file.h"

#include <QFile>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

namespace {
// Removes the path when it goes out of scope, whatever happened before.
struct RemoveOnExit {
    QByteArray path;
    ~RemoveOnExit() {
        if (!path.isEmpty())
            ::unlink(path.constData());
    }
};

constexpr mode_t kOthersRead = S_IRGRP | S_IROTH;
constexpr mode_t kOthersWrite = S_IWGRP | S_IWOTH;
constexpr mode_t kOthersPass = S_IXGRP | S_IXOTH;

QByteArray parentOf(const QByteArray &folder) {
    const qsizetype slash = folder.lastIndexOf('/');
    return slash <= 0 ? QByteArrayLiteral("/") : folder.left(slash);
}

// Whether `folder` or a folder above it is this user's and lets nobody else
// through: what lies below is out of others' reach.
bool closedToOthers(QByteArray folder) {
    for (;;) {
        struct stat info {};
        if (::stat(folder.constData(), &info) != 0)
            return false;
        if (info.st_uid == ::getuid() && (info.st_mode & kOthersPass) == 0)
            return true;
        if (folder == "/")
            return false;
        folder = parentOf(folder);
    }
}

QString fromLocal(const QByteArray &path) {
    return QFile::decodeName(path);
}

const QString kMakePrivate =
    QStringLiteral("Make the desktop's screenshot service write to a folder only you can open (for "
                   "example by setting TMPDIR to $XDG_RUNTIME_DIR in ~/.config/environment.d/ for the "
                   "desktop portal), or make %1 private (chmod 700)");
} // namespace

QString screenshotFilePrivacyProblem(const QString &path) {
    const QByteArray encoded = QFile::encodeName(path);
    struct stat file {};
    if (::lstat(encoded.constData(), &file) != 0)
        return QStringLiteral("the screen picture %1 cannot be examined: %2")
            .arg(path, QString::fromLocal8Bit(std::strerror(errno)));
    char resolved[PATH_MAX];
    if (!::realpath(parentOf(encoded).constData(), resolved))
        return QStringLiteral("the folder of the screen picture %1 cannot be examined").arg(path);
    const QByteArray folder(resolved);
    struct stat dir {};
    if (::stat(folder.constData(), &dir) != 0)
        return QStringLiteral("the folder of the screen picture %1 cannot be examined").arg(path);
    const QString folderName = fromLocal(folder);
    if ((dir.st_mode & S_IWOTH) || folder == "/tmp" || folder == "/var/tmp" || folder == "/dev/shm")
        return QStringLiteral("the desktop left the screen picture in %1, a folder every account on this "
                              "computer may use, so KelvraCapture did not use it. On sway and other wlroots "
                              "desktops KelvraCapture takes the picture itself where the compositor offers "
                              "the wlr screencopy protocol; elsewhere make the desktop's screenshot "
                              "service write to a folder only you can open (for example by setting TMPDIR "
                              "to $XDG_RUNTIME_DIR in ~/.config/environment.d/ for the desktop portal)")
            .arg(folderName);
    if (dir.st_uid != ::getuid() || (dir.st_mode & kOthersWrite))
        return QStringLiteral("the desktop left the screen picture in %1, where other accounts may put "
                              "or replace files, so KelvraCapture did not use it. ")
                   .arg(folderName) +
               kMakePrivate.arg(folderName);
    const bool othersList = (dir.st_mode & kOthersRead) && !closedToOthers(parentOf(folder));
    const bool othersRead = (file.st_mode & kOthersRead) && !closedToOthers(folder);
    if (othersList || othersRead)
        return QStringLiteral("the desktop left the screen picture in %1, where other accounts can read "
                              "it, so KelvraCapture did not use it. ")
                   .arg(folderName) +
               kMakePrivate.arg(folderName);
    return QString();
}

ScreenshotFileContents takeScreenshotFile(const QString &path, const QDateTime &notBefore) {
    ScreenshotFileContents result;
    const RemoveOnExit guard{QFile::encodeName(path)};
    struct statx before {};
    if (::statx(AT_FDCWD, guard.path.constData(), AT_SYMLINK_NOFOLLOW, STATX_BASIC_STATS | STATX_BTIME,
                &before) != 0) {
        result.problem = QStringLiteral("the screen picture %1 cannot be opened: %2")
                             .arg(path, QString::fromLocal8Bit(std::strerror(errno)));
        return result;
    }
    if (!S_ISREG(before.stx_mode)) {
        result.problem = QStringLiteral("the screen picture %1 is not a plain file").arg(path);
        return result;
    }
    if (before.stx_uid != ::getuid()) {
        result.problem = QStringLiteral("the screen picture %1 belongs to another account").arg(path);
        return result;
    }
    result.problem = screenshotFilePrivacyProblem(path);
    if (!result.problem.isEmpty()) {
        result.exposed = true;
        return result;
    }
    // File times have a coarser grain than the clock on some file systems.
    const statx_timestamp made = (before.stx_mask & STATX_BTIME) ? before.stx_btime : before.stx_mtime;
    const qint64 madeMs = qint64(made.tv_sec) * 1000 + made.tv_nsec / 1000000;
    if (notBefore.isValid() && madeMs + 1000 < notBefore.toMSecsSinceEpoch()) {
        result.problem = QStringLiteral("the screen picture %1 is older than the request").arg(path);
        return result;
    }
    const int fd = ::open(guard.path.constData(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK);
    struct stat opened {};
    if (fd < 0 || ::fstat(fd, &opened) != 0 || opened.st_ino != before.stx_ino ||
        major(opened.st_dev) != before.stx_dev_major || minor(opened.st_dev) != before.stx_dev_minor) {
        if (fd >= 0)
            ::close(fd);
        result.problem = QStringLiteral("the screen picture %1 changed while it was checked").arg(path);
        return result;
    }
    QFile file;
    if (!file.open(fd, QIODevice::ReadOnly, QFileDevice::AutoCloseHandle)) {
        ::close(fd);
        result.problem = QStringLiteral("the screen picture %1 cannot be read").arg(path);
        return result;
    }
    result.bytes = file.readAll();
    if (result.bytes.isEmpty())
        result.problem = QStringLiteral("the screen picture %1 is empty").arg(path);
    return result;
}
