// Filing exactly once into a FHIR EHR across crashes and lost answers: the
// real upload queue (in kc-upload-probe) against the demo clinic service
// configured for FHIR and the test FHIR server, with and without its
// support of conditional create. The probe is stopped at each step of an
// upload and killed with SIGKILL, then started again and left to finish;
// afterwards the EHR must hold the capture's DocumentReference once.

#include "tests/clinic/demo_service.h"
#include "tests/support/fhir-server/fhir_test_server.h"
#include "tests/support/qt_wait.h"
#include "upload_probe.h"

#include <QJsonDocument>
#include <QProcess>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <cstdio>

namespace {

// Margaret Thompson of the demo roster, as the patient list gives her.
const QByteArray kPatient =
    R"({"name": "Margaret Thompson", "dob": "1948-03-12", "emr_patient_id": "31000", "emr_appointment_id": "",)"
    R"( "kelvraID": "880", "interaction_id": ""})";

class UploadCrashFhirTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        QTemporaryDir *dir = new QTemporaryDir;
        seedDir = dir;
        // The demo roster, as the EHR knows it.
        QProcess roster;
        roster.start(QStringLiteral(KC_DEMO_SERVICE), {"--fhir-patients"});
        ASSERT_TRUE(roster.waitForFinished(60000));
        QFile seed(dir->filePath("patients.json"));
        ASSERT_TRUE(seed.open(QIODevice::WriteOnly));
        seed.write(roster.readAllStandardOutput());
        seed.close();
        fhir = new FhirTestServer;
        ASSERT_TRUE(fhir->start({"--seed", seed.fileName()})) << fhir->error().toStdString();
        service = new DemoService;
        ASSERT_TRUE(
            service->start(QStringLiteral(KC_DEMO_SERVICE),
                           {"--emr", "fhir", "--fhir-url", fhir->base().toString(), "--fhir-client-id",
                            FhirTestServer::clientId(), "--fhir-key", fhir->privateKeyPath()}))
            << service->error().toStdString();
    }
    static void TearDownTestSuite() {
        delete service;
        delete fhir;
        delete seedDir;
        service = nullptr;
        fhir = nullptr;
        seedDir = nullptr;
    }

    std::unique_ptr<QProcess> probe(const QString &queue, const QStringList &extra,
                                    const QByteArray &stopAt = {}) {
        return kcStartUploadProbe(service->url(), queue, extra, stopAt);
    }

    // The EMR upload entry id of the "enqueued" line of standard output.
    static QString enqueuedEntry(QProcess &p, QByteArray *log) {
        QString entry;
        kcWaitFor(
            [&] {
                while (p.canReadLine()) {
                    const QByteArray line = p.readLine().trimmed();
                    if (line.startsWith("enqueued "))
                        entry = QString::fromLatin1(line.split(' ').value(2));
                }
                return !entry.isEmpty() || p.state() != QProcess::Running;
            },
            120000);
        *log += p.readAllStandardError();
        return entry;
    }

    // The EHR's DocumentReferences of the capture.
    static int documentsFor(const QString &entry) {
        int n = 0;
        for (const QVariant &d : fhir->documents())
            for (const QVariant &i : d.toMap().value("identifier").toList())
                n += i.toMap().value("value").toString() == "urn:uuid:" + entry.toLower();
        return n;
    }

    bool finish(const QString &queue, QByteArray *log) { return kcFinishUploads(service->url(), queue, log); }

    static void report(const QString &row, int documents) {
        std::printf("MATRIX %-58s EHR DocumentReferences %d\n", qPrintable(row), documents);
        std::fflush(stdout);
    }

    static inline QTemporaryDir *seedDir = nullptr;
    static inline FhirTestServer *fhir = nullptr;
    static inline DemoService *service = nullptr;
};

TEST_F(UploadCrashFhirTest, KilledAtEveryStepTheDocumentIsFiledOnce) {
    for (const bool conditional : {true, false}) {
        ASSERT_TRUE(fhir->control("settings", QVariantMap{{"conditional_create", conditional}}));
        for (const char *step : {"before-send", "answer-received", "filed-before-remove"}) {
            const QString row = QStringLiteral("kill -9 at %1, conditional create %2")
                                    .arg(QLatin1String(step), conditional ? "on" : "off");
            SCOPED_TRACE(row.toStdString());
            QTemporaryDir queue;
            QByteArray log;
            auto first = probe(queue.path(), {"--enqueue", "--only", "emr", "--patient", kPatient},
                               QByteArray(step) + ":emr");
            const QString entry = enqueuedEntry(*first, &log);
            ASSERT_FALSE(entry.isEmpty()) << log.toStdString();
            ASSERT_TRUE(kcKillAtStop(*first, step, &log));

            ASSERT_TRUE(finish(queue.path(), &log)) << log.toStdString();
            const int documents = documentsFor(entry);
            report(row, documents);
            EXPECT_EQ(documents, 1) << "the EHR holds the capture exactly once";
        }
    }
    EXPECT_EQ(fhir->state().value("invalid_documents").toInt(), 0);
}

// The EHR stores the document but its answer is lost (a 500 after the
// create): the next attempt finds the document and files nothing more.
TEST_F(UploadCrashFhirTest, ALostAnswerFilesTheDocumentOnce) {
    for (const bool conditional : {true, false}) {
        const QString row = QStringLiteral("answer lost after the create, conditional create %1")
                                .arg(conditional ? "on" : "off");
        SCOPED_TRACE(row.toStdString());
        ASSERT_TRUE(fhir->control("settings", QVariantMap{{"conditional_create", conditional}}));
        ASSERT_TRUE(fhir->control("faults", QVariantMap{{"fail", 1},
                                                        {"status", 500},
                                                        {"method", "POST"},
                                                        {"path", "DocumentReference"},
                                                        {"after_handling", true}}));
        QTemporaryDir queue;
        QByteArray log;
        auto p = probe(queue.path(), {"--enqueue", "--only", "emr", "--patient", kPatient});
        const QString entry = enqueuedEntry(*p, &log);
        ASSERT_FALSE(entry.isEmpty()) << log.toStdString();
        ASSERT_TRUE(p->waitForFinished(240000));
        log += p->readAllStandardError();
        EXPECT_EQ(p->exitCode(), 0) << log.toStdString();
        const int documents = documentsFor(entry);
        report(row, documents);
        EXPECT_EQ(documents, 1);
    }
}

} // namespace
