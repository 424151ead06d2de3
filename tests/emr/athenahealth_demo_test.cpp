// The registry and the athenahealth client against the demo EMR of
// kelvra-demo-service: configuration from the demo clinic service, token
// requests, document filing as one-page PDFs, renewal and dropped answers.

#include "emr/athenahealth_api_client.h"
#include "emr/emr_api_client.h"
#include "emr/emr_document_file.h"
#include "platform/core/notification_center.h"
#include "tests/support/qt_wait.h"

#include <QBuffer>
#include <QDir>
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QMutex>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QProcess>
#include <QTemporaryDir>
#include <QUuid>
#include <gtest/gtest.h>
#include <sys/stat.h>

namespace {

using Client = QDAthenahealthAPIClientForExtension;

// The demo service, one process for all tests of this file.
struct DemoService {
    QTemporaryDir home; // HOME (documents folder) and settings of the client
    QTemporaryDir data;
    QProcess process;
    QUrl url;
    QNetworkAccessManager nam;

    bool start() {
        qputenv("HOME", home.path().toUtf8());
        qputenv("XDG_CONFIG_HOME", home.filePath(".config").toUtf8());
        process.setProgram(QStringLiteral(KC_DEMO_SERVICE));
        process.setArguments({"--port", "0", "--data-dir", data.path()});
        process.setProcessChannelMode(QProcess::SeparateChannels);
        process.start();
        if (!process.waitForStarted(30000))
            return false;
        QByteArray out;
        const bool found = kcWaitFor(
            [&] {
                out += process.readAllStandardOutput();
                return out.contains("\n");
            },
            60000);
        const QByteArray prefix = "kelvra-demo-service listening on ";
        const QByteArray line = out.left(out.indexOf('\n'));
        if (!found || !line.startsWith(prefix))
            return false;
        url = QUrl(QString::fromUtf8(line.mid(prefix.size()).trimmed()));
        return url.isValid();
    }
    ~DemoService() {
        process.kill();
        process.waitForFinished(10000);
    }

    QByteArray call(const QByteArray &method, const QString &path, const QByteArray &body = {}) {
        QNetworkRequest request(url.resolved(QUrl(path)));
        request.setHeader(QNetworkRequest::ContentTypeHeader, "application/json");
        QNetworkReply *reply = nam.sendCustomRequest(request, method, body);
        kcWaitFor([&] { return reply->isFinished(); }, 60000);
        const QByteArray answer = reply->readAll();
        reply->deleteLater();
        return answer;
    }
    QVariantMap state() {
        return QJsonDocument::fromJson(call("GET", "/demo/state")).object().toVariantMap();
    }
    void faults(const QByteArray &json) { call("POST", "/demo/faults", json); }
};

DemoService *demo = nullptr;

class AthenaDemoTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        demo = new DemoService;
        ASSERT_TRUE(demo->start()) << "kelvra-demo-service did not start";
        // The configuration the clinic service hands out after sign-in.
        demo->call("POST", "/api/users/clinicLogin",
                   R"({"data":{"User":{"username":"demo","password":"capture"}}})");
        const QVariantMap answer =
            QJsonDocument::fromJson(demo->call("GET", "/api/clinic_active_ios_users/updateConfig"))
                .object()
                .toVariantMap();
        preferences =
            QJsonDocument::fromJson(answer.value("data").toString().toUtf8()).object().toVariantMap();
    }
    static void TearDownTestSuite() {
        delete demo;
        demo = nullptr;
    }

    void SetUp() override {
        ASSERT_TRUE(demo && !preferences.isEmpty());
        EMRAPIClient &registry = EMRAPIClient::sharedEMRAPIClient();
        // The client of the last test still holds its token: wait for the
        // answer to the token request made here, or it may arrive in the
        // middle of the test (after a fault expired every token, say).
        const auto earlier = std::dynamic_pointer_cast<Client>(registry.delegate());
        const QString earlierToken = earlier ? earlier->authToken() : QString();
        registry.extensionCheckCurrentEMR(preferences.value("emrData"), preferences);
        client = std::dynamic_pointer_cast<Client>(registry.delegate());
        ASSERT_TRUE(client);
        client->initWithBaseURL(QUrl(preferences.value("emrData").toMap().value("base_url").toString()));
        ASSERT_TRUE(kcWaitFor(
            [&] {
                const QString token = client->authToken();
                return !token.isEmpty() && token != earlierToken;
            },
            60000));
        progressToken = NotificationCenter::defaultCenter().addObserver(
            QDUploadProgressNotification, nullptr, [this](const Notification &n) {
                QMutexLocker locker(&progressLock);
                progress.append(n.userInfo.value(QDAthenaUploadProgressKey).toFloat());
            });
    }
    void TearDown() override { NotificationCenter::defaultCenter().removeObserver(progressToken); }

    static int tokensIssued() { return demo->state().value("emr_tokens_issued").toInt(); }
    static QVariantList documents() { return demo->state().value("emr_documents").toList(); }

    // A patient of the demo EMR in `department`.
    QVariantMap patientIn(const QString &department) {
        QVariantList found;
        client->searchForPatient(
            "an", [&](const QVariantList &p) { found = p; }, nullptr);
        EXPECT_TRUE(kcWaitFor([&] { return !found.isEmpty(); }, 60000));
        for (const QVariant &p : found)
            if (p.toMap().value("department_id") == department)
                return p.toMap();
        return {};
    }

    static QImage image(int w, int h) {
        QImage img(w, h, QImage::Format_RGB32);
        img.fill(QColor(10, 120, 240));
        return img;
    }
    static QString tiff(const QImage &img) {
        QByteArray bytes;
        QBuffer buffer(&bytes);
        buffer.open(QIODevice::WriteOnly);
        img.save(&buffer, "TIFF");
        return QString::fromLatin1(bytes.toBase64());
    }
    static QVariantMap record(const QString &entryID, const QString &content, const QString &note) {
        return {{"encounter_note", note},
                {"id", QUuid::createUuid().toString(QUuid::WithoutBraces).toUpper()},
                {"Upload", QVariantList{QVariantMap{{"id", entryID},
                                                    {"content", content},
                                                    {"file_type", "image/png"},
                                                    {"file_name", "macOSCapture_x"}}}}};
    }
    static QString newID() { return QUuid::createUuid().toString(QUuid::WithoutBraces).toUpper(); }

    struct Uploads {
        QList<KCHTTPURLResponse> responses;
        QList<KCError> errors;
    };
    std::shared_ptr<Uploads> upload(const QVariantList &records, const QVariantMap &visit,
                                    const QString &fileType = "image") {
        auto out = std::make_shared<Uploads>();
        client->uploadDocumentation(
            records, visit, fileType, [out](const KCHTTPURLResponse &r) { out->responses.append(r); },
            [out](const KCError &e) { out->errors.append(e); });
        return out;
    }

    static int modeOf(const QString &path) {
        struct stat st {};
        return ::stat(QFile::encodeName(path).constData(), &st) == 0 ? int(st.st_mode & 07777) : -1;
    }

    static QVariantMap preferences;
    std::shared_ptr<Client> client;
    QMutex progressLock;
    QList<float> progress;
    NotificationCenter::ObserverToken progressToken = 0;
};
QVariantMap AthenaDemoTest::preferences;

TEST_F(AthenaDemoTest, RegistryChoosesTheClientFromTheClinicConfiguration) {
    EXPECT_EQ(client, Client::sharedClient());
    EXPECT_EQ(client->practiceID(), "195900");
    EXPECT_EQ(client->selectedDepartmentID(), "1");
    EXPECT_EQ(client->selectedProviderIDs(), QStringList({"71", "86", "112"}));
    EXPECT_EQ(client->allProvidersArray().size(), 3);
    EXPECT_EQ(client->requestSerializer()->valueForHTTPHeaderField("Authorization"),
              "Bearer " + client->authToken());
}

TEST_F(AthenaDemoTest, FilesOneImageAsAOnePagePdf) {
    const QVariantMap patient = patientIn("21");
    ASSERT_FALSE(patient.isEmpty());
    const QString entryID = newID();
    const int tokensBefore = tokensIssued();
    const int documentsBefore = documents().size();

    // A patient entry as the capture panel passes it: no appointment and no
    // department of its own.
    auto result = upload({record(entryID, tiff(image(40, 30)), "left forearm")},
                         {{"name", "x"}, {"emr_patient_id", patient.value("emr_patient_id")}});
    ASSERT_TRUE(kcWaitFor([&] { return result->responses.size() + result->errors.size() == 1; }, 60000));
    ASSERT_TRUE(result->errors.isEmpty()) << result->errors.first().localizedDescription().toStdString();
    EXPECT_EQ(result->responses.first().statusCode(), 200);
    EXPECT_EQ(tokensIssued(), tokensBefore + 1) << "a fresh token for the document";

    const QVariantList docs = documents();
    ASSERT_EQ(docs.size(), documentsBefore + 1);
    const QVariantMap doc = docs.last().toMap();
    EXPECT_EQ(doc.value("patient_id"), patient.value("emr_patient_id"));
    EXPECT_EQ(doc.value("practice_id"), "195900");
    EXPECT_EQ(doc.value("actionnote"), entryID);
    EXPECT_EQ(doc.value("autoclose"), "true");
    EXPECT_EQ(doc.value("departmentid"), "1");
    EXPECT_EQ(doc.value("documentsubclass"), "ENCOUNTERDOCUMENT_IMAGEDOC");
    EXPECT_EQ(doc.value("internalnote"), "left forearm");
    EXPECT_FALSE(doc.contains("appointmentid"));
    EXPECT_EQ(doc.value("attachment_filename"), entryID.right(10) + ".pdf");
    EXPECT_EQ(doc.value("attachment_content_type"), "application/pdf");

    // What the EMR stored is one page of the image's size.
    QProcess pdftoppm;
    QTemporaryDir out;
    pdftoppm.start("pdftoppm", {"-r", "72", "-png", doc.value("pdf_path").toString(), out.filePath("p")});
    ASSERT_TRUE(pdftoppm.waitForFinished(60000));
    const QStringList pages = QDir(out.path()).entryList({"p*.png"});
    ASSERT_EQ(pages.size(), 1);
    EXPECT_EQ(QImage(out.filePath(pages.first())).size(), QSize(40, 30));

    // Once the EMR has it, no copy stays on this computer, and nothing went
    // to the Documents folder.
    const QString local = QDir(emrDocumentsDirectory()).filePath(entryID.right(10) + ".pdf");
    EXPECT_FALSE(QFile::exists(local));
    EXPECT_FALSE(QFile::exists(QDir(demo->home.filePath("Documents")).filePath(entryID.right(10) + ".pdf")));
    EXPECT_EQ(modeOf(emrDocumentsDirectory()), 0700);

    QMutexLocker locker(&progressLock);
    ASSERT_FALSE(progress.isEmpty());
    EXPECT_FLOAT_EQ(progress.last(), 1.0f);
    EXPECT_TRUE(std::is_sorted(progress.begin(), progress.end()));
}

TEST_F(AthenaDemoTest, AppointmentDecidesTheDepartment) {
    const QVariantMap patient = patientIn("21");
    ASSERT_FALSE(patient.isEmpty());
    const QString withAppointment = newID(), withoutAppointment = newID();
    auto a = upload({record(withAppointment, tiff(image(20, 10)), "")},
                    {{"emr_patient_id", patient.value("emr_patient_id")},
                     {"department_id", "21"},
                     {"ClinicPatientDeviceAssignment", QVariantMap{{"emr_appointment_id", "4411"}}}});
    ASSERT_TRUE(kcWaitFor([&] { return a->responses.size() + a->errors.size() == 1; }, 60000));
    // A patient of the search answer carries its own department.
    auto b = upload({record(withoutAppointment, tiff(image(20, 10)), "")}, patient);
    ASSERT_TRUE(kcWaitFor([&] { return b->responses.size() + b->errors.size() == 1; }, 60000));
    ASSERT_TRUE(a->errors.isEmpty() && b->errors.isEmpty());

    QVariantMap first, second;
    for (const QVariant &d : documents()) {
        if (d.toMap().value("actionnote") == withAppointment)
            first = d.toMap();
        if (d.toMap().value("actionnote") == withoutAppointment)
            second = d.toMap();
    }
    EXPECT_EQ(first.value("appointmentid"), "4411");
    EXPECT_EQ(first.value("departmentid"), "1");
    EXPECT_EQ(first.value("internalnote"), "");
    EXPECT_FALSE(second.contains("appointmentid"));
    EXPECT_EQ(second.value("departmentid"), "21");
}

TEST_F(AthenaDemoTest, TwoRecordsMakeTwoFilesTokensAndUploads) {
    const QVariantMap patient = patientIn("1");
    const QString one = newID(), two = newID();
    const int tokensBefore = tokensIssued(), documentsBefore = documents().size();
    auto result = upload({record(one, tiff(image(12, 12)), "one"), record(two, tiff(image(24, 8)), "two")},
                         {{"emr_patient_id", patient.value("emr_patient_id")}});
    ASSERT_TRUE(kcWaitFor([&] { return result->responses.size() + result->errors.size() == 2; }, 60000));
    EXPECT_EQ(result->responses.size(), 2);
    EXPECT_EQ(tokensIssued(), tokensBefore + 2);
    const QVariantList docs = documents();
    ASSERT_EQ(docs.size(), documentsBefore + 2);
    QStringList notes;
    for (const QVariant &d : docs.mid(documentsBefore))
        notes.append(d.toMap().value("internalnote").toString());
    notes.sort();
    EXPECT_EQ(notes, QStringList({"one", "two"}));
    const QDir docsDir(emrDocumentsDirectory());
    EXPECT_FALSE(docsDir.exists(one.right(10) + ".pdf"));
    EXPECT_FALSE(docsDir.exists(two.right(10) + ".pdf"));
}

TEST_F(AthenaDemoTest, OtherFileTypesAreSentAsTheyAre) {
    const QVariantMap patient = patientIn("1");
    const QByteArray pdf = emrRenderImagePDF(image(16, 16));
    const QString id = newID();
    auto result = upload({record(id, QString::fromLatin1(pdf.toBase64()), "raw")},
                         {{"emr_patient_id", patient.value("emr_patient_id")}}, "pdf");
    ASSERT_TRUE(kcWaitFor([&] { return result->responses.size() + result->errors.size() == 1; }, 60000));
    ASSERT_EQ(result->responses.size(), 1);
    EXPECT_FALSE(QFile::exists(QDir(emrDocumentsDirectory()).filePath(id.right(10) + ".pdf")));
    QFile stored(documents().last().toMap().value("pdf_path").toString());
    ASSERT_TRUE(stored.open(QIODevice::ReadOnly));
    EXPECT_EQ(stored.readAll(), pdf);
}

TEST_F(AthenaDemoTest, RefusedUploadReachesTheErrorCallback) {
    auto result = upload({record(newID(), tiff(image(8, 8)), "")}, {{"emr_patient_id", "999999"}});
    ASSERT_TRUE(kcWaitFor([&] { return result->responses.size() + result->errors.size() == 1; }, 60000));
    ASSERT_EQ(result->errors.size(), 1);
    EXPECT_EQ(result->errors.first()
                  .userInfo()
                  .value(CVFailingResponseErrorKey)
                  .value<KCHTTPURLResponse>()
                  .statusCode(),
              404);
}

TEST_F(AthenaDemoTest, ExpiredTokenIsRenewedAndTheSearchRepeated) {
    demo->faults(R"({"expire_emr_tokens": true})");
    const int tokensBefore = tokensIssued();
    QVariantList found;
    bool failed = false;
    client->searchForPatient(
        "an", [&](const QVariantList &p) { found = p; }, [&](const KCError &) { failed = true; });
    ASSERT_TRUE(kcWaitFor([&] { return !found.isEmpty() || failed; }, 60000));
    ASSERT_FALSE(failed);
    EXPECT_EQ(tokensIssued(), tokensBefore + 1);
    bool capitalised = false;
    for (const QVariant &p : found)
        capitalised |=
            p.toMap().value("pt_firstname") == "Siobhan" && p.toMap().value("pt_lastname") == "O'neill";
    EXPECT_TRUE(capitalised);
    QVariantList searches;
    for (const QVariant &r : demo->state().value("requests").toList())
        if (r.toMap().value("path").toString().endsWith("/patients/search"))
            searches.append(r);
    ASSERT_GE(searches.size(), 2);
    EXPECT_EQ(searches[searches.size() - 2].toMap().value("status"), 401);
    EXPECT_EQ(searches.last().toMap().value("status"), 200);
}

// The caller of a request answered 503 hears of it instead of waiting for
// ever.
TEST_F(AthenaDemoTest, UnavailableAnswerIsReported) {
    demo->faults(R"({"fail": 1, "status": 503, "path": "/photo"})");
    int successes = 0, failures = 0;
    client->getProfilePictureForPatient(
        "31014", [&](const QVariant &) { ++successes; }, [&](const KCError &) { ++failures; });
    ASSERT_TRUE(kcWaitFor([&] { return failures == 1; }, 60000));
    QVariant photo;
    client->getProfilePictureForPatient(
        "31014", [&](const QVariant &a) { photo = a; }, nullptr);
    ASSERT_TRUE(kcWaitFor([&] { return photo.isValid(); }, 60000));
    EXPECT_EQ(successes, 0);
    EXPECT_FALSE(photo.toByteArray().isEmpty());
}

} // namespace
