// Every kind of request the application makes, redirected by its server on
// 127.0.0.1 to another one on 127.0.0.2 with each redirect code: nothing
// reaches the other server, nothing it could answer counts, and the caller
// learns of the redirect. The clinic client is a single instance, so this is
// a process of its own (inside a throw-away keyring, for the silent sign-in).

#include "clinic/kelvra_api_client.h"
#include "clinic/today_window.h"
#include "emr/athenahealth_api_client.h"
#include "keychain/brkeychain.h"
#include "tests/http/support/test_server.h"
#include "tests/support/qt_wait.h"
#include "tests/support/test_image.h"

#include <QMutex>
#include <QProcess>
#include <QTcpServer>
#include <QTemporaryDir>
#include <QUuid>

#include <gtest/gtest.h>

#include <atomic>

using namespace kctest;

namespace {

constexpr int kWaitMs = 60000;
const QByteArray kDocuments = "/athena/v1/195900/patients/31007/documents";

// What one request came to, from any thread. Setting `done` is the last
// touch of the result: the waiting test may end it right after.
struct Result {
    std::atomic<bool> done{false};
    QString error;
    QString answer;
    void fail(const QString &why) {
        error = why;
        done = true;
    }
    void succeed(const QString &what) {
        answer = what;
        done = true;
    }
    bool wait() {
        return kcWaitFor([this] { return done.load(); }, kWaitMs);
    }
};

// The clinic service and the EMR on 127.0.0.1. Requests to the path that is
// being redirected are answered with the redirect instead.
class FrontServer {
public:
    explicit FrontServer(const TestServer &other)
        : m_server([this, &other](const ReceivedRequest &r) { return answer(r, other); }) {}

    QString url(const QString &path) const { return m_server.url(path); }
    void redirect(const QByteArray &pathPrefix, int status) {
        QMutexLocker locker(&m_mutex);
        m_redirected = pathPrefix;
        m_status = status;
    }
    void refuseRooms(bool on) { m_refuseRooms = on; }
    int requestsTo(const QByteArray &pathPrefix) const {
        int n = 0;
        for (const ReceivedRequest &r : m_server.requests())
            n += r.path.startsWith(pathPrefix);
        return n;
    }

private:
    TestResponse answer(const ReceivedRequest &r, const TestServer &other) {
        {
            QMutexLocker locker(&m_mutex);
            if (!m_redirected.isEmpty() && r.path.startsWith(m_redirected)) {
                TestResponse moved;
                moved.status = m_status;
                moved.reason = "Moved";
                moved.headers = {{"Location", other.url(QString::fromLatin1(r.path)).toUtf8()}};
                return moved;
            }
        }
        if (r.path == "/api/users/clinicLogin")
            return jsonResponse(200, R"({"login":"pass","user_id":"17"})",
                                {{"Set-Cookie", "SESSION=front; Path=/"}});
        if (r.path == "/api/clinic_exam_rooms" && m_refuseRooms)
            return jsonResponse(403, "{}");
        if (r.path == "/api/documentations/")
            return jsonResponse(200, R"({"success":true})");
        if (r.path == "/oauth/token")
            return jsonResponse(200, R"({"access_token":"front-token","refresh_token":"r"})");
        if (r.path == kDocuments)
            return jsonResponse(200, R"({"documentid":"1"})");
        return jsonResponse(200, R"({"data":[]})");
    }

    mutable QMutex m_mutex;
    QByteArray m_redirected;
    int m_status = 0;
    std::atomic<bool> m_refuseRooms{false};
    TestServer m_server;
};

// Answers everything the way that would count: a sign-in, a token, a filed
// document.
TestResponse welcoming(const ReceivedRequest &) {
    return jsonResponse(200,
                        R"({"login":"pass","user_id":"66","success":true,"access_token":"stolen",)"
                        R"("documentid":"666","data":[]})",
                        {{"Set-Cookie", "SESSION=other; Path=/"}});
}

QVariantMap documentation() {
    const QString id = QUuid::createUuid().toString(QUuid::WithoutBraces).toUpper();
    return {{"encounter_note", "rash, left arm"},
            {"interaction_id", "1001"},
            {"id", id},
            {"Upload", QVariantList{QVariantMap{{"id", QUuid::createUuid().toString(QUuid::WithoutBraces)},
                                                {"content", kcTestImageBase64("PNG")},
                                                {"user_id", "17"},
                                                {"file_type", "image/png"}}}}};
}

// Calls the clinic client's GET or POST with `result` as its outcome.
void request(KelvraAPIClient *client, const QString &method, const QString &path, const QVariant &body,
             Result &result) {
    auto success = [&result](const KCURLSessionTaskPtr &, const QVariant &answer) {
        result.succeed(answer.toMap().keys().join(','));
    };
    auto failure = [&result](const KCURLSessionTaskPtr &, const KCError &error) {
        result.fail(error.localizedDescription());
    };
    if (method == "POST")
        client->POST(path, body.toMap(), success, failure);
    else
        client->GET(path, std::nullopt, success, failure);
}

class Redirects : public ::testing::TestWithParam<int> {
protected:
    static void SetUpTestSuite() {
        other = new TestServer(welcoming, {}, {}, QHostAddress(QStringLiteral("127.0.0.2")));
        front = new FrontServer(*other);
        KelvraAPIClient::setServiceURLForFirstUse(QUrl(front->url("/")));
        client = KelvraAPIClient::sharedKelvraAPIClient();
        client->setSilentSignInFailedHandler([] { ++silentSignInFailures; });
    }
    static void TearDownTestSuite() {
        client->setSilentSignInFailedHandler(nullptr);
        delete front;
        delete other;
    }
    void SetUp() override {
        ASSERT_NE(other->port(), 0) << "127.0.0.2 is not usable here";
        front->redirect({}, 0);
        front->refuseRooms(false);
        qputenv("XDG_DATA_HOME", home.path().toUtf8());
    }

    // Signs in; the answer's "login", or the error, lands in `result`.
    static void login(Result &result) {
        client->loginKelvraWithUsername(
            "demo", "capture",
            [&result](const QVariant &answer) { result.succeed(answer.toMap().value("login").toString()); },
            [&result](const KCError &error) { result.fail(error.localizedDescription()); });
    }
    // Signs in through the front server (no redirect).
    void signIn() {
        Result result;
        login(result);
        ASSERT_TRUE(result.wait());
        ASSERT_EQ(result.answer, "pass") << result.error.toStdString();
    }

    std::shared_ptr<QDAthenahealthAPIClientForExtension> emrClient() {
        auto emr = std::make_shared<QDAthenahealthAPIClientForExtension>(QUrl(front->url("/athena/v1")));
        emr->setEmrData({{"base_url", front->url("/athena/v1")},
                         {"auth_url", front->url("/oauth/token")},
                         {"api_key", "kelvra-demo-client"},
                         {"api_secret", "kelvra-demo-secret"},
                         {"emr_data_1", "195900"}});
        emr->setKelvraKeychain({{"departmentID", "1"}});
        emr->updateAuthStatus();
        return emr;
    }

    // The caller's error names the redirect and both servers.
    void expectRefusedRedirect(const QString &error) const {
        const int status = GetParam();
        EXPECT_TRUE(error.contains(QStringLiteral("redirected the request (HTTP %1)").arg(status)) &&
                    error.contains("127.0.0.2") && error.contains("127.0.0.1"))
            << error.toStdString();
    }

    static inline TestServer *other = nullptr;
    static inline FrontServer *front = nullptr;
    static inline KelvraAPIClient *client = nullptr;
    static inline std::atomic<int> silentSignInFailures{0};
    QTemporaryDir home;
};

TEST_P(Redirects, SignIn) {
    front->redirect("/api/users/clinicLogin", GetParam());
    Result result;
    login(result);
    ASSERT_TRUE(result.wait());
    EXPECT_TRUE(result.answer.isEmpty()) << "signed in by " << result.answer.toStdString();
    expectRefusedRedirect(result.error);
    EXPECT_EQ(other->requestCount(), 0);
}

TEST_P(Redirects, SilentSignIn) {
    signIn();
    const int failuresBefore = silentSignInFailures;
    const int signInsBefore = front->requestsTo("/api/users/clinicLogin");
    front->refuseRooms(true);
    front->redirect("/api/users/clinicLogin", GetParam());
    Result result;
    request(client, "GET", "clinic_exam_rooms", {}, result);
    ASSERT_TRUE(result.wait());
    EXPECT_TRUE(result.error.contains("403") || result.error.contains("forbidden", Qt::CaseInsensitive))
        << result.error.toStdString();
    EXPECT_TRUE(kcWaitFor([&] { return silentSignInFailures == failuresBefore + 1; }, kWaitMs))
        << "the application is told that the stored password did not sign in";
    EXPECT_EQ(front->requestsTo("/api/users/clinicLogin"), signInsBefore + 1) << "one silent sign-in";
    EXPECT_EQ(other->requestCount(), 0);
}

TEST_P(Redirects, PatientList) {
    signIn();
    front->redirect("/api/clinic_patient_device_assignments/", GetParam());
    const QList<QDateTime> today = KelvraAPIClient::generateBeginningAndEndOfToday();
    Result result;
    request(client, "GET", kcAssignmentsPath(today.at(0), today.at(1)), {}, result);
    ASSERT_TRUE(result.wait());
    expectRefusedRedirect(result.error);
    EXPECT_TRUE(result.error.contains("cookies")) << result.error.toStdString();
    EXPECT_EQ(other->requestCount(), 0);
}

TEST_P(Redirects, DocumentationUpload) {
    signIn();
    front->redirect("/api/documentations/", GetParam());
    Result result;
    request(client, "POST", "documentations/",
            QVariantMap{{"0", QVariantMap{{"Documentation", documentation()}}}}, result);
    ASSERT_TRUE(result.wait());
    expectRefusedRedirect(result.error);
    EXPECT_TRUE(result.error.contains("a POST request with a body")) << result.error.toStdString();
    EXPECT_EQ(other->requestCount(), 0);
}

TEST_P(Redirects, EMRToken) {
    front->redirect("/oauth/token", GetParam());
    const auto emr = emrClient();
    Result result;
    emr->refreshAthenaAccessToken(
        [&](const QVariantMap &answer) { result.succeed(answer.value("access_token").toString()); },
        [&](const KCError &error) { result.fail(error.localizedDescription()); });
    ASSERT_TRUE(result.wait());
    EXPECT_TRUE(result.answer.isEmpty()) << "a token from " << result.answer.toStdString();
    expectRefusedRedirect(result.error);
    EXPECT_TRUE(result.error.contains("Authorization")) << result.error.toStdString();
    EXPECT_EQ(other->requestCount(), 0);
}

TEST_P(Redirects, EMRUpload) {
    front->redirect(kDocuments, GetParam());
    const auto emr = emrClient();
    const int uploadsBefore = front->requestsTo(kDocuments);
    std::optional<EMRFilingOutcome> outcome;
    emr->fileDocument(documentation(), {{"emr_patient_id", "31007"}}, "image", false,
                      [&](const EMRFilingOutcome &o) { outcome = o; });
    ASSERT_TRUE(kcWaitFor([&] { return outcome.has_value(); }, kWaitMs));
    EXPECT_EQ(outcome->kind, EMRFilingOutcome::Failed) << "filed as " << outcome->documentID.toStdString();
    expectRefusedRedirect(outcome->error);
    EXPECT_EQ(front->requestsTo(kDocuments), uploadsBefore + 1);
    EXPECT_EQ(other->requestCount(), 0);
}

TEST_P(Redirects, CheckConnection) {
    front->redirect("/check", GetParam());
    QProcess check;
    check.start(KC_CAPTURE_BINARY, {"check-connection", front->url("/check")});
    ASSERT_TRUE(check.waitForFinished(kWaitMs));
    const QString out = QString::fromLocal8Bit(check.readAllStandardOutput());
    EXPECT_EQ(check.exitCode(), 1) << out.toStdString();
    expectRefusedRedirect(out);
    EXPECT_TRUE(out.contains("Result:          FAILED")) << out.toStdString();
    EXPECT_EQ(other->requestCount(), 0);
}

// A password given in the URL is never printed back, answered or not, nor
// in a complaint about the arguments.
TEST(CheckConnection, PrintsNoPasswordFromTheURL) {
    const QString secret = QStringLiteral("s3cretPW");
    TestServer server([](const ReceivedRequest &) { return jsonResponse(401, "{}"); });
    QTcpServer closed;
    ASSERT_TRUE(closed.listen(QHostAddress::LocalHost, 0));
    const quint16 nobody = closed.serverPort();
    closed.close();
    const QString answered =
        QString(server.url("/check")).replace("http://", "http://clinic:" + secret + "@");
    const QStringList cases[] = {
        {"check-connection", answered},
        {"check-connection", QStringLiteral("http://clinic:%1@127.0.0.1:%2/").arg(secret).arg(nobody)},
        {"check-connection", answered, QStringLiteral("ftp://clinic:%1@127.0.0.1/").arg(secret)},
        {"check-connection", QStringLiteral("ftp://clinic:%1@127.0.0.1/").arg(secret)},
    };
    for (const QStringList &arguments : cases) {
        SCOPED_TRACE(arguments.join(' ').toStdString());
        QProcess check;
        check.start(KC_CAPTURE_BINARY, arguments);
        ASSERT_TRUE(check.waitForFinished(kWaitMs));
        const QString out =
            QString::fromLocal8Bit(check.readAllStandardOutput() + check.readAllStandardError());
        EXPECT_FALSE(out.contains(secret)) << out.toStdString();
        EXPECT_TRUE(out.contains("clinic")) << out.toStdString();
    }
}

INSTANTIATE_TEST_SUITE_P(EveryCode, Redirects, ::testing::Values(301, 302, 303, 307, 308),
                         [](const ::testing::TestParamInfo<int> &info) {
                             return std::to_string(info.param);
                         });

} // namespace
