#pragma once
// sway's IPC (the i3 protocol on the Unix socket named by $SWAYSOCK): the
// outputs and the windows, native Wayland and XWayland alike, with their
// rectangles in the layout's (logical) coordinates.

#include <QByteArray>
#include <QJsonDocument>
#include <QList>
#include <QRect>
#include <QString>

#include <optional>

struct SwayOutput {
    QString name;
    QRect rect;
    double scale = 1.0;
};

struct SwayWindow {
    QRect rect;     // frame and border included
    qint64 pid = 0; // 0 when unknown
    QString appID;  // Wayland app id, or the X11 class
    QString title;
    bool xwayland = false;
};

struct SwayLayout {
    QList<SwayOutput> outputs;
    // Windows on the visible workspaces, front to back: floating windows
    // (top of their stack first), then tiled ones.
    QList<SwayWindow> windows;
};

// Message types of the protocol used here.
enum class SwayMessage : quint32 { Command = 0, GetOutputs = 3, GetTree = 4 };

// One request and its reply payload (JSON text); nothing, with `problem`
// set, when the socket cannot be reached or the reply is malformed. Blocks
// at most `timeoutMs`; any thread.
std::optional<QByteArray> swayRequest(const QString &socketPath, SwayMessage type,
                                      const QByteArray &payload = QByteArray(), QString *problem = nullptr,
                                      int timeoutMs = 2000);

// The layout of a get_tree reply (windows of workspaces that are not shown
// are left out; scratchpad too).
SwayLayout swayLayoutFromTree(const QJsonDocument &tree);

// get_tree through the socket.
std::optional<SwayLayout> readSwayLayout(const QString &socketPath, QString *problem = nullptr);

// Focuses the output that holds the centre of `screen` (sway puts new
// windows there); false when there is none or sway refuses.
bool swayFocusOutput(const QString &socketPath, const QRect &screen, QString *problem = nullptr);
// Focuses the XWayland window `x11Window`; false while sway does not
// manage it (yet).
bool swayFocusWindow(const QString &socketPath, quint32 x11Window, QString *problem = nullptr);
