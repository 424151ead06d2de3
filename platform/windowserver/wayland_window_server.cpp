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
    : m_name(std::move(name)), m_pictures(std::move(pictures)), m_layout(std::move(layout)) {}

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
    m_pictures(parentWindow, context, [this, guard, done = std::move(done)](const CaptureResult &result) {
        if (!guard)
            return;
        if (!result.ok()) {
            done(result);
            return;
        }
        // The windows as they stand when the picture arrives: the picture
        // was taken an instant before.
        m_layout(guard.data(), [this, guard, done, result](Layout layout) {
            FrozenFrame frame = FrozenFrame::fromCombinedPicture(result.image, layout.screens);
            {
                QMutexLocker locker(&m_lock);
                m_frame = std::move(frame);
                m_frozenLayout = std::move(layout);
            }
            if (guard)
                done(result);
        });
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
