#include "http/progress.h"

#include <mutex>
#include <vector>

struct KCProgress::Private {
    mutable std::mutex mutex;
    // Held while observers are called (a change, or an observer catching
    // up); recursive, so an observer may change the progress it observes.
    std::recursive_mutex delivery;
    qint64 total = 0;
    qint64 completed = 0;
    bool paused = false;
    bool cancelled = false;
    ObserverToken nextToken = 1;
    struct Entry {
        ObserverToken token;
        QString keyPath;
        std::shared_ptr<Observer> observer;
    };
    std::vector<Entry> observers;
    std::function<void()> pausingHandler;
    std::function<void()> cancellationHandler;

    static double fraction(qint64 total, qint64 completed) {
        if (total <= 0)
            return 0.0;
        const double f = double(completed) / double(total);
        return f < 0 ? 0.0 : (f > 1 ? 1.0 : f);
    }
};

KCProgress::KCProgress(qint64 totalUnitCount) : d(std::make_unique<Private>()) {
    d->total = totalUnitCount;
}

KCProgress::~KCProgress() = default;

KCProgressPtr KCProgress::progressWithTotalUnitCount(qint64 totalUnitCount) {
    return std::make_shared<KCProgress>(totalUnitCount);
}

qint64 KCProgress::totalUnitCount() const {
    std::lock_guard lock(d->mutex);
    return d->total;
}

qint64 KCProgress::completedUnitCount() const {
    std::lock_guard lock(d->mutex);
    return d->completed;
}

double KCProgress::fractionCompleted() const {
    std::lock_guard lock(d->mutex);
    return Private::fraction(d->total, d->completed);
}

namespace {
struct Change {
    bool total = false;
    bool completed = false;
    bool fraction = false;
};
} // namespace

static void notify(const KCProgress &progress, const Change &change,
                   const std::vector<std::pair<QString, std::shared_ptr<KCProgress::Observer>>> &observers) {
    for (const auto &[keyPath, observer] : observers) {
        if ((keyPath == QLatin1String("totalUnitCount") && change.total) ||
            (keyPath == QLatin1String("completedUnitCount") && change.completed) ||
            (keyPath == QLatin1String("fractionCompleted") && change.fraction))
            (*observer)(progress);
    }
}

void KCProgress::setCount(bool total, qint64 count) {
    std::lock_guard delivering(d->delivery);
    Change change;
    std::vector<std::pair<QString, std::shared_ptr<Observer>>> observers;
    {
        std::lock_guard lock(d->mutex);
        qint64 &field = total ? d->total : d->completed;
        if (field == count)
            return;
        const double before = Private::fraction(d->total, d->completed);
        field = count;
        change.total = total;
        change.completed = !total;
        change.fraction = Private::fraction(d->total, d->completed) != before;
        for (const auto &e : d->observers)
            observers.emplace_back(e.keyPath, e.observer);
    }
    notify(*this, change, observers);
}

void KCProgress::setTotalUnitCount(qint64 count) {
    setCount(true, count);
}

void KCProgress::setCompletedUnitCount(qint64 count) {
    setCount(false, count);
}

KCProgress::ObserverToken KCProgress::addObserver(const QString &keyPath, Observer observer) {
    std::lock_guard delivering(d->delivery);
    auto shared = std::make_shared<Observer>(std::move(observer));
    ObserverToken token;
    bool catchUp = false;
    {
        std::lock_guard lock(d->mutex);
        token = d->nextToken++;
        d->observers.push_back({token, keyPath, shared});
        if (keyPath == QLatin1String("fractionCompleted"))
            catchUp = Private::fraction(d->total, d->completed) > 0;
        else if (keyPath == QLatin1String("completedUnitCount"))
            catchUp = d->completed != 0;
    }
    if (catchUp)
        (*shared)(*this);
    return token;
}

void KCProgress::removeObserver(ObserverToken token) {
    std::lock_guard lock(d->mutex);
    std::erase_if(d->observers, [&](const Private::Entry &e) { return e.token == token; });
}

void KCProgress::setPausingHandler(std::function<void()> handler) {
    std::lock_guard lock(d->mutex);
    d->pausingHandler = std::move(handler);
}

void KCProgress::setCancellationHandler(std::function<void()> handler) {
    std::lock_guard lock(d->mutex);
    d->cancellationHandler = std::move(handler);
}

void KCProgress::pause() {
    std::function<void()> handler;
    {
        std::lock_guard lock(d->mutex);
        if (d->paused)
            return;
        d->paused = true;
        handler = d->pausingHandler;
    }
    if (handler)
        handler();
}

void KCProgress::cancel() {
    std::function<void()> handler;
    {
        std::lock_guard lock(d->mutex);
        if (d->cancelled)
            return;
        d->cancelled = true;
        handler = d->cancellationHandler;
    }
    if (handler)
        handler();
}

bool KCProgress::isPaused() const {
    std::lock_guard lock(d->mutex);
    return d->paused;
}

bool KCProgress::isCancelled() const {
    std::lock_guard lock(d->mutex);
    return d->cancelled;
}
