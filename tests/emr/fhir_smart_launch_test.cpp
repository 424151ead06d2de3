// The clinician's own EHR sign-in (SMART App Launch, standalone) against a
// real authorization server (oidc-provider, tests/support/oidc-server) in
// front of the test FHIR server, signed in on its page by headless
// Chromium, with the refresh token in a throw-away gnome-keyring: the
// document filed with the clinician as author and the clinic as custodian,
// an answer of another sign-in refused, a sign-in revoked mid-day, sign-out;
// and the id token checks on their own.

#include "emr/fhir_api_client.h"
#include "emr/fhir_id_token.h"
#include "emr/fhir_signing_key.h"
#include "platform/core/notification_center.h"
#include "platform/secretstore/secret_service_store.h"
#include "tests/support/oidc-server/oidc_test_server.h"
#include "tests/support/qt_wait.h"

#include <QBuffer>
#include <QImage>
#include <QJsonObject>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QUrlQuery>
#include <gtest/gtest.h>

namespace {

QVariantMap record(const QString &entryID) {
    QImage image(40, 30, QImage::Format_RGB32);
    image.fill(Qt::white);
    QByteArray bytes;
    QBuffer buffer(&bytes);
    buffer.open(QIODevice::WriteOnly);
    image.save(&buffer, "PNG");
    return {{"encounter_note", "rash, left arm"},
            {"id", QUuid::createUuid().toString(QUuid::WithoutBraces)},
            {"Upload",
             QVariantList{QVariantMap{{"id", entryID}, {"content", QString::fromLatin1(bytes.toBase64())}}}}};
}

QVariantMap visit() {
    return {{"name", "Margaret Thompson"},
            {"dob", "1948-03-12"},
            {"emr_patient_id", "31007"},
            {"emr_appointment_id", ""}};
}

QString newEntryID() {
    return QUuid::createUuid().toString(QUuid::WithoutBraces);
}

// ---- the id token on its own ----

QByteArray signedToken(const FHIRSigningKey &key, const QVariantMap &header, const QVariantMap &claims) {
    const QByteArray input =
        fhirBase64URL(QJsonDocument(QJsonObject::fromVariantMap(header)).toJson(QJsonDocument::Compact)) +
        '.' +
        fhirBase64URL(QJsonDocument(QJsonObject::fromVariantMap(claims)).toJson(QJsonDocument::Compact));
    return input + '.' + fhirBase64URL(key.sign(input));
}

TEST(FhirIdToken, OnlyAGenuineTokenOfThisSignInIsBelieved) {
    QTemporaryDir dir;
    QString problem;
    auto readKey = [&](const QString &kind) {
        QFile f(FhirTestServer::makeKey(dir.path(), kind));
        f.open(QIODevice::ReadOnly);
        return FHIRSigningKey::fromPEM(f.readAll(), &problem);
    };
    const auto key = readKey("rsa");
    const auto ecKey = readKey("ec");
    const auto otherKey = readKey("rsa");
    ASSERT_TRUE(key && ecKey && otherKey) << problem.toStdString();
    const QVariantMap jwks{{"keys", QVariantList{key->publicJWK("k1"), ecKey->publicJWK("k2")}}};
    const QDateTime now = QDateTime::currentDateTimeUtc();
    const qint64 t = now.toSecsSinceEpoch();
    const QVariantMap good{{"iss", "https://ehr.test"},
                           {"aud", "app"},
                           {"sub", "u1"},
                           {"nonce", "n-1"},
                           {"iat", t},
                           {"exp", t + 300},
                           {"fhirUser", "Practitioner/p1"}};
    auto with = [&](const QString &k, const QVariant &v) {
        QVariantMap c = good;
        c.insert(k, v);
        return c;
    };
    const QVariantMap rs{{"alg", "RS384"}, {"kid", "k1"}};
    struct Case {
        const char *name;
        QByteArray token;
        const char *why; // empty: believed
    };
    QVariantMap noNonce = good;
    noNonce.remove("nonce");
    QVariantMap twoAudiences = with("aud", QVariantList{"app", "other"});
    twoAudiences.insert("azp", "app");
    // Another clinician's name over the genuine signature.
    QList<QByteArray> parts = signedToken(*key, rs, good).split('.');
    parts[1] = fhirBase64URL(QJsonDocument(QJsonObject::fromVariantMap(with("fhirUser", "Practitioner/p2")))
                                 .toJson(QJsonDocument::Compact));
    const QByteArray tampered = parts.join('.');
    const QList<Case> cases{
        {"genuine RS384", signedToken(*key, rs, good), ""},
        {"genuine ES384", signedToken(*ecKey, {{"alg", "ES384"}, {"kid", "k2"}}, good), ""},
        {"audience list with azp", signedToken(*key, rs, twoAudiences), ""},
        {"audience list without azp", signedToken(*key, rs, with("aud", QVariantList{"app", "other"})),
         "another client"},
        {"claims changed after signing", tampered, "signature"},
        {"signed by a key the server does not publish", signedToken(*otherKey, rs, good), "signature"},
        {"unsigned (alg none)", signedToken(*key, {{"alg", "none"}}, good), "algorithm"},
        {"symmetric algorithm", signedToken(*key, {{"alg", "HS256"}, {"kid", "k1"}}, good), "algorithm"},
        {"another issuer", signedToken(*key, rs, with("iss", "https://evil.test")), "issued by"},
        {"another client", signedToken(*key, rs, with("aud", "other-app")), "another client"},
        {"expired", signedToken(*key, rs, with("exp", t - 600)), "expired"},
        {"issued in the future", signedToken(*key, rs, with("iat", t + 3600)), "future"},
        {"another sign-in's nonce", signedToken(*key, rs, with("nonce", "n-2")), "nonce"},
        {"no nonce", signedToken(*key, rs, noNonce), "nonce"},
        {"not a JWT", "abc.def", "not a signed JWT"},
    };
    for (const Case &c : cases) {
        QString why;
        const auto claims = fhirVerifiedIDToken(c.token, jwks, {"https://ehr.test", "app", "n-1", now}, &why);
        if (!*c.why) {
            EXPECT_TRUE(claims.has_value()) << c.name << ": " << why.toStdString();
            EXPECT_EQ(claims.value_or(QVariantMap()).value("fhirUser"), "Practitioner/p1") << c.name;
        } else {
            EXPECT_FALSE(claims.has_value()) << c.name;
            EXPECT_TRUE(why.contains(QLatin1String(c.why))) << c.name << ": " << why.toStdString();
        }
    }
}

// ---- against the servers ----

class FhirSmartLaunchTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        fhir = new FhirTestServer;
        ASSERT_TRUE(fhir->start()) << fhir->error().toStdString();
        oidc = new OidcTestServer;
        ASSERT_TRUE(oidc->start(*fhir)) << oidc->error().toStdString();
        ASSERT_TRUE(fhir->seed({QVariantMap{
            {"resourceType", "Patient"},
            {"id", "31007"},
            {"name", QVariantList{QVariantMap{{"family", "Thompson"}, {"given", QVariantList{"Margaret"}}}}},
            {"birthDate", "1948-03-12"},
            {"managingOrganization", QVariantMap{{"reference", "Organization/org-other"}}}}}));
        QDFHIRAPIClientForExtension::setClinicUserSource([] { return QStringLiteral("demo"); });
    }
    static void TearDownTestSuite() {
        delete oidc;
        delete fhir;
    }
    void SetUp() override {
        keyring = std::make_shared<KCSecretServiceStore>();
        keyring->remove({FHIRSignInKeyringService, std::nullopt, std::nullopt});
        browser = std::make_shared<ChromiumBrowser>();
        client = makeClient(OidcTestServer::emrData(*fhir));
    }

    std::shared_ptr<QDFHIRAPIClientForExtension> makeClient(const QVariantMap &emrData) {
        auto c = std::make_shared<QDFHIRAPIClientForExtension>();
        c->setSignInServices(browser, keyring);
        c->setEmrData(emrData);
        c->setKelvraKeychain({{"enabledEMR", "fhir"}});
        c->initWithBaseURL(QUrl(emrData.value("base_url").toString()));
        return c;
    }

    QString signIn(QDFHIRAPIClientForExtension &c, qint64 *ms = nullptr) {
        std::optional<QString> problem;
        QElapsedTimer timer;
        timer.start();
        c.signInToEHR([&](const QString &p) { problem = p; });
        EXPECT_TRUE(kcWaitFor([&] { return problem.has_value(); }, 120000));
        if (ms)
            *ms = timer.elapsed();
        return problem.value_or(QStringLiteral("no answer"));
    }

    static EMRFilingOutcome file(QDFHIRAPIClientForExtension &c, const QVariantMap &rec) {
        std::optional<EMRFilingOutcome> outcome;
        c.fileDocument(rec, visit(), "image", false, [&](const EMRFilingOutcome &o) { outcome = o; });
        EXPECT_TRUE(kcWaitFor([&] { return outcome.has_value(); }, 60000));
        return outcome.value_or(EMRFilingOutcome{});
    }

    bool kept() const {
        QList<KCSecretItem> items;
        return keyring->list({FHIRSignInKeyringService, std::nullopt, std::nullopt}, &items).ok() &&
               !items.isEmpty();
    }

    static inline FhirTestServer *fhir = nullptr;
    static inline OidcTestServer *oidc = nullptr;
    std::shared_ptr<KCSecretServiceStore> keyring;
    std::shared_ptr<ChromiumBrowser> browser;
    std::shared_ptr<QDFHIRAPIClientForExtension> client;
};

TEST_F(FhirSmartLaunchTest, TheSignedInClinicianAuthorsAValidDocumentKeptByTheClinic) {
    // Nothing kept yet: filing waits for the sign-in, without reaching the EHR.
    int asked = 0;
    const auto token = NotificationCenter::defaultCenter().addObserver(
        KCEMRSignInNeededNotification, DispatchQueue::main(), [&](const Notification &) { ++asked; });
    client->updateAuthStatus();
    const EMRFilingOutcome waiting = file(*client, record(newEntryID()));
    EXPECT_EQ(waiting.kind, EMRFilingOutcome::Failed);
    EXPECT_FALSE(waiting.reached);
    EXPECT_TRUE(client->ehrSignInNeeded());
    EXPECT_TRUE(kcWaitFor([&] { return asked == 1; }, 5000));
    NotificationCenter::defaultCenter().removeObserver(token);

    qint64 ms = 0;
    ASSERT_EQ(signIn(*client, &ms), "") << browser->lastOutput.toStdString();
    std::printf("[ measure  ] EHR sign-in, from opening the browser to the access token: %lld ms\n",
                static_cast<long long>(ms));
    EXPECT_FALSE(client->ehrSignInNeeded());
    EXPECT_EQ(client->signedInUser(), fhir->base().toString() + OidcTestServer::practitioner());
    EXPECT_TRUE(client->grantedScopes().contains("user/DocumentReference.cs"))
        << client->grantedScopes().toStdString();
    EXPECT_TRUE(kept());

    // What the browser was sent to: the EHR's page with PKCE, state, nonce,
    // aud and a loopback redirect.
    ASSERT_EQ(browser->opened.size(), 1);
    const QUrlQuery query(browser->opened.first());
    EXPECT_EQ(query.queryItemValue("code_challenge_method"), "S256");
    EXPECT_EQ(query.queryItemValue("code_challenge").size(), 43);
    EXPECT_EQ(query.queryItemValue("aud", QUrl::FullyDecoded), fhir->base().toString());
    EXPECT_FALSE(query.queryItemValue("state").isEmpty());
    EXPECT_FALSE(query.queryItemValue("nonce").isEmpty());
    EXPECT_TRUE(QUrl(query.queryItemValue("redirect_uri", QUrl::FullyDecoded))
                    .toString()
                    .startsWith("http://127.0.0.1:"));

    const EMRFilingOutcome filed = file(*client, record(newEntryID()));
    ASSERT_EQ(filed.kind, EMRFilingOutcome::Filed) << filed.error.toStdString();
    QVariantMap d;
    for (const QVariant &v : fhir->documents())
        if (v.toMap().value("id") == filed.documentID)
            d = v.toMap();
    // US Core DocumentReference: the mandatory and must-support elements.
    EXPECT_EQ(d.value("author").toList().value(0).toMap().value("reference"), OidcTestServer::practitioner());
    EXPECT_EQ(d.value("custodian").toMap().value("reference"), OidcTestServer::organization());
    EXPECT_EQ(d.value("status"), "current");
    EXPECT_FALSE(d.value("identifier").toList().isEmpty());
    EXPECT_FALSE(d.value("type").toMap().value("coding").toList().isEmpty());
    EXPECT_FALSE(d.value("category").toList().isEmpty());
    EXPECT_EQ(d.value("subject").toMap().value("reference"), "Patient/31007");
    EXPECT_FALSE(d.value("date").toString().isEmpty());
    const QVariantMap content = d.value("content").toList().value(0).toMap();
    EXPECT_EQ(content.value("attachment").toMap().value("contentType"), "application/pdf");
    EXPECT_FALSE(content.value("attachment").toMap().value("data").toString().isEmpty());
    EXPECT_FALSE(content.value("format").toMap().value("code").toString().isEmpty());
    EXPECT_EQ(fhir->state().value("invalid_documents").toInt(), 0);

    // Without a configured organization the Patient's own is the custodian.
    QVariantMap noOrganization = OidcTestServer::emrData(*fhir);
    noOrganization.remove("organization");
    auto second = makeClient(noOrganization);
    second->updateAuthStatus(); // renews with the kept sign-in, no browser
    const EMRFilingOutcome again = file(*second, record(newEntryID()));
    ASSERT_EQ(again.kind, EMRFilingOutcome::Filed) << again.error.toStdString();
    EXPECT_EQ(browser->opened.size(), 1);
    for (const QVariant &v : fhir->documents()) {
        if (v.toMap().value("id") == again.documentID) {
            EXPECT_EQ(v.toMap().value("custodian").toMap().value("reference"), "Organization/org-other");
        }
    }
}

TEST_F(FhirSmartLaunchTest, ACodeExchangedWithoutAnAnswerNeedsANewSignIn) {
    // The EHR redeems the code, then the connection drops before its
    // answer: the code is used up, nothing is kept, and the next sign-in
    // works.
    ASSERT_TRUE(oidc->control("faults", QVariantMap{{"drop_after_handling", "/token"}, {"count", 1}}));
    const QString problem = signIn(*client);
    EXPECT_TRUE(problem.startsWith("The EHR did not complete the sign-in")) << problem.toStdString();
    EXPECT_FALSE(kept());
    EXPECT_TRUE(client->signedInUser().isEmpty());
    EXPECT_EQ(signIn(*client), "");
    EXPECT_TRUE(kept());
}

TEST_F(FhirSmartLaunchTest, AnAnswerOfAnotherSignInIsRefused) {
    // Another page sends the browser to our loopback address with a code
    // and a state of its own.
    QNetworkAccessManager network;
    browser->instead = [&](const QUrl &page) {
        QUrl callback(QUrlQuery(page).queryItemValue("redirect_uri", QUrl::FullyDecoded));
        callback.setQuery(QStringLiteral("code=forged&state=not-this-one"));
        network.get(QNetworkRequest(callback));
    };
    const QString problem = signIn(*client);
    EXPECT_TRUE(problem.contains("state differs")) << problem.toStdString();
    EXPECT_FALSE(kept());
    EXPECT_TRUE(client->signedInUser().isEmpty());
}

TEST_F(FhirSmartLaunchTest, ARevokedSignInHoldsCapturesUntilTheClinicianSignsInAgain) {
    ASSERT_EQ(signIn(*client), "");
    const QString entry = newEntryID();
    ASSERT_EQ(file(*client, record(newEntryID())).kind, EMRFilingOutcome::Filed);
    const int before = fhir->documents().size();

    // Mid-day the EHR revokes every token of the sign-in.
    ASSERT_TRUE(oidc->control("revoke-all"));
    int asked = 0;
    const auto token = NotificationCenter::defaultCenter().addObserver(
        KCEMRSignInNeededNotification, DispatchQueue::main(), [&](const Notification &) { ++asked; });
    const QVariantMap rec = record(entry);
    const EMRFilingOutcome held = file(*client, rec);
    EXPECT_EQ(held.kind, EMRFilingOutcome::Failed) << held.error.toStdString();
    EXPECT_FALSE(held.reached);
    EXPECT_TRUE(held.error.contains("Sign in to the EHR again")) << held.error.toStdString();
    EXPECT_TRUE(kcWaitFor([&] { return asked == 1; }, 5000));
    EXPECT_TRUE(client->ehrSignInNeeded());
    EXPECT_TRUE(kcWaitFor([&] { return !kept(); }, 10000)); // the refused refresh token is forgotten
    // Tried again while waiting: still held, nothing sent to the EHR.
    EXPECT_EQ(file(*client, rec).kind, EMRFilingOutcome::Failed);
    NotificationCenter::defaultCenter().removeObserver(token);

    ASSERT_EQ(signIn(*client), "");
    const EMRFilingOutcome filed = file(*client, rec);
    ASSERT_EQ(filed.kind, EMRFilingOutcome::Filed) << filed.error.toStdString();
    EXPECT_EQ(fhir->documents().size(), before + 1);
}

TEST_F(FhirSmartLaunchTest, SignOutRevokesAndForgetsTheSignIn) {
    ASSERT_EQ(signIn(*client), "");
    QByteArray secret;
    ASSERT_TRUE(keyring->find({FHIRSignInKeyringService, std::nullopt, std::nullopt}, &secret).ok());
    const QString refreshToken = QJsonDocument::fromJson(secret).object().value("refresh_token").toString();
    ASSERT_FALSE(refreshToken.isEmpty());
    const int revocations = oidc->state().value("revocations").toInt();
    client->forgetCredentials();
    EXPECT_TRUE(kcWaitFor(
        [&] { return !kept() && oidc->state().value("revocations").toInt() >= revocations + 2; }, 20000));
    EXPECT_TRUE(client->signedInUser().isEmpty());
    // The EHR no longer takes the refresh token.
    QNetworkAccessManager network;
    QNetworkRequest request(oidc->issuer().resolved(QUrl("token")));
    request.setHeader(QNetworkRequest::ContentTypeHeader, "application/x-www-form-urlencoded");
    QUrlQuery form{{"grant_type", "refresh_token"}, {"client_id", FhirTestServer::clientId()}};
    form.addQueryItem("refresh_token", QString::fromLatin1(QUrl::toPercentEncoding(refreshToken)));
    QNetworkReply *reply = network.post(request, form.toString(QUrl::FullyEncoded).toLatin1());
    ASSERT_TRUE(kcWaitFor([&] { return reply->isFinished(); }, 20000));
    EXPECT_EQ(reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt(), 400);
    reply->deleteLater();
}

} // namespace
