#pragma once
// Which desktop session the application runs in, and the Qt platform it
// chooses there.
//
// On Wayland sessions the application runs through XWayland when it can: an
// X11 window may ask to stay above other windows and to float as a utility
// window, which GNOME, KDE and wlroots compositors (sway) honour for
// XWayland windows, while a native Wayland window can do neither without
// layer-shell (which GNOME lacks). The screen pictures come from the desktop
// portal either way (the window server loader never uses X11 there).

#include <QString>

// $XDG_SESSION_TYPE is "wayland", or $WAYLAND_DISPLAY is set.
bool kcIsWaylandSession();

// Before the application object exists: on a Wayland session with XWayland
// ($DISPLAY set) and no platform chosen by the user ($QT_QPA_PLATFORM), run
// on "xcb".
void kcChooseQtPlatform();
