#include "capture/panel/frozen_selection.h"

#include "capture/capture_window.h"
#include "capture/panel/view_controller.h"
#include "capture/screenshot_view.h"

#include <QEvent>
#include <QGuiApplication>
#include <QMessageBox>
#include <QPointer>
#include <QScreen>
#include <QThreadPool>
#include <QTimer>

#include <cstdio>

namespace {
// The veils of the screens other than the panel's during one selection over
// a frozen picture: each screen full screen under its own window, any of
// them may take the selection. Shown after the panel's overlay was made,
// hidden with it, deleted with it.
class OtherScreenOverlays : public QObject {
public:
    explicit OtherScreenOverlays(captureWindow *main) : QObject(main) {
        setObjectName(kName);
        main->installEventFilter(this);
    }
    // Those of `main`'s last selection, if any.
    static OtherScreenOverlays *of(captureWindow *main) {
        return dynamic_cast<OtherScreenOverlays *>(
            main->findChild<QObject *>(kName, Qt::FindDirectChildrenOnly));
    }
    static constexpr const char *kName = "otherScreenOverlays";
    ~OtherScreenOverlays() override {
        for (const QPointer<captureWindow> &w : windows)
            delete w.data();
    }

    // One of the overlays, the panel's included.
    bool holds(const QWindow *window) const {
        if (!window)
            return false;
        if (static_cast<const captureWindow *>(parent())->windowHandle() == window)
            return true;
        for (const QPointer<captureWindow> &w : windows)
            if (w && w->windowHandle() == window)
                return true;
        return false;
    }

    QList<QPointer<captureWindow>> windows;

protected:
    bool eventFilter(QObject *watched, QEvent *event) override {
        if (watched == parent() && event->type() == QEvent::Hide)
            for (const QPointer<captureWindow> &w : windows)
                if (w)
                    w->orderOut();
        return false;
    }
};

// Shows the veils of the other screens one after the other, each where it
// belongs: the compositor may put a new window on the focused screen rather
// than where it asks to be, so that screen is focused first, and each
// window waits until the compositor has the one before (the panel's
// overlay, just shown, first; a few tries each). Last, the panel's overlay
// gets the keyboard back.
void showOneByOne(const std::shared_ptr<WindowServer> &server, QPointer<OtherScreenOverlays> others, int next,
                  int tries) {
    if (!others)
        return;
    auto *main = static_cast<captureWindow *>(others->parent());
    if (!main->isVisible())
        return;
    // The one shown last: the panel's overlay first.
    if (tries > 0) {
        const QPointer<captureWindow> shown =
            next > 0 ? others->windows[next - 1] : QPointer<captureWindow>(main);
        if (shown && !server->focusWindow(quint32(shown->winId()))) {
            QTimer::singleShot(
                30, others, [server, others, next, tries] { showOneByOne(server, others, next, tries - 1); });
            return;
        }
    }
    if (next >= others->windows.size()) {
        server->focusWindow(quint32(main->winId()));
        main->activateWindow();
        return;
    }
    if (captureWindow *window = others->windows[next]) {
        server->focusScreen(window->geometry());
        window->makeKeyAndOrderFront();
    }
    QTimer::singleShot(0, others, [server, others, next] { showOneByOne(server, others, next + 1, 30); });
}

// One screen's part of the frozen picture, plain and under the veil; made
// off the main thread (whole screens of pixels).
struct ScreenPicture {
    QRect frame;
    screenshotView::PreparedBackdrop backdrop;
};

QList<ScreenPicture> screenPictures(const WindowServer &server, const QList<QRect> &frames) {
    QList<ScreenPicture> pictures;
    for (const QRect &frame : frames)
        pictures.append({frame, screenshotView::prepareBackdrop(server.frozenPictureOf(frame))});
    return pictures;
}

// Veils every screen but the one of `main` (the panel's overlay, shown,
// whose view is `mainView`) for a selection over the frozen picture of
// `server` (`pictures`: each screen's part); the selection, wherever made,
// goes to `delegate`.
void coverOtherScreens(const std::shared_ptr<WindowServer> &server, const QList<ScreenPicture> &pictures,
                       captureWindow *main, screenshotView *mainView, QWidget *panelWindow,
                       screenShotDelegate *delegate) {
    if (!main || !mainView)
        return;
    delete OtherScreenOverlays::of(main);
    auto *others = new OtherScreenOverlays(main);
    // Moving the focus between the overlays (or to the panel) keeps the
    // selection going.
    QPointer<QWidget> panel(panelWindow);
    const auto keeps = [panel, others](QWindow *focus) {
        return (panel && panel->windowHandle() == focus) || others->holds(focus);
    };
    mainView->keepsSelection = keeps;
    for (const ScreenPicture &picture : pictures) {
        const QRect frame = picture.frame;
        if (frame == main->geometry() || frame.isEmpty())
            continue;
        auto *window = new captureWindow(frame, 0, 2, false);
        window->showsFullScreen = true;
        auto *view = new screenshotView(window->contentView());
        view->setGeometry(window->contentView()->rect());
        view->setSsDelegate(delegate);
        view->isSignedIn = mainView->isSignedIn;
        view->keepsSelection = keeps;
        view->setBackdrop(picture.backdrop.picture, picture.backdrop.veiled);
        view->prepareForScreenshot();
        others->windows.append(window);
    }
    showOneByOne(server, others, 0, 30);
}
} // namespace

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
    server->freezeScreen(
        desktopWindowHandle(m_window), this, [self, server, selection](const CaptureResult &result) {
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
            // Each screen's part of the picture, with its veil, is made off
            // the main thread; the panel's screen first.
            QList<QRect> frames = {self->snapshotWindow->geometry()};
            for (const QScreen *screen : QGuiApplication::screens())
                if (!frames.contains(screen->geometry()))
                    frames.append(screen->geometry());
            QThreadPool::globalInstance()->start([self, server, selection, frames] {
                QList<ScreenPicture> pictures = screenPictures(*server, frames);
                QMetaObject::invokeMethod(
                    qApp,
                    [self, server, selection, pictures = std::move(pictures)] {
                        if (!self || !self->snapshotMode || self->m_selectionGeneration != selection ||
                            !self->snapshotWindow)
                            return;
                        // A tiling compositor would tile a plain window.
                        self->snapshotWindow->showsFullScreen = true;
                        self->showOverlay(pictures.first().backdrop.picture,
                                          pictures.first().backdrop.veiled);
                        // The other screens are veiled too: a selection
                        // may be made on any of them.
                        coverOtherScreens(server, pictures, self->snapshotWindow, self->snapshotView,
                                          self->m_window, self.data());
                    },
                    Qt::QueuedConnection);
            });
        });
}
