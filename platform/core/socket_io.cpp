#include "platform/core/socket_io.h"

#include <cerrno>
#include <poll.h>
#include <sys/socket.h>

bool kcWaitForSocket(int fd, short events, const QDeadlineTimer &deadline) {
    pollfd p{fd, events, 0};
    for (;;) {
        const int left = deadline.isForever() ? -1 : int(qMax<qint64>(0, deadline.remainingTime()));
        const int r = ::poll(&p, 1, left);
        if (r > 0)
            return true;
        if (r == 0 || errno != EINTR)
            return false;
    }
}

bool kcSendAll(int fd, const QByteArray &data, const QDeadlineTimer &deadline) {
    qsizetype done = 0;
    while (done < data.size()) {
        if (!kcWaitForSocket(fd, POLLOUT, deadline))
            return false;
        const ssize_t n = ::send(fd, data.constData() + done, size_t(data.size() - done), MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        done += n;
    }
    return true;
}

bool kcReceiveAll(int fd, char *out, size_t size, const QDeadlineTimer &deadline) {
    size_t done = 0;
    while (done < size) {
        if (!kcWaitForSocket(fd, POLLIN, deadline))
            return false;
        const ssize_t n = ::recv(fd, out + done, size - done, 0);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        done += size_t(n);
    }
    return true;
}
