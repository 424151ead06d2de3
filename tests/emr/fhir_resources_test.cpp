// The FHIR values the client reads from EHR answers: names and dates of the
// patient check, Retry-After, the id of a created resource, and the texts
// shown to the user.

#include "emr/fhir_resources.h"
#include "emr/fhir_signing_key.h"

#include <QProcess>
#include <QTemporaryDir>
#include <gtest/gtest.h>

namespace {

QVariantMap named(const QVariantList &given, const QString &family, const QString &text = {}) {
    QVariantMap name{{"given", given}, {"family", family}};
    if (!text.isEmpty())
        name.insert("text", text);
    return {{"resourceType", "Patient"}, {"name", QVariantList{name}}};
}

TEST(FhirResources, APatientMatchesTheListsNameInFullOnly) {
    struct Case {
        QVariantMap patient;
        const char *listName;
        bool matches;
    } cases[] = {
        {named({"Margaret"}, "Thompson"), "Margaret Thompson", true},
        {named({"Patricia"}, "Van der Berg"), "Patricia Van der Berg", true},
        {named({"Fatima", "Zahra"}, "Benali"), "Fatima Zahra Benali", true},
        {named({"José"}, "Muñoz"), "JOSE MUNOZ", true},
        {named({"Mary-Jane"}, "Smith-Jones"), "Mary Jane Smith Jones", true},
        {named({"D'Andre"}, "Williams"), "D'Andre Williams", true},
        {named({}, "", "Siobhan O'Neill"), "Siobhan O'Neill", true},
        {named({"Maria"}, "Cruz"), "Maria De La Cruz", false},
        {named({"Maria"}, "De La Cruz"), "Maria Cruz", false},
        {named({"Margaret"}, "Thompson"), "", false},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.listName);
        EXPECT_EQ(fhirPatientHasName(c.patient, c.listName), c.matches);
    }
}

TEST(FhirResources, DatesOfBirthRetryAfterAndCreatedIds) {
    EXPECT_EQ(fhirListDateOfBirth("1948-03-12"), QDate(1948, 3, 12));
    EXPECT_EQ(fhirListDateOfBirth("03/12/1948"), QDate(1948, 3, 12));
    EXPECT_FALSE(fhirListDateOfBirth("").isValid());
    EXPECT_FALSE(fhirListDateOfBirth("1948").isValid());

    const QDateTime now(QDate(2026, 3, 2), QTime(9, 0, 0), Qt::UTC);
    EXPECT_EQ(fhirRetryAfterSeconds("120", now), 120);
    EXPECT_EQ(fhirRetryAfterSeconds("Mon, 02 Mar 2026 09:01:30 GMT", now), 90);
    EXPECT_EQ(fhirRetryAfterSeconds("Mon, 02 Mar 2026 08:00:00 GMT", now), 0);
    EXPECT_EQ(fhirRetryAfterSeconds("soon", now), std::nullopt);
    EXPECT_EQ(fhirRetryAfterSeconds("-5", now), std::nullopt);

    const QVariantMap created{{"resourceType", "DocumentReference"}, {"id", "d1"}};
    EXPECT_EQ(fhirCreatedResourceID(created, {}, "DocumentReference"), "d1");
    EXPECT_EQ(fhirCreatedResourceID(QVariant(), "https://ehr.test/R4/DocumentReference/d2/_history/1",
                                    "DocumentReference"),
              "d2");
    EXPECT_EQ(fhirCreatedResourceID(QVariant(), "DocumentReference/d3", "DocumentReference"), "d3");
    EXPECT_EQ(fhirCreatedResourceID(QVariantMap{{"resourceType", "OperationOutcome"}},
                                    "https://ehr.test/R4/Binary/b1", "DocumentReference"),
              "");
    EXPECT_EQ(fhirUploadIdentifier("6F9619FF-8B86-D011-B42D-00C04FC964FF"),
              "urn:uuid:6f9619ff-8b86-d011-b42d-00c04fc964ff");
    EXPECT_EQ(fhirUploadIdentifier("not-a-uuid"), "");
}

TEST(FhirResources, AnswerTextsForTheUser) {
    const QVariantMap outcome{
        {"resourceType", "OperationOutcome"},
        {"issue",
         QVariantList{QVariantMap{{"severity", "error"},
                                  {"code", "required"},
                                  {"details", QVariantMap{{"text", "subject is required"}}},
                                  {"expression", QVariantList{"DocumentReference.subject"}}},
                      QVariantMap{{"severity", "error"}, {"code", "invalid"}, {"diagnostics", "bad date"}}}}};
    EXPECT_EQ(fhirAnswerText(outcome), "subject is required (DocumentReference.subject); bad date");
    EXPECT_EQ(
        fhirAnswerText(QVariantMap{{"error", "invalid_client"}, {"error_description", "bad signature"}}),
        "invalid_client: bad signature");
    EXPECT_EQ(fhirAnswerText(QByteArray("<html> proxy </html>")), "<html> proxy </html>");
}

// Keys: what is refused, the default key id (the thumbprint), and the JOSE
// form of an ES384 signature. The server of the client tests verifies them.
TEST(FhirResources, SigningKeys) {
    QString error;
    EXPECT_EQ(FHIRSigningKey::fromPEM("not a key", &error), nullptr);
    EXPECT_FALSE(error.isEmpty());
    QTemporaryDir dir;
    struct Case {
        QStringList generate;
        const char *algorithm;
    } cases[] = {
        {{"genpkey", "-algorithm", "RSA", "-pkeyopt", "rsa_keygen_bits:1024"}, nullptr},
        {{"genpkey", "-algorithm", "EC", "-pkeyopt", "ec_paramgen_curve:P-256"}, nullptr},
        {{"genpkey", "-algorithm", "RSA", "-pkeyopt", "rsa_keygen_bits:2048"}, "RS384"},
        {{"genpkey", "-algorithm", "EC", "-pkeyopt", "ec_paramgen_curve:P-384"}, "ES384"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.generate.join(' ').toStdString());
        QProcess openssl;
        openssl.start("openssl", c.generate);
        ASSERT_TRUE(openssl.waitForFinished(60000));
        const auto key = FHIRSigningKey::fromPEM(openssl.readAllStandardOutput(), &error);
        if (!c.algorithm) {
            EXPECT_EQ(key, nullptr);
            continue;
        }
        ASSERT_NE(key, nullptr) << error.toStdString();
        EXPECT_EQ(key->algorithm(), c.algorithm);
        EXPECT_EQ(key->publicJWK({}).value("kid").toString(), key->thumbprint());
        const QByteArray jwt = fhirClientAssertion(
            *key, {"client", "https://ehr.test/token", "k1", QDateTime::currentDateTimeUtc()}, &error);
        EXPECT_EQ(jwt.count('.'), 2);
        if (key->algorithm() == "ES384") {
            EXPECT_EQ(QByteArray::fromBase64(jwt.mid(jwt.lastIndexOf('.') + 1), QByteArray::Base64UrlEncoding)
                          .size(),
                      96);
        }
    }
}

} // namespace
