#pragma once
// Window servers for Wayland sessions, where an application sees neither the
// other windows nor their pixels: one frozen picture of the screens from a
// picture source (the compositor's screen copy, or the desktop portal), and
// the window rectangles from the
// compositor where it tells them (sway's IPC, KWin's scripting), taken at
// the same moment.
// Without a compositor that tells, every screen counts as one window (marked
// wholeScreen), and the capture finds the window in the screen's picture.
//
// Coordinates are Qt's global (logical) points; images come at the
// picture's own resolution. Windows of this process are never listed.

#include "platform/windowserver/frozen_frame.h"
#include "platform/windowserver/window_server.h"

#include <QMutex>

#include <optional>

struct FrozenWindow {
    QRect bounds;
    qint64 pid = 0;
};

// A picture of the screens, or why there is none. `screens` tells where
// each screen lies in the picture; empty for a picture of the whole layout at
// one scale (the portal's), placed by the layout's screens.
struct ScreenPicture {
    CaptureResult result;
    QList<FrozenScreen> screens;
};

class WaylandWindowServer : public WindowServer {
public:
    using PictureSource = std::function<void(const QString &parentWindow, QObject *context,
                                             std::function<void(const ScreenPicture &)> done)>;
    // Screens (global coordinates, primary first) and the windows front to
    // back at this moment; nothing when the compositor cannot be asked.
    struct Layout {
        QList<QRect> screens;
        std::optional<QList<FrozenWindow>> windows;
    };
    using LayoutSource = std::function<Layout()>;
    // The same for compositors that answer later (KWin): `done` runs once,
    // on the thread of `context`. Asked at the same time as the picture (a
    // synchronous source: when the picture arrives), so that the two round
    // trips overlap.
    using AsyncLayoutSource = std::function<void(QObject *context, std::function<void(Layout)> done)>;

    WaylandWindowServer(QString name, PictureSource pictures, LayoutSource layout);
    WaylandWindowServer(QString name, PictureSource pictures, AsyncLayoutSource layout);

    WindowServerCapabilities capabilities() const override;
    QString name() const override { return m_name; }
    void freezeScreen(const QString &parentWindow, QObject *context,
                      std::function<void(const CaptureResult &)> done) override;
    QImage frozenPictureOf(const QRect &rect) const override;

    QList<WindowServerWindow> windowsBelowAll(const QList<quint32> &windows) const override;
    QImage imageOfRectBelowAll(const QRect &rect, const QList<quint32> &windows) const override;
    bool compositingManagerRunning() const override { return true; }
    QList<QRect> screens() const override;

    // How this compositor focuses screens and windows (sway); without one,
    // nothing needs doing.
    struct Focuser {
        std::function<bool(const QRect &screen)> screen;
        std::function<bool(quint32 window)> window;
    };
    void setFocuser(Focuser focuser) { m_focuser = std::move(focuser); }
    bool focusScreen(const QRect &screen) override { return !m_focuser.screen || m_focuser.screen(screen); }
    bool focusWindow(quint32 window) override { return !m_focuser.window || m_focuser.window(window); }

private:
    Focuser m_focuser;
    QString m_name;
    PictureSource m_pictures;
    AsyncLayoutSource m_layout;
    bool m_layoutWithPicture = false; // asked at once, beside the picture
    mutable QMutex m_lock;
    FrozenFrame m_frame;
    Layout m_frozenLayout;
};

// A server that cannot capture, and says why.
class NullWindowServer : public WindowServer {
public:
    explicit NullWindowServer(QString reason) : m_reason(std::move(reason)) {}
    WindowServerCapabilities capabilities() const override { return {}; }
    QString name() const override { return QStringLiteral("none"); }
    QString unavailableReason() const override { return m_reason; }
    QList<WindowServerWindow> windowsBelowAll(const QList<quint32> &) const override { return {}; }
    QImage imageOfRectBelowAll(const QRect &, const QList<quint32> &) const override { return QImage(); }
    bool compositingManagerRunning() const override { return true; }
    QList<QRect> screens() const override { return {}; }

private:
    QString m_reason;
};
