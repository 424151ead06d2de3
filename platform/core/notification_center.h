#pragma once
// A notification centre: named notifications with a user-info dictionary,
// delivered to observer blocks.
//
//   auto token = NotificationCenter::defaultCenter().addObserver(
//       "logout", DispatchQueue::main(), [](const Notification &n) { ... });
//   NotificationCenter::defaultCenter().postNotification("logout");
//   NotificationCenter::defaultCenter().removeObserver(token);
//
// An observer added without a queue runs synchronously on the posting thread,
// inside postNotification(). An observer added with a queue runs
// asynchronously on that queue; postNotification() does not wait for it.
// Observers of one notification are called in the order they were added.

#include "platform/core/dispatch.h"

#include <QString>
#include <QVariantMap>

#include <functional>
#include <memory>

struct Notification {
    QString name;
    QVariantMap userInfo;
};

using NotificationBlock = std::function<void(const Notification &)>;

class NotificationCenter {
public:
    // Identifies one registration; 0 is never handed out.
    using ObserverToken = quint64;

    NotificationCenter();
    ~NotificationCenter();
    NotificationCenter(const NotificationCenter &) = delete;
    NotificationCenter &operator=(const NotificationCenter &) = delete;

    // The process-wide centre.
    static NotificationCenter &defaultCenter();

    // Observes notifications named `name` (an empty name observes every
    // notification). `queue` null: run on the posting thread.
    ObserverToken addObserver(const QString &name, DispatchQueuePtr queue, NotificationBlock block);
    // After removeObserver() returns, the block is not started again, also
    // not for notifications already queued for it. Unknown tokens are ignored.
    void removeObserver(ObserverToken token);

    void postNotification(const Notification &notification);
    void postNotification(const QString &name, const QVariantMap &userInfo = {});

    int observerCount() const;

private:
    struct Private;
    std::unique_ptr<Private> d;
};
