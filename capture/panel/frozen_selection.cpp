#include "capture/panel/frozen_selection.h"

#include "capture/panel/view_controller.h"

#include <QGuiApplication>
#include <QMessageBox>
#include <QPointer>

#include <cstdio>

void showCaptureProblem(const QString &message, QWidget *near) {
    std::fprintf(stderr, "kelvra-capture: capture unavailable: %s\n", qPrintable(message));
    std::fflush(stderr);
    static QPointer<QMessageBox> shown;
    if (shown) {
        shown->setText(message);
        shown->raise();
        return;
    }
    auto *box = new QMessageBox(QMessageBox::Warning, QStringLiteral("KelvraCapture cannot capture"), message,
                                QMessageBox::Ok, near ? near->window() : nullptr);
    box->setAttribute(Qt::WA_DeleteOnClose);
    box->setWindowModality(Qt::NonModal);
    box->setObjectName(QStringLiteral("captureProblem"));
    shown = box;
    box->show();
}

QString desktopWindowHandle(const QWidget *window) {
    if (!window || QGuiApplication::platformName() != QLatin1String("xcb"))
        return QString();
    return QStringLiteral("x11:%1").arg(quint64(window->winId()), 0, 16);
}

void ViewController::freezeScreenThenSelect(std::shared_ptr<WindowServer> server, quint64 selection) {
    QPointer<ViewController> self(this);
    server->freezeScreen(desktopWindowHandle(m_window), this,
                         [self, server, selection](const CaptureResult &result) {
                             // A cancel (or a new selection) in the meantime wins.
                             if (!self || !self->snapshotMode || self->m_selectionGeneration != selection)
                                 return;
                             if (result.status == CaptureResult::Status::Cancelled) {
                                 self->cancelSnapshot();
                                 return;
                             }
                             if (!result.ok() || !self->snapshotWindow) {
                                 showCaptureProblem(result.message, self->m_window);
                                 self->cancelSnapshot();
                                 return;
                             }
                             // A tiling compositor would tile a plain window.
                             self->snapshotWindow->showsFullScreen = true;
                             self->showOverlay(server->frozenPictureOf(self->snapshotWindow->geometry()));
                         });
}
