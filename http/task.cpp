#include "http/task.h"

#include "http/transport.h"

#include <mutex>

struct KCURLSessionTask::Private {
    mutable std::mutex mutex;
    std::shared_ptr<KCTransport> transport;
    State state = Suspended;
    bool started = false;
    std::optional<KCHTTPURLResponse> response;
    KCError error;
    qint64 bytesSent = 0;
    qint64 bytesExpectedToSend = NSURLSessionTransferSizeUnknown;
    qint64 bytesReceived = 0;
    QString description;
};

KCURLSessionTask::KCURLSessionTask(Kind kind, quint64 identifier, const KCURLRequest &request,
                                   std::shared_ptr<KCTransport> transport)
    : m_kind(kind), m_identifier(identifier), m_originalRequest(request), d(std::make_unique<Private>()) {
    d->transport = std::move(transport);
    if (!request.HTTPBodyStream() && request.hasHTTPBody())
        d->bytesExpectedToSend = request.HTTPBody().size();
    else if (!request.HTTPBodyStream())
        d->bytesExpectedToSend = 0;
}

KCURLSessionTask::~KCURLSessionTask() = default;

std::optional<KCHTTPURLResponse> KCURLSessionTask::response() const {
    std::lock_guard lock(d->mutex);
    return d->response;
}

KCError KCURLSessionTask::error() const {
    std::lock_guard lock(d->mutex);
    return d->error;
}

KCURLSessionTask::State KCURLSessionTask::state() const {
    std::lock_guard lock(d->mutex);
    return d->state;
}

qint64 KCURLSessionTask::countOfBytesSent() const {
    std::lock_guard lock(d->mutex);
    return d->bytesSent;
}

qint64 KCURLSessionTask::countOfBytesExpectedToSend() const {
    std::lock_guard lock(d->mutex);
    return d->bytesExpectedToSend;
}

qint64 KCURLSessionTask::countOfBytesReceived() const {
    std::lock_guard lock(d->mutex);
    return d->bytesReceived;
}

QString KCURLSessionTask::taskDescription() const {
    std::lock_guard lock(d->mutex);
    return d->description;
}

void KCURLSessionTask::setTaskDescription(const QString &description) {
    std::lock_guard lock(d->mutex);
    d->description = description;
}

void KCURLSessionTask::resume() {
    bool first = false;
    std::shared_ptr<KCTransport> transport;
    {
        std::lock_guard lock(d->mutex);
        if (d->state != Suspended)
            return;
        d->state = Running;
        first = !d->started;
        d->started = true;
        transport = d->transport;
    }
    transport->notifyState(shared_from_this(), Running);
    if (first)
        transport->start(shared_from_this());
}

void KCURLSessionTask::suspend() {
    std::shared_ptr<KCTransport> transport;
    {
        std::lock_guard lock(d->mutex);
        if (d->state != Running)
            return;
        d->state = Suspended;
        transport = d->transport;
    }
    transport->notifyState(shared_from_this(), Suspended);
}

void KCURLSessionTask::cancel() {
    std::shared_ptr<KCTransport> transport;
    {
        std::lock_guard lock(d->mutex);
        if (d->state == Canceling || d->state == Completed)
            return;
        d->state = Canceling;
        transport = d->transport;
    }
    transport->cancel(shared_from_this());
}

void KCURLSessionTask::recordBytesSent(qint64 totalSent, qint64 expected) {
    std::lock_guard lock(d->mutex);
    d->bytesSent = totalSent;
    if (expected >= 0)
        d->bytesExpectedToSend = expected;
}

void KCURLSessionTask::recordResponse(const KCHTTPURLResponse &response) {
    std::lock_guard lock(d->mutex);
    d->response = response;
}

void KCURLSessionTask::recordBytesReceived(qint64 count) {
    std::lock_guard lock(d->mutex);
    d->bytesReceived += count;
}

void KCURLSessionTask::recordCompletion(const KCError &error) {
    std::lock_guard lock(d->mutex);
    d->error = error;
    d->state = Completed;
}
