#include "http/secure_url.h"

#include <QHostInfo>

#include <algorithm>

bool kcIsLoopbackAddress(const QHostAddress &address) {
    bool v4 = false;
    const quint32 ip = address.toIPv4Address(&v4);
    if (v4)
        return (ip >> 24) == 127;
    return address.isLoopback();
}

namespace {

// The host in lower case, without brackets and a trailing dot.
QString normalizedHost(const QString &host) {
    QString name = host.trimmed().toLower();
    if (name.startsWith(QLatin1Char('[')) && name.endsWith(QLatin1Char(']')))
        name = name.mid(1, name.size() - 2);
    if (name.endsWith(QLatin1Char('.')))
        name.chop(1);
    return name;
}

bool isLocalhostName(const QString &name) {
    return name == QLatin1String("localhost") || name.endsWith(QLatin1String(".localhost"));
}

} // namespace

bool kcIsLoopbackName(const QString &host) {
    const QString name = normalizedHost(host);
    QHostAddress address;
    if (address.setAddress(name))
        return kcIsLoopbackAddress(address);
    return isLocalhostName(name);
}

bool kcIsLoopbackHost(const QString &host, const KCHostResolver &resolve) {
    const QString name = normalizedHost(host);
    QHostAddress address;
    if (address.setAddress(name))
        return kcIsLoopbackAddress(address);
    if (!isLocalhostName(name))
        return false;
    const QList<QHostAddress> addresses = resolve ? resolve(name) : QHostInfo::fromName(name).addresses();
    return !addresses.isEmpty() && std::all_of(addresses.cbegin(), addresses.cend(), kcIsLoopbackAddress);
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
