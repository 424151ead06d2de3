// The FHIR client against a real FHIR R4 server (Medplum's router and
// in-memory repository behind tests/support/fhir-server, with a SMART token
// endpoint that checks the signed assertion): what is filed and how it
// validates, exactly once, the patient checks and the refusals, tokens and
// their renewal, Retry-After, and requests that are not sent to another
// origin.

#include "emr/emr_api_client.h"
#include "emr/fhir_api_client.h"
#include "scripted_server.h"
#include "tests/support/fhir-server/fhir_test_server.h"
#include "tests/support/qt_wait.h"

#include <QBuffer>
#include <QCoreApplication>
#include <QImage>
#include <QSettings>
#include <QTemporaryDir>
#include <QUuid>
#include <gtest/gtest.h>

namespace {

QVariantMap patient(const QString &id, const QString &given, const QString &family, const QString &birthDate,
                    const QString &mrn = {}) {
    QVariantMap p{{"resourceType", "Patient"},
                  {"id", id},
                  {"name", QVariantList{QVariantMap{{"family", family}, {"given", given.split(' ')}}}},
                  {"birthDate", birthDate}};
    if (!mrn.isEmpty())
        p.insert("identifier",
                 QVariantList{QVariantMap{{"system", "urn:oid:1.2.840.114350"}, {"value", mrn}}});
    return p;
}

QImage captureImage() {
    QImage image(40, 30, QImage::Format_RGB32);
    image.fill(Qt::white);
    for (int x = 0; x < 40; ++x)
        image.setPixel(x, x % 30, qRgb(200, 30, 30));
    return image;
}

QVariantMap record(const QString &entryID, const QString &note = QStringLiteral("rash, left arm")) {
    QByteArray bytes;
    QBuffer buffer(&bytes);
    buffer.open(QIODevice::WriteOnly);
    captureImage().save(&buffer, "TIFF");
    return {{"encounter_note", note},
            {"id", QUuid::createUuid().toString(QUuid::WithoutBraces).toUpper()},
            {"Upload",
             QVariantList{QVariantMap{{"id", entryID}, {"content", QString::fromLatin1(bytes.toBase64())}}}}};
}

QString newEntryID() {
    return QUuid::createUuid().toString(QUuid::WithoutBraces).toUpper();
}

// The patient entry of today's list.
QVariantMap visit(const QString &emrPatientID, const QString &name = QStringLiteral("Margaret Thompson"),
                  const QString &dob = QStringLiteral("1948-03-12")) {
    return {{"name", name},
            {"dob", dob},
            {"emr_patient_id", emrPatientID},
            {"emr_appointment_id", ""},
            {"kelvraID", "880"},
            {"interaction_id", "7001"}};
}

class FhirClientTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        server = new FhirTestServer;
        ASSERT_TRUE(server->start()) << server->error().toStdString();
    }
    static void TearDownTestSuite() {
        delete server;
        server = nullptr;
    }
    void SetUp() override {
        ASSERT_TRUE(server->control("reset"));
        ASSERT_TRUE(server->control("settings", QVariantMap{{"conditional_create", true},
                                                            {"clock_offset_s", 0},
                                                            {"scopes", "v2"},
                                                            {"token_lifetime", 300}}));
        ASSERT_TRUE(server->seed({patient("31007", "Margaret", "Thompson", "1948-03-12", "MRN-880"),
                                  patient("31014", "Maria", "Cruz", "1990-07-14"),
                                  patient("31021", "Maria", "Cruz", "1990-07-14"),
                                  patient("31028", "Patricia", "Van der Berg", "1958-12-01")}));
        client = makeClient(server->emrData());
    }

    static std::shared_ptr<QDFHIRAPIClientForExtension> makeClient(const QVariantMap &emrData) {
        auto c = std::make_shared<QDFHIRAPIClientForExtension>();
        c->setEmrData(emrData);
        c->setKelvraKeychain({{"enabledEMR", "fhir"}});
        c->updateAuthStatus();
        c->initWithBaseURL(QUrl(emrData.value("base_url").toString()));
        // The first token (or its refusal) is in before the test goes on.
        bool answered = false;
        c->accessToken(false, [&](const QString &, const auto &) { answered = true; });
        EXPECT_TRUE(kcWaitFor([&] { return answered; }, 60000));
        return c;
    }

    static EMRFilingOutcome file(QDFHIRAPIClientForExtension &c, const QVariantMap &rec,
                                 const QVariantMap &info, bool lookFirst = false) {
        std::optional<EMRFilingOutcome> outcome;
        c.fileDocument(rec, info, "image", lookFirst, [&](const EMRFilingOutcome &o) { outcome = o; });
        EXPECT_TRUE(kcWaitFor([&] { return outcome.has_value(); }, 60000));
        return outcome.value_or(EMRFilingOutcome{});
    }

    static int requestsTo(const QString &method, const QString &pathPart) {
        int n = 0;
        for (const QVariant &r : server->state().value("requests").toList())
            n += r.toMap().value("method") == method && r.toMap().value("path").toString().contains(pathPart);
        return n;
    }

    static inline FhirTestServer *server = nullptr;
    std::shared_ptr<QDFHIRAPIClientForExtension> client;
};

TEST_F(FhirClientTest, FilesAValidUSCoreDocumentReferenceExactlyOnce) {
    const QString entry = newEntryID();
    const QVariantMap rec = record(entry);
    const EMRFilingOutcome first = file(*client, rec, visit("31007"));
    ASSERT_EQ(first.kind, EMRFilingOutcome::Filed) << first.error.toStdString();
    ASSERT_FALSE(first.documentID.isEmpty());

    const QVariantList documents = server->documents();
    ASSERT_EQ(documents.size(), 1);
    const QVariantMap d = documents.first().toMap();
    EXPECT_EQ(d.value("id").toString(), first.documentID);
    EXPECT_EQ(d.value("status"), "current");
    EXPECT_EQ(d.value("subject").toMap().value("reference"), "Patient/31007");
    EXPECT_EQ(d.value("description"), "rash, left arm");
    const QVariantMap identifier = d.value("identifier").toList().value(0).toMap();
    EXPECT_EQ(identifier.value("system"), "urn:ietf:rfc:3986");
    EXPECT_EQ(identifier.value("value"), "urn:uuid:" + entry.toLower());
    const QVariantMap type = d.value("type").toMap().value("coding").toList().value(0).toMap();
    EXPECT_EQ(type.value("system"), "http://loinc.org");
    EXPECT_EQ(type.value("code"), "34109-9");
    const QVariantMap category =
        d.value("category").toList().value(0).toMap().value("coding").toList().value(0).toMap();
    EXPECT_EQ(category.value("code"), "clinical-note");
    const QVariantMap attachment = d.value("content").toList().value(0).toMap().value("attachment").toMap();
    EXPECT_EQ(attachment.value("contentType"), "application/pdf");
    EXPECT_TRUE(QByteArray::fromBase64(attachment.value("data").toByteArray()).startsWith("%PDF-"));
    EXPECT_FALSE(attachment.value("creation").toString().isEmpty());
    EXPECT_FALSE(attachment.value("title").toString().isEmpty());
    EXPECT_FALSE(d.contains("context")) << "no appointment, no encounter";

    // Sent again (a lost answer): the conditional create answers with the
    // same document; with a server that ignores it, the search finds it.
    const EMRFilingOutcome again = file(*client, rec, visit("31007"));
    EXPECT_EQ(again.kind, EMRFilingOutcome::Filed);
    EXPECT_EQ(again.documentID, first.documentID);
    ASSERT_TRUE(server->control("settings", QVariantMap{{"conditional_create", false}}));
    const EMRFilingOutcome looked = file(*client, rec, visit("31007"), true);
    EXPECT_EQ(looked.kind, EMRFilingOutcome::Filed);
    EXPECT_EQ(looked.documentID, first.documentID);
    EXPECT_EQ(server->documents().size(), 1);

    const QVariantMap state = server->state();
    EXPECT_EQ(state.value("invalid_documents").toInt(), 0) << "every document validates";
    EXPECT_EQ(state.value("tokens_issued").toInt(), 1) << "the token is reused";
}

// The visit maps to an Encounter: the document names it and its period.
TEST_F(FhirClientTest, AVisitWithAnEncounterFilesItsContext) {
    const QVariantMap period{{"start", "2026-03-02T09:00:00Z"}, {"end", "2026-03-02T09:30:00Z"}};
    ASSERT_TRUE(server->seed(
        {QVariantMap{
             {"resourceType", "Appointment"},
             {"id", "A-77"},
             {"status", "booked"},
             {"participant", QVariantList{QVariantMap{{"actor", QVariantMap{{"reference", "Patient/31007"}}},
                                                      {"status", "accepted"}}}}},
         QVariantMap{{"resourceType", "Encounter"},
                     {"id", "E-77"},
                     {"status", "in-progress"},
                     {"class", QVariantMap{{"code", "AMB"}}},
                     {"subject", QVariantMap{{"reference", "Patient/31007"}}},
                     {"appointment", QVariantList{QVariantMap{{"reference", "Appointment/A-77"}}}},
                     {"period", period}}}));
    QVariantMap info = visit("31007");
    info.insert("emr_appointment_id", "A-77");
    const EMRFilingOutcome o = file(*client, record(newEntryID()), info);
    ASSERT_EQ(o.kind, EMRFilingOutcome::Filed) << o.error.toStdString();
    const QVariantMap context = server->documents().value(0).toMap().value("context").toMap();
    EXPECT_EQ(context.value("encounter").toList().value(0).toMap().value("reference"), "Encounter/E-77");
    EXPECT_EQ(context.value("period").toMap(), period);
    EXPECT_EQ(server->state().value("invalid_documents").toInt(), 0);
}

// The patient is found by the EHR id, by the id as an MRN, or by name and
// date of birth (compound surnames, other letter case and accents).
TEST_F(FhirClientTest, FindsThePatientByIdMRNOrNameAndDateOfBirth) {
    struct Case {
        const char *what;
        QVariantMap info;
        const char *patient;
    } cases[] = {
        {"EHR id", visit("31007"), "Patient/31007"},
        {"MRN", visit("MRN-880"), "Patient/31007"},
        {"name and dob", visit("", "PATRICIA van der berg", "1958-12-01"), "Patient/31028"},
        {"US date", visit("", "Margaret Thompson", "03/12/1948"), "Patient/31007"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        ASSERT_TRUE(server->control("reset"));
        ASSERT_TRUE(server->seed({patient("31007", "Margaret", "Thompson", "1948-03-12", "MRN-880"),
                                  patient("31028", "Patricia", "Van der Berg", "1958-12-01")}));
        const EMRFilingOutcome o = file(*client, record(newEntryID()), c.info);
        ASSERT_EQ(o.kind, EMRFilingOutcome::Filed) << o.error.toStdString();
        EXPECT_EQ(server->documents().value(0).toMap().value("subject").toMap().value("reference"),
                  c.patient);
    }
}

// Each refusal keeps the record (Refused, with the reason for the tray) and
// files nothing.
TEST_F(FhirClientTest, RefusalsFileNothingAndSayWhy) {
    struct Case {
        const char *what;
        QVariantMap info;
        std::function<void()> arrange;
        const char *reason;
    } cases[] = {
        {"no matching Patient", visit("", "Nobody Known", "1948-03-12"), [] {}, "No patient in the EHR"},
        {"unknown id", visit("99999"), [] {}, "no patient with the id or MRN 99999"},
        {"two matching Patients", visit("", "Maria Cruz", "1990-07-14"), [] {},
         "2 patients in the EHR match"},
        {"birthDate differs", visit("31007", "Margaret Thompson", "1948-03-13"), [] {},
         "date of birth of the EHR's patient 31007 differs"},
        {"no date of birth in the list", visit("31007", "Margaret Thompson", ""), [] {}, "no date of birth"},
        {"name differs (read by id)", visit("31007", "Margaret Smith", "1948-03-12"), [] {},
         "name of the EHR's patient 31007 differs"},
        {"inactive Patient", visit("31042", "Ruth Inactive", "1950-05-05"),
         [] {
             QVariantMap p = patient("31042", "Ruth", "Inactive", "1950-05-05");
             p.insert("active", false);
             server->seed({p});
         },
         "patient 31042 is marked inactive"},
        {"merged Patient", visit("", "Otto Merged", "1951-06-06"),
         [] {
             QVariantMap p = patient("31049", "Otto", "Merged", "1951-06-06");
             p.insert("link", QVariantList{QVariantMap{{"other", QVariantMap{{"reference", "Patient/31007"}}},
                                                       {"type", "replaced-by"}}});
             server->seed({p});
         },
         "patient 31049 was merged into Patient/31007"},
        {"expired assertion", visit("31007"),
         [] {
             server->control("settings", QVariantMap{{"clock_offset_s", 900}});
         },
         "refused the application's sign-in"},
        {"422 OperationOutcome", visit("31007"),
         [] {
             server->control(
                 "faults",
                 QVariantMap{
                     {"fail", 1},
                     {"status", 422},
                     {"method", "POST"},
                     {"path", "DocumentReference"},
                     {"outcome",
                      QVariantMap{{"resourceType", "OperationOutcome"},
                                  {"issue", QVariantList{QVariantMap{
                                                {"severity", "error"},
                                                {"code", "business-rule"},
                                                {"details", QVariantMap{{"text", "Chart is locked"}}}}}}}}});
         },
         "Chart is locked"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        c.arrange();
        const EMRFilingOutcome o = file(*makeClient(server->emrData()), record(newEntryID()), c.info);
        EXPECT_EQ(o.kind, EMRFilingOutcome::Refused);
        EXPECT_TRUE(o.error.contains(QLatin1String(c.reason))) << o.error.toStdString();
        EXPECT_EQ(server->documents().size(), 0);
        server->control("settings", QVariantMap{{"clock_offset_s", 0}});
    }

    // A key the EHR does not know: the assertion is rejected.
    QString other = FhirTestServer::makeKey(server->keyFolder(), "ec");
    QFile key(other);
    ASSERT_TRUE(key.open(QIODevice::ReadOnly));
    QVariantMap emrData = server->emrData();
    emrData.insert("private_key", QString::fromLatin1(key.readAll()));
    auto stranger = makeClient(emrData);
    const EMRFilingOutcome rejected = file(*stranger, record(newEntryID()), visit("31007"));
    EXPECT_EQ(rejected.kind, EMRFilingOutcome::Refused);
    EXPECT_TRUE(rejected.error.contains("refused the application's sign-in")) << rejected.error.toStdString();
    EXPECT_EQ(server->documents().size(), 0);
    EXPECT_EQ(server->state().value("invalid_documents").toInt(), 0);
}

// Searches are sent as POST [type]/_search (no name or date of birth in a
// URL) and read to their last page: with two results a page, a second
// match on the second page is found.
TEST_F(FhirClientTest, SearchesReadEveryPageAndKeepPatientDataOutOfURLs) {
    ASSERT_TRUE(server->control("settings", QVariantMap{{"page_size", 2}}));
    const QVariantMap ana = visit("", "Ana Lima", "1980-01-01");
    struct Case {
        const char *what;
        QVariantList patients;
        QVariantMap info;
        std::optional<EMRFilingOutcome::Kind> kind;
        const char *reason;
        int pageSize = 2;
    } cases[] = {
        // First page: another name and the match; second page: the other match.
        {"second match on page 2",
         {patient("41001", "Ana", "Lima-Souza", "1980-01-01"), patient("41002", "Ana", "Lima", "1980-01-01"),
          patient("41003", "Ana", "Lima", "1980-01-01")},
         ana,
         EMRFilingOutcome::Refused,
         "2 patients in the EHR match"},
        {"one match over two pages",
         {patient("41001", "Ana", "Lima-Souza", "1980-01-01"), patient("41004", "Ana", "Limas", "1980-01-01"),
          patient("41002", "Ana", "Lima", "1980-01-01")},
         ana,
         EMRFilingOutcome::Filed,
         ""},
        {"MRN on two Patients, one a page",
         {patient("41005", "Eva", "Berg", "1970-02-02", "MRN-2"),
          patient("41006", "Eva", "Berg", "1970-02-02"),
          patient("41007", "Eva", "Berg", "1970-02-02", "MRN-2")},
         visit("MRN-2", "Eva Berg", "1970-02-02"),
         EMRFilingOutcome::Refused,
         "2 patients in the EHR match",
         1},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        ASSERT_TRUE(server->control("reset"));
        ASSERT_TRUE(server->control("settings", QVariantMap{{"page_size", c.pageSize}}));
        ASSERT_TRUE(server->seed(c.patients));
        const EMRFilingOutcome o = file(*client, record(newEntryID()), c.info);
        EXPECT_EQ(o.kind, *c.kind) << o.error.toStdString();
        EXPECT_TRUE(o.error.contains(QLatin1String(c.reason))) << o.error.toStdString();
        int searches = 0, pages = 0;
        for (const QVariant &r : server->state().value("requests").toList()) {
            const QVariantMap request = r.toMap();
            const QString url = request.value("path").toString() + request.value("query").toString();
            searches += url.endsWith("Patient/_search") && request.value("method") == "POST";
            pages += url.contains("_getpages");
            for (const char *data : {"Lima", "Berg", "1980", "1970"})
                EXPECT_FALSE(url.contains(QLatin1String(data))) << url.toStdString();
        }
        EXPECT_GE(searches, 1);
        EXPECT_GE(pages, 1) << "the second page was read";
    }
    ASSERT_TRUE(server->control("settings", QVariantMap{{"page_size", 50}}));
}

// The token answer must be a bearer token; one without a lifetime serves
// only the requests waiting for it. Discovery must offer the signed JWT
// sign-in and the key's algorithm.
TEST_F(FhirClientTest, TokenAnswersAndDiscoveryAreChecked) {
    ScriptedServer ehr;
    QByteArray tokenAnswer, configuration;
    ehr.setHandler([&](const ScriptedRequest &r) -> std::optional<ScriptedAnswer> {
        if (r.path() == "/token")
            return ScriptedAnswer{200, "application/json", tokenAnswer};
        if (r.path() == "/fhir/.well-known/smart-configuration")
            return ScriptedAnswer{200, "application/json", configuration};
        return ScriptedAnswer{404, "application/json", "{}"};
    });
    const QByteArray token = ehr.url("/token").toString().toLatin1();
    struct Case {
        const char *what;
        QByteArray token;
        QByteArray configuration; // empty: the token URL is configured
        const char *failure;      // empty: a token
        int tokenRequestsForTwoUses;
    } cases[] = {
        {"no token_type", R"({"access_token":"t","expires_in":300})", "", "not a bearer token", 2},
        {"another type", R"({"access_token":"t","token_type":"mac","expires_in":300})", "", "\"mac\"", 2},
        {"bearer in capitals, no lifetime", R"({"access_token":"t","token_type":"BEARER"})", "", "", 2},
        {"bearer with a lifetime", R"({"access_token":"t","token_type":"bearer","expires_in":3600})", "", "",
         1},
        {"discovery without private_key_jwt",
         R"({"access_token":"t","token_type":"bearer","expires_in":3600})",
         R"({"token_endpoint":")" + token +
             R"(","token_endpoint_auth_methods_supported":["client_secret_basic"]})",
         "does not offer sign-in with a signed JWT", 0},
        {"discovery without the algorithm", R"({"access_token":"t","token_type":"bearer","expires_in":3600})",
         R"({"token_endpoint":")" + token +
             R"(","token_endpoint_auth_methods_supported":["private_key_jwt"],)"
             R"("token_endpoint_auth_signing_alg_values_supported":["ES384"]})",
         "does not take RS384 signatures", 0},
        {"discovery offering both", R"({"access_token":"t","token_type":"bearer","expires_in":3600})",
         R"({"token_endpoint":")" + token +
             R"(","token_endpoint_auth_methods_supported":["private_key_jwt"],)"
             R"("token_endpoint_auth_signing_alg_values_supported":["RS384","ES384"]})",
         "", 1},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        tokenAnswer = c.token;
        configuration = c.configuration;
        QVariantMap emrData = server->emrData(c.configuration.isEmpty());
        emrData.insert("base_url", ehr.url("/fhir/").toString());
        if (c.configuration.isEmpty())
            emrData.insert("auth_url", ehr.url("/token").toString());
        const int before = int(ehr.requestsTo("/token").size());
        auto c1 = makeClient(emrData); // asks for a first token
        std::optional<QDFHIRAPIClientForExtension::Failure> failure;
        bool answered = false;
        c1->accessToken(false, [&](const QString &, const auto &f) {
            failure = f;
            answered = true;
        });
        ASSERT_TRUE(kcWaitFor([&] { return answered; }, 60000));
        if (*c.failure) {
            ASSERT_TRUE(failure.has_value());
            EXPECT_TRUE(failure->message.contains(QLatin1String(c.failure)))
                << failure->message.toStdString();
        } else {
            EXPECT_FALSE(failure.has_value()) << failure->message.toStdString();
        }
        if (!*c.failure || c.configuration.isEmpty()) {
            EXPECT_EQ(ehr.requestsTo("/token").size() - before, c.tokenRequestsForTwoUses);
        } else {
            EXPECT_EQ(ehr.requestsTo("/token").size(), before) << "no assertion sent";
        }
    }
}

// Tokens: EC keys sign ES384; an expired token is renewed once on 401; an
// EHR with SMART v1 scopes only gets them; the token URL is discovered.
TEST_F(FhirClientTest, TokensAreSignedRenewedOnceAndDiscovered) {
    QString ecPublic;
    const QString ecKey = FhirTestServer::makeKey(server->keyFolder(), "ec", &ecPublic);
    FhirTestServer ecServer;
    QFile pub(ecPublic);
    ASSERT_TRUE(ecServer.start({"--public-key", ecPublic, "--scopes", "v1"}))
        << ecServer.error().toStdString();
    ASSERT_TRUE(ecServer.seed({patient("31007", "Margaret", "Thompson", "1948-03-12")}));
    QFile key(ecKey);
    ASSERT_TRUE(key.open(QIODevice::ReadOnly));
    QVariantMap emrData = ecServer.emrData(false);
    emrData.insert("private_key", QString::fromLatin1(key.readAll()));
    emrData.insert("algorithm", "ES384");
    auto ec = makeClient(emrData);
    const EMRFilingOutcome o = file(*ec, record(newEntryID()), visit("31007"));
    ASSERT_EQ(o.kind, EMRFilingOutcome::Filed) << o.error.toStdString();
    EXPECT_EQ(ec->tokenURL(), ecServer.tokenURL()) << "discovered";
    EXPECT_TRUE(ec->requestedScopes().contains("system/DocumentReference.write"));
    EXPECT_EQ(ecServer.state().value("token_requests").toList().size(), 1) << "v1 at once, as discovered";
    // Not told (a configured token URL): v2 scopes are refused, v1 granted.
    emrData.insert("auth_url", ecServer.tokenURL());
    auto told = makeClient(emrData);
    ASSERT_EQ(file(*told, record(newEntryID()), visit("31007")).kind, EMRFilingOutcome::Filed);
    const QVariantList asked = ecServer.state().value("token_requests").toList();
    ASSERT_EQ(asked.size(), 3);
    EXPECT_EQ(asked[1].toMap().value("error"), "invalid_scope");
    EXPECT_TRUE(asked[2].toMap().value("scope").toString().contains("system/DocumentReference.write"));

    // This server offers v2 scopes, and a 401 gets one new token.
    const EMRFilingOutcome before = file(*client, record(newEntryID()), visit("31007"));
    ASSERT_EQ(before.kind, EMRFilingOutcome::Filed) << before.error.toStdString();
    EXPECT_TRUE(client->requestedScopes().contains("system/DocumentReference.cs"));
    ASSERT_TRUE(server->control("expire-tokens"));
    const int issued = server->state().value("tokens_issued").toInt();
    const EMRFilingOutcome after = file(*client, record(newEntryID()), visit("31007"));
    ASSERT_EQ(after.kind, EMRFilingOutcome::Filed) << after.error.toStdString();
    EXPECT_EQ(server->state().value("tokens_issued").toInt(), issued + 1) << "one new token after the 401";
    int unauthorised = 0;
    for (const QVariant &r : server->state().value("requests").toList())
        unauthorised += r.toMap().value("status").toInt() == 401;
    EXPECT_EQ(unauthorised, 1);

    // A second 401 in a row is final: kept, not filed, not sent again.
    ASSERT_TRUE(
        server->control("faults", QVariantMap{{"fail", 2}, {"status", 401}, {"path", "/fhir/R4/Patient"}}));
    const EMRFilingOutcome twice = file(*client, record(newEntryID()), visit("31007"));
    EXPECT_EQ(twice.kind, EMRFilingOutcome::Refused);
    EXPECT_TRUE(twice.error.contains("HTTP 401")) << twice.error.toStdString();
}

// 429 and 503 are retried (Failed); a Retry-After is honoured: while it
// lasts, attempts end without a request.
TEST_F(FhirClientTest, RetryAfterIsHonoured) {
    ASSERT_TRUE(server->control("faults", QVariantMap{{"fail", 1},
                                                      {"status", 503},
                                                      {"method", "POST"},
                                                      {"path", "DocumentReference"},
                                                      {"retry_after", 3600}}));
    const QString entry = newEntryID();
    const QVariantMap rec = record(entry);
    const EMRFilingOutcome first = file(*client, rec, visit("31007"));
    EXPECT_EQ(first.kind, EMRFilingOutcome::Failed);
    EXPECT_TRUE(first.reached) << "a 503 to the create may have stored it";
    const int requests = server->state().value("requests").toList().size();
    const EMRFilingOutcome waiting = file(*client, rec, visit("31007"), true);
    EXPECT_EQ(waiting.kind, EMRFilingOutcome::Failed);
    EXPECT_TRUE(waiting.error.contains("asked to wait")) << waiting.error.toStdString();
    EXPECT_TRUE(waiting.reached) << "the earlier attempt may still have arrived";
    EXPECT_EQ(server->state().value("requests").toList().size(), requests) << "nothing sent while waiting";

    // A fresh client (no Retry-After pending) and a 429: not stored, retried.
    auto fresh = makeClient(server->emrData());
    ASSERT_TRUE(
        server->control("faults", QVariantMap{{"fail", 1}, {"status", 429}, {"path", "DocumentReference"}}));
    const EMRFilingOutcome limited = file(*fresh, rec, visit("31007"));
    EXPECT_EQ(limited.kind, EMRFilingOutcome::Failed);
    EXPECT_FALSE(limited.reached);
    const EMRFilingOutcome filed = file(*fresh, rec, visit("31007"));
    EXPECT_EQ(filed.kind, EMRFilingOutcome::Filed) << filed.error.toStdString();
    EXPECT_EQ(server->documents().size(), 1);
}

// A redirect to another origin: neither the assertion nor the token or the
// document goes there.
TEST_F(FhirClientTest, NothingIsSentToAnotherOrigin) {
    ScriptedServer redirector;
    bool redirectToken = true;
    redirector.setHandler([&](const ScriptedRequest &r) -> std::optional<ScriptedAnswer> {
        const QByteArray target = server->origin().toString().toLatin1().chopped(1) + r.target;
        if (r.path() == "/auth/token" && !redirectToken)
            return ScriptedAnswer{200, "application/json",
                                  "{\"access_token\":\"t\",\"token_type\":\"bearer\",\"expires_in\":300}"};
        if (r.path() == "/fhir/R4/Patient/31007")
            return ScriptedAnswer{
                200, "application/fhir+json",
                "{\"resourceType\":\"Patient\",\"id\":\"31007\",\"birthDate\":\"1948-03-12\"}"};
        ScriptedAnswer a{307, "text/plain", ""};
        a.headers.append({"Location", target});
        return a;
    });
    const int tokens = requestsTo("POST", "/auth/token");
    for (const bool tokenRedirected : {true, false}) {
        SCOPED_TRACE(tokenRedirected ? "token request" : "document");
        redirectToken = tokenRedirected;
        QVariantMap emrData = server->emrData();
        emrData.insert("base_url", redirector.url("/fhir/R4/").toString());
        emrData.insert("auth_url", redirector.url("/auth/token").toString());
        auto c = makeClient(emrData);
        const EMRFilingOutcome o = file(*c, record(newEntryID()), visit("31007"));
        EXPECT_NE(o.kind, EMRFilingOutcome::Filed);
        EXPECT_EQ(requestsTo("POST", "/auth/token"), tokens);
        EXPECT_EQ(requestsTo("POST", "DocumentReference"), 0);
        EXPECT_EQ(server->documents().size(), 0);
    }
}

// The key from the file that clinic IT manages (locked), and nothing kept
// after sign-out.
TEST_F(FhirClientTest, ManagedKeyFileAndSignOut) {
    QTemporaryDir settings;
    QCoreApplication::setOrganizationName("KelvraFhirTest");
    QCoreApplication::setApplicationName("Capture");
    QSettings::setPath(QSettings::NativeFormat, QSettings::SystemScope, settings.filePath("system"));
    QSettings::setPath(QSettings::NativeFormat, QSettings::UserScope, settings.filePath("user"));
    {
        QSettings system(QSettings::NativeFormat, QSettings::SystemScope, "KelvraFhirTest", "Capture");
        system.setValue(FHIRPrivateKeyFileSettingsKey, server->privateKeyPath());
        system.setValue("locked", FHIRPrivateKeyFileSettingsKey);
    }
    QVariantMap emrData = server->emrData();
    emrData.insert("private_key", "not a key: the locked file is used");
    auto managed = makeClient(emrData);
    const EMRFilingOutcome o = file(*managed, record(newEntryID()), visit("31007"));
    EXPECT_EQ(o.kind, EMRFilingOutcome::Filed) << o.error.toStdString();
    QString error;
    EXPECT_FALSE(managed->publicJWKS(&error).value("keys").toList().isEmpty()) << error.toStdString();
    QSettings(QSettings::NativeFormat, QSettings::SystemScope, "KelvraFhirTest", "Capture").clear();
    QCoreApplication::setOrganizationName(QString());
    QCoreApplication::setApplicationName(QString());

    managed->forgetCredentials();
    EXPECT_TRUE(managed->practiceID().isEmpty());
    EXPECT_TRUE(managed->publicJWKS(&error).isEmpty());
    const int tokens = server->state().value("tokens_issued").toInt();
    const EMRFilingOutcome signedOut = file(*managed, record(newEntryID()), visit("31007"));
    EXPECT_EQ(signedOut.kind, EMRFilingOutcome::Failed);
    EXPECT_EQ(server->state().value("tokens_issued").toInt(), tokens);
}

// The registry's "fhir" is this client.
TEST_F(FhirClientTest, TheRegistryFilesThroughTheFHIRClient) {
    EMRAPIClient &registry = EMRAPIClient::sharedEMRAPIClient();
    const QVariantMap preferences{{"emrData", server->emrData()},
                                  {"kelvraKeychain", QVariantMap{{"enabledEMR", "fhir"}}}};
    registry.extensionCheckCurrentEMR(preferences.value("emrData"), preferences);
    const auto delegate = registry.delegate();
    ASSERT_EQ(delegate, QDFHIRAPIClientForExtension::sharedClient());
    delegate->initWithBaseURL(server->base());
    EXPECT_EQ(delegate->practiceID(), server->base().toString());
    std::optional<EMRFilingOutcome> outcome;
    delegate->fileDocument(record(newEntryID()), visit("31007"), "image", false,
                           [&](const EMRFilingOutcome &o) { outcome = o; });
    ASSERT_TRUE(kcWaitFor([&] { return outcome.has_value(); }, 60000));
    EXPECT_EQ(outcome->kind, EMRFilingOutcome::Filed) << outcome->error.toStdString();
    delegate->forgetCredentials();
    registry.setDelegate(nullptr);
}

} // namespace
