// The documentation records of an accepted capture and the upload queue.
#include "capture/documentation_upload.h"
#include "capture/upload_queue.h"

#include "tests/support/qt_wait.h"

#include <QBuffer>
#include <QDir>
#include <QImageReader>
#include <QRegularExpression>
#include <QTemporaryDir>

#include <gtest/gtest.h>

namespace {

QImage sample() {
    QImage image(40, 30, QImage::Format_ARGB32_Premultiplied);
    image.fill(QColor(10, 120, 200));
    return image;
}

QByteArray formatOf(const QString &base64) {
    QByteArray bytes = QByteArray::fromBase64(base64.toLatin1());
    QBuffer buffer(&bytes);
    buffer.open(QIODevice::ReadOnly);
    return QImageReader::imageFormat(&buffer);
}

const QRegularExpression
    kUUID(QStringLiteral("^[0-9A-F]{8}-[0-9A-F]{4}-[0-9A-F]{4}-[0-9A-F]{4}-[0-9A-F]{12}$"));

TEST(DocumentationRecords, ClinicRecordCarriesPngUserAndNoteAsTyped) {
    const QVariantMap record = clinicDocumentationRecord(sample(), QStringLiteral("77"),
                                                         KCOptionalImageCaption, QStringLiteral("12"));
    EXPECT_EQ(record.value("encounter_note").toString(), KCOptionalImageCaption);
    EXPECT_EQ(record.value("interaction_id").toString(), "77");
    EXPECT_TRUE(kUUID.match(record.value("id").toString()).hasMatch());
    const QVariantList uploads = record.value("Upload").toList();
    ASSERT_EQ(uploads.size(), 1);
    const QVariantMap upload = uploads.first().toMap();
    EXPECT_EQ(upload.keys(), (QStringList{"content", "file_type", "id", "user_id"}));
    EXPECT_EQ(upload.value("file_type").toString(), "image/png");
    EXPECT_EQ(upload.value("user_id").toString(), "12");
    EXPECT_TRUE(kUUID.match(upload.value("id").toString()).hasMatch());
    EXPECT_NE(upload.value("id"), record.value("id"));
    EXPECT_FALSE(upload.value("content").toString().contains('\n'));
    EXPECT_EQ(formatOf(upload.value("content").toString()), "png");
    const QImage decoded =
        QImage::fromData(QByteArray::fromBase64(upload.value("content").toString().toLatin1()));
    EXPECT_EQ(decoded.size(), QSize(40, 30));
    EXPECT_EQ(decoded.pixel(3, 3), qRgb(10, 120, 200));

    const QVariantMap bare = clinicDocumentationRecord(sample(), QVariant(), QString(""), QVariant());
    EXPECT_FALSE(bare.contains("interaction_id"));
    EXPECT_EQ(bare.value("encounter_note").toString(), "");
    EXPECT_FALSE(bare.value("Upload").toList().first().toMap().contains("user_id"));
}

TEST(DocumentationRecords, EmrRecordCarriesTiffFileNameAndFilteredNote) {
    const QVariantMap patient{{"name", "Ann Smith"},
                              {"interaction_id", "5"},
                              {"ClinicPatientDeviceAssignment", QVariantMap{{"interaction_id", "9"}}}};
    QVariantMap record = emrDocumentationRecord(sample(), patient, KCOptionalImageCaption);
    EXPECT_EQ(record.value("encounter_note").toString(), "");
    EXPECT_EQ(record.value("interaction_id").toString(), "9");
    const QVariantMap upload = record.value("Upload").toList().first().toMap();
    EXPECT_EQ(upload.keys(), (QStringList{"content", "file_name", "file_type", "id"}));
    EXPECT_EQ(upload.value("file_type").toString(), "image/png");
    EXPECT_EQ(formatOf(upload.value("content").toString()), "tiff");
    const QString fileName = upload.value("file_name").toString();
    ASSERT_TRUE(fileName.startsWith("macOSCapture_"));
    EXPECT_TRUE(kUUID.match(fileName.mid(13)).hasMatch());
    EXPECT_NE(fileName.mid(13), upload.value("id").toString());

    record = emrDocumentationRecord(sample(), patient, QString(""));
    EXPECT_EQ(record.value("encounter_note").toString(), "");
    record = emrDocumentationRecord(sample(), patient, QStringLiteral("left forearm"));
    EXPECT_EQ(record.value("encounter_note").toString(), "left forearm");
    // The patient entries of today's list have no nested assignment.
    record = emrDocumentationRecord(sample(), QVariantMap{{"interaction_id", "5"}}, QString());
    EXPECT_FALSE(record.contains("interaction_id"));
}

TEST(DocumentationRecords, EveryRecordGetsIdsOfItsOwn) {
    QSet<QString> ids;
    for (int i = 0; i < 2; ++i) {
        for (const QVariantMap &r :
             {clinicDocumentationRecord(sample(), "1", "", "2"), emrDocumentationRecord(sample(), {}, "")}) {
            ids.insert(r.value("id").toString());
            const QVariantMap upload = r.value("Upload").toList().first().toMap();
            ids.insert(upload.value("id").toString());
            if (upload.contains("file_name"))
                ids.insert(upload.value("file_name").toString().mid(13));
        }
    }
    EXPECT_EQ(ids.size(), 10);
}

struct ScriptedSender {
    QStringList answers; // one per attempt; "" is success
    QList<QVariantMap> sent;
    DocumentationUploadQueue::Sender sender() {
        return [this](const DocumentationUploadQueue::Entry &entry, DocumentationUploadQueue::Done done) {
            sent.append(entry.record);
            const QString answer = answers.isEmpty() ? QString() : answers.takeFirst();
            if (answer == "silence")
                return;
            done(answer);
        };
    }
};

TEST(UploadQueue, FailedUploadsAreRetriedWithTheSameRecordUntilAcknowledged) {
    QTemporaryDir dir;
    DocumentationUploadQueue queue(dir.path());
    queue.setRetryPolicy(20, 100, 60000);
    ScriptedSender clinic{{"HTTP 500", "HTTP 503", ""}, {}};
    queue.setSender(DocumentationUploadQueue::kClinic, clinic.sender());
    QList<QPair<int, int>> counts;
    QObject::connect(&queue, &DocumentationUploadQueue::pendingChanged, [&](int pending, int failed) {
        counts.append({pending, failed});
    });
    int failures = 0, successes = 0;
    QObject::connect(&queue, &DocumentationUploadQueue::uploadFailed, [&] { ++failures; });
    QObject::connect(&queue, &DocumentationUploadQueue::uploadSucceeded, [&] { ++successes; });
    const QVariantMap record = clinicDocumentationRecord(sample(), "7", "note", "3");
    ASSERT_TRUE(queue.enqueue(DocumentationUploadQueue::kClinic, record));
    EXPECT_EQ(queue.pendingCount(), 1);
    EXPECT_EQ(QDir(dir.path()).entryList(QDir::Files).size(), 1) << "on disk before the first answer";
    ASSERT_TRUE(kcWaitFor([&] { return successes == 1; }, 20000));
    EXPECT_EQ(failures, 2);
    ASSERT_EQ(clinic.sent.size(), 3);
    for (const QVariantMap &sent : clinic.sent)
        EXPECT_EQ(sent, record) << "same record, same ids";
    EXPECT_EQ(queue.pendingCount(), 0);
    EXPECT_TRUE(QDir(dir.path()).entryList(QDir::Files).isEmpty());
    EXPECT_TRUE(counts.contains(qMakePair(1, 1))) << "the failure was visible as pending and failed";
    EXPECT_EQ(counts.last(), qMakePair(0, 0));
    kcSpin(200);
    EXPECT_EQ(clinic.sent.size(), 3) << "nothing more once acknowledged";
}

TEST(UploadQueue, RecordsSurviveTheProcessAndAnUnansweredAttemptCountsAsFailed) {
    QTemporaryDir dir;
    const QVariantMap record = emrDocumentationRecord(sample(), {}, "x");
    {
        DocumentationUploadQueue first(dir.path());
        first.setRetryPolicy(60000, 60000, 60000);
        ScriptedSender silent{{"silence"}, {}};
        first.setSender(DocumentationUploadQueue::kEMR, silent.sender());
        ASSERT_TRUE(first.enqueue(DocumentationUploadQueue::kEMR, record, {{"emr_patient_id", "1"}}));
        EXPECT_FALSE(first.enqueue(DocumentationUploadQueue::kEMR, record)) << "the same record twice";
    }
    DocumentationUploadQueue second(dir.path());
    second.setRetryPolicy(20, 40, 100);
    ScriptedSender later{{"silence", ""}, {}};
    second.setSender(DocumentationUploadQueue::kEMR, later.sender());
    second.resumeStored();
    EXPECT_EQ(second.pendingCount(), 1);
    ASSERT_TRUE(kcWaitFor([&] { return second.pendingCount() == 0; }, 20000));
    ASSERT_EQ(later.sent.size(), 2);
    EXPECT_EQ(later.sent.last(), record);
}

TEST(UploadQueue, WithoutASenderTheRecordWaits) {
    QTemporaryDir dir;
    DocumentationUploadQueue queue(dir.path());
    queue.setRetryPolicy(10, 20, 1000);
    ASSERT_TRUE(queue.enqueue(DocumentationUploadQueue::kEMR, emrDocumentationRecord(sample(), {}, "")));
    kcSpin(100);
    EXPECT_EQ(queue.pendingCount(), 1);
    EXPECT_EQ(queue.failedCount(), 1);
    ScriptedSender now{{""}, {}};
    queue.setSender(DocumentationUploadQueue::kEMR, now.sender());
    EXPECT_TRUE(kcWaitFor([&] { return queue.pendingCount() == 0; }, 5000));
}

// After sign-out nothing is sent: records wait, stored, for the next
// sign-in. The shell pauses the queue by name (setPaused), as here.
TEST(UploadQueue, PausedQueueSendsNothingUntilLetGo) {
    QTemporaryDir dir;
    DocumentationUploadQueue queue(dir.path());
    queue.setRetryPolicy(10, 20, 1000);
    ScriptedSender clinic{{"HTTP 500", ""}, {}};
    queue.setSender(DocumentationUploadQueue::kClinic, clinic.sender());
    ASSERT_TRUE(
        queue.enqueue(DocumentationUploadQueue::kClinic, clinicDocumentationRecord(sample(), "7", "a", "3")));
    ASSERT_TRUE(kcWaitFor([&] { return clinic.sent.size() == 1; }, 5000));
    ASSERT_TRUE(QMetaObject::invokeMethod(&queue, "setPaused", Q_ARG(bool, true)));
    EXPECT_TRUE(queue.isPaused());
    ASSERT_TRUE(
        queue.enqueue(DocumentationUploadQueue::kClinic, clinicDocumentationRecord(sample(), "7", "b", "3")));
    kcSpin(300); // the retry of the first record falls due meanwhile
    EXPECT_EQ(clinic.sent.size(), 1);
    EXPECT_EQ(queue.pendingCount(), 2);
    EXPECT_EQ(QDir(dir.path()).entryList(QDir::Files).size(), 2) << "kept on disk";
    ASSERT_TRUE(QMetaObject::invokeMethod(&queue, "setPaused", Q_ARG(bool, false)));
    EXPECT_TRUE(kcWaitFor([&] { return queue.pendingCount() == 0; }, 5000));
    EXPECT_EQ(clinic.sent.size(), 3);
}

} // namespace
