// The transport's limits against real local servers: redirects stay on the
// server that answered (two loopback addresses stand for two hosts), the cap
// on response bodies and the overall deadline of a request.

#include "http/http_session_manager.h"
#include "http/request_serializer.h"
#include "tests/http/support/test_server.h"
#include "tests/support/qt_wait.h"

#include <QHostAddress>
#include <QTcpServer>
#include <QTcpSocket>
#include <QThread>
#include <QTimer>

#include <gtest/gtest.h>

#include <atomic>

using namespace kctest;

namespace {

const QHostAddress kOtherHost(QStringLiteral("127.0.0.2"));

struct Outcome {
    std::atomic<bool> done{false};
    std::optional<KCHTTPURLResponse> response;
    QVariant object;
    KCError error;
};

// Runs `request` through `manager` and waits for its completion.
std::shared_ptr<Outcome> run(CVHTTPSessionManager &manager, const KCURLRequest &request,
                             int timeoutMs = 60000) {
    auto outcome = std::make_shared<Outcome>();
    KCURLSessionTaskPtr task =
        manager.dataTaskWithRequest(request, [outcome](const std::optional<KCHTTPURLResponse> &response,
                                                       const QVariant &object, const KCError &error) {
            outcome->response = response;
            outcome->object = object;
            outcome->error = error;
            outcome->done = true;
        });
    task->resume();
    EXPECT_TRUE(kcWaitFor([&] { return outcome->done.load(); }, timeoutMs));
    return outcome;
}

TestResponse redirectTo(int status, const QString &location) {
    TestResponse r;
    r.status = status;
    r.reason = "Redirect";
    r.headers = {{"Location", location.toUtf8()}};
    return r;
}

KCURLRequest request(CVHTTPSessionManager &manager, const QString &method, const QString &url,
                     const KCParameters &parameters = std::nullopt) {
    return *manager.requestSerializer()->requestWithMethod(method, url, parameters);
}

} // namespace

// Plain http is for this computer: a redirect from it stays within the same
// server (scheme, host and port), whatever the request carries.
TEST(TransportRedirects, PlainHttpRedirectsStayWithinTheServer) {
    TestServer other([](const ReceivedRequest &) { return jsonResponse(200, "{\"landed\":true}"); }, {}, {},
                     kOtherHost);
    ASSERT_NE(other.port(), 0) << "127.0.0.2 is not usable here";
    // The same address on another port is another origin as well, and the
    // cookie store would hand it the first server's cookies.
    TestServer otherPort([](const ReceivedRequest &) { return jsonResponse(200, "{\"landed\":true}"); });
    TestServer first([&](const ReceivedRequest &r) {
        if (r.path == "/login")
            return jsonResponse(200, "{}", {{"Set-Cookie", "SESSION=s3cret; Path=/"}});
        if (r.path == "/away")
            return redirectTo(307, other.url("/landing"));
        if (r.path == "/other-port")
            return redirectTo(302, otherPort.url("/landing"));
        if (r.path == "/same")
            return redirectTo(302, "/landing");
        if (r.path == "/moved")
            return redirectTo(308, "/token-here");
        return jsonResponse(200, "{}");
    });
    CVHTTPSessionManager manager;
    ASSERT_FALSE(run(manager, request(manager, "GET", first.url("/login")))->error);

    auto withCredentials = [&](const QString &path) {
        KCURLRequest r = request(manager, "POST", first.url(path), QVariantMap{{"grant_type", "x"}});
        r.setValue(QStringLiteral("Bearer top-secret"), QStringLiteral("Authorization"));
        r.setValue(QStringLiteral("Basic Y2xpZW50OnNlY3JldA=="), QStringLiteral("Proxy-Authorization"));
        return r;
    };

    // Same origin: a 302 turns the POST into a GET that keeps its
    // credentials; a 308 repeats it, body and all.
    auto same = run(manager, withCredentials("/same"));
    ASSERT_FALSE(same->error) << same->error.localizedDescription().toStdString();
    const ReceivedRequest landedHere = first.requests().last();
    EXPECT_EQ(landedHere.path, "/landing");
    EXPECT_EQ(landedHere.method, "GET");
    EXPECT_EQ(landedHere.headers.value("authorization"), "Bearer top-secret");
    EXPECT_EQ(landedHere.headers.value("cookie"), "SESSION=s3cret");
    auto moved = run(manager, withCredentials("/moved"));
    ASSERT_FALSE(moved->error) << moved->error.localizedDescription().toStdString();
    const ReceivedRequest repeated = first.requests().last();
    EXPECT_EQ(repeated.path, "/token-here");
    EXPECT_EQ(repeated.body, "grant_type=x");
    EXPECT_EQ(repeated.headers.value("authorization"), "Bearer top-secret");

    // Another host or another port: not followed, whatever the request,
    // even a GET without cookies.
    for (const char *path : {"/away", "/other-port"}) {
        for (const bool plainGet : {false, true}) {
            KCURLRequest r = plainGet ? request(manager, "GET", first.url(path)) : withCredentials(path);
            r.setHTTPShouldHandleCookies(!plainGet);
            auto refused = run(manager, r);
            EXPECT_EQ(refused->error.code(), NSURLErrorRedirectToNonExistentLocation) << path;
            const QString message = refused->error.localizedDescription();
            const QString to = path == QByteArray("/away") ? other.url("") : otherPort.url("");
            EXPECT_TRUE(message.contains(first.url("")) && message.contains(to) &&
                        message.contains(plainGet ? "plain http"
                                                  : "a POST request with a body, an "
                                                    "Authorization header and cookies"))
                << message.toStdString();
            EXPECT_FALSE(refused->response) << "an answer counts only from the server asked";
        }
    }
    EXPECT_EQ(other.requestCount(), 0);
    EXPECT_EQ(otherPort.requestCount(), 0);
}

// Over https too, no redirect leads to another server. The error says what
// the request carried, from its start on.
TEST(TransportRedirects, NoRequestLeavesItsOriginOverHttps) {
    TestCertificates certificates;
    ASSERT_TRUE(certificates.ok()) << certificates.error().toStdString();
    qputenv("KELVRA_CA_FILE", certificates.rootFile().toLocal8Bit());
    const QList<QSslCertificate> chain{certificates.certificate("leaf"), certificates.certificate("root")};
    TestServer other([](const ReceivedRequest &) { return jsonResponse(200, "{\"landed\":true}"); }, chain,
                     certificates.key("leaf"), kOtherHost);
    ASSERT_NE(other.port(), 0) << "127.0.0.2 is not usable here";
    TestServer first(
        [&](const ReceivedRequest &r) {
            if (r.path == "/private/login")
                return jsonResponse(200, "{}", {{"Set-Cookie", "SESSION=s3cret; Path=/private"}});
            if (r.path == "/via-here")
                return redirectTo(303, "/away");
            if (r.path.endsWith("/away"))
                return redirectTo(302, other.url("/landing"));
            return jsonResponse(200, "{}");
        },
        chain, certificates.key("leaf"));
    CVHTTPSessionManager manager;
    ASSERT_FALSE(run(manager, request(manager, "GET", first.url("/private/login")))->error);

    const struct {
        const char *what;
        const char *method;
        QString url;
        KCHeaderList headers;
        const char *reason;
    } cases[] = {
        {"a plain GET", "GET", first.url("/away"), {}, "an answer counts only from the server"},
        {"a GET with an Authorization header",
         "GET",
         first.url("/away"),
         {{"Authorization", "Bearer t"}},
         "a request with an Authorization header"},
        {"a GET with a cookie set by hand", "GET", first.url("/away"), {{"Cookie", "a=b"}}, "cookies"},
        {"a GET with a stored cookie", "GET", first.url("/private/away"), {}, "cookies"},
        {"a GET with a password in the URL",
         "GET",
         first.url("/away").replace("https://", "https://user:pw@"),
         {},
         "a password"},
        {"a POST, which the 302 turns into a GET",
         "POST",
         first.url("/away"),
         {},
         "a POST request with a body"},
        {"a POST turned into a GET by a 303 on its own server",
         "POST",
         first.url("/via-here"),
         {},
         "a POST request with a body"},
        {"a DELETE", "DELETE", first.url("/away"), {}, "a DELETE request"},
    };
    for (const auto &c : cases) {
        KCURLRequest r = request(manager, c.method, c.url,
                                 QString(c.method) == "POST" ? KCParameters(QVariantMap{{"a", "b"}})
                                                             : KCParameters(std::nullopt));
        for (const auto &[name, value] : c.headers)
            r.setValue(value, name);
        auto outcome = run(manager, r);
        EXPECT_EQ(outcome->error.code(), NSURLErrorRedirectToNonExistentLocation) << c.what;
        const QString message = outcome->error.localizedDescription();
        EXPECT_TRUE(message.contains("(HTTP 302)") && message.contains("127.0.0.2") &&
                    message.contains(c.reason))
            << c.what << ": " << message.toStdString();
        EXPECT_FALSE(outcome->response) << c.what;
    }
    EXPECT_EQ(other.requestCount(), 0);
}

TEST(TransportRedirects, EndlessRedirectsEnd) {
    TestServer server(
        [](const ReceivedRequest &r) { return redirectTo(302, QString::fromUtf8(r.path + "x")); });
    CVHTTPSessionManager manager;
    auto outcome = run(manager, request(manager, "GET", server.url("/a")));
    EXPECT_EQ(outcome->error.code(), NSURLErrorHTTPTooManyRedirects);
    EXPECT_EQ(server.requestCount(), KCURLSessionConfiguration().maximumRedirects + 1);
}

TEST(TransportLimits, ResponseBodiesAreCapped) {
    const QByteArray big(3 << 20, 'x');
    TestServer server([&](const ReceivedRequest &r) {
        TestResponse response;
        response.headers = {{"Content-Type", "application/octet-stream"}};
        if (r.path == "/announced") {
            // Announces far more than it sends: refused on the announcement,
            // not after waiting for the bytes.
            response.headers.append(qMakePair(QByteArray("Content-Length"), QByteArray("100000000000")));
            response.body = "x";
        } else if (r.path == "/small") {
            response.body = "fine";
        } else {
            response.body = big;
        }
        return response;
    });
    KCURLSessionConfiguration configuration;
    configuration.maximumResponseBodyBytes = 1 << 20;
    CVHTTPSessionManager manager(QUrl(), configuration);
    manager.setResponseSerializer(CVHTTPResponseSerializer::serializer());

    auto small = run(manager, request(manager, "GET", server.url("/small")));
    ASSERT_FALSE(small->error);
    EXPECT_EQ(small->object.toByteArray(), "fine");

    auto streamed = run(manager, request(manager, "GET", server.url("/big")));
    EXPECT_EQ(streamed->error.domain(), NSURLErrorDomain);
    EXPECT_EQ(streamed->error.code(), NSURLErrorDataLengthExceedsMaximum);

    KCURLRequest announced = request(manager, "GET", server.url("/announced"));
    announced.setTimeoutInterval(30);
    auto refused = run(manager, announced);
    EXPECT_EQ(refused->error.code(), NSURLErrorDataLengthExceedsMaximum);
}

namespace {

// Answers every request with a long body written one byte at a time, so
// the connection never falls silent for long.
class TrickleServer {
public:
    TrickleServer() {
        m_thread.start();
        m_server = new QTcpServer;
        m_server->moveToThread(&m_thread);
        QMetaObject::invokeMethod(
            m_server,
            [this] {
                QObject::connect(m_server, &QTcpServer::newConnection, m_server, [this] { accept(); });
                m_server->listen(QHostAddress::LocalHost, 0);
                m_port = m_server->serverPort();
            },
            Qt::BlockingQueuedConnection);
    }
    ~TrickleServer() {
        QMetaObject::invokeMethod(
            m_server, [this] { delete m_server; }, Qt::BlockingQueuedConnection);
        m_thread.quit();
        m_thread.wait();
    }
    QString url() const { return QStringLiteral("http://127.0.0.1:%1/slow").arg(m_port); }
    int bytesWritten() const { return m_written; }

private:
    void accept() {
        while (QTcpSocket *socket = m_server->nextPendingConnection()) {
            QObject::connect(socket, &QTcpSocket::readyRead, socket, [this, socket] {
                if (!socket->readAll().contains("\r\n\r\n") || socket->property("answered").toBool())
                    return;
                socket->setProperty("answered", true);
                socket->write(
                    "HTTP/1.1 200 OK\r\nContent-Type: text/plain\r\nContent-Length: 100000\r\n\r\n");
                auto *timer = new QTimer(socket);
                QObject::connect(timer, &QTimer::timeout, socket, [this, socket] {
                    socket->write("x");
                    ++m_written;
                });
                timer->start(100);
            });
        }
    }

    QThread m_thread;
    QTcpServer *m_server = nullptr;
    quint16 m_port = 0;
    std::atomic<int> m_written{0};
};

} // namespace

TEST(TransportLimits, RequestsEndByTheirOverallDeadline) {
    TrickleServer server;
    KCURLSessionConfiguration configuration;
    configuration.timeoutIntervalForResource = 2.0;
    CVHTTPSessionManager manager(QUrl(), configuration);
    manager.setResponseSerializer(CVHTTPResponseSerializer::serializer());
    KCURLRequest slow = request(manager, "GET", server.url());
    slow.setTimeoutInterval(20); // never silent that long
    auto outcome = run(manager, slow, 60000);
    EXPECT_EQ(outcome->error.domain(), NSURLErrorDomain);
    EXPECT_EQ(outcome->error.code(), NSURLErrorTimedOut);
    EXPECT_GT(server.bytesWritten(), 0) << "the answer was under way";
}

// Whatever a plain http server would receive could be read on the way: a
// redirect from https to http is not followed, even to the same host.
TEST(TransportRedirects, NeverFromHttpsToPlainHttp) {
    TestCertificates certificates;
    ASSERT_TRUE(certificates.ok()) << certificates.error().toStdString();
    // The test root counts as a system root for this process.
    qputenv("KELVRA_CA_FILE", certificates.rootFile().toLocal8Bit());
    TestServer plain([](const ReceivedRequest &) { return jsonResponse(200, "{}"); });
    TestServer secure([&](const ReceivedRequest &) { return redirectTo(302, plain.url("/in-clear")); },
                      {certificates.certificate("leaf"), certificates.certificate("root")},
                      certificates.key("leaf"));
    CVHTTPSessionManager manager;
    KCURLRequest login = request(manager, "GET", secure.url("/start"));
    login.setValue(QStringLiteral("Bearer top-secret"), QStringLiteral("Authorization"));
    auto outcome = run(manager, login);
    EXPECT_EQ(outcome->error.code(), NSURLErrorRedirectToNonExistentLocation)
        << outcome->error.localizedDescription().toStdString();
    EXPECT_EQ(secure.requestCount(), 1) << "the https request itself went out";
    EXPECT_EQ(plain.requestCount(), 0);
}

// Loopback hosts are reached directly, never through a proxy of the
// environment: plain http to a name under .localhost (which may not resolve
// here) does not go to the proxy, while another host does.
TEST(TransportProxy, LoopbackNamesNeverGoThroughAProxy) {
    TestServer proxy([](const ReceivedRequest &) { return jsonResponse(502, "{}"); });
    qputenv("http_proxy", proxy.url("/").toLatin1());
    CVHTTPSessionManager manager;
    for (const char *url :
         {"http://app.localhost:9/check", "http://localhost:9/check", "http://127.0.0.1:9/check"}) {
        SCOPED_TRACE(url);
        run(manager, request(manager, "GET", QString::fromLatin1(url)));
        EXPECT_EQ(proxy.requestCount(), 0);
    }
    run(manager, request(manager, "GET", "http://kelvra-test.invalid/check"));
    qunsetenv("http_proxy");
    ASSERT_EQ(proxy.requestCount(), 1) << "the environment's proxy is used for other hosts";
    EXPECT_TRUE(proxy.requests().first().path.contains("kelvra-test.invalid"));
}
