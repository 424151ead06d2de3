#include "demo/tls_setup.h"

#include <QDir>
#include <QFile>
#include <QHostAddress>
#include <QProcess>
#include <QSslCertificate>
#include <QSslKey>

namespace {

bool runOpenssl(const QStringList &arguments, const QString &folder, QString *error) {
    QProcess process;
    process.setWorkingDirectory(folder);
    process.setProcessChannelMode(QProcess::MergedChannels);
    process.start(QStringLiteral("openssl"), arguments);
    if (!process.waitForStarted(30000)) {
        *error = QStringLiteral("cannot run openssl: %1").arg(process.errorString());
        return false;
    }
    process.closeWriteChannel();
    if (!process.waitForFinished(120000) || process.exitStatus() != QProcess::NormalExit ||
        process.exitCode() != 0) {
        *error = QStringLiteral("openssl %1 failed: %2")
                     .arg(arguments.value(0), QString::fromLocal8Bit(process.readAll()).trimmed());
        return false;
    }
    return true;
}

QByteArray readAll(const QString &path) {
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

} // namespace

bool makeDemoCertificates(const QString &folder, const QString &host, QSslConfiguration *config,
                          QString *error) {
    if (!QDir().mkpath(folder)) {
        *error = QStringLiteral("cannot create %1").arg(folder);
        return false;
    }
    QStringList names = {QStringLiteral("IP:127.0.0.1"), QStringLiteral("IP:::1"),
                         QStringLiteral("DNS:localhost")};
    const QHostAddress address(host);
    if (!host.isEmpty() && address.isNull())
        names.append(QStringLiteral("DNS:") + host);
    else if (!address.isNull() && address != QHostAddress::LocalHost &&
             address != QHostAddress::LocalHostIPv6 && address != QHostAddress::Any &&
             address != QHostAddress::AnyIPv4 && address != QHostAddress::AnyIPv6)
        names.append(QStringLiteral("IP:") + address.toString());

    QFile ext(folder + QStringLiteral("/server.ext"));
    if (!ext.open(QIODevice::WriteOnly | QIODevice::Truncate)) {
        *error = QStringLiteral("cannot write %1").arg(ext.fileName());
        return false;
    }
    ext.write("basicConstraints=critical,CA:FALSE\n"
              "keyUsage=critical,digitalSignature,keyEncipherment\n"
              "extendedKeyUsage=serverAuth\n"
              "subjectAltName=" +
              names.join(QLatin1Char(',')).toLatin1() + "\n");
    ext.close();

    const QStringList ecKey = {QStringLiteral("-newkey"), QStringLiteral("ec"), QStringLiteral("-pkeyopt"),
                               QStringLiteral("ec_paramgen_curve:prime256v1"), QStringLiteral("-nodes")};
    if (!runOpenssl(QStringList{QStringLiteral("req"), QStringLiteral("-x509")} + ecKey +
                        QStringList{QStringLiteral("-keyout"), QStringLiteral("ca.key"),
                                    QStringLiteral("-out"), QStringLiteral("ca.pem"), QStringLiteral("-days"),
                                    QStringLiteral("30"), QStringLiteral("-subj"),
                                    QStringLiteral("/CN=Kelvra Demo Service CA"), QStringLiteral("-addext"),
                                    QStringLiteral("basicConstraints=critical,CA:TRUE"),
                                    QStringLiteral("-addext"),
                                    QStringLiteral("keyUsage=critical,keyCertSign,cRLSign")},
                    folder, error))
        return false;
    if (!runOpenssl(QStringList{QStringLiteral("req")} + ecKey +
                        QStringList{QStringLiteral("-keyout"), QStringLiteral("server.key"),
                                    QStringLiteral("-out"), QStringLiteral("server.csr"),
                                    QStringLiteral("-subj"), QStringLiteral("/CN=localhost")},
                    folder, error))
        return false;
    if (!runOpenssl({QStringLiteral("x509"), QStringLiteral("-req"), QStringLiteral("-in"),
                     QStringLiteral("server.csr"), QStringLiteral("-CA"), QStringLiteral("ca.pem"),
                     QStringLiteral("-CAkey"), QStringLiteral("ca.key"), QStringLiteral("-CAcreateserial"),
                     QStringLiteral("-days"), QStringLiteral("30"), QStringLiteral("-extfile"),
                     QStringLiteral("server.ext"), QStringLiteral("-out"), QStringLiteral("server.pem")},
                    folder, error))
        return false;
    for (const char *secret : {"ca.key", "server.key"})
        QFile::setPermissions(folder + QLatin1Char('/') + QLatin1String(secret),
                              QFileDevice::ReadOwner | QFileDevice::WriteOwner);

    const auto serverCerts = QSslCertificate::fromData(readAll(folder + QStringLiteral("/server.pem")));
    const auto caCerts = QSslCertificate::fromData(readAll(folder + QStringLiteral("/ca.pem")));
    const QSslKey key(readAll(folder + QStringLiteral("/server.key")), QSsl::Ec);
    if (serverCerts.isEmpty() || caCerts.isEmpty() || key.isNull()) {
        *error = QStringLiteral("the generated certificate or key in %1 cannot be read").arg(folder);
        return false;
    }
    *config = QSslConfiguration::defaultConfiguration();
    config->setLocalCertificateChain(serverCerts + caCerts);
    config->setPrivateKey(key);
    config->setPeerVerifyMode(QSslSocket::VerifyNone);
    return true;
}
