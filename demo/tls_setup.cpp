#include "demo/tls_setup.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QHostAddress>
#include <QProcess>
#include <QSslCertificate>
#include <QSslKey>
#include <QTemporaryDir>

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

bool makeDemoCertificates(const QString &target, const QString &host, QSslConfiguration *config,
                          QString *error) {
    if (!QDir().mkpath(target)) {
        *error = QStringLiteral("cannot create %1").arg(target);
        return false;
    }
    // Private keys of earlier runs are not left lying around.
    for (const char *old : {"ca.key", "server.key", "server.csr", "server.ext", "server.pem", "ca.srl"})
        QFile::remove(target + QLatin1Char('/') + QLatin1String(old));
    // Mode 0700, removed with everything in it; in memory-backed runtime
    // folder when there is one.
    const QString runtime = qEnvironmentVariable("XDG_RUNTIME_DIR");
    QTemporaryDir scratch = runtime.isEmpty() || !QFileInfo(runtime).isWritable()
                                ? QTemporaryDir()
                                : QTemporaryDir(runtime + QStringLiteral("/kelvra-demo-tls-XXXXXX"));
    if (!scratch.isValid()) {
        *error = QStringLiteral("cannot make a private temporary folder: %1").arg(scratch.errorString());
        return false;
    }
    const QString folder = scratch.path();

    QStringList names = {QStringLiteral("IP:127.0.0.1"), QStringLiteral("IP:::1"),
                         QStringLiteral("DNS:localhost")};
    QStringList permitted = {QStringLiteral("permitted;IP:127.0.0.0/255.0.0.0"),
                             QStringLiteral("permitted;IP:::1/ffff:ffff:ffff:ffff:ffff:ffff:ffff:ffff"),
                             QStringLiteral("permitted;DNS:localhost")};
    const QHostAddress address(host);
    if (!host.isEmpty() && address.isNull() && host != QLatin1String("localhost")) {
        names.append(QStringLiteral("DNS:") + host);
        permitted.append(QStringLiteral("permitted;DNS:") + host);
    } else if (!address.isNull() && !address.isLoopback() && address != QHostAddress::Any &&
               address != QHostAddress::AnyIPv4 && address != QHostAddress::AnyIPv6) {
        names.append(QStringLiteral("IP:") + address.toString());
        permitted.append(
            QStringLiteral("permitted;IP:%1/%2")
                .arg(address.toString(), address.protocol() == QAbstractSocket::IPv6Protocol
                                             ? QStringLiteral("ffff:ffff:ffff:ffff:ffff:ffff:ffff:ffff")
                                             : QStringLiteral("255.255.255.255")));
    }

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
    if (!runOpenssl(
            QStringList{QStringLiteral("req"), QStringLiteral("-x509")} + ecKey +
                QStringList{QStringLiteral("-keyout"), QStringLiteral("ca.key"), QStringLiteral("-out"),
                            QStringLiteral("ca.pem"), QStringLiteral("-days"), QStringLiteral("30"),
                            QStringLiteral("-subj"), QStringLiteral("/CN=Kelvra Demo Service CA"),
                            QStringLiteral("-addext"), QStringLiteral("basicConstraints=critical,CA:TRUE"),
                            QStringLiteral("-addext"),
                            QStringLiteral("keyUsage=critical,keyCertSign,cRLSign"),
                            QStringLiteral("-addext"),
                            QStringLiteral("nameConstraints=critical,") + permitted.join(QLatin1Char(','))},
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

    const auto serverCerts = QSslCertificate::fromData(readAll(folder + QStringLiteral("/server.pem")));
    const auto caCerts = QSslCertificate::fromData(readAll(folder + QStringLiteral("/ca.pem")));
    const QSslKey key(readAll(folder + QStringLiteral("/server.key")), QSsl::Ec);
    if (serverCerts.isEmpty() || caCerts.isEmpty() || key.isNull()) {
        *error = QStringLiteral("the generated certificate or key cannot be read");
        return false;
    }
    // Clients trust this; it is all that stays.
    QFile::remove(target + QStringLiteral("/ca.pem"));
    if (!QFile::copy(folder + QStringLiteral("/ca.pem"), target + QStringLiteral("/ca.pem"))) {
        *error = QStringLiteral("cannot write %1/ca.pem").arg(target);
        return false;
    }
    *config = QSslConfiguration::defaultConfiguration();
    config->setLocalCertificateChain(serverCerts + caCerts);
    config->setPrivateKey(key);
    config->setPeerVerifyMode(QSslSocket::VerifyNone);
    return true;
}
