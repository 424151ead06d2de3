#include "app/app_shell.h"

#include "app/app_delegate.h"
#include "app/desktop_session.h"
#include "app/login_screen.h"
#include "app/main_window_controller.h"
#include "app/pending_uploads.h"
#include "app/single_instance.h"
#include "app/start_at_login.h"
#include "capture/panel/style.h"
#include "clinic/service_url.h"
#include "platform/session/session_end_watch.h"

#include <QApplication>
#include <QEvent>
#include <QFile>
#include <QMenu>
#include <QSessionManager>
#include <QSystemTrayIcon>
#include <QUrl>

#include <cstdio>
#include <ctime>
#include <unistd.h>

QString kcCheckApplicationArguments(const QStringList &arguments) {
    const QString prefix = KelvraServiceURLOption + QLatin1Char('=');
    for (qsizetype i = 1; i < arguments.size(); ++i) {
        const QString &arg = arguments.at(i);
        QString value;
        if (arg == KelvraServiceURLOption) {
            if (i + 1 >= arguments.size())
                return QStringLiteral("%1 needs a URL, e.g. %1 http://127.0.0.1:47800/")
                    .arg(KelvraServiceURLOption);
            value = arguments.at(++i);
        } else if (arg.startsWith(prefix)) {
            value = arg.mid(prefix.size());
        } else {
            return QStringLiteral("unknown option '%1' (see kelvra-capture --help)").arg(arg);
        }
        const QUrl url(value, QUrl::StrictMode);
        const QString scheme = url.scheme().toLower();
        if (!url.isValid() || (scheme != QLatin1String("http") && scheme != QLatin1String("https")) ||
            url.host().isEmpty())
            return QStringLiteral("%1 '%2' is not an http or https URL with a host")
                .arg(KelvraServiceURLOption, value);
    }
    return QString();
}

// Milliseconds since this process was started by the kernel.
static qint64 millisecondsSinceProcessStart() {
    QFile stat(QStringLiteral("/proc/self/stat"));
    if (!stat.open(QIODevice::ReadOnly))
        return -1;
    const QByteArray text = stat.readAll();
    // Field 22 (starttime, in clock ticks after boot) follows the command
    // name, which is in parentheses and may contain spaces.
    const qsizetype close = text.lastIndexOf(')');
    const QList<QByteArray> fields = text.mid(close + 2).split(' ');
    if (fields.size() < 20)
        return -1;
    const double startSeconds = fields.at(19).toDouble() / double(sysconf(_SC_CLK_TCK));
    timespec now{};
    clock_gettime(CLOCK_BOOTTIME, &now);
    return qint64((double(now.tv_sec) + double(now.tv_nsec) / 1e9 - startSeconds) * 1000.0);
}

namespace {
// Reports once when the login window is first exposed.
class StartupReporter : public QObject {
public:
    using QObject::QObject;
    bool eventFilter(QObject *watched, QEvent *event) override {
        if (event->type() == QEvent::Expose || event->type() == QEvent::Paint) {
            std::fprintf(stderr, "kelvra-capture: login window shown %lld ms after launch\n",
                         static_cast<long long>(millisecondsSinceProcessStart()));
            watched->removeEventFilter(this);
            deleteLater();
        }
        return false;
    }
};
} // namespace

int kcRunDesktopApplication(int argc, char **argv) {
    QApplication::setOrganizationName(QStringLiteral("Kelvra"));
    QApplication::setApplicationName(QStringLiteral("KelvraCapture"));
    QApplication app(argc, argv);
    // Desktops find the application's icon and name through its entry.
    QGuiApplication::setDesktopFileName(KCDesktopEntryID);
    // The login window steps aside while the capture window is shown, and the
    // capture window may be closed by the window manager: quitting is done
    // from the menus.
    app.setQuitOnLastWindowClosed(false);

    const QString problem = kcCheckApplicationArguments(app.arguments());
    if (!problem.isEmpty()) {
        std::fprintf(stderr, "kelvra-capture: %s\n", qPrintable(problem));
        return 2;
    }
    // One instance per session: a second start brings the first forward.
    if (!kcClaimSingleInstance(&app))
        return 0;
    // One sender of the captures waiting to be sent, whatever the bus said.
    kcClaimOutboxOrWarn();
    // Shift+M outside the capture window, where the Wayland desktop lets an
    // application have a global key (X11 sessions keep their own behaviour).
    if (kcIsWaylandSession())
        kcBindGlobalCaptureShortcut(&app, KCDesktopEntryID, kcRequestCapture);
    kcInitAppResources();
    app.setWindowIcon(kcIconResource(QStringLiteral("kelvraLogo")));

    AppDelegate delegate;
    delegate.applicationDidFinishLaunching();

    // The capture window, once signed in, holds the capture panel.
    CaptureMainWindowController::setPanelFactory(&kcMakeCapturePanel);
    captureLoginViewController login(&delegate);
    if (qEnvironmentVariableIsSet("KELVRA_REPORT_STARTUP"))
        login.window()->installEventFilter(new StartupReporter(login.window()));

    // Sign-out and quitting live in the tray where the desktop has one, and
    // in the capture window's context menu everywhere.
    std::unique_ptr<QSystemTrayIcon> tray;
    QMenu trayMenu;
    if (QSystemTrayIcon::isSystemTrayAvailable()) {
        trayMenu.addAction(delegate.logoutMenuItem());
        trayMenu.addAction(KCStartAtLogin::shared()->menuItem());
        QObject::connect(&trayMenu, &QMenu::aboutToShow, KCStartAtLogin::shared(), &KCStartAtLogin::refresh);
        trayMenu.addSeparator();
        trayMenu.addAction(delegate.quitMenuItem());
        tray = std::make_unique<QSystemTrayIcon>(kcIconResource(QStringLiteral("kelvraLogo")));
        tray->setToolTip(QStringLiteral("KelvraCapture"));
        tray->setContextMenu(&trayMenu);
        tray->show();
        // Captures waiting to upload are listed at the top of the menu, and
        // the first failure is announced on the desktop.
        KCPendingUploads::shared()->attachToMenu(&trayMenu);
        QSystemTrayIcon *icon = tray.get();
        QObject::connect(KCPendingUploads::shared(), &KCPendingUploads::countsChanged, icon,
                         [icon](int pending, int failed) {
                             const QString status = KCPendingUploads::statusText({pending, failed});
                             icon->setToolTip(status.isEmpty()
                                                  ? QStringLiteral("KelvraCapture")
                                                  : QStringLiteral("KelvraCapture \u2014 ") + status);
                         });
        QObject::connect(KCPendingUploads::shared(), &KCPendingUploads::uploadsStartedFailing, icon,
                         [icon](const QString &title, const QString &message) {
                             icon->showMessage(title, message, QSystemTrayIcon::Warning);
                         });
    }

    // Captures sealed with a key held in memory only are lost with the
    // session: the session manager's question before logging out (XSMP)
    // gets the quit question, and a shutdown is held back a few seconds
    // while such captures exist, with a warning when it comes.
    QObject::connect(&app, &QGuiApplication::commitDataRequest, &app, [](QSessionManager &manager) {
        const KCPendingUploadCounts counts = KCPendingUploads::shared()->counts();
        if (counts.lostAtQuit <= 0 || !manager.allowsInteraction())
            return;
        const bool quit = kcAskToQuitWithPendingUploads(counts);
        manager.release();
        if (!quit)
            manager.cancel();
    });
    KCSessionEndWatch sessionEnd;
    QObject::connect(
        KCPendingUploads::shared(), &KCPendingUploads::countsChanged, &sessionEnd, [&sessionEnd] {
            sessionEnd.holdShutdown(KCPendingUploads::lostAtQuitText(KCPendingUploads::shared()->counts()));
        });
    QObject::connect(&sessionEnd, &KCSessionEndWatch::shuttingDown, &app, [&tray] {
        const QString lost = KCPendingUploads::lostAtQuitText(KCPendingUploads::shared()->counts());
        if (lost.isEmpty())
            return;
        std::fprintf(stderr, "kelvra-capture: the computer shuts down: %s\n", qPrintable(lost));
        if (tray)
            tray->showMessage(QStringLiteral("KelvraCapture"),
                              lost +
                                  QStringLiteral(". Unlock or start the keyring and cancel the shutdown to "
                                                 "keep them."),
                              QSystemTrayIcon::Critical);
    });

    login.showWindow();
    const int status = app.exec();
    delegate.applicationWillTerminate();
    return status;
}
