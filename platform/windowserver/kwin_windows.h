#pragma once
// KWin's window list (KDE Plasma on Wayland), through its scripting
// interface on the session bus: a short script, loaded from a private file,
// lists the windows and calls back into this process with them as JSON.
//
//   org.kde.KWin /Scripting org.kde.kwin.Scripting.loadScript(path, plugin) -> id
//   org.kde.KWin /Scripting/Script<id> org.kde.kwin.Script.run()
//     (Plasma 5 before 5.27-ish registered the script at /<id>; both are tried)
//   the script: callDBus(<our unique name>, <path>, <interface>, "Windows", json)
//   org.kde.KWin /Scripting org.kde.kwin.Scripting.unloadScript(plugin)
//
// Every call goes to the unique name that owns org.kde.KWin when the query
// starts, and only that name's answer is taken: another program on the bus
// cannot hand in a window list of its own.
//
// Verified here against a stand-in that speaks these calls as KWin's
// documentation describes them; the script's use of KWin's scripting API
// (workspace.windowList() in Plasma 6, workspace.clientList() in Plasma 5,
// frameGeometry, pid, minimized, normalWindow, dialog, stackingOrder, the
// current virtual desktop) follows that documentation and has not run in a
// real KWin here. Whatever goes wrong, the query ends within its timeout
// without windows, and the capture finds the window in the screen's picture.
// KWin gives frames in its logical layout coordinates, which are Qt's global
// coordinates of an XWayland client as long as KWin does not scale XWayland
// itself (scale 1, or Plasma's "scaled by the system" setting).

#include "platform/windowserver/wayland_window_server.h"

#include <QByteArray>
#include <QDBusConnection>
#include <QString>

#include <functional>
#include <optional>

struct KWinWindowsOptions {
    QString service = QStringLiteral("org.kde.KWin");
    // KWin is asked at each capture; it never holds a capture up longer.
    int timeoutMs = 1500;
};

struct KWinWindowsResult {
    // Front to back; nothing when KWin could not be asked.
    std::optional<QList<FrozenWindow>> windows;
    QString problem;
};

// The windows of the script's JSON that a capture may read, front to back:
// normal windows and dialogs on the current desktop, neither minimized nor
// hidden, with a frame. Nothing for JSON that is not the script's list.
std::optional<QList<FrozenWindow>> kwinWindowsFromJson(const QByteArray &json);

// The script that lists the windows and calls `method` of `interface` at
// `path` of `service` with them (exposed for its tests).
QByteArray kwinWindowListScript(const QString &service, const QString &path, const QString &interface);

// Asks KWin on `bus` for its windows; `done` runs once, on the thread of
// `context` (skipped when `context` is gone), at the latest after the
// timeout. Call on the thread that owns `context` and `bus`'s connection.
void queryKWinWindows(const QDBusConnection &bus, const KWinWindowsOptions &options, QObject *context,
                      std::function<void(const KWinWindowsResult &)> done);
