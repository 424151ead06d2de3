// The athenahealth client against a scripted server on 127.0.0.1: token
// requests, the answer interception, configuration and the refusals of the
// document upload.

#include "emr/athenahealth_api_client.h"
#include "emr/emr_document_file.h"
#include "platform/core/notification_center.h"
#include "scripted_server.h"
#include "tests/http/support/test_server.h"
#include "tests/support/qt_wait.h"
#include "tests/support/test_image.h"

#include <QDir>
#include <QFile>
#include <QMutex>
#include <QSettings>
#include <QTemporaryDir>
#include <gtest/gtest.h>

namespace {

using Client = QDAthenahealthAPIClientForExtension;

const QByteArray kBasic = "Basic " + QByteArray("client-id:s3cret").toBase64();

// Points HOME, the data folder (where the document files go) and the
// settings at a throw-away folder.
class ScratchHome {
public:
    ScratchHome() {
        qputenv("HOME", dir.path().toUtf8());
        qputenv("XDG_CONFIG_HOME", dir.filePath(".config").toUtf8());
        qputenv("XDG_DATA_HOME", dir.filePath(".local/share").toUtf8());
    }
    QString documents() const { return emrDocumentsDirectory(); }
    QTemporaryDir dir;
};

class AthenaClientTest : public ::testing::Test {
protected:
    void SetUp() override {
        tokens = 0;
        server.setHandler([this](const ScriptedRequest &r) -> std::optional<ScriptedAnswer> {
            if (r.path() == "/oauth/token") {
                if (holdTokens)
                    return std::nullopt;
                return tokenAnswer();
            }
            if (apiHandler)
                return apiHandler(r);
            return ScriptedAnswer{200, "application/json", "{\"ok\":1}"};
        });
        client = std::make_shared<Client>(server.url("/v1"));
        client->setEmrData(emrData());
        client->setKelvraKeychain({{"departmentID", "1"}, {"providerIDs", "71,86"}});
    }

    QVariantMap emrData() const {
        return {{"base_url", server.url("/v1").toString()},
                {"auth_url", server.url("/oauth/token").toString()},
                {"api_key", "client-id"},
                {"api_secret", "s3cret"},
                {"emr_data_1", "195900"}};
    }

    ScriptedAnswer tokenAnswer() {
        ++tokens;
        return {200, "application/json",
                QStringLiteral("{\"access_token\":\"tok%1\",\"refresh_token\":\"ref%1\",\"expires_in\":3600}")
                    .arg(tokens)
                    .toUtf8()};
    }

    // Signs the client in and waits for its first token.
    void authorise() {
        client->updateAuthStatus();
        ASSERT_TRUE(kcWaitFor([&] { return client->authToken() == "tok1"; }, 30000));
    }

    struct Outcome {
        int successes = 0;
        int failures = 0;
        QVariant answer;
        KCError error;
    };
    // A GET through the client's convenience request.
    std::shared_ptr<Outcome> get(const QString &path) {
        auto outcome = std::make_shared<Outcome>();
        client->GET(
            path, std::nullopt,
            [outcome](const KCURLSessionTaskPtr &, const QVariant &answer) {
                ++outcome->successes;
                outcome->answer = answer;
            },
            [outcome](const KCURLSessionTaskPtr &, const KCError &error) {
                ++outcome->failures;
                outcome->error = error;
            });
        return outcome;
    }
    static qint64 statusOf(const KCError &error) {
        return error.userInfo().value(CVFailingResponseErrorKey).value<KCHTTPURLResponse>().statusCode();
    }

    ScratchHome home;
    ScriptedServer server;
    std::shared_ptr<Client> client;
    std::function<std::optional<ScriptedAnswer>(const ScriptedRequest &)> apiHandler;
    bool holdTokens = false;
    int tokens = 0;
};

TEST_F(AthenaClientTest, ConfigurationSelectsDepartmentAndProviders) {
    client->setKelvraKeychain({{"departmentIDs", "5,6"}, {"providerIDs", "71,86,112"}});
    client->updateAuthStatus();
    EXPECT_EQ(client->selectedDepartmentID(), "5");
    EXPECT_EQ(client->selectedProviderIDs(), QStringList({"71", "86", "112"}));
    EXPECT_TRUE(client->allProvidersArray().isEmpty());
    EXPECT_EQ(client->practiceID(), "195900");
    EXPECT_EQ(client->kAthenaAPIKey(), "client-id");
    EXPECT_EQ(client->athenaOAuthURLString(), server.url("/oauth/token").toString());

    const QVariantList providers{QVariantMap{{"providerid", "71"}}};
    client->setKelvraKeychain(
        {{"departmentIDs", "5,6"}, {"departmentID", "9"}, {"allProvidersArray", providers}});
    client->updateAuthStatus();
    EXPECT_EQ(client->selectedDepartmentID(), "9");
    EXPECT_TRUE(client->selectedProviderIDs().isEmpty());
    EXPECT_EQ(client->allProvidersArray(), providers);

    client->setKelvraKeychain({});
    client->updateAuthStatus();
    EXPECT_TRUE(client->selectedDepartmentID().isEmpty());
    ASSERT_TRUE(kcWaitFor([&] { return server.requestsTo("/oauth/token").size() == 3; }, 30000));
}

TEST_F(AthenaClientTest, NoEmrDataRequestsNoToken) {
    auto bare = std::make_shared<Client>(server.url("/v1"));
    bare->setKelvraKeychain({{"departmentID", "1"}});
    bare->updateAuthStatus();
    kcSpin(300);
    EXPECT_TRUE(server.requests().isEmpty());
    EXPECT_TRUE(bare->selectedDepartmentID().isEmpty());
}

TEST_F(AthenaClientTest, TokenRequestCarriesBasicCredentialsAndTheGrant) {
    holdTokens = true;
    client->updateAuthStatus();
    ASSERT_TRUE(kcWaitFor([&] { return server.requestsTo("/oauth/token").size() == 1; }, 30000));
    const ScriptedRequest token = server.requestsTo("/oauth/token").first();
    EXPECT_EQ(token.method, "POST");
    EXPECT_EQ(token.header("Authorization"), kBasic);
    EXPECT_EQ(token.body, "grant_type=client_credentials");
    EXPECT_EQ(token.header("Content-Type"), "application/x-www-form-urlencoded");

    // While the token is outstanding, API requests carry neither the
    // credentials nor the configuration's starting token.
    auto pending = get("195900/patients/search");
    ASSERT_TRUE(
        kcWaitFor([&] { return server.requestsTo("/v1/195900/patients/search").size() == 1; }, 30000));
    EXPECT_EQ(server.requestsTo("/v1/195900/patients/search").first().header("Authorization"), QByteArray());
    ASSERT_TRUE(kcWaitFor([&] { return pending->successes == 1; }, 30000));

    server.answer(token.id, tokenAnswer());
    ASSERT_TRUE(kcWaitFor([&] { return client->authToken() == "tok1"; }, 30000));
    EXPECT_EQ(client->refreshToken(), "ref1");
    EXPECT_FALSE(client->refreshTokenInProgress());
    EXPECT_EQ(client->requestSerializer()->valueForHTTPHeaderField("Authorization"), "Bearer tok1");

    auto done = get("195900/patients/search");
    ASSERT_TRUE(kcWaitFor([&] { return done->successes == 1; }, 30000));
    EXPECT_EQ(server.requests().last().header("Authorization"), "Bearer tok1");
}

TEST_F(AthenaClientTest, RefusedRequestIsRenewedOnceAndRepeated) {
    authorise();
    int calls = 0;
    apiHandler = [&](const ScriptedRequest &r) -> std::optional<ScriptedAnswer> {
        if (r.header("Authorization") == "Bearer tok2")
            return ScriptedAnswer{200, "application/json", "{\"patients\":[]}"};
        ++calls;
        return ScriptedAnswer{401, "application/json", "{\"error\":\"Unauthorized\"}"};
    };
    auto outcome = get("195900/patients/search");
    ASSERT_TRUE(kcWaitFor([&] { return outcome->successes + outcome->failures > 0; }, 30000));
    kcSpin(200);
    EXPECT_EQ(outcome->successes, 1);
    EXPECT_EQ(outcome->failures, 0);
    EXPECT_EQ(outcome->answer.toMap().value("patients"), QVariantList());
    EXPECT_EQ(server.requestsTo("/oauth/token").size(), 2);
    const auto api = server.requestsTo("/v1/195900/patients/search");
    ASSERT_EQ(api.size(), 2);
    EXPECT_EQ(api[0].header("Authorization"), "Bearer tok1");
    EXPECT_EQ(api[1].header("Authorization"), "Bearer tok2");
    EXPECT_FALSE(client->refreshTokenInProgress());

    // A repeat that is refused again reaches the caller.
    apiHandler = [](const ScriptedRequest &) -> std::optional<ScriptedAnswer> {
        return ScriptedAnswer{403, "application/json", "{\"error\":\"Forbidden\"}"};
    };
    auto refused = get("195900/patients/search");
    ASSERT_TRUE(kcWaitFor([&] { return refused->failures == 1; }, 30000));
    EXPECT_EQ(statusOf(refused->error), 403);
    EXPECT_EQ(server.requestsTo("/oauth/token").size(), 3);
    EXPECT_EQ(server.requestsTo("/v1/195900/patients/search").size(), 4);
}

TEST_F(AthenaClientTest, SecondRefusalDuringRenewalReachesItsCaller) {
    authorise();
    apiHandler = [](const ScriptedRequest &r) -> std::optional<ScriptedAnswer> {
        if (r.header("Authorization") == "Bearer tok2")
            return ScriptedAnswer{200, "application/json", "{\"n\":2}"};
        return ScriptedAnswer{401, "application/json", "{}"};
    };
    holdTokens = true;
    auto first = get("195900/patients/1/photo");
    ASSERT_TRUE(kcWaitFor([&] { return server.requestsTo("/oauth/token").size() == 2; }, 30000));
    EXPECT_TRUE(client->refreshTokenInProgress());
    auto second = get("195900/patients/2/photo");
    ASSERT_TRUE(kcWaitFor([&] { return second->failures == 1; }, 30000));
    EXPECT_EQ(statusOf(second->error), 401);
    EXPECT_EQ(first->successes + first->failures, 0);

    server.answer(server.requestsTo("/oauth/token").last().id, tokenAnswer());
    ASSERT_TRUE(kcWaitFor([&] { return first->successes == 1; }, 30000));
    EXPECT_EQ(first->answer.toMap().value("n"), 2);
    EXPECT_EQ(server.requestsTo("/oauth/token").size(), 2) << "one renewal for both";
    EXPECT_EQ(second->failures, 1);
    EXPECT_EQ(second->successes, 0);
}

TEST_F(AthenaClientTest, FailedRenewalHandsTheRefusalToTheCaller) {
    authorise();
    apiHandler = [](const ScriptedRequest &) -> std::optional<ScriptedAnswer> {
        return ScriptedAnswer{401, "application/json", "{}"};
    };
    server.setHandler([this](const ScriptedRequest &r) -> std::optional<ScriptedAnswer> {
        if (r.path() == "/oauth/token")
            return ScriptedAnswer{400, "application/json", "{\"error\":\"invalid_client\"}"};
        return apiHandler(r);
    });
    auto outcome = get("195900/patients/search");
    ASSERT_TRUE(kcWaitFor([&] { return outcome->failures == 1; }, 30000));
    EXPECT_EQ(statusOf(outcome->error), 401);
    EXPECT_FALSE(client->refreshTokenInProgress());
    // The next refusal may try again.
    auto again = get("195900/patients/search");
    ASSERT_TRUE(kcWaitFor([&] { return again->failures == 1; }, 30000));
    EXPECT_EQ(server.requestsTo("/oauth/token").size(), 3);
}

TEST_F(AthenaClientTest, UnavailableServiceIsReportedAsAnError) {
    authorise();
    apiHandler = [](const ScriptedRequest &r) -> std::optional<ScriptedAnswer> {
        if (r.path().endsWith("/down"))
            return ScriptedAnswer{503, "application/json", "{\"error\":\"unavailable\"}"};
        return ScriptedAnswer{200, "application/json", "{}"};
    };
    auto down = get("195900/down");
    auto later = get("195900/up");
    ASSERT_TRUE(kcWaitFor([&] { return later->successes == 1; }, 30000));
    // Every request completes: the caller is not left waiting.
    ASSERT_TRUE(kcWaitFor([&] { return down->failures == 1; }, 30000));
    EXPECT_EQ(down->successes, 0);
    EXPECT_EQ(statusOf(down->error), 503);
    EXPECT_EQ(server.requestsTo("/oauth/token").size(), 1);
}

// The client secret goes to the token URL and the token to the base URL:
// plain http is refused for both unless it stays on this computer.
// (0.0.0.0 reaches this computer's server, but is no loopback name: were the
// rule missing, the request would be sent.)
TEST_F(AthenaClientTest, PlainHttpToAnotherComputerIsRefusedBeforeSending) {
    const QString wildcard = QStringLiteral("http://0.0.0.0:%1").arg(server.url().port());
    struct Case {
        QString authURL, baseURL, names;
    } cases[] = {{wildcard + "/oauth/token", server.url("/v1").toString(), "client secret"},
                 {server.url("/oauth/token").toString(), wildcard + "/v1", "access token"}};
    for (const Case &c : cases) {
        SCOPED_TRACE(c.authURL.toStdString());
        auto fresh = std::make_shared<Client>(QUrl(c.baseURL));
        QVariantMap data = emrData();
        data.insert("auth_url", c.authURL);
        data.insert("base_url", c.baseURL);
        fresh->setEmrData(data);
        fresh->setKelvraKeychain({{"departmentID", "1"}});
        fresh->updateAuthStatus();
        KCError error;
        fresh->refreshAthenaAccessToken([](const QVariantMap &) {}, [&](const KCError &e) { error = e; });
        ASSERT_TRUE(kcWaitFor([&] { return bool(error); }, 30000));
        EXPECT_EQ(error.domain(), KCEMRErrorDomain);
        EXPECT_EQ(error.code(), KCEMRErrorInsecureURL);
        EXPECT_TRUE(error.localizedDescription().contains(c.names))
            << error.localizedDescription().toStdString();
        EXPECT_TRUE(error.localizedDescription().contains("https://"));
        EXPECT_TRUE(fresh->authToken().isEmpty());
    }
    kcSpin(300);
    EXPECT_TRUE(server.requests().isEmpty()) << "nothing was sent";

    // On this computer plain http is fine.
    authorise();
}

// Sign-out drops everything the client knows, and a token answer that was
// still under way is not kept.
TEST_F(AthenaClientTest, ForgottenCredentialsStayForgotten) {
    authorise();
    client->forgetCredentials();
    EXPECT_TRUE(client->authToken().isEmpty());
    EXPECT_TRUE(client->refreshToken().isEmpty());
    EXPECT_TRUE(client->kAthenaAPISecret().isEmpty());
    EXPECT_TRUE(client->kAthenaAPIKey().isEmpty());
    EXPECT_TRUE(client->emrData().isEmpty());
    EXPECT_TRUE(client->requestSerializer()->valueForHTTPHeaderField("Authorization").isEmpty());

    // Signed in again, and out while two token requests are under way.
    client->setEmrData(emrData());
    holdTokens = true;
    client->updateAuthStatus();
    KCError late;
    bool stored = false;
    client->refreshAthenaAccessToken([&](const QVariantMap &) { stored = true; },
                                     [&](const KCError &e) { late = e; });
    ASSERT_TRUE(kcWaitFor([&] { return server.requestsTo("/oauth/token").size() == 3; }, 30000));
    client->forgetCredentials();
    for (int i = 1; i < 3; ++i)
        server.answer(server.requestsTo("/oauth/token").at(i).id, tokenAnswer());
    ASSERT_TRUE(kcWaitFor([&] { return bool(late); }, 30000));
    EXPECT_EQ(late.code(), KCEMRErrorSignedOut);
    EXPECT_FALSE(stored);
    kcSpin(300);
    EXPECT_TRUE(client->authToken().isEmpty());
    EXPECT_TRUE(client->requestSerializer()->valueForHTTPHeaderField("Authorization").isEmpty());
}

TEST_F(AthenaClientTest, ProgressIsPostedAsAFloatFraction) {
    QMutex mutex;
    QList<QVariant> seen;
    auto token = NotificationCenter::defaultCenter().addObserver(
        QDUploadProgressNotification, nullptr, [&](const Notification &n) {
            QMutexLocker locker(&mutex);
            seen.append(n.userInfo.value(QDAthenaUploadProgressKey));
        });
    KCProgress progress(200);
    progress.setCompletedUnitCount(100);
    client->observeValueForKeyPath("fractionCompleted", progress);
    client->observeValueForKeyPath("totalUnitCount", progress);
    NotificationCenter::defaultCenter().removeObserver(token);
    ASSERT_EQ(seen.size(), 1);
    EXPECT_EQ(seen[0].metaType().id(), QMetaType::Float);
    EXPECT_FLOAT_EQ(seen[0].toFloat(), 0.5f);
}

TEST_F(AthenaClientTest, EncounterQueryIsOneDayWithEncodedDates) {
    authorise();
    client->setKelvraKeychain({{"departmentID", "1"}});
    client->updateAuthStatus();
    EXPECT_EQ(client->encounterPathForPatient("3301", "2", QDate(2026, 12, 7)),
              "195900/chart/3301/encounters?departmentid=1&providerid=2&enddate=12%2F07%2F2026&startdate=12%"
              "2F07%2F2026");
    QVariant answer;
    client->getEncounterIDForPatient(
        "3301", "2", [&](const QVariant &a) { answer = a; }, nullptr);
    ASSERT_TRUE(kcWaitFor([&] { return answer.isValid(); }, 30000));
    const QString today = QDate::currentDate().toString("MM'%2F'dd'%2F'yyyy");
    // The renewal started by updateAuthStatus() may reach the server after
    // the query: look for the query itself.
    QByteArray query;
    for (const auto &r : server.requests())
        if (r.target.startsWith("/v1/195900/chart/3301/encounters"))
            query = r.target;
    EXPECT_EQ(
        query,
        QStringLiteral("/v1/195900/chart/3301/encounters?departmentid=1&providerid=2&enddate=%1&startdate=%1")
            .arg(today)
            .toUtf8());
    EXPECT_EQ(answer.toMap().value("ok"), 1);
}

TEST_F(AthenaClientTest, SearchCapitalisesAndPhotoPassesBytes) {
    authorise();
    apiHandler = [](const ScriptedRequest &r) -> std::optional<ScriptedAnswer> {
        if (r.path().endsWith("/photo"))
            return ScriptedAnswer{200, "image/jpeg", "\xff\xd8\xff\xe0 jpeg bytes"};
        return ScriptedAnswer{
            200, "application/json",
            "{\"patients\":[{\"firstname\":\"JOHN\",\"lastname\":\"DOE\",\"dob\":\"01/02/1970\","
            "\"patientid\":\"3301\",\"currentdepartmentid\":\"1\"}]}"};
    };
    client->setPtImageArray({QVariantMap{{"emr_patient_id", "3301"}, {"image", "photo"}}});
    QVariantList patients;
    bool searched = false;
    client->searchForPatient(
        "jo do", [&](const QVariantList &p) { patients = p, searched = true; }, nullptr);
    ASSERT_TRUE(kcWaitFor([&] { return searched; }, 30000));
    EXPECT_EQ(server.requests().last().target, "/v1/195900/patients/search?searchterm=jo%20do");
    ASSERT_EQ(patients.size(), 1);
    EXPECT_EQ(patients[0].toMap().value("pt_firstname"), "John");
    EXPECT_EQ(patients[0].toMap().value("pt_lastname"), "Doe");
    EXPECT_EQ(patients[0].toMap().value("pt_profile_image"), "photo");

    QVariant photo;
    client->getProfilePictureForPatient(
        "3301", [&](const QVariant &a) { photo = a; }, nullptr);
    ASSERT_TRUE(kcWaitFor([&] { return photo.isValid(); }, 30000));
    EXPECT_EQ(server.requests().last().target, "/v1/195900/patients/3301/photo?jpegoutput=true");
    EXPECT_EQ(photo.toByteArray(), QByteArray("\xff\xd8\xff\xe0 jpeg bytes"));

    // An id cannot leave its path segment.
    bool answered = false;
    client->getProfilePictureForPatient(
        "../../x?y", [&](const QVariant &) { answered = true; }, nullptr);
    ASSERT_TRUE(kcWaitFor([&] { return answered; }, 30000));
    EXPECT_EQ(server.requests().last().target, "/v1/195900/patients/..%2F..%2Fx%3Fy/photo?jpegoutput=true");
}

// One documentation record with one upload entry of `content`.
QVariantList record(const QString &entryID, const QVariant &content, const QString &note = "n") {
    return {QVariantMap{{"encounter_note", note},
                        {"id", "A0000000-0000-0000-0000-000000000000"},
                        {"Upload", QVariantList{QVariantMap{{"id", entryID}, {"content", content}}}}}};
}

TEST_F(AthenaClientTest, UploadRefusesWhatItCannotFileSafely) {
    authorise();
    struct Case {
        const char *why;
        QVariantList documents;
        QVariantMap visit;
        int code;
    } cases[] = {
        {"short id",
         record("12345", kcTestImageBase64("TIFF")),
         {{"emr_patient_id", "3301"}},
         KCEMRErrorInvalidDocumentID},
        {"traversal",
         record("AAAAAAAA-../../../../evil", kcTestImageBase64("TIFF")),
         {{"emr_patient_id", "3301"}},
         KCEMRErrorInvalidDocumentID},
        {"slash",
         record("AAAAAAAAAAAAAAA/evil.x", kcTestImageBase64("TIFF")),
         {{"emr_patient_id", "3301"}},
         KCEMRErrorInvalidDocumentID},
        {"not base64",
         record("6F9619FF-8B86-D011-B42D-00C04FC964FF", "not*base64"),
         {{"emr_patient_id", "3301"}},
         KCEMRErrorUndecodableContent},
        {"not an image",
         record("6F9619FF-8B86-D011-B42D-00C04FC964FF", QString(QByteArray("text").toBase64())),
         {{"emr_patient_id", "3301"}},
         KCEMRErrorUndecodableContent},
        {"no patient",
         record("6F9619FF-8B86-D011-B42D-00C04FC964FF", kcTestImageBase64("TIFF")),
         {{"emr_patient_id", ""}},
         KCEMRErrorMissingDocumentField},
    };
    const int before = server.requests().size();
    for (const Case &c : cases) {
        SCOPED_TRACE(c.why);
        QList<KCError> errors;
        int successes = 0;
        client->uploadDocumentation(
            c.documents, c.visit, "image", [&](const KCHTTPURLResponse &) { ++successes; },
            [&](const KCError &e) { errors.append(e); });
        ASSERT_TRUE(kcWaitFor([&] { return !errors.isEmpty(); }, 30000));
        EXPECT_EQ(errors.first().domain(), KCEMRErrorDomain);
        EXPECT_EQ(errors.first().code(), c.code);
        EXPECT_EQ(successes, 0);
    }
    kcSpin(200);
    EXPECT_EQ(server.requests().size(), before) << "nothing was sent";
    EXPECT_FALSE(QFile::exists(home.dir.filePath("evil.pdf")));
    EXPECT_FALSE(QFile::exists(home.dir.filePath("evil.x.pdf")));
    EXPECT_TRUE(QDir(home.documents()).entryList(QDir::Files).isEmpty());

    // Without any department there is nowhere to file the document.
    client->setKelvraKeychain({});
    client->updateAuthStatus();
    KCError error;
    client->uploadDocumentation(record("6F9619FF-8B86-D011-B42D-00C04FC964FF", kcTestImageBase64("TIFF")),
                                {{"emr_patient_id", "3301"}}, "image", nullptr,
                                [&](const KCError &e) { error = e; });
    ASSERT_TRUE(kcWaitFor([&] { return bool(error); }, 30000));
    EXPECT_EQ(error.code(), KCEMRErrorMissingDocumentField);

    // Entries without content are skipped silently.
    int calls = 0;
    client->uploadDocumentation(
        record("6F9619FF-8B86-D011-B42D-00C04FC964FF", QVariant()), {{"emr_patient_id", "3301"}}, "image",
        [&](const KCHTTPURLResponse &) { ++calls; }, [&](const KCError &) { ++calls; });
    kcSpin(300);
    EXPECT_EQ(calls, 0);
}

TEST_F(AthenaClientTest, RefusedTokenFailsTheUpload) {
    authorise();
    server.setHandler([](const ScriptedRequest &r) -> std::optional<ScriptedAnswer> {
        if (r.path() == "/oauth/token")
            return ScriptedAnswer{401, "application/json", "{\"error\":\"invalid_client\"}"};
        return ScriptedAnswer{};
    });
    const int tokensBefore = server.requestsTo("/oauth/token").size();
    QList<KCError> errors;
    client->uploadDocumentation(record("6F9619FF-8B86-D011-B42D-00C04FC964FF", kcTestImageBase64("TIFF")),
                                {{"emr_patient_id", "3301"}}, "image", nullptr,
                                [&](const KCError &e) { errors.append(e); });
    ASSERT_TRUE(kcWaitFor([&] { return errors.size() == 1; }, 30000));
    kcSpin(300);
    EXPECT_EQ(errors.size(), 1);
    EXPECT_EQ(statusOf(errors.first()), 401);
    EXPECT_EQ(server.requestsTo("/oauth/token").size(), tokensBefore + 1)
        << "no token request for the token request";
    EXPECT_TRUE(server.requestsTo("/v1/195900/patients/3301/documents").isEmpty());
    EXPECT_FALSE(QFile::exists(QDir(home.documents()).filePath("C04FC964FF.pdf")))
        << "the document file does not outlive its upload";
}

TEST_F(AthenaClientTest, SharedClientReadsTheSharedSettingsAndResets) {
    {
        QSettings settings(QSettings::IniFormat, QSettings::UserScope, QDKelvraClinicSettingsScope);
        settings.setValue(QDUserPreferencesSettingsKey, QVariantMap{{"emrData", emrData()}});
    }
    Client::triggerReset();
    auto shared = Client::sharedClient();
    EXPECT_EQ(Client::sharedClient(), shared);
    EXPECT_EQ(shared->baseURL(), server.url("/v1/"));
    EXPECT_EQ(shared->athenaAPIURLString(), server.url("/v1").toString());
    ASSERT_TRUE(kcWaitFor([&] { return shared->authToken() == "tok1"; }, 30000));

    Client::triggerReset();
    auto fresh = Client::sharedClient();
    EXPECT_NE(fresh, shared);
    EXPECT_EQ(Client::sharedClient(), fresh);
    ASSERT_TRUE(kcWaitFor([&] { return fresh->authToken() == "tok2"; }, 30000));

    // Re-initialising keeps configuration and token.
    fresh->initWithBaseURL(server.url("/v2"));
    EXPECT_EQ(fresh->baseURL(), server.url("/v2/"));
    EXPECT_EQ(fresh->authToken(), "tok2");
    EXPECT_EQ(fresh->requestSerializer()->valueForHTTPHeaderField("Authorization"), "Bearer tok2");
    Client::triggerReset();
}

// A redirect may not carry the client secret, the token or the document to
// another host: the token request and the upload refuse to follow it.
TEST_F(AthenaClientTest, TokenAndUploadRefuseRedirectsToAnotherHost) {
    kctest::TestServer elsewhere(
        [](const kctest::ReceivedRequest &) { return kctest::jsonResponse(200, "{}"); }, {}, {},
        QHostAddress(QStringLiteral("127.0.0.2")));
    ASSERT_NE(elsewhere.port(), 0) << "127.0.0.2 is not usable here";
    bool redirectUploads = false;
    kctest::TestServer emr([&](const kctest::ReceivedRequest &r) {
        kctest::TestResponse moved;
        moved.status = 307;
        moved.reason = "Temporary Redirect";
        if (r.path == "/oauth/token" && !redirectUploads) {
            moved.headers = {{"Location", elsewhere.url("/oauth/token").toUtf8()}};
            return moved;
        }
        if (r.path == "/oauth/token")
            return kctest::jsonResponse(200, R"({"access_token":"tok","refresh_token":"r"})");
        moved.headers = {{"Location", elsewhere.url("/collect").toUtf8()}};
        return moved;
    });
    auto redirected = std::make_shared<Client>(QUrl(emr.url("/v1")));
    QVariantMap data = emrData();
    data.insert("auth_url", emr.url("/oauth/token"));
    data.insert("base_url", emr.url("/v1"));
    redirected->setEmrData(data);
    redirected->setKelvraKeychain({{"departmentID", "1"}});
    redirected->updateAuthStatus();
    KCError tokenError;
    redirected->refreshAthenaAccessToken([](const QVariantMap &) {},
                                         [&](const KCError &e) { tokenError = e; });
    ASSERT_TRUE(kcWaitFor([&] { return bool(tokenError); }, 30000));
    EXPECT_EQ(tokenError.code(), NSURLErrorRedirectToNonExistentLocation);

    redirectUploads = true;
    KCError uploadError;
    redirected->uploadDocumentation(record("6F9619FF-8B86-D011-B42D-00C04FC964FF", kcTestImageBase64("TIFF")),
                                    {{"emr_patient_id", "3301"}}, "image", nullptr,
                                    [&](const KCError &e) { uploadError = e; });
    ASSERT_TRUE(kcWaitFor([&] { return bool(uploadError); }, 30000));
    EXPECT_EQ(uploadError.code(), NSURLErrorRedirectToNonExistentLocation)
        << uploadError.localizedDescription().toStdString();
    EXPECT_EQ(elsewhere.requestCount(), 0) << "neither the secret nor the token nor the document left";
}

} // namespace
