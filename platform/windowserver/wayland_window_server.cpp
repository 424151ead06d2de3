#include "platform/windowserver/wayland_window_server.h"

#include <QCoreApplication>
#include <QMutexLocker>
#include <QPointer>

WaylandWindowServer::WaylandWindowServer(QString name, PictureSource pictures, LayoutSource layout)
    : WaylandWindowServer(
          std::move(name), std::move(pictures),
          AsyncLayoutSource([layout = std::move(layout)](QObject *, std::function<void(Layout)> done) {
              done(layout());
          })) {}

WaylandWindowServer::WaylandWindowServer(QString name, PictureSource pictures, AsyncLayoutSource layout)
    : m_name(std::move(name)), m_pictures(std::move(pictures)), m_layout(std::move(layout)),
      m_layoutWithPicture(true) {}

WindowServerCapabilities WaylandWindowServer::capabilities() const {
    return WindowServerCapability::WindowList | WindowServerCapability::FrozenPicture |
           WindowServerCapability::PointCoordinates;
}

void WaylandWindowServer::freezeScreen(const QString &parentWindow, QObject *context,
                                       std::function<void(const CaptureResult &)> done) {
    {
        QMutexLocker locker(&m_lock);
        m_frame = FrozenFrame();
    }
    QPointer<QObject> guard(context);
    // The picture and the window layout, joined when both are there.
    struct Join {
        std::optional<ScreenPicture> picture;
        std::optional<Layout> layout;
        bool over = false;
    };
    const auto join = std::make_shared<Join>();
    const auto finish = [this, guard, join, done] {
        if (join->over || !join->picture || (join->picture->result.ok() && !join->layout))
            return;
        join->over = true;
        if (!guard)
            return;
        const ScreenPicture &picture = *join->picture;
        if (picture.result.ok()) {
            FrozenFrame frame =
                picture.screens.isEmpty()
                    ? FrozenFrame::fromCombinedPicture(picture.result.image, join->layout->screens)
                    : FrozenFrame(picture.result.image, picture.screens);
            QMutexLocker locker(&m_lock);
            m_frame = std::move(frame);
            m_frozenLayout = std::move(*join->layout);
        }
        done(picture.result);
    };
    const auto askLayout = [this, guard, join, finish] {
        if (!guard)
            return;
        m_layout(guard.data(), [join, finish](Layout layout) {
            join->layout = std::move(layout);
            finish();
        });
    };
    if (m_layoutWithPicture)
        askLayout();
    m_pictures(parentWindow, context, [this, join, finish, askLayout](const ScreenPicture &picture) {
        join->picture = picture;
        // Else the windows as they stand when the picture arrives: it was
        // taken an instant before.
        if (picture.result.ok() && !m_layoutWithPicture)
            askLayout();
        finish();
    });
}

QImage WaylandWindowServer::frozenPictureOf(const QRect &rect) const {
    QMutexLocker locker(&m_lock);
    return m_frame.crop(rect);
}

QList<WindowServerWindow> WaylandWindowServer::windowsBelowAll(const QList<quint32> &) const {
    QMutexLocker locker(&m_lock);
    QList<WindowServerWindow> result;
    const qint64 self = QCoreApplication::applicationPid();
    if (m_frozenLayout.windows) {
        for (const FrozenWindow &w : *m_frozenLayout.windows) {
            if (w.pid == self || w.bounds.isEmpty())
                continue;
            WindowServerWindow window;
            window.bounds = w.bounds;
            window.pid = w.pid;
            result.append(window);
        }
    }
    // Where no window covers a place (or the compositor tells nothing), the
    // screen itself is the window.
    for (const QRect &screen : m_frozenLayout.screens) {
        WindowServerWindow window;
        window.bounds = screen;
        window.wholeScreen = true;
        result.append(window);
    }
    return result;
}

QImage WaylandWindowServer::imageOfRectBelowAll(const QRect &rect, const QList<quint32> &) const {
    QMutexLocker locker(&m_lock);
    return m_frame.crop(rect);
}

QList<QRect> WaylandWindowServer::screens() const {
    QMutexLocker locker(&m_lock);
    return m_frozenLayout.screens;
}
