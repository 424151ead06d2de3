#include "platform/portal/screenshot_file.h"

#include <QFile>

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
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
} // namespace

ScreenshotFileContents takeScreenshotFile(const QString &path, const QDateTime &notBefore) {
    ScreenshotFileContents result;
    const RemoveOnExit guard{QFile::encodeName(path)};
    const int fd = ::open(guard.path.constData(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0) {
        result.problem = QStringLiteral("the screen picture %1 cannot be opened: %2")
                             .arg(path, QString::fromLocal8Bit(std::strerror(errno)));
        return result;
    }
    struct stat info {};
    if (::fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) {
        ::close(fd);
        result.problem = QStringLiteral("the screen picture %1 is not a plain file").arg(path);
        return result;
    }
    if (info.st_uid != ::getuid()) {
        ::close(fd);
        result.problem = QStringLiteral("the screen picture %1 belongs to another user").arg(path);
        return result;
    }
    // File times have a coarser grain than the clock on some file systems.
    const qint64 modifiedMs = qint64(info.st_mtim.tv_sec) * 1000 + info.st_mtim.tv_nsec / 1000000;
    if (notBefore.isValid() && modifiedMs + 1000 < notBefore.toMSecsSinceEpoch()) {
        ::close(fd);
        result.problem = QStringLiteral("the screen picture %1 is older than the request").arg(path);
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
