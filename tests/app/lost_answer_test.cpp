// Every request that changes something on a server, with its answer lost:
// a relay on 127.0.0.1 (plain and TLS) lets the real server act and then
// closes the connection before the answer. The request reaches the server
// exactly once, the caller learns of a lost answer, and where the client
// looks before sending again it finds what was filed. The servers are the
// real ones of the tests: kelvra-demo-service (clinic service and
// athenahealth) and the test FHIR server. The clinic client is a single
// instance, so this is a process of its own.

#include "clinic/kelvra_api_client.h"
#include "emr/athenahealth_api_client.h"
#include "emr/fhir_api_client.h"
#include "http/task.h"
#include "tests/clinic/demo_service.h"
#include "tests/http/support/test_server.h"
#include "tests/support/fhir-server/fhir_test_server.h"
#include "tests/support/lost_answer_relay.h"
#include "tests/support/qt_wait.h"
#include "tests/support/test_image.h"

#include <QTemporaryDir>
#include <QUuid>

#include <gtest/gtest.h>

#include <atomic>

namespace {

constexpr int kWaitMs = 60000;

QString newID() {
    return QUuid::createUuid().toString(QUuid::WithoutBraces).toUpper();
}

// One accepted capture, as the documentation upload builds it.
QVariantMap record(const QString &entryID, const char *format) {
    return {{"encounter_note", "rash, left arm"},
            {"interaction_id", "1001"},
            {"id", newID()},
            {"Upload", QVariantList{QVariantMap{{"id", entryID},
                                                {"content", kcTestImageBase64(format)},
                                                {"user_id", "17"},
                                                {"file_type", "image/png"}}}}};
}

EMRFilingOutcome file(EMRAPIDelegate &emr, const QVariantMap &rec, const QVariantMap &visit, bool lookFirst) {
    std::optional<EMRFilingOutcome> outcome;
    emr.fileDocument(rec, visit, "image", lookFirst, [&](const EMRFilingOutcome &o) { outcome = o; });
    EXPECT_TRUE(kcWaitFor([&] { return outcome.has_value(); }, kWaitMs));
    return outcome.value_or(EMRFilingOutcome{});
}

// Files `rec` while the relay loses the answer of the upload (a POST to
// `path`): the EMR holds it once (`stored` counts it there) and the caller
// hears of a lost answer; the next attempt looks first, finds it and files
// nothing more.
void fileLosingTheAnswer(EMRAPIDelegate &emr, LostAnswerRelay &relay, const QByteArray &path,
                         const QVariantMap &rec, const QVariantMap &visit,
                         const std::function<int()> &stored) {
    const int lostBefore = relay.lost();
    relay.loseAnswers("POST", path);
    const EMRFilingOutcome lost = file(emr, rec, visit, false);
    EXPECT_EQ(lost.kind, EMRFilingOutcome::Failed);
    EXPECT_TRUE(lost.reached) << "it may have been filed";
    EXPECT_TRUE(lost.error.contains("not sent again")) << lost.error.toStdString();
    EXPECT_EQ(relay.lost(), lostBefore + 1);
    EXPECT_EQ(stored(), 1) << "filed once";

    const EMRFilingOutcome looked = file(emr, rec, visit, true);
    EXPECT_EQ(looked.kind, EMRFilingOutcome::Filed) << looked.error.toStdString();
    EXPECT_FALSE(looked.documentID.isEmpty());
    EXPECT_EQ(stored(), 1) << "found, not filed again";
}

// A URL of the configuration moved to the relay: same path, the relay's
// scheme, host and port.
QString throughRelay(const LostAnswerRelay &relay, const QVariant &url) {
    const QUrl u(url.toString());
    return relay.url(u.path(QUrl::FullyEncoded));
}

// What the demo service stored and was asked.
int countIf(const QVariantList &list, const std::function<bool(const QVariantMap &)> &match) {
    return int(
        std::count_if(list.cbegin(), list.cend(), [&](const QVariant &v) { return match(v.toMap()); }));
}

class LostAnswers : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        certificates = new kctest::TestCertificates;
        ASSERT_TRUE(certificates->ok()) << certificates->error().toStdString();
        // The relay's certificate is signed by the test root.
        qputenv("KELVRA_CA_FILE", certificates->rootFile().toLocal8Bit());
        qputenv("XDG_DATA_HOME", home.path().toUtf8());
        demo = new DemoService;
        ASSERT_TRUE(demo->start(QStringLiteral(KC_DEMO_SERVICE))) << demo->error().toStdString();
        fhir = new FhirTestServer;
        ASSERT_TRUE(fhir->start()) << fhir->error().toStdString();
        for (const bool tls : {false, true}) {
            const QList<QSslCertificate> chain =
                tls ? QList<QSslCertificate>{certificates->certificate("leaf")} : QList<QSslCertificate>{};
            const QSslKey key = tls ? certificates->key("leaf") : QSslKey();
            demoRelays[tls] = new LostAnswerRelay(demo->url(), chain, key);
            fhirRelays[tls] = new LostAnswerRelay(fhir->origin(), chain, key);
        }
        // The clinic service through TLS.
        KelvraAPIClient::setServiceURLForFirstUse(QUrl(demoRelays[true]->url("/")));
        client = KelvraAPIClient::sharedKelvraAPIClient();
    }
    static void TearDownTestSuite() {
        for (LostAnswerRelay *r : demoRelays)
            delete r;
        for (LostAnswerRelay *r : fhirRelays)
            delete r;
        delete fhir;
        delete demo;
        delete certificates;
    }

    // Signs in; the error of a failed sign-in, or nothing.
    static std::optional<KCError> signIn() {
        std::atomic<bool> done{false};
        std::optional<KCError> failure;
        QString login;
        client->loginKelvraWithUsername(
            "demo", "capture",
            [&](const QVariant &answer) {
                login = answer.toMap().value("login").toString();
                done = true;
            },
            [&](const KCError &error) {
                failure = error;
                done = true;
            });
        EXPECT_TRUE(kcWaitFor([&] { return done.load(); }, kWaitMs));
        if (!failure) {
            EXPECT_EQ(login, "pass");
        }
        return failure;
    }

    // The clinic's athenahealth configuration, from the clinic service.
    static QVariantMap athenaConfiguration() {
        std::atomic<bool> done{false};
        client->getUserConfigurationWithCallback([&](const QVariant &) { done = true; });
        EXPECT_TRUE(kcWaitFor([&] { return done.load(); }, kWaitMs));
        return client->userPreferences().value_or(QVariantMap());
    }

    static void expectLostAnswer(const KCError &error) {
        EXPECT_EQ(error.code(), NSURLErrorNetworkConnectionLost)
            << error.localizedDescription().toStdString();
        EXPECT_TRUE(error.localizedDescription().contains("not sent again"))
            << error.localizedDescription().toStdString();
    }

    static inline kctest::TestCertificates *certificates = nullptr;
    static inline DemoService *demo = nullptr;
    static inline FhirTestServer *fhir = nullptr;
    static inline LostAnswerRelay *demoRelays[2] = {};
    static inline LostAnswerRelay *fhirRelays[2] = {};
    static inline KelvraAPIClient *client = nullptr;
    static inline QTemporaryDir home;
};

// The sign-in: the service signs the user in once; the caller's failure
// callback gets the lost answer.
TEST_F(LostAnswers, SignIn) {
    LostAnswerRelay &relay = *demoRelays[true];
    const int before = int(demo->requestsTo("users/clinicLogin").size());
    const int lostBefore = relay.lost();
    relay.loseAnswers("POST", "/api/users/clinicLogin");
    const std::optional<KCError> failure = signIn();
    ASSERT_TRUE(failure.has_value()) << "signed in although the answer was lost";
    expectLostAnswer(*failure);
    EXPECT_EQ(relay.lost(), lostBefore + 1);
    EXPECT_EQ(demo->requestsTo("users/clinicLogin").size(), before + 1) << "sent once";
}

// The clinic documentation: stored once; the caller sees the lost answer.
TEST_F(LostAnswers, ClinicDocumentation) {
    ASSERT_FALSE(signIn().has_value());
    LostAnswerRelay &relay = *demoRelays[true];
    const QVariantMap rec = record(newID(), "PNG");
    const QString id = rec.value("id").toString();
    relay.loseAnswers("POST", "/api/documentations/");
    std::atomic<bool> done{false};
    std::optional<KCError> failure;
    client->POST(
        "documentations/", QVariantMap{{"0", QVariantMap{{"Documentation", rec}}}},
        [&](const KCURLSessionTaskPtr &, const QVariant &) { done = true; },
        [&](const KCURLSessionTaskPtr &, const KCError &error) {
            failure = error;
            done = true;
        });
    ASSERT_TRUE(kcWaitFor([&] { return done.load(); }, kWaitMs));
    ASSERT_TRUE(failure.has_value()) << "confirmed although the answer was lost";
    expectLostAnswer(*failure);
    const QVariantMap state = demo->state();
    EXPECT_EQ(countIf(state.value("documentations").toList(),
                      [&](const QVariantMap &d) { return d.value("id") == id; }),
              1);
    EXPECT_TRUE(state.value("repeated_documentation_ids").toList().isEmpty());
}

// The athenahealth document, plain and TLS: filed once; the next attempt
// looks first and finds it.
TEST_F(LostAnswers, AthenahealthDocument) {
    ASSERT_FALSE(signIn().has_value());
    const QVariantMap preferences = athenaConfiguration();
    const QVariantMap configured = preferences.value("emrData").toMap();
    ASSERT_FALSE(configured.isEmpty());
    for (const bool tls : {false, true}) {
        SCOPED_TRACE(tls ? "TLS" : "plain");
        LostAnswerRelay &relay = *demoRelays[tls];
        QVariantMap emrData = configured;
        emrData.insert("base_url", throughRelay(relay, configured.value("base_url")));
        emrData.insert("auth_url", throughRelay(relay, configured.value("auth_url")));
        auto emr =
            std::make_shared<QDAthenahealthAPIClientForExtension>(QUrl(emrData.value("base_url").toString()));
        emr->setEmrData(emrData);
        emr->setKelvraKeychain(preferences.value("kelvraKeychain").toMap());
        emr->updateAuthStatus();
        QVariantList patients;
        emr->searchForPatient(
            "an", [&](const QVariantList &p) { patients = p; }, nullptr);
        ASSERT_TRUE(kcWaitFor([&] { return !patients.isEmpty(); }, kWaitMs));
        const QVariantMap visit{{"emr_patient_id", patients.first().toMap().value("emr_patient_id")}};

        const QString entry = newID();
        const QVariantMap rec = record(entry, "TIFF");
        auto filedHere = [&] {
            return countIf(demo->state().value("emr_documents").toList(),
                           [&](const QVariantMap &d) { return d.value("actionnote") == entry; });
        };
        fileLosingTheAnswer(*emr, relay, "/documents", rec, visit, filedHere);
    }
}

// The FHIR DocumentReference, plain and TLS, with a server that ignores
// If-None-Exist: created once; the next attempt searches and finds it.
TEST_F(LostAnswers, FHIRDocumentReference) {
    ASSERT_TRUE(fhir->control("reset"));
    ASSERT_TRUE(fhir->control("settings", QVariantMap{{"conditional_create", false}}));
    ASSERT_TRUE(fhir->seed({QVariantMap{
        {"resourceType", "Patient"},
        {"id", "31007"},
        {"name", QVariantList{QVariantMap{{"family", "Thompson"}, {"given", QVariantList{"Margaret"}}}}},
        {"birthDate", "1948-03-12"}}}));
    const QVariantMap visit{
        {"name", "Margaret Thompson"}, {"dob", "1948-03-12"}, {"emr_patient_id", "31007"}};
    for (const bool tls : {false, true}) {
        SCOPED_TRACE(tls ? "TLS" : "plain");
        LostAnswerRelay &relay = *fhirRelays[tls];
        QVariantMap emrData = fhir->emrData();
        emrData.insert("base_url", throughRelay(relay, emrData.value("base_url")));
        emrData.insert("auth_url", throughRelay(relay, emrData.value("auth_url")));
        auto emr = std::make_shared<QDFHIRAPIClientForExtension>();
        emr->setEmrData(emrData);
        emr->updateAuthStatus();
        emr->initWithBaseURL(QUrl(emrData.value("base_url").toString()));

        const QString entry = newID();
        const QVariantMap rec = record(entry, "TIFF");
        auto stored = [&] {
            return countIf(fhir->documents(), [&](const QVariantMap &d) {
                return d.value("identifier")
                    .toList()
                    .value(0)
                    .toMap()
                    .value("value")
                    .toString()
                    .endsWith(entry.toLower());
            });
        };
        fileLosingTheAnswer(*emr, relay, "/fhir/R4/DocumentReference", rec, visit, stored);
    }
    EXPECT_EQ(fhir->state().value("invalid_documents").toInt(), 0);
}

} // namespace
