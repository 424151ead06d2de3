#pragma once
// Progress of one transfer: total and completed unit counts and the derived
// fraction. Observers of "fractionCompleted", "completedUnitCount" and
// "totalUnitCount" are called synchronously, on the thread that changed the
// value, whenever the value changes. An observer of "fractionCompleted" or
// "completedUnitCount" that comes after work was done is called at once, on
// its own thread, with where the transfer stands: a transfer may well run
// (and finish) between the start of a task and the moment its caller gets
// round to observing it. Calls to the observers of one progress never
// overlap, so each sees the values in the order they were reached.

#include <QString>

#include <functional>
#include <memory>

class KCProgress;
using KCProgressPtr = std::shared_ptr<KCProgress>;

class KCProgress {
public:
    using ObserverToken = quint64;
    using Observer = std::function<void(const KCProgress &progress)>;

    explicit KCProgress(qint64 totalUnitCount = 0);
    ~KCProgress();
    KCProgress(const KCProgress &) = delete;
    KCProgress &operator=(const KCProgress &) = delete;

    static KCProgressPtr progressWithTotalUnitCount(qint64 totalUnitCount);

    qint64 totalUnitCount() const;
    void setTotalUnitCount(qint64 count);
    qint64 completedUnitCount() const;
    void setCompletedUnitCount(qint64 count);
    // completed / total, clamped to 0..1; 0 while the total is not positive.
    double fractionCompleted() const;

    // `keyPath`: "fractionCompleted", "completedUnitCount" or "totalUnitCount".
    ObserverToken addObserver(const QString &keyPath, Observer observer);
    void removeObserver(ObserverToken token);

    // Pausing and cancelling call the handlers (the session manager suspends
    // or cancels the task).
    void setPausingHandler(std::function<void()> handler);
    void setCancellationHandler(std::function<void()> handler);
    void pause();
    void cancel();
    bool isPaused() const;
    bool isCancelled() const;

private:
    void setCount(bool total, qint64 count);

    struct Private;
    std::unique_ptr<Private> d;
};
