#pragma once
// The choice of the window server, made once per process.
//
// In order: KELVRA_WINDOW_SERVER names one ("x11", "sway", "wlroots",
// "kwin", "portal", "none"; for tests and for working around a desktop); a
// Wayland session ($XDG_SESSION_TYPE "wayland" or $WAYLAND_DISPLAY set) is
// never X11, even when $DISPLAY is set (XWayland shows an X11 program only
// the other X11 programs, and black elsewhere); there sway's IPC when
// $SWAYSOCK answers, else the compositor's screen copy alone (other wlroots
// desktops), else KWin's window list when KWin runs and the portal offers
// screenshots, else the portal's screenshots alone; on X11 sessions X11;
// else a server that cannot capture and says why. Where the compositor
// offers its screen copy (wlroots), the pictures come from there, never
// from the portal (whose wlroots back end leaves each picture in /tmp).

#include "platform/windowserver/window_server.h"

#include <QString>

#include <memory>

enum class WindowServerKind { X11, Sway, Wlroots, KWin, Portal, None };

struct SessionFacts {
    QString override;    // $KELVRA_WINDOW_SERVER
    QString sessionType; // $XDG_SESSION_TYPE
    bool waylandDisplay = false;
    bool x11Display = false;
    bool swayAnswers = false;      // $SWAYSOCK set and answering
    bool screencopy = false;       // the compositor offers its screen copy
    bool kwinRunning = false;      // org.kde.KWin on the session bus
    bool portalScreenshot = false; // the portal offers Screenshot
    QString portalProblem;         // why it does not
};

struct WindowServerChoice {
    WindowServerKind kind = WindowServerKind::None;
    // Why nothing can capture (None), with what to do.
    QString reason;
    // Pictures from the compositor's screen copy (else from the portal).
    bool screencopy = false;
};

WindowServerChoice chooseWindowServer(const SessionFacts &facts);

// The facts of this process's session; asks sway, the compositor and the
// portal only where the answer matters (a Wayland session or an override),
// and the portal only without the compositor's screen copy.
SessionFacts probeSession();

// Makes the chosen server; a server that cannot be made becomes the null
// one, with the reason.
std::shared_ptr<WindowServer> makeWindowServer(const WindowServerChoice &choice);
