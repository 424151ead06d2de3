// The reachability monitor over an injected flag source: the status rule,
// texts, reporting order and thread, and restarting.

#include "http/network_reachability_manager.h"
#include "platform/core/notification_center.h"
#include "tests/support/qt_wait.h"

#include <QCoreApplication>
#include <QThread>

#include <gtest/gtest.h>

#include <atomic>
#include <mutex>

namespace {

class FakeFlagSource : public KCReachabilityFlagSource {
public:
    std::atomic<quint32> flags{0};
    std::atomic<bool> readable{true};
    std::atomic<int> starts{0};
    std::atomic<int> watchers{0};
    std::function<void(quint32)> changed;

    bool readFlags(quint32 *out) override {
        if (!readable)
            return false;
        *out = flags;
        return true;
    }
    bool startWatching(std::function<void(quint32)> cb) override {
        if (changed)
            --watchers;
        changed = std::move(cb);
        ++starts;
        ++watchers;
        return true;
    }
    void stopWatching() override {
        if (changed)
            --watchers;
        changed = nullptr;
    }
    bool isWatching() const override { return bool(changed); }

    // Simulates a change report from the system (on the main thread).
    void change(quint32 f) {
        flags = f;
        if (changed)
            changed(f);
    }
};

QThread *mainThread() {
    return QCoreApplication::instance()->thread();
}

} // namespace

TEST(NetworkReachability, StatusFromFlags) {
    constexpr quint32 R = KCReachabilityFlagReachable, C = KCReachabilityFlagConnectionRequired,
                      T = KCReachabilityFlagConnectionOnTraffic, I = KCReachabilityFlagInterventionRequired,
                      D = KCReachabilityFlagConnectionOnDemand;
    EXPECT_EQ(CVNetworkReachabilityStatusForFlags(R), CVNetworkReachabilityStatusReachableViaWiFi);
    EXPECT_EQ(CVNetworkReachabilityStatusForFlags(R | C), CVNetworkReachabilityStatusNotReachable);
    EXPECT_EQ(CVNetworkReachabilityStatusForFlags(R | C | T), CVNetworkReachabilityStatusReachableViaWiFi);
    EXPECT_EQ(CVNetworkReachabilityStatusForFlags(R | C | D), CVNetworkReachabilityStatusReachableViaWiFi);
    EXPECT_EQ(CVNetworkReachabilityStatusForFlags(R | C | T | I), CVNetworkReachabilityStatusNotReachable);
    EXPECT_EQ(CVNetworkReachabilityStatusForFlags(C | T | D), CVNetworkReachabilityStatusNotReachable);
    EXPECT_EQ(CVNetworkReachabilityStatusForFlags(0), CVNetworkReachabilityStatusNotReachable);

    EXPECT_EQ(CVStringFromNetworkReachabilityStatus(CVNetworkReachabilityStatusUnknown), "Unknown");
    EXPECT_EQ(CVStringFromNetworkReachabilityStatus(CVNetworkReachabilityStatusNotReachable),
              "Not Reachable");
    EXPECT_EQ(CVStringFromNetworkReachabilityStatus(CVNetworkReachabilityStatusReachableViaWWAN),
              "Reachable via WWAN");
    EXPECT_EQ(CVStringFromNetworkReachabilityStatus(CVNetworkReachabilityStatusReachableViaWiFi),
              "Reachable via WiFi");
}

TEST(NetworkReachability, ReportsCallbackThenNotificationOnMainThread) {
    auto source = std::make_shared<FakeFlagSource>();
    source->flags = KCReachabilityFlagReachable;
    auto monitor = CVNetworkReachabilityManager::managerWithFlagSource(source);
    EXPECT_FALSE(monitor->isReachable());
    EXPECT_EQ(monitor->networkReachabilityStatus(), CVNetworkReachabilityStatusUnknown);
    EXPECT_EQ(monitor->localizedNetworkReachabilityStatusString(), "Unknown");

    std::mutex m;
    QStringList events;
    std::atomic<bool> offMain{false};
    monitor->setReachabilityStatusChangeBlock([&](CVNetworkReachabilityStatus s) {
        if (QThread::currentThread() != mainThread())
            offMain = true;
        std::lock_guard lock(m);
        events << QStringLiteral("block %1").arg(int(s));
    });
    auto token = NotificationCenter::defaultCenter().addObserver(
        CVReachabilityDidChangeNotification, nullptr, [&](const Notification &n) {
            if (QThread::currentThread() != mainThread())
                offMain = true;
            std::lock_guard lock(m);
            events << QStringLiteral("note %1").arg(
                n.userInfo.value(CVReachabilityNotificationStatusItem).toInt());
        });
    auto count = [&] {
        std::lock_guard lock(m);
        return events.size();
    };

    monitor->startMonitoring();
    ASSERT_TRUE(kcWaitFor([&] { return count() == 2; }, 20000)); // the initial read
    EXPECT_TRUE(monitor->isReachable());
    EXPECT_TRUE(monitor->isReachableViaWiFi());
    EXPECT_FALSE(monitor->isReachableViaWWAN());

    source->change(0);
    source->change(0); // reports are not filtered
    ASSERT_TRUE(kcWaitFor([&] { return count() == 6; }, 20000));
    EXPECT_EQ(monitor->localizedNetworkReachabilityStatusString(), "Not Reachable");

    // A null callback suppresses only the callback.
    monitor->setReachabilityStatusChangeBlock(nullptr);
    source->change(KCReachabilityFlagReachable);
    ASSERT_TRUE(kcWaitFor([&] { return count() == 7; }, 20000));
    {
        std::lock_guard lock(m);
        EXPECT_EQ(events,
                  (QStringList{"block 2", "note 2", "block 0", "note 0", "block 0", "note 0", "note 2"}));
    }
    EXPECT_FALSE(offMain);

    // Stopping keeps the last status and stops reports.
    monitor->stopMonitoring();
    EXPECT_FALSE(source->isWatching());
    source->change(0);
    kcSpin(200);
    EXPECT_EQ(count(), 7);
    EXPECT_TRUE(monitor->isReachable());
    NotificationCenter::defaultCenter().removeObserver(token);
}

TEST(NetworkReachability, StartingTwiceRestartsWithOneRegistrationAndAFreshReport) {
    auto source = std::make_shared<FakeFlagSource>();
    source->flags = KCReachabilityFlagReachable;
    auto monitor = CVNetworkReachabilityManager::managerWithFlagSource(source);
    std::atomic<int> reports{0};
    monitor->setReachabilityStatusChangeBlock([&](CVNetworkReachabilityStatus) { ++reports; });
    monitor->startMonitoring();
    ASSERT_TRUE(kcWaitFor([&] { return reports == 1; }, 20000));
    monitor->startMonitoring();
    ASSERT_TRUE(kcWaitFor([&] { return reports == 2; }, 20000));
    kcSpin(200);
    EXPECT_EQ(reports.load(), 2);
    EXPECT_EQ(source->watchers.load(), 1);
    EXPECT_EQ(source->starts.load(), 2);

    // Unreadable flags at start: no initial report, the status stays as it was.
    auto unreadable = std::make_shared<FakeFlagSource>();
    unreadable->readable = false;
    auto fresh = CVNetworkReachabilityManager::managerWithFlagSource(unreadable);
    fresh->startMonitoring();
    kcSpin(300);
    EXPECT_EQ(fresh->networkReachabilityStatus(), CVNetworkReachabilityStatusUnknown);
    unreadable->change(KCReachabilityFlagReachable);
    ASSERT_TRUE(kcWaitFor([&] { return fresh->isReachable(); }, 20000));
}

TEST(NetworkReachability, SharedMonitorReadsTheKernelRoutingTable) {
    auto shared = CVNetworkReachabilityManager::sharedManager();
    ASSERT_EQ(shared, CVNetworkReachabilityManager::sharedManager());
    std::atomic<bool> reported{false};
    shared->setReachabilityStatusChangeBlock([&](CVNetworkReachabilityStatus) { reported = true; });
    shared->startMonitoring();
    ASSERT_TRUE(kcWaitFor([&] { return reported.load(); }, 20000));
    // Whatever this machine's routes are, the status is now known.
    EXPECT_NE(shared->networkReachabilityStatus(), CVNetworkReachabilityStatusUnknown);
    shared->stopMonitoring();
    shared->setReachabilityStatusChangeBlock(nullptr);
}
