// The portal helper against a stand-in portal in a process of its own that
// reads /proc/<pid>/root of each caller, as the real one does: this process
// stays non-dumpable throughout, and every portal call still works.
#include "platform/portal/portal_helper.h"
#include "tests/support/qt_wait.h"

#include <QDBusConnection>
#include <QDBusMessage>
#include <QProcess>
#include <QSignalSpy>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <csignal>
#include <linux/capability.h>
#include <optional>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace {

const QString kService = QStringLiteral("org.kelvra.test.ProcRootPortal");

// Root may look into any process; the portal runs as an ordinary user, who
// may not look into a non-dumpable one. Without the capability to trace (for
// this process and all it starts), root is that user here.
void dropPtraceCapability() {
    ::prctl(PR_CAPBSET_DROP, CAP_SYS_PTRACE, 0, 0, 0);
    __user_cap_header_struct header{_LINUX_CAPABILITY_VERSION_3, 0};
    __user_cap_data_struct data[2] = {};
    if (::syscall(SYS_capget, &header, data) != 0)
        return;
    const unsigned bit = 1u << (CAP_SYS_PTRACE % 32);
    data[CAP_SYS_PTRACE / 32].effective &= ~bit;
    data[CAP_SYS_PTRACE / 32].permitted &= ~bit;
    data[CAP_SYS_PTRACE / 32].inheritable &= ~bit;
    ::syscall(SYS_capset, &header, data);
}

struct Call {
    QString name;
    qint64 pid = 0;
    bool allowed = false;
};

class PortalHelperTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(QDBusConnection::sessionBus().isConnected()) << "needs a session bus";
        ASSERT_TRUE(pictures.isValid());
        dropPtraceCapability();
        portal.start(QStringLiteral(KC_FAKE_PORTAL_SERVICE), {kService, pictures.path()});
        ASSERT_TRUE(kcWaitFor([&] { return readCalls(), ready; }, 20000))
            << portal.readAllStandardError().toStdString();
        ASSERT_EQ(::prctl(PR_SET_DUMPABLE, 0, 0, 0, 0), 0);
    }

    void TearDown() override {
        ::prctl(PR_SET_DUMPABLE, 1, 0, 0, 0);
        portal.terminate();
        portal.waitForFinished(10000);
    }

    // The stand-in's lines since the last look.
    void readCalls() {
        m_pending += portal.readAllStandardOutput();
        qsizetype end;
        while ((end = m_pending.indexOf('\n')) >= 0) {
            const QList<QByteArray> words = m_pending.left(end).split(' ');
            m_pending.remove(0, end + 1);
            if (words.value(0) == "ready")
                ready = true;
            else if (words.size() == 3)
                calls.append({QString::fromLatin1(words[0]), words[1].toLongLong(), words[2] == "allowed"});
        }
    }

    std::optional<CaptureResult> screenshot(PortalHelper &helper) {
        PortalScreenshotOptions options;
        options.service = kService;
        options.parentWindow = QStringLiteral("x11:1a2b");
        options.timeoutMs = 10000;
        std::optional<CaptureResult> result;
        QObject context;
        helper.screenshot(options, &context, [&](const CaptureResult &r) { result = r; });
        kcWaitFor([&] { return result.has_value(); }, 30000);
        return result;
    }

    QTemporaryDir pictures;
    QProcess portal;
    bool ready = false;
    QList<Call> calls;

private:
    QByteArray m_pending;
};

TEST_F(PortalHelperTest, EveryCallWorksWhileThisProcessStaysNonDumpable) {
    // The stand-in refuses this process, as the real portal does.
    QDBusMessage get = QDBusMessage::createMethodCall(
        kService, QStringLiteral("/org/freedesktop/portal/desktop"),
        QStringLiteral("org.freedesktop.DBus.Properties"), QStringLiteral("Get"));
    get << QStringLiteral("org.freedesktop.portal.Screenshot") << QStringLiteral("version");
    const QDBusMessage refused = QDBusConnection::sessionBus().call(get, QDBus::Block, 10000);
    EXPECT_EQ(refused.type(), QDBusMessage::ErrorMessage);
    EXPECT_TRUE(refused.errorMessage().contains("/proc/")) << refused.errorMessage().toStdString();

    PortalHelper helper({QStringLiteral(KC_PORTAL_HELPER_HOST), {QStringLiteral("kc_portal_helper_host")}});
    QString problem;
    EXPECT_TRUE(helper.offersScreenshot(kService, 10000, &problem)) << problem.toStdString();
    const qint64 helperPid = helper.processId();
    EXPECT_GT(helperPid, 0);
    helper.registerHostApp(QStringLiteral("com.kelvra.Test"), kService);

    PortalShortcutOptions options;
    options.service = kService;
    options.description = QStringLiteral("Start a capture");
    options.preferredTrigger = QStringLiteral("SHIFT+M");
    options.timeoutMs = 10000;
    {
        PortalHelperShortcut shortcut(helper, options);
        QSignalSpy bound(&shortcut, &PortalHelperShortcut::bound);
        QSignalSpy unavailable(&shortcut, &PortalHelperShortcut::unavailable);
        QSignalSpy activated(&shortcut, &PortalHelperShortcut::activated);
        shortcut.start();
        ASSERT_TRUE(kcWaitFor([&] { return activated.size() + unavailable.size() > 0; }, 30000));
        EXPECT_EQ(unavailable.size(), 0) << unavailable.value(0).value(0).toString().toStdString();
        ASSERT_EQ(bound.size(), 1);
        EXPECT_EQ(bound[0][0].toString(), "Shift+M");
        EXPECT_EQ(activated.size(), 1);
    }

    const auto result = screenshot(helper);
    ASSERT_TRUE(result.has_value());
    ASSERT_EQ(result->status, CaptureResult::Status::Captured) << result->message.toStdString();
    EXPECT_EQ(result->image.pixelColor(3, 3), QColor(10, 200, 30));
    EXPECT_TRUE(QDir(pictures.path()).isEmpty()) << "the picture file is removed";

    // Every call came from the helper, and the portal could see who it is;
    // the session is closed when the shortcut goes.
    ASSERT_TRUE(kcWaitFor(
        [&] {
            readCalls();
            return !calls.isEmpty() && calls.last().name.endsWith("Screenshot.Screenshot");
        },
        10000));
    QStringList names;
    for (const Call &c : calls) {
        names.append(c.name.section('.', -1));
        if (c.pid == ::getpid())
            EXPECT_FALSE(c.allowed);
        else
            EXPECT_TRUE(c.pid == helperPid && c.allowed) << c.name.toStdString() << " from " << c.pid;
    }
    EXPECT_EQ(names, QStringList({"Get", "Get", "Register", "Get", "CreateSession", "BindShortcuts", "Close",
                                  "Screenshot"}));
    EXPECT_EQ(::prctl(PR_GET_DUMPABLE, 0, 0, 0, 0), 0);

    // A helper that died is started again at the next request; what was
    // asked of the dead one fails instead of waiting forever.
    ASSERT_EQ(::kill(pid_t(helperPid), SIGKILL), 0);
    ASSERT_TRUE(kcWaitFor([&] { return helper.processId() == 0; }, 10000));
    const auto again = screenshot(helper);
    ASSERT_TRUE(again.has_value());
    EXPECT_TRUE(again->ok()) << again->message.toStdString();
    EXPECT_NE(helper.processId(), helperPid);
}

} // namespace
