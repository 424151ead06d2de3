#include "platform/core/dispatch.h"

#include <QCoreApplication>
#include <QDebug>
#include <QMetaObject>
#include <QObject>
#include <QThread>
#include <QThreadPool>
#include <QTimer>

#include <condition_variable>
#include <deque>
#include <mutex>
#include <vector>

namespace {

// The queue whose block runs on this thread (set while a block runs).
thread_local DispatchQueue *tCurrentQueue = nullptr;

struct CurrentQueueScope {
    explicit CurrentQueueScope(DispatchQueue *q) : previous(tCurrentQueue) { tCurrentQueue = q; }
    ~CurrentQueueScope() { tCurrentQueue = previous; }
    DispatchQueue *previous;
};

// One pool for every queue. Blocks may wait on other queues (sync, group
// waits), so the pool is allowed to grow well beyond the core count.
QThreadPool *pool() {
    static QThreadPool *p = [] {
        auto *tp = new QThreadPool; // lives for the whole process
        tp->setMaxThreadCount(qMax(64, QThread::idealThreadCount() * 8));
        tp->setExpiryTimeout(30000);
        return tp;
    }();
    return p;
}

bool onMainThread() {
    auto *app = QCoreApplication::instance();
    return app && QThread::currentThread() == app->thread();
}

// A thread with an event loop that owns every delayed-execution timer.
class TimerThread {
public:
    static TimerThread &instance() {
        static TimerThread *t = new TimerThread; // lives for the whole process
        return *t;
    }
    void schedule(int ms, DispatchBlock fire) {
        QMetaObject::invokeMethod(
            m_context,
            [ctx = m_context, ms, fire = std::move(fire)]() mutable {
                QTimer::singleShot(qMax(0, ms), Qt::PreciseTimer, ctx, std::move(fire));
            },
            Qt::QueuedConnection);
    }

private:
    TimerThread() {
        m_thread = new QThread;
        m_thread->setObjectName(QStringLiteral("dispatch-timers"));
        m_context = new QObject;
        m_context->moveToThread(m_thread);
        m_thread->start();
    }
    QThread *m_thread = nullptr;
    QObject *m_context = nullptr;
};

// Runs `block` asynchronously on `queue` and waits until it has finished.
void asyncAndWait(DispatchQueue &queue, const DispatchBlock &block) {
    std::mutex m;
    std::condition_variable cv;
    bool done = false;
    queue.async([&] {
        block();
        std::lock_guard lock(m);
        done = true;
        cv.notify_all();
    });
    std::unique_lock lock(m);
    cv.wait(lock, [&] { return done; });
}

class MainQueue final : public DispatchQueue {
public:
    MainQueue() : DispatchQueue(Kind::Main, QStringLiteral("com.apple.main-thread")) {}

    void async(DispatchBlock block) override {
        auto *app = QCoreApplication::instance();
        if (!app) {
            qWarning("DispatchQueue::main(): no QCoreApplication; block dropped");
            return;
        }
        // Posted events to one receiver are delivered in posting order.
        QMetaObject::invokeMethod(
            app,
            [this, block = std::move(block)] {
                CurrentQueueScope scope(this);
                block();
            },
            Qt::QueuedConnection);
    }

    void sync(DispatchBlock block) override {
        if (onMainThread()) {
            CurrentQueueScope scope(this);
            block();
            return;
        }
        asyncAndWait(*this, block);
    }
};

// Serial and concurrent queues over the pool. A serial queue runs one drain
// task at a time, which takes blocks from the FIFO until it is empty or the
// queue is suspended. A concurrent queue hands each block to the pool as it
// becomes runnable.
class PoolQueue final : public DispatchQueue {
public:
    PoolQueue(Kind kind, const QString &label) : DispatchQueue(kind, label) {}

    void async(DispatchBlock block) override {
        std::unique_lock lock(m_mutex);
        m_pending.push_back(std::move(block));
        pump(lock);
    }

    void sync(DispatchBlock block) override {
        if (tCurrentQueue == this) {
            block(); // already on this queue: waiting would deadlock
            return;
        }
        asyncAndWait(*this, block);
    }

    void suspend() override {
        std::lock_guard lock(m_mutex);
        ++m_suspendCount;
    }

    void resume() override {
        std::unique_lock lock(m_mutex);
        if (m_suspendCount == 0) {
            qWarning() << "DispatchQueue::resume() without suspend() on" << label();
            return;
        }
        --m_suspendCount;
        pump(lock);
    }

    bool isSuspended() const override {
        std::lock_guard lock(m_mutex);
        return m_suspendCount > 0;
    }

private:
    // Starts work for whatever may run now. Called with m_mutex held.
    void pump(std::unique_lock<std::mutex> &lock) {
        if (m_suspendCount > 0 || m_pending.empty())
            return;
        auto self = std::static_pointer_cast<PoolQueue>(shared_from_this());
        if (kind() == Kind::Serial) {
            if (m_draining)
                return;
            m_draining = true;
            lock.unlock();
            pool()->start([self] { self->drain(); });
            lock.lock();
            return;
        }
        std::deque<DispatchBlock> runnable;
        runnable.swap(m_pending);
        lock.unlock();
        for (auto &b : runnable) {
            pool()->start([self, b = std::move(b)] {
                CurrentQueueScope scope(self.get());
                b();
            });
        }
        lock.lock();
    }

    void drain() {
        CurrentQueueScope scope(this);
        for (;;) {
            DispatchBlock block;
            {
                std::lock_guard lock(m_mutex);
                if (m_suspendCount > 0 || m_pending.empty()) {
                    m_draining = false;
                    return;
                }
                block = std::move(m_pending.front());
                m_pending.pop_front();
            }
            block();
        }
    }

    mutable std::mutex m_mutex;
    std::deque<DispatchBlock> m_pending;
    int m_suspendCount = 0;
    bool m_draining = false;
};

} // namespace

DispatchQueue::DispatchQueue(Kind kind, QString label) : m_kind(kind), m_label(std::move(label)) {}

DispatchQueue::~DispatchQueue() = default;

// The process-wide queues are never destroyed: objects with static storage
// (shared clients and their session managers) still reach them while the
// process exits, after function-local statics would already be gone.
template <typename Queue, typename... Args> static const DispatchQueuePtr &immortalQueue(Args &&...args) {
    return *new DispatchQueuePtr(std::make_shared<Queue>(std::forward<Args>(args)...));
}

DispatchQueuePtr DispatchQueue::main() {
    static const DispatchQueuePtr &q = immortalQueue<MainQueue>();
    return q;
}

DispatchQueuePtr DispatchQueue::global(Priority priority) {
    // The classes keep their own queues (and labels); their blocks share the pool.
    static const DispatchQueuePtr &background =
        immortalQueue<PoolQueue>(Kind::Concurrent, QStringLiteral("com.apple.root.background-qos"));
    static const DispatchQueuePtr &utility =
        immortalQueue<PoolQueue>(Kind::Concurrent, QStringLiteral("com.apple.root.utility-qos"));
    static const DispatchQueuePtr &standard =
        immortalQueue<PoolQueue>(Kind::Concurrent, QStringLiteral("com.apple.root.default-qos"));
    static const DispatchQueuePtr &userInitiated =
        immortalQueue<PoolQueue>(Kind::Concurrent, QStringLiteral("com.apple.root.user-initiated-qos"));
    switch (priority) {
    case Priority::Background:
        return background;
    case Priority::Utility:
        return utility;
    case Priority::UserInitiated:
        return userInitiated;
    case Priority::Default:
        break;
    }
    return standard;
}

DispatchQueuePtr DispatchQueue::createSerial(const QString &label) {
    return std::make_shared<PoolQueue>(Kind::Serial, label);
}

DispatchQueuePtr DispatchQueue::createConcurrent(const QString &label) {
    return std::make_shared<PoolQueue>(Kind::Concurrent, label);
}

DispatchQueuePtr DispatchQueue::current() {
    if (tCurrentQueue)
        return tCurrentQueue->shared_from_this();
    if (onMainThread())
        return main();
    return nullptr;
}

bool DispatchQueue::isCurrent() const {
    if (tCurrentQueue)
        return tCurrentQueue == this;
    return m_kind == Kind::Main && onMainThread();
}

void DispatchQueue::after(int ms, DispatchBlock block) {
    auto strong = shared_from_this(); // the queue stays alive until the block ran
    TimerThread::instance().schedule(
        ms, [strong, block = std::move(block)]() mutable { strong->async(std::move(block)); });
}

// ---------------------------------------------------------------------------

struct DispatchGroup::Private {
    mutable std::mutex mutex;
    std::condition_variable emptied;
    int count = 0;
    std::vector<std::pair<DispatchQueuePtr, DispatchBlock>> notifications;
};

DispatchGroup::DispatchGroup() : d(std::make_unique<Private>()) {}
DispatchGroup::~DispatchGroup() = default;

DispatchGroupPtr DispatchGroup::create() {
    return DispatchGroupPtr(new DispatchGroup);
}

void DispatchGroup::enter() {
    std::lock_guard lock(d->mutex);
    ++d->count;
}

void DispatchGroup::leave() {
    std::vector<std::pair<DispatchQueuePtr, DispatchBlock>> fire;
    {
        std::lock_guard lock(d->mutex);
        if (d->count == 0) {
            qWarning("DispatchGroup::leave() without enter()");
            return;
        }
        if (--d->count > 0)
            return;
        fire.swap(d->notifications);
        d->emptied.notify_all();
    }
    for (auto &[queue, block] : fire)
        queue->async(std::move(block));
}

void DispatchGroup::notify(const DispatchQueuePtr &queue, DispatchBlock block) {
    {
        std::lock_guard lock(d->mutex);
        if (d->count > 0) {
            d->notifications.emplace_back(queue, std::move(block));
            return;
        }
    }
    queue->async(std::move(block));
}

bool DispatchGroup::wait(int timeoutMs) {
    std::unique_lock lock(d->mutex);
    if (timeoutMs < 0) {
        d->emptied.wait(lock, [&] { return d->count == 0; });
        return true;
    }
    return d->emptied.wait_for(lock, std::chrono::milliseconds(timeoutMs), [&] { return d->count == 0; });
}

void DispatchGroup::async(const DispatchQueuePtr &queue, DispatchBlock block) {
    enter();
    auto self = shared_from_this();
    queue->async([self, block = std::move(block)] {
        block();
        self->leave();
    });
}

int DispatchGroup::count() const {
    std::lock_guard lock(d->mutex);
    return d->count;
}
