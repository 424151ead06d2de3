#pragma once
// The window server as the capture code needs it: the on-screen windows below
// a given window, front to back, with their bounds, and a composite image of
// a screen rectangle made only of the windows below a given window (so that
// the given window, and everything above it, never shows in the image).
//
// Coordinates are the window server's: device pixels, origin at the top-left
// corner of the whole screen area, y growing downwards.

#include "platform/windowserver/capture_result.h"

#include <QFlags>
#include <QImage>
#include <QList>
#include <QObject>
#include <QRect>
#include <QString>

#include <functional>
#include <memory>

struct WindowServerWindow {
    // The server's id of the top-level window (its frame under a window
    // manager).
    quint32 windowID = 0;
    // Outer bounds, borders and frame decorations included.
    QRect bounds;
    // Whether the window has an alpha channel of its own.
    bool translucent = false;
    // A whole screen standing in for the windows on it, where the desktop
    // tells no window geometry.
    bool wholeScreen = false;
    // The process that shows the window, where the compositor tells it
    // along with the list (0: ask windowProcess(), or not known).
    qint64 pid = 0;
};

// What a window server can do; the capture code asks for these, never which
// server runs.
enum class WindowServerCapability {
    // windowsBelowAll() lists the windows with their bounds.
    WindowList = 0x1,
    // imageOfRectBelowAll() reads what lies below our windows at any time.
    LiveImages = 0x2,
    // Only one frozen picture of the screens: freezeScreen() first, then the
    // window list and images answer from that moment.
    FrozenPicture = 0x4,
    // Coordinates are Qt's global (logical) points, not device pixels.
    PointCoordinates = 0x8,
};
Q_DECLARE_FLAGS(WindowServerCapabilities, WindowServerCapability)
Q_DECLARE_OPERATORS_FOR_FLAGS(WindowServerCapabilities)

class WindowServer {
public:
    virtual ~WindowServer() = default;

    virtual WindowServerCapabilities capabilities() const {
        return WindowServerCapability::WindowList | WindowServerCapability::LiveImages;
    }
    // A short name for logs ("x11", "sway", "portal", "none").
    virtual QString name() const { return QStringLiteral("other"); }
    // Why this server cannot capture (empty when it can), with what to do.
    virtual QString unavailableReason() const { return QString(); }

    // With FrozenPicture: takes one picture of every screen (the desktop may
    // ask the user first); `done` runs once on the thread of `context`.
    // `parentWindow` names the window asking ("x11:<hex id>"), for the
    // desktop's dialogs. Call on the thread that owns `context`.
    virtual void freezeScreen(const QString &parentWindow, QObject *context,
                              std::function<void(const CaptureResult &)> done) {
        Q_UNUSED(parentWindow);
        Q_UNUSED(context);
        done(CaptureResult::failed(QStringLiteral("this window server takes no frozen pictures")));
    }
    // The frozen picture of `rect` (Qt global coordinates), at the picture's
    // own resolution; null before a freeze.
    virtual QImage frozenPictureOf(const QRect &rect) const {
        Q_UNUSED(rect);
        return QImage();
    }

    // For compositors that put a new window on the focused screen whatever
    // position it asks for (tiling ones): makes the screen `screen` (global
    // coordinates) the focused one, so the next window shown goes there.
    // True where nothing needs doing.
    virtual bool focusScreen(const QRect &screen) {
        Q_UNUSED(screen);
        return true;
    }
    // Gives the keyboard to this process's window `window` where the
    // compositor does not grant an application's own request; false while
    // the compositor does not know the window yet (just shown). True where
    // nothing needs doing.
    virtual bool focusWindow(quint32 window) {
        Q_UNUSED(window);
        return true;
    }

    // The mapped, visible top-level windows strictly below `window`, front to
    // back, desktop windows (the background and its icons) left out. `window` may be a client window inside a
    // frame; 0 (or a window that is not on screen) lists every top-level window.
    QList<WindowServerWindow> windowsBelow(quint32 window) const { return windowsBelowAll({window}); }
    // The same below every one of `windows` (below the lowest of them).
    virtual QList<WindowServerWindow> windowsBelowAll(const QList<quint32> &windows) const = 0;

    // The area `rect` as the windows below `window` show it, composed bottom
    // to top. Areas no window covers are opaque black. A null image for an
    // empty rectangle or when the server cannot be asked.
    QImage imageOfRectBelow(const QRect &rect, quint32 window) const {
        return imageOfRectBelowAll(rect, {window});
    }
    virtual QImage imageOfRectBelowAll(const QRect &rect, const QList<quint32> &windows) const = 0;

    // The process that shows the top-level window `windowID` (as the
    // window tells it: _NET_WM_PID on X11); 0 when not known.
    virtual qint64 windowProcess(quint32 windowID) const {
        Q_UNUSED(windowID);
        return 0;
    }

    // Whether a compositing manager runs (translucent windows are shown
    // translucent only then).
    virtual bool compositingManagerRunning() const = 0;

    // The screens (monitors), primary first.
    virtual QList<QRect> screens() const = 0;
};

// The X11 implementation, on a connection of its own. Making it starts the
// automatic redirection of the root's subwindows, held as long as the object
// lives, so every window's pixels are kept off screen and can be read even
// where other windows cover them.
class X11WindowServer : public WindowServer {
public:
    // Null, with `failure` set, when the display cannot be opened or lacks
    // the Composite extension. `display` empty means $DISPLAY.
    static std::unique_ptr<X11WindowServer> open(const QString &display = QString(),
                                                 QString *failure = nullptr);
    ~X11WindowServer() override;

    QList<WindowServerWindow> windowsBelowAll(const QList<quint32> &windows) const override;
    QImage imageOfRectBelowAll(const QRect &rect, const QList<quint32> &windows) const override;
    bool compositingManagerRunning() const override;
    QList<QRect> screens() const override;
    QString name() const override { return QStringLiteral("x11"); }
    qint64 windowProcess(quint32 windowID) const override;
    // The top-level window (child of the root) that holds `window`; 0 when
    // there is none.
    quint32 toplevelWindow(quint32 window) const;

    X11WindowServer(const X11WindowServer &) = delete;
    X11WindowServer &operator=(const X11WindowServer &) = delete;

private:
    struct Private;
    explicit X11WindowServer(std::unique_ptr<Private> d);
    std::unique_ptr<Private> d;
};

// The process's window server, chosen once on first use (thread-safe) by
// window_server_loader.h; never null (a server that cannot capture tells
// why). Tests may install a double.
std::shared_ptr<WindowServer> sharedWindowServer();
void setSharedWindowServer(std::shared_ptr<WindowServer> server);
