// emr-file and check-connection of the real binary against the test FHIR
// server: a document filed by hand, a refusal, the connection check whose
// printed JWKS the EHR accepts as the client's key, and the check of a
// clinician's sign-in in the browser (headless Chromium as KELVRA_BROWSER).

#include "tests/support/fhir-server/fhir_test_server.h"
#include "tests/support/oidc-server/oidc_test_server.h"

#include <QImage>
#include <QJsonDocument>
#include <QProcess>
#include <QTemporaryDir>
#include <gtest/gtest.h>

namespace {

struct Outcome {
    int exitCode = -1;
    QByteArray out;
    QByteArray err;
};

Outcome run(const QStringList &args, const QByteArray &input = {}) {
    QProcess process;
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert("QT_QPA_PLATFORM", "offscreen");
    process.setProcessEnvironment(environment);
    process.start(KC_CAPTURE_BINARY, args);
    EXPECT_TRUE(process.waitForStarted(60000));
    process.write(input);
    process.closeWriteChannel();
    EXPECT_TRUE(process.waitForFinished(120000));
    return {process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1,
            process.readAllStandardOutput(), process.readAllStandardError()};
}

class FhirCli : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(server.start()) << server.error().toStdString();
        ASSERT_TRUE(server.seed({QVariantMap{
            {"resourceType", "Patient"},
            {"id", "31000"},
            {"name", QVariantList{QVariantMap{{"family", "Thompson"}, {"given", QVariantList{"Margaret"}}}}},
            {"birthDate", "1948-03-12"}}}));
        config = writeConfig("config.json", server.emrData(false));
        QImage image(30, 20, QImage::Format_RGB32);
        image.fill(Qt::blue);
        picture = dir.filePath("capture.png");
        ASSERT_TRUE(image.save(picture));
    }
    // A user configuration naming the FHIR EHR of `emrData`.
    QString writeConfig(const QString &name, const QVariantMap &emrData) {
        return write(name, QJsonDocument::fromVariant(
                               QVariantMap{{"emrData", emrData},
                                           {"kelvraKeychain", QVariantMap{{"enabledEMR", "fhir"}}}})
                               .toJson());
    }
    QString write(const QString &name, const QByteArray &bytes) {
        QFile file(dir.filePath(name));
        EXPECT_TRUE(file.open(QIODevice::WriteOnly));
        file.write(bytes);
        return file.fileName();
    }
    FhirTestServer server;
    QTemporaryDir dir;
    QString config, picture;
};

TEST_F(FhirCli, EmrFileFilesForTheCheckedPatientOnly) {
    const Outcome filed = run({"emr-file", "--config", config, "--visit", "-", picture},
                              R"({"patient": "31000", "dob": "1948-03-12", "note": "by hand"})");
    EXPECT_EQ(filed.exitCode, 0) << filed.err.constData();
    const QVariantList documents = server.documents();
    ASSERT_EQ(documents.size(), 1);
    EXPECT_TRUE(filed.out.contains(documents.first().toMap().value("id").toByteArray()))
        << filed.out.constData();
    EXPECT_EQ(documents.first().toMap().value("description"), "by hand");

    const Outcome refused = run({"emr-file", "--config", config, "--visit", "-", picture},
                                R"({"name": "Margaret Thompson", "dob": "1948-03-13"})");
    EXPECT_EQ(refused.exitCode, 1);
    EXPECT_TRUE(refused.err.contains("No patient in the EHR")) << refused.err.constData();
    EXPECT_EQ(server.documents().size(), 1);
    EXPECT_EQ(server.state().value("invalid_documents").toInt(), 0);
}

TEST_F(FhirCli, CheckConnectionReadsTheStatementGetsATokenAndPrintsTheKey) {
    const Outcome checked = run({"check-connection", "--config", config});
    EXPECT_EQ(checked.exitCode, 0) << checked.out.constData() << checked.err.constData();
    EXPECT_TRUE(checked.out.contains("FHIR version:    4.0.1")) << checked.out.constData();
    EXPECT_TRUE(checked.out.contains("conditional create yes"));
    EXPECT_TRUE(checked.out.contains("Access token:    obtained"));

    // The printed JWKS is what an EHR needs: one that knows only it accepts
    // the client.
    const QByteArray out = checked.out;
    const qsizetype from = out.indexOf("{"), to = out.lastIndexOf("}");
    ASSERT_GT(to, from);
    const QString jwks = write("jwks.json", out.mid(from, to - from + 1));
    FhirTestServer registered;
    ASSERT_TRUE(registered.start({"--jwks", jwks})) << registered.error().toStdString();
    QVariantMap emrData = server.emrData(false);
    emrData.insert("base_url", registered.base().toString());
    const QString other = writeConfig("other.json", emrData);
    const Outcome accepted = run({"check-connection", "--config", other});
    EXPECT_EQ(accepted.exitCode, 0) << accepted.out.constData();

    // Without the server's key, the check fails and says why.
    emrData.insert("private_key", QString());
    const QString keyless = writeConfig("keyless.json", emrData);
    const Outcome failed = run({"check-connection", "--config", keyless});
    EXPECT_EQ(failed.exitCode, 1);
    EXPECT_TRUE(failed.out.contains("No FHIR private key is configured")) << failed.out.constData();
}

TEST_F(FhirCli, CheckConnectionSignsTheClinicianInAndSaysWho) {
    OidcTestServer oidc;
    ASSERT_TRUE(oidc.start(server)) << oidc.error().toStdString();
    const QString standalone = writeConfig("standalone.json", OidcTestServer::emrData(server));
    qputenv("KELVRA_BROWSER", OidcTestServer::signInCommand().toUtf8());
    const Outcome checked = run({"check-connection", "--config", standalone});
    EXPECT_EQ(checked.exitCode, 0) << checked.out.constData() << checked.err.constData();
    EXPECT_TRUE(checked.out.contains("Sign-in:         standalone")) << checked.out.constData();
    EXPECT_TRUE(checked.out.contains("Signed in as:    " + server.base().toString().toUtf8() +
                                     "Practitioner/prac-lee"));
    EXPECT_TRUE(checked.out.contains("Scopes granted:  ") &&
                checked.out.contains("user/DocumentReference.cs"));
    // What the check signed in with is revoked (refresh and access token).
    EXPECT_EQ(oidc.state().value("revocations").toInt(), 2);
    qunsetenv("KELVRA_BROWSER");
}

} // namespace
