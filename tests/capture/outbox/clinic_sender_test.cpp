// The senders of the upload queue. The clinic sender against a scripted
// service on 127.0.0.1: only the service's confirmation of the stored record
// files it; final refusals are told apart from failures worth retrying. The
// chart sender: the EMR client gets the entry of today's list that carries
// the record's ids, never another patient's.

#include "capture/documentation_upload.h"
#include "capture/outbox/upload_senders.h"
#include "clinic/kelvra_api_client.h"
#include "emr/emr_api_client.h"
#include "tests/emr/scripted_server.h"
#include "tests/support/qt_wait.h"

#include <QImage>
#include <QThread>
#include <gtest/gtest.h>

namespace {

using Outcome = DocumentationUploadQueue::Outcome;

TEST(ClinicSender, OnlyTheConfirmationOfTheStoredRecordFilesIt) {
    ScriptedServer server;
    ScriptedAnswer answer;
    server.setHandler([&](const ScriptedRequest &) -> std::optional<ScriptedAnswer> { return answer; });
    ASSERT_TRUE(KelvraAPIClient::setServiceURLForFirstUse(server.url("/")));

    QImage image(10, 10, QImage::Format_RGB32);
    image.fill(Qt::blue);
    DocumentationUploadQueue::Entry entry;
    entry.destination = DocumentationUploadQueue::kClinic;
    entry.record = kcRecordWithContent(clinicDocumentationRecord(QString(""), "n", "17"),
                                       QString::fromLatin1(kcPngBytes(image).toBase64()));
    const QByteArray id = entry.record.value("id").toString().toUtf8();

    struct Case {
        ScriptedAnswer answer;
        Outcome::Kind kind;
        bool reached;
        bool unavailable = false; // the service's other records wait too
    } cases[] = {
        {{200, "application/json",
          "{\"success\":true,\"saved\":1,\"documentations\":[{\"id\":\"" + id + "\"}]}"},
         Outcome::Filed,
         true},
        {{200, "text/html", "<html>Sign in to the Wi-Fi</html>"}, Outcome::Failed, true},
        {{200, "application/json", "{\"success\":false}"}, Outcome::Failed, true},
        {{200, "application/json", "{\"success\":\"true\",\"documentations\":[{\"id\":\"" + id + "\"}]}"},
         Outcome::Failed,
         true},
        {{200, "application/json", "{\"success\":true,\"documentations\":[{\"id\":\"OTHER\"}]}"},
         Outcome::Failed,
         true},
        {{200, "application/json", "[]"}, Outcome::Failed, true},
        {{500, "application/json", "{}"}, Outcome::Failed, true},
        {{503, "text/html", "<h1>Service Unavailable</h1>"}, Outcome::Failed, true, true},
        {{400, "application/json", "{}"}, Outcome::Refused, false},
        {{404, "text/html", "<h1>Not Found</h1>"}, Outcome::Refused, false},
        {{413, "text/plain", "too large"}, Outcome::Refused, false},
        {{415, "application/json", "{}"}, Outcome::Refused, false},
        {{401, "application/json", "{}"}, Outcome::Failed, false, true},
        {{408, "application/json", "{}"}, Outcome::Failed, false, true},
        {{429, "application/json", "{}"}, Outcome::Failed, false, true},
    };
    const auto sender = clinicDocumentationSender();
    for (const Case &c : cases) {
        SCOPED_TRACE(c.answer.status);
        SCOPED_TRACE(c.answer.body.toStdString());
        answer = c.answer;
        std::optional<Outcome> outcome;
        sender(entry, [&](const Outcome &o) { outcome = o; });
        ASSERT_TRUE(kcWaitFor([&] { return outcome.has_value(); }, 30000));
        EXPECT_EQ(outcome->kind, c.kind) << outcome->error.toStdString();
        EXPECT_EQ(outcome->reached, c.reached);
        EXPECT_EQ(outcome->unavailable, c.unavailable);
    }
    // What was sent: the record in its envelope, without an empty
    // interaction id.
    const QByteArray body = server.requests().last().body;
    EXPECT_TRUE(body.contains("\"Documentation\"")) << body.left(200).toStdString();
    EXPECT_FALSE(body.contains("interaction_id"));
}

TEST(ClinicSender, RefusalsThatARetryCannotMendAreFinal) {
    for (int status : {400, 404, 405, 409, 410, 413, 415, 422, 451})
        EXPECT_TRUE(kcIsFinalRefusal(status)) << status;
    for (int status : {200, 301, 401, 403, 408, 429, 500, 502, 503, 504})
        EXPECT_FALSE(kcIsFinalRefusal(status)) << status;
}

// Stands in for the EMR client: records what it is given and files it.
class RecordingEmr : public EMRAPIDelegate {
public:
    void setKelvraKeychain(const QVariantMap &) override {}
    void setEmrData(const QVariantMap &) override {}
    void updateAuthStatus() override {}
    void initWithBaseURL(const QUrl &) override {}
    bool respondsToFileDocument() const override { return true; }
    EMRFilingCancel fileDocument(const QVariantMap &record, const QVariantMap &appointmentInfo,
                                 const QString &, bool lookFirst, EMRFilingCallback done) override {
        QMutexLocker lock(&mutex);
        filed.append({record, appointmentInfo, lookFirst, QThread::currentThread() != qApp->thread()});
        done({EMRFilingOutcome::Filed, QStringLiteral("77"), QString(), true});
        return {};
    }
    struct Call {
        QVariantMap record;
        QVariantMap appointmentInfo;
        bool lookFirst;
        bool offMainThread;
    };
    QMutex mutex;
    QList<Call> filed;
};

TEST(EmrSender, TheChartGetsTheListedPatientWithTheRecordsIdsOrNothing) {
    auto emr = std::make_shared<RecordingEmr>();
    EMRAPIClient::sharedEMRAPIClient().setDelegate(emr);
    const QVariantMap ann{{"name", "Ann Smith"},    {"dob", "1970-01-01"},
                          {"kelvraID", "4711"},     {"emr_patient_id", "31007"},
                          {"interaction_id", "88"}, {"exam_room_name", "Exam 3"}};
    QVariantMap annTomorrow = ann;
    annTomorrow.insert("interaction_id", "95");
    std::optional<QVariantList> today;
    const auto sender = emrDocumentationSender([&today] { return today; });
    DocumentationUploadQueue::Entry entry;
    entry.destination = DocumentationUploadQueue::kEMR;
    entry.record = emrDocumentationRecord(ann, "left forearm");
    entry.patient = kcPatientIds(ann);
    entry.mayHaveReached = true;
    auto attempt = [&] {
        std::optional<Outcome> outcome;
        sender(entry, [&](const Outcome &o) { outcome = o; });
        EXPECT_TRUE(kcWaitFor([&] { return outcome.has_value(); }, 10000));
        return outcome.value_or(Outcome::failed("no answer"));
    };

    // Before the first list, and with the patient not (or no longer) on it:
    // kept, not sent, and the reason said.
    for (const std::optional<QVariantList> &list :
         {std::optional<QVariantList>(), std::optional<QVariantList>(QVariantList{annTomorrow}),
          std::optional<QVariantList>(QVariantList{ann, ann})}) {
        today = list;
        const Outcome outcome = attempt();
        EXPECT_EQ(outcome.kind, Outcome::Failed);
        EXPECT_FALSE(outcome.reached);
        EXPECT_FALSE(outcome.error.isEmpty());
    }
    EXPECT_TRUE(emr->filed.isEmpty());
    EXPECT_TRUE(attempt().error.contains("list")) << "names the patient list";

    today = QVariantList{annTomorrow, ann};
    EXPECT_EQ(attempt().kind, Outcome::Filed);
    QMutexLocker lock(&emr->mutex);
    ASSERT_EQ(emr->filed.size(), 1);
    EXPECT_EQ(emr->filed[0].appointmentInfo, ann) << "the live entry: name and date of birth from the list";
    EXPECT_EQ(emr->filed[0].record, entry.record);
    EXPECT_TRUE(emr->filed[0].lookFirst);
    EXPECT_TRUE(emr->filed[0].offMainThread) << "the PDF is made off the GUI thread";
    EMRAPIClient::sharedEMRAPIClient().setDelegate(nullptr);
}

} // namespace
