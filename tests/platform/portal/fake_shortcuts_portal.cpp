#include "fake_shortcuts_portal.h"

#include "fake_portal.h"

namespace {
const QString kDesktop = QStringLiteral("/org/freedesktop/portal/desktop");

QString pathFor(const QDBusMessage &message, const char *kind, const QString &token) {
    QString sender = message.service().mid(1);
    sender.replace(QLatin1Char('.'), QLatin1Char('_'));
    return QStringLiteral("%1/%2/%3/%4").arg(kDesktop, QString::fromLatin1(kind), sender, token);
}
} // namespace

FakeShortcutsPortal::FakeShortcutsPortal(const QString &service, const QString &connectionName)
    : m_bus(QDBusConnection::connectToBus(QDBusConnection::SessionBus, connectionName)), m_service(service) {
    registerPortalShortcutTypes();
    new FakeRegistry(this, &calls);
    m_bus.registerObject(kDesktop, this,
                         QDBusConnection::ExportAllSlots | QDBusConnection::ExportAllProperties |
                             QDBusConnection::ExportAdaptors);
    m_bus.registerService(service);
}

FakeShortcutsPortal::~FakeShortcutsPortal() {
    m_bus.unregisterService(m_service);
    QDBusConnection::disconnectFromBus(m_bus.name());
}

void FakeShortcutsPortal::press(const QString &session, const QString &id, const char *signal) {
    QDBusMessage m = QDBusMessage::createSignal(
        kDesktop, QStringLiteral("org.freedesktop.portal.GlobalShortcuts"), QString::fromLatin1(signal));
    m << QVariant::fromValue(QDBusObjectPath(session)) << id << qulonglong(1234) << QVariantMap();
    m_bus.send(m);
}

QDBusObjectPath FakeShortcutsPortal::CreateSession(const QVariantMap &options, const QDBusMessage &message) {
    calls.append(QStringLiteral("CreateSession"));
    sessionOptions.append(options);
    const QString session =
        pathFor(message, "session", options.value(QStringLiteral("session_handle_token")).toString());
    sessions.append(session);
    m_bus.registerObject(session, new FakeSession(&closedSessions, session, this),
                         QDBusConnection::ExportAllSlots);
    const QString request =
        pathFor(message, "request", options.value(QStringLiteral("handle_token")).toString());
    respond(request, 0, {{QStringLiteral("session_handle"), session}});
    return QDBusObjectPath(request);
}

QDBusObjectPath FakeShortcutsPortal::BindShortcuts(const QDBusObjectPath &session,
                                                   const QList<PortalShortcut> &shortcuts,
                                                   const QString &parentWindow, const QVariantMap &options,
                                                   const QDBusMessage &message) {
    Q_UNUSED(parentWindow);
    calls.append(QStringLiteral("BindShortcuts"));
    const QString request =
        pathFor(message, "request", options.value(QStringLiteral("handle_token")).toString());
    if (refuseBinding || !sessions.contains(session.path())) {
        respond(request, 2, {});
        return QDBusObjectPath(request);
    }
    boundShortcuts = shortcuts;
    QList<PortalShortcut> given;
    for (PortalShortcut s : shortcuts) {
        s.properties.insert(QStringLiteral("trigger_description"), QStringLiteral("Shift+M"));
        given.append(s);
    }
    respond(request, 0, {{QStringLiteral("shortcuts"), QVariant::fromValue(given)}});
    return QDBusObjectPath(request);
}

// The answer goes out before the call's reply, as fast portals do.
void FakeShortcutsPortal::respond(const QString &path, uint code, const QVariantMap &results) {
    QDBusMessage signal = QDBusMessage::createSignal(path, QStringLiteral("org.freedesktop.portal.Request"),
                                                     QStringLiteral("Response"));
    signal << code << results;
    m_bus.send(signal);
}
