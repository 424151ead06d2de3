// The clinic web service under "/api/": cookie sessions, configuration,
// assignments, exam rooms, profile images and documentation.

#include "demo/demo_server.h"

#include <QBuffer>
#include <QFile>
#include <QJsonArray>
#include <QRandomGenerator>
#include <QTimeZone>

namespace {

const QString kTimeFormat = QStringLiteral("yyyy-MM-dd HH:mm:ss");
constexpr int kMaxImageSide = 2048;
constexpr qint64 kMaxWindowDays = 31;
constexpr qsizetype kMaxCachedPortraits = 512;

QByteArray newToken() {
    QByteArray bytes(16, Qt::Uninitialized);
    QRandomGenerator::system()->fillRange(reinterpret_cast<quint32 *>(bytes.data()), 4);
    return bytes.toHex();
}

QByteArray pngBytes(const QImage &image) {
    QByteArray bytes;
    QBuffer buffer(&bytes);
    buffer.open(QIODevice::WriteOnly);
    image.save(&buffer, "PNG");
    return bytes;
}

// A UTC wall-clock time as the client sends it; invalid when it is not one.
QDateTime parseWireTime(const QString &text) {
    const QDateTime local = QDateTime::fromString(text, kTimeFormat);
    if (!local.isValid())
        return {};
    return QDateTime(local.date(), local.time(), QTimeZone::utc());
}

QString textOf(const QJsonValue &value) {
    if (value.isString())
        return value.toString();
    if (value.isDouble())
        return QString::number(value.toDouble(), 'g', 17);
    return {};
}

} // namespace

QByteArray DemoServer::sessionCookieHeader(const QByteArray &token, bool expire) const {
    QByteArray header = demo::kSessionCookie.toLatin1() + '=' + (expire ? QByteArray("deleted") : token) +
                        "; Path=/; HttpOnly";
    if (expire)
        header += "; Max-Age=0";
    if (m_options.https)
        header += "; Secure";
    return header;
}

DemoReply DemoServer::handleClinic(const DemoRequest &request, QJsonObject &logEntry) {
    const QString route = request.path.mid(QStringLiteral("/api/").size());
    const QByteArray token = request.cookie(demo::kSessionCookie.toLatin1());
    const bool known = !token.isEmpty() && m_sessions.contains(token);

    if (route == QLatin1String("users/clinicLogin")) {
        logEntry.insert(QStringLiteral("had_session"), known);
        if (request.method != "POST")
            return DemoReply::error(405, QStringLiteral("users/clinicLogin takes a POST"));
        return clinicLogin(request);
    }
    if (!known)
        return DemoReply::error(403, QStringLiteral("not signed in, or the session has expired"));
    Session &session = m_sessions[token];
    if (m_options.expireSessionsAfter > 0 && session.requestsUsed >= m_options.expireSessionsAfter) {
        m_sessions.remove(token);
        return DemoReply::error(403, QStringLiteral("the session has expired"));
    }
    ++session.requestsUsed;
    logEntry.insert(QStringLiteral("had_session"), true);

    auto only = [&](const char *method) { return request.method == method; };
    auto wrongMethod = [&](const char *method) {
        return DemoReply::error(405, QStringLiteral("%1 takes %2").arg(route, QLatin1String(method)));
    };
    if (route == QLatin1String("users/logout")) {
        if (!only("GET") && !only("POST"))
            return wrongMethod("GET");
        return clinicLogout(request);
    }
    if (route == QLatin1String("clinic_active_ios_users/updateConfig"))
        return only("GET") ? clinicConfiguration(request) : wrongMethod("GET");
    if (route == QLatin1String("clinic_patient_device_assignments/capture/") ||
        route == QLatin1String("clinic_patient_device_assignments/capture"))
        return only("GET") ? clinicAssignments(request) : wrongMethod("GET");
    if (route == QLatin1String("clinic_exam_rooms") || route == QLatin1String("clinic_exam_rooms/"))
        return only("GET") ? DemoReply::json({{QStringLiteral("data"), m_clinic.examRoomsJson()}})
                           : wrongMethod("GET");
    if (route == QLatin1String("documentations/") || route == QLatin1String("documentations"))
        return only("POST") ? clinicDocumentations(request) : wrongMethod("POST");
    if (route.startsWith(QLatin1String("uploads/getFile/")))
        return only("GET") ? clinicImage(request.segmentsAfter(QStringLiteral("/api/uploads/getFile/")))
                           : wrongMethod("GET");
    return DemoReply::error(404, QStringLiteral("no such resource: %1").arg(request.path));
}

DemoReply DemoServer::clinicLogin(const DemoRequest &request) {
    const QJsonDocument doc = QJsonDocument::fromJson(request.body);
    const QJsonObject body = doc.object();
    QJsonValue user = body.value(QStringLiteral("data[User][username]"));
    QJsonValue password = body.value(QStringLiteral("data[User][password]"));
    if (user.isUndefined() && password.isUndefined()) {
        const QJsonObject nested =
            body.value(QStringLiteral("data")).toObject().value(QStringLiteral("User")).toObject();
        user = nested.value(QStringLiteral("username"));
        password = nested.value(QStringLiteral("password"));
    }
    if (!doc.isObject() || !user.isString() || !password.isString())
        return DemoReply::error(400, QStringLiteral("the sign-in body must be a JSON object with the texts "
                                                    "\"data[User][username]\" and \"data[User][password]\""));
    if (user.toString() != demo::kUserName || password.toString() != demo::kPassword)
        return DemoReply::json({{QStringLiteral("login"), QStringLiteral("fail")},
                                {QStringLiteral("message"), QStringLiteral("Wrong user name or password.")}});

    m_sessions.remove(request.cookie(demo::kSessionCookie.toLatin1()));
    const QByteArray token = newToken();
    m_sessions.insert(token, Session{user.toString(), 0});
    ++m_logins;
    DemoReply reply = DemoReply::json(
        {{QStringLiteral("login"), QStringLiteral("pass")},
         {QStringLiteral("user_id"), demo::kUserId},
         {QStringLiteral("User"), QJsonObject{{QStringLiteral("id"), demo::kUserId},
                                              {QStringLiteral("username"), demo::kUserName},
                                              {QStringLiteral("first_name"), QStringLiteral("Dana")},
                                              {QStringLiteral("last_name"), QStringLiteral("Whitfield")},
                                              {QStringLiteral("clinic_id"), QStringLiteral("3")}}}});
    reply.addHeader("Set-Cookie", sessionCookieHeader(token, false));
    return reply;
}

DemoReply DemoServer::clinicLogout(const DemoRequest &request) {
    m_sessions.remove(request.cookie(demo::kSessionCookie.toLatin1()));
    DemoReply reply = DemoReply::json({{QStringLiteral("logout"), QStringLiteral("ok")}});
    reply.addHeader("Set-Cookie", sessionCookieHeader({}, true));
    return reply;
}

QJsonObject DemoServer::configurationObject(const QString &base) const {
    if (m_options.emr == QLatin1String("fhir")) {
        // Without a key the clinicians sign in to the EHR themselves.
        const QJsonObject emrData =
            m_options.fhirPrivateKey.isEmpty()
                ? QJsonObject{{QStringLiteral("base_url"), m_options.fhirURL},
                              {QStringLiteral("launch"), QStringLiteral("standalone")},
                              {QStringLiteral("client_id"), m_options.fhirClientID},
                              {QStringLiteral("organization"), m_options.fhirOrganization}}
                : QJsonObject{{QStringLiteral("base_url"), m_options.fhirURL},
                              {QStringLiteral("launch"), QStringLiteral("backend")},
                              {QStringLiteral("client_id"), m_options.fhirClientID},
                              {QStringLiteral("key_id"), m_options.fhirKeyID},
                              {QStringLiteral("private_key"), m_options.fhirPrivateKey}};
        return {{QStringLiteral("emrData"), emrData},
                {QStringLiteral("kelvraKeychain"),
                 QJsonObject{{QStringLiteral("enabledEMR"), QStringLiteral("fhir")}}}};
    }
    if (m_options.emr != QLatin1String("athenahealth"))
        return {{QStringLiteral("emrData"), QJsonObject()},
                {QStringLiteral("kelvraKeychain"), QJsonValue::Null}};
    const QJsonArray providers = {
        QJsonObject{{QStringLiteral("providerid"), demo::kProviderIds[0]},
                    {QStringLiteral("displayname"), QStringLiteral("Amelia Hart, MD")}},
        QJsonObject{{QStringLiteral("providerid"), demo::kProviderIds[1]},
                    {QStringLiteral("displayname"), QStringLiteral("Rafael Ortega, DO")}},
        QJsonObject{{QStringLiteral("providerid"), demo::kProviderIds[2]},
                    {QStringLiteral("displayname"), QStringLiteral("Keiko Tanaka, NP")}},
    };
    return {
        {QStringLiteral("emrData"),
         QJsonObject{{QStringLiteral("base_url"), base + QStringLiteral("athena/v1/")},
                     {QStringLiteral("auth_url"), base + QStringLiteral("athena/oauth2/v1/token")},
                     {QStringLiteral("api_key"), demo::kEmrClientId},
                     {QStringLiteral("api_secret"), demo::kEmrClientSecret},
                     {QStringLiteral("emr_data_1"), demo::kPracticeId}}},
        {QStringLiteral("kelvraKeychain"),
         QJsonObject{{QStringLiteral("enabledEMR"), QStringLiteral("athenahealth")},
                     {QStringLiteral("authToken"), QStringLiteral("demo-starting-token")},
                     {QStringLiteral("departmentID"), demo::kDepartmentIds[0]},
                     {QStringLiteral("departmentIDs"), demo::kDepartmentIds.join(QLatin1Char(','))},
                     {QStringLiteral("providerIDs"), demo::kProviderIds.join(QLatin1Char(','))},
                     {QStringLiteral("allProvidersArray"), providers}}},
    };
}

DemoReply DemoServer::clinicConfiguration(const DemoRequest &request) const {
    const QByteArray text =
        QJsonDocument(configurationObject(serverBase(request))).toJson(QJsonDocument::Compact);
    return DemoReply::json({{QStringLiteral("data"), QString::fromUtf8(text)},
                            {QStringLiteral("ClinicActiveIosUser"),
                             QJsonObject{{QStringLiteral("user_id"), demo::kUserId},
                                         {QStringLiteral("enabled_emr"), m_options.emr}}}});
}

DemoReply DemoServer::clinicAssignments(const DemoRequest &request) const {
    bool hasBegin = false, hasEnd = false;
    const QString beginText = request.queryValue(QStringLiteral("begin_date"), &hasBegin);
    const QString endText = request.queryValue(QStringLiteral("end_date"), &hasEnd);
    if (!hasBegin || !hasEnd)
        return DemoReply::error(400, QStringLiteral("begin_date and end_date are required"));
    const QDateTime begin = parseWireTime(beginText);
    const QDateTime end = parseWireTime(endText);
    if (!begin.isValid() || !end.isValid())
        return DemoReply::error(
            400, QStringLiteral("begin_date and end_date must be UTC times written as "
                                "\"yyyy-MM-dd HH:mm:ss\" in Western digits; got \"%1\" and \"%2\"")
                     .arg(beginText, endText));
    if (end < begin)
        return DemoReply::error(400, QStringLiteral("end_date lies before begin_date"));
    if (begin.daysTo(end) > kMaxWindowDays)
        return DemoReply::error(400,
                                QStringLiteral("the window may span at most %1 days").arg(kMaxWindowDays));
    QJsonArray data;
    for (const DemoAssignment &a : m_clinic.assignmentsBetween(begin, end))
        data.append(m_clinic.assignmentJson(a));
    return DemoReply::json({{QStringLiteral("data"), data}});
}

DemoReply DemoServer::clinicDocumentations(const DemoRequest &request) {
    QJsonParseError parseError;
    const QJsonDocument doc = QJsonDocument::fromJson(request.body, &parseError);
    if (parseError.error != QJsonParseError::NoError || !doc.isObject())
        return DemoReply::error(400,
                                QStringLiteral("the body must be a JSON object of documentation records"));
    const QJsonObject envelope = doc.object();

    // Check every record before storing any, so that a request is stored
    // whole or not at all.
    QList<QPair<QJsonObject, QByteArray>> accepted;
    QStringList keys = envelope.keys();
    std::sort(keys.begin(), keys.end(),
              [](const QString &a, const QString &b) { return a.toInt() < b.toInt(); });
    for (const QString &key : keys) {
        bool numeric = false;
        key.toUInt(&numeric);
        const QJsonObject record =
            envelope.value(key).toObject().value(QStringLiteral("Documentation")).toObject();
        if (!numeric || record.isEmpty())
            return DemoReply::error(400, QStringLiteral("entry \"%1\" must be keyed by its index and hold a "
                                                        "\"Documentation\" object")
                                             .arg(key));
        const QJsonValue note = record.value(QStringLiteral("encounter_note"));
        if (!note.isUndefined() && !note.isString() && !note.isNull())
            return DemoReply::error(400,
                                    QStringLiteral("entry %1: \"encounter_note\" must be text").arg(key));
        const QJsonValue interaction = record.value(QStringLiteral("interaction_id"));
        if (!interaction.isUndefined() && textOf(interaction).isEmpty())
            return DemoReply::error(400,
                                    QStringLiteral("entry %1: \"interaction_id\" must be an id").arg(key));
        const QJsonArray uploads = record.value(QStringLiteral("Upload")).toArray();
        if (uploads.size() != 1 || !uploads[0].isObject())
            return DemoReply::error(
                400, QStringLiteral("entry %1: \"Upload\" must be an array of one upload").arg(key));
        const QJsonObject upload = uploads[0].toObject();
        const QJsonValue type = upload.value(QStringLiteral("file_type"));
        if (!type.isUndefined() && type.toString() != QLatin1String("image/png"))
            return DemoReply::error(
                415, QStringLiteral("entry %1: only \"image/png\" uploads are accepted").arg(key));
        const auto decoded =
            QByteArray::fromBase64Encoding(upload.value(QStringLiteral("content")).toString().toLatin1(),
                                           QByteArray::AbortOnBase64DecodingErrors);
        QImage image;
        if (!decoded || decoded.decoded.isEmpty() || !decoded.decoded.startsWith("\x89PNG\r\n\x1a\n") ||
            !image.loadFromData(decoded.decoded, "PNG"))
            return DemoReply::error(
                400, QStringLiteral("entry %1: \"content\" must be a PNG image as Base64 text").arg(key));
        accepted.append({record, decoded.decoded});
    }
    // Every record is stored as it arrives, a repeated id too (a client
    // retrying after a lost answer): /demo/state reports repeated ids.
    QJsonArray saved;
    for (const auto &[record, png] : accepted) {
        QString error;
        if (!m_store.storeDocumentation(record, png, &error))
            return DemoReply::error(507,
                                    QStringLiteral("the documentation could not be stored: %1").arg(error));
        saved.append(
            QJsonObject{{QStringLiteral("id"), record.value(QStringLiteral("id"))},
                        {QStringLiteral("stored_png_path"), m_store.documentations().last().pngPath}});
    }
    return DemoReply::json({{QStringLiteral("success"), true},
                            {QStringLiteral("saved"), int(saved.size())},
                            {QStringLiteral("documentations"), saved}});
}

DemoReply DemoServer::clinicImage(const QStringList &segments) const {
    if (segments.size() != 3)
        return DemoReply::error(
            400, QStringLiteral("the image path is uploads/getFile/<upload id>/<width>/<height>"));
    bool okWidth = false, okHeight = false;
    const int width = segments[1].toInt(&okWidth);
    const int height = segments[2].toInt(&okHeight);
    if (!okWidth || !okHeight || width < 1 || height < 1 || width > kMaxImageSide || height > kMaxImageSide)
        return DemoReply::error(
            400, QStringLiteral("width and height must be whole numbers from 1 to %1").arg(kMaxImageSide));
    if (const auto patient = m_clinic.patientForImage(segments[0])) {
        // Portraits never change: draw each size once.
        const QString key = segments.join(QLatin1Char('/'));
        if (!m_portraitCache.contains(key)) {
            if (m_portraitCache.size() >= kMaxCachedPortraits)
                m_portraitCache.clear();
            m_portraitCache.insert(key, pngBytes(DemoClinic::portrait(*patient, width, height)));
        }
        return DemoReply::bytes(m_portraitCache.value(key), "image/png");
    }
    // Uploaded documentation images are files of the service too.
    for (const StoredDocumentation &d : m_store.documentations()) {
        const QJsonArray uploads = d.record.value(QStringLiteral("Upload")).toArray();
        if (uploads.isEmpty() ||
            uploads[0].toObject().value(QStringLiteral("id")).toString() != segments[0] ||
            segments[0].isEmpty())
            continue;
        QImage image(d.pngPath);
        if (image.isNull())
            break;
        return DemoReply::bytes(
            pngBytes(image.scaled(width, height, Qt::KeepAspectRatio, Qt::SmoothTransformation)),
            "image/png");
    }
    return DemoReply::error(404, QStringLiteral("no upload with id \"%1\"").arg(segments[0]));
}
