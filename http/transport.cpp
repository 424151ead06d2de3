#include "http/transport.h"

#include "http/secure_url.h"

#include <QBuffer>
#include <QCoreApplication>
#include <QIODevice>
#include <QMetaObject>
#include <QNetworkAccessManager>
#include <QNetworkCookieJar>
#include <QNetworkProxyFactory>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QPointer>
#include <QSslConfiguration>
#include <QThread>
#include <QTimer>

#include <atomic>
#include <map>

KCTransportReceiver::~KCTransportReceiver() = default;
void KCTransportReceiver::taskDidChangeState(const KCURLSessionTaskPtr &, KCURLSessionTask::State) {}

namespace {

class ClearableCookieJar : public QNetworkCookieJar {
public:
    using QNetworkCookieJar::QNetworkCookieJar;
    void clear() { setAllCookies({}); }
};

// Loopback hosts directly; every other host as the system's proxy settings
// say (the environment's http_proxy, the desktop's settings).
class LoopbackDirectProxyFactory : public QNetworkProxyFactory {
public:
    QList<QNetworkProxy> queryProxy(const QNetworkProxyQuery &query) override {
        if (kcIsLoopbackName(query.peerHostName()))
            return {QNetworkProxy(QNetworkProxy::NoProxy)};
        return QNetworkProxyFactory::proxyForQuery(query);
    }
};

// The thread on which every transport's QNetworkAccessManager lives, for the
// whole process.
struct NetworkThread {
    QThread *thread = nullptr;
    QObject *context = nullptr;

    static NetworkThread &instance() {
        static NetworkThread *n = [] {
            auto *nt = new NetworkThread;
            nt->thread = new QThread;
            nt->thread->setObjectName(QStringLiteral("kc-network"));
            nt->context = new QObject;
            nt->context->moveToThread(nt->thread);
            nt->thread->start();
            return nt;
        }();
        return *n;
    }

    // Runs `f` on the network thread and waits for it.
    template <typename F> void runBlocking(F &&f) {
        if (QThread::currentThread() == thread)
            f();
        else
            QMetaObject::invokeMethod(context, std::forward<F>(f), Qt::BlockingQueuedConnection);
    }
};

std::atomic<quint64> gNextTaskIdentifier{1};

KCError urlError(qint64 code, const QString &description, const QUrl &url = QUrl(),
                 const KCError &underlying = {}) {
    QVariantMap info{{NSLocalizedDescriptionKey, description}};
    if (!url.isEmpty()) {
        info.insert(NSURLErrorFailingURLErrorKey, url);
        info.insert(QStringLiteral("NSErrorFailingURLStringKey"), url.toString());
    }
    if (underlying)
        info.insert(NSUnderlyingErrorKey, QVariant::fromValue(underlying));
    return KCError(NSURLErrorDomain, code, info);
}

// A sequential device over a request's body (bytes or a stream), of known
// length when the request has "Content-Length". reset() is how Qt's HTTP
// layer asks to send the body again: after a redirect that keeps the body,
// or on its own when the connection closed before the answer. For a request
// that is sent at most once (`once`) it refuses as soon as any byte of the
// body has been read (the request may have reached the server), which makes
// Qt fail the reply with ContentReSendError instead of sending it again.
// Otherwise it restarts the body from a fresh copy.
class UploadDevice : public QIODevice {
public:
    UploadDevice(std::shared_ptr<QIODevice> source, qint64 length,
                 std::function<std::shared_ptr<QIODevice>()> restart, bool once)
        : m_source(std::move(source)), m_length(length), m_restart(std::move(restart)), m_once(once) {}

    bool openSource() {
        if (!m_source)
            return false;
        if (!m_source->isOpen() && !m_source->open(QIODevice::ReadOnly))
            return false;
        return open(QIODevice::ReadOnly | QIODevice::Unbuffered);
    }

    bool isSequential() const override { return true; }
    qint64 size() const override { return m_length; }
    qint64 bytesAvailable() const override {
        if (m_length >= 0)
            return qMax<qint64>(0, m_length - m_produced);
        return m_failed ? 0 : 1 << 20;
    }
    bool atEnd() const override { return m_length >= 0 ? m_produced >= m_length : m_sourceFinished; }

    bool reset() override {
        if (m_once) {
            // Nothing of a non-empty body went out: the server has no
            // complete request to act on, and the body is still unread.
            if (m_produced == 0 && m_length != 0 && !m_sourceFinished)
                return true;
            m_resendRefused = true;
            return false;
        }
        std::shared_ptr<QIODevice> fresh = m_restart ? m_restart() : nullptr;
        if (!fresh)
            return false;
        m_source = std::move(fresh);
        m_produced = 0;
        m_sourceFinished = false;
        m_failed = false;
        if (!m_source->isOpen() && !m_source->open(QIODevice::ReadOnly))
            return false;
        return true;
    }

    bool failed() const { return m_failed; }
    QString failure() const { return m_failure; }
    // Whether Qt asked to send the body again and was refused.
    bool resendRefused() const { return m_resendRefused; }
    std::function<void()> onFailure;

protected:
    qint64 readData(char *data, qint64 maxlen) override {
        if (m_failed)
            return -1;
        if (m_length >= 0)
            maxlen = qMin(maxlen, m_length - m_produced);
        if (maxlen <= 0)
            return m_length >= 0 ? 0 : -1;
        const qint64 n = m_source->read(data, maxlen);
        if (n < 0) {
            fail(m_source->errorString().isEmpty() ? QStringLiteral("the request body stream failed")
                                                   : m_source->errorString());
            return -1;
        }
        if (n == 0 && m_source->atEnd()) {
            m_sourceFinished = true;
            if (m_length >= 0 && m_produced < m_length) {
                fail(QStringLiteral("the request body stream ended after %1 of %2 bytes")
                         .arg(m_produced)
                         .arg(m_length));
                return -1;
            }
            return m_length >= 0 ? 0 : -1;
        }
        m_produced += n;
        return n;
    }
    qint64 writeData(const char *, qint64) override { return -1; }

private:
    void fail(const QString &why) {
        m_failed = true;
        m_failure = why;
        setErrorString(why);
        if (onFailure)
            onFailure();
    }

    std::shared_ptr<QIODevice> m_source;
    qint64 m_length;
    std::function<std::shared_ptr<QIODevice>()> m_restart;
    bool m_once;
    qint64 m_produced = 0;
    bool m_sourceFinished = false;
    bool m_failed = false;
    bool m_resendRefused = false;
    QString m_failure;
};

// Methods whose request is sent at most once: the server may act on it.
bool sentAtMostOnce(const QByteArray &verb) {
    return verb == "POST" || verb == "PUT" || verb == "PATCH";
}

bool isHTTPLevelError(QNetworkReply::NetworkError e) {
    // Errors Qt derives from an HTTP status; the response itself arrived.
    // Qt reports 400 (and 418) as an invalid operation of the protocol.
    const int code = int(e);
    return (code >= 201 && code <= 299 && e != QNetworkReply::ContentReSendError) ||
           (code >= 401 && code <= 499) || e == QNetworkReply::ProtocolInvalidOperationError;
}

} // namespace

// Lives on the network thread; owns the QNetworkAccessManager and the
// replies of running tasks.
class KCTransportEngine : public QObject {
public:
    KCTransportEngine(KCURLSessionConfiguration configuration, std::weak_ptr<KCTransportReceiver> receiver)
        : m_configuration(std::move(configuration)), m_receiver(std::move(receiver)) {
        if (!m_configuration.HTTPCookieStorage)
            m_configuration.HTTPCookieStorage = KCHTTPCookieStorage::create();
    }

    ~KCTransportEngine() override {
        for (auto &[id, r] : m_running) {
            if (r.reply) {
                r.reply->disconnect(this);
                r.reply->abort();
                r.reply->deleteLater();
            }
        }
        // Before the cookie store it uses goes.
        delete m_nam;
    }

    void start(const KCURLSessionTaskPtr &task);
    void cancel(const KCURLSessionTaskPtr &task);
    void cancelAll() {
        std::vector<KCURLSessionTaskPtr> tasks;
        for (auto &[id, r] : m_running)
            tasks.push_back(r.task);
        for (auto &t : tasks)
            cancel(t);
    }
    void clearConnectionCache() {
        if (m_nam)
            m_nam->clearConnectionCache();
    }

private:
    struct Running {
        KCURLSessionTaskPtr task;
        // The request being sent: the task's request, or where a redirect led.
        KCURLRequest current;
        int redirects = 0;
        // Set once a request of the task went out with stored cookies.
        bool sentCookies = false;
        QPointer<QNetworkReply> reply;
        QTimer *timer = nullptr;
        std::shared_ptr<QTimer> deadline;
        UploadDevice *device = nullptr;
        bool timedOut = false;
        bool deadlineExpired = false;
        bool tooLarge = false;
        bool cancelled = false;
        bool trustRejected = false;
        QString trustReason;
        bool responseDelivered = false;
        qint64 lastSent = 0;
        qint64 bodyBytes = 0;
    };

    QNetworkAccessManager *nam() {
        if (!m_nam) {
            m_nam = new QNetworkAccessManager(this);
            QNetworkCookieJar *jar = m_configuration.HTTPCookieStorage->m_jar;
            m_nam->setCookieJar(jar);
            jar->setParent(nullptr); // the storage's, shared with later sessions of the manager
            m_nam->setProxyFactory(new LoopbackDirectProxyFactory);
            // Redirects are judged by followRedirect().
            m_nam->setRedirectPolicy(QNetworkRequest::ManualRedirectPolicy);
        }
        return m_nam;
    }

    std::shared_ptr<KCTransportReceiver> receiver() const { return m_receiver.lock(); }

    void complete(const KCURLSessionTaskPtr &task, const KCError &error) {
        task->recordCompletion(error);
        if (auto r = receiver())
            r->taskDidComplete(task, error);
    }

    static bool isRedirect(QNetworkReply *reply) {
        const int status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
        return (status == 301 || status == 302 || status == 303 || status == 307 || status == 308) &&
               reply->hasRawHeader("Location");
    }

    void deliverResponse(Running &r) {
        if (r.responseDelivered || !r.reply)
            return;
        const QVariant status = r.reply->attribute(QNetworkRequest::HttpStatusCodeAttribute);
        if (!status.isValid())
            return;
        r.responseDelivered = true;
        QList<QPair<QByteArray, QByteArray>> headers;
        for (const auto &pair : r.reply->rawHeaderPairs())
            headers.append({pair.first, pair.second});
        KCHTTPURLResponse response(r.reply->url(), status.toLongLong(), headers);
        r.task->recordResponse(response);
        if (auto rec = receiver())
            rec->taskDidReceiveResponse(r.task, response);
    }

    void deliverData(Running &r) {
        if (!r.reply || !r.reply->isOpen())
            return;
        const QByteArray data = r.reply->readAll();
        if (data.isEmpty())
            return;
        r.task->recordBytesReceived(data.size());
        if (auto rec = receiver())
            rec->taskDidReceiveData(r.task, data);
    }

    void touch(Running &r) {
        if (r.timer)
            r.timer->start();
    }

    // Sends r.current on a new reply; false (and the task completed) when its
    // body cannot be read.
    bool send(quint64 id);
    // Follows the redirect `r.reply` answered with; false with `error` set
    // when it may not be followed.
    bool followRedirect(quint64 id, KCError *error);
    // For the user: why the request of `r`, last sent to `from`, does not
    // follow a redirect to another origin. What it carries (a body, a
    // password, an Authorization header, cookies) is named, from its start
    // on: a POST turned into a GET by a 303 is still a POST with a body.
    static QString whyItStaysOnItsOrigin(const Running &r, const QUrl &from);
    void onEncrypted(quint64 id);
    void onFinished(quint64 id);

    KCURLSessionConfiguration m_configuration;
    std::weak_ptr<KCTransportReceiver> m_receiver;
    QNetworkAccessManager *m_nam = nullptr;
    std::map<quint64, Running> m_running;
};

namespace {

bool sameOrigin(const QUrl &a, const QUrl &b) {
    const QString scheme = a.scheme().toLower();
    const int defaultPort = scheme == QLatin1String("https") ? 443 : 80;
    return scheme == b.scheme().toLower() && a.host().compare(b.host(), Qt::CaseInsensitive) == 0 &&
           a.port(defaultPort) == b.port(defaultPort);
}

// "http://host:port" of `url`, without user, path or query.
QString originText(const QUrl &url) {
    return url.toString(QUrl::RemoveUserInfo | QUrl::RemovePath | QUrl::RemoveQuery | QUrl::RemoveFragment);
}

// What `request` carries that belongs to its origin alone: a body, a
// password in the URL, an Authorization header, cookies (set by hand, or
// `storedCookies` from the cookie store).
QStringList originBoundContents(const KCURLRequest &request, bool storedCookies) {
    QStringList contents;
    if (request.hasHTTPBody() || request.HTTPBodyStream())
        contents.append(QStringLiteral("a body"));
    if (!request.URL().password().isEmpty())
        contents.append(QStringLiteral("a password"));
    if (request.hasHeaderField(QStringLiteral("Authorization")) ||
        request.hasHeaderField(QStringLiteral("Proxy-Authorization")))
        contents.append(QStringLiteral("an Authorization header"));
    if (storedCookies || request.hasHeaderField(QStringLiteral("Cookie")))
        contents.append(QStringLiteral("cookies"));
    return contents;
}

bool isPlainMethod(const KCURLRequest &request) {
    const QString method = request.HTTPMethod().toUpper();
    return method == QLatin1String("GET") || method == QLatin1String("HEAD");
}

} // namespace

void KCTransportEngine::start(const KCURLSessionTaskPtr &task) {
    const KCURLRequest request = task->originalRequest();
    const QUrl url = request.URL();
    const QString scheme = url.scheme().toLower();
    if (!url.isValid() || url.host().isEmpty() ||
        (scheme != QLatin1String("http") && scheme != QLatin1String("https"))) {
        complete(task, urlError(NSURLErrorUnsupportedURL, QStringLiteral("unsupported URL"), url));
        return;
    }
    if (task->state() == KCURLSessionTask::Canceling) {
        complete(task, urlError(NSURLErrorCancelled, QStringLiteral("cancelled"), url));
        return;
    }

    const quint64 id = task->taskIdentifier();
    Running &r = m_running[id];
    r.task = task;
    r.current = request;
    if (m_configuration.timeoutIntervalForResource > 0) {
        // The whole request, redirects included, ends by this time.
        r.deadline = std::make_shared<QTimer>();
        r.deadline->setSingleShot(true);
        r.deadline->setInterval(qMax<qint64>(1, qint64(m_configuration.timeoutIntervalForResource * 1000.0)));
        QObject::connect(r.deadline.get(), &QTimer::timeout, this, [this, id] {
            auto it = m_running.find(id);
            if (it == m_running.end() || !it->second.reply)
                return;
            it->second.deadlineExpired = true;
            it->second.reply->abort();
        });
        r.deadline->start();
    }
    send(id);
}

bool KCTransportEngine::send(quint64 id) {
    Running &r = m_running[id];
    const KCURLSessionTaskPtr task = r.task;
    const KCURLRequest request = r.current;
    const QUrl url = request.URL();
    const QString scheme = url.scheme().toLower();

    QNetworkRequest qr(url);
    for (const auto &[name, value] : m_configuration.HTTPAdditionalHeaders) {
        if (!request.hasHeaderField(name))
            qr.setRawHeader(name.toLatin1(), value.toUtf8());
    }
    for (const auto &[name, value] : request.allHTTPHeaderFields())
        qr.setRawHeader(name.toLatin1(), value.toUtf8());
    qr.setAttribute(QNetworkRequest::Http2AllowedAttribute, false);
    qr.setAttribute(QNetworkRequest::CacheLoadControlAttribute, QNetworkRequest::AlwaysNetwork);
    qr.setAttribute(QNetworkRequest::CacheSaveControlAttribute, false);
    qr.setAttribute(QNetworkRequest::RedirectPolicyAttribute, QNetworkRequest::ManualRedirectPolicy);
    if (!request.HTTPShouldHandleCookies() || !m_configuration.HTTPShouldSetCookies) {
        qr.setAttribute(QNetworkRequest::CookieLoadControlAttribute, QNetworkRequest::Manual);
        qr.setAttribute(QNetworkRequest::CookieSaveControlAttribute, QNetworkRequest::Manual);
    } else if (!m_configuration.HTTPCookieStorage->m_jar->cookiesForUrl(url).isEmpty()) {
        // The access manager adds them from the same store, on this thread.
        r.sentCookies = true;
    }
    if (scheme == QLatin1String("https")) {
        // The session's receiver judges the chain once the handshake is done
        // (see onEncrypted), before the request is written.
        QSslConfiguration ssl = QSslConfiguration::defaultConfiguration();
        ssl.setPeerVerifyMode(QSslSocket::VerifyNone);
        qr.setSslConfiguration(ssl);
    }
    const double timeout =
        request.timeoutInterval() > 0 ? request.timeoutInterval() : m_configuration.timeoutIntervalForRequest;

    r.device = nullptr;
    r.responseDelivered = false;
    r.lastSent = 0;
    r.bodyBytes = 0;
    const QByteArray verb = request.HTTPMethod().toUpper().toLatin1();
    const bool once = sentAtMostOnce(verb);
    QNetworkReply *reply = nullptr;
    std::shared_ptr<QIODevice> stream = request.HTTPBodyStream();
    bool ok = false;
    qint64 length = request.valueForHTTPHeaderField(QStringLiteral("Content-Length")).toLongLong(&ok);
    if (!stream && (request.hasHTTPBody() || once)) {
        // Bytes go through the same device as a stream, so that Qt cannot
        // send them again on its own.
        auto buffer = std::make_shared<QBuffer>();
        buffer->setData(request.HTTPBody());
        length = buffer->size();
        ok = true;
        qr.setHeader(QNetworkRequest::ContentLengthHeader, length);
        stream = std::move(buffer);
    }
    if (stream) {
        std::weak_ptr<KCTransportReceiver> weakReceiver = m_receiver;
        std::weak_ptr<KCURLSessionTask> weakTask = task;
        const bool bytes = !request.HTTPBodyStream();
        const QByteArray body = bytes ? request.HTTPBody() : QByteArray();
        r.device = new UploadDevice(
            stream, ok ? length : -1,
            [weakReceiver, weakTask, bytes, body]() -> std::shared_ptr<QIODevice> {
                if (bytes) {
                    auto again = std::make_shared<QBuffer>();
                    again->setData(body);
                    return again;
                }
                auto rec = weakReceiver.lock();
                auto t = weakTask.lock();
                return rec && t ? rec->taskNeedNewBodyStream(t) : nullptr;
            },
            once);
        if (!r.device->openSource()) {
            delete r.device;
            m_running.erase(id);
            complete(task, urlError(NSURLErrorRequestBodyStreamExhausted,
                                    QStringLiteral("The request body stream could not be opened."), url));
            return false;
        }
        r.device->onFailure = [this, id] {
            QMetaObject::invokeMethod(
                this,
                [this, id] {
                    auto it = m_running.find(id);
                    if (it != m_running.end() && it->second.reply)
                        it->second.reply->abort();
                },
                Qt::QueuedConnection);
        };
        qr.setAttribute(QNetworkRequest::DoNotBufferUploadDataAttribute, true);
        reply = nam()->sendCustomRequest(qr, verb, r.device);
        r.device->setParent(reply);
    } else if (verb == "GET" || verb == "HEAD" || verb == "DELETE" || verb == "OPTIONS") {
        reply = nam()->sendCustomRequest(qr, verb);
    } else {
        reply = nam()->sendCustomRequest(qr, verb, QByteArray());
    }
    r.reply = reply;

    r.timer = new QTimer(reply);
    r.timer->setSingleShot(true);
    r.timer->setInterval(qMax<qint64>(1, qint64(timeout * 1000.0)));
    QObject::connect(r.timer, &QTimer::timeout, this, [this, id] {
        auto it = m_running.find(id);
        if (it == m_running.end() || !it->second.reply)
            return;
        it->second.timedOut = true;
        it->second.reply->abort();
    });
    r.timer->start();

    QObject::connect(reply, &QNetworkReply::encrypted, this, [this, id] { onEncrypted(id); });
    QObject::connect(reply, &QNetworkReply::sslErrors, this, [this, id](const QList<QSslError> &) {
        // Verification is ours (onEncrypted); Qt's own is switched off.
        auto it = m_running.find(id);
        if (it != m_running.end() && it->second.reply)
            it->second.reply->ignoreSslErrors();
    });
    QObject::connect(reply, &QNetworkReply::uploadProgress, this, [this, id](qint64 sent, qint64 total) {
        auto it = m_running.find(id);
        if (it == m_running.end())
            return;
        Running &run = it->second;
        touch(run);
        if (sent <= run.lastSent)
            return;
        const qint64 delta = sent - run.lastSent;
        run.lastSent = sent;
        qint64 expected = run.task->countOfBytesExpectedToSend();
        if (expected < 0 && run.task->kind() == KCURLSessionTask::DataTask && total > 0)
            expected = total;
        run.task->recordBytesSent(sent, expected);
        if (auto rec = receiver())
            rec->taskDidSendBodyData(run.task, delta, sent, run.task->countOfBytesExpectedToSend());
    });
    QObject::connect(reply, &QNetworkReply::metaDataChanged, this, [this, id] {
        auto it = m_running.find(id);
        if (it == m_running.end() || !it->second.reply)
            return;
        Running &run = it->second;
        touch(run);
        if (isRedirect(run.reply))
            return;
        bool known = false;
        const qint64 announced = run.reply->header(QNetworkRequest::ContentLengthHeader).toLongLong(&known);
        if (known && announced > m_configuration.maximumResponseBodyBytes) {
            run.tooLarge = true;
            run.reply->abort(); // may finish the task at once: `run` is not used again
            return;
        }
        deliverResponse(run);
    });
    QObject::connect(reply, &QNetworkReply::readyRead, this, [this, id] {
        auto it = m_running.find(id);
        if (it == m_running.end() || !it->second.reply)
            return;
        Running &run = it->second;
        touch(run);
        if (isRedirect(run.reply)) {
            run.reply->readAll(); // the body of a redirect is not the answer
            return;
        }
        run.bodyBytes += run.reply->bytesAvailable();
        if (run.bodyBytes > m_configuration.maximumResponseBodyBytes) {
            run.tooLarge = true;
            run.reply->abort();
            return;
        }
        deliverResponse(run);
        deliverData(run);
    });
    QObject::connect(reply, &QNetworkReply::finished, this, [this, id] { onFinished(id); });
    return true;
}

bool KCTransportEngine::followRedirect(quint64 id, KCError *error) {
    Running &r = m_running[id];
    const QUrl from = r.reply->url();
    const int status = r.reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
    const QUrl to = from.resolved(QUrl::fromEncoded(r.reply->rawHeader("Location").trimmed()));
    const QString scheme = to.scheme().toLower();
    auto refuse = [&](qint64 code, const QString &why) {
        *error = urlError(code, why, r.task->originalRequest().URL());
        return false;
    };
    if (!to.isValid() || to.host().isEmpty() ||
        (scheme != QLatin1String("http") && scheme != QLatin1String("https")))
        return refuse(NSURLErrorRedirectToNonExistentLocation,
                      QStringLiteral("The server redirected the request to an unusable location."));
    if (++r.redirects > m_configuration.maximumRedirects)
        return refuse(NSURLErrorHTTPTooManyRedirects,
                      QStringLiteral("The server redirected too many times."));
    if (from.scheme().toLower() == QLatin1String("https") && scheme == QLatin1String("http"))
        return refuse(NSURLErrorRedirectToNonExistentLocation,
                      QStringLiteral("The server redirected the request from https to plain http (%1).")
                          .arg(originText(to)));
    if (!sameOrigin(from, to))
        return refuse(NSURLErrorRedirectToNonExistentLocation,
                      QStringLiteral("The server at %1 redirected the request (HTTP %2) to another server, "
                                     "%3. It was not sent there: %4.")
                          .arg(originText(from))
                          .arg(status)
                          .arg(originText(to), whyItStaysOnItsOrigin(r, from)));

    KCURLRequest next = r.current;
    next.setURL(to);
    const QString method = next.HTTPMethod().toUpper();
    if ((status == 303 && method != QLatin1String("HEAD")) ||
        ((status == 301 || status == 302) && method == QLatin1String("POST"))) {
        next.setHTTPMethod(QStringLiteral("GET"));
        next.clearHTTPBody();
        next.setHTTPBodyStream(nullptr);
        for (const char *field : {"Content-Type", "Content-Length", "Transfer-Encoding"})
            next.setValue(QString(), QLatin1String(field));
    } else if (r.current.HTTPBodyStream()) {
        // The body is sent again from its start.
        std::shared_ptr<QIODevice> fresh;
        if (auto rec = receiver())
            fresh = rec->taskNeedNewBodyStream(r.task);
        if (!fresh)
            return refuse(NSURLErrorRequestBodyStreamExhausted,
                          QStringLiteral("The request body cannot be sent again for the redirect."));
        next.setHTTPBodyStream(fresh);
    }
    r.current = next;
    if (r.timer)
        r.timer->stop();
    QNetworkReply *old = r.reply;
    old->disconnect(this);
    old->deleteLater();
    send(id); // a body that cannot be read has completed the task already
    return true;
}

QString KCTransportEngine::whyItStaysOnItsOrigin(const Running &r, const QUrl &from) {
    const KCURLRequest original = r.task->originalRequest();
    QStringList contents = originBoundContents(original, false);
    for (const QString &item : originBoundContents(r.current, r.sentCookies))
        if (!contents.contains(item))
            contents.append(item);
    const bool plain = isPlainMethod(original) && isPlainMethod(r.current);
    if (plain && contents.isEmpty()) {
        if (from.scheme().toLower() == QLatin1String("http"))
            return QStringLiteral("plain http is meant for this computer, and a redirect from it is followed "
                                  "only within the same server");
        return QStringLiteral("an answer counts only from the server the request was meant for");
    }
    QString what = plain ? QStringLiteral("a request")
                         : QStringLiteral("a %1 request").arg(original.HTTPMethod().toUpper());
    if (!contents.isEmpty()) {
        const QString last = contents.takeLast();
        what += QStringLiteral(" with ") +
                (contents.isEmpty() ? last
                                    : contents.join(QStringLiteral(", ")) + QStringLiteral(" and ") + last);
    }
    return QStringLiteral("%1 goes only to the server it was meant for").arg(what);
}

void KCTransportEngine::onEncrypted(quint64 id) {
    auto it = m_running.find(id);
    if (it == m_running.end() || !it->second.reply)
        return;
    Running &r = it->second;
    touch(r);
    CVServerTrust trust;
    trust.certificates = r.reply->sslConfiguration().peerCertificateChain();
    trust.host = r.reply->url().host();
    QString reason;
    auto rec = receiver();
    const bool trusted = rec && rec->taskDidReceiveServerTrustChallenge(r.task, trust, &reason);
    if (!trusted) {
        r.trustRejected = true;
        r.trustReason = reason;
        // Runs before the request is written: the connection is dropped
        // with nothing sent.
        r.reply->abort();
    }
}

void KCTransportEngine::onFinished(quint64 id) {
    auto it = m_running.find(id);
    if (it == m_running.end())
        return;
    {
        Running &current = it->second;
        QNetworkReply *reply = current.reply;
        const bool interrupted = current.trustRejected || current.timedOut || current.deadlineExpired ||
                                 current.tooLarge || current.cancelled ||
                                 (current.device && current.device->failed());
        if (reply && !interrupted && isRedirect(reply)) {
            KCError refused;
            if (followRedirect(id, &refused))
                return;
            Running r = std::move(m_running[id]);
            m_running.erase(id);
            if (r.deadline)
                r.deadline->stop();
            reply->deleteLater();
            complete(r.task, refused);
            return;
        }
    }
    Running r = std::move(it->second);
    m_running.erase(it);
    if (r.timer)
        r.timer->stop();
    if (r.deadline)
        r.deadline->stop();
    QNetworkReply *reply = r.reply;
    const QUrl url = r.task->originalRequest().URL();
    KCError error;
    if (r.trustRejected) {
        const KCError untrusted =
            urlError(NSURLErrorServerCertificateUntrusted,
                     QStringLiteral("The certificate for this server is invalid: %1.")
                         .arg(r.trustReason.isEmpty() ? QStringLiteral("not trusted") : r.trustReason),
                     url);
        error = urlError(NSURLErrorCancelled, QStringLiteral("cancelled"), url, untrusted);
    } else if (r.timedOut) {
        error = urlError(NSURLErrorTimedOut, QStringLiteral("The request timed out."), url);
    } else if (r.deadlineExpired) {
        error = urlError(NSURLErrorTimedOut,
                         QStringLiteral("The request did not finish within %1 seconds.")
                             .arg(m_configuration.timeoutIntervalForResource),
                         url);
    } else if (r.tooLarge) {
        error = urlError(NSURLErrorDataLengthExceedsMaximum,
                         QStringLiteral("The answer is larger than the %1 bytes accepted.")
                             .arg(m_configuration.maximumResponseBodyBytes),
                         url);
    } else if (r.device && r.device->failed()) {
        error =
            urlError(NSURLErrorRequestBodyStreamExhausted,
                     QStringLiteral("The request body could not be read: %1.").arg(r.device->failure()), url);
    } else if (r.cancelled) {
        error = urlError(NSURLErrorCancelled, QStringLiteral("cancelled"), url);
    } else if (reply) {
        const auto e = reply->error();
        const bool haveStatus = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).isValid();
        if (e != QNetworkReply::NoError && !(haveStatus && isHTTPLevelError(e))) {
            qint64 code = NSURLErrorUnknown;
            switch (e) {
            case QNetworkReply::ConnectionRefusedError:
                code = NSURLErrorCannotConnectToHost;
                break;
            case QNetworkReply::HostNotFoundError:
                code = NSURLErrorCannotFindHost;
                break;
            case QNetworkReply::TimeoutError:
                code = NSURLErrorTimedOut;
                break;
            case QNetworkReply::OperationCanceledError:
                code = NSURLErrorCancelled;
                break;
            case QNetworkReply::RemoteHostClosedError:
            case QNetworkReply::TemporaryNetworkFailureError:
                code = NSURLErrorNetworkConnectionLost;
                break;
            case QNetworkReply::NetworkSessionFailedError:
                code = NSURLErrorNotConnectedToInternet;
                break;
            case QNetworkReply::SslHandshakeFailedError:
                code = NSURLErrorSecureConnectionFailed;
                break;
            case QNetworkReply::ProtocolUnknownError:
                code = NSURLErrorUnsupportedURL;
                break;
            default:
                break;
            }
            QString description = reply->errorString();
            if (e == QNetworkReply::ContentReSendError && r.device && r.device->resendRefused()) {
                // A lost answer: what became of the request is unknown.
                code = NSURLErrorNetworkConnectionLost;
                description = QStringLiteral("The connection closed before the server answered; the request "
                                             "was not sent again, since the server may have acted on it.");
            }
            error = urlError(code, description, url);
        }
    }
    if (reply && !r.trustRejected && !r.tooLarge) {
        deliverResponse(r);
        deliverData(r);
    }
    if (reply)
        reply->deleteLater();
    complete(r.task, error);
}

void KCTransportEngine::cancel(const KCURLSessionTaskPtr &task) {
    auto it = m_running.find(task->taskIdentifier());
    if (it == m_running.end()) {
        // Not started (or already finished): a task that never ran completes
        // with the cancellation once.
        if (task->state() != KCURLSessionTask::Completed)
            complete(task, urlError(NSURLErrorCancelled, QStringLiteral("cancelled"),
                                    task->originalRequest().URL()));
        return;
    }
    it->second.cancelled = true;
    if (it->second.reply)
        it->second.reply->abort();
}

// ---------------------------------------------------------------------------

KCTransport::KCTransport(const KCURLSessionConfiguration &configuration,
                         std::weak_ptr<KCTransportReceiver> receiver)
    : m_configuration(configuration), m_receiver(std::move(receiver)) {}

std::shared_ptr<KCTransport> KCTransport::create(const KCURLSessionConfiguration &configuration,
                                                 std::weak_ptr<KCTransportReceiver> receiver) {
    std::shared_ptr<KCTransport> t(new KCTransport(configuration, receiver));
    auto &nt = NetworkThread::instance();
    t->m_engine = new KCTransportEngine(configuration, std::move(receiver));
    t->m_engine->moveToThread(nt.thread);
    return t;
}

KCTransport::~KCTransport() {
    QMetaObject::invokeMethod(
        m_engine, [e = m_engine] { delete e; }, Qt::QueuedConnection);
}

KCURLSessionTaskPtr KCTransport::makeTask(KCURLSessionTask::Kind kind, const KCURLRequest &request) {
    return KCURLSessionTaskPtr(
        new KCURLSessionTask(kind, gNextTaskIdentifier++, request, shared_from_this()));
}

KCURLSessionTaskPtr KCTransport::dataTaskWithRequest(const KCURLRequest &request) {
    return makeTask(KCURLSessionTask::DataTask, request);
}

KCURLSessionTaskPtr KCTransport::uploadTaskWithStreamedRequest(const KCURLRequest &request) {
    return makeTask(KCURLSessionTask::UploadTask, request);
}

void KCTransport::start(const KCURLSessionTaskPtr &task) {
    QMetaObject::invokeMethod(
        m_engine, [e = m_engine, task] { e->start(task); }, Qt::QueuedConnection);
}

void KCTransport::cancel(const KCURLSessionTaskPtr &task) {
    QMetaObject::invokeMethod(
        m_engine, [e = m_engine, task] { e->cancel(task); }, Qt::QueuedConnection);
}

void KCTransport::notifyState(const KCURLSessionTaskPtr &task, KCURLSessionTask::State state) {
    if (auto r = m_receiver.lock())
        r->taskDidChangeState(task, state);
}

void KCTransport::cancelAllTasks() {
    QMetaObject::invokeMethod(
        m_engine, [e = m_engine] { e->cancelAll(); }, Qt::QueuedConnection);
}

void KCTransport::clearConnectionCache() {
    QMetaObject::invokeMethod(
        m_engine, [e = m_engine] { e->clearConnectionCache(); }, Qt::QueuedConnection);
}

std::shared_ptr<KCHTTPCookieStorage> KCHTTPCookieStorage::create() {
    std::shared_ptr<KCHTTPCookieStorage> storage(new KCHTTPCookieStorage);
    storage->m_jar = new ClearableCookieJar;
    storage->m_jar->moveToThread(NetworkThread::instance().thread);
    return storage;
}

KCHTTPCookieStorage::~KCHTTPCookieStorage() {
    // On the network thread, after the access managers that used it.
    m_jar->deleteLater();
}

QList<QNetworkCookie> KCHTTPCookieStorage::cookiesForURL(const QUrl &url) const {
    QList<QNetworkCookie> cookies;
    NetworkThread::instance().runBlocking([&] { cookies = m_jar->cookiesForUrl(url); });
    return cookies;
}

void KCHTTPCookieStorage::clear() {
    NetworkThread::instance().runBlocking([&] { static_cast<ClearableCookieJar *>(m_jar)->clear(); });
}
