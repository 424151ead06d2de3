#pragma once
// Tells when the computer is about to shut down or restart, and holds that
// back a little while the application has something to say first.
//
// systemd-logind (org.freedesktop.login1 on the system bus) announces a
// shutdown with PrepareForShutdown(true); a "delay" inhibitor taken before
// (Inhibit("shutdown", …, "delay")) makes it wait for the inhibitor's
// release, at most its InhibitDelayMaxSec (5 s by default). Logging out of
// the desktop reaches the application through Qt's session management
// (QGuiApplication::commitDataRequest), not through this watch.

#include <QDBusConnection>
#include <QDBusUnixFileDescriptor>
#include <QObject>
#include <QString>

class KCSessionEndWatch : public QObject {
    Q_OBJECT
public:
    // Watches logind on `bus` (the system bus by default; tests give a bus
    // of their own). Without logind, never reports.
    explicit KCSessionEndWatch(QObject *parent = nullptr,
                               const QDBusConnection &bus = QDBusConnection::systemBus());

    // While `why` is not empty, a delay inhibitor is held with `why` as its
    // reason (shown by `systemd-inhibit --list` and by desktops that ask
    // before shutting down); an empty `why` lets it go.
    void holdShutdown(const QString &why);
    bool isHolding() const { return m_inhibitor.isValid(); }

signals:
    // The computer shuts down or restarts now; the inhibitor, if held, is
    // let go once the receivers have returned.
    void shuttingDown();

private slots:
    void prepareForShutdown(bool starting);

private:
    QDBusConnection m_bus;
    QDBusUnixFileDescriptor m_inhibitor;
    QString m_why;
};
