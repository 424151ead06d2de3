#include "capture/data_stream.h"

#include <algorithm>
#include <cstring>
#include <limits>
#include <mutex>
#include <unordered_map>

namespace {

// The open-stream registry. Streams may be opened and closed from any
// thread, so it is guarded by a mutex.
struct Registry {
    std::mutex mutex;
    std::unordered_map<const CKDataStreamContext *, std::shared_ptr<CKDataStreamContext>> contexts;
};

Registry &registry() {
    static Registry instance;
    return instance;
}

CKDataStreamContext *contextOf(void *cookie) {
    return static_cast<CKDataStreamContext *>(cookie);
}

int seekAdapter(void *cookie, off64_t *offset, int whence) {
    const qint64 position = CKDataStreamSeek(cookie, *offset, whence);
    if (position < 0)
        return -1;
    *offset = position;
    return 0;
}

FILE *openStream(std::shared_ptr<CKDataStreamContext> context) {
    cookie_io_functions_t functions{};
    functions.read = &CKDataStreamRead;
    functions.write = context->growable ? &CKDataStreamWrite : nullptr;
    functions.seek = &seekAdapter;
    functions.close = &CKDataStreamClose;
    FILE *stream = fopencookie(context.get(), context->growable ? "r+" : "r", functions);
    if (!stream)
        return nullptr;
    Registry &r = registry();
    std::lock_guard lock(r.mutex);
    r.contexts.emplace(context.get(), std::move(context));
    return stream;
}

} // namespace

CKDataStreamContext::CKDataStreamContext(std::shared_ptr<QByteArray> buffer, bool isGrowable)
    : data(buffer ? std::move(buffer) : std::make_shared<QByteArray>()), growable(isGrowable) {}

std::shared_ptr<CKDataStreamContext> CKDataStreamContext::contextWithData(const QByteArray &bytes) {
    return std::make_shared<CKDataStreamContext>(std::make_shared<QByteArray>(bytes), false);
}

std::shared_ptr<CKDataStreamContext> CKDataStreamContext::contextWithData(std::shared_ptr<QByteArray> bytes) {
    return std::make_shared<CKDataStreamContext>(std::move(bytes), true);
}

FILE *CKOpenDataStream(const QByteArray &data) {
    return openStream(CKDataStreamContext::contextWithData(data));
}

FILE *CKOpenDataStream(std::shared_ptr<QByteArray> data) {
    return openStream(CKDataStreamContext::contextWithData(std::move(data)));
}

ssize_t CKDataStreamRead(void *cookie, char *destination, size_t n) {
    CKDataStreamContext *context = contextOf(cookie);
    const qint64 length = context->data->size();
    if (context->pos < 0 || context->pos >= length)
        return 0;
    const size_t count =
        std::min<size_t>({n, size_t(length - context->pos), size_t(std::numeric_limits<ssize_t>::max())});
    std::memcpy(destination, context->data->constData() + context->pos, count);
    context->pos += qint64(count);
    return ssize_t(count);
}

ssize_t CKDataStreamWrite(void *cookie, const char *source, size_t n) {
    CKDataStreamContext *context = contextOf(cookie);
    if (!context->growable || context->pos < 0)
        return -1;
    QByteArray &buffer = *context->data;
    const qint64 maxSize = std::numeric_limits<qsizetype>::max() / 2;
    if (n > size_t(maxSize) || context->pos > maxSize - qint64(n))
        return -1;
    const qint64 end = context->pos + qint64(n);
    if (end > buffer.size()) {
        // Grow by n + pos - length; a gap left by seeking past the end reads
        // back as zeros.
        const qsizetype oldSize = buffer.size();
        buffer.resize(qsizetype(end));
        std::memset(buffer.data() + oldSize, 0, size_t(end - oldSize));
    }
    if (n > 0)
        std::memcpy(buffer.data() + context->pos, source, n);
    context->pos = end;
    return ssize_t(n);
}

qint64 CKDataStreamSeek(void *cookie, qint64 offset, int whence) {
    CKDataStreamContext *context = contextOf(cookie);
    qint64 base = 0;
    switch (whence) {
    case SEEK_SET:
        base = 0;
        break;
    case SEEK_CUR:
        base = context->pos;
        break;
    case SEEK_END:
        base = context->data->size();
        break;
    default:
        return -1;
    }
    qint64 position = 0;
    if (__builtin_add_overflow(base, offset, &position) || position < 0)
        return -1;
    context->pos = position;
    return position;
}

int CKDataStreamClose(void *cookie) {
    Registry &r = registry();
    std::shared_ptr<CKDataStreamContext> keep; // released after the lock
    std::lock_guard lock(r.mutex);
    const auto it = r.contexts.find(contextOf(cookie));
    if (it != r.contexts.end()) {
        keep = std::move(it->second);
        r.contexts.erase(it);
    }
    return 0;
}

size_t CKOpenDataStreamCount() {
    Registry &r = registry();
    std::lock_guard lock(r.mutex);
    return r.contexts.size();
}

bool CKOpenDataStreamIsRegistered(const CKDataStreamContext *context) {
    Registry &r = registry();
    std::lock_guard lock(r.mutex);
    return r.contexts.count(context) != 0;
}
