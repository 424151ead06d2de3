// Route flags from the kernel, in a network namespace of the test's own
// whose default route the test adds and removes (needs root).

#include "platform/netlink/reachability_flags.h"
#include "tests/support/qt_wait.h"

#include <QCoreApplication>
#include <QProcess>

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sched.h>
#include <unistd.h>

namespace {

bool ip(const QStringList &args, QString *err = nullptr) {
    QProcess p;
    p.start(QStringLiteral("ip"), args);
    if (!p.waitForFinished(30000))
        return false;
    if (err)
        *err = QString::fromLocal8Bit(p.readAllStandardError()).trimmed();
    return p.exitStatus() == QProcess::NormalExit && p.exitCode() == 0;
}

// A named network namespace with its loopback up, removed at the end.
class Namespace {
public:
    Namespace() : m_name(QStringLiteral("kc-netlink-%1").arg(QCoreApplication::applicationPid())) {
        ip({"netns", "del", m_name});
        m_ok =
            ip({"netns", "add", m_name}, &m_error) && ip({"-n", m_name, "link", "set", "lo", "up"}, &m_error);
    }
    ~Namespace() { ip({"netns", "del", m_name}); }
    bool ok() const { return m_ok; }
    QString error() const { return m_error; }
    QString name() const { return m_name; }

    // Constructs `make()` with this thread inside the namespace, so that the
    // object's netlink sockets belong to it; the thread then returns.
    template <typename F> auto inside(F make) -> decltype(make()) {
        const int self = open("/proc/self/ns/net", O_RDONLY | O_CLOEXEC);
        const int target = open(("/run/netns/" + m_name).toLocal8Bit().constData(), O_RDONLY | O_CLOEXEC);
        if (self < 0 || target < 0 || setns(target, CLONE_NEWNET) != 0) {
            if (self >= 0)
                close(self);
            if (target >= 0)
                close(target);
            return nullptr;
        }
        auto object = make();
        setns(self, CLONE_NEWNET);
        close(self);
        close(target);
        return object;
    }

private:
    QString m_name;
    bool m_ok = false;
    QString m_error;
};

} // namespace

TEST(NetlinkRouteFlags, DefaultRouteAppearsAndDisappears) {
    if (geteuid() != 0)
        GTEST_SKIP() << "needs root to create a network namespace";
    Namespace ns;
    if (!ns.ok())
        GTEST_SKIP() << "cannot create a network namespace here: " << ns.error().toStdString();

    auto source = ns.inside([] { return std::make_unique<KCNetlinkRouteFlagSource>(); });
    ASSERT_TRUE(source);
    quint32 flags = 0xff;
    ASSERT_TRUE(source->readFlags(&flags)) << source->lastError().toStdString();
    EXPECT_EQ(flags, 0u) << "a fresh namespace has no default route";

    QList<quint32> changes;
    ASSERT_TRUE(source->startWatching([&](quint32 f) { changes << f; }));
    EXPECT_TRUE(source->isWatching());

    ASSERT_TRUE(ip({"-n", ns.name(), "route", "add", "default", "dev", "lo"}));
    ASSERT_TRUE(kcWaitFor([&] { return !changes.isEmpty() && changes.last() == KCReachabilityFlagReachable; },
                          20000));
    ASSERT_TRUE(source->readFlags(&flags));
    EXPECT_EQ(flags, quint32(KCReachabilityFlagReachable));

    ASSERT_TRUE(ip({"-n", ns.name(), "route", "del", "default", "dev", "lo"}));
    ASSERT_TRUE(kcWaitFor([&] { return changes.last() == 0u; }, 20000));

    // A specific address: reachable exactly when a route covers it.
    auto host =
        ns.inside([] { return std::make_unique<KCNetlinkRouteFlagSource>(QHostAddress("10.9.8.7")); });
    ASSERT_TRUE(host);
    ASSERT_TRUE(host->readFlags(&flags));
    EXPECT_EQ(flags, 0u);
    ASSERT_TRUE(ip({"-n", ns.name(), "route", "add", "10.9.0.0/16", "dev", "lo"}));
    ASSERT_TRUE(host->readFlags(&flags));
    EXPECT_EQ(flags, quint32(KCReachabilityFlagReachable));

    source->stopWatching();
    EXPECT_FALSE(source->isWatching());
    const auto seen = changes.size();
    ASSERT_TRUE(ip({"-n", ns.name(), "route", "add", "default", "dev", "lo"}));
    kcSpin(300);
    EXPECT_EQ(changes.size(), seen);
}

TEST(NetlinkRouteFlags, ReadsThisMachinesTable) {
    KCNetlinkRouteFlagSource source;
    quint32 flags = 0xff;
    ASSERT_TRUE(source.readFlags(&flags)) << source.lastError().toStdString();
    EXPECT_TRUE(flags == 0u || flags == quint32(KCReachabilityFlagReachable));
}
