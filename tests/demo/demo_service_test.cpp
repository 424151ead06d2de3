// kelvra-demo-service started as a child process and driven over HTTP(S) on
// 127.0.0.1 with QNetworkAccessManager.

#include <gtest/gtest.h>

#include <QBuffer>
#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QImage>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QNetworkAccessManager>
#include <QNetworkCookieJar>
#include <QNetworkReply>
#include <QProcess>
#include <QRegularExpression>
#include <QSet>
#include <QSslCertificate>
#include <QSslConfiguration>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QTimeZone>
#include <QUrlQuery>
#include <memory>

#include "tests/support/qt_wait.h"

namespace {

constexpr int kStartMs = 60000;
constexpr int kReplyMs = 30000;

// One running service.
class DemoProcess {
public:
    explicit DemoProcess(const QStringList &extra = {}, const QString &dataDir = {}) {
        if (dataDir.isEmpty()) {
            m_tmp = std::make_unique<QTemporaryDir>();
            m_dataDir = m_tmp->path();
        } else {
            m_dataDir = dataDir;
        }
        m_process.start(QStringLiteral(KC_DEMO_SERVICE_BINARY),
                        QStringList{QStringLiteral("--port"), QStringLiteral("0"),
                                    QStringLiteral("--data-dir"), m_dataDir} +
                            extra);
        kcWaitFor([&] { return m_process.canReadLine() || m_process.state() == QProcess::NotRunning; },
                  kStartMs);
        m_firstLine = QString::fromUtf8(m_process.readLine()).trimmed();
        kcWaitFor([&] { return m_process.canReadLine() || m_process.state() == QProcess::NotRunning; },
                  kStartMs);
        m_secondLine = QString::fromUtf8(m_process.readLine()).trimmed();
        const QString prefix = QStringLiteral("kelvra-demo-service listening on ");
        if (m_firstLine.startsWith(prefix))
            m_url = QUrl(m_firstLine.mid(prefix.size()));
    }
    ~DemoProcess() {
        m_process.terminate();
        if (!m_process.waitForFinished(10000)) {
            m_process.kill();
            m_process.waitForFinished(10000);
        }
        // Sanitizer reports of the service end up on its error output.
        const QString errors = QString::fromLocal8Bit(m_process.readAllStandardError());
        EXPECT_FALSE(errors.contains(QStringLiteral("Sanitizer")) ||
                     errors.contains(QStringLiteral("runtime error")))
            << errors.toStdString();
    }
    QUrl url(const QString &path = {}) const { return m_url.resolved(QUrl(path)); }
    QString dataDir() const { return m_dataDir; }
    QString firstLine() const { return m_firstLine; }
    QString secondLine() const { return m_secondLine; }
    bool running() const { return m_process.state() == QProcess::Running; }

private:
    std::unique_ptr<QTemporaryDir> m_tmp;
    QString m_dataDir;
    QProcess m_process;
    QString m_firstLine, m_secondLine;
    QUrl m_url;
};

struct Answer {
    int status = 0;
    QNetworkReply::NetworkError error = QNetworkReply::NoError;
    QByteArray body;
    QByteArray contentType;
    QList<QNetworkReply::RawHeaderPair> headers;
    QJsonObject json() const { return QJsonDocument::fromJson(body).object(); }
    QByteArray header(const QByteArray &name) const {
        for (const auto &[key, value] : headers)
            if (key.compare(name, Qt::CaseInsensitive) == 0)
                return value;
        return {};
    }
};

// A client with its own cookie jar, like one desktop application.
class Client {
public:
    explicit Client(const DemoProcess &service) : m_service(service) {}

    Answer send(const QByteArray &method, const QString &path, const QByteArray &body = {},
                const QList<QPair<QByteArray, QByteArray>> &headers = {}) {
        QNetworkRequest request(m_service.url(path));
        request.setTransferTimeout(kReplyMs);
        if (!m_ssl.isNull())
            request.setSslConfiguration(m_ssl);
        for (const auto &[name, value] : headers)
            request.setRawHeader(name, value);
        QNetworkReply *reply = m_manager.sendCustomRequest(request, method, body);
        kcWaitFor([&] { return reply->isFinished(); }, kReplyMs + 5000);
        Answer answer;
        answer.status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
        answer.error = reply->error();
        answer.body = reply->readAll();
        answer.contentType = reply->header(QNetworkRequest::ContentTypeHeader).toByteArray();
        answer.headers = reply->rawHeaderPairs();
        reply->deleteLater();
        return answer;
    }
    Answer get(const QString &path, const QList<QPair<QByteArray, QByteArray>> &headers = {}) {
        return send("GET", path, {}, headers);
    }
    Answer postJson(const QString &path, const QJsonObject &object) {
        return send("POST", path, QJsonDocument(object).toJson(QJsonDocument::Compact),
                    {{"Content-Type", "application/json"}});
    }
    Answer login(const QString &user = QStringLiteral("demo"),
                 const QString &password = QStringLiteral("capture")) {
        return postJson(QStringLiteral("api/users/clinicLogin"),
                        {{QStringLiteral("data[User][username]"), user},
                         {QStringLiteral("data[User][password]"), password}});
    }
    void trust(const QSslConfiguration &ssl) { m_ssl = ssl; }

private:
    const DemoProcess &m_service;
    QNetworkAccessManager m_manager;
    QSslConfiguration m_ssl = QSslConfiguration();
};

QJsonObject state(Client &client) {
    return client.get(QStringLiteral("demo/state")).json();
}

// The configuration answer's "data", decoded from its JSON text.
QJsonObject preferences(Client &client) {
    const Answer answer = client.get(QStringLiteral("api/clinic_active_ios_users/updateConfig"));
    return QJsonDocument::fromJson(answer.json().value(QStringLiteral("data")).toString().toUtf8()).object();
}

QString wire(const QDateTime &utc) {
    return utc.toUTC().toString(QStringLiteral("yyyy-MM-dd HH:mm:ss"));
}

QString assignmentsPath(const QString &begin, const QString &end) {
    QUrlQuery query;
    query.addQueryItem(QStringLiteral("begin_date"), begin);
    query.addQueryItem(QStringLiteral("end_date"), end);
    return QStringLiteral("api/clinic_patient_device_assignments/capture/?") +
           query.toString(QUrl::FullyEncoded);
}

QByteArray pngOf(int width, int height, QColor color) {
    QImage image(width, height, QImage::Format_RGB32);
    image.fill(color);
    QByteArray bytes;
    QBuffer buffer(&bytes);
    buffer.open(QIODevice::WriteOnly);
    image.save(&buffer, "PNG");
    return bytes;
}

QJsonObject documentation(const QString &id, const QString &note, const QByteArray &content) {
    return {{QStringLiteral("encounter_note"), note},
            {QStringLiteral("interaction_id"), QStringLiteral("2026120802")},
            {QStringLiteral("id"), id},
            {QStringLiteral("Upload"),
             QJsonArray{QJsonObject{{QStringLiteral("id"), id + QStringLiteral("-U")},
                                    {QStringLiteral("content"), QString::fromLatin1(content.toBase64())},
                                    {QStringLiteral("user_id"), QStringLiteral("17")},
                                    {QStringLiteral("file_type"), QStringLiteral("image/png")}}}}};
}

QByteArray readFile(const QString &path) {
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray("<missing>");
}

const QByteArray kMinimalPdf = "%PDF-1.4\n1 0 obj<</Type/Catalog/Pages 2 0 R>>endobj\n"
                               "2 0 obj<</Type/Pages/Kids[3 0 R]/Count 1>>endobj\n"
                               "3 0 obj<</Type/Page/Parent 2 0 R/MediaBox[0 0 40 30]>>endobj\n"
                               "trailer<</Root 1 0 R>>\n%%EOF\n";

// A multipart body laid out as the application's HTTP layer sends it.
QByteArray multipart(const QByteArray &boundary, const QList<QPair<QByteArray, QByteArray>> &fields,
                     const QByteArray &file, const QByteArray &fileType = "application/pdf") {
    QByteArray body;
    bool first = true;
    auto open = [&] {
        body += (first ? "" : "\r\n") + QByteArray("--") + boundary + "\r\n";
        first = false;
    };
    for (const auto &[name, value] : fields) {
        open();
        body += "Content-Disposition: form-data; name=\"" + name + "\"\r\n\r\n" + value;
    }
    if (!file.isNull()) {
        open();
        body += "Content-Disposition: form-data; name=\"attachmentcontents\"; filename=\"5556666abc.pdf\"\r\n"
                "Content-Type: " +
                fileType + "\r\n\r\n" + file;
    }
    body += "\r\n--" + boundary + "--\r\n";
    return body;
}

const QList<QPair<QByteArray, QByteArray>> kDocumentFields = {
    {"actionnote", "AB6F1E0A-1111-2222-3333-444455556666"},
    {"autoclose", "true"},
    {"departmentid", "1"},
    {"documentsubclass", "ENCOUNTERDOCUMENT_IMAGEDOC"},
    {"internalnote", "Rash, left arm \xC3\xA9"}};

QByteArray basic(const QByteArray &user, const QByteArray &password) {
    return "Basic " + (user + ':' + password).toBase64();
}

// A token from the demo EMR, or an empty text.
QByteArray emrToken(Client &client) {
    const Answer answer =
        client.send("POST", QStringLiteral("athena/oauth2/v1/token"), "grant_type=client_credentials",
                    {{"Authorization", basic("kelvra-demo-client", "kelvra-demo-secret")},
                     {"Content-Type", "application/x-www-form-urlencoded"}});
    return answer.json().value(QStringLiteral("access_token")).toString().toLatin1();
}

} // namespace

TEST(DemoService, StartsWithTheDocumentedLinesAndRefusesBadOptions) {
    DemoProcess service;
    ASSERT_TRUE(service.url().isValid()) << service.firstLine().toStdString();
    EXPECT_TRUE(
        QRegularExpression(QStringLiteral("^kelvra-demo-service listening on http://127\\.0\\.0\\.1:\\d+/$"))
            .match(service.firstLine())
            .hasMatch())
        << service.firstLine().toStdString();
    EXPECT_EQ(service.secondLine(), QStringLiteral("demo user: demo  password: capture"));

    for (const QStringList &bad : {QStringList{QStringLiteral("--emr"), QStringLiteral("epic")},
                                   // A FHIR EHR needs its URL and the key to hand out.
                                   QStringList{QStringLiteral("--emr"), QStringLiteral("fhir")},
                                   QStringList{QStringLiteral("--fail-status"), QStringLiteral("abc")},
                                   QStringList{QStringLiteral("--host"), QStringLiteral("not an address")}}) {
        QProcess process;
        process.start(QStringLiteral(KC_DEMO_SERVICE_BINARY),
                      QStringList{QStringLiteral("--port"), QStringLiteral("0")} + bad);
        ASSERT_TRUE(process.waitForFinished(kStartMs)) << bad.join(' ').toStdString();
        EXPECT_EQ(process.exitCode(), 2) << bad.join(' ').toStdString();
        EXPECT_FALSE(process.readAllStandardError().isEmpty());
    }
}

TEST(DemoService, SignInKeepsACookieSessionUntilSignOut) {
    DemoProcess service;
    Client client(service);

    // Not signed in: everything but sign-in is refused with 403.
    EXPECT_EQ(client.get(QStringLiteral("api/clinic_exam_rooms")).status, 403);
    const Answer wrong = client.login(QStringLiteral("demo"), QStringLiteral("wrong"));
    EXPECT_EQ(wrong.status, 200);
    EXPECT_EQ(wrong.json().value(QStringLiteral("login")).toString(), QStringLiteral("fail"));
    EXPECT_TRUE(wrong.header("set-cookie").isEmpty());
    EXPECT_EQ(client.get(QStringLiteral("api/clinic_exam_rooms")).status, 403);

    // Malformed sign-in bodies are refused clearly.
    EXPECT_EQ(client
                  .send("POST", QStringLiteral("api/users/clinicLogin"), "not json",
                        {{"Content-Type", "application/json"}})
                  .status,
              400);
    EXPECT_EQ(
        client
            .postJson(QStringLiteral("api/users/clinicLogin"), {{QStringLiteral("data[User][username]"), 5}})
            .status,
        400);
    EXPECT_EQ(client.get(QStringLiteral("api/users/clinicLogin")).status, 405);

    const Answer pass = client.login();
    EXPECT_EQ(pass.status, 200);
    EXPECT_EQ(pass.json().value(QStringLiteral("login")).toString(), QStringLiteral("pass"));
    EXPECT_EQ(pass.json().value(QStringLiteral("user_id")).toString(), QStringLiteral("17"));
    EXPECT_TRUE(pass.header("set-cookie").startsWith("CAKEPHP="));

    const Answer rooms = client.get(QStringLiteral("api/clinic_exam_rooms"));
    ASSERT_EQ(rooms.status, 200);
    const QJsonArray roomList = rooms.json().value(QStringLiteral("data")).toArray();
    ASSERT_FALSE(roomList.isEmpty());
    EXPECT_FALSE(roomList[0]
                     .toObject()
                     .value(QStringLiteral("ClinicExamRoom"))
                     .toObject()
                     .value(QStringLiteral("id"))
                     .toString()
                     .isEmpty());

    // The configuration is JSON text pointing at the demo EMR of this server.
    const Answer config = client.get(QStringLiteral("api/clinic_active_ios_users/updateConfig"));
    ASSERT_EQ(config.status, 200);
    ASSERT_TRUE(config.json().value(QStringLiteral("data")).isString());
    const QJsonObject prefs =
        QJsonDocument::fromJson(config.json().value(QStringLiteral("data")).toString().toUtf8()).object();
    const QJsonObject emrData = prefs.value(QStringLiteral("emrData")).toObject();
    EXPECT_EQ(emrData.value(QStringLiteral("base_url")).toString(),
              service.url(QStringLiteral("athena/v1/")).toString());
    EXPECT_EQ(emrData.value(QStringLiteral("auth_url")).toString(),
              service.url(QStringLiteral("athena/oauth2/v1/token")).toString());
    for (const char *key : {"api_key", "api_secret", "emr_data_1"})
        EXPECT_FALSE(emrData.value(QLatin1String(key)).toString().isEmpty()) << key;
    const QJsonObject keychain = prefs.value(QStringLiteral("kelvraKeychain")).toObject();
    EXPECT_EQ(keychain.value(QStringLiteral("enabledEMR")).toString(), QStringLiteral("athenahealth"));
    EXPECT_EQ(keychain.value(QStringLiteral("departmentIDs")).toString().split(',').first(),
              keychain.value(QStringLiteral("departmentID")).toString());

    // A second client has a session of its own; signing out ends only the first.
    Client other(service);
    EXPECT_EQ(other.get(QStringLiteral("api/clinic_exam_rooms")).status, 403);
    ASSERT_EQ(other.login().status, 200);
    EXPECT_EQ(client.get(QStringLiteral("api/users/logout")).status, 200);
    EXPECT_EQ(client.get(QStringLiteral("api/clinic_exam_rooms")).status, 403);
    EXPECT_EQ(other.get(QStringLiteral("api/clinic_exam_rooms")).status, 200);
    EXPECT_EQ(client.get(QStringLiteral("api/no_such_thing")).status, 403);
    EXPECT_EQ(other.get(QStringLiteral("api/no_such_thing")).status, 404);

    const QJsonObject s = state(client);
    EXPECT_EQ(s.value(QStringLiteral("logins")).toInt(), 2);
    const QJsonArray requests = s.value(QStringLiteral("requests")).toArray();
    ASSERT_GE(requests.size(), 10);
    const QJsonObject first = requests[0].toObject();
    EXPECT_EQ(first.value(QStringLiteral("method")).toString(), QStringLiteral("GET"));
    EXPECT_EQ(first.value(QStringLiteral("path")).toString(), QStringLiteral("/api/clinic_exam_rooms"));
    EXPECT_EQ(first.value(QStringLiteral("status")).toInt(), 403);
    EXPECT_FALSE(first.value(QStringLiteral("had_session")).toBool());
    const QJsonObject last = requests.last().toObject();
    EXPECT_EQ(last.value(QStringLiteral("path")).toString(), QStringLiteral("/api/no_such_thing"));
    EXPECT_TRUE(last.value(QStringLiteral("had_session")).toBool());
    // The log keeps the sign-in body, but not the password in it.
    for (const QJsonValue &r : requests)
        EXPECT_FALSE(
            r.toObject().value(QStringLiteral("body")).toString().contains(QStringLiteral("capture")));
}

TEST(DemoService, AssignmentsFollowTheRequestedDay) {
    DemoProcess service;
    Client client(service);
    ASSERT_EQ(client.login().status, 200);

    // A local day in UTC-5 is sent as 05:00:00 to 04:59:59 of the next day.
    const QDateTime begin(QDate(2026, 12, 7), QTime(5, 0, 0), QTimeZone::utc());
    const QDateTime end = begin.addSecs(24 * 3600 - 1);
    const Answer answer = client.get(assignmentsPath(wire(begin), wire(end)));
    ASSERT_EQ(answer.status, 200) << answer.body.toStdString();
    const QJsonArray data = answer.json().value(QStringLiteral("data")).toArray();
    EXPECT_GE(data.size(), 15);
    EXPECT_LE(data.size(), 30);

    QSet<QString> roomIds;
    for (const QJsonValue &room :
         client.get(QStringLiteral("api/clinic_exam_rooms")).json().value(QStringLiteral("data")).toArray())
        roomIds.insert(room.toObject()
                           .value(QStringLiteral("ClinicExamRoom"))
                           .toObject()
                           .value(QStringLiteral("id"))
                           .toString());

    int nullDob = 0, noLink = 0, unknownRoom = 0, withImage = 0, accented = 0, apostrophe = 0, hyphen = 0;
    QMap<QString, int> visitsPerPatient;
    QSet<QString> interactions;
    QSet<QString> names;
    for (const QJsonValue &value : data) {
        const QJsonObject a = value.toObject();
        const QJsonObject assignment = a.value(QStringLiteral("ClinicPatientDeviceAssignment")).toObject();
        const QJsonObject patient = a.value(QStringLiteral("Patient")).toObject();
        const QDateTime time =
            QDateTime::fromString(assignment.value(QStringLiteral("appointment_time")).toString(),
                                  QStringLiteral("yyyy-MM-dd HH:mm:ss"));
        const QDateTime utc(time.date(), time.time(), QTimeZone::utc());
        EXPECT_TRUE(utc >= begin && utc <= end) << utc.toString().toStdString();
        ASSERT_TRUE(assignment.value(QStringLiteral("patient_id")).isString());
        ASSERT_TRUE(assignment.contains(QStringLiteral("emr_appointment_id")));
        ASSERT_TRUE(patient.value(QStringLiteral("EmrPatientLink")).isArray());
        const QString name = patient.value(QStringLiteral("first_name")).toString() + ' ' +
                             patient.value(QStringLiteral("last_name")).toString();
        ASSERT_FALSE(a.value(QStringLiteral("Interaction"))
                         .toObject()
                         .value(QStringLiteral("id"))
                         .toString()
                         .isEmpty());
        interactions.insert(
            a.value(QStringLiteral("Interaction")).toObject().value(QStringLiteral("id")).toString());
        nullDob += patient.value(QStringLiteral("dob")).isNull();
        noLink += patient.value(QStringLiteral("EmrPatientLink")).toArray().isEmpty();
        unknownRoom += !roomIds.contains(assignment.value(QStringLiteral("clinic_exam_room_id")).toString());
        withImage += patient.value(QStringLiteral("profile_image__upload_id")).isString();
        accented += name.normalized(QString::NormalizationForm_D) != name;
        apostrophe += name.contains('\'');
        hyphen += name.contains('-');
        ++visitsPerPatient[assignment.value(QStringLiteral("patient_id")).toString()];
        names.insert(name);
    }
    // Every day: a compound surname, a namesake pair, a parent and her child.
    for (const char *name : {"Patricia Van der Berg", "Maria Cruz", "Maria De La Cruz", "Laura Bennett",
                             "Noah Bennett", "Mary-Jane Smith-Jones"})
        EXPECT_TRUE(names.contains(QString::fromUtf8(name))) << name;
    EXPECT_GE(nullDob, 1);
    EXPECT_GE(noLink, 1);
    EXPECT_GE(unknownRoom, 1);
    EXPECT_GT(withImage, data.size() / 2);
    EXPECT_LT(withImage, data.size());
    EXPECT_GE(accented, 1);
    EXPECT_GE(apostrophe, 1);
    EXPECT_GE(hyphen, 1);
    EXPECT_EQ(interactions.size(), data.size());
    EXPECT_TRUE(std::any_of(visitsPerPatient.begin(), visitsPerPatient.end(), [](int n) { return n == 2; }));

    // The same day twice gives the same answer; a window outside the clinic's hours gives none.
    EXPECT_EQ(client.get(assignmentsPath(wire(begin), wire(end))).body, answer.body);
    const Answer night = client.get(assignmentsPath(wire(begin), wire(begin.addSecs(3600))));
    ASSERT_EQ(night.status, 200);
    EXPECT_TRUE(night.json().value(QStringLiteral("data")).toArray().isEmpty());

    // Profile images come as PNG of the requested size; unknown ids are 404.
    const QString imageId = [&] {
        for (const QJsonValue &v : data) {
            const QJsonValue id = v.toObject()
                                      .value(QStringLiteral("Patient"))
                                      .toObject()
                                      .value(QStringLiteral("profile_image__upload_id"));
            if (id.isString())
                return id.toString();
        }
        return QString();
    }();
    const Answer image = client.get(QStringLiteral("api/uploads/getFile/%1/250/250").arg(imageId));
    ASSERT_EQ(image.status, 200);
    EXPECT_EQ(image.contentType, QByteArray("image/png"));
    EXPECT_EQ(QImage::fromData(image.body, "PNG").size(), QSize(250, 250));
    EXPECT_EQ(client.get(QStringLiteral("api/uploads/getFile/nope/250/250")).status, 404);
    EXPECT_EQ(client.get(QStringLiteral("api/uploads/getFile/%1/0/99999").arg(imageId)).status, 400);

    // Dates that are not "yyyy-MM-dd HH:mm:ss" in Western digits, a reversed
    // window, or none at all, are refused.
    EXPECT_EQ(
        client.get(assignmentsPath(QStringLiteral("\u0662\u0660\u0662\u0666-12-07 05:00:00"), wire(end)))
            .status,
        400);
    EXPECT_EQ(client.get(assignmentsPath(wire(end), wire(begin))).status, 400);
    EXPECT_EQ(client.get(QStringLiteral("api/clinic_patient_device_assignments/capture/")).status, 400);
}

TEST(DemoService, DocumentationIsStoredDurablyAndShownOnThePage) {
    QTemporaryDir dataDir;
    const QByteArray png1 = pngOf(40, 30, Qt::red);
    const QByteArray png2 = pngOf(20, 10, Qt::blue);
    {
        DemoProcess service({}, dataDir.path());
        Client client(service);
        ASSERT_EQ(client.login().status, 200);
        const QJsonObject envelope{
            {QStringLiteral("0"),
             QJsonObject{{QStringLiteral("Documentation"),
                          documentation(QStringLiteral("0B6F1E0A-1111-2222-3333-444455556666"),
                                        QStringLiteral("<script>alert(1)</script> rash"), png1)}}},
            {QStringLiteral("1"),
             QJsonObject{{QStringLiteral("Documentation"),
                          documentation(QStringLiteral("../../escape"), QString(), png2)}}}};
        const Answer answer = client.postJson(QStringLiteral("api/documentations/"), envelope);
        ASSERT_EQ(answer.status, 200) << answer.body.toStdString();

        // Refused: not PNG, no Upload, not an envelope; nothing of them is stored.
        QJsonObject notPng = documentation(QStringLiteral("X"), QString(), "GIF89a");
        EXPECT_EQ(
            client
                .postJson(QStringLiteral("api/documentations/"),
                          {{QStringLiteral("0"), QJsonObject{{QStringLiteral("Documentation"), notPng}}}})
                .status,
            400);
        EXPECT_EQ(client
                      .postJson(QStringLiteral("api/documentations/"),
                                {{QStringLiteral("0"),
                                  QJsonObject{{QStringLiteral("Documentation"),
                                               QJsonObject{{QStringLiteral("id"), QStringLiteral("Y")}}}}}})
                      .status,
                  400);
        EXPECT_EQ(client
                      .send("POST", QStringLiteral("api/documentations/"), "[1,2]",
                            {{"Content-Type", "application/json"}})
                      .status,
                  400);
        EXPECT_EQ(client.postJson(QStringLiteral("api/documentations/"), {}).status, 200);

        const QJsonArray stored = state(client).value(QStringLiteral("documentations")).toArray();
        ASSERT_EQ(stored.size(), 2);
        const QJsonObject first = stored[0].toObject();
        EXPECT_EQ(first.value(QStringLiteral("id")).toString(),
                  QStringLiteral("0B6F1E0A-1111-2222-3333-444455556666"));
        EXPECT_EQ(first.value(QStringLiteral("interaction_id")).toString(), QStringLiteral("2026120802"));
        const QString png1Path = first.value(QStringLiteral("stored_png_path")).toString();
        EXPECT_EQ(readFile(png1Path), png1);
        EXPECT_TRUE(png1Path.startsWith(dataDir.path()));
        // One folder per day, and a hostile id stays inside the data folder.
        EXPECT_TRUE(QRegularExpression(QStringLiteral("/documentations/\\d{4}-\\d{2}-\\d{2}/[^/]+\\.png$"))
                        .match(png1Path)
                        .hasMatch());
        const QString png2Path = stored[1].toObject().value(QStringLiteral("stored_png_path")).toString();
        EXPECT_TRUE(QFileInfo(png2Path).absoluteFilePath().startsWith(QDir(dataDir.path()).absolutePath() +
                                                                      "/documentations/"));
        EXPECT_EQ(readFile(png2Path), png2);
        EXPECT_EQ(
            QJsonDocument::fromJson(readFile(first.value(QStringLiteral("stored_json_path")).toString()))
                .object()
                .value(QStringLiteral("encounter_note")),
            first.value(QStringLiteral("encounter_note")));
        EXPECT_EQ(QFileInfo(png1Path).permissions() & (QFileDevice::ReadOther | QFileDevice::ReadGroup),
                  QFileDevice::Permissions());
    }
    // After a restart the filed documentation is still there.
    DemoProcess again({}, dataDir.path());
    Client client(again);
    const QJsonArray stored = state(client).value(QStringLiteral("documentations")).toArray();
    ASSERT_EQ(stored.size(), 2);
    const Answer page = client.get(QString());
    ASSERT_EQ(page.status, 200);
    EXPECT_TRUE(page.contentType.startsWith("text/html"));
    const QString html = QString::fromUtf8(page.body);
    EXPECT_TRUE(html.contains(QStringLiteral("&lt;script&gt;alert(1)&lt;/script&gt; rash")));
    EXPECT_FALSE(html.contains(QStringLiteral("<script>")));
    EXPECT_TRUE(html.contains(QStringLiteral("Margaret Thompson")) ||
                html.contains(QStringLiteral("visit 2026120802")));
    EXPECT_TRUE(html.contains(QStringLiteral("/demo/documentations/0.png")));
    EXPECT_EQ(client.get(QStringLiteral("demo/documentations/0.png")).body, png1);
    EXPECT_EQ(client.get(QStringLiteral("demo/documentations/7.png")).status, 404);
    EXPECT_EQ(client.get(QStringLiteral("demo/documentations/..%2F..%2Fetc%2Fpasswd")).status, 404);
}

// Like a real service, the demo stores every POST as it arrives, a repeated
// id too, and reports the repeats in /demo/state, so that tests see
// duplicates instead of having them hidden.
TEST(DemoService, EveryUploadIsStoredAndRepeatsAreReported) {
    QTemporaryDir dataDir;
    const QByteArray png = pngOf(30, 20, Qt::green);
    const QString id = QStringLiteral("5C0FFEE0-1111-2222-3333-444455556666");
    auto envelopeOf = [&](const QList<QJsonObject> &records) {
        QJsonObject envelope;
        for (qsizetype i = 0; i < records.size(); ++i)
            envelope.insert(QString::number(i), QJsonObject{{QStringLiteral("Documentation"), records[i]}});
        return envelope;
    };
    const QByteArray boundary = "Boundary+0123456789ABCDEF";
    const QString documents = QStringLiteral("athena/v1/195900/patients/31007/documents");
    {
        DemoProcess service({}, dataDir.path());
        Client client(service);
        ASSERT_EQ(client.login().status, 200);
        const Answer first = client.postJson(QStringLiteral("api/documentations/"),
                                             envelopeOf({documentation(id, QStringLiteral("first"), png)}));
        ASSERT_EQ(first.status, 200) << first.body.toStdString();
        EXPECT_TRUE(first.json().value(QStringLiteral("success")).toBool());
        const QJsonArray confirmed = first.json().value(QStringLiteral("documentations")).toArray();
        ASSERT_EQ(confirmed.size(), 1);
        EXPECT_EQ(confirmed[0].toObject().value(QStringLiteral("id")).toString(), id)
            << "the stored id is named";
        EXPECT_TRUE(state(client).value(QStringLiteral("repeated_documentation_ids")).toArray().isEmpty());
        const Answer retry =
            client.postJson(QStringLiteral("api/documentations/"),
                            envelopeOf({documentation(id, QStringLiteral("second"), png),
                                        documentation(QStringLiteral("OTHER-1"), QString(), png)}));
        ASSERT_EQ(retry.status, 200) << retry.body.toStdString();
        const QJsonObject after = state(client);
        EXPECT_EQ(after.value(QStringLiteral("documentations")).toArray().size(), 3) << "stored as it came";
        const QJsonArray repeated = after.value(QStringLiteral("repeated_documentation_ids")).toArray();
        ASSERT_EQ(repeated.size(), 1);
        EXPECT_EQ(repeated[0].toObject().value(QStringLiteral("id")).toString(), id);
        EXPECT_EQ(repeated[0].toObject().value(QStringLiteral("count")).toInt(), 2);

        // The EMR files the same document twice and says so.
        const QByteArray bearer = "Bearer " + emrToken(client);
        auto post = [&] {
            return client.send(
                "POST", documents, multipart(boundary, kDocumentFields, kMinimalPdf),
                {{"Authorization", bearer}, {"Content-Type", "multipart/form-data; boundary=" + boundary}});
        };
        const Answer emrFirst = post();
        ASSERT_EQ(emrFirst.status, 200) << emrFirst.body.toStdString();
        const Answer emrSecond = post();
        ASSERT_EQ(emrSecond.status, 200);
        EXPECT_NE(emrSecond.json().value(QStringLiteral("documentid")).toString(),
                  emrFirst.json().value(QStringLiteral("documentid")).toString());
        const QJsonObject emrState = state(client);
        EXPECT_EQ(emrState.value(QStringLiteral("emr_documents")).toArray().size(), 2);
        const QJsonArray repeatedEmr = emrState.value(QStringLiteral("repeated_emr_documents")).toArray();
        ASSERT_EQ(repeatedEmr.size(), 1);
        EXPECT_EQ(repeatedEmr[0].toObject().value(QStringLiteral("actionnote")).toString(),
                  QStringLiteral("AB6F1E0A-1111-2222-3333-444455556666"));
        EXPECT_EQ(repeatedEmr[0].toObject().value(QStringLiteral("count")).toInt(), 2);
    }
    // Still after a restart: the stored records are loaded again.
    DemoProcess again({}, dataDir.path());
    Client client(again);
    ASSERT_EQ(client.login().status, 200);
    const QJsonObject reloaded = state(client);
    EXPECT_EQ(reloaded.value(QStringLiteral("documentations")).toArray().size(), 3);
    EXPECT_EQ(reloaded.value(QStringLiteral("repeated_documentation_ids")).toArray().size(), 1);
    EXPECT_EQ(reloaded.value(QStringLiteral("repeated_emr_documents")).toArray().size(), 1);
}

// The patient's documents as the chart lists them: by department, in pages,
// with the internal note (where the client marks its captures).
TEST(DemoService, EmrListsAPatientsDocumentsInPages) {
    DemoProcess service;
    Client client(service);
    const QByteArray boundary = "Boundary+0123456789ABCDEF";
    const QByteArray bearer = "Bearer " + emrToken(client);
    const QString documents = QStringLiteral("athena/v1/195900/patients/31007/documents");
    for (int i = 0; i < 3; ++i) {
        auto fields = kDocumentFields;
        fields.last().second = "note " + QByteArray::number(i);
        ASSERT_EQ(client
                      .send("POST", documents, multipart(boundary, fields, kMinimalPdf),
                            {{"Authorization", bearer},
                             {"Content-Type", "multipart/form-data; boundary=" + boundary}})
                      .status,
                  200);
    }
    auto list = [&](const QString &query) {
        return client.send("GET", documents + QLatin1Char('?') + query, {}, {{"Authorization", bearer}});
    };
    EXPECT_EQ(client.send("GET", documents + QStringLiteral("?departmentid=1"), {}, {}).status, 401);
    EXPECT_EQ(list(QString()).status, 400) << "departmentid is required";
    const Answer all = list(QStringLiteral("departmentid=1"));
    ASSERT_EQ(all.status, 200) << all.body.toStdString();
    EXPECT_EQ(all.json().value(QStringLiteral("totalcount")).toInt(), 3);
    const QJsonArray docs = all.json().value(QStringLiteral("documents")).toArray();
    ASSERT_EQ(docs.size(), 3);
    EXPECT_EQ(docs[2].toObject().value(QStringLiteral("internalnote")).toString(), QStringLiteral("note 2"));
    EXPECT_EQ(docs[0].toObject().value(QStringLiteral("documentclass")).toString(),
              QStringLiteral("ENCOUNTERDOCUMENT"));
    EXPECT_FALSE(docs[0].toObject().value(QStringLiteral("documentid")).toString().isEmpty());
    const Answer page = list(QStringLiteral("departmentid=1&offset=1&limit=1"));
    ASSERT_EQ(page.status, 200);
    EXPECT_EQ(page.json().value(QStringLiteral("documents")).toArray().size(), 1);
    EXPECT_EQ(page.json()
                  .value(QStringLiteral("documents"))
                  .toArray()[0]
                  .toObject()
                  .value("internalnote")
                  .toString(),
              QStringLiteral("note 1"));
    EXPECT_TRUE(page.json().value(QStringLiteral("next")).toString().contains(QStringLiteral("offset=2")));
    EXPECT_EQ(list(QStringLiteral("departmentid=21")).json().value(QStringLiteral("totalcount")).toInt(), 0);
    EXPECT_EQ(list(QStringLiteral("departmentid=1&limit=0")).status, 400);
    EXPECT_EQ(client
                  .send("GET", QStringLiteral("athena/v1/195900/patients/99999999/documents?departmentid=1"),
                        {}, {{"Authorization", bearer}})
                  .status,
              404);
}

TEST(DemoService, EmrTokensAreIssuedForClientCredentialsAndExpire) {
    DemoProcess service({QStringLiteral("--emr-token-lifetime"), QStringLiteral("1800")});
    Client client(service);
    const QString token = QStringLiteral("athena/oauth2/v1/token");
    const QByteArray form = "application/x-www-form-urlencoded";
    EXPECT_EQ(client
                  .send("POST", token, "grant_type=client_credentials",
                        {{"Authorization", basic("kelvra-demo-client", "nope")}, {"Content-Type", form}})
                  .status,
              401);
    EXPECT_EQ(client.send("POST", token, "grant_type=client_credentials", {{"Content-Type", form}}).status,
              401);
    const Answer noGrant = client.send(
        "POST", token, "scope=x",
        {{"Authorization", basic("kelvra-demo-client", "kelvra-demo-secret")}, {"Content-Type", form}});
    EXPECT_EQ(noGrant.status, 400);
    EXPECT_EQ(noGrant.json().value(QStringLiteral("error")).toString(), QStringLiteral("invalid_request"));
    EXPECT_EQ(client
                  .send("POST", token, "grant_type=password",
                        {{"Authorization", basic("kelvra-demo-client", "kelvra-demo-secret")},
                         {"Content-Type", form}})
                  .json()
                  .value(QStringLiteral("error"))
                  .toString(),
              QStringLiteral("unsupported_grant_type"));

    const Answer good = client.send(
        "POST", token, "grant_type=client_credentials",
        {{"Authorization", basic("kelvra-demo-client", "kelvra-demo-secret")}, {"Content-Type", form}});
    ASSERT_EQ(good.status, 200);
    const QJsonObject answer = good.json();
    EXPECT_FALSE(answer.value(QStringLiteral("access_token")).toString().isEmpty());
    EXPECT_FALSE(answer.value(QStringLiteral("refresh_token")).toString().isEmpty());
    EXPECT_EQ(answer.value(QStringLiteral("expires_in")).toInt(), 1800);

    const QString search = QStringLiteral("athena/v1/195900/patients/search?searchterm=mu%C3%B1oz");
    const QByteArray bearer = "Bearer " + answer.value(QStringLiteral("access_token")).toString().toLatin1();
    EXPECT_EQ(client.get(search).status, 401);
    EXPECT_EQ(client.get(search, {{"Authorization", "Bearer made-up"}}).status, 401);
    EXPECT_EQ(client.get(search, {{"Authorization", bearer}}).status, 200);
    EXPECT_EQ(
        client.postJson(QStringLiteral("demo/faults"), {{QStringLiteral("expire_emr_tokens"), true}}).status,
        200);
    EXPECT_EQ(client.get(search, {{"Authorization", bearer}}).status, 401);

    const QJsonObject s = state(client);
    EXPECT_EQ(s.value(QStringLiteral("emr_tokens_issued")).toInt(), 1);
    const QJsonArray requests = s.value(QStringLiteral("requests")).toArray();
    const QJsonObject tokenRequest = requests[4].toObject();
    EXPECT_EQ(tokenRequest.value(QStringLiteral("path")).toString(),
              QStringLiteral("/athena/oauth2/v1/token"));
    // The log names the scheme; the client secret and tokens stay out of it.
    EXPECT_EQ(tokenRequest.value(QStringLiteral("authorization")).toString(), QStringLiteral("Basic"));
    const QByteArray stateText = client.get(QStringLiteral("demo/state")).body;
    EXPECT_FALSE(stateText.contains(basic("kelvra-demo-client", "kelvra-demo-secret").mid(6)));
    EXPECT_FALSE(stateText.contains(answer.value(QStringLiteral("access_token")).toString().toLatin1()));

    // Tokens with no lifetime are refused at once.
    DemoProcess shortLived({QStringLiteral("--emr-token-lifetime"), QStringLiteral("0")});
    Client other(shortLived);
    const QByteArray expired = emrToken(other);
    ASSERT_FALSE(expired.isEmpty());
    EXPECT_EQ(other.get(search, {{"Authorization", "Bearer " + expired}}).status, 401);
}

TEST(DemoService, EmrAcceptsMultipartPdfDocumentsAndRefusesOthers) {
    DemoProcess service;
    Client client(service);
    const QByteArray bearer = "Bearer " + emrToken(client);
    const QString documents = QStringLiteral("athena/v1/195900/patients/31007/documents");
    const QByteArray boundary = "Boundary+0123456789ABCDEF";
    const QByteArray type = "multipart/form-data; boundary=" + boundary;
    auto post = [&](const QString &path, const QByteArray &body, const QByteArray &contentType = {}) {
        return client.send(
            "POST", path, body,
            {{"Authorization", bearer}, {"Content-Type", contentType.isEmpty() ? type : contentType}});
    };

    const Answer accepted = post(documents, multipart(boundary, kDocumentFields, kMinimalPdf));
    ASSERT_EQ(accepted.status, 200) << accepted.body.toStdString();
    const QString documentId = accepted.json().value(QStringLiteral("documentid")).toString();
    EXPECT_FALSE(documentId.isEmpty());
    // With an appointment id as well.
    auto withAppointment = kDocumentFields;
    withAppointment.insert(1, {"appointmentid", "1234567"});
    withAppointment[0].second = "AB6F1E0A-1111-2222-3333-777788889999";
    ASSERT_EQ(post(documents, multipart(boundary, withAppointment, kMinimalPdf)).status, 200);

    // Refused: not a PDF, wrong part type, no department, unknown department,
    // no attachment, unknown patient, no patient, no boundary, broken body,
    // another practice.
    EXPECT_EQ(post(documents, multipart(boundary, kDocumentFields, pngOf(4, 4, Qt::red))).status, 400);
    EXPECT_EQ(post(documents, multipart(boundary, kDocumentFields, kMinimalPdf, "image/png")).status, 415);
    EXPECT_EQ(
        post(documents, multipart(boundary, kDocumentFields.mid(0, 2) + kDocumentFields.mid(3), kMinimalPdf))
            .status,
        400);
    auto badDepartment = kDocumentFields;
    badDepartment[2].second = "999";
    EXPECT_EQ(post(documents, multipart(boundary, badDepartment, kMinimalPdf)).status, 400);
    EXPECT_EQ(post(documents, multipart(boundary, kDocumentFields, QByteArray())).status, 400);
    EXPECT_EQ(post(QStringLiteral("athena/v1/195900/patients/424242/documents"),
                   multipart(boundary, kDocumentFields, kMinimalPdf))
                  .status,
              404);
    EXPECT_EQ(post(QStringLiteral("athena/v1/195900/patients//documents"),
                   multipart(boundary, kDocumentFields, kMinimalPdf))
                  .status,
              400);
    EXPECT_EQ(
        post(documents, multipart(boundary, kDocumentFields, kMinimalPdf), "multipart/form-data").status,
        415);
    EXPECT_EQ(post(documents, multipart(boundary, kDocumentFields, kMinimalPdf).chopped(40)).status, 400);
    EXPECT_EQ(post(QStringLiteral("athena/v1/1/patients/31007/documents"),
                   multipart(boundary, kDocumentFields, kMinimalPdf))
                  .status,
              404);
    EXPECT_TRUE(service.running());

    const QJsonArray stored = state(client).value(QStringLiteral("emr_documents")).toArray();
    ASSERT_EQ(stored.size(), 2);
    const QJsonObject doc = stored[0].toObject();
    EXPECT_EQ(doc.value(QStringLiteral("patient_id")).toString(), QStringLiteral("31007"));
    EXPECT_EQ(doc.value(QStringLiteral("practice_id")).toString(), QStringLiteral("195900"));
    for (const auto &[name, value] : kDocumentFields)
        EXPECT_EQ(doc.value(QString::fromLatin1(name)).toString(), QString::fromUtf8(value))
            << name.constData();
    EXPECT_FALSE(doc.contains(QStringLiteral("appointmentid")));
    EXPECT_FALSE(doc.contains(QStringLiteral("attachmentcontents")));
    EXPECT_EQ(doc.value(QStringLiteral("documentid")).toString(), documentId);
    EXPECT_EQ(readFile(doc.value(QStringLiteral("pdf_path")).toString()), kMinimalPdf);
    EXPECT_EQ(stored[1].toObject().value(QStringLiteral("appointmentid")).toString(),
              QStringLiteral("1234567"));

    const QString html = QString::fromUtf8(client.get(QString()).body);
    EXPECT_TRUE(html.contains(QStringLiteral("/demo/emr-documents/0.pdf")));
    EXPECT_EQ(client.get(QStringLiteral("demo/emr-documents/0.pdf")).body, kMinimalPdf);
}

TEST(DemoService, EmrSearchEncountersAndPhotos) {
    DemoProcess service;
    Client client(service);
    const QByteArray bearer = "Bearer " + emrToken(client);

    const Answer search = client.get(QStringLiteral("athena/v1/195900/patients/search?searchterm=o'neill"),
                                     {{"Authorization", bearer}});
    ASSERT_EQ(search.status, 200);
    const QJsonArray patients = search.json().value(QStringLiteral("patients")).toArray();
    ASSERT_EQ(patients.size(), 1);
    const QJsonObject patient = patients[0].toObject();
    EXPECT_EQ(patient.value(QStringLiteral("firstname")).toString(), QStringLiteral("SIOBHAN"));
    EXPECT_EQ(patient.value(QStringLiteral("lastname")).toString(), QStringLiteral("O'NEILL"));
    EXPECT_TRUE(QRegularExpression(QStringLiteral("^\\d\\d/\\d\\d/\\d{4}$"))
                    .match(patient.value(QStringLiteral("dob")).toString())
                    .hasMatch());
    EXPECT_FALSE(patient.value(QStringLiteral("patientid")).toString().isEmpty());
    EXPECT_FALSE(patient.value(QStringLiteral("currentdepartmentid")).toString().isEmpty());
    // Accents need not be typed.
    EXPECT_EQ(client
                  .get(QStringLiteral("athena/v1/195900/patients/search?searchterm=zoe"),
                       {{"Authorization", bearer}})
                  .json()
                  .value(QStringLiteral("patients"))
                  .toArray()
                  .size(),
              1);
    EXPECT_EQ(
        client.get(QStringLiteral("athena/v1/195900/patients/search"), {{"Authorization", bearer}}).status,
        400);

    const Answer encounters = client.get(
        QStringLiteral(
            "athena/v1/195900/chart/31007/"
            "encounters?departmentid=1&providerid=2&enddate=12%2F07%2F2026&startdate=12%2F07%2F2026"),
        {{"Authorization", bearer}});
    ASSERT_EQ(encounters.status, 200);
    const QJsonArray list = encounters.json().value(QStringLiteral("encounters")).toArray();
    ASSERT_EQ(list.size(), 1);
    EXPECT_EQ(list[0].toObject().value(QStringLiteral("encounterdate")).toString(),
              QStringLiteral("12/07/2026"));
    EXPECT_EQ(list[0].toObject().value(QStringLiteral("providerid")).toString(), QStringLiteral("2"));
    EXPECT_EQ(client
                  .get(QStringLiteral("athena/v1/195900/chart/31007/"
                                      "encounters?departmentid=1&startdate=2026-12-07&enddate=2026-12-07"),
                       {{"Authorization", bearer}})
                  .status,
              400);

    const Answer photo = client.get(QStringLiteral("athena/v1/195900/patients/31007/photo?jpegoutput=true"),
                                    {{"Authorization", bearer}});
    ASSERT_EQ(photo.status, 200);
    EXPECT_EQ(photo.contentType, QByteArray("image/jpeg"));
    EXPECT_FALSE(QImage::fromData(photo.body, "JPEG").isNull());
    EXPECT_EQ(client
                  .get(QStringLiteral("athena/v1/195900/patients/999999/photo?jpegoutput=true"),
                       {{"Authorization", bearer}})
                  .status,
              404);
}

TEST(DemoService, InjectedFaultsAndExpiringSessions) {
    DemoProcess service({QStringLiteral("--fail"), QStringLiteral("2"), QStringLiteral("--fail-status"),
                         QStringLiteral("503"), QStringLiteral("--fail-path"), QStringLiteral("exam_rooms"),
                         QStringLiteral("--expire-sessions-after"), QStringLiteral("3")});
    Client client(service);
    ASSERT_EQ(client.login().status, 200);
    EXPECT_EQ(client.get(QStringLiteral("api/clinic_exam_rooms")).status, 503);
    EXPECT_EQ(client.get(QStringLiteral("api/clinic_exam_rooms")).status, 503);
    EXPECT_EQ(client.get(QStringLiteral("api/clinic_exam_rooms")).status, 200); // 1st authenticated request
    EXPECT_EQ(client.get(QStringLiteral("api/clinic_exam_rooms")).status, 200);
    EXPECT_EQ(client.get(QStringLiteral("api/clinic_active_ios_users/updateConfig")).status, 200);
    EXPECT_EQ(client.get(QStringLiteral("api/clinic_exam_rooms")).status,
              403); // the session used up its 3 requests
    ASSERT_EQ(client.login().status, 200);
    EXPECT_EQ(client.get(QStringLiteral("api/clinic_exam_rooms")).status, 200);

    // At run time: the next request of any path fails once with 500.
    const Answer set = client.postJson(QStringLiteral("demo/faults"),
                                       {{QStringLiteral("fail"), 1}, {QStringLiteral("status"), 500}});
    ASSERT_EQ(set.status, 200) << set.body.toStdString();
    EXPECT_EQ(client.get(QStringLiteral("api/users/logout")).status, 500);
    EXPECT_EQ(client.get(QStringLiteral("api/clinic_exam_rooms")).status, 200);
    // Every session can be ended at once.
    EXPECT_EQ(
        client.postJson(QStringLiteral("demo/faults"), {{QStringLiteral("expire_sessions"), true}}).status,
        200);
    EXPECT_EQ(client.get(QStringLiteral("api/clinic_exam_rooms")).status, 403);

    // The configuration can switch the EMR off.
    ASSERT_EQ(client.login().status, 200);
    EXPECT_EQ(
        client.postJson(QStringLiteral("demo/faults"), {{QStringLiteral("emr"), QStringLiteral("none")}})
            .status,
        200);
    const QJsonObject prefs = preferences(client);
    EXPECT_TRUE(prefs.value(QStringLiteral("emrData")).toObject().isEmpty());
    EXPECT_TRUE(prefs.value(QStringLiteral("kelvraKeychain")).isNull());

    // Delayed answers still arrive, and a client that gives up meanwhile does not hurt the server.
    EXPECT_EQ(client.postJson(QStringLiteral("demo/faults"), {{QStringLiteral("delay_ms"), 300}}).status,
              200);
    {
        QNetworkAccessManager manager;
        QNetworkReply *abandoned =
            manager.get(QNetworkRequest(service.url(QStringLiteral("api/clinic_exam_rooms"))));
        kcSpin(50);
        abandoned->abort();
        delete abandoned;
    }
    EXPECT_EQ(client.get(QStringLiteral("api/clinic_exam_rooms")).status, 200);
    kcSpin(500);
    EXPECT_TRUE(service.running());

    // Bad fault requests are refused without changing anything.
    for (const QByteArray &bad :
         {QByteArray("{\"fail\": -1}"), QByteArray("{\"status\": 42}"), QByteArray("{\"emr\": \"epic\"}"),
          QByteArray("{\"colour\": 1}"), QByteArray("[]"), QByteArray("nonsense")})
        EXPECT_EQ(
            client.send("POST", QStringLiteral("demo/faults"), bad, {{"Content-Type", "application/json"}})
                .status,
            400)
            << bad.constData();
    EXPECT_EQ(client.postJson(QStringLiteral("demo/faults"), {{QStringLiteral("reset_log"), true}}).status,
              200);
    const QJsonObject s = state(client);
    EXPECT_TRUE(s.value(QStringLiteral("requests")).toArray().isEmpty());
    EXPECT_EQ(s.value(QStringLiteral("logins")).toInt(), 0);
}

TEST(DemoService, ServesHttpsWithAGeneratedCertificate) {
    DemoProcess service({QStringLiteral("--https")});
    ASSERT_EQ(service.url().scheme(), QStringLiteral("https")) << service.firstLine().toStdString();
    const auto ca = QSslCertificate::fromPath(service.dataDir() + QStringLiteral("/tls/ca.pem"));
    ASSERT_EQ(ca.size(), 1);

    // Trusting only the written CA, the server's name is verified.
    QSslConfiguration ssl = QSslConfiguration::defaultConfiguration();
    ssl.setCaCertificates(ca);
    Client client(service);
    client.trust(ssl);
    const Answer pass = client.login();
    ASSERT_EQ(pass.error, QNetworkReply::NoError);
    EXPECT_EQ(pass.json().value(QStringLiteral("login")).toString(), QStringLiteral("pass"));
    EXPECT_TRUE(pass.header("set-cookie").contains("Secure"));
    EXPECT_EQ(client.get(QStringLiteral("api/clinic_exam_rooms")).status, 200);
    const QJsonObject prefs = preferences(client);
    EXPECT_TRUE(prefs.value(QStringLiteral("emrData"))
                    .toObject()
                    .value(QStringLiteral("base_url"))
                    .toString()
                    .startsWith("https://"));

    // Without the CA the connection is refused by the client.
    Client stranger(service);
    EXPECT_NE(stranger.login().error, QNetworkReply::NoError);

    // No private key stays on disk, and the CA can vouch for this computer
    // only: trusting it makes no other site trusted.
    const QStringList files = QDir(service.dataDir() + QStringLiteral("/tls")).entryList(QDir::Files);
    EXPECT_EQ(files, QStringList{QStringLiteral("ca.pem")});
    QDirIterator all(service.dataDir(), QDir::Files | QDir::Hidden, QDirIterator::Subdirectories);
    while (all.hasNext())
        EXPECT_FALSE(readFile(all.next()).contains("PRIVATE KEY")) << all.filePath().toStdString();
    QProcess openssl;
    openssl.start(QStringLiteral("openssl"),
                  {QStringLiteral("x509"), QStringLiteral("-noout"), QStringLiteral("-text"),
                   QStringLiteral("-in"), service.dataDir() + QStringLiteral("/tls/ca.pem")});
    ASSERT_TRUE(openssl.waitForFinished(kStartMs));
    const QString text = QString::fromUtf8(openssl.readAllStandardOutput());
    EXPECT_TRUE(text.contains(QStringLiteral("X509v3 Name Constraints: critical"))) << text.toStdString();
    EXPECT_TRUE(text.contains(QStringLiteral("IP:127.0.0.0/255.0.0.0"))) << text.toStdString();
    EXPECT_TRUE(text.contains(QStringLiteral("DNS:localhost"))) << text.toStdString();
}

namespace {

// Sends `bytes` on a new connection to the service and returns what came
// back before the service closed it or `timeoutMs` passed.
QByteArray rawExchange(const DemoProcess &service, const QByteArray &bytes, int timeoutMs = kReplyMs) {
    QTcpSocket socket;
    socket.connectToHost(QHostAddress::LocalHost, quint16(service.url().port()));
    if (!socket.waitForConnected(kReplyMs))
        return "<no connection>";
    socket.write(bytes);
    QByteArray answer;
    kcWaitFor(
        [&] {
            socket.waitForReadyRead(10);
            answer += socket.readAll();
            const qsizetype end = answer.indexOf("\r\n\r\n");
            if (end < 0)
                return socket.state() == QAbstractSocket::UnconnectedState;
            const QRegularExpression length(QStringLiteral("(?i)content-length:\\s*(\\d+)"));
            const auto match = length.match(QString::fromLatin1(answer.left(end)));
            return !match.hasMatch() || answer.size() >= end + 4 + match.captured(1).toLongLong();
        },
        timeoutMs);
    return answer;
}

} // namespace

// DNS rebinding: a web page whose name has been pointed at 127.0.0.1 reaches
// the service with its own name in Host, and is refused.
TEST(DemoService, AnswersOnlyRequestsAddressedToThisComputer) {
    DemoProcess service;
    const QByteArray port = QByteArray::number(service.url().port());
    for (const QByteArray &host : {"127.0.0.1:" + port, "localhost:" + port, "[::1]:" + port}) {
        const QByteArray answer =
            rawExchange(service, "GET /demo/state HTTP/1.1\r\nHost: " + host + "\r\n\r\n");
        EXPECT_TRUE(answer.startsWith("HTTP/1.1 200"))
            << host.constData() << ": " << answer.left(80).constData();
    }
    for (const QByteArray &host : QList<QByteArray>{"attacker.example:" + port, "attacker.example",
                                                    "10.1.2.3", "127.0.0.1.attacker.example"}) {
        const QByteArray answer =
            rawExchange(service, "POST /api/users/clinicLogin HTTP/1.1\r\nHost: " + host +
                                     "\r\nContent-Type: application/json\r\nContent-Length: 2\r\n\r\n{}");
        EXPECT_TRUE(answer.startsWith("HTTP/1.1 421"))
            << host.constData() << ": " << answer.left(80).constData();
    }
    const QByteArray noHost = rawExchange(service, "GET /demo/state HTTP/1.0\r\n\r\n");
    EXPECT_TRUE(noHost.startsWith("HTTP/1.1 421") || noHost.startsWith("HTTP/1.0 421"))
        << noHost.left(80).constData();
    Client client(service);
    EXPECT_TRUE(state(client).value(QStringLiteral("requests")).toArray().isEmpty()) << "nothing was handled";
}

// A web page may POST text or forms anywhere; the fault switch takes JSON
// only, which a page cannot send to another site unasked.
TEST(DemoService, FaultsTakeOnlyJson) {
    DemoProcess service;
    Client client(service);
    const QByteArray faults = R"({"fail": 5, "status": 500})";
    for (const QByteArray &type : QList<QByteArray>{"text/plain", "application/x-www-form-urlencoded",
                                                    "multipart/form-data; boundary=x"}) {
        const Answer refused =
            client.send("POST", QStringLiteral("demo/faults"), faults, {{"Content-Type", type}});
        EXPECT_EQ(refused.status, 415) << type.constData();
    }
    EXPECT_EQ(client.send("POST", QStringLiteral("demo/faults"), faults).status, 415) << "no type at all";
    EXPECT_EQ(state(client).value(QStringLiteral("fail_remaining")).toInt(), 0);
    EXPECT_EQ(client
                  .send("POST", QStringLiteral("demo/faults"), faults,
                        {{"Content-Type", "application/json; charset=utf-8"}})
                  .status,
              200);
    EXPECT_EQ(state(client).value(QStringLiteral("fail_remaining")).toInt(), 5);
}

// A body is refused on its announced length, before it is read.
TEST(DemoService, RequestBodiesAreCappedBeforeTheyAreRead) {
    DemoProcess service;
    const QByteArray host = "Host: 127.0.0.1:" + QByteArray::number(service.url().port()) + "\r\n";
    const QByteArray huge = rawExchange(service, "POST /api/documentations/ HTTP/1.1\r\n" + host +
                                                     "Content-Type: application/json\r\n"
                                                     "Content-Length: 10000000000\r\n\r\n{\"0\":");
    EXPECT_TRUE(huge.startsWith("HTTP/1.1 413")) << huge.left(80).constData();
    const QByteArray chunked = rawExchange(service, "POST /api/documentations/ HTTP/1.1\r\n" + host +
                                                        "Transfer-Encoding: chunked\r\n\r\n5\r\nhello\r\n");
    EXPECT_TRUE(chunked.startsWith("HTTP/1.1 411")) << chunked.left(80).constData();
    // Requests of ordinary size, one after another on one connection, pass.
    const QByteArray body = R"({"fail": 1})";
    const QByteArray request =
        "POST /demo/faults HTTP/1.1\r\n" + host +
        "Content-Type: application/json\r\nContent-Length: " + QByteArray::number(body.size()) + "\r\n\r\n" +
        body;
    const QByteArray two = rawExchange(service, request + request);
    EXPECT_TRUE(two.startsWith("HTTP/1.1 200")) << two.left(80).constData();
    EXPECT_TRUE(service.running());
}

TEST(DemoService, ListensOnOtherAddressesOnlyWhenAllowed) {
    QTemporaryDir data;
    QProcess process;
    process.start(QStringLiteral(KC_DEMO_SERVICE_BINARY),
                  {QStringLiteral("--port"), QStringLiteral("0"), QStringLiteral("--host"),
                   QStringLiteral("0.0.0.0"), QStringLiteral("--data-dir"), data.path()});
    ASSERT_TRUE(process.waitForFinished(kStartMs));
    EXPECT_EQ(process.exitCode(), 2);
    EXPECT_TRUE(process.readAllStandardError().contains("--allow-remote"));
    EXPECT_TRUE(process.readAllStandardOutput().isEmpty());
}
