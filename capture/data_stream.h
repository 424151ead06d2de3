#pragma once
// C stdio streams over in-memory byte buffers (glibc fopencookie), so that C
// libraries that read from a FILE * (Leptonica's PNG decoder) can read bytes
// that never touch the file system.
//
// Every open stream's context is held by a process-wide registry from the
// moment the stream is opened until it is closed; the registry is what keeps
// the context alive while the stream refers to it.

#include <QByteArray>
#include <cstdio>
#include <memory>
#include <sys/types.h>

class CKDataStreamContext {
public:
    // A context over a fixed buffer: its stream can be read and sought, not
    // written.
    static std::shared_ptr<CKDataStreamContext> contextWithData(const QByteArray &data);
    // A context over a growable buffer that the caller shares: writes land in
    // it, growing it as needed.
    static std::shared_ptr<CKDataStreamContext> contextWithData(std::shared_ptr<QByteArray> data);

    CKDataStreamContext(std::shared_ptr<QByteArray> data, bool growable);

    const std::shared_ptr<QByteArray> data;
    const bool growable;
    qint64 pos = 0;
};

// A read stream over a copy of `data` (Qt's implicit sharing: no bytes are
// copied), or nullptr.
FILE *CKOpenDataStream(const QByteArray &data);
// A read-write stream over the caller's growable buffer, or nullptr.
FILE *CKOpenDataStream(std::shared_ptr<QByteArray> data);

// The stream callbacks, each taking the context as its cookie.
// read: copies up to n bytes from pos on, advances pos, returns the count
// (0 at or past the end).
ssize_t CKDataStreamRead(void *cookie, char *destination, size_t n);
// write: on a growable buffer grows it (zero-filled) when the write passes
// its end, replaces n bytes at pos, advances pos, returns n; -1 on a fixed
// buffer.
ssize_t CKDataStreamWrite(void *cookie, const char *source, size_t n);
// seek: whence SEEK_SET, SEEK_CUR or SEEK_END; returns the new position, or
// -1 (position unchanged) for any other whence and for a position that would
// be negative or overflow.
qint64 CKDataStreamSeek(void *cookie, qint64 offset, int whence);
// close: removes the context from the registry, returns 0.
int CKDataStreamClose(void *cookie);

// Number of contexts in the open-stream registry.
size_t CKOpenDataStreamCount();
// True when `context` is in the open-stream registry.
bool CKOpenDataStreamIsRegistered(const CKDataStreamContext *context);
