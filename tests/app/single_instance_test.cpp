// One KelvraCapture per session: a second start and `kelvra-capture capture`
// reach the running instance over a private session bus, and the desktop's
// global shortcut starts a capture as the command does.
#include "app/desktop_session.h"
#include "app/single_instance.h"
#include "capture/panel/capture_controls.h"
#include "platform/core/notification_center.h"
#include "tests/platform/portal/fake_shortcuts_portal.h"
#include "tests/support/qt_wait.h"

#include <QDBusConnection>
#include <QProcess>
#include <QWidget>

#include <gtest/gtest.h>

namespace {

struct BinaryRun {
    int exitCode = -1;
    QString err;
};

// Runs the real binary with the event loop going, so that this process can
// answer it.
BinaryRun runBinary(const QStringList &args) {
    QProcess process;
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert("QT_QPA_PLATFORM", "offscreen");
    process.setProcessEnvironment(environment);
    process.start(KC_CAPTURE_BINARY, args);
    EXPECT_TRUE(process.waitForStarted(30000));
    kcWaitFor([&] { return process.state() == QProcess::NotRunning; }, 60000);
    if (process.state() != QProcess::NotRunning) {
        process.kill();
        process.waitForFinished();
        return {};
    }
    return {process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1,
            QString::fromLocal8Bit(process.readAllStandardError())};
}

TEST(SingleInstanceTest, CaptureCommandAndSecondStartReachTheRunningInstance) {
    ASSERT_TRUE(QDBusConnection::sessionBus().isConnected()) << "needs a session bus";

    // Nobody runs yet: the command says so and fails.
    BinaryRun run = runBinary({"capture"});
    EXPECT_EQ(run.exitCode, 1);
    EXPECT_TRUE(run.err.contains("not running")) << run.err.toStdString();

    // This process becomes the running instance.
    QObject owner;
    ASSERT_TRUE(kcClaimSingleInstance(&owner));
    int commands = 0;
    const auto token = NotificationCenter::defaultCenter().addObserver(
        KCSnapshotCommandPressedNotification, nullptr, [&](const Notification &) { ++commands; });

    run = runBinary({"capture"});
    EXPECT_EQ(run.exitCode, 0) << run.err.toStdString();
    EXPECT_TRUE(kcWaitFor([&] { return commands == 1; }, 10000));

    // A second start brings this one forward and ends at once, without a
    // window of its own.
    QWidget login;
    login.setWindowTitle("KelvraCapture Sign In");
    login.show();
    run = runBinary({"--service-url", "http://127.0.0.1:1/"});
    EXPECT_EQ(run.exitCode, 0);
    EXPECT_TRUE(run.err.contains("already running")) << run.err.toStdString();
    EXPECT_EQ(commands, 1);
    NotificationCenter::defaultCenter().removeObserver(token);
}

TEST(SingleInstanceTest, TheDesktopsGlobalShortcutStartsACaptureAsTheCommandDoes) {
    ASSERT_TRUE(QDBusConnection::sessionBus().isConnected()) << "needs a session bus";
    const QString service = QStringLiteral("org.kelvra.test.ShortcutsPortal");
    FakeShortcutsPortal portal(service, QStringLiteral("fake-shortcuts"));
    int commands = 0;
    const auto token = NotificationCenter::defaultCenter().addObserver(
        KCSnapshotCommandPressedNotification, nullptr, [&](const Notification &) { ++commands; });
    {
        QObject owner;
        kcBindGlobalCaptureShortcut(&owner, "com.kelvra.Test", kcRequestCapture, service);
        ASSERT_TRUE(kcWaitFor([&] { return !portal.boundShortcuts.isEmpty(); }, 20000));
        // The application said who it is before anything else.
        EXPECT_EQ(portal.calls, QStringList({"Register com.kelvra.Test", "CreateSession", "BindShortcuts"}));
        EXPECT_EQ(portal.boundShortcuts[0].properties.value("preferred_trigger").toString(), "SHIFT+M");
        portal.press(portal.sessions.value(0), portal.boundShortcuts[0].id);
        EXPECT_TRUE(kcWaitFor([&] { return commands == 1; }, 10000));

        // A desktop without the portal's shortcuts leaves the application
        // as it was.
        kcBindGlobalCaptureShortcut(&owner, "com.kelvra.Test", kcRequestCapture,
                                    QStringLiteral("org.kelvra.test.NoPortal"));
        kcSpin(300);
    }
    EXPECT_EQ(commands, 1);
    NotificationCenter::defaultCenter().removeObserver(token);
}

} // namespace
