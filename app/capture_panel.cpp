// The application's capture panel, and its upload queue as the tray shows
// it: counts, the accounts that records wait for, and Retry / Save image… /
// Discard on the failed ones.

#include "app/app_delegate.h"
#include "app/main_window_controller.h"
#include "app/pending_uploads.h"
#include "capture/panel/view_controller.h"

namespace {

QString titleOf(const DocumentationUploadQueue::Entry &entry) {
    const QDateTime at = entry.acceptedAt.isValid() ? entry.acceptedAt : QDateTime::currentDateTime();
    const QString when = at.date() == QDate::currentDate() ? at.toString(QStringLiteral("HH:mm"))
                                                           : at.toString(QStringLiteral("d MMM HH:mm"));
    return entry.destination == QLatin1String(DocumentationUploadQueue::kEMR)
               ? ViewController::tr("Capture of %1 for the chart").arg(when)
               : ViewController::tr("Capture of %1 for the clinic service").arg(when);
}

// Shows `queue` in the tray.
void connectPendingUploads(DocumentationUploadQueue *queue) {
    KCPendingUploads::shared()->setSource(queue, [queue] {
        return KCPendingUploadCounts{queue->pendingCount(),    queue->failedCount(),
                                     queue->refusedCount(),    queue->waitingForUsers(),
                                     queue->unreadableCount(), queue->lostAtQuitCount(),
                                     queue->keyProblem()};
    });
    QPointer<DocumentationUploadQueue> guard(queue);
    KCPendingUploadActions actions;
    actions.items = [guard] {
        QList<KCPendingUploadItem> items;
        if (!guard)
            return items;
        QList<DocumentationUploadQueue::Entry> entries = guard->entries();
        std::sort(entries.begin(), entries.end(),
                  [](const auto &a, const auto &b) { return a.acceptedAt < b.acceptedAt; });
        for (const DocumentationUploadQueue::Entry &e : entries)
            if ((e.refused || e.unreadable || !e.lastError.isEmpty()) && !guard->isWaitingForAccount(e) &&
                guard->mayAct(e))
                items.append({e.key, titleOf(e), e.lastError, e.refused, e.unreadable});
        return items;
    };
    actions.retry = [guard](const QString &key) {
        if (guard)
            guard->retry(key);
    };
    actions.saveImage = [guard](const QString &key, const QString &path) {
        return guard ? guard->saveImage(key, path) : QString();
    };
    actions.discard = [guard](const QString &key) {
        if (guard)
            guard->discard(key);
    };
    KCPendingUploads::shared()->setActions(std::move(actions));
}

} // namespace

QWidget *kcMakeCapturePanel(CaptureMainWindow *window, AppDelegate *delegate) {
    auto *panel = new ViewController(window, delegate);
    connectPendingUploads(panel->uploadQueue());
    return panel;
}
