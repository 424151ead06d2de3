#pragma once
// A stand-in for the desktop portal's GlobalShortcuts interface, on a bus
// connection of its own: sessions, bindings (granted or refused) and key
// presses on demand.

#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusObjectPath>
#include <QList>
#include <QObject>
#include <QStringList>
#include <QVariantMap>

#include "platform/portal/portal_global_shortcut.h"

class FakeShortcutsPortal : public QObject {
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.freedesktop.portal.GlobalShortcuts")
    Q_PROPERTY(uint version READ version)
public:
    // Registers `service` on a connection named `connectionName`.
    FakeShortcutsPortal(const QString &service, const QString &connectionName);
    ~FakeShortcutsPortal() override;

    bool refuseBinding = false;
    QList<QVariantMap> sessionOptions;
    QList<PortalShortcut> boundShortcuts;
    QStringList sessions, closedSessions;

    uint version() const { return 1; }
    // Sends the key's `signal` ("Activated" or "Deactivated") for `session`.
    void press(const QString &session, const QString &id, const char *signal = "Activated");

public slots:
    QDBusObjectPath CreateSession(const QVariantMap &options, const QDBusMessage &message);
    QDBusObjectPath BindShortcuts(const QDBusObjectPath &session, const QList<PortalShortcut> &shortcuts,
                                  const QString &parentWindow, const QVariantMap &options,
                                  const QDBusMessage &message);

private:
    void respond(const QString &path, uint code, const QVariantMap &results);

    QDBusConnection m_bus;
    QString m_service;
};
