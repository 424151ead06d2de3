// The clinic sender of the upload queue against a scripted service on
// 127.0.0.1: only the service's confirmation of the stored record files it;
// final refusals are told apart from failures worth retrying.

#include "capture/documentation_upload.h"
#include "capture/upload_senders.h"
#include "clinic/kelvra_api_client.h"
#include "tests/emr/scripted_server.h"
#include "tests/support/qt_wait.h"

#include <QImage>
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
    entry.record = clinicDocumentationRecord(image, QString(""), "n", "17");
    const QByteArray id = entry.record.value("id").toString().toUtf8();

    struct Case {
        ScriptedAnswer answer;
        Outcome::Kind kind;
        bool reached;
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
        {{400, "application/json", "{}"}, Outcome::Refused, false},
        {{404, "text/html", "<h1>Not Found</h1>"}, Outcome::Refused, false},
        {{413, "text/plain", "too large"}, Outcome::Refused, false},
        {{415, "application/json", "{}"}, Outcome::Refused, false},
        {{401, "application/json", "{}"}, Outcome::Failed, false},
        {{408, "application/json", "{}"}, Outcome::Failed, false},
        {{429, "application/json", "{}"}, Outcome::Failed, false},
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

} // namespace
