// The athenahealth-compatible demo EMR under "/athena/": client-credentials
// tokens, document filing, encounters, patient search and patient photos.

#include "demo/demo_server.h"
#include "demo/multipart.h"

#include <QBuffer>
#include <QJsonArray>
#include <QRandomGenerator>
#include <QRegularExpression>

namespace {

constexpr qint64 kMaxEncounterDays = 31;
constexpr int kDefaultDocumentPage = 1500;
constexpr int kMaxDocumentPage = 5000;
const QString kDateFormat = QStringLiteral("MM/dd/yyyy");
const QStringList kDocumentSubclasses = {QStringLiteral("ENCOUNTERDOCUMENT_IMAGEDOC"),
                                         QStringLiteral("ENCOUNTERDOCUMENT_PROGRESSNOTE"),
                                         QStringLiteral("ENCOUNTERDOCUMENT_PATIENTCONSENT")};

QByteArray randomHex(int words) {
    QByteArray bytes(words * 4, Qt::Uninitialized);
    QRandomGenerator::system()->fillRange(reinterpret_cast<quint32 *>(bytes.data()), words);
    return bytes.toHex();
}

// A form-encoded body ("a=1&b=two+words").
QUrlQuery parseForm(QByteArray body) {
    body.replace('+', ' ');
    return QUrlQuery(QString::fromUtf8(body));
}

// Lower case without accents, for matching search terms against names.
QString foldForSearch(const QString &text) {
    QString folded;
    for (const QChar c : text.normalized(QString::NormalizationForm_D))
        if (c.category() != QChar::Mark_NonSpacing)
            folded.append(c.toLower());
    return folded.simplified();
}

QByteArray jpegBytes(const QImage &image) {
    QByteArray bytes;
    QBuffer buffer(&bytes);
    buffer.open(QIODevice::WriteOnly);
    image.save(&buffer, "JPEG", 85);
    return bytes;
}

DemoReply unauthorized(const QString &message) {
    DemoReply reply = DemoReply::json({{QStringLiteral("error"), QStringLiteral("Unauthorized")},
                                       {QStringLiteral("detailedmessage"), message}},
                                      401);
    reply.addHeader("WWW-Authenticate", "Bearer realm=\"demo EMR\", error=\"invalid_token\"");
    return reply;
}

} // namespace

DemoReply DemoServer::handleEmr(const DemoRequest &request) {
    if (request.path == QLatin1String("/athena/oauth2/v1/token")) {
        if (request.method != "POST")
            return DemoReply::error(405, QStringLiteral("the token endpoint takes a POST"));
        return emrToken(request);
    }
    const QStringList segments = request.segmentsAfter(QStringLiteral("/athena/v1/"));
    if (segments.isEmpty())
        return DemoReply::error(404, QStringLiteral("no such resource: %1").arg(request.path));
    if (!emrTokenValid(request))
        return unauthorized(QStringLiteral("a valid Bearer access token is required"));
    if (segments[0] != demo::kPracticeId)
        return DemoReply::error(404, QStringLiteral("unknown practice \"%1\"").arg(segments[0]));
    const QStringList rest = segments.mid(1);
    auto is = [&](std::initializer_list<const char *> shape) {
        if (rest.size() != qsizetype(shape.size()))
            return false;
        int i = 0;
        for (const char *s : shape) {
            if (s && rest[i] != QLatin1String(s))
                return false;
            ++i;
        }
        return true;
    };
    auto needs = [&](const char *method) {
        return request.method == method
                   ? DemoReply{}
                   : DemoReply::error(405,
                                      QStringLiteral("%1 takes %2").arg(request.path, QLatin1String(method)));
    };
    if (is({"patients", "search"})) {
        DemoReply r = needs("GET");
        return r.status == 405 ? r : emrSearch(request);
    }
    if (is({"patients", nullptr, "documents"})) {
        if (request.method == "GET")
            return emrListDocuments(request, rest[1]);
        DemoReply r = needs("POST");
        return r.status == 405 ? r : emrUploadDocument(request, segments[0], rest[1]);
    }
    if (is({"patients", nullptr, "photo"})) {
        DemoReply r = needs("GET");
        return r.status == 405 ? r : emrPhoto(request, rest[1]);
    }
    if (is({"chart", nullptr, "encounters"})) {
        DemoReply r = needs("GET");
        return r.status == 405 ? r : emrEncounters(request, rest[1]);
    }
    return DemoReply::error(404, QStringLiteral("no such resource: %1").arg(request.path));
}

DemoReply DemoServer::emrToken(const DemoRequest &request) {
    const QByteArray authorization = request.header("authorization");
    QString clientId, secret;
    if (authorization.startsWith("Basic ")) {
        const auto decoded = QByteArray::fromBase64Encoding(authorization.mid(6).trimmed(),
                                                            QByteArray::AbortOnBase64DecodingErrors);
        const QString pair = decoded ? QString::fromUtf8(decoded.decoded) : QString();
        const qsizetype colon = pair.indexOf(QLatin1Char(':'));
        if (colon >= 0) {
            clientId = pair.left(colon);
            secret = pair.mid(colon + 1);
        }
    }
    if (clientId != demo::kEmrClientId || secret != demo::kEmrClientSecret) {
        DemoReply reply = DemoReply::json({{QStringLiteral("error"), QStringLiteral("invalid_client")},
                                           {QStringLiteral("error_description"),
                                            QStringLiteral("Basic client credentials are missing or wrong")}},
                                          401);
        reply.addHeader("WWW-Authenticate", "Basic realm=\"demo EMR\"");
        return reply;
    }
    const QUrlQuery form = parseForm(request.body);
    if (!form.hasQueryItem(QStringLiteral("grant_type")))
        return DemoReply::json(
            {{QStringLiteral("error"), QStringLiteral("invalid_request")},
             {QStringLiteral("error_description"),
              QStringLiteral("the form-encoded body needs grant_type=client_credentials")}},
            400);
    if (form.queryItemValue(QStringLiteral("grant_type"), QUrl::FullyDecoded) !=
        QLatin1String("client_credentials"))
        return DemoReply::json({{QStringLiteral("error"), QStringLiteral("unsupported_grant_type")},
                                {QStringLiteral("error_description"),
                                 QStringLiteral("only grant_type=client_credentials is supported")}},
                               400);
    for (auto it = m_emrTokens.begin(); it != m_emrTokens.end();)
        it = it.value().hasExpired() ? m_emrTokens.erase(it) : std::next(it);
    const QByteArray token = randomHex(6);
    m_emrTokens.insert(token, QDeadlineTimer(qint64(m_options.emrTokenLifetime) * 1000));
    ++m_emrTokensIssued;
    return DemoReply::json({{QStringLiteral("access_token"), QString::fromLatin1(token)},
                            {QStringLiteral("refresh_token"), QString::fromLatin1(randomHex(8))},
                            {QStringLiteral("expires_in"), m_options.emrTokenLifetime},
                            {QStringLiteral("token_type"), QStringLiteral("Bearer")},
                            {QStringLiteral("scope"), QStringLiteral("athena/service/Athenanet.MDP.*")}});
}

bool DemoServer::emrTokenValid(const DemoRequest &request) {
    const QByteArray authorization = request.header("authorization");
    if (!authorization.startsWith("Bearer "))
        return false;
    const auto it = m_emrTokens.constFind(authorization.mid(7).trimmed());
    return it != m_emrTokens.constEnd() && !it.value().hasExpired();
}

DemoReply DemoServer::emrUploadDocument(const DemoRequest &request, const QString &practiceId,
                                        const QString &patientId) {
    if (patientId.isEmpty())
        return DemoReply::error(400, QStringLiteral("the patient id is missing from the path"));
    if (!m_clinic.patientForEmrId(patientId))
        return DemoReply::error(404, QStringLiteral("no patient with id \"%1\"").arg(patientId));
    const QByteArray boundary = multipartBoundary(request.header("content-type"));
    if (boundary.isEmpty())
        return DemoReply::error(415,
                                QStringLiteral("documents are sent as multipart/form-data with a boundary"));
    const MultipartBody body = parseMultipart(request.body, boundary);
    if (!body.ok())
        return DemoReply::error(400, QStringLiteral("malformed multipart body: %1").arg(body.error));

    QJsonObject fields{{QStringLiteral("patient_id"), patientId},
                       {QStringLiteral("practice_id"), practiceId}};
    const MultipartPart *attachment = nullptr;
    for (const MultipartPart &part : body.parts) {
        if (part.name == QLatin1String("attachmentcontents")) {
            if (attachment)
                return DemoReply::error(400, QStringLiteral("only one attachmentcontents part is accepted"));
            attachment = &part;
            continue;
        }
        if (part.hasFileName)
            return DemoReply::error(400, QStringLiteral("unexpected file part \"%1\"").arg(part.name));
        if (fields.contains(part.name))
            return DemoReply::error(400, QStringLiteral("the field \"%1\" is sent twice").arg(part.name));
        fields.insert(part.name, QString::fromUtf8(part.data));
    }
    const QString department = fields.value(QStringLiteral("departmentid")).toString();
    if (department.isEmpty())
        return DemoReply::error(400, QStringLiteral("the field departmentid is required"));
    if (!demo::kDepartmentIds.contains(department))
        return DemoReply::error(400, QStringLiteral("unknown departmentid \"%1\"").arg(department));
    const QString subclass = fields.value(QStringLiteral("documentsubclass")).toString();
    if (!kDocumentSubclasses.contains(subclass))
        return DemoReply::error(
            400, QStringLiteral("documentsubclass must be one of %1").arg(kDocumentSubclasses.join(", ")));
    if (fields.contains(QStringLiteral("autoclose"))) {
        const QString autoclose = fields.value(QStringLiteral("autoclose")).toString();
        if (autoclose != QLatin1String("true") && autoclose != QLatin1String("false"))
            return DemoReply::error(400, QStringLiteral("autoclose must be \"true\" or \"false\""));
    }
    if (fields.contains(QStringLiteral("appointmentid")) &&
        !QRegularExpression(QStringLiteral("^[0-9]+$"))
             .match(fields.value(QStringLiteral("appointmentid")).toString())
             .hasMatch())
        return DemoReply::error(400, QStringLiteral("appointmentid must be a number"));
    if (!attachment)
        return DemoReply::error(400, QStringLiteral("the file part attachmentcontents is required"));
    if (attachment->contentType.toLower() != "application/pdf")
        return DemoReply::error(
            415, QStringLiteral("attachmentcontents must be sent as application/pdf, not \"%1\"")
                     .arg(QString::fromUtf8(attachment->contentType)));
    if (!attachment->data.startsWith("%PDF-") || !attachment->data.right(1024).contains("%%EOF"))
        return DemoReply::error(400, QStringLiteral("attachmentcontents is not a PDF document"));
    fields.insert(QStringLiteral("attachment_filename"), attachment->fileName);
    fields.insert(QStringLiteral("attachment_content_type"), QString::fromUtf8(attachment->contentType));
    fields.insert(QStringLiteral("attachment_size"), attachment->data.size());

    // Every POST is filed, a repeated one too, as the real EMR does.
    QString documentId, error;
    if (!m_store.storeEmrDocument(fields, attachment->data, &documentId, &error))
        return DemoReply::error(507, QStringLiteral("the document could not be stored: %1").arg(error));
    return DemoReply::json({{QStringLiteral("documentid"), documentId}});
}

DemoReply DemoServer::emrListDocuments(const DemoRequest &request, const QString &patientId) const {
    if (!m_clinic.patientForEmrId(patientId))
        return DemoReply::error(404, QStringLiteral("no patient with id \"%1\"").arg(patientId));
    const QString department = request.queryValue(QStringLiteral("departmentid"));
    if (department.isEmpty())
        return DemoReply::error(400, QStringLiteral("departmentid is required"));
    const QString documentClass = request.queryValue(QStringLiteral("documentclass"));
    bool okOffset = true, okLimit = true;
    const QString offsetText = request.queryValue(QStringLiteral("offset"));
    const QString limitText = request.queryValue(QStringLiteral("limit"));
    const int offset = offsetText.isEmpty() ? 0 : offsetText.toInt(&okOffset);
    const int limit = limitText.isEmpty() ? kDefaultDocumentPage : limitText.toInt(&okLimit);
    if (!okOffset || !okLimit || offset < 0 || limit < 1 || limit > kMaxDocumentPage)
        return DemoReply::error(
            400, QStringLiteral("offset must be 0 or more and limit from 1 to %1").arg(kMaxDocumentPage));
    // The chart's documents of the department, oldest first, with the fields
    // a chart lists (the action note is history, not listed).
    QJsonArray all;
    for (const StoredEmrDocument &d : m_store.emrDocuments()) {
        const QJsonObject &f = d.fields;
        if (f.value(QStringLiteral("patient_id")).toString() != patientId ||
            f.value(QStringLiteral("departmentid")).toString() != department)
            continue;
        const QString subclass = f.value(QStringLiteral("documentsubclass")).toString();
        const QString klass = subclass.section(QLatin1Char('_'), 0, 0);
        if (!documentClass.isEmpty() && documentClass != klass)
            continue;
        QJsonObject listed{{QStringLiteral("documentid"), f.value(QStringLiteral("documentid"))},
                           {QStringLiteral("patientid"), patientId},
                           {QStringLiteral("departmentid"), department},
                           {QStringLiteral("documentclass"), klass},
                           {QStringLiteral("documentsubclass"), subclass},
                           {QStringLiteral("documentdate"), d.receivedAt.date().toString(kDateFormat)},
                           {QStringLiteral("status"),
                            f.value(QStringLiteral("autoclose")).toString() == QLatin1String("true")
                                ? QStringLiteral("CLOSED")
                                : QStringLiteral("REVIEW")},
                           {QStringLiteral("internalnote"), f.value(QStringLiteral("internalnote"))}};
        if (f.contains(QStringLiteral("appointmentid")))
            listed.insert(QStringLiteral("appointmentid"), f.value(QStringLiteral("appointmentid")));
        all.append(listed);
    }
    QJsonArray page;
    for (int i = offset; i < all.size() && page.size() < limit; ++i)
        page.append(all[i]);
    QJsonObject answer{{QStringLiteral("documents"), page}, {QStringLiteral("totalcount"), int(all.size())}};
    if (offset + page.size() < all.size()) {
        QUrlQuery next(request.query);
        next.removeAllQueryItems(QStringLiteral("offset"));
        next.addQueryItem(QStringLiteral("offset"), QString::number(offset + page.size()));
        answer.insert(QStringLiteral("next"),
                      request.path + QLatin1Char('?') + next.toString(QUrl::FullyEncoded));
    }
    return DemoReply::json(answer);
}

DemoReply DemoServer::emrEncounters(const DemoRequest &request, const QString &patientId) const {
    const auto patient = m_clinic.patientForEmrId(patientId);
    if (!patient)
        return DemoReply::error(404, QStringLiteral("no patient with id \"%1\"").arg(patientId));
    const QString department = request.queryValue(QStringLiteral("departmentid"));
    if (department.isEmpty())
        return DemoReply::error(400, QStringLiteral("departmentid is required"));
    const QDate start = QDate::fromString(request.queryValue(QStringLiteral("startdate")), kDateFormat);
    const QDate end = QDate::fromString(request.queryValue(QStringLiteral("enddate")), kDateFormat);
    if (!start.isValid() || !end.isValid())
        return DemoReply::error(400, QStringLiteral("startdate and enddate are required as MM/dd/yyyy"));
    if (end < start || start.daysTo(end) > kMaxEncounterDays)
        return DemoReply::error(
            400, QStringLiteral("enddate must lie within %1 days after startdate").arg(kMaxEncounterDays));
    QString provider = request.queryValue(QStringLiteral("providerid"));
    if (provider.isEmpty())
        provider = demo::kProviderIds[0];
    QJsonArray encounters;
    for (QDate day = start; day <= end; day = day.addDays(1)) {
        encounters.append(QJsonObject{
            {QStringLiteral("encounterid"),
             QString::number(qint64(day.toJulianDay() % 100000) * 1000 + patientId.toLongLong() % 1000)},
            {QStringLiteral("patientid"), patientId},
            {QStringLiteral("departmentid"), department},
            {QStringLiteral("providerid"), provider},
            {QStringLiteral("encounterdate"), day.toString(kDateFormat)},
            {QStringLiteral("encountertype"), QStringLiteral("VISIT")},
            {QStringLiteral("status"), QStringLiteral("OPEN")}});
    }
    return DemoReply::json(
        {{QStringLiteral("encounters"), encounters}, {QStringLiteral("totalcount"), int(encounters.size())}});
}

DemoReply DemoServer::emrSearch(const DemoRequest &request) const {
    const QString term = foldForSearch(request.queryValue(QStringLiteral("searchterm")));
    if (term.size() < 2)
        return DemoReply::error(400, QStringLiteral("searchterm needs at least two characters"));
    QJsonArray patients;
    for (const auto *list : {&m_clinic.patients(), &m_clinic.emrOnlyPatients()}) {
        for (const DemoPatient &p : *list) {
            if (p.emrPatientId.isEmpty())
                continue;
            const QString forwards = foldForSearch(p.firstName + QLatin1Char(' ') + p.lastName);
            const QString backwards = foldForSearch(p.lastName + QLatin1Char(' ') + p.firstName);
            if (!forwards.contains(term) && !backwards.contains(term) && p.emrPatientId != term)
                continue;
            // The EMR keeps names in upper case.
            QJsonObject patient{{QStringLiteral("firstname"), p.firstName.toUpper()},
                                {QStringLiteral("lastname"), p.lastName.toUpper()},
                                {QStringLiteral("patientid"), p.emrPatientId},
                                {QStringLiteral("currentdepartmentid"), p.emrDepartmentId},
                                {QStringLiteral("status"), QStringLiteral("active")}};
            if (!p.dob.isEmpty())
                patient.insert(QStringLiteral("dob"),
                               QDate::fromString(p.dob, QStringLiteral("yyyy-MM-dd")).toString(kDateFormat));
            patients.append(patient);
        }
    }
    return DemoReply::json(
        {{QStringLiteral("patients"), patients}, {QStringLiteral("totalcount"), int(patients.size())}});
}

DemoReply DemoServer::emrPhoto(const DemoRequest &request, const QString &patientId) const {
    const auto patient = m_clinic.patientForEmrId(patientId);
    if (!patient)
        return DemoReply::error(404, QStringLiteral("no patient with id \"%1\"").arg(patientId));
    if (patient->profileImageId.isEmpty())
        return DemoReply::error(404, QStringLiteral("the patient has no photo"));
    const QByteArray jpeg = jpegBytes(DemoClinic::portrait(*patient, 300, 300));
    if (request.queryValue(QStringLiteral("jpegoutput")) == QLatin1String("true"))
        return DemoReply::bytes(jpeg, "image/jpeg");
    return DemoReply::json({{QStringLiteral("image"), QString::fromLatin1(jpeg.toBase64())}});
}
