// The desktop's accessibility switch: the properties of org.a11y.Status on
// the object /org/a11y/bus of the session bus's org.a11y.Bus (at-spi2-core's
// bus launcher, started by D-Bus activation when asked).
#include "platform/accessibility/accessibility_reader.h"

#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDBusMessage>
#include <QDBusVariant>

namespace {

const QString kBus = QStringLiteral("org.a11y.Bus");
const QString kPath = QStringLiteral("/org/a11y/bus");
const QString kStatus = QStringLiteral("org.a11y.Status");
const QString kProperties = QStringLiteral("org.freedesktop.DBus.Properties");
constexpr int kTimeoutMs = 1000;

std::optional<bool> property(const QString &name, bool *answered) {
    QDBusMessage get = QDBusMessage::createMethodCall(kBus, kPath, kProperties, QStringLiteral("Get"));
    get << kStatus << name;
    const QDBusMessage reply = QDBusConnection::sessionBus().call(get, QDBus::Block, kTimeoutMs);
    if (reply.type() != QDBusMessage::ReplyMessage || reply.arguments().isEmpty())
        return std::nullopt;
    *answered = true;
    return reply.arguments().first().value<QDBusVariant>().variant().toBool();
}

} // namespace

DesktopAccessibility desktopAccessibility() {
    DesktopAccessibility status;
    if (!QDBusConnection::sessionBus().isConnected())
        return status;
    status.enabled = property(QStringLiteral("IsEnabled"), &status.busPresent).value_or(false);
    status.screenReader = property(QStringLiteral("ScreenReaderEnabled"), &status.busPresent).value_or(false);
    return status;
}

bool setDesktopAccessibilityEnabled(bool enabled) {
    QDBusMessage set = QDBusMessage::createMethodCall(kBus, kPath, kProperties, QStringLiteral("Set"));
    set << kStatus << QStringLiteral("IsEnabled") << QVariant::fromValue(QDBusVariant(enabled));
    const QDBusMessage reply = QDBusConnection::sessionBus().call(set, QDBus::Block, kTimeoutMs);
    return reply.type() == QDBusMessage::ReplyMessage;
}
