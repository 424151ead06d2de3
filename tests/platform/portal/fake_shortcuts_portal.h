#pragma once
// A stand-in for the desktop portal's GlobalShortcuts interface, on a bus
// connection of its own: sessions, bindings (granted or refused) and key
// presses on demand.

#include <QDBusArgument>
#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusObjectPath>
#include <QList>
#include <QObject>
#include <QStringList>
#include <QVariantMap>

// One shortcut as the portal passes them (outside any anonymous namespace:
// QtDBus finds the slot's parameter types by name).
struct FakeShortcut {
    QString id;
    QVariantMap properties;
};
Q_DECLARE_METATYPE(FakeShortcut)

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
    QList<FakeShortcut> boundShortcuts;
    QStringList sessions, closedSessions;

    uint version() const { return 1; }
    // Sends the key's `signal` ("Activated" or "Deactivated") for `session`.
    void press(const QString &session, const QString &id, const char *signal = "Activated");

public slots:
    QDBusObjectPath CreateSession(const QVariantMap &options, const QDBusMessage &message);
    QDBusObjectPath BindShortcuts(const QDBusObjectPath &session, const QList<FakeShortcut> &shortcuts,
                                  const QString &parentWindow, const QVariantMap &options,
                                  const QDBusMessage &message);

private:
    void respond(const QString &path, uint code, const QVariantMap &results);

    QDBusConnection m_bus;
    QString m_service;
};
