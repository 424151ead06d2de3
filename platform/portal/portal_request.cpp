#include "platform/portal/portal_request.h"

#include <QCoreApplication>
#include <QDBusMessage>
#include <QDBusPendingCall>
#include <QVariantMap>

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

void portalRegisterHostApp(const QDBusConnection &bus, const QString &appID, const QString &service) {
    if (!bus.isConnected())
        return;
    QDBusMessage call = QDBusMessage::createMethodCall(service, kPortalDesktopPath,
                                                       QStringLiteral("org.freedesktop.host.portal.Registry"),
                                                       QStringLiteral("Register"));
    call << appID << QVariantMap();
    // Answered or not, it went first: the calls of one connection arrive in
    // order.
    bus.asyncCall(call);
}
