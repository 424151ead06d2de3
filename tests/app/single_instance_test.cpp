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
#include <QDBusConnectionInterface>
#include <QFile>
#include <QProcess>
#include <QStandardPaths>
#include <QWidget>

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/file.h>
#include <unistd.h>

namespace {

struct BinaryRun {
    int exitCode = -1;
    QString err;
};

QProcessEnvironment offscreen() {
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert("QT_QPA_PLATFORM", "offscreen");
    return environment;
}

// Runs the real binary with the event loop going, so that this process can
// answer it.
BinaryRun runBinary(const QStringList &args) {
    QProcess process;
    process.setProcessEnvironment(offscreen());
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

// The application itself, signed out, against a service that is not there.
void startApplication(QProcess &process) {
    process.setProcessEnvironment(offscreen());
    process.start(KC_CAPTURE_BINARY, {"--service-url", "http://127.0.0.1:1/"});
    ASSERT_TRUE(process.waitForStarted(30000));
}

void stopApplication(QProcess &process) {
    process.kill();
    process.waitForFinished(30000);
}

// What `process` wrote to stderr until it wrote `text` (or ended).
QString stderrUntil(QProcess &process, const QString &text) {
    QString err;
    kcWaitFor(
        [&] {
            err += QString::fromLocal8Bit(process.readAllStandardError());
            return err.contains(text) || process.state() == QProcess::NotRunning;
        },
        60000);
    return err;
}

bool nameIsHeld() {
    return QDBusConnection::sessionBus().interface()->isServiceRegistered(kKelvraBusName).value();
}

void releaseName() {
    QDBusConnection::sessionBus().unregisterService(kKelvraBusName);
    QDBusConnection::sessionBus().unregisterObject(kKelvraBusPath);
}

TEST(SingleInstanceTest, CaptureCommandAndSecondStartReachTheRunningInstance) {
    ASSERT_TRUE(QDBusConnection::sessionBus().isConnected()) << "needs a session bus";

    // Nobody runs yet: the command says so and fails.
    BinaryRun run = runBinary({"capture"});
    EXPECT_EQ(run.exitCode, 1);
    EXPECT_TRUE(run.err.contains("not running")) << run.err.toStdString();

    // The application runs: the command reaches it, and a second start
    // brings it forward and ends at once, without a window of its own.
    QProcess first;
    startApplication(first);
    ASSERT_TRUE(kcWaitFor(nameIsHeld, 60000)) << first.readAllStandardError().toStdString();
    run = runBinary({"capture"});
    EXPECT_EQ(run.exitCode, 0) << run.err.toStdString();
    run = runBinary({"--service-url", "http://127.0.0.1:1/"});
    EXPECT_EQ(run.exitCode, 0);
    EXPECT_TRUE(run.err.contains("already running")) << run.err.toStdString();
    EXPECT_TRUE(run.err.contains(QString::number(first.processId()))) << run.err.toStdString();
    stopApplication(first);
    ASSERT_TRUE(kcWaitFor([] { return !nameIsHeld(); }, 30000));

    // Capture starts a capture, as Shift+M does.
    QObject owner;
    ASSERT_TRUE(kcClaimSingleInstance(&owner));
    int commands = 0;
    const auto token = NotificationCenter::defaultCenter().addObserver(
        KCSnapshotCommandPressedNotification, nullptr, [&](const Notification &) { ++commands; });
    QString problem;
    EXPECT_TRUE(kcCallRunningInstance("Capture", &problem)) << problem.toStdString();
    EXPECT_TRUE(kcWaitFor([&] { return commands == 1; }, 10000));
    NotificationCenter::defaultCenter().removeObserver(token);
    releaseName();
}

// Another program of the user took the name first: the capture command does
// not call it, and the application starts anyway, saying what holds the name
// and what to do.
TEST(SingleInstanceTest, ANameHeldByAnotherProgramIsNamedAndTheApplicationStillStarts) {
    ASSERT_TRUE(QDBusConnection::sessionBus().isConnected()) << "needs a session bus";
    // This test program stands for the other program; it would answer.
    QObject owner;
    ASSERT_TRUE(kcClaimSingleInstance(&owner));
    int commands = 0;
    const auto token = NotificationCenter::defaultCenter().addObserver(
        KCSnapshotCommandPressedNotification, nullptr, [&](const Notification &) { ++commands; });
    const QString pid = QString::number(QCoreApplication::applicationPid());

    BinaryRun run = runBinary({"capture"});
    EXPECT_EQ(run.exitCode, 1);
    EXPECT_TRUE(run.err.contains("held by another program") && run.err.contains("process " + pid) &&
                run.err.contains("kill " + pid))
        << run.err.toStdString();

    QProcess second;
    startApplication(second);
    const QString err = stderrUntil(second, "held by another program");
    EXPECT_TRUE(err.contains("process " + pid)) << err.toStdString();
    kcSpin(300);
    EXPECT_EQ(second.state(), QProcess::Running) << "it runs rather than doing nothing";
    EXPECT_EQ(commands, 0) << "the other program was not called";
    stopApplication(second);
    NotificationCenter::defaultCenter().removeObserver(token);
    releaseName();
}

// The process number written in the outbox's lock while some process holds
// it; 0 while nobody does.
qint64 outboxLockHolder() {
    const QString lock = QStandardPaths::writableLocation(QStandardPaths::GenericDataLocation) +
                         "/Kelvra/KelvraCapture/pending-uploads/.lock";
    const int fd = ::open(QFile::encodeName(lock).constData(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return 0;
    qint64 pid = 0;
    if (::flock(fd, LOCK_SH | LOCK_NB) == 0) {
        ::flock(fd, LOCK_UN);
    } else {
        char text[32] = {};
        pid = ::read(fd, text, sizeof text - 1) > 0 ? QByteArray(text).trimmed().toLongLong() : 0;
    }
    ::close(fd);
    return pid;
}

// No session bus: the single-instance check cannot tell the two apart, the
// outbox's lock does. The second names the first, runs, and keeps out of the
// folder (the lock stays the first's).
TEST(SingleInstanceTest, WithoutASessionBusASecondInstanceNamesTheFirstAndSendsNothing) {
    QProcessEnvironment noBus = offscreen();
    noBus.insert("DBUS_SESSION_BUS_ADDRESS", "unix:path=/nonexistent/kc-no-bus");
    QProcess first, second;
    first.setProcessEnvironment(noBus);
    second.setProcessEnvironment(noBus);
    first.start(KC_CAPTURE_BINARY, {"--service-url", "http://127.0.0.1:1/"});
    ASSERT_TRUE(first.waitForStarted(30000));
    ASSERT_TRUE(kcWaitFor([&] { return outboxLockHolder() == first.processId(); }, 60000))
        << first.readAllStandardError().toStdString();

    second.start(KC_CAPTURE_BINARY, {"--service-url", "http://127.0.0.1:1/"});
    ASSERT_TRUE(second.waitForStarted(30000));
    const QString err = stderrUntil(second, "Another KelvraCapture");
    EXPECT_TRUE(err.contains("process " + QString::number(first.processId())) &&
                err.contains("neither sends nor stores"))
        << err.toStdString();
    kcSpin(300);
    EXPECT_EQ(second.state(), QProcess::Running);
    EXPECT_EQ(outboxLockHolder(), first.processId());

    // Once the first has gone, the next start sends again.
    stopApplication(second);
    stopApplication(first);
    QProcess third;
    third.setProcessEnvironment(noBus);
    third.start(KC_CAPTURE_BINARY, {"--service-url", "http://127.0.0.1:1/"});
    ASSERT_TRUE(third.waitForStarted(30000));
    EXPECT_TRUE(kcWaitFor([&] { return outboxLockHolder() == third.processId(); }, 60000));
    stopApplication(third);
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
