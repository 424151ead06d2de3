#include "capture/capture_window.h"

#include "capture/screen_coordinates.h"

#include <QResizeEvent>

captureWindow::captureWindow(const QRect &contentRect, int styleMask, int backing, bool defer)
    : QWidget(nullptr, Qt::Window | Qt::FramelessWindowHint) {
    Q_UNUSED(styleMask);
    Q_UNUSED(backing);
    Q_UNUSED(defer);
    setAttribute(Qt::WA_TranslucentBackground);
    setAttribute(Qt::WA_NoSystemBackground);
    setAutoFillBackground(false);
    setWindowTitle(QStringLiteral("KelvraCapture selection"));
    setGeometry(contentRect);
    m_contentView = new QWidget(this);
    m_contentView->setAttribute(Qt::WA_TranslucentBackground);
    m_contentView->setGeometry(rect());
    // Made at once, not on first show.
    winId();
}

void captureWindow::makeKeyAndOrderFront() {
    if (showsFullScreen)
        setWindowState(windowState() | Qt::WindowFullScreen);
    show();
    raise();
    activateWindow();
}

void captureWindow::orderOut() {
    hide();
}

QRectF captureWindow::convertRectToScreen(const QRectF &r) const {
    const QRectF global(geometry().x() + r.x(), geometry().y() + height() - r.y() - r.height(), r.width(),
                        r.height());
    return screenRectFromGlobalRect(global, primaryScreenHeight());
}

QRectF captureWindow::convertRectFromScreen(const QRectF &r) const {
    const QRectF global = globalRectFromScreenRect(r, primaryScreenHeight());
    return QRectF(global.x() - geometry().x(), geometry().y() + height() - global.y() - global.height(),
                  r.width(), r.height());
}

void captureWindow::resizeEvent(QResizeEvent *event) {
    QWidget::resizeEvent(event);
    m_contentView->setGeometry(rect());
    // Views filling the content view follow it.
    for (QWidget *child : m_contentView->findChildren<QWidget *>(Qt::FindDirectChildrenOnly))
        child->setGeometry(m_contentView->rect());
}
