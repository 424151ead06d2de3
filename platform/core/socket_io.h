#pragma once
// Whole messages over a stream socket, with a deadline.

#include <QByteArray>
#include <QDeadlineTimer>

#include <cstddef>

// Waits until `fd` is ready for `events` (poll's POLLIN, POLLOUT); false on
// an error or when the deadline passes first.
bool kcWaitForSocket(int fd, short events, const QDeadlineTimer &deadline);

// Sends all of `data` (never raising SIGPIPE); false when the peer is gone,
// on an error, or when the deadline passes first.
bool kcSendAll(int fd, const QByteArray &data, const QDeadlineTimer &deadline = QDeadlineTimer::Forever);

// Receives exactly `size` bytes into `out`; false at the end of the stream,
// on an error, or when the deadline passes first.
bool kcReceiveAll(int fd, char *out, size_t size, const QDeadlineTimer &deadline = QDeadlineTimer::Forever);
