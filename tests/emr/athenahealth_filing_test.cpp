// Filing one document into the chart through fileDocument(), against a
// scripted EMR on 127.0.0.1: what counts as filed, which refusals are final,
// the look-up of an earlier attempt's document and the cancellation of an
// attempt.

#include "emr/athenahealth_api_client.h"
#include "emr/emr_document_file.h"
#include "scripted_server.h"
#include "tests/support/qt_wait.h"
#include "tests/support/test_image.h"

#include <QDir>
#include <QFileInfo>
#include <QTemporaryDir>
#include <gtest/gtest.h>

namespace {

const QString kEntry = QStringLiteral("6F9619FF-8B86-D011-B42D-00C04FC964FF");
const QByteArray kDocuments = "/v1/195900/patients/3301/documents";

QVariantMap record(const QString &note = QStringLiteral("left arm")) {
    return {{"encounter_note", note},
            {"id", "A0000000-0000-0000-0000-000000000000"},
            {"Upload", QVariantList{QVariantMap{{"id", kEntry}, {"content", kcTestImageBase64("TIFF")}}}}};
}

class AthenaFilingTest : public ::testing::Test {
protected:
    void SetUp() override {
        qputenv("HOME", home.path().toUtf8());
        qputenv("XDG_CONFIG_HOME", home.filePath(".config").toUtf8());
        server.setHandler([this](const ScriptedRequest &r) -> std::optional<ScriptedAnswer> {
            if (r.path() == "/oauth/token")
                return ScriptedAnswer{
                    200, "application/json",
                    "{\"access_token\":\"tok\",\"refresh_token\":\"ref\",\"expires_in\":3600}"};
            if (r.path() == kDocuments && r.method == "GET")
                return listing
                           ? listing(r)
                           : ScriptedAnswer{200, "application/json", "{\"documents\":[],\"totalcount\":0}"};
            if (r.path() == kDocuments && r.method == "POST") {
                if (holdUpload)
                    return std::nullopt;
                return upload;
            }
            return ScriptedAnswer{404, "application/json", "{}"};
        });
        client = std::make_shared<QDAthenahealthAPIClientForExtension>(server.url("/v1"));
        client->setEmrData({{"base_url", server.url("/v1").toString()},
                            {"auth_url", server.url("/oauth/token").toString()},
                            {"api_key", "client-id"},
                            {"api_secret", "s3cret"},
                            {"emr_data_1", "195900"}});
        client->setKelvraKeychain({{"departmentID", "1"}});
        client->updateAuthStatus();
    }

    std::optional<EMRFilingOutcome> file(bool lookFirst, const QVariantMap &r = record()) {
        std::optional<EMRFilingOutcome> outcome;
        int calls = 0;
        client->fileDocument(r, {{"emr_patient_id", "3301"}}, "image", lookFirst,
                             [&](const EMRFilingOutcome &o) {
                                 outcome = o;
                                 ++calls;
                             });
        kcWaitFor([&] { return calls > 0; }, 30000);
        kcSpin(50);
        EXPECT_LE(calls, 1);
        return outcome;
    }
    int posts() const { return int(server.requestsTo(kDocuments).size()) - gets(); }
    int gets() const {
        int n = 0;
        for (const auto &r : server.requestsTo(kDocuments))
            n += r.method == "GET";
        return n;
    }

    QTemporaryDir home;
    ScriptedServer server;
    std::shared_ptr<QDAthenahealthAPIClientForExtension> client;
    ScriptedAnswer upload{200, "application/json", "{\"documentid\":\"150001\"}"};
    bool holdUpload = false;
    std::function<ScriptedAnswer(const ScriptedRequest &)> listing;
};

TEST_F(AthenaFilingTest, OnlyAnAnswerNamingTheNewDocumentCountsAsFiled) {
    struct Case {
        ScriptedAnswer answer;
        EMRFilingOutcome::Kind kind;
        bool reached;
        const char *shown = nullptr; // what the outcome's error says the EMR answered
    } cases[] = {
        {{200, "application/json", "{\"documentid\":\"150001\"}"}, EMRFilingOutcome::Filed, true},
        {{200, "application/json", "{\"documentid\":150002}"}, EMRFilingOutcome::Filed, true},
        {{200, "text/html", "<html><body>Welcome to the proxy</body></html>"},
         EMRFilingOutcome::Failed,
         true,
         "Welcome to the proxy"},
        {{200, "application/json", "{\"success\":false}"}, EMRFilingOutcome::Failed, true, "success"},
        {{201, "application/json", "{}"}, EMRFilingOutcome::Failed, true},
        {{500, "application/json", "{\"error\":\"boom\"}"}, EMRFilingOutcome::Failed, true, "boom"},
        {{502, "text/html", "<html><body>Bad gateway of the proxy</body></html>"},
         EMRFilingOutcome::Failed,
         true,
         "Bad gateway of the proxy"},
        {{400, "application/json", "{\"error\":\"bad department\"}"},
         EMRFilingOutcome::Refused,
         false,
         "bad department"},
        {{404, "application/json", "{}"}, EMRFilingOutcome::Refused, false},
        {{413, "text/plain", "too large"}, EMRFilingOutcome::Refused, false, "too large"},
        {{415, "application/json", "{}"}, EMRFilingOutcome::Refused, false},
        {{401, "application/json", "{}"}, EMRFilingOutcome::Failed, false},
        {{403, "application/json", "{}"}, EMRFilingOutcome::Failed, false},
        {{408, "application/json", "{}"}, EMRFilingOutcome::Failed, false},
        {{429, "application/json", "{}"}, EMRFilingOutcome::Failed, false},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.answer.status);
        SCOPED_TRACE(c.answer.body.toStdString());
        upload = c.answer;
        const auto outcome = file(false);
        ASSERT_TRUE(outcome);
        EXPECT_EQ(outcome->kind, c.kind) << outcome->error.toStdString();
        EXPECT_EQ(outcome->reached, c.reached);
        if (c.kind == EMRFilingOutcome::Filed)
            EXPECT_FALSE(outcome->documentID.isEmpty());
        else
            EXPECT_FALSE(outcome->error.isEmpty());
        if (c.shown) {
            EXPECT_TRUE(outcome->error.contains(c.shown)) << outcome->error.toStdString();
        }
    }
    EXPECT_EQ(gets(), 0) << "a first attempt does not look in the chart";
}

TEST_F(AthenaFilingTest, TheDocumentCarriesItsMarkInTheInternalNote) {
    ASSERT_EQ(file(false)->kind, EMRFilingOutcome::Filed);
    const ScriptedRequest post = server.requestsTo(kDocuments).last();
    EXPECT_TRUE(post.body.contains("left arm " + QDAthenaCaptureMark(kEntry).toUtf8()))
        << post.body.left(800).toStdString();
    EXPECT_TRUE(post.body.contains(kEntry.toUtf8())) << "the action note";
    ASSERT_EQ(file(false, record(QString()))->kind, EMRFilingOutcome::Filed);
    EXPECT_TRUE(server.requestsTo(kDocuments)
                    .last()
                    .body.contains("\r\n\r\n" + QDAthenaCaptureMark(kEntry).toUtf8()));
}

TEST_F(AthenaFilingTest, AnAttemptThatMayHaveArrivedLooksInTheChartFirst) {
    // The document is there, on the second page: nothing is sent again.
    listing = [](const ScriptedRequest &r) {
        const bool second = r.target.contains("offset=500");
        QByteArray docs;
        if (!second) {
            for (int i = 0; i < 500; ++i)
                docs += (i ? "," : "") + QByteArray("{\"documentid\":\"") + QByteArray::number(i) +
                        "\",\"internalnote\":\"other\"}";
        } else {
            docs = "{\"documentid\":\"777\",\"internalnote\":\"left arm " +
                   QDAthenaCaptureMark(kEntry).toUtf8() + "\"}";
        }
        return ScriptedAnswer{200, "application/json", "{\"documents\":[" + docs + "],\"totalcount\":501}"};
    };
    auto outcome = file(true);
    ASSERT_TRUE(outcome);
    EXPECT_EQ(outcome->kind, EMRFilingOutcome::Filed);
    EXPECT_EQ(outcome->documentID, "777");
    EXPECT_EQ(gets(), 2);
    EXPECT_EQ(posts(), 0);
    EXPECT_TRUE(server.requestsTo(kDocuments).first().target.contains("departmentid=1"));

    // Not there: sent once.
    listing = nullptr;
    outcome = file(true);
    EXPECT_EQ(outcome->kind, EMRFilingOutcome::Filed);
    EXPECT_EQ(posts(), 1);

    // The chart cannot be read: nothing is sent, the attempt fails.
    listing = [](const ScriptedRequest &) { return ScriptedAnswer{500, "application/json", "{}"}; };
    outcome = file(true);
    EXPECT_EQ(outcome->kind, EMRFilingOutcome::Failed);
    EXPECT_TRUE(outcome->reached);
    EXPECT_EQ(posts(), 1);
}

TEST_F(AthenaFilingTest, ACancelledAttemptStopsItsRequest) {
    holdUpload = true;
    std::optional<EMRFilingOutcome> outcome;
    const EMRFilingCancel cancel =
        client->fileDocument(record(), {{"emr_patient_id", "3301"}}, "image", false,
                             [&](const EMRFilingOutcome &o) { outcome = o; });
    ASSERT_TRUE(kcWaitFor([&] { return posts() == 1; }, 30000));
    ASSERT_TRUE(cancel);
    const QString pdf = QDir(emrDocumentsDirectory()).filePath(kEntry.right(10) + ".pdf");
    ASSERT_TRUE(QFileInfo::exists(pdf));
    cancel();
    EXPECT_FALSE(QFileInfo::exists(pdf)) << "the chart PDF goes with the discarded record, answer or not";
    ASSERT_TRUE(kcWaitFor([&] { return outcome.has_value(); }, 30000));
    EXPECT_EQ(outcome->kind, EMRFilingOutcome::Failed);
    EXPECT_TRUE(outcome->reached) << "the body may have arrived";
    // A late answer to the cancelled request changes nothing.
    server.answer(server.requestsTo(kDocuments).last().id,
                  {200, "application/json", "{\"documentid\":\"9\"}"});
    kcSpin(300);
    EXPECT_EQ(outcome->kind, EMRFilingOutcome::Failed);
}

TEST_F(AthenaFilingTest, WhatCanNeverBeFiledIsRefusedWithoutSending) {
    QVariantMap noContent = record();
    noContent["Upload"] = QVariantList{QVariantMap{{"id", kEntry}}};
    EXPECT_EQ(file(false, noContent)->kind, EMRFilingOutcome::Refused);
    std::optional<EMRFilingOutcome> outcome;
    client->fileDocument(record(), {{"emr_patient_id", ""}}, "image", false,
                         [&](const EMRFilingOutcome &o) { outcome = o; });
    ASSERT_TRUE(kcWaitFor([&] { return outcome.has_value(); }, 30000));
    EXPECT_EQ(outcome->kind, EMRFilingOutcome::Refused);
    EXPECT_FALSE(outcome->reached);
    EXPECT_EQ(posts(), 0);
}

} // namespace
