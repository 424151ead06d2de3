#pragma once
// The HTTPS transport under the session managers: QNetworkAccessManager on a
// process-wide network thread, one request per task, streamed request bodies,
// cookies kept across requests (a cookie store per session manager, so one
// service never receives another's cookies), per-request idle timeouts, an
// overall deadline, a cap on response bodies and a trust decision by the
// session's receiver before any request byte is sent.
//
// A request with a body (POST, PUT, PATCH) is sent at most once. Qt's HTTP
// layer sends a request again on its own when the connection closes before
// the first byte of the answer; the server may have acted on it by then, so
// here the task fails instead with NSURLErrorNetworkConnectionLost (a lost
// answer), and the caller decides whether to look before sending it again.
// Only a request of which nothing of its body left this process yet may go
// out on a new connection.
//
// Loopback hosts (127.0.0.0/8, ::1, localhost and names under .localhost)
// are reached directly, never through a proxy of the environment or the
// desktop; other hosts use the system's proxy settings.
//
// Redirects are followed here, not by Qt, within the origin (scheme, host,
// port) of the request only, and never from https to http. A redirect to
// another origin fails the task with an error that names both servers, the
// status and what the request carried (a body, a password, an Authorization
// header, cookies); nothing is sent there, and an answer counts only from
// the origin the request was meant for.
//
// Events of a task are reported to the transport's receiver on the network
// thread; the session manager forwards them to its operation queue.

#include "http/response_serializer.h"
#include "http/task.h"
#include "http/url_request.h"
#include "platform/core/error.h"

#include <QByteArray>
#include <QList>
#include <QNetworkCookie>
#include <QObject>
#include <QSslCertificate>
#include <QSslError>
#include <QString>
#include <QUrl>

#include <memory>

class QIODevice;
class QNetworkCookieJar;

// The cookies of one service: responses to its requests set them, its
// requests carry them. Thread-safe; the store lives on the network thread.
class KCHTTPCookieStorage {
public:
    static std::shared_ptr<KCHTTPCookieStorage> create();
    ~KCHTTPCookieStorage();
    KCHTTPCookieStorage(const KCHTTPCookieStorage &) = delete;
    KCHTTPCookieStorage &operator=(const KCHTTPCookieStorage &) = delete;

    QList<QNetworkCookie> cookiesForURL(const QUrl &url) const;
    void clear();

private:
    friend class KCTransportEngine;
    KCHTTPCookieStorage() = default;
    QNetworkCookieJar *m_jar = nullptr;
};

struct KCURLSessionConfiguration {
    // Used when a request's own timeout is not positive, in seconds.
    double timeoutIntervalForRequest = 60.0;
    // Headers added to every request that does not carry the field.
    KCHeaderList HTTPAdditionalHeaders;
    // Whether responses may set cookies and requests carry stored ones.
    bool HTTPShouldSetCookies = true;
    // Where they are kept; none: a store of the session manager's own.
    std::shared_ptr<KCHTTPCookieStorage> HTTPCookieStorage;
    // The longest a request may run from its start to its last byte, in
    // seconds, however steadily bytes arrive (the timeout above only ends
    // silences). Reached, the task fails with NSURLErrorTimedOut.
    double timeoutIntervalForResource = 600.0;
    // The largest response body accepted, in bytes; a larger one (announced
    // or received) fails the task with NSURLErrorDataLengthExceedsMaximum
    // before it is held in memory.
    qint64 maximumResponseBodyBytes = qint64(64) << 20;
    // Redirects followed per request before it fails.
    int maximumRedirects = 10;

    static KCURLSessionConfiguration defaultSessionConfiguration() { return {}; }
};

// The server's certificate chain as presented in the TLS handshake (leaf
// first), with the host it was asked for.
struct CVServerTrust {
    QList<QSslCertificate> certificates;
    QString host;
};

// Receives the events of a transport's tasks, on the network thread.
class KCTransportReceiver {
public:
    virtual ~KCTransportReceiver();
    // Decides a server-trust challenge; false rejects it and fails the task
    // before any request byte is sent. `reason` receives a short text for
    // a rejection.
    virtual bool taskDidReceiveServerTrustChallenge(const KCURLSessionTaskPtr &task,
                                                    const CVServerTrust &trust, QString *reason) = 0;
    virtual void taskDidSendBodyData(const KCURLSessionTaskPtr &task, qint64 bytesSent, qint64 totalBytesSent,
                                     qint64 totalBytesExpectedToSend) = 0;
    virtual void taskDidReceiveResponse(const KCURLSessionTaskPtr &task,
                                        const KCHTTPURLResponse &response) = 0;
    virtual void taskDidReceiveData(const KCURLSessionTaskPtr &task, const QByteArray &data) = 0;
    // A fresh body stream reading from the start, or null when there is none.
    virtual std::shared_ptr<QIODevice> taskNeedNewBodyStream(const KCURLSessionTaskPtr &task) = 0;
    virtual void taskDidComplete(const KCURLSessionTaskPtr &task, const KCError &error) = 0;
    virtual void taskDidChangeState(const KCURLSessionTaskPtr &task, KCURLSessionTask::State state);
};

class KCTransport : public std::enable_shared_from_this<KCTransport> {
public:
    // A transport whose tasks report to `receiver` (held weakly).
    static std::shared_ptr<KCTransport> create(const KCURLSessionConfiguration &configuration,
                                               std::weak_ptr<KCTransportReceiver> receiver);
    ~KCTransport();

    KCURLSessionConfiguration configuration() const { return m_configuration; }

    // New suspended tasks. An upload task sends the request's body stream.
    KCURLSessionTaskPtr dataTaskWithRequest(const KCURLRequest &request);
    KCURLSessionTaskPtr uploadTaskWithStreamedRequest(const KCURLRequest &request);

    // Cancels every running task; their completions still arrive.
    void cancelAllTasks();
    // Drops open connections, so that the next request makes (and judges) a
    // new TLS connection.
    void clearConnectionCache();

private:
    friend class KCURLSessionTask;
    friend class KCTransportEngine;
    KCTransport(const KCURLSessionConfiguration &configuration, std::weak_ptr<KCTransportReceiver> receiver);
    KCURLSessionTaskPtr makeTask(KCURLSessionTask::Kind kind, const KCURLRequest &request);
    void start(const KCURLSessionTaskPtr &task);
    void cancel(const KCURLSessionTaskPtr &task);
    void notifyState(const KCURLSessionTaskPtr &task, KCURLSessionTask::State state);

    KCURLSessionConfiguration m_configuration;
    std::weak_ptr<KCTransportReceiver> m_receiver;
    class KCTransportEngine *m_engine = nullptr; // lives on the network thread
};
