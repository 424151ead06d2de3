#pragma once
// Dispatch queues over Qt: the main queue (the GUI thread's event loop),
// process-wide concurrent queues over one thread pool, serial queues that can
// be suspended and resumed, delayed execution and groups.
//
//   DispatchQueue::main()->async([] { ...on the GUI thread... });
//   DispatchQueue::global()->async([] { ...on a pool thread... });
//   auto q = DispatchQueue::createSerial("com.example.events");
//   q->suspend(); q->async(a); q->async(b); q->resume(); // a, then b
//   DispatchQueue::main()->after(250, [] { ... });
//
// All blocks are std::function<void()>. Queues are shared handles; a queue
// stays alive while blocks are pending on it.

#include <QString>

#include <functional>
#include <memory>

using DispatchBlock = std::function<void()>;

class DispatchQueue;
using DispatchQueuePtr = std::shared_ptr<DispatchQueue>;

class DispatchQueue : public std::enable_shared_from_this<DispatchQueue> {
public:
    enum class Kind { Main, Serial, Concurrent };
    // Priority classes of the process-wide concurrent queues.
    enum class Priority { Background, Utility, Default, UserInitiated };

    // The queue of the GUI thread's event loop (the thread that created the
    // QCoreApplication). Blocks run one at a time, in order, from the event
    // loop. The main queue cannot be suspended.
    static DispatchQueuePtr main();
    // The process-wide concurrent queue of a priority class.
    static DispatchQueuePtr global(Priority priority = Priority::Default);
    // A new serial queue: blocks run one at a time in submission order, on
    // pool threads.
    static DispatchQueuePtr createSerial(const QString &label);
    // A new concurrent queue: blocks may run in parallel on pool threads.
    // Suspending it holds back blocks that have not started yet.
    static DispatchQueuePtr createConcurrent(const QString &label);

    // The queue whose block is running on this thread; the main queue on the
    // GUI thread outside any other queue's block; null elsewhere.
    static DispatchQueuePtr current();

    virtual ~DispatchQueue();

    Kind kind() const { return m_kind; }
    QString label() const { return m_label; }
    bool isCurrent() const;

    // Runs `block` later on this queue; returns at once.
    virtual void async(DispatchBlock block) = 0;
    // Runs `block` on this queue and waits until it has finished. Called from
    // a block already running on this (serial or main) queue, it runs the
    // block directly instead of deadlocking.
    virtual void sync(DispatchBlock block) = 0;
    // Runs `block` on this queue after `ms` milliseconds.
    void after(int ms, DispatchBlock block);

    // Suspension counts: blocks that have not started yet are held until
    // every suspend() is balanced by a resume(). A running block finishes.
    // No effect on the main queue.
    virtual void suspend() {}
    virtual void resume() {}
    virtual bool isSuspended() const { return false; }

protected:
    DispatchQueue(Kind kind, QString label);

private:
    Kind m_kind;
    QString m_label;
};

// Runs `block` asynchronously on the main queue after `ms` milliseconds.
inline void dispatchAfterOnMain(int ms, DispatchBlock block) {
    DispatchQueue::main()->after(ms, std::move(block));
}

class DispatchGroup;
using DispatchGroupPtr = std::shared_ptr<DispatchGroup>;

// Tracks a set of outstanding work items: enter() before starting one,
// leave() when it is done. notify() blocks run once the count drops to zero;
// wait() blocks the caller until then.
class DispatchGroup : public std::enable_shared_from_this<DispatchGroup> {
public:
    static DispatchGroupPtr create();
    ~DispatchGroup();

    void enter();
    // A leave() without a matching enter() is ignored (and logged).
    void leave();
    // Runs `block` on `queue` as soon as the group is empty (at once when it
    // already is). Every notify block runs exactly once.
    void notify(const DispatchQueuePtr &queue, DispatchBlock block);
    // Waits until the group is empty; `timeoutMs` < 0 waits forever. Returns
    // false on timeout.
    bool wait(int timeoutMs = -1);
    // enter(), run `block` on `queue`, leave().
    void async(const DispatchQueuePtr &queue, DispatchBlock block);
    int count() const;

private:
    DispatchGroup();
    struct Private;
    std::unique_ptr<Private> d;
};
