#pragma once
// Which desktop session the application runs in, and the Qt platform it
// chooses there.
//
// On Wayland sessions the application runs through XWayland when it can: an
// X11 window may ask to stay above other windows and to float as a utility
// window, which GNOME, KDE and wlroots compositors (sway) honour for
// XWayland windows, while a native Wayland window can do neither without
// layer-shell (which GNOME lacks). The screen pictures come from the
// compositor or the desktop portal either way (the window server loader
// never uses X11 there).

#include <QObject>
#include <QString>

#include <functional>

// $XDG_SESSION_TYPE is "wayland", or $WAYLAND_DISPLAY is set.
bool kcIsWaylandSession();

// Before the application object exists: on a Wayland session with XWayland
// ($DISPLAY set) and no platform chosen by the user ($QT_QPA_PLATFORM), run
// on "xcb".
void kcChooseQtPlatform();

// On a Wayland session, where no application sees keys pressed in other
// windows: Shift+M anywhere starts a capture (`capture` runs) where the
// desktop's portal offers global shortcuts (org.freedesktop.portal.
// GlobalShortcuts; the desktop may ask the user once, or give another key).
// Where it does not, one line on stderr says so and names the way out:
// `kelvra-capture capture` bound to a key in the desktop's keyboard settings.
// The binding lives as long as `parent`; the portal is asked through
// PortalHelper::shared(). The application is first made
// known to the portal by `appID` (its desktop entry id), where the portal
// asks that of applications outside a sandbox.
void kcBindGlobalCaptureShortcut(
    QObject *parent, const QString &appID, std::function<void()> capture,
    const QString &portalService = QStringLiteral("org.freedesktop.portal.Desktop"));
