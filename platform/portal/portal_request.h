#pragma once
// What every desktop portal request shares: a handle token of its own, and
// the request object's path that the token makes known before the call (so
// its Response can be subscribed first).

#include <QDBusConnection>
#include <QString>

inline const QString kPortalDesktopPath = QStringLiteral("/org/freedesktop/portal/desktop");
inline const QString kPortalRequestInterface = QStringLiteral("org.freedesktop.portal.Request");

// A token no other request of this process uses ("kelvra<pid>_<n>").
QString portalNewToken();

// The path of the request, or session, object named `token` for the caller
// on `bus`: /org/freedesktop/portal/desktop/<kind>/<sender>/<token>, where
// <kind> is "request" or "session".
QString portalObjectPath(const QDBusConnection &bus, const QString &kind, const QString &token);

// Tells the portal which application this (unsandboxed) process is, by its
// desktop entry id, where the portal asks host applications to say so
// (org.freedesktop.host.portal.Registry, xdg-desktop-portal 1.19 and later);
// desktops key their grants and global shortcuts by it. Must be the first
// portal call on `bus`; without the interface nothing happens.
void portalRegisterHostApp(const QDBusConnection &bus, const QString &appID,
                           const QString &service = QStringLiteral("org.freedesktop.portal.Desktop"));
