#pragma once
// Starts the test authorization server (server.mjs beside this file, on
// Node) in front of a running FhirTestServer, connects the two (the FHIR
// server's SMART configuration names it, and it introspects its tokens), and
// offers the clinician in a real browser: ChromiumBrowser opens each sign-in
// page in headless Chromium through sign-in.mjs, which types the user name
// and password and allows access. Header-only, for the tests of every folder.

#include "platform/browser/browser_opener.h"
#include "tests/support/fhir-server/fhir_test_server.h"

#include <QElapsedTimer>
#include <QUuid>

class OidcTestServer {
public:
    static QString folder() { return QStringLiteral(KC_SOURCE_DIR "/tests/support/oidc-server"); }
    // The clinician of the tests and what the EHR knows them as.
    static QString user() { return QStringLiteral("dr.lee"); }
    static QString password() { return QStringLiteral("capture"); }
    static QString practitioner() { return QStringLiteral("Practitioner/prac-lee"); }
    static QString organization() { return QStringLiteral("Organization/org-clinic"); }

    // The command that signs in as the test clinician in headless Chromium
    // (for KELVRA_BROWSER: the page's address is added as its last argument).
    static QString signInCommand(const QString &user = OidcTestServer::user(),
                                 const QString &password = OidcTestServer::password()) {
        return QStringLiteral("node %1/sign-in.mjs --user %2 --password %3").arg(folder(), user, password);
    }

    // Starts the server for `fhir` (more arguments for server.mjs in
    // `extra`), seeds the FHIR server with the clinician and the clinic's
    // Organization, and points the FHIR server at it.
    bool start(FhirTestServer &fhir, const QStringList &extra = {}, int timeoutMs = 60000) {
        if (!QFile::exists(folder() + QStringLiteral("/node_modules/oidc-provider")))
            return fail(QStringLiteral("the server's packages are not installed: run scripts/install-deps"));
        const QString secret = QUuid::createUuid().toString(QUuid::WithoutBraces);
        m_process = std::make_unique<QProcess>();
        m_issuer = QUrl(FhirTestServer::startNode(
            *m_process, folder(),
            QStringList{QStringLiteral("server.mjs"), "--client-id", FhirTestServer::clientId(),
                        "--fhir-base", fhir.base().toString(), "--resource-secret", secret} +
                extra,
            "listening on ", timeoutMs, &m_error));
        if (m_issuer.isEmpty())
            return false;
        const QVariantList seed{
            QVariantMap{
                {"resourceType", "Practitioner"},
                {"id", "prac-lee"},
                {"name", QVariantList{QVariantMap{{"family", "Lee"}, {"given", QVariantList{"Dana"}}}}}},
            QVariantMap{
                {"resourceType", "Organization"}, {"id", "org-clinic"}, {"name", "Kelvra Test Clinic"}}};
        if (!fhir.seed(seed) || !fhir.control(QStringLiteral("settings"),
                                              QVariantMap{{"authorization_server", m_issuer.toString()},
                                                          {"introspection_secret", secret}}))
            return fail(QStringLiteral("the FHIR server did not take the authorization server"));
        return true;
    }

    ~OidcTestServer() { FhirTestServer::stopNode(m_process.get()); }

    QString error() const { return m_error; }
    QUrl issuer() const { return m_issuer; }
    bool control(const QString &what, const QVariant &body = QVariantMap()) const {
        int status = 0;
        FhirTestServer::fetch(m_issuer.resolved(QUrl(QStringLiteral("control/") + what)), "POST",
                              QJsonDocument::fromVariant(body).toJson(QJsonDocument::Compact), &status);
        return status == 200;
    }
    QVariantMap state() const {
        return QJsonDocument::fromJson(
                   FhirTestServer::fetch(m_issuer.resolved(QUrl(QStringLiteral("control/state")))))
            .toVariant()
            .toMap();
    }

    // The "emrData" of a clinic whose clinicians sign in to `fhir` themselves.
    static QVariantMap emrData(const FhirTestServer &fhir) {
        return {{"base_url", fhir.base().toString()},
                {"launch", "standalone"},
                {"client_id", FhirTestServer::clientId()},
                {"organization", organization()}};
    }

private:
    bool fail(const QString &why) {
        m_error = why;
        return false;
    }
    std::unique_ptr<QProcess> m_process;
    QUrl m_issuer;
    QString m_error;
};

// The clinician at a browser: each page the application opens is signed in
// to by sign-in.mjs in headless Chromium (or handed to `instead` when set, a
// stand-in for other pages). Records what it was asked to open and what the
// browser came to.
class ChromiumBrowser : public KCBrowserOpener {
public:
    explicit ChromiumBrowser(QString user = OidcTestServer::user(),
                             QString password = OidcTestServer::password())
        : m_user(std::move(user)), m_password(std::move(password)) {}

    void open(const QUrl &url, std::function<void(const QString &problem)> done) override {
        opened.append(url);
        if (instead) {
            instead(url);
            done(QString());
            return;
        }
        // Owned by the browser: a sign-in still running when it goes ends.
        auto *process = new QProcess(&m_processes);
        process->setProcessChannelMode(QProcess::SeparateChannels);
        QObject::connect(process, &QProcess::finished, &m_processes, [this, process] {
            lastOutput = QString::fromUtf8(process->readAllStandardOutput()).trimmed();
            process->deleteLater();
        });
        process->start(QStringLiteral("node"),
                       {OidcTestServer::folder() + QStringLiteral("/sign-in.mjs"), "--user", m_user,
                        "--password", m_password, url.toString(QUrl::FullyEncoded)});
        done(QString());
    }

    QList<QUrl> opened;
    QString lastOutput; // "callback <url>" or "error <text>"
    std::function<void(const QUrl &url)> instead;

private:
    QString m_user;
    QString m_password;
    QObject m_processes;
};
