#pragma once
// The overlay window of a capture: a borderless, translucent window covering
// one screen, whose only content is the selection view (screenshotView).

#include <QRect>
#include <QRectF>
#include <QWidget>

class captureWindow : public QWidget {
    Q_OBJECT
public:
    // `contentRect` in Qt's global coordinates (the frame of a screen). The
    // style, backing and deferral wishes are ignored: the window is always
    // borderless and buffered, made at once.
    explicit captureWindow(const QRect &contentRect, int styleMask = 0, int backing = 2, bool defer = false);

    bool canBecomeKeyWindow() const { return true; }
    QWidget *contentView() const { return m_contentView; }

    // Shows the window above the application's other normal windows and gives
    // it the keyboard focus.
    void makeKeyAndOrderFront();
    // Shown as a full-screen window of its screen (where the window manager
    // would otherwise tile a plain window: Wayland compositors).
    bool showsFullScreen = false;
    // Takes the window off the screen.
    void orderOut();
    bool isOnScreen() const { return isVisible(); }

    // Converts between the window's coordinates (origin at its bottom-left
    // corner, y upwards) and screen coordinates (origin at the bottom-left
    // corner of the primary screen).
    QRectF convertRectToScreen(const QRectF &windowRect) const;
    QRectF convertRectFromScreen(const QRectF &screenRect) const;

protected:
    void resizeEvent(QResizeEvent *event) override;

private:
    QWidget *m_contentView = nullptr;
};
