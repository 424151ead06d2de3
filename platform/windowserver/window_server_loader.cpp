#include "platform/windowserver/window_server_loader.h"

#include "platform/portal/portal_helper.h"
#include "platform/windowserver/kwin_windows.h"
#include "platform/windowserver/screencopy.h"
#include "platform/windowserver/sway_ipc.h"
#include "platform/windowserver/wayland_window_server.h"

#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QGuiApplication>
#include <QMutex>
#include <QMutexLocker>
#include <QPointer>
#include <QScreen>
#include <QThreadPool>

#include <cstdio>

namespace {
const QString kNoWaylandCapture =
    QStringLiteral("This Wayland desktop offers KelvraCapture no way to take screen pictures (%1). Ask your "
                   "administrator to install xdg-desktop-portal with the back end of your desktop "
                   "(xdg-desktop-portal-gnome, -kde or -wlr), or sign in to an X11 session.");

bool isWayland(const SessionFacts &f) {
    return f.sessionType.compare(QLatin1String("wayland"), Qt::CaseInsensitive) == 0 || f.waylandDisplay;
}
} // namespace

WindowServerChoice chooseWindowServer(const SessionFacts &f) {
    const QString wanted = f.override.trimmed().toLower();
    if (wanted == QLatin1String("x11"))
        return {WindowServerKind::X11, {}};
    if (wanted == QLatin1String("sway"))
        return {WindowServerKind::Sway, {}, f.screencopy};
    if (wanted == QLatin1String("wlroots"))
        return {WindowServerKind::Wlroots, {}, true};
    if (wanted == QLatin1String("kwin"))
        return {WindowServerKind::KWin, {}};
    if (wanted == QLatin1String("portal"))
        return {WindowServerKind::Portal, {}};
    if (wanted == QLatin1String("none"))
        return {WindowServerKind::None,
                QStringLiteral("screen capture is turned off (KELVRA_WINDOW_SERVER=none). Start "
                               "KelvraCapture without it to capture.")};
    if (isWayland(f)) {
        if (f.swayAnswers)
            return {WindowServerKind::Sway, {}, f.screencopy};
        if (f.screencopy)
            return {WindowServerKind::Wlroots, {}, true};
        // KWin's window list without a picture to read is of no use.
        if (f.portalScreenshot)
            return {f.kwinRunning ? WindowServerKind::KWin : WindowServerKind::Portal, {}};
        return {WindowServerKind::None,
                kNoWaylandCapture.arg(f.portalProblem.isEmpty() ? QStringLiteral("no screenshot portal")
                                                                : f.portalProblem)};
    }
    if (f.x11Display)
        return {WindowServerKind::X11, {}};
    return {WindowServerKind::None,
            QStringLiteral("KelvraCapture found no graphical session to capture from (neither X11 nor "
                           "Wayland). Start it from within your desktop session.")};
}

SessionFacts probeSession() {
    SessionFacts f;
    f.override = qEnvironmentVariable("KELVRA_WINDOW_SERVER");
    f.sessionType = qEnvironmentVariable("XDG_SESSION_TYPE");
    f.waylandDisplay = !qEnvironmentVariable("WAYLAND_DISPLAY").isEmpty();
    f.x11Display = !qEnvironmentVariable("DISPLAY").isEmpty();
    const QString wanted = f.override.trimmed().toLower();
    if (!isWayland(f) && wanted.isEmpty())
        return f;
    const QString sway = qEnvironmentVariable("SWAYSOCK");
    if (!sway.isEmpty())
        f.swayAnswers = swayRequest(sway, SwayMessage::GetOutputs).has_value();
    if (f.waylandDisplay)
        f.screencopy = screencopyOffered();
    if (f.screencopy)
        return f;
    QDBusConnection bus = QDBusConnection::sessionBus();
    if (bus.isConnected() && bus.interface()) {
        f.kwinRunning = bus.interface()->isServiceRegistered(QStringLiteral("org.kde.KWin")).value();
        // The portal starts on demand: its first answer may take a moment.
        f.portalScreenshot = PortalHelper::shared().offersScreenshot(
            QStringLiteral("org.freedesktop.portal.Desktop"), 5000, &f.portalProblem);
    } else {
        f.portalProblem = QStringLiteral("there is no session bus");
    }
    return f;
}

static WaylandWindowServer::PictureSource portalPictures() {
    return
        [](const QString &parentWindow, QObject *context, std::function<void(const ScreenPicture &)> done) {
            PortalScreenshotOptions options;
            options.parentWindow = parentWindow;
            PortalHelper::shared().screenshot(options, context, [done](const CaptureResult &result) {
                done({result, {}});
            });
        };
}

// The compositor copies the outputs into this process's memory, off the
// calling thread (a whole screen of pixels).
static WaylandWindowServer::PictureSource screencopyPictures() {
    return [](const QString &, QObject *context, std::function<void(const ScreenPicture &)> done) {
        QPointer<QObject> guard(context);
        QThreadPool::globalInstance()->start([guard, done] {
            ScreencopyPicture shot = captureOutputs();
            ScreenPicture picture{
                shot.problem.isEmpty()
                    ? CaptureResult::captured(std::move(shot.picture))
                    : CaptureResult::failed(
                          QStringLiteral("KelvraCapture could not copy the screen from the compositor: %1.")
                              .arg(shot.problem)),
                shot.screens};
            if (guard)
                QMetaObject::invokeMethod(
                    guard.data(),
                    [guard, done, picture] {
                        if (guard)
                            done(picture);
                    },
                    Qt::QueuedConnection);
        });
    };
}

static QList<QRect> qtScreens() {
    QList<QRect> screens;
    if (QGuiApplication::primaryScreen())
        screens.append(QGuiApplication::primaryScreen()->geometry());
    for (const QScreen *s : QGuiApplication::screens())
        if (s != QGuiApplication::primaryScreen())
            screens.append(s->geometry());
    return screens;
}

std::shared_ptr<WindowServer> makeWindowServer(const WindowServerChoice &choice) {
    switch (choice.kind) {
    case WindowServerKind::X11: {
        QString failure;
        if (auto server = X11WindowServer::open(QString(), &failure))
            return server;
        return std::make_shared<NullWindowServer>(
            QStringLiteral("KelvraCapture cannot capture the screen: %1.").arg(failure));
    }
    case WindowServerKind::Sway: {
        const QString socket = qEnvironmentVariable("SWAYSOCK");
        auto server = std::make_shared<WaylandWindowServer>(
            QStringLiteral("sway"), choice.screencopy ? screencopyPictures() : portalPictures(), [socket] {
                WaylandWindowServer::Layout layout;
                QString problem;
                if (const std::optional<SwayLayout> sway = readSwayLayout(socket, &problem)) {
                    for (const SwayOutput &o : sway->outputs)
                        layout.screens.append(o.rect);
                    QList<FrozenWindow> windows;
                    for (const SwayWindow &w : sway->windows)
                        windows.append({w.rect, w.pid});
                    layout.windows = windows;
                } else {
                    std::fprintf(stderr, "kelvra-capture: %s\n", qPrintable(problem));
                }
                if (layout.screens.isEmpty())
                    layout.screens = qtScreens();
                return layout;
            });
        // sway puts a new window on the focused output, whatever its position,
        // and gives the keyboard to the newest one.
        server->setFocuser({[socket](const QRect &screen) { return swayFocusOutput(socket, screen); },
                            [socket](quint32 window) { return swayFocusWindow(socket, window); }});
        return server;
    }
    case WindowServerKind::KWin:
        return std::make_shared<WaylandWindowServer>(
            QStringLiteral("kwin"), portalPictures(),
            WaylandWindowServer::AsyncLayoutSource(
                [](QObject *context, std::function<void(WaylandWindowServer::Layout)> done) {
                    queryKWinWindows(QDBusConnection::sessionBus(), KWinWindowsOptions(), context,
                                     [done](const KWinWindowsResult &result) {
                                         if (!result.windows)
                                             std::fprintf(stderr,
                                                          "kelvra-capture: %s; the window is found in the "
                                                          "screen's picture\n",
                                                          qPrintable(result.problem));
                                         WaylandWindowServer::Layout layout;
                                         layout.screens = qtScreens();
                                         layout.windows = result.windows;
                                         done(layout);
                                     });
                }));
    case WindowServerKind::Wlroots:
    case WindowServerKind::Portal: {
        const bool wlroots = choice.kind == WindowServerKind::Wlroots;
        return std::make_shared<WaylandWindowServer>(wlroots ? QStringLiteral("wlroots")
                                                             : QStringLiteral("portal"),
                                                     wlroots ? screencopyPictures() : portalPictures(), [] {
                                                         WaylandWindowServer::Layout layout;
                                                         layout.screens = qtScreens();
                                                         return layout;
                                                     });
    }
    case WindowServerKind::None:
        break;
    }
    return std::make_shared<NullWindowServer>(choice.reason);
}

namespace {
QMutex sharedLock;
std::shared_ptr<WindowServer> sharedServer;
bool sharedTried = false;
} // namespace

std::shared_ptr<WindowServer> sharedWindowServer() {
    QMutexLocker locker(&sharedLock);
    if (!sharedServer && !sharedTried) {
        sharedTried = true;
        sharedServer = makeWindowServer(chooseWindowServer(probeSession()));
        if (qEnvironmentVariableIsSet("KELVRA_REPORT_CAPTURE"))
            std::fprintf(stderr, "kelvra-capture: window server %s\n", qPrintable(sharedServer->name()));
    }
    return sharedServer;
}

void setSharedWindowServer(std::shared_ptr<WindowServer> server) {
    QMutexLocker locker(&sharedLock);
    sharedTried = true;
    sharedServer = std::move(server);
}
