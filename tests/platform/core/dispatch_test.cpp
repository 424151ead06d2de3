#include "platform/core/dispatch.h"
#include "platform/core/notification_center.h"
#include "tests/support/qt_wait.h"

#include <QCoreApplication>
#include <QThread>

#include <gtest/gtest.h>

#include <atomic>
#include <mutex>
#include <vector>

namespace {

// A thread-safe record of what ran, in order.
struct Log {
    std::mutex mutex;
    std::vector<int> items;
    void add(int v) {
        std::lock_guard lock(mutex);
        items.push_back(v);
    }
    std::vector<int> snapshot() {
        std::lock_guard lock(mutex);
        return items;
    }
    size_t size() {
        std::lock_guard lock(mutex);
        return items.size();
    }
};

std::vector<int> iota(int n) {
    std::vector<int> v;
    for (int i = 0; i < n; ++i)
        v.push_back(i);
    return v;
}

QThread *mainThread() {
    return QCoreApplication::instance()->thread();
}

} // namespace

TEST(DispatchQueue, MainQueueRunsOnTheGuiThreadInOrderAndNeverInline) {
    Log log;
    std::atomic<int> offMain{0};
    auto main = DispatchQueue::main();
    // Submitted from the main thread and from a pool thread alike.
    for (int i = 0; i < 50; ++i)
        main->async([&, i] {
            if (QThread::currentThread() != mainThread())
                ++offMain;
            log.add(i);
        });
    EXPECT_EQ(log.size(), 0u) << "async must not run the block inline";
    ASSERT_TRUE(kcWaitFor([&] { return log.size() == 50; }, 20000));
    EXPECT_EQ(log.snapshot(), iota(50));

    std::atomic<bool> ran{false};
    DispatchQueue::global()->async([&] {
        main->async(
            [&] { ran = QThread::currentThread() == mainThread() && DispatchQueue::main()->isCurrent(); });
    });
    ASSERT_TRUE(kcWaitFor([&] { return ran.load(); }, 20000));
    EXPECT_EQ(offMain.load(), 0);
}

TEST(DispatchQueue, SerialQueueKeepsOrderAndNeverOverlaps) {
    auto q = DispatchQueue::createSerial("test.serial");
    Log log;
    std::atomic<int> inside{0};
    std::atomic<int> overlaps{0};
    std::atomic<int> wrongQueue{0};
    // Producers on several threads; each producer's blocks must stay in order.
    for (int i = 0; i < 200; ++i)
        q->async([&, i] {
            if (++inside > 1)
                ++overlaps;
            if (!q->isCurrent() || DispatchQueue::current() != q || QThread::currentThread() == mainThread())
                ++wrongQueue;
            log.add(i);
            --inside;
        });
    ASSERT_TRUE(kcWaitFor([&] { return log.size() == 200; }, 20000));
    EXPECT_EQ(log.snapshot(), iota(200));
    EXPECT_EQ(overlaps.load(), 0);
    EXPECT_EQ(wrongQueue.load(), 0);
}

TEST(DispatchQueue, SuspendedQueueHoldsEverythingAndReleasesInOrderOnResume) {
    auto q = DispatchQueue::createSerial("test.suspend");
    Log log;
    q->suspend();
    EXPECT_TRUE(q->isSuspended());
    for (int i = 0; i < 20; ++i)
        q->async([&, i] { log.add(i); });
    kcSpin(300);
    EXPECT_EQ(log.size(), 0u);

    // Suspension counts: two suspends need two resumes.
    q->suspend();
    q->resume();
    kcSpin(200);
    EXPECT_EQ(log.size(), 0u);
    q->resume();
    EXPECT_FALSE(q->isSuspended());
    ASSERT_TRUE(kcWaitFor([&] { return log.size() == 20; }, 20000));
    EXPECT_EQ(log.snapshot(), iota(20));

    // Suspending from inside a block stops the queue after that block.
    q->async([&] {
        log.add(100);
        q->suspend();
    });
    q->async([&] { log.add(101); });
    ASSERT_TRUE(kcWaitFor([&] { return log.size() == 21; }, 20000));
    kcSpin(200);
    EXPECT_EQ(log.size(), 21u);
    q->resume();
    ASSERT_TRUE(kcWaitFor([&] { return log.size() == 22; }, 20000));
    EXPECT_EQ(log.snapshot().back(), 101);
}

TEST(DispatchQueue, SuspendedConcurrentQueueHoldsBlocks) {
    auto q = DispatchQueue::createConcurrent("test.concurrent");
    std::atomic<int> ran{0};
    q->suspend();
    for (int i = 0; i < 10; ++i)
        q->async([&] { ++ran; });
    kcSpin(200);
    EXPECT_EQ(ran.load(), 0);
    q->resume();
    ASSERT_TRUE(kcWaitFor([&] { return ran.load() == 10; }, 20000));
}

TEST(DispatchQueue, ConcurrentQueueRunsBlocksInParallel) {
    // Two blocks that each wait for the other can only finish in parallel.
    std::atomic<int> arrived{0};
    std::atomic<int> finished{0};
    for (int i = 0; i < 2; ++i)
        DispatchQueue::global(DispatchQueue::Priority::UserInitiated)->async([&] {
            ++arrived;
            QDeadlineTimer deadline(20000);
            while (arrived.load() < 2 && !deadline.hasExpired())
                QThread::msleep(1);
            if (arrived.load() == 2)
                ++finished;
        });
    ASSERT_TRUE(kcWaitFor([&] { return finished.load() == 2; }, 30000));
}

TEST(DispatchQueue, SyncWaitsRunsOnTheQueueAndIsReentrant) {
    auto q = DispatchQueue::createSerial("test.sync");
    std::atomic<bool> onQueue{false};
    int value = 0;
    q->sync([&] {
        onQueue = q->isCurrent();
        value = 7;
        q->sync([&] { value = 8; }); // nested: runs directly
    });
    EXPECT_TRUE(onQueue.load());
    EXPECT_EQ(value, 8);

    // sync onto the main queue from a pool thread while the main loop spins.
    std::atomic<bool> done{false};
    std::atomic<bool> wasMain{false};
    DispatchQueue::global()->async([&] {
        DispatchQueue::main()->sync([&] { wasMain = QThread::currentThread() == mainThread(); });
        done = true;
    });
    ASSERT_TRUE(kcWaitFor([&] { return done.load(); }, 20000));
    EXPECT_TRUE(wasMain.load());
}

TEST(DispatchQueue, AfterRunsLaterOnTheTargetQueue) {
    std::atomic<bool> ran{false};
    std::atomic<bool> onMain{false};
    dispatchAfterOnMain(150, [&] {
        onMain = QThread::currentThread() == mainThread();
        ran = true;
    });
    EXPECT_FALSE(ran.load());
    ASSERT_TRUE(kcWaitFor([&] { return ran.load(); }, 20000));
    EXPECT_TRUE(onMain.load());

    auto q = DispatchQueue::createSerial("test.after");
    std::atomic<bool> onQ{false};
    q->after(10, [&] { onQ = q->isCurrent(); });
    ASSERT_TRUE(kcWaitFor([&] { return onQ.load(); }, 20000));
}

TEST(DispatchGroup, NotifyAfterAllLeaveAndWait) {
    auto group = DispatchGroup::create();
    std::atomic<int> work{0};
    std::atomic<int> seenAtNotify{-1};
    for (int i = 0; i < 8; ++i)
        group->async(DispatchQueue::global(), [&] {
            QThread::msleep(5);
            ++work;
        });
    group->notify(DispatchQueue::main(), [&] { seenAtNotify = work.load(); });
    EXPECT_TRUE(group->wait(30000));
    EXPECT_EQ(work.load(), 8);
    ASSERT_TRUE(kcWaitFor([&] { return seenAtNotify.load() != -1; }, 20000));
    EXPECT_EQ(seenAtNotify.load(), 8);

    // An empty group notifies at once (still asynchronously) and does not wait.
    std::atomic<bool> emptyNotified{false};
    group->notify(DispatchQueue::main(), [&] { emptyNotified = true; });
    EXPECT_TRUE(group->wait(0));
    ASSERT_TRUE(kcWaitFor([&] { return emptyNotified.load(); }, 20000));

    // A manual enter without leave times out; an unmatched leave is ignored.
    group->enter();
    EXPECT_FALSE(group->wait(50));
    group->leave();
    group->leave();
    EXPECT_EQ(group->count(), 0);
    EXPECT_TRUE(group->wait(0));
}

TEST(NotificationCenter, DirectObserversRunOnThePostingThreadInOrder) {
    NotificationCenter center;
    std::vector<QString> seen;
    QThread *postingThread = nullptr;
    auto a = center.addObserver("ping", nullptr, [&](const Notification &n) {
        seen.push_back("a:" + n.userInfo.value("k").toString());
        postingThread = QThread::currentThread();
    });
    auto b = center.addObserver("ping", nullptr, [&](const Notification &) { seen.push_back("b"); });
    auto all =
        center.addObserver(QString(), nullptr, [&](const Notification &n) { seen.push_back("*" + n.name); });
    center.postNotification("ping", {{"k", "v"}});
    center.postNotification("other");
    EXPECT_EQ(seen, (std::vector<QString>{"a:v", "b", "*ping", "*other"}));
    EXPECT_EQ(postingThread, QThread::currentThread());

    seen.clear();
    center.removeObserver(a);
    center.removeObserver(a); // unknown now: ignored
    center.postNotification("ping");
    EXPECT_EQ(seen, (std::vector<QString>{"b", "*ping"}));
    center.removeObserver(b);
    center.removeObserver(all);
    EXPECT_EQ(center.observerCount(), 0);

    // Posted from a pool thread, a direct observer runs on that thread.
    std::atomic<bool> done{false};
    std::atomic<bool> sameThread{false};
    center.addObserver("bg", nullptr, [&](const Notification &) {
        sameThread = QThread::currentThread() != mainThread();
        done = true;
    });
    DispatchQueue::global()->async([&] { center.postNotification("bg"); });
    ASSERT_TRUE(kcWaitFor([&] { return done.load(); }, 20000));
    EXPECT_TRUE(sameThread.load());
}

TEST(NotificationCenter, QueuedObserversRunOnTheirQueueAndStopAfterRemoval) {
    NotificationCenter center;
    std::atomic<int> onMain{0};
    std::atomic<int> calls{0};
    auto token = center.addObserver("n", DispatchQueue::main(), [&](const Notification &n) {
        if (QThread::currentThread() == mainThread() && n.userInfo.value("x").toInt() == 3)
            ++onMain;
        ++calls;
    });
    std::atomic<bool> posted{false};
    DispatchQueue::global()->async([&] {
        center.postNotification("n", {{"x", 3}});
        posted = true;
    });
    ASSERT_TRUE(kcWaitFor([&] { return calls.load() == 1; }, 20000));
    EXPECT_EQ(onMain.load(), 1);

    // Queued for the observer but removed before the queue got to it.
    auto serial = DispatchQueue::createSerial("test.notify");
    std::atomic<int> serialCalls{0};
    auto t2 = center.addObserver("s", serial, [&](const Notification &) { ++serialCalls; });
    serial->suspend();
    center.postNotification("s");
    center.removeObserver(t2);
    serial->resume();
    std::atomic<bool> drained{false};
    serial->async([&] { drained = true; });
    ASSERT_TRUE(kcWaitFor([&] { return drained.load(); }, 20000));
    EXPECT_EQ(serialCalls.load(), 0);
    center.removeObserver(token);
}
