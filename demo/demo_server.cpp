#include "demo/demo_server.h"

#include <QBuffer>
#include <QFile>
#include <QHostAddress>
#include <QHttpServerRequest>
#include <QHttpServerResponder>
#include <QImage>
#include <QMetaEnum>
#include <QPointer>
#include <QSslSocket>
#include <QTcpSocket>
#include <QTimer>

#include "demo/tls_setup.h"
#include "http/secure_url.h"

namespace {

constexpr int kMaxLoggedRequests = 20000;
constexpr int kMaxLoggedBody = 4096;

DemoRequest convertRequest(const QHttpServerRequest &request, QTcpSocket *socket) {
    DemoRequest r;
    const auto method = QMetaEnum::fromType<QHttpServerRequest::Method>();
    r.method = QByteArray(method.valueToKey(int(request.method()))).toUpper();
    if (r.method.isEmpty())
        r.method = "UNKNOWN";
    const QUrl url = request.url();
    r.path = url.path();
    r.rawPath = url.path(QUrl::FullyEncoded).toUtf8();
    r.rawQuery = url.query(QUrl::FullyEncoded).toUtf8();
    r.query = QUrlQuery(url.query(QUrl::FullyEncoded));
    r.headers = request.headers();
    r.body = request.body();
    r.scheme = qobject_cast<QSslSocket *>(socket) ? QStringLiteral("https") : QStringLiteral("http");
    return r;
}

void sendReply(QHttpServerResponder &responder, const DemoReply &reply) {
    responder.writeStatusLine(QHttpServerResponder::StatusCode(reply.status));
    if (!reply.contentType.isEmpty())
        responder.writeHeader("Content-Type", reply.contentType);
    responder.writeHeader("Content-Length", QByteArray::number(reply.body.size()));
    for (const auto &[name, value] : reply.headers)
        responder.writeHeader(name, value);
    responder.writeBody(reply.body);
}

// Answers a request after `delayMs`. The responder must outlive neither the
// socket nor the request it belongs to, so it is only used while the socket
// is still there.
void sendLater(QObject *context, QHttpServerResponder &&responder, QTcpSocket *socket, const DemoReply &reply,
               int delayMs) {
    auto *held = new QHttpServerResponder(std::move(responder));
    QPointer<QTcpSocket> guard(socket);
    QTimer::singleShot(delayMs, context, [held, guard, reply] {
        if (!guard)
            return; // the request went with its socket; the responder cannot be used any more
        sendReply(*held, reply);
        delete held;
        if (guard->state() == QAbstractSocket::UnconnectedState)
            guard->deleteLater();
    });
}

QString htmlEscaped(const QString &text) {
    return text.toHtmlEscaped();
}

// The start of a request body for the log, with a sign-in password masked.
QString loggedBody(const DemoRequest &request) {
    if (!request.path.endsWith(QLatin1String("/users/clinicLogin")))
        return QString::fromUtf8(request.body.left(kMaxLoggedBody));
    QJsonObject object = QJsonDocument::fromJson(request.body).object();
    const QString password = QStringLiteral("data[User][password]");
    if (object.value(password).isString()) {
        object.insert(password, QStringLiteral("********"));
        return QString::fromUtf8(QJsonDocument(object).toJson(QJsonDocument::Compact).left(kMaxLoggedBody));
    }
    return QString::fromUtf8(request.body.left(kMaxLoggedBody));
}

} // namespace

DemoServer::DemoServer(const DemoOptions &options, QObject *parent)
    : QAbstractHttpServer(parent), m_options(options), m_store(options.dataDir),
      m_failRemaining(options.failCount) {}

bool DemoServer::start(QString *error) {
    QHostAddress address;
    if (m_options.host == QLatin1String("localhost"))
        address = QHostAddress::LocalHost;
    else if (!address.setAddress(m_options.host)) {
        *error = QStringLiteral("--host needs an IP address, not \"%1\"").arg(m_options.host);
        return false;
    }
    if (!kcIsLoopbackHost(address.toString()) && !m_options.allowRemote) {
        *error = QStringLiteral("refusing to listen on %1: the demo service has a well-known password and "
                                "no protection of its own, so it listens on this computer only (127.0.0.1, "
                                "::1); add --allow-remote to open it to the network anyway")
                     .arg(m_options.host);
        return false;
    }
    if (!m_store.open(error))
        return false;
    std::optional<QSslConfiguration> tls;
    if (m_options.https) {
        QSslConfiguration config;
        if (!makeDemoCertificates(m_store.dataDir() + QStringLiteral("/tls"), m_options.host, &config, error))
            return false;
        tls = config;
    }
    auto *listener = new DemoListener(m_options.maxBodyBytes, tls, this);
    if (!listener->listen(address, m_options.port)) {
        *error = QStringLiteral("cannot listen on %1 port %2: %3")
                     .arg(m_options.host)
                     .arg(m_options.port)
                     .arg(listener->errorString());
        return false;
    }
    bind(listener);
    const quint16 port = listener->serverPort();
    m_url.setScheme(m_options.https ? QStringLiteral("https") : QStringLiteral("http"));
    m_url.setHost(m_options.host == QLatin1String("localhost") ? m_options.host : address.toString());
    m_url.setPort(port);
    m_url.setPath(QStringLiteral("/"));
    return true;
}

bool DemoServer::hostAllowed(const DemoRequest &request) const {
    const QString host = demoHostOfHeader(request.header("host"));
    if (host.isEmpty())
        return false;
    if (kcIsLoopbackHost(host))
        return true;
    return m_options.allowRemote && (host.compare(m_options.host, Qt::CaseInsensitive) == 0 ||
                                     QHostAddress(host) == QHostAddress(m_options.host));
}

bool DemoServer::handleRequest(const QHttpServerRequest &request, QTcpSocket *socket) {
    const DemoRequest r = convertRequest(request, socket);
    if (!hostAllowed(r)) {
        QHttpServerResponder responder = makeResponder(request, socket);
        sendReply(responder, DemoReply::error(421, QStringLiteral("this service answers only requests "
                                                                  "addressed to this computer")));
        return true;
    }
    const DemoReply reply = handle(r);
    QHttpServerResponder responder = makeResponder(request, socket);
    const int delay = r.path.startsWith(QLatin1String("/demo/")) ? 0 : m_options.delayMs;
    if (delay > 0)
        sendLater(this, std::move(responder), socket, reply, delay);
    else
        sendReply(responder, reply);
    return true;
}

void DemoServer::missingHandler(const QHttpServerRequest &request, QTcpSocket *socket) {
    QHttpServerResponder responder = makeResponder(request, socket);
    sendReply(responder, DemoReply::error(404, QStringLiteral("no such resource")));
}

DemoReply DemoServer::handle(const DemoRequest &request) {
    if (request.path.startsWith(QLatin1String("/demo/")))
        return handleDemo(request);

    QJsonObject entry{
        {QStringLiteral("method"), QString::fromLatin1(request.method)},
        {QStringLiteral("path"), QString::fromUtf8(request.rawPath)},
        {QStringLiteral("query"), QString::fromUtf8(request.rawQuery)},
        {QStringLiteral("had_session"), false},
        // The scheme only: tokens and client secrets stay out of the log.
        {QStringLiteral("authorization"), demoAuthorizationScheme(request.header("authorization"))},
        {QStringLiteral("content_type"), QString::fromUtf8(request.header("content-type"))},
        {QStringLiteral("body_size"), request.body.size()},
        {QStringLiteral("body"), loggedBody(request)}};
    DemoReply reply;
    if (m_failRemaining > 0 && request.path.contains(m_options.failPath)) {
        --m_failRemaining;
        reply = DemoReply::error(
            m_options.failStatus,
            QStringLiteral("injected fault: this request is answered with %1").arg(m_options.failStatus));
    } else if (request.path == QLatin1String("/") || request.path == QLatin1String("/index.html")) {
        reply = homePage();
    } else if (request.path.startsWith(QLatin1String("/api/"))) {
        reply = handleClinic(request, entry);
    } else if (request.path.startsWith(QLatin1String("/athena/"))) {
        reply = handleEmr(request);
    } else {
        reply = DemoReply::error(404, QStringLiteral("no such resource: %1").arg(request.path));
    }
    entry.insert(QStringLiteral("status"), reply.status);
    if (m_requests.size() >= kMaxLoggedRequests)
        m_requests.removeFirst();
    m_requests.append(entry);
    return reply;
}

QString DemoServer::serverBase(const DemoRequest &request) const {
    const QByteArray host = request.header("host");
    if (host.isEmpty())
        return m_url.toString();
    QUrl url;
    url.setScheme(request.scheme);
    url.setAuthority(QString::fromUtf8(host));
    if (!url.isValid() || url.host().isEmpty())
        return m_url.toString();
    url.setPath(QStringLiteral("/"));
    return url.toString();
}

DemoReply DemoServer::handleDemo(const DemoRequest &request) {
    const QStringList segments = request.segmentsAfter(QStringLiteral("/demo/"));
    const QString what = segments.value(0);
    if (what == QLatin1String("state") && segments.size() == 1) {
        if (request.method != "GET")
            return DemoReply::error(405, QStringLiteral("/demo/state is read with GET"));
        return stateReply();
    }
    if (what == QLatin1String("faults") && segments.size() == 1) {
        if (request.method != "POST")
            return DemoReply::error(405, QStringLiteral("/demo/faults takes a POST with a JSON object"));
        // A web page can POST a form or plain text anywhere without asking;
        // a JSON content type it cannot send without the browser's consent.
        const QByteArray type = request.header("content-type").split(';').value(0).trimmed().toLower();
        if (type != "application/json")
            return DemoReply::error(415, QStringLiteral("/demo/faults takes Content-Type: application/json"));
        return applyFaults(request);
    }
    // The files behind the links of the home page, by position in the lists.
    if ((what == QLatin1String("documentations") || what == QLatin1String("emr-documents")) &&
        segments.size() == 2 && request.method == "GET") {
        const bool png = what == QLatin1String("documentations");
        const QString name = segments[1];
        const QString suffix = png ? QStringLiteral(".png") : QStringLiteral(".pdf");
        bool ok = false;
        const int index = name.endsWith(suffix) ? name.chopped(4).toInt(&ok) : -1;
        const int count = png ? int(m_store.documentations().size()) : int(m_store.emrDocuments().size());
        if (!ok || index < 0 || index >= count)
            return DemoReply::error(404, QStringLiteral("no such file: %1").arg(name));
        QFile file(png ? m_store.documentations()[index].pngPath : m_store.emrDocuments()[index].pdfPath);
        if (!file.open(QIODevice::ReadOnly))
            return DemoReply::error(404, QStringLiteral("the stored file is gone: %1").arg(file.fileName()));
        return DemoReply::bytes(file.readAll(), png ? "image/png" : "application/pdf");
    }
    return DemoReply::error(404, QStringLiteral("no such resource: %1").arg(request.path));
}

DemoReply DemoServer::stateReply() const {
    QJsonArray documentations;
    for (const StoredDocumentation &d : m_store.documentations()) {
        QJsonObject record = d.record;
        record.insert(QStringLiteral("stored_png_path"), d.pngPath);
        record.insert(QStringLiteral("stored_json_path"), d.jsonPath);
        documentations.append(record);
    }
    QJsonArray emrDocuments;
    for (const StoredEmrDocument &d : m_store.emrDocuments()) {
        QJsonObject fields = d.fields;
        fields.insert(QStringLiteral("pdf_path"), d.pdfPath);
        emrDocuments.append(fields);
    }
    const QJsonArray repeatedIds = m_store.repeatedDocumentationIds();
    const QJsonArray repeatedEmr = m_store.repeatedEmrDocuments();
    return DemoReply::json({{QStringLiteral("requests"), m_requests},
                            {QStringLiteral("logins"), m_logins},
                            {QStringLiteral("documentations"), documentations},
                            {QStringLiteral("emr_documents"), emrDocuments},
                            {QStringLiteral("repeated_documentation_ids"), repeatedIds},
                            {QStringLiteral("repeated_emr_documents"), repeatedEmr},
                            {QStringLiteral("emr_tokens_issued"), m_emrTokensIssued},
                            {QStringLiteral("active_sessions"), int(m_sessions.size())},
                            {QStringLiteral("emr"), m_options.emr},
                            {QStringLiteral("delay_ms"), m_options.delayMs},
                            {QStringLiteral("fail_remaining"), m_failRemaining},
                            {QStringLiteral("fail_status"), m_options.failStatus},
                            {QStringLiteral("fail_path"), m_options.failPath},
                            {QStringLiteral("data_dir"), m_store.dataDir()}});
}

DemoReply DemoServer::applyFaults(const DemoRequest &request) {
    QJsonParseError parseError;
    const QJsonDocument doc = QJsonDocument::fromJson(request.body, &parseError);
    if (parseError.error != QJsonParseError::NoError || !doc.isObject())
        return DemoReply::error(400, QStringLiteral("the body must be a JSON object"));
    const QJsonObject body = doc.object();
    static const QStringList known = {QStringLiteral("fail"),
                                      QStringLiteral("status"),
                                      QStringLiteral("path"),
                                      QStringLiteral("expire_sessions"),
                                      QStringLiteral("expire_emr_tokens"),
                                      QStringLiteral("delay_ms"),
                                      QStringLiteral("emr"),
                                      QStringLiteral("reset_log")};
    for (const QString &key : body.keys())
        if (!known.contains(key))
            return DemoReply::error(
                400, QStringLiteral("unknown key \"%1\"; known keys: %2").arg(key, known.join(", ")));
    auto isCount = [](const QJsonValue &v) {
        return v.isDouble() && v.toDouble() >= 0 && v.toDouble() == double(v.toInt());
    };
    // Check everything before changing anything.
    if (body.contains(QStringLiteral("fail")) && !isCount(body.value(QStringLiteral("fail"))))
        return DemoReply::error(400, QStringLiteral("\"fail\" must be a non-negative integer"));
    if (body.contains(QStringLiteral("status"))) {
        const QJsonValue status = body.value(QStringLiteral("status"));
        if (!isCount(status) || status.toInt() < 200 || status.toInt() > 599)
            return DemoReply::error(400,
                                    QStringLiteral("\"status\" must be an HTTP status code from 200 to 599"));
    }
    if (body.contains(QStringLiteral("path")) && !body.value(QStringLiteral("path")).isString())
        return DemoReply::error(400, QStringLiteral("\"path\" must be text"));
    for (const char *flag : {"expire_sessions", "expire_emr_tokens", "reset_log"})
        if (body.contains(QLatin1String(flag)) && !body.value(QLatin1String(flag)).isBool())
            return DemoReply::error(400,
                                    QStringLiteral("\"%1\" must be true or false").arg(QLatin1String(flag)));
    if (body.contains(QStringLiteral("delay_ms")) && !isCount(body.value(QStringLiteral("delay_ms"))))
        return DemoReply::error(400, QStringLiteral("\"delay_ms\" must be a non-negative integer"));
    const QString emr = body.value(QStringLiteral("emr")).toString();
    if (body.contains(QStringLiteral("emr")) && emr != QLatin1String("athenahealth") &&
        emr != QLatin1String("none") && (emr != QLatin1String("fhir") || m_options.fhirURL.isEmpty()))
        return DemoReply::error(400, QStringLiteral("\"emr\" must be \"athenahealth\", \"none\" or, with "
                                                    "--fhir-url, \"fhir\""));

    if (body.contains(QStringLiteral("fail"))) {
        m_failRemaining = body.value(QStringLiteral("fail")).toInt();
        m_options.failStatus = body.value(QStringLiteral("status")).toInt(500);
        m_options.failPath = body.value(QStringLiteral("path")).toString();
    } else {
        if (body.contains(QStringLiteral("status")))
            m_options.failStatus = body.value(QStringLiteral("status")).toInt();
        if (body.contains(QStringLiteral("path")))
            m_options.failPath = body.value(QStringLiteral("path")).toString();
    }
    if (body.value(QStringLiteral("expire_sessions")).toBool())
        m_sessions.clear();
    if (body.value(QStringLiteral("expire_emr_tokens")).toBool())
        m_emrTokens.clear();
    if (body.contains(QStringLiteral("delay_ms")))
        m_options.delayMs = body.value(QStringLiteral("delay_ms")).toInt();
    if (body.contains(QStringLiteral("emr")))
        m_options.emr = emr;
    if (body.value(QStringLiteral("reset_log")).toBool()) {
        m_requests = QJsonArray();
        m_logins = 0;
        m_emrTokensIssued = 0;
    }
    return DemoReply::json({{QStringLiteral("fail_remaining"), m_failRemaining},
                            {QStringLiteral("fail_status"), m_options.failStatus},
                            {QStringLiteral("fail_path"), m_options.failPath},
                            {QStringLiteral("delay_ms"), m_options.delayMs},
                            {QStringLiteral("emr"), m_options.emr},
                            {QStringLiteral("active_sessions"), int(m_sessions.size())},
                            {QStringLiteral("active_emr_tokens"), int(m_emrTokens.size())}});
}

DemoReply DemoServer::homePage() const {
    QString html;
    html += QStringLiteral(
        "<!DOCTYPE html>\n<html><head><meta charset=\"utf-8\">"
        "<meta http-equiv=\"refresh\" content=\"10\">"
        "<title>Kelvra demo clinic service</title>"
        "<style>body{font-family:sans-serif;margin:2em}table{border-collapse:collapse}"
        "td,th{border-bottom:1px solid #ccc;padding:6px 10px;text-align:left;vertical-align:top}"
        "img{max-width:200px;max-height:150px;border:1px solid #999}</style></head><body>\n");
    html += QStringLiteral(
                "<h1>Kelvra demo clinic service</h1>\n<p>Sign in with user <b>%1</b>, password <b>%2</b>. "
                "EMR: <b>%3</b>. Data folder: <code>%4</code>.</p>\n")
                .arg(htmlEscaped(demo::kUserName), htmlEscaped(demo::kPassword), htmlEscaped(m_options.emr),
                     htmlEscaped(m_store.dataDir()));

    const auto &docs = m_store.documentations();
    html += QStringLiteral("<h2>Filed documentation (%1)</h2>\n").arg(docs.size());
    if (docs.isEmpty())
        html += QStringLiteral("<p>Nothing has been filed yet.</p>\n");
    else
        html += QStringLiteral(
            "<table><tr><th>Image</th><th>Patient</th><th>Caption</th><th>Received</th></tr>\n");
    for (qsizetype i = docs.size() - 1; i >= 0; --i) {
        const StoredDocumentation &d = docs[i];
        const QString interaction = d.record.value(QStringLiteral("interaction_id")).toVariant().toString();
        const auto patient = m_clinic.patientForInteraction(interaction);
        QString who = patient ? htmlEscaped(patient->fullName()) : QStringLiteral("<i>unknown patient</i>");
        if (!interaction.isEmpty())
            who += QStringLiteral("<br><small>visit %1</small>").arg(htmlEscaped(interaction));
        const QString caption = d.record.value(QStringLiteral("encounter_note")).toString();
        html +=
            QStringLiteral(
                "<tr><td><a href=\"/demo/documentations/%1.png\"><img src=\"/demo/documentations/%1.png\" "
                "alt=\"capture %1\"></a></td><td>%2</td><td>%3</td><td>%4</td></tr>\n")
                .arg(i)
                .arg(who, caption.isEmpty() ? QStringLiteral("<i>no caption</i>") : htmlEscaped(caption),
                     htmlEscaped(d.receivedAt.toString(QStringLiteral("yyyy-MM-dd HH:mm:ss"))));
    }
    if (!docs.isEmpty())
        html += QStringLiteral("</table>\n");

    const auto &emrDocs = m_store.emrDocuments();
    html += QStringLiteral("<h2>EMR documents (%1)</h2>\n").arg(emrDocs.size());
    if (emrDocs.isEmpty())
        html += QStringLiteral("<p>No document has been filed in the demo EMR yet.</p>\n");
    else
        html += QStringLiteral("<table><tr><th>Document</th><th>Patient</th><th>Note</th><th>Department</th>"
                               "<th>Appointment</th><th>Received</th></tr>\n");
    for (qsizetype i = emrDocs.size() - 1; i >= 0; --i) {
        const QJsonObject &f = emrDocs[i].fields;
        const QString patientId = f.value(QStringLiteral("patient_id")).toString();
        const auto patient = m_clinic.patientForEmrId(patientId);
        html +=
            QStringLiteral("<tr><td><a href=\"/demo/emr-documents/%1.pdf\">document %2 (PDF)</a></td>"
                           "<td>%3<br><small>EMR patient "
                           "%4</small></td><td>%5</td><td>%6</td><td>%7</td><td>%8</td></tr>\n")
                .arg(i)
                .arg(htmlEscaped(f.value(QStringLiteral("documentid")).toString()),
                     patient ? htmlEscaped(patient->fullName()) : QStringLiteral("<i>unknown</i>"),
                     htmlEscaped(patientId), htmlEscaped(f.value(QStringLiteral("internalnote")).toString()),
                     htmlEscaped(f.value(QStringLiteral("departmentid")).toString()),
                     htmlEscaped(f.value(QStringLiteral("appointmentid")).toString()),
                     htmlEscaped(emrDocs[i].receivedAt.toString(QStringLiteral("yyyy-MM-dd HH:mm:ss"))));
    }
    if (!emrDocs.isEmpty())
        html += QStringLiteral("</table>\n");
    html += QStringLiteral("<p><small><a href=\"/demo/state\">/demo/state</a></small></p></body></html>\n");
    return DemoReply::bytes(html.toUtf8(), "text/html; charset=utf-8");
}
