// kc-upload-probe: the real upload queue and senders against a clinic
// service, outside the GUI, for the crash tests. It signs in as the demo user,
// sets up the EMR from the configuration, optionally accepts one capture
// (printing "enqueued <clinic record id> <EMR upload entry id>"), resumes
// what an earlier run left in the queue folder and exits 0 once the queue is
// empty (3 when a record was refused, 2 on timeout).
//
//   kc-upload-probe --service URL --queue DIR [--enqueue] [--only clinic|emr]
//                   [--attempt-timeout MS] [--wait-go] [--patient JSON]
//
// --patient gives the patient entry the capture is accepted for (JSON: name,
// dob, emr_patient_id, ...) instead of the athenahealth demo patient.
// --wait-go prints "ready" once signed in and waits for a line on standard
// input before accepting the capture.

#include "capture/documentation_upload.h"
#include "capture/upload_queue.h"
#include "capture/upload_senders.h"
#include "clinic/kelvra_api_client.h"
#include "emr/emr_api_client.h"

#include <QCommandLineParser>
#include <QDeadlineTimer>
#include <QGuiApplication>
#include <QImage>
#include <QJsonDocument>
#include <QPainter>
#include <QTimer>

#include <cstdio>
#include <iostream>
#include <string>

namespace {

bool waitFor(const std::function<bool()> &condition, int ms) {
    QDeadlineTimer deadline(ms);
    while (!condition()) {
        if (deadline.hasExpired())
            return false;
        QCoreApplication::processEvents(QEventLoop::AllEvents, 50);
    }
    return true;
}

QImage captureImage() {
    QImage image(120, 80, QImage::Format_RGB32);
    image.fill(Qt::white);
    QPainter p(&image);
    p.setPen(Qt::black);
    p.drawText(image.rect(), Qt::AlignCenter, QStringLiteral("ECG 12:04"));
    p.drawLine(0, 60, 120, 40);
    return image;
}

} // namespace

int main(int argc, char **argv) {
    QGuiApplication app(argc, argv);
    QCommandLineParser parser;
    parser.addOptions({{"service", "Clinic service URL.", "url"},
                       {"queue", "Queue folder.", "dir"},
                       {"enqueue", "Accept one capture."},
                       {"only", "Accept for one destination only.", "destination"},
                       {"attempt-timeout", "Attempt time-out in ms.", "ms", "120000"},
                       {"wait-go", "Wait for a line on standard input before accepting."},
                       {"patient", "The patient entry (JSON) to accept the capture for.", "json"}});
    parser.process(app);
    const QUrl service(parser.value("service"));
    KelvraAPIClient::setServiceURLForFirstUse(service);
    KelvraAPIClient *client = KelvraAPIClient::sharedKelvraAPIClient();

    std::atomic<bool> configured{false}, failed{false};
    client->loginKelvraWithUsername(
        QStringLiteral("demo"), QStringLiteral("capture"),
        [client, &configured](const QVariant &) {
            client->getUserConfigurationWithCallback([client, &configured](const QVariant &) {
                const QVariantMap preferences = client->userPreferences().value_or(QVariantMap());
                const QVariant emrData = preferences.value(QStringLiteral("emrData"));
                EMRAPIClient::sharedEMRAPIClient().extensionCheckCurrentEMR(emrData, preferences);
                if (auto emr = EMRAPIClient::sharedEMRAPIClient().delegate())
                    emr->initWithBaseURL(QUrl(emrData.toMap().value(QStringLiteral("base_url")).toString()));
                configured = true;
            });
        },
        [&failed](const KCError &) { failed = true; });
    if (!waitFor([&] { return configured || failed; }, 60000) || failed) {
        std::fprintf(stderr, "kc-upload-probe: sign-in failed\n");
        return 4;
    }
    const auto emr = EMRAPIClient::sharedEMRAPIClient().delegate();
    if (!emr || !waitFor([&] { return !emr->practiceID().isEmpty(); }, 30000)) {
        std::fprintf(stderr, "kc-upload-probe: no EMR configured\n");
        return 4;
    }

    DocumentationUploadQueue queue(parser.value("queue"));
    queue.setRetryPolicy(200, 1000, parser.value("attempt-timeout").toInt());
    queue.setSender(DocumentationUploadQueue::kClinic, clinicDocumentationSender());
    queue.setSender(DocumentationUploadQueue::kEMR, emrDocumentationSender());
    queue.setAccountSource([] { return kcCurrentUploadAccount(true); });
    queue.resumeStored();

    if (parser.isSet("wait-go")) {
        std::printf("ready\n");
        std::fflush(stdout);
        std::string line;
        std::getline(std::cin, line);
    }
    if (parser.isSet("enqueue")) {
        const QImage image = captureImage();
        const QVariantMap patient =
            parser.isSet("patient")
                ? QJsonDocument::fromJson(parser.value("patient").toUtf8()).toVariant().toMap()
                : QVariantMap{{QStringLiteral("name"), QStringLiteral("Probe Patient")},
                              {QStringLiteral("emr_patient_id"), QStringLiteral("31007")},
                              {QStringLiteral("interaction_id"), QString()}};
        const QVariantMap clinicRecord =
            clinicDocumentationRecord(image, patient.value("interaction_id"), QStringLiteral("probe"), "17");
        const QVariantMap emrRecord = emrDocumentationRecord(image, patient, QStringLiteral("probe"));
        const QString only = parser.value("only");
        QList<DocumentationUploadQueue::NewRecord> records;
        if (only.isEmpty() || only == QLatin1String(DocumentationUploadQueue::kClinic))
            records.append({DocumentationUploadQueue::kClinic, clinicRecord, {}});
        if (only.isEmpty() || only == QLatin1String(DocumentationUploadQueue::kEMR))
            records.append({DocumentationUploadQueue::kEMR, emrRecord, patient});
        std::printf("enqueued %s %s\n", qPrintable(clinicRecord.value("id").toString()),
                    qPrintable(emrRecord.value("Upload").toList().value(0).toMap().value("id").toString()));
        std::fflush(stdout);
        QString error;
        if (!queue.enqueueAll(records, &error)) {
            std::fprintf(stderr, "kc-upload-probe: %s\n", qPrintable(error));
            return 5;
        }
    }
    if (!waitFor([&] { return queue.pendingCount() == queue.refusedCount(); }, 180000))
        return 2;
    if (queue.refusedCount() > 0) {
        for (const auto &e : queue.entries())
            std::fprintf(stderr, "kc-upload-probe: refused: %s\n", qPrintable(e.lastError));
        return 3;
    }
    std::printf("done\n");
    return 0;
}
