#include "platform/core/notification_center.h"

#include <atomic>
#include <mutex>
#include <vector>

namespace {

struct Observer {
    NotificationCenter::ObserverToken token = 0;
    QString name;
    DispatchQueuePtr queue;
    NotificationBlock block;
    std::atomic<bool> removed{false};
};

} // namespace

struct NotificationCenter::Private {
    mutable std::mutex mutex;
    std::vector<std::shared_ptr<Observer>> observers;
    ObserverToken nextToken = 1;
};

NotificationCenter::NotificationCenter() : d(std::make_unique<Private>()) {}
NotificationCenter::~NotificationCenter() = default;

NotificationCenter &NotificationCenter::defaultCenter() {
    static NotificationCenter *center = new NotificationCenter; // lives for the whole process
    return *center;
}

NotificationCenter::ObserverToken NotificationCenter::addObserver(const QString &name, DispatchQueuePtr queue,
                                                                  NotificationBlock block) {
    auto observer = std::make_shared<Observer>();
    observer->name = name;
    observer->queue = std::move(queue);
    observer->block = std::move(block);
    std::lock_guard lock(d->mutex);
    observer->token = d->nextToken++;
    d->observers.push_back(observer);
    return observer->token;
}

void NotificationCenter::removeObserver(ObserverToken token) {
    std::lock_guard lock(d->mutex);
    for (auto it = d->observers.begin(); it != d->observers.end(); ++it) {
        if ((*it)->token == token) {
            (*it)->removed = true;
            d->observers.erase(it);
            return;
        }
    }
}

void NotificationCenter::postNotification(const Notification &notification) {
    std::vector<std::shared_ptr<Observer>> targets;
    {
        std::lock_guard lock(d->mutex);
        for (const auto &o : d->observers) {
            if (o->name.isEmpty() || o->name == notification.name)
                targets.push_back(o);
        }
    }
    for (const auto &o : targets) {
        if (o->removed)
            continue;
        if (!o->queue) {
            o->block(notification);
            continue;
        }
        o->queue->async([o, notification] {
            if (!o->removed)
                o->block(notification);
        });
    }
}

void NotificationCenter::postNotification(const QString &name, const QVariantMap &userInfo) {
    postNotification(Notification{name, userInfo});
}

int NotificationCenter::observerCount() const {
    std::lock_guard lock(d->mutex);
    return int(d->observers.size());
}
