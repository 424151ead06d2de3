#pragma once
// The demo clinic web service ("/api/") and the athenahealth-compatible demo
// EMR ("/athena/") in one HTTP server, with an inspection and fault-injection
// interface under "/demo/" and a page at "/" showing what has been filed.

#include "demo/clinic_day.h"
#include "demo/demo_http.h"
#include "demo/demo_store.h"

#include <QAbstractHttpServer>
#include <QDeadlineTimer>
#include <QHash>
#include <QJsonArray>
#include <QUrl>
#include <memory>

struct DemoOptions {
    QString host = QStringLiteral("127.0.0.1");
    quint16 port = 47800;
    bool https = false;
    QString dataDir;
    QString emr = QStringLiteral("athenahealth"); // or "fhir", "none"
    // With "fhir": the FHIR base URL, client id, key id and private key (PEM)
    // handed out in the configuration; without a key, the clinicians' own
    // EHR sign-in with the clinic's Organization.
    QString fhirURL;
    QString fhirClientID = QStringLiteral("kelvra-capture-demo");
    QString fhirKeyID = QStringLiteral("kelvra-demo-key");
    QString fhirPrivateKey;
    QString fhirOrganization = QStringLiteral("Organization/org-clinic");
    int delayMs = 0;
    int expireSessionsAfter = 0; // 0: sessions never expire
    int failCount = 0;
    int failStatus = 500;
    QString failPath;
    int emrTokenLifetime = 3600;
    // Listening on an address other than this computer's needs this.
    bool allowRemote = false;
    // Largest request body accepted; larger ones are refused unread.
    qint64 maxBodyBytes = qint64(64) << 20;
};

// Credentials and identifiers of the demo world.
namespace demo {
inline const QString kUserName = QStringLiteral("demo");
inline const QString kPassword = QStringLiteral("capture");
inline const QString kUserId = QStringLiteral("17");
inline const QString kSessionCookie = QStringLiteral("CAKEPHP");
inline const QString kEmrClientId = QStringLiteral("kelvra-demo-client");
inline const QString kEmrClientSecret = QStringLiteral("kelvra-demo-secret");
inline const QString kPracticeId = QStringLiteral("195900");
inline const QStringList kDepartmentIds = {QStringLiteral("1"), QStringLiteral("21")};
inline const QStringList kProviderIds = {QStringLiteral("71"), QStringLiteral("86"), QStringLiteral("112")};
} // namespace demo

class DemoServer : public QAbstractHttpServer {
    Q_OBJECT
public:
    explicit DemoServer(const DemoOptions &options, QObject *parent = nullptr);

    // Opens the data folder, makes the certificate when serving HTTPS and
    // starts listening; false with a message when any of it fails.
    bool start(QString *error);
    // Where clients reach the server, e.g. "http://127.0.0.1:47800/".
    QUrl url() const { return m_url; }

protected:
    bool handleRequest(const QHttpServerRequest &request, QTcpSocket *socket) override;
    void missingHandler(const QHttpServerRequest &request, QTcpSocket *socket) override;

private:
    struct Session {
        QString userName;
        int requestsUsed = 0;
    };

    // Routes one request and logs it (requests under "/demo/" are not logged).
    DemoReply handle(const DemoRequest &request);

    // Inspection and control.
    DemoReply handleDemo(const DemoRequest &request);
    DemoReply stateReply() const;
    DemoReply applyFaults(const DemoRequest &request);
    DemoReply homePage() const;

    // Clinic service.
    DemoReply handleClinic(const DemoRequest &request, QJsonObject &logEntry);
    DemoReply clinicLogin(const DemoRequest &request);
    DemoReply clinicLogout(const DemoRequest &request);
    DemoReply clinicConfiguration(const DemoRequest &request) const;
    DemoReply clinicAssignments(const DemoRequest &request) const;
    DemoReply clinicDocumentations(const DemoRequest &request);
    DemoReply clinicImage(const QStringList &segments) const;
    QByteArray sessionCookieHeader(const QByteArray &token, bool expire) const;
    // The configuration as the clinic service sends it, pointing at the EMR
    // under the base URL that the client used.
    QJsonObject configurationObject(const QString &serverBase) const;

    // Demo EMR.
    DemoReply handleEmr(const DemoRequest &request);
    DemoReply emrToken(const DemoRequest &request);
    DemoReply emrUploadDocument(const DemoRequest &request, const QString &practiceId,
                                const QString &patientId);
    DemoReply emrListDocuments(const DemoRequest &request, const QString &patientId) const;
    DemoReply emrEncounters(const DemoRequest &request, const QString &patientId) const;
    DemoReply emrSearch(const DemoRequest &request) const;
    DemoReply emrPhoto(const DemoRequest &request, const QString &patientId) const;
    bool emrTokenValid(const DemoRequest &request);

    // Whether the request is addressed to this service: its Host is a
    // loopback name or address (or, with allowRemote, the --host given). A
    // web page whose own name has been pointed at 127.0.0.1 (DNS rebinding)
    // sends its own name and is refused.
    bool hostAllowed(const DemoRequest &request) const;

    // The base URL as seen by the client (scheme and Host of the request).
    QString serverBase(const DemoRequest &request) const;

    DemoOptions m_options;
    DemoClinic m_clinic;
    DemoStore m_store;
    QUrl m_url;

    mutable QHash<QString, QByteArray> m_portraitCache; // PNG by "id/width/height"
    QHash<QByteArray, Session> m_sessions;
    QHash<QByteArray, QDeadlineTimer> m_emrTokens;
    QJsonArray m_requests;
    int m_logins = 0;
    int m_emrTokensIssued = 0;
    int m_failRemaining = 0;
};
