// The shutdown warning against a stand-in for logind on a private bus: the
// delay inhibitor is taken with logind's arguments while there is something
// to warn about, let go when there is not and once the shutdown has been
// announced.
#include "platform/session/session_end_watch.h"

#include "tests/support/qt_wait.h"

#include <QDBusConnection>
#include <QDBusMessage>
#include <QThread>

#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <unistd.h>

namespace {

// org.freedesktop.login1.Manager's Inhibit and PrepareForShutdown, on a bus
// connection and a thread of its own (the watch blocks on its call).
class FakeLogind : public QObject {
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.freedesktop.login1.Manager")
public:
    QStringList calls;
    QList<int> readEnds; // one per inhibitor handed out
public slots:
    QDBusUnixFileDescriptor Inhibit(const QString &what, const QString &who, const QString &why,
                                    const QString &mode) {
        calls.append(QStringList{what, who, why, mode}.join('|'));
        int fds[2];
        if (::pipe2(fds, O_CLOEXEC) != 0)
            return {};
        readEnds.append(fds[0]);
        QDBusUnixFileDescriptor handed(fds[1]); // a copy of it
        ::close(fds[1]);
        return handed;
    }
};

// Whether every copy of the inhibitor's other end has been closed.
bool released(int readEnd) {
    pollfd p{readEnd, POLLIN, 0};
    return ::poll(&p, 1, 0) == 1 && (p.revents & POLLHUP);
}

TEST(SessionEndWatch, HoldsShutdownWhileAskedAndLetsGoWhenItComes) {
    QDBusConnection bus = QDBusConnection::sessionBus();
    ASSERT_TRUE(bus.isConnected()) << "needs a session bus";
    QThread thread;
    thread.start();
    FakeLogind logind;
    logind.moveToThread(&thread);
    QDBusConnection fake = QDBusConnection::connectToBus(QDBusConnection::SessionBus, "fake-logind");
    ASSERT_TRUE(fake.registerObject("/org/freedesktop/login1", &logind, QDBusConnection::ExportAllSlots));
    ASSERT_TRUE(fake.registerService("org.freedesktop.login1"));

    KCSessionEndWatch watch(nullptr, bus);
    int announced = 0;
    QObject::connect(&watch, &KCSessionEndWatch::shuttingDown, [&] { ++announced; });
    watch.holdShutdown("2 uploads lost if KelvraCapture quits now");
    ASSERT_TRUE(watch.isHolding());
    ASSERT_EQ(logind.calls,
              QStringList{"shutdown|KelvraCapture|2 uploads lost if KelvraCapture quits now|delay"});
    EXPECT_FALSE(released(logind.readEnds[0]));
    watch.holdShutdown("");
    EXPECT_TRUE(kcWaitFor([&] { return released(logind.readEnds[0]); }, 10000))
        << "nothing to warn about: let go";

    watch.holdShutdown("1 upload lost if KelvraCapture quits now");
    ASSERT_EQ(logind.readEnds.size(), 2);
    fake.send(QDBusMessage::createSignal("/org/freedesktop/login1", "org.freedesktop.login1.Manager",
                                         "PrepareForShutdown")
              << true);
    ASSERT_TRUE(kcWaitFor([&] { return announced == 1; }, 10000));
    EXPECT_TRUE(kcWaitFor([&] { return released(logind.readEnds[1]); }, 10000)) << "announced, then let go";

    fake.unregisterService("org.freedesktop.login1");
    thread.quit();
    thread.wait();
    for (int fd : logind.readEnds)
        ::close(fd);
}

} // namespace

#include "session_end_watch_test.moc"
