#pragma once
// The choice of the window server, made once per process.
//
// In order: KELVRA_WINDOW_SERVER names one ("x11", "sway", "kwin", "portal",
// "none"; for tests and for working around a desktop); a Wayland session
// ($XDG_SESSION_TYPE "wayland" or $WAYLAND_DISPLAY set) is never X11, even
// when $DISPLAY is set (XWayland shows an X11 program only the other X11
// programs, and black elsewhere); there sway's IPC when $SWAYSOCK answers,
// else KWin's window list when KWin runs and the portal offers screenshots,
// else the portal's screenshots alone; on X11 sessions X11; else a server
// that cannot capture and says why.

#include "platform/windowserver/window_server.h"

#include <QString>

#include <memory>

enum class WindowServerKind { X11, Sway, KWin, Portal, None };

struct SessionFacts {
    QString override;    // $KELVRA_WINDOW_SERVER
    QString sessionType; // $XDG_SESSION_TYPE
    bool waylandDisplay = false;
    bool x11Display = false;
    bool swayAnswers = false;      // $SWAYSOCK set and answering
    bool kwinRunning = false;      // org.kde.KWin on the session bus
    bool portalScreenshot = false; // the portal offers Screenshot
    QString portalProblem;         // why it does not
};

struct WindowServerChoice {
    WindowServerKind kind = WindowServerKind::None;
    // Why nothing can capture (None), with what to do.
    QString reason;
};

WindowServerChoice chooseWindowServer(const SessionFacts &facts);

// The facts of this process's session; asks sway and the session bus only
// where the answer matters (a Wayland session or an override).
SessionFacts probeSession();

// Makes the chosen server; a server that cannot be made becomes the null
// one, with the reason.
std::shared_ptr<WindowServer> makeWindowServer(const WindowServerChoice &choice);
