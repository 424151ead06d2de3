#pragma once
// A transfer task of a session: one request, its response, byte counts and
// state. Tasks are created suspended by their session manager; resume()
// starts the transfer. Every method is thread-safe.

#include "http/response_serializer.h"
#include "http/url_request.h"
#include "platform/core/error.h"

#include <QString>

#include <memory>
#include <optional>

class KCTransport;

// The transfer-size marker of an unknown body length.
inline constexpr qint64 NSURLSessionTransferSizeUnknown = -1;

// Transport error domain and the codes this layer produces.
inline const QString NSURLErrorDomain = QStringLiteral("NSURLErrorDomain");
inline constexpr qint64 NSURLErrorUnknown = -1;
inline constexpr qint64 NSURLErrorCancelled = -999;
inline constexpr qint64 NSURLErrorUnsupportedURL = -1002;
inline constexpr qint64 NSURLErrorCannotFindHost = -1003;
inline constexpr qint64 NSURLErrorCannotConnectToHost = -1004;
inline constexpr qint64 NSURLErrorTimedOut = -1001;
inline constexpr qint64 NSURLErrorNetworkConnectionLost = -1005;
inline constexpr qint64 NSURLErrorNotConnectedToInternet = -1009;
inline constexpr qint64 NSURLErrorRequestBodyStreamExhausted = -1021;
inline constexpr qint64 NSURLErrorSecureConnectionFailed = -1200;
inline constexpr qint64 NSURLErrorServerCertificateUntrusted = -1202;
inline constexpr qint64 NSURLErrorHTTPTooManyRedirects = -1007;
inline constexpr qint64 NSURLErrorRedirectToNonExistentLocation = -1010;
inline constexpr qint64 NSURLErrorDataLengthExceedsMaximum = -1103;

class KCURLSessionTask : public std::enable_shared_from_this<KCURLSessionTask> {
public:
    enum State { Running = 0, Suspended = 1, Canceling = 2, Completed = 3 };
    enum Kind { DataTask, UploadTask };

    ~KCURLSessionTask();

    quint64 taskIdentifier() const { return m_identifier; }
    Kind kind() const { return m_kind; }
    KCURLRequest originalRequest() const { return m_originalRequest; }
    // The response once its header arrived.
    std::optional<KCHTTPURLResponse> response() const;
    KCError error() const;
    State state() const;

    qint64 countOfBytesSent() const;
    // NSURLSessionTransferSizeUnknown for streamed bodies.
    qint64 countOfBytesExpectedToSend() const;
    qint64 countOfBytesReceived() const;

    QString taskDescription() const;
    void setTaskDescription(const QString &description);

    // Starts (or continues) the transfer. A task that was cancelled or has
    // completed stays as it is.
    void resume();
    // Holds a task that has not started yet; a running transfer continues.
    void suspend();
    // Stops the transfer; the task completes with NSURLErrorCancelled.
    void cancel();

private:
    friend class KCTransport;
    friend class KCTransportEngine;
    KCURLSessionTask(Kind kind, quint64 identifier, const KCURLRequest &request,
                     std::shared_ptr<KCTransport> transport);

    // Bookkeeping by the transport.
    void recordBytesSent(qint64 totalSent, qint64 expected);
    void recordResponse(const KCHTTPURLResponse &response);
    void recordBytesReceived(qint64 count);
    void recordCompletion(const KCError &error);

    struct Private;
    const Kind m_kind;
    const quint64 m_identifier;
    const KCURLRequest m_originalRequest;
    std::unique_ptr<Private> d;
};

using KCURLSessionTaskPtr = std::shared_ptr<KCURLSessionTask>;
