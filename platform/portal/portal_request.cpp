#include "platform/portal/portal_request.h"

#include <QCoreApplication>

#include <atomic>

QString portalNewToken() {
    static std::atomic<quint32> counter{0};
    return QStringLiteral("kelvra%1_%2").arg(QCoreApplication::applicationPid()).arg(++counter);
}

QString portalObjectPath(const QDBusConnection &bus, const QString &kind, const QString &token) {
    // The caller's unique name without its colon, dots as underscores.
    QString sender = bus.baseService();
    if (sender.startsWith(QLatin1Char(':')))
        sender.remove(0, 1);
    sender.replace(QLatin1Char('.'), QLatin1Char('_'));
    return QStringLiteral("%1/%2/%3/%4").arg(kPortalDesktopPath, kind, sender, token);
}
