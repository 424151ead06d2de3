#pragma once
// The controller of the floating capture window: it makes the window once,
// with the capture panel as its content, and hands both out.

#include "capture/panel/capture_controls.h"

#include <QObject>
#include <QPointer>

#include <functional>

class AppDelegate;

class CaptureMainWindowController : public QObject {
    Q_OBJECT
public:
    // Makes the panel that fills the window; the window takes its size from
    // the panel's size hint. The default panel is the capture button at
    // rest; the application installs kcMakeCapturePanel.
    using PanelFactory = std::function<QWidget *(CaptureMainWindow *window, AppDelegate *delegate)>;
    static void setPanelFactory(PanelFactory factory);

    explicit CaptureMainWindowController(AppDelegate *delegate, QObject *parent = nullptr);
    ~CaptureMainWindowController() override;

    CaptureMainWindow *window() const { return m_window; }
    // The window's content view (the panel).
    QWidget *contentView() const { return m_contentView; }

private:
    QPointer<CaptureMainWindow> m_window;
    QPointer<QWidget> m_contentView;
};

// The application's panel: the capture panel, with `delegate` as its
// session and its upload queue shown in the tray (KCPendingUploads).
QWidget *kcMakeCapturePanel(CaptureMainWindow *window, AppDelegate *delegate);

// The capture button at rest, as the panel shows it before a capture: a
// 52 by 52 white rounded view with the capture icon. Pressing it shows the
// orange capture border.
class KCRestCapturePanel : public captureMainView, public captureMainButtonDelegate {
    Q_OBJECT
public:
    explicit KCRestCapturePanel(QWidget *parent = nullptr);

    captureMainButton *captureButton() const { return m_button; }

    QSize sizeHint() const override { return QSize(52, 52); }

    void snapshotButtonPressedDown() override;
    void snapshotButtonDragged() override;
    void snapshotButtonPressedUp() override;

private:
    captureMainButton *m_button = nullptr;
};
