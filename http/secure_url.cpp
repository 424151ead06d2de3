#include "http/secure_url.h"

#include <QHostAddress>

bool kcIsLoopbackHost(const QString &host) {
    QString name = host.trimmed().toLower();
    if (name.startsWith(QLatin1Char('[')) && name.endsWith(QLatin1Char(']')))
        name = name.mid(1, name.size() - 2);
    if (name.endsWith(QLatin1Char('.')))
        name.chop(1);
    if (name == QLatin1String("localhost") || name.endsWith(QLatin1String(".localhost")))
        return true;
    QHostAddress address;
    if (!address.setAddress(name))
        return false;
    bool mapped = false;
    const quint32 v4 = address.toIPv4Address(&mapped);
    if (mapped)
        return (v4 >> 24) == 127;
    return address.isLoopback();
}

QString kcInsecureURLProblem(const QUrl &url, const QString &what, const QString &secret) {
    const QString scheme = url.scheme().toLower();
    if (scheme == QLatin1String("https"))
        return {};
    if (scheme == QLatin1String("http") && kcIsLoopbackHost(url.host()))
        return {};
    if (scheme != QLatin1String("http"))
        return QStringLiteral("%1 must start with https://.").arg(what);
    return QStringLiteral("%1 uses plain http:// to %2, which would send %3 unencrypted over the network; "
                          "use https:// (plain http is accepted only for this computer: localhost, "
                          "127.0.0.1 or ::1).")
        .arg(what, url.host(), secret);
}
