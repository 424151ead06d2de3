#pragma once
// The window server as the capture code needs it: the on-screen windows below
// a given window, front to back, with their bounds, and a composite image of
// a screen rectangle made only of the windows below a given window (so that
// the given window, and everything above it, never shows in the image).
//
// Coordinates are the window server's: device pixels, origin at the top-left
// corner of the whole screen area, y growing downwards.

#include <QImage>
#include <QList>
#include <QRect>
#include <QString>

#include <memory>

struct WindowServerWindow {
    // The server's id of the top-level window (its frame under a window
    // manager).
    quint32 windowID = 0;
    // Outer bounds, borders and frame decorations included.
    QRect bounds;
    // Whether the window has an alpha channel of its own.
    bool translucent = false;
};

class WindowServer {
public:
    virtual ~WindowServer() = default;

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

    X11WindowServer(const X11WindowServer &) = delete;
    X11WindowServer &operator=(const X11WindowServer &) = delete;

private:
    struct Private;
    explicit X11WindowServer(std::unique_ptr<Private> d);
    std::unique_ptr<Private> d;
};

// The process's window server: the X11 one when a display can be opened,
// else null. Made on first use (thread-safe); tests may install a double.
std::shared_ptr<WindowServer> sharedWindowServer();
void setSharedWindowServer(std::shared_ptr<WindowServer> server);
