// The documentation records of an accepted capture and the upload queue.
#include "capture/documentation_upload.h"
#include "capture/outbox/upload_queue.h"
#include "capture/outbox/upload_senders.h"
#include "capture/private_files.h"
#include "http/network_reachability_manager.h"

#include "outbox_files.h"
#include "tests/support/qt_wait.h"

#include <QBuffer>
#include <QDir>
#include <QFileInfo>
#include <QImageReader>
#include <QImageWriter>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QRegularExpression>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QThread>

#include <csignal>
#include <sys/resource.h>

#include <gtest/gtest.h>

namespace {

QImage sample() {
    QImage image(40, 30, QImage::Format_ARGB32_Premultiplied);
    image.fill(QColor(10, 120, 200));
    return image;
}

const QByteArray kSamplePng = kcPngBytes(sample());

const QRegularExpression
    kUUID(QStringLiteral("^[0-9A-F]{8}-[0-9A-F]{4}-[0-9A-F]{4}-[0-9A-F]{4}-[0-9A-F]{12}$"));

// A keyring in memory: one item per attributes; `status`, when set, is what
// every call answers instead (a locked keyring, none at all).
class MemoryKeyring : public KCSecretStore {
public:
    QHash<QString, QByteArray> items;
    QHash<QString, QString> labels;
    std::optional<KCSecretStatus> status;

    static QString id(const KCSecretAttributes &a) {
        return a.service.value_or("") + '\n' + a.account.value_or("") + '\n' + a.accessGroup.value_or("");
    }
    KCSecretResult find(const KCSecretAttributes &match, QByteArray *secret) override {
        if (status)
            return KCSecretResult::failure(*status);
        if (!items.contains(id(match)))
            return KCSecretResult::failure(KCSecretStatus::NotFound);
        if (secret)
            *secret = items.value(id(match));
        return {};
    }
    KCSecretResult list(const KCSecretAttributes &, QList<KCSecretItem> *) override {
        return KCSecretResult::failure(KCSecretStatus::Failed);
    }
    KCSecretResult add(const KCSecretAttributes &a, const QString &label, const QByteArray &secret) override {
        if (status)
            return KCSecretResult::failure(*status);
        items.insert(id(a), secret);
        labels.insert(id(a), label);
        return {};
    }
    KCSecretResult update(const KCSecretAttributes &, const QByteArray &) override {
        return KCSecretResult::failure(KCSecretStatus::Failed);
    }
    KCSecretResult remove(const KCSecretAttributes &) override {
        return KCSecretResult::failure(KCSecretStatus::Failed);
    }
};

TEST(DocumentationRecords, ClinicRecordCarriesUserAndNoteAsTyped) {
    const QVariantMap record =
        clinicDocumentationRecord(QStringLiteral("77"), KCOptionalImageCaption, QStringLiteral("12"));
    EXPECT_EQ(record.value("encounter_note").toString(), KCOptionalImageCaption);
    EXPECT_EQ(record.value("interaction_id").toString(), "77");
    EXPECT_TRUE(kUUID.match(record.value("id").toString()).hasMatch());
    const QVariantList uploads = record.value("Upload").toList();
    ASSERT_EQ(uploads.size(), 1);
    const QVariantMap upload = uploads.first().toMap();
    EXPECT_EQ(upload.keys(), (QStringList{"file_type", "id", "user_id"}));
    EXPECT_EQ(upload.value("file_type").toString(), "image/png");
    EXPECT_EQ(upload.value("user_id").toString(), "12");
    EXPECT_TRUE(kUUID.match(upload.value("id").toString()).hasMatch());
    EXPECT_NE(upload.value("id"), record.value("id"));

    // The image goes in as "content" when the record is sent.
    const QVariantMap sent = kcRecordWithContent(record, QString::fromLatin1(kSamplePng.toBase64()));
    const QString content = sent.value("Upload").toList().first().toMap().value("content").toString();
    EXPECT_FALSE(content.contains('\n'));
    EXPECT_EQ(QImage::fromData(QByteArray::fromBase64(content.toLatin1())).pixel(3, 3), qRgb(10, 120, 200));

    const QVariantMap bare = clinicDocumentationRecord(QVariant(), QString(""), QVariant());
    EXPECT_FALSE(bare.contains("interaction_id"));
    EXPECT_EQ(bare.value("encounter_note").toString(), "");
    EXPECT_FALSE(bare.value("Upload").toList().first().toMap().contains("user_id"));
}

TEST(DocumentationRecords, EmrRecordCarriesFileNameAndFilteredNote) {
    const QVariantMap patient{{"name", "Ann Smith"},
                              {"interaction_id", "5"},
                              {"ClinicPatientDeviceAssignment", QVariantMap{{"interaction_id", "9"}}}};
    QVariantMap record = emrDocumentationRecord(patient, KCOptionalImageCaption);
    EXPECT_EQ(record.value("encounter_note").toString(), "");
    EXPECT_EQ(record.value("interaction_id").toString(), "9");
    const QVariantMap upload = record.value("Upload").toList().first().toMap();
    EXPECT_EQ(upload.keys(), (QStringList{"file_name", "file_type", "id"}));
    EXPECT_EQ(upload.value("file_type").toString(), "image/png");
    const QString fileName = upload.value("file_name").toString();
    ASSERT_TRUE(fileName.startsWith("macOSCapture_"));
    EXPECT_TRUE(kUUID.match(fileName.mid(13)).hasMatch());
    EXPECT_NE(fileName.mid(13), upload.value("id").toString());

    record = emrDocumentationRecord(patient, QString(""));
    EXPECT_EQ(record.value("encounter_note").toString(), "");
    record = emrDocumentationRecord(patient, QStringLiteral("left forearm"));
    EXPECT_EQ(record.value("encounter_note").toString(), "left forearm");
    // The patient entries of today's list have no nested assignment.
    record = emrDocumentationRecord(QVariantMap{{"interaction_id", "5"}}, QString());
    EXPECT_FALSE(record.contains("interaction_id"));
}

TEST(DocumentationRecords, EveryRecordGetsIdsOfItsOwn) {
    QSet<QString> ids;
    for (int i = 0; i < 2; ++i) {
        for (const QVariantMap &r :
             {clinicDocumentationRecord("1", "", "2"), emrDocumentationRecord({}, "")}) {
            ids.insert(r.value("id").toString());
            const QVariantMap upload = r.value("Upload").toList().first().toMap();
            ids.insert(upload.value("id").toString());
            if (upload.contains("file_name"))
                ids.insert(upload.value("file_name").toString().mid(13));
        }
    }
    EXPECT_EQ(ids.size(), 10);
}

TEST(DocumentationRecords, AnEntryWithoutAnInteractionIdSendsNoEmptyOne) {
    // Today's patient entries give a missing interaction id as "".
    const QVariantMap record = clinicDocumentationRecord(QString(""), "n", QString(""));
    EXPECT_FALSE(record.contains("interaction_id"));
    EXPECT_FALSE(record.value("Upload").toList().first().toMap().contains("user_id"));
    const QVariantMap emr =
        emrDocumentationRecord({{"ClinicPatientDeviceAssignment", QVariantMap{{"interaction_id", ""}}}}, "");
    EXPECT_FALSE(emr.contains("interaction_id"));
}

// A waiting record keeps the patient's ids only; the chart gets the entry of
// today's list that carries all of them, and no entry when it is not certain.
TEST(DocumentationRecords, TheRecordKeepsIdsAndFindsTheListedPatientByAllOfThem) {
    const QVariantMap ann{{"name", "Ann Smith"},       {"dob", "1970-01-01"},       {"kelvraID", 4711},
                          {"emr_patient_id", "31007"}, {"emr_appointment_id", ""},  {"interaction_id", "88"},
                          {"profile_image_id", "p1"},  {"exam_room_name", "Exam 3"}};
    const QVariantMap ids = kcPatientIds(ann);
    EXPECT_EQ(ids,
              (QVariantMap{{"kelvraID", "4711"}, {"emr_patient_id", "31007"}, {"interaction_id", "88"}}));

    QVariantMap annTomorrow = ann;
    annTomorrow.insert("interaction_id", "95");
    QVariantMap otherPatientSameVisit = ann;
    otherPatientSameVisit.insert("emr_patient_id", "31008");
    EXPECT_EQ(kcPatientWithIds({otherPatientSameVisit, ann, annTomorrow}, ids), ann)
        << "the live entry itself";
    EXPECT_FALSE(kcPatientWithIds({otherPatientSameVisit, annTomorrow}, ids)) << "not on the list: none";
    EXPECT_FALSE(kcPatientWithIds({ann, ann}, ids)) << "listed twice: not certain";
    EXPECT_FALSE(kcPatientWithIds({ann}, {})) << "no ids: nobody";
}

using Outcome = DocumentationUploadQueue::Outcome;
using Queue = DocumentationUploadQueue;

// Answers each attempt from a script: "" files, "silence" never answers,
// "refuse:<text>" refuses for good, "lost:<text>" fails as a service that
// cannot be reached, anything else fails after reaching it; "later:" before
// any of them answers from the event loop instead of at once.
struct ScriptedSender {
    explicit ScriptedSender(QStringList script = {}) : answers(std::move(script)) {}
    QStringList answers;
    QList<QVariantMap> sent;
    QList<bool> lookedFirst; // the entry's mayHaveReached per attempt
    int cancels = 0;
    int outstanding = 0, mostOutstanding = 0;
    std::function<void(const Queue::Entry &)> onSend;
    Queue::Sender sender() {
        return [this](const Queue::Entry &entry, Queue::Done done) -> Queue::Cancel {
            sent.append(entry.record);
            lookedFirst.append(entry.mayHaveReached);
            if (onSend)
                onSend(entry);
            QString answer = answers.isEmpty() ? QString() : answers.takeFirst();
            if (answer == "silence")
                return [this] { ++cancels; };
            const bool later = answer.startsWith("later:");
            if (later)
                answer = answer.mid(6);
            auto reply = [answer, done] {
                if (answer.isEmpty())
                    done(Outcome::filed());
                else if (answer.startsWith("refuse:"))
                    done(Outcome::refusedFor(answer.mid(7)));
                else if (answer.startsWith("lost:"))
                    done(Outcome::unreachable(answer.mid(5)));
                else
                    done(Outcome::failed(answer));
            };
            if (!later) {
                reply();
                return {};
            }
            mostOutstanding = qMax(mostOutstanding, ++outstanding);
            QTimer::singleShot(20, [this, reply] {
                --outstanding;
                reply();
            });
            return {};
        };
    }
};

// A queue whose key lives in `keyring` (a new one of its own by default).
struct TestQueue {
    std::shared_ptr<MemoryKeyring> keyring;
    Queue queue;
    explicit TestQueue(const QString &dir,
                       std::shared_ptr<MemoryKeyring> ring = std::make_shared<MemoryKeyring>())
        : keyring(ring), queue(dir, nullptr, ring) {}
    Queue *operator->() { return &queue; }
    // Loads what is on disk and waits until it is in.
    void resume() {
        bool loaded = false;
        QObject::connect(&queue, &Queue::loaded, [&loaded] { loaded = true; });
        queue.resumeStored();
        ASSERT_TRUE(kcWaitFor([&] { return loaded; }, 20000));
    }
};

// The records on disk as a later run reads them, by destination.
QList<KCOutboxEntry> onDisk(const QString &dir, const std::shared_ptr<MemoryKeyring> &keyring) {
    return KCSealedOutbox(dir, keyring).load();
}

QList<Queue::NewRecord> bothRecords(const QVariantMap &patient = {{"emr_patient_id", "5"}}) {
    return {{Queue::kClinic, clinicDocumentationRecord("1", "", "2")},
            {Queue::kEMR, emrDocumentationRecord(patient, ""), patient}};
}

TEST(UploadQueue, FailedUploadsAreRetriedWithTheSameRecordUntilAcknowledged) {
    QTemporaryDir dir;
    TestQueue queue(dir.path());
    queue->setRetryPolicy(20, 100, 60000);
    ScriptedSender clinic{{"HTTP 500", "lost:connection refused", ""}};
    QStringList statesAtSend;
    clinic.onSend = [&](const Queue::Entry &) {
        for (const KCOutboxEntry &e : onDisk(dir.path(), queue.keyring))
            statesAtSend.append(e.mayHaveReached ? "sending" : "waiting");
    };
    queue->setSender(Queue::kClinic, clinic.sender());
    QList<QPair<int, int>> counts;
    QObject::connect(&queue.queue, &Queue::pendingChanged, [&](int pending, int failed) {
        counts.append({pending, failed});
    });
    int failures = 0, successes = 0;
    QObject::connect(&queue.queue, &Queue::uploadFailed, [&] { ++failures; });
    QObject::connect(&queue.queue, &Queue::uploadSucceeded, [&] { ++successes; });
    const QVariantMap record = clinicDocumentationRecord("7", "note", "3");
    ASSERT_TRUE(queue->enqueueAll(kSamplePng, {{Queue::kClinic, record}}));
    EXPECT_EQ(queue->pendingCount(), 1);
    EXPECT_EQ(QDir(dir.path()).entryList({"*.image", "*.clinic"}, QDir::Files).size(), 2)
        << "image and record on disk at once";
    ASSERT_TRUE(kcWaitFor([&] { return successes == 1; }, 20000));
    EXPECT_EQ(failures, 2);
    EXPECT_EQ(statesAtSend, QStringList(3, "sending")) << "marked before each attempt";
    ASSERT_EQ(clinic.sent.size(), 3);
    const QVariantMap withImage = kcRecordWithContent(record, QString::fromLatin1(kSamplePng.toBase64()));
    for (const QVariantMap &sent : clinic.sent)
        EXPECT_EQ(sent, withImage) << "same record, same ids, the image as content";
    // After a 500 the record may be with the service, and a refused
    // connection after it does not change that.
    EXPECT_EQ(clinic.lookedFirst, (QList<bool>{false, true, true}));
    EXPECT_EQ(queue->pendingCount(), 0);
    EXPECT_TRUE(counts.contains(qMakePair(1, 1))) << "the failure was visible as pending and failed";
    EXPECT_EQ(counts.last(), qMakePair(0, 0));
    EXPECT_TRUE(kcWaitFor(
        [&] { return QDir(dir.path()).entryList(QDir::Files) == QStringList{"filed-ledger"}; }, 5000))
        << "record and image removed, the filing noted";
    kcSpin(200);
    EXPECT_EQ(clinic.sent.size(), 3) << "nothing more once acknowledged";
}

TEST(UploadQueue, AnUnansweredAttemptIsCancelledAndTheRecordSurvivesTheProcessAsPossiblySent) {
    QTemporaryDir dir;
    auto keyring = std::make_shared<MemoryKeyring>();
    const QVariantMap record = emrDocumentationRecord({}, "x");
    {
        TestQueue first(dir.path(), keyring);
        first->setRetryPolicy(60000, 60000, 60000);
        ScriptedSender silent{{"silence"}};
        first->setSender(Queue::kEMR, silent.sender());
        ASSERT_TRUE(first->enqueue(Queue::kEMR, record, {{"emr_patient_id", "1"}}));
        ASSERT_TRUE(kcWaitFor([&] { return silent.sent.size() == 1; }, 5000));
        QString error;
        EXPECT_FALSE(first->enqueue(Queue::kEMR, record, {}, &error)) << "the same record twice";
        EXPECT_FALSE(error.isEmpty());
    }
    TestQueue second(dir.path(), keyring);
    second->setRetryPolicy(20, 40, 100);
    ScriptedSender later{{"silence", ""}};
    second->setSender(Queue::kEMR, later.sender());
    second.resume();
    EXPECT_EQ(second->pendingCount(), 1);
    ASSERT_TRUE(kcWaitFor([&] { return second->pendingCount() == 0; }, 20000));
    ASSERT_EQ(later.sent.size(), 2);
    EXPECT_EQ(later.sent.last(), record);
    EXPECT_EQ(later.cancels, 1) << "the timed-out request was cancelled";
    // Left in flight by the first process, then timed out: both attempts
    // are told to look before sending.
    EXPECT_EQ(later.lookedFirst, (QList<bool>{true, true}));
}

TEST(UploadQueue, WithoutASenderTheRecordWaits) {
    QTemporaryDir dir;
    TestQueue queue(dir.path());
    queue->setRetryPolicy(10, 20, 1000);
    ASSERT_TRUE(queue->enqueue(Queue::kEMR, emrDocumentationRecord({}, "")));
    ASSERT_TRUE(kcWaitFor([&] { return queue->failedCount() == 1; }, 5000));
    EXPECT_EQ(queue->pendingCount(), 1);
    ScriptedSender now{{""}};
    queue->setSender(Queue::kEMR, now.sender());
    EXPECT_TRUE(kcWaitFor([&] { return queue->pendingCount() == 0; }, 5000));
}

TEST(UploadQueue, AFinalRefusalStopsRetriesKeepsTheRecordAndLeavesTheChoiceToTheUser) {
    QTemporaryDir dir;
    auto keyring = std::make_shared<MemoryKeyring>();
    const QVariantMap record = clinicDocumentationRecord("7", "n", "3");
    QString key;
    {
        TestQueue queue(dir.path(), keyring);
        queue->setRetryPolicy(10, 20, 5000);
        ScriptedSender clinic{{"refuse:HTTP 413"}};
        queue->setSender(Queue::kClinic, clinic.sender());
        int refusals = 0;
        QObject::connect(&queue.queue, &Queue::uploadRefused, [&] { ++refusals; });
        ASSERT_TRUE(queue->enqueueAll(kSamplePng, {{Queue::kClinic, record}}));
        ASSERT_TRUE(kcWaitFor([&] { return refusals == 1; }, 5000));
        kcSpin(200);
        EXPECT_EQ(clinic.sent.size(), 1) << "not retried";
        EXPECT_EQ(queue->refusedCount(), 1);
        EXPECT_EQ(queue->failedCount(), 1);
        key = queue->entries().first().key;
    }
    const QList<KCOutboxEntry> stored = onDisk(dir.path(), keyring);
    ASSERT_EQ(stored.size(), 1);
    EXPECT_TRUE(stored.first().refused);
    EXPECT_EQ(stored.first().lastError, "HTTP 413");
    // Not sent again at the next start either; the user saves the image,
    // retries and finally discards it.
    TestQueue queue(dir.path(), keyring);
    queue->setRetryPolicy(10, 20, 5000);
    ScriptedSender clinic{{"refuse:HTTP 413"}};
    queue->setSender(Queue::kClinic, clinic.sender());
    queue.resume();
    kcSpin(200);
    EXPECT_TRUE(clinic.sent.isEmpty());
    EXPECT_EQ(queue->refusedCount(), 1);
    QTemporaryDir saved;
    const QString png = saved.filePath("saved.png");
    EXPECT_EQ(queue->saveImage(key, png), QString());
    QFile savedFile(png);
    ASSERT_TRUE(savedFile.open(QIODevice::ReadOnly));
    EXPECT_EQ(savedFile.readAll(), kSamplePng) << "the capture's own PNG";
    EXPECT_EQ(savedFile.permissions() &
                  ~(QFile::ReadOwner | QFile::WriteOwner | QFile::ReadUser | QFile::WriteUser),
              QFile::Permissions())
        << "for the user alone";
    // Where "Save image…" offers to save: a private folder, not Pictures.
    QStandardPaths::setTestModeEnabled(true);
    const QString offered = kcSavedImagesFolder();
    EXPECT_FALSE(offered.startsWith(QStandardPaths::writableLocation(QStandardPaths::PicturesLocation)));
    EXPECT_EQ(QFileInfo(offered).permissions() & ~(QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner |
                                                   QFile::ReadUser | QFile::WriteUser | QFile::ExeUser),
              QFile::Permissions());
    EXPECT_TRUE(queue->retry(key));
    ASSERT_TRUE(kcWaitFor([&] { return clinic.sent.size() == 1 && queue->refusedCount() == 1; }, 5000));
    EXPECT_TRUE(queue->discard(key));
    EXPECT_EQ(queue->pendingCount(), 0);
    EXPECT_TRUE(kcWaitFor([&] { return QDir(dir.path()).entryList(QDir::Files).isEmpty(); }, 5000))
        << "record and image gone";
}

TEST(UploadQueue, RecordsAreSentOnlyWhileTheirAccountIsSignedIn) {
    QTemporaryDir dir;
    using Account = Queue::Account;
    const Account ann{"ann", "https://a.example/", "195900"};
    Account now = ann;
    TestQueue queue(dir.path());
    queue->setRetryPolicy(10, 20, 5000);
    queue->setAccountSource([&now] { return now; });
    ScriptedSender clinic{{"lost:offline"}}, emr{{"lost:offline"}};
    queue->setSender(Queue::kClinic, clinic.sender());
    queue->setSender(Queue::kEMR, emr.sender());
    ASSERT_TRUE(queue->enqueueAll(kSamplePng, bothRecords()));
    for (const auto &e : queue->entries())
        EXPECT_EQ(e.account, ann);
    ASSERT_TRUE(kcWaitFor([&] { return clinic.sent.size() == 1 && emr.sent.size() == 1; }, 5000));

    // Signed out, then Bob signs in: Ann's records wait, shown as waiting for her.
    now = {};
    kcSpin(200);
    now = {"bob", "https://a.example/", "195900"};
    queue->accountChanged();
    kcSpin(200);
    EXPECT_EQ(clinic.sent.size(), 1) << "not sent while Ann is not signed in";
    EXPECT_EQ(emr.sent.size(), 1);
    EXPECT_EQ(queue->waitingForUsers(), QStringList{"ann"});
    // Bob's tray can neither retry, save nor discard Ann's captures, and
    // nobody can while signed out.
    for (const Account &who : {Account{"bob", "https://a.example/", "195900"}, Account{}}) {
        now = who;
        for (const Queue::Entry &e : queue->entries()) {
            EXPECT_FALSE(queue->mayAct(e));
            EXPECT_FALSE(queue->retry(e.key));
            EXPECT_FALSE(queue->discard(e.key));
            EXPECT_FALSE(queue->saveImage(e.key, dir.filePath("x.png")).isEmpty());
        }
    }
    EXPECT_EQ(queue->pendingCount(), 2);
    now = {"bob", "https://a.example/", "195900"};
    // Ann on another service: still not hers.
    now = {"ann", "https://b.example/", "195900"};
    queue->accountChanged();
    kcSpin(100);
    EXPECT_EQ(clinic.sent.size(), 1);
    // Ann in another practice: the clinic record goes, the chart record waits.
    now = {"ann", "https://a.example/", "777"};
    queue->accountChanged();
    ASSERT_TRUE(kcWaitFor([&] { return clinic.sent.size() == 2; }, 5000));
    kcSpin(100);
    EXPECT_EQ(emr.sent.size(), 1);
    now = ann;
    queue->accountChanged();
    ASSERT_TRUE(kcWaitFor([&] { return queue->pendingCount() == 0; }, 5000));
    EXPECT_TRUE(queue->waitingForUsers().isEmpty());
}

// Records of the earlier version (plain JSON, the image in Base64 twice, the
// patient's name and date of birth) are sealed at start: the plain files go,
// only the ids stay, the image once as PNG. A record kept without its account
// is not sent under whoever signs in: it waits for the user's Retry, and
// then, as its earlier attempt may have arrived, is looked for first.
TEST(UploadQueue, RecordsOfTheEarlierVersionAreSealedAtStartKeepingIdsOnly) {
    QTemporaryDir dir;
    const QVariantMap appointment{{"name", "Ann Smith"},       {"dob", "1970-01-01"},
                                  {"emr_patient_id", "31007"}, {"kelvraID", "4711"},
                                  {"interaction_id", "88"},    {"exam_room_name", "Exam 3"}};
    QByteArray tiff;
    {
        QBuffer buffer(&tiff);
        buffer.open(QIODevice::WriteOnly);
        QImageWriter(&buffer, "tiff").write(sample());
    }
    auto plainRecord = [&](const QString &destination, const QByteArray &image, const QJsonObject &account) {
        QVariantMap record = destination == Queue::kEMR
                                 ? emrDocumentationRecord(appointment, "left forearm")
                                 : clinicDocumentationRecord("88", "left forearm", "17");
        record = kcRecordWithContent(record, QString::fromLatin1(image.toBase64()));
        QFile plain(dir.filePath(destination + "-" + record.value("id").toString() + ".json"));
        EXPECT_TRUE(plain.open(QIODevice::WriteOnly));
        QJsonObject object{{"destination", destination},
                           {"record", QJsonObject::fromVariantMap(record)},
                           {"appointmentInfo", QJsonObject::fromVariantMap(appointment)},
                           {"state", "waiting"}};
        if (!account.isEmpty())
            object.insert("account", account);
        plain.write(QJsonDocument(object).toJson());
        return record;
    };
    const Queue::Account bob{"bob", "https://a.example/", "195900"};
    const QVariantMap emrRecord = plainRecord(
        Queue::kEMR, tiff, {{"user", "bob"}, {"service", "https://a.example/"}, {"practice", "195900"}});
    plainRecord(Queue::kClinic, kSamplePng, {});
    for (const char *leftover : {"emr-X.json.tmp", "0123456789abcdef0123456789abcdef.clinic.tmp"}) {
        QFile tmp(dir.filePath(leftover));
        ASSERT_TRUE(tmp.open(QIODevice::WriteOnly));
        tmp.write("{\"name\": \"Ann Smith\"}");
    }

    TestQueue queue(dir.path());
    queue->setRetryPolicy(10, 20, 5000);
    queue->setAccountSource([&] { return bob; });
    ScriptedSender clinic, emr;
    queue->setSender(Queue::kClinic, clinic.sender());
    queue->setSender(Queue::kEMR, emr.sender());
    queue.resume();
    EXPECT_TRUE(QDir(dir.path()).entryList({"*.json", "*.tmp"}, QDir::Files).isEmpty())
        << "plain files and leftovers gone";
    ASSERT_TRUE(kcWaitFor([&] { return emr.sent.size() == 1; }, 5000));
    ASSERT_EQ(queue->pendingCount(), 1);
    EXPECT_EQ(queue->refusedCount(), 1);
    EXPECT_TRUE(queue->entries().first().lastError.contains("Retry"));
    EXPECT_EQ(queue->entries().first().patient,
              (QVariantMap{{"kelvraID", "4711"}, {"emr_patient_id", "31007"}, {"interaction_id", "88"}}));
    EXPECT_EQ(kcOutboxExposure(dir.path(), {"Ann Smith", "1970-01-01", "left forearm", "31007", "4711"})
                  .toStdString(),
              "");
    // The chart record: the same ids, the image now PNG with the same pixels,
    // looked for first.
    const QVariantMap sent = emr.sent.first();
    EXPECT_EQ(sent.value("id"), emrRecord.value("id"));
    const QByteArray content = QByteArray::fromBase64(
        sent.value("Upload").toList().first().toMap().value("content").toString().toLatin1());
    EXPECT_TRUE(content.startsWith("\x89PNG"));
    EXPECT_EQ(QImage::fromData(content).convertToFormat(QImage::Format_ARGB32),
              sample().convertToFormat(QImage::Format_ARGB32));
    EXPECT_EQ(emr.lookedFirst, QList<bool>{true});

    EXPECT_TRUE(clinic.sent.isEmpty());
    EXPECT_TRUE(queue->retry(queue->entries().first().key));
    ASSERT_TRUE(kcWaitFor([&] { return queue->pendingCount() == 0; }, 5000));
    EXPECT_EQ(clinic.lookedFirst, QList<bool>{true});
}

// Without a keyring the earlier version's plain file stays until its record
// is gone (a key in memory would lose it at quit), and sealing it again at
// the next start makes no second record.
TEST(UploadQueue, WithoutAKeyringTheEarlierVersionsFileStaysUntilSent) {
    QTemporaryDir dir;
    const QVariantMap record = kcRecordWithContent(clinicDocumentationRecord("88", "n", "17"),
                                                   QString::fromLatin1(kSamplePng.toBase64()));
    const QString plain = dir.filePath("clinic-" + record.value("id").toString() + ".json");
    {
        QFile file(plain);
        ASSERT_TRUE(file.open(QIODevice::WriteOnly));
        file.write(QJsonDocument(QJsonObject{{"destination", "clinic"},
                                             {"record", QJsonObject::fromVariantMap(record)},
                                             {"state", "waiting"}})
                       .toJson());
    }
    auto locked = std::make_shared<MemoryKeyring>();
    locked->status = KCSecretStatus::Locked;
    for (int run = 0; run < 2; ++run) {
        TestQueue queue(dir.path(), locked);
        queue.resume();
        EXPECT_EQ(queue->pendingCount(), 1) << "run " << run;
        EXPECT_EQ(queue->unreadableCount(), 0) << "run " << run;
        EXPECT_EQ(queue->lostAtQuitCount(), 0) << "the plain file still keeps it";
        EXPECT_FALSE(queue->keyProblem().isEmpty());
        EXPECT_TRUE(QFileInfo::exists(plain));
    }
    TestQueue queue(dir.path(), locked);
    ScriptedSender clinic;
    queue->setSender(Queue::kClinic, clinic.sender());
    queue.resume();
    ASSERT_TRUE(kcWaitFor([&] { return queue->pendingCount() == 0; }, 5000));
    EXPECT_EQ(clinic.sent.size(), 1);
    EXPECT_TRUE(kcWaitFor([&] { return QDir(dir.path()).entryList(QDir::Files).isEmpty(); }, 5000));
}

// What a copy of the folder shows without the key: nothing of the patient,
// the image or the records. A later run without the key (a keyring that
// lost it, a key that was held in memory) or a changed file cannot read the
// record: it counts as failed, cannot be retried or saved, only discarded.
TEST(UploadQueue, TheOutboxReadWithoutTheKeyShowsNothingAndCannotBeSent) {
    QTemporaryDir dir;
    auto keyring = std::make_shared<MemoryKeyring>();
    const QVariantMap patient{{"name", "Ann Smith"},
                              {"dob", "1970-01-01"},
                              {"kelvraID", "4711"},
                              {"emr_patient_id", "31007"},
                              {"interaction_id", "88"}};
    QList<QByteArray> clear{"Ann Smith", "1970-01-01", "4711", "31007", "left forearm", "interaction_id"};
    for (int i = 0; i < 2; ++i) {
        TestQueue queue(dir.path(), keyring);
        queue->setPaused(true);
        const QList<Queue::NewRecord> records{
            {Queue::kClinic, clinicDocumentationRecord("88", "left forearm", "17")},
            {Queue::kEMR, emrDocumentationRecord(patient, "left forearm"), patient}};
        for (const Queue::NewRecord &r : records) {
            clear.append(r.record.value("id").toString().toUtf8());
            clear.append(r.record.value("Upload").toList().first().toMap().value("id").toString().toUtf8());
        }
        std::optional<QString> error;
        queue->enqueueCapture(sample(), records, [&](const QString &e) { error = e; });
        ASSERT_TRUE(kcWaitFor([&] { return error.has_value(); }, 10000));
        EXPECT_EQ(*error, QString());
        EXPECT_EQ(queue->pendingCount(), 2);
        EXPECT_EQ(queue->lostAtQuitCount(), 0) << "the key is kept";
    }
    EXPECT_EQ(QDir(dir.path()).entryList(QDir::Files).size(), 6) << "one image and two records per capture";
    EXPECT_EQ(kcOutboxExposure(dir.path(), clear).toStdString(), "");
    EXPECT_EQ(keyring->items.size(), 1);
    EXPECT_EQ(keyring->labels.values(), QStringList{kcOutboxKeyLabel()});

    // One record altered, one moved onto another's name.
    QStringList records = QDir(dir.path()).entryList({"*.clinic", "*.emr"}, QDir::Files, QDir::Name);
    {
        QFile altered(dir.filePath(records[0]));
        ASSERT_TRUE(altered.open(QIODevice::ReadWrite));
        QByteArray bytes = altered.readAll();
        bytes[bytes.size() / 2] = char(bytes[bytes.size() / 2] ^ 1);
        altered.seek(0);
        altered.write(bytes);
    }
    ASSERT_TRUE(QFile::remove(dir.filePath(records[1])));
    ASSERT_TRUE(QFile::copy(dir.filePath(records[2]), dir.filePath(records[1])));
    {
        TestQueue same(dir.path(), keyring);
        same->setPaused(true);
        same.resume();
        EXPECT_EQ(same->pendingCount(), 4);
        EXPECT_EQ(same->unreadableCount(), 2);
    }

    TestQueue other(dir.path()); // a keyring with another key
    ScriptedSender clinic, emr;
    other->setSender(Queue::kClinic, clinic.sender());
    other->setSender(Queue::kEMR, emr.sender());
    other.resume();
    ASSERT_EQ(other->pendingCount(), 4);
    EXPECT_EQ(other->unreadableCount(), 4);
    EXPECT_EQ(other->failedCount(), 4);
    kcSpin(200);
    EXPECT_TRUE(clinic.sent.isEmpty() && emr.sent.isEmpty());
    const Queue::Entry entry = other->entries().first();
    EXPECT_TRUE(entry.lastError.contains("key")) << entry.lastError.toStdString();
    EXPECT_FALSE(other->retry(entry.key));
    EXPECT_FALSE(other->saveImage(entry.key, dir.filePath("x.png")).isEmpty());
    for (const Queue::Entry &e : other->entries())
        EXPECT_TRUE(other->discard(e.key));
    EXPECT_TRUE(kcWaitFor([&] { return QDir(dir.path()).entryList(QDir::Files).isEmpty(); }, 5000));
}

// No keyring (or a locked one): Accept still stores, sealed with a key in
// memory, and the queue says how many would be lost at quit and why; a later
// run finds them unreadable.
TEST(UploadQueue, WithoutAKeyringCapturesAreKeptForThisRunAndSaidToBeLostAtQuit) {
    QTemporaryDir dir;
    auto none = std::make_shared<MemoryKeyring>();
    none->status = KCSecretStatus::NoService;
    {
        TestQueue queue(dir.path(), none);
        queue->setPaused(true);
        ASSERT_TRUE(queue->enqueueAll(kSamplePng, bothRecords()));
        EXPECT_EQ(queue->lostAtQuitCount(), 2);
        EXPECT_TRUE(queue->keyProblem().contains("No keyring")) << queue->keyProblem().toStdString();
        EXPECT_EQ(kcOutboxExposure(dir.path(), {"31007"}).toStdString(), "");
        QTemporaryDir saved;
        EXPECT_EQ(queue->saveImage(queue->entries().first().key, saved.filePath("a.png")), QString())
            << "readable while the application runs";
    }
    TestQueue later(dir.path(), none);
    later.resume();
    EXPECT_EQ(later->pendingCount(), 2);
    EXPECT_EQ(later->unreadableCount(), 2);
}

// A keyring that answers late (its unlock prompt still open): captures are
// accepted meanwhile, sealed with a key in memory, and sealed again with the
// keyring's key once it answers, so that they outlive a quit.
TEST(UploadQueue, CapturesAcceptedBeforeTheKeyringAnswersAreKeptOnceItDoes) {
    class SlowKeyring : public MemoryKeyring {
    public:
        std::atomic<bool> open{false};
        KCSecretResult find(const KCSecretAttributes &match, QByteArray *secret) override {
            while (!open)
                QThread::msleep(10);
            return MemoryKeyring::find(match, secret);
        }
    };
    QTemporaryDir dir;
    auto keyring = std::make_shared<SlowKeyring>();
    {
        TestQueue queue(dir.path(), keyring);
        queue->setPaused(true);
        queue->resumeStored(); // waits for the keyring
        ASSERT_TRUE(queue->enqueueAll(kSamplePng, bothRecords()));
        EXPECT_EQ(queue->lostAtQuitCount(), 2);
        EXPECT_TRUE(queue->keyProblem().contains("not answered")) << queue->keyProblem().toStdString();
        keyring->open = true;
        ASSERT_TRUE(kcWaitFor([&] { return queue->lostAtQuitCount() == 0; }, 10000));
        EXPECT_EQ(queue->keyProblem(), "");
    }
    TestQueue later(dir.path(), keyring);
    later.resume();
    EXPECT_EQ(later->pendingCount(), 2);
    EXPECT_EQ(later->unreadableCount(), 0);
}

// A home folder restored from a backup made while captures waited, after
// they were filed: with the ledger of now the restored records are dropped
// unsent; with the backup's (older) ledger they are sent only after a look
// in the chart, which the sender is told to take.
TEST(UploadQueue, ARestoredBackupFilesNothingTwice) {
    QTemporaryDir dir, backup;
    auto keyring = std::make_shared<MemoryKeyring>();
    auto copyFiles = [](const QString &from, const QString &to, const QStringList &names) {
        for (const QString &name : QDir(from).entryList(names, QDir::Files)) {
            QFile::remove(to + '/' + name);
            ASSERT_TRUE(QFile::copy(from + '/' + name, to + '/' + name));
        }
    };
    {
        TestQueue queue(dir.path(), keyring);
        queue->setPaused(true);
        ASSERT_TRUE(queue->enqueueAll(kSamplePng, bothRecords()));
        copyFiles(dir.path(), backup.path(), {"*"});
        ScriptedSender clinic, emr;
        queue->setSender(Queue::kClinic, clinic.sender());
        queue->setSender(Queue::kEMR, emr.sender());
        queue->setPaused(false);
        ASSERT_TRUE(kcWaitFor(
            [&] {
                return queue->pendingCount() == 0 &&
                       QDir(dir.path()).entryList({"*.emr", "*.clinic"}).isEmpty();
            },
            10000));
        ASSERT_EQ(clinic.sent.size() + emr.sent.size(), 2);
    }
    ASSERT_TRUE(QFileInfo::exists(dir.filePath("filed-ledger")));
    for (const bool olderLedger : {false, true}) {
        SCOPED_TRACE(olderLedger ? "with the backup's ledger" : "with the ledger of now");
        copyFiles(backup.path(), dir.path(), {"*.image", "*.emr", "*.clinic"});
        if (olderLedger) {
            ASSERT_TRUE(QFile::remove(dir.filePath("filed-ledger"))); // the backup had none yet
        }
        TestQueue later(dir.path(), keyring);
        ScriptedSender clinic, emr;
        later->setSender(Queue::kClinic, clinic.sender());
        later->setSender(Queue::kEMR, emr.sender());
        later.resume();
        ASSERT_TRUE(kcWaitFor([&] { return later->pendingCount() == 0; }, 10000));
        kcSpin(100);
        if (!olderLedger) {
            EXPECT_TRUE(clinic.sent.isEmpty() && emr.sent.isEmpty()) << "filed already: dropped";
        } else {
            EXPECT_EQ(emr.lookedFirst, QList<bool>{true}) << "the chart is looked at first";
            EXPECT_EQ(clinic.lookedFirst, QList<bool>{true});
        }
        EXPECT_TRUE(QDir(dir.path()).entryList({"*.image", "*.emr", "*.clinic"}).isEmpty());
    }
}

// Another process holds the folder's lock (here flock(1), as a second
// KelvraCapture would find the first): this queue neither stores, reads nor
// sends, and says why.
TEST(UploadQueue, AFolderLockedByAnotherProcessIsLeftAlone) {
    QTemporaryDir earlier, dir;
    auto keyring = std::make_shared<MemoryKeyring>();
    {
        TestQueue before(earlier.path(), keyring); // a capture waiting, then moved here
        before->setPaused(true);
        ASSERT_TRUE(before->enqueueAll(kSamplePng, bothRecords()));
    }
    for (const QString &name : QDir(earlier.path()).entryList(QDir::Files))
        ASSERT_TRUE(QFile::copy(earlier.filePath(name), dir.filePath(name)));
    QProcess holder;
    holder.start("flock", {"--exclusive", dir.filePath(".lock"), "sleep", "60"});
    ASSERT_TRUE(holder.waitForStarted(10000));
    kcSpin(300);
    const QStringList files = QDir(dir.path()).entryList(QDir::Files);
    TestQueue queue(dir.path(), keyring);
    ScriptedSender clinic, emr;
    queue->setSender(Queue::kClinic, clinic.sender());
    queue->setSender(Queue::kEMR, emr.sender());
    EXPECT_TRUE(queue->lockProblem().contains("Another KelvraCapture")) << queue->lockProblem().toStdString();
    queue.resume();
    EXPECT_EQ(queue->pendingCount(), 0);
    QString error;
    EXPECT_FALSE(queue->enqueueAll(kSamplePng, bothRecords(), &error));
    EXPECT_EQ(error, queue->lockProblem());
    kcSpin(200);
    EXPECT_TRUE(clinic.sent.isEmpty() && emr.sent.isEmpty());
    EXPECT_EQ(QDir(dir.path()).entryList(QDir::Files), files);
    holder.kill();
    holder.waitForFinished();
}

TEST(UploadQueue, AcceptIsAllOrNothingAndReportsWhyTheCaptureCouldNotBeStored) {
    QTemporaryDir dir;
    const QString folder = dir.path() + "/q";
    TestQueue queue(folder);
    ScriptedSender clinic, emr;
    queue->setSender(Queue::kClinic, clinic.sender());
    queue->setSender(Queue::kEMR, emr.sender());
    // The folder's place is taken by a file.
    kcSpin(100);
    ASSERT_TRUE(QDir(folder).removeRecursively());
    {
        QFile blocker(folder);
        ASSERT_TRUE(blocker.open(QIODevice::WriteOnly));
    }
    std::optional<QString> error;
    queue->enqueueCapture(sample(), bothRecords(), [&](const QString &e) { error = e; });
    ASSERT_TRUE(kcWaitFor([&] { return error.has_value(); }, 10000));
    EXPECT_FALSE(error->isEmpty());
    EXPECT_EQ(queue->pendingCount(), 0);
    ASSERT_TRUE(QFile::remove(folder));

    // A write that fails part-way (the file size limit stands in for a full
    // disk): the image fits, the first record with its long note does not.
    // Nothing is kept, nothing sent.
    struct rlimit before {};
    getrlimit(RLIMIT_FSIZE, &before);
    const auto oldHandler = std::signal(SIGXFSZ, SIG_IGN);
    struct rlimit small = before;
    small.rlim_cur = 4096;
    ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &small), 0);
    QString why;
    const bool stored =
        queue->enqueueAll(kSamplePng,
                          {{Queue::kClinic, clinicDocumentationRecord("1", QString(6000, 'n'), "2")},
                           {Queue::kEMR, emrDocumentationRecord({}, "")}},
                          &why);
    setrlimit(RLIMIT_FSIZE, &before);
    std::signal(SIGXFSZ, oldHandler);
    EXPECT_FALSE(stored);
    EXPECT_TRUE(why.contains("cannot write")) << why.toStdString();
    EXPECT_EQ(queue->pendingCount(), 0);
    EXPECT_TRUE(QDir(folder).entryList(QDir::Files).isEmpty());
    kcSpin(100);
    EXPECT_TRUE(clinic.sent.isEmpty());
}

// After sign-out nothing is sent: records wait, stored, for the next
// sign-in. The shell pauses the queue by name (setPaused), as here.
TEST(UploadQueue, PausedQueueSendsNothingUntilLetGo) {
    QTemporaryDir dir;
    TestQueue queue(dir.path());
    queue->setRetryPolicy(10, 20, 1000);
    ScriptedSender clinic{{"HTTP 500", ""}};
    queue->setSender(Queue::kClinic, clinic.sender());
    ASSERT_TRUE(queue->enqueue(Queue::kClinic, clinicDocumentationRecord("7", "a", "3")));
    ASSERT_TRUE(kcWaitFor([&] { return clinic.sent.size() == 1; }, 5000));
    ASSERT_TRUE(QMetaObject::invokeMethod(&queue.queue, "setPaused", Q_ARG(bool, true)));
    EXPECT_TRUE(queue->isPaused());
    ASSERT_TRUE(queue->enqueue(Queue::kClinic, clinicDocumentationRecord("7", "b", "3")));
    kcSpin(300); // the retry of the first record falls due meanwhile
    EXPECT_EQ(clinic.sent.size(), 1);
    EXPECT_EQ(queue->pendingCount(), 2);
    ASSERT_TRUE(QMetaObject::invokeMethod(&queue.queue, "setPaused", Q_ARG(bool, false)));
    EXPECT_TRUE(kcWaitFor([&] { return queue->pendingCount() == 0; }, 5000));
    EXPECT_EQ(clinic.sent.size(), 3);
}

// One attempt at a time per destination, oldest first. While the service
// cannot be reached only the oldest record is tried (with a growing delay),
// not every record one after another; once it answers, the others follow.
TEST(UploadQueue, RecordsGoOneAtATimeOldestFirstAndWaitTogetherForAServiceThatCannotBeReached) {
    QTemporaryDir dir;
    TestQueue queue(dir.path());
    queue->setRetryPolicy(50, 100, 5000);
    ScriptedSender clinic{{"later:lost:offline", "later:lost:offline", "later:", "later:", "later:"}};
    queue->setSender(Queue::kClinic, clinic.sender());
    for (const char *note : {"first", "second", "third"})
        ASSERT_TRUE(queue->enqueue(Queue::kClinic, clinicDocumentationRecord("7", note, "3")));
    ASSERT_TRUE(kcWaitFor([&] { return queue->pendingCount() == 0; }, 10000));
    QStringList notes;
    for (const QVariantMap &sent : clinic.sent)
        notes.append(sent.value("encounter_note").toString());
    EXPECT_EQ(notes, (QStringList{"first", "first", "first", "second", "third"}));
    EXPECT_EQ(clinic.mostOutstanding, 1);
}

// The network comes back: waiting records are tried at once, not after
// their delay.
TEST(UploadQueue, WaitingRecordsAreTriedAsSoonAsTheNetworkIsReachableAgain) {
    class Flags : public KCReachabilityFlagSource {
    public:
        std::atomic<quint32> flags{KCReachabilityFlagReachable};
        std::function<void(quint32)> changed;
        bool readFlags(quint32 *out) override {
            *out = flags;
            return true;
        }
        bool startWatching(std::function<void(quint32)> cb) override {
            changed = std::move(cb);
            return true;
        }
        void stopWatching() override { changed = nullptr; }
        bool isWatching() const override { return bool(changed); }
        void change(quint32 f) {
            flags = f;
            changed(f);
        }
    };
    auto flags = std::make_shared<Flags>();
    const CVNetworkReachabilityManagerPtr monitor =
        CVNetworkReachabilityManager::managerWithFlagSource(flags);
    monitor->startMonitoring();
    ASSERT_TRUE(kcWaitFor([&] { return monitor->isReachable(); }, 5000));

    QTemporaryDir dir;
    TestQueue queue(dir.path());
    queue->setRetryPolicy(600000, 600000, 5000);
    kcRetryUploadsWhenReachable(&queue.queue);
    ScriptedSender clinic{{"lost:offline", ""}};
    queue->setSender(Queue::kClinic, clinic.sender());
    ASSERT_TRUE(queue->enqueue(Queue::kClinic, clinicDocumentationRecord("7", "a", "3")));
    ASSERT_TRUE(kcWaitFor([&] { return queue->failedCount() == 1; }, 5000));
    flags->change(0);
    kcSpin(200);
    EXPECT_EQ(clinic.sent.size(), 1) << "nothing while unreachable";
    flags->change(KCReachabilityFlagReachable);
    EXPECT_TRUE(kcWaitFor([&] { return queue->pendingCount() == 0; }, 5000)) << "not ten minutes later";
    EXPECT_EQ(clinic.sent.size(), 2);
}

} // namespace
