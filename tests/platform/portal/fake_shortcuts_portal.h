#pragma once
// A stand-in for the desktop portal's GlobalShortcuts interface, on a bus
// connection of its own: sessions, bindings (granted or refused) and key
// presses on demand.

#include <QDBusAbstractAdaptor>
#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusObjectPath>
#include <QList>
#include <QObject>
#include <QStringList>
#include <QVariantMap>

#include "platform/portal/portal_global_shortcut.h"

// The portal's registry of host applications, on the same object.
class FakeRegistry : public QDBusAbstractAdaptor {
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.freedesktop.host.portal.Registry")
public:
    FakeRegistry(QObject *portal, QStringList *calls) : QDBusAbstractAdaptor(portal), m_calls(calls) {}
public slots:
    void Register(const QString &appID, const QVariantMap &options) {
        Q_UNUSED(options);
        m_calls->append(QStringLiteral("Register ") + appID);
    }

private:
    QStringList *m_calls;
};

class FakeShortcutsPortal : public QObject {
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.freedesktop.portal.GlobalShortcuts")
    Q_PROPERTY(uint version READ version)
public:
    // Registers `service` on a connection named `connectionName`.
    FakeShortcutsPortal(const QString &service, const QString &connectionName);
    ~FakeShortcutsPortal() override;

    bool refuseBinding = false;
    // Every call, in the order they came ("Register <app id>",
    // "CreateSession", "BindShortcuts").
    QStringList calls;
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
