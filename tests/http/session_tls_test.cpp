// The session manager over real TLS servers on 127.0.0.1 with certificates
// generated for the run: which chains are trusted, and that a rejected chain
// gets no request byte.

#include "http/http_session_manager.h"
#include "http/request_serializer.h"
#include "tests/http/support/test_server.h"
#include "tests/support/qt_wait.h"

#include <QtDebug>

#include <gtest/gtest.h>

using namespace kctest;

namespace {

TestCertificates &certs() {
    static TestCertificates *c = [] {
        auto *t = new TestCertificates;
        // The test root counts as a system root for this process.
        qputenv("KELVRA_CA_FILE", t->rootFile().toLocal8Bit());
        return t;
    }();
    return *c;
}

struct Outcome {
    bool done = false;
    std::optional<KCHTTPURLResponse> response;
    QVariant object;
    KCError error;
};

// Runs one JSON POST with a raw completion handler and waits for it.
Outcome post(CVURLSessionManager &manager, const QString &url) {
    auto serializer = CVJSONRequestSerializer::serializer();
    KCError error;
    auto request = serializer->requestWithMethod(
        QStringLiteral("POST"), url, QVariantMap{{QStringLiteral("secret"), QStringLiteral("s3cr3t")}},
        &error);
    EXPECT_TRUE(request.has_value());
    auto outcome = std::make_shared<Outcome>();
    auto task =
        manager.dataTaskWithRequest(*request, [outcome](const std::optional<KCHTTPURLResponse> &response,
                                                        const QVariant &object, const KCError &e) {
            outcome->response = response;
            outcome->object = object;
            outcome->error = e;
            outcome->done = true;
        });
    task->resume();
    EXPECT_TRUE(kcWaitFor([&] { return outcome->done; }, 60000));
    return *outcome;
}

TestResponse okJSON(const ReceivedRequest &) {
    return jsonResponse(200, R"({"login":"pass"})");
}

QString reasonOf(const KCError &e) {
    return e.underlyingError().localizedDescription();
}

} // namespace

class TLSMatrix : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(certs().ok()) << certs().error().toStdString(); }
};

TEST_F(TLSMatrix, ChainFromTrustedRootIsAcceptedAndRequestSent) {
    TestServer server(okJSON, {certs().certificate("leaf")}, certs().key("leaf"));
    CVURLSessionManager manager;
    const Outcome o = post(manager, server.url("/login"));
    EXPECT_FALSE(o.error) << o.error.localizedDescription().toStdString();
    ASSERT_TRUE(o.response.has_value());
    EXPECT_EQ(o.response->statusCode(), 200);
    EXPECT_EQ(o.object.toMap().value("login").toString(), "pass");
    ASSERT_EQ(server.requestCount(), 1);
    EXPECT_EQ(server.requests().first().body, R"({"secret":"s3cr3t"})");
}

TEST_F(TLSMatrix, UntrustedChainsAreRejectedBeforeAnyRequestByte) {
    struct Case {
        const char *name;
        QList<QSslCertificate> chain;
        QSslKey key;
        const char *reason;
    };
    // A second root that nobody trusts signs nothing we accept either: the
    // self-signed leaf stands for it.
    const QList<Case> cases = {
        {"self-signed", {certs().certificate("self")}, certs().key("self"), "self-signed"},
        {"other host", {certs().certificate("other")}, certs().key("other"), "host name mismatch"},
        {"expired", {certs().certificate("expired")}, certs().key("expired"), "expired"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        TestServer server(okJSON, c.chain, c.key);
        CVURLSessionManager manager;
        const Outcome o = post(manager, server.url("/login"));
        ASSERT_TRUE(o.error);
        EXPECT_EQ(o.error.domain(), NSURLErrorDomain);
        EXPECT_EQ(o.error.code(), NSURLErrorCancelled);
        EXPECT_EQ(o.error.underlyingError().code(), NSURLErrorServerCertificateUntrusted);
        EXPECT_TRUE(reasonOf(o.error).contains(QLatin1String(c.reason))) << reasonOf(o.error).toStdString();
        EXPECT_FALSE(o.response.has_value());
        EXPECT_FALSE(o.object.isValid());
        // The client connected, but not one application byte arrived.
        kcSpin(200);
        EXPECT_GE(server.connections(), 1);
        EXPECT_EQ(server.bytesReceived(), 0);
        EXPECT_EQ(server.requestCount(), 0);
    }
}

TEST_F(TLSMatrix, RootNotInTheTrustAnchorsIsRejected) {
    // The same valid leaf, but this time the process does not trust the root.
    TestServer server(okJSON, {certs().certificate("leaf")}, certs().key("leaf"));
    const QByteArray saved = qgetenv("KELVRA_CA_FILE");
    qunsetenv("KELVRA_CA_FILE");
    CVURLSessionManager manager;
    const Outcome o = post(manager, server.url("/"));
    qputenv("KELVRA_CA_FILE", saved);
    ASSERT_TRUE(o.error);
    EXPECT_TRUE(reasonOf(o.error).contains(QLatin1String("untrusted root")))
        << reasonOf(o.error).toStdString();
    kcSpin(200);
    EXPECT_EQ(server.bytesReceived(), 0);
}

TEST_F(TLSMatrix, PinningByCertificateAndByPublicKey) {
    TestServer server(okJSON, {certs().certificate("leaf")}, certs().key("leaf"));
    const QByteArray leaf = certs().certificate("leaf").toDer();
    const QByteArray other = certs().certificate("other").toDer();
    struct Case {
        const char *name;
        unsigned mode;
        QList<QByteArray> pins;
        bool trusted;
    };
    const QList<Case> cases = {
        {"certificate pinned", CVSSLPinningModeCertificate, {leaf}, true},
        {"other certificate pinned", CVSSLPinningModeCertificate, {other}, false},
        {"root pinned", CVSSLPinningModeCertificate, {certs().certificate("root").toDer()}, true},
        {"public key pinned", CVSSLPinningModePublicKey, {leaf, leaf}, true},
        {"other public key pinned", CVSSLPinningModePublicKey, {other}, false},
        {"nothing pinned", CVSSLPinningModePublicKey, {}, false},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        CVURLSessionManager manager;
        auto policy = CVSecurityPolicy::policyWithPinningMode(c.mode);
        policy->setPinnedCertificates(c.pins);
        manager.setSecurityPolicy(policy);
        const int before = server.requestCount();
        const Outcome o = post(manager, server.url("/"));
        EXPECT_EQ(!o.error, c.trusted) << o.error.localizedDescription().toStdString();
        EXPECT_EQ(server.requestCount() - before, c.trusted ? 1 : 0);
    }
}

TEST_F(TLSMatrix, NewPolicyJudgesConnectionsOpenedUnderTheOldOne) {
    TestServer server(okJSON, {certs().certificate("leaf")}, certs().key("leaf"));
    CVURLSessionManager manager;
    EXPECT_FALSE(post(manager, server.url("/")).error); // leaves a kept-alive connection
    auto pinned = CVSecurityPolicy::policyWithPinningMode(CVSSLPinningModeCertificate);
    pinned->setPinnedCertificates({certs().certificate("other").toDer()});
    manager.setSecurityPolicy(pinned);
    const int before = server.requestCount();
    EXPECT_TRUE(post(manager, server.url("/")).error);
    EXPECT_EQ(server.requestCount(), before);
}

TEST_F(TLSMatrix, SelfSignedCertificateTrustedOnlyThroughPinningWithInvalidAllowed) {
    TestServer server(okJSON, {certs().certificate("self")}, certs().key("self"));
    const QByteArray self = certs().certificate("self").toDer();

    CVURLSessionManager pinned;
    auto policy = CVSecurityPolicy::policyWithPinningMode(CVSSLPinningModeCertificate);
    policy->allowInvalidCertificates = true;
    policy->setPinnedCertificates({self});
    pinned.setSecurityPolicy(policy);
    EXPECT_FALSE(post(pinned, server.url("/")).error);

    // Same without allowing invalid chains: the chain itself does not validate.
    CVURLSessionManager strict;
    auto strictPolicy = CVSecurityPolicy::policyWithPinningMode(CVSSLPinningModeCertificate);
    strictPolicy->setPinnedCertificates({self});
    strict.setSecurityPolicy(strictPolicy);
    EXPECT_TRUE(post(strict, server.url("/")).error);
}

TEST(SecurityPolicy, DecisionRulesOverGeneratedChains) {
    ASSERT_TRUE(certs().ok());
    const CVServerTrust leaf{{certs().certificate("leaf")}, QStringLiteral("127.0.0.1")};
    const CVServerTrust other{{certs().certificate("other")}, QStringLiteral("127.0.0.1")};
    const CVServerTrust self{{certs().certificate("self")}, QStringLiteral("127.0.0.1")};

    auto def = CVSecurityPolicy::defaultPolicy();
    EXPECT_TRUE(def->evaluateServerTrust(leaf, "127.0.0.1"));
    EXPECT_FALSE(def->evaluateServerTrust(other, "127.0.0.1"));
    EXPECT_FALSE(def->evaluateServerTrust(self, "127.0.0.1"));
    // Without a host name the chain alone decides.
    EXPECT_TRUE(def->evaluateServerTrust(other));

    // Domain validation of invalid certificates needs pinning: rejected, logged.
    auto misconfigured = CVSecurityPolicy::defaultPolicy();
    misconfigured->allowInvalidCertificates = true;
    static QStringList logged;
    logged.clear();
    auto previous =
        qInstallMessageHandler([](QtMsgType, const QMessageLogContext &, const QString &m) { logged << m; });
    EXPECT_FALSE(misconfigured->evaluateServerTrust(leaf, "127.0.0.1"));
    qInstallMessageHandler(previous);
    EXPECT_TRUE(logged.contains(
        "In order to validate a domain name for self signed certificates, you MUST use pinning."));
    // Without domain validation anything goes.
    misconfigured->validatesDomainName = false;
    EXPECT_TRUE(misconfigured->evaluateServerTrust(self, "127.0.0.1"));

    // Pinned certificates: duplicates removed, one key per certificate.
    auto pinned = CVSecurityPolicy::policyWithPinningMode(CVSSLPinningModePublicKey);
    EXPECT_TRUE(pinned->pinnedCertificates().isEmpty()); // no ".cer" resources here
    const QByteArray a = certs().certificate("leaf").toDer();
    const QByteArray b = certs().certificate("other").toDer();
    pinned->setPinnedCertificates({a, b, a, QByteArray("not a certificate")});
    EXPECT_EQ(pinned->pinnedCertificates(), (QList<QByteArray>{a, b, QByteArray("not a certificate")}));
    EXPECT_EQ(pinned->pinnedPublicKeys().size(), 2);

    auto unknownMode = CVSecurityPolicy::policyWithPinningMode(7);
    unknownMode->setPinnedCertificates({a});
    EXPECT_FALSE(unknownMode->evaluateServerTrust(leaf, "127.0.0.1"));
}
