// The documentation records of an accepted capture and the upload queue.
#include "capture/documentation_upload.h"
#include "capture/upload_queue.h"

#include "tests/support/qt_wait.h"

#include <QBuffer>
#include <QDir>
#include <QImageReader>
#include <QJsonDocument>
#include <QJsonObject>
#include <QRegularExpression>
#include <QTemporaryDir>

#include <csignal>
#include <sys/resource.h>

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

using Outcome = DocumentationUploadQueue::Outcome;

// Answers each attempt from a script: "" files, "silence" never answers,
// "refuse:<text>" refuses for good, "lost:<text>" fails without reaching the
// service, anything else fails after reaching it.
struct ScriptedSender {
    QStringList answers;
    QList<QVariantMap> sent;
    QList<bool> lookedFirst; // the entry's mayHaveReached per attempt
    int cancels = 0;
    DocumentationUploadQueue::Sender sender() {
        return [this](const DocumentationUploadQueue::Entry &entry,
                      DocumentationUploadQueue::Done done) -> DocumentationUploadQueue::Cancel {
            sent.append(entry.record);
            lookedFirst.append(entry.mayHaveReached);
            const QString answer = answers.isEmpty() ? QString() : answers.takeFirst();
            if (answer == "silence")
                return [this] { ++cancels; };
            if (answer.isEmpty())
                done(Outcome::filed());
            else if (answer.startsWith("refuse:"))
                done(Outcome::refusedFor(answer.mid(7)));
            else if (answer.startsWith("lost:"))
                done(Outcome::failed(answer.mid(5), false));
            else
                done(Outcome::failed(answer));
            return {};
        };
    }
};

QJsonObject storedFile(const QString &dir) {
    const QStringList files = QDir(dir).entryList({"*.json"}, QDir::Files);
    if (files.size() != 1)
        return {};
    QFile file(dir + "/" + files.first());
    file.open(QIODevice::ReadOnly);
    return QJsonDocument::fromJson(file.readAll()).object();
}

TEST(DocumentationRecords, AnEntryWithoutAnInteractionIdSendsNoEmptyOne) {
    // Today's patient entries give a missing interaction id as "".
    const QVariantMap record = clinicDocumentationRecord(sample(), QString(""), "n", QString(""));
    EXPECT_FALSE(record.contains("interaction_id"));
    EXPECT_FALSE(record.value("Upload").toList().first().toMap().contains("user_id"));
    const QVariantMap emr = emrDocumentationRecord(
        sample(), {{"ClinicPatientDeviceAssignment", QVariantMap{{"interaction_id", ""}}}}, "");
    EXPECT_FALSE(emr.contains("interaction_id"));
}

TEST(UploadQueue, FailedUploadsAreRetriedWithTheSameRecordUntilAcknowledged) {
    QTemporaryDir dir;
    DocumentationUploadQueue queue(dir.path());
    queue.setRetryPolicy(20, 100, 60000);
    ScriptedSender clinic{{"HTTP 500", "lost:connection refused", ""}, {}, {}};
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
    EXPECT_EQ(storedFile(dir.path()).value("state").toString(), "sending") << "marked before it was sent";
    ASSERT_TRUE(kcWaitFor([&] { return successes == 1; }, 20000));
    EXPECT_EQ(failures, 2);
    ASSERT_EQ(clinic.sent.size(), 3);
    for (const QVariantMap &sent : clinic.sent)
        EXPECT_EQ(sent, record) << "same record, same ids";
    // After a 500 the record may be with the service; after a refused
    // connection it is not.
    EXPECT_EQ(clinic.lookedFirst, (QList<bool>{false, true, false}));
    EXPECT_EQ(queue.pendingCount(), 0);
    EXPECT_TRUE(QDir(dir.path()).entryList(QDir::Files).isEmpty());
    EXPECT_TRUE(counts.contains(qMakePair(1, 1))) << "the failure was visible as pending and failed";
    EXPECT_EQ(counts.last(), qMakePair(0, 0));
    kcSpin(200);
    EXPECT_EQ(clinic.sent.size(), 3) << "nothing more once acknowledged";
}

TEST(UploadQueue, AnUnansweredAttemptIsCancelledAndTheRecordSurvivesTheProcessAsPossiblySent) {
    QTemporaryDir dir;
    const QVariantMap record = emrDocumentationRecord(sample(), {}, "x");
    {
        DocumentationUploadQueue first(dir.path());
        first.setRetryPolicy(60000, 60000, 60000);
        ScriptedSender silent{{"silence"}, {}, {}};
        first.setSender(DocumentationUploadQueue::kEMR, silent.sender());
        ASSERT_TRUE(first.enqueue(DocumentationUploadQueue::kEMR, record, {{"emr_patient_id", "1"}}));
        QString error;
        EXPECT_FALSE(first.enqueue(DocumentationUploadQueue::kEMR, record, {}, &error))
            << "the same record twice";
        EXPECT_FALSE(error.isEmpty());
    }
    DocumentationUploadQueue second(dir.path());
    second.setRetryPolicy(20, 40, 100);
    ScriptedSender later{{"silence", ""}, {}, {}};
    second.setSender(DocumentationUploadQueue::kEMR, later.sender());
    second.resumeStored();
    EXPECT_EQ(second.pendingCount(), 1);
    ASSERT_TRUE(kcWaitFor([&] { return second.pendingCount() == 0; }, 20000));
    ASSERT_EQ(later.sent.size(), 2);
    EXPECT_EQ(later.sent.last(), record);
    EXPECT_EQ(later.cancels, 1) << "the timed-out request was cancelled";
    // Left in flight by the first process, then timed out: both attempts
    // are told to look before sending.
    EXPECT_EQ(later.lookedFirst, (QList<bool>{true, true}));
}

TEST(UploadQueue, WithoutASenderTheRecordWaits) {
    QTemporaryDir dir;
    DocumentationUploadQueue queue(dir.path());
    queue.setRetryPolicy(10, 20, 1000);
    ASSERT_TRUE(queue.enqueue(DocumentationUploadQueue::kEMR, emrDocumentationRecord(sample(), {}, "")));
    kcSpin(100);
    EXPECT_EQ(queue.pendingCount(), 1);
    EXPECT_EQ(queue.failedCount(), 1);
    ScriptedSender now{{""}, {}, {}};
    queue.setSender(DocumentationUploadQueue::kEMR, now.sender());
    EXPECT_TRUE(kcWaitFor([&] { return queue.pendingCount() == 0; }, 5000));
}

TEST(UploadQueue, AFinalRefusalStopsRetriesKeepsTheRecordAndLeavesTheChoiceToTheUser) {
    QTemporaryDir dir;
    const QVariantMap record = clinicDocumentationRecord(sample(), "7", "n", "3");
    QString key;
    {
        DocumentationUploadQueue queue(dir.path());
        queue.setRetryPolicy(10, 20, 5000);
        ScriptedSender clinic{{"refuse:HTTP 413"}, {}, {}};
        queue.setSender(DocumentationUploadQueue::kClinic, clinic.sender());
        int refusals = 0;
        QObject::connect(&queue, &DocumentationUploadQueue::uploadRefused, [&] { ++refusals; });
        ASSERT_TRUE(queue.enqueue(DocumentationUploadQueue::kClinic, record));
        ASSERT_TRUE(kcWaitFor([&] { return refusals == 1; }, 5000));
        kcSpin(200);
        EXPECT_EQ(clinic.sent.size(), 1) << "not retried";
        EXPECT_EQ(queue.refusedCount(), 1);
        EXPECT_EQ(queue.failedCount(), 1);
        key = queue.entries().first().key;
        EXPECT_EQ(storedFile(dir.path()).value("state").toString(), "refused");
        EXPECT_EQ(storedFile(dir.path()).value("error").toString(), "HTTP 413");
    }
    // Not sent again at the next start either; the user saves the image,
    // retries and finally discards it.
    DocumentationUploadQueue queue(dir.path());
    queue.setRetryPolicy(10, 20, 5000);
    ScriptedSender clinic{{"refuse:HTTP 413"}, {}, {}};
    queue.setSender(DocumentationUploadQueue::kClinic, clinic.sender());
    queue.resumeStored();
    kcSpin(200);
    EXPECT_TRUE(clinic.sent.isEmpty());
    EXPECT_EQ(queue.refusedCount(), 1);
    const QString png = dir.filePath("saved.png");
    EXPECT_EQ(queue.saveImage(key, png), QString());
    EXPECT_EQ(QImage(png).size(), QSize(40, 30));
    EXPECT_TRUE(queue.retry(key));
    ASSERT_TRUE(kcWaitFor([&] { return clinic.sent.size() == 1 && queue.refusedCount() == 1; }, 5000));
    EXPECT_TRUE(queue.discard(key));
    EXPECT_EQ(queue.pendingCount(), 0);
    EXPECT_TRUE(QDir(dir.path()).entryList({"*.json"}, QDir::Files).isEmpty());
}

TEST(UploadQueue, RecordsAreSentOnlyWhileTheirAccountIsSignedIn) {
    QTemporaryDir dir;
    using Account = DocumentationUploadQueue::Account;
    const Account ann{"ann", "https://a.example/", "195900"};
    Account now = ann;
    DocumentationUploadQueue queue(dir.path());
    queue.setRetryPolicy(10, 20, 5000);
    queue.setAccountSource([&now] { return now; });
    ScriptedSender clinic{{"lost:offline"}, {}, {}}, emr{{"lost:offline"}, {}, {}};
    queue.setSender(DocumentationUploadQueue::kClinic, clinic.sender());
    queue.setSender(DocumentationUploadQueue::kEMR, emr.sender());
    ASSERT_TRUE(queue.enqueueAll(
        {{DocumentationUploadQueue::kClinic, clinicDocumentationRecord(sample(), "1", "", "2"), {}},
         {DocumentationUploadQueue::kEMR,
          emrDocumentationRecord(sample(), {}, ""),
          {{"emr_patient_id", "5"}}}}));
    for (const auto &e : queue.entries())
        EXPECT_EQ(e.account, ann);
    ASSERT_TRUE(kcWaitFor([&] { return clinic.sent.size() == 1 && emr.sent.size() == 1; }, 5000));

    // Signed out, then Bob signs in: Ann's records wait, shown as waiting for her.
    now = {};
    kcSpin(200);
    now = {"bob", "https://a.example/", "195900"};
    queue.accountChanged();
    kcSpin(200);
    EXPECT_EQ(clinic.sent.size(), 1) << "not sent while Ann is not signed in";
    EXPECT_EQ(emr.sent.size(), 1);
    EXPECT_EQ(queue.waitingForUsers(), QStringList{"ann"});
    // Ann on another service: still not hers.
    now = {"ann", "https://b.example/", "195900"};
    queue.accountChanged();
    kcSpin(100);
    EXPECT_EQ(clinic.sent.size(), 1);
    // Ann in another practice: the clinic record goes, the chart record waits.
    now = {"ann", "https://a.example/", "777"};
    queue.accountChanged();
    ASSERT_TRUE(kcWaitFor([&] { return clinic.sent.size() == 2; }, 5000));
    kcSpin(100);
    EXPECT_EQ(emr.sent.size(), 1);
    now = ann;
    queue.accountChanged();
    ASSERT_TRUE(kcWaitFor([&] { return queue.pendingCount() == 0; }, 5000));
    EXPECT_TRUE(queue.waitingForUsers().isEmpty());
}

// A record kept by a version that stored no account is not sent under
// whoever signs in: it waits for the user's Retry, and then, as its earlier
// attempt may have arrived, is looked for before it is sent.
TEST(UploadQueue, ARecordWithoutItsAccountWaitsForTheUser) {
    QTemporaryDir dir;
    const QVariantMap record = emrDocumentationRecord(sample(), {}, "x");
    {
        QFile legacy(dir.filePath("emr-" + record.value("id").toString() + ".json"));
        ASSERT_TRUE(legacy.open(QIODevice::WriteOnly));
        legacy.write(QJsonDocument(QJsonObject{{"destination", "emr"},
                                               {"record", QJsonObject::fromVariantMap(record)},
                                               {"appointmentInfo", QJsonObject{{"emr_patient_id", "5"}}}})
                         .toJson());
    }
    const DocumentationUploadQueue::Account bob{"bob", "https://a.example/", "195900"};
    DocumentationUploadQueue queue(dir.path());
    queue.setRetryPolicy(10, 20, 5000);
    queue.setAccountSource([&] { return bob; });
    ScriptedSender emr;
    queue.setSender(DocumentationUploadQueue::kEMR, emr.sender());
    queue.resumeStored();
    kcSpin(200);
    EXPECT_TRUE(emr.sent.isEmpty());
    ASSERT_EQ(queue.refusedCount(), 1);
    EXPECT_TRUE(queue.entries().first().lastError.contains("Retry"));
    EXPECT_TRUE(queue.retry(queue.entries().first().key));
    ASSERT_TRUE(kcWaitFor([&] { return queue.pendingCount() == 0; }, 5000));
    ASSERT_EQ(emr.sent.size(), 1);
    EXPECT_EQ(emr.lookedFirst, QList<bool>{true});
}

TEST(UploadQueue, AcceptIsAllOrNothingAndReportsWhyTheRecordsCouldNotBeStored) {
    QTemporaryDir dir;
    DocumentationUploadQueue queue(dir.path() + "/q");
    ScriptedSender clinic, emr;
    queue.setSender(DocumentationUploadQueue::kClinic, clinic.sender());
    queue.setSender(DocumentationUploadQueue::kEMR, emr.sender());
    const QVariantMap clinicRecord = clinicDocumentationRecord(sample(), "1", "", "2");
    const QVariantMap emrRecord = emrDocumentationRecord(sample(), {}, "");
    // The second record cannot be written (its file's place is taken).
    ASSERT_TRUE(QDir().mkpath(dir.path() + "/q/emr-" + emrRecord.value("id").toString() + ".json.tmp"));
    QString error;
    EXPECT_FALSE(queue.enqueueAll({{DocumentationUploadQueue::kClinic, clinicRecord, {}},
                                   {DocumentationUploadQueue::kEMR, emrRecord, {}}},
                                  &error));
    EXPECT_FALSE(error.isEmpty());
    EXPECT_EQ(queue.pendingCount(), 0);
    EXPECT_TRUE(QDir(dir.path() + "/q").entryList({"*.json"}, QDir::Files).isEmpty())
        << "the first one is gone too";
    kcSpin(100);
    EXPECT_TRUE(clinic.sent.isEmpty());

    // A write that fails part-way (the file size limit stands in for a full
    // disk): nothing is kept, nothing sent.
    struct rlimit before {};
    getrlimit(RLIMIT_FSIZE, &before);
    const auto oldHandler = std::signal(SIGXFSZ, SIG_IGN);
    struct rlimit small = before;
    small.rlim_cur = 4096;
    ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &small), 0);
    QImage big(300, 300, QImage::Format_RGB32);
    for (int y = 0; y < 300; ++y)
        for (int x = 0; x < 300; ++x)
            big.setPixel(x, y, qRgb(x * 7 % 256, y * 13 % 256, (x * y) % 256));
    error.clear();
    const bool stored = queue.enqueue(DocumentationUploadQueue::kClinic,
                                      clinicDocumentationRecord(big, "1", "", "2"), {}, &error);
    setrlimit(RLIMIT_FSIZE, &before);
    std::signal(SIGXFSZ, oldHandler);
    EXPECT_FALSE(stored);
    EXPECT_TRUE(error.contains("cannot write")) << error.toStdString();
    EXPECT_EQ(queue.pendingCount(), 0);
    EXPECT_TRUE(QDir(dir.path() + "/q").entryList(QDir::Files).isEmpty());
    kcSpin(100);
    EXPECT_TRUE(clinic.sent.isEmpty());
}

// After sign-out nothing is sent: records wait, stored, for the next
// sign-in. The shell pauses the queue by name (setPaused), as here.
TEST(UploadQueue, PausedQueueSendsNothingUntilLetGo) {
    QTemporaryDir dir;
    DocumentationUploadQueue queue(dir.path());
    queue.setRetryPolicy(10, 20, 1000);
    ScriptedSender clinic{{"HTTP 500", ""}, {}, {}};
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
