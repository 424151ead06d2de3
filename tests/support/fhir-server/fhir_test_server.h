#pragma once
// Starts the test FHIR server (server.mjs beside this file, on Node) on a
// free port of 127.0.0.1 with a throw-away client key pair, and talks to its
// control interface. Header-only, for the tests of every folder.

#include <QCoreApplication>
#include <QDir>
#include <QEventLoop>
#include <QJsonDocument>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QProcess>
#include <QTemporaryDir>
#include <QTimer>
#include <QUrl>
#include <QVariantMap>
#include <memory>

class FhirTestServer {
public:
    // The folder of server.mjs and its node_modules.
    static QString folder() { return QStringLiteral(KC_SOURCE_DIR "/tests/support/fhir-server"); }

    // Makes a private key (PEM) of `kind` ("rsa" or "ec") in `dir` with its
    // public key beside it; returns the private key's path, empty on failure.
    static QString makeKey(const QString &dir, const QString &kind, QString *publicKeyPath = nullptr) {
        const QString key = QDir(dir).filePath(kind + QStringLiteral("-key.pem"));
        const QString pub = QDir(dir).filePath(kind + QStringLiteral("-key.pub"));
        const QStringList generate =
            kind == QLatin1String("ec")
                ? QStringList{"genpkey", "-algorithm", "EC", "-pkeyopt", "ec_paramgen_curve:P-384",
                              "-out",    key}
                : QStringList{"genpkey", "-algorithm", "RSA", "-pkeyopt", "rsa_keygen_bits:2048",
                              "-out",    key};
        if (QProcess::execute(QStringLiteral("openssl"), generate) != 0 ||
            QProcess::execute(QStringLiteral("openssl"), {"pkey", "-in", key, "-pubout", "-out", pub}) != 0)
            return {};
        if (publicKeyPath)
            *publicKeyPath = pub;
        return key;
    }

    // Starts the server with a new RSA key pair registered for `clientId`
    // (more arguments for server.mjs in `extra`). False with error() set
    // when it does not come up within `timeoutMs`.
    bool start(const QStringList &extra = {}, int timeoutMs = 60000) {
        if (!m_keys.isValid())
            return fail(QStringLiteral("no temporary folder"));
        QString publicKey;
        m_privateKey = makeKey(m_keys.path(), QStringLiteral("rsa"), &publicKey);
        if (m_privateKey.isEmpty())
            return fail(QStringLiteral("openssl could not make a key"));
        if (!QFile::exists(folder() + QStringLiteral("/node_modules/@medplum/fhir-router")))
            return fail(QStringLiteral("the server's packages are not installed: run scripts/install-deps"));
        m_process = std::make_unique<QProcess>();
        const QString base = startNode(
            *m_process, folder(),
            QStringList{QStringLiteral("server.mjs"), "--client-id", clientId(), "--public-key", publicKey} +
                extra,
            "fhir base ", timeoutMs, &m_error);
        m_base = QUrl(base);
        return !base.isEmpty();
    }

    ~FhirTestServer() { stopNode(m_process.get()); }

    // Starts `node ARGS` in `folder` and waits until it prints a line with
    // `marker`; the rest of that line, or empty with `error` set.
    static QString startNode(QProcess &process, const QString &folder, const QStringList &args,
                             const QByteArray &marker, int timeoutMs, QString *error) {
        process.setWorkingDirectory(folder);
        process.setProcessChannelMode(QProcess::SeparateChannels);
        process.start(QStringLiteral("node"), args);
        if (!process.waitForStarted(timeoutMs)) {
            *error = QStringLiteral("node did not start: ") + process.errorString();
            return {};
        }
        QByteArray out;
        QEventLoop loop;
        QTimer::singleShot(timeoutMs, &loop, &QEventLoop::quit);
        QObject::connect(&process, &QProcess::readyReadStandardOutput, &loop, [&] {
            out += process.readAllStandardOutput();
            if (out.contains(marker) && out.indexOf('\n', out.indexOf(marker)) > 0)
                loop.quit();
        });
        QObject::connect(&process, &QProcess::finished, &loop, &QEventLoop::quit);
        loop.exec();
        const int at = out.indexOf(marker);
        if (at < 0) {
            *error = QStringLiteral("the server did not start: ") +
                     QString::fromUtf8(out + process.readAllStandardError());
            return {};
        }
        return QString::fromLatin1(out.mid(at + marker.size()).split('\n').value(0).trimmed());
    }
    // Ends a server that startNode() started.
    static void stopNode(QProcess *process) {
        if (process && process->state() != QProcess::NotRunning) {
            process->terminate();
            if (!process->waitForFinished(5000))
                process->kill();
            process->waitForFinished(5000);
        }
    }

    static QString clientId() { return QStringLiteral("kelvra-capture-test"); }
    QString error() const { return m_error; }
    // "http://127.0.0.1:PORT/fhir/R4/"
    QUrl base() const { return m_base; }
    QUrl origin() const { return m_base.resolved(QUrl(QStringLiteral("/"))); }
    QString tokenURL() const { return origin().toString() + QStringLiteral("auth/token"); }
    // The client's private key (PEM file) that the server knows.
    QString privateKeyPath() const { return m_privateKey; }
    QString keyFolder() const { return m_keys.path(); }

    // The "emrData" of a clinic configured for this server.
    QVariantMap emrData(bool withTokenURL = true) const {
        QFile key(m_privateKey);
        key.open(QIODevice::ReadOnly);
        QVariantMap data{{"base_url", m_base.toString()},
                         {"client_id", clientId()},
                         {"key_id", "test-key-1"},
                         {"private_key", QString::fromLatin1(key.readAll())}};
        if (withTokenURL)
            data.insert("auth_url", tokenURL());
        return data;
    }

    // POST /control/<what> with `body`; true on 200.
    bool control(const QString &what, const QVariant &body = QVariantMap()) const {
        int status = 0;
        fetch(origin().resolved(QUrl(QStringLiteral("control/") + what)), "POST",
              QJsonDocument::fromVariant(body).toJson(QJsonDocument::Compact), &status);
        return status == 200;
    }
    // GET /control/state.
    QVariantMap state() const {
        return QJsonDocument::fromJson(fetch(origin().resolved(QUrl(QStringLiteral("control/state")))))
            .toVariant()
            .toMap();
    }
    // Every stored DocumentReference.
    QVariantList documents() const {
        return QJsonDocument::fromJson(fetch(origin().resolved(QUrl(QStringLiteral("control/documents")))))
            .toVariant()
            .toList();
    }
    // Stores Patients (or any resources) as they are.
    bool seed(const QVariantList &resources) const { return control(QStringLiteral("seed"), resources); }

    static QByteArray fetch(const QUrl &url, const QByteArray &method = "GET", const QByteArray &body = {},
                            int *status = nullptr) {
        QNetworkAccessManager manager;
        QNetworkRequest request(url);
        request.setHeader(QNetworkRequest::ContentTypeHeader, QStringLiteral("application/json"));
        QNetworkReply *reply = manager.sendCustomRequest(request, method, body);
        QEventLoop loop;
        QObject::connect(reply, &QNetworkReply::finished, &loop, &QEventLoop::quit);
        QTimer::singleShot(30000, &loop, &QEventLoop::quit);
        loop.exec();
        if (status)
            *status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
        const QByteArray data = reply->readAll();
        reply->deleteLater();
        return data;
    }

private:
    bool fail(const QString &why) {
        m_error = why;
        return false;
    }

    std::unique_ptr<QProcess> m_process;
    QTemporaryDir m_keys;
    QString m_privateKey;
    QUrl m_base;
    QString m_error;
};
