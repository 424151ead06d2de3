#include "app/pending_uploads.h"

#include "capture/private_files.h"

#include <QAction>
#include <QCoreApplication>
#include <QMenu>
#include <QMessageBox>
#include <QPushButton>

KCPendingUploads *KCPendingUploads::shared() {
    static KCPendingUploads instance;
    return &instance;
}

KCPendingUploads::KCPendingUploads(QObject *parent)
    : QObject(parent), m_confirm(kcAskToQuitWithPendingUploads), m_quit([] { QCoreApplication::quit(); }),
      m_confirmDiscard(kcAskToDiscardUpload), m_chooseImagePath(kcChooseUploadImagePath) {}

void KCPendingUploads::setSource(QObject *source, std::function<KCPendingUploadCounts()> read) {
    if (m_source)
        disconnect(m_source, nullptr, this, nullptr);
    m_source = source;
    m_counts = source ? std::move(read) : nullptr;
    m_failureAnnounced = false;
    if (source && m_paused)
        QMetaObject::invokeMethod(source, "setPaused", Q_ARG(bool, true));
    if (source) {
        connect(source, SIGNAL(pendingChanged(int, int)), this, SLOT(sourcePendingChanged(int, int)));
        connect(source, SIGNAL(uploadFailed(QString, QString)), this,
                SLOT(sourceUploadFailed(QString, QString)));
        if (source->metaObject()->indexOfSignal("uploadRefused(QString,QString)") >= 0)
            connect(source, SIGNAL(uploadRefused(QString, QString)), this,
                    SLOT(sourceUploadRefused(QString, QString)));
        connect(source, &QObject::destroyed, this, [this, source] {
            if (m_source == source || !m_source) {
                m_counts = nullptr;
                emit countsChanged(0, 0);
            }
        });
    }
    const KCPendingUploadCounts now = counts();
    emit countsChanged(now.pending, now.failed);
}

void KCPendingUploads::setUploadsPaused(bool paused) {
    m_paused = paused;
    if (m_source)
        QMetaObject::invokeMethod(m_source, "setPaused", Q_ARG(bool, paused));
}

KCPendingUploadCounts KCPendingUploads::counts() const {
    if (!m_source || !m_counts)
        return {};
    return m_counts();
}

void KCPendingUploads::setActions(KCPendingUploadActions actions) {
    m_actions = std::move(actions);
}

QList<KCPendingUploadItem> KCPendingUploads::items() const {
    return m_actions.items ? m_actions.items() : QList<KCPendingUploadItem>();
}

static std::optional<KCPendingUploadItem> itemWithKey(const QList<KCPendingUploadItem> &items,
                                                      const QString &key) {
    for (const KCPendingUploadItem &item : items)
        if (item.key == key)
            return item;
    return std::nullopt;
}

void KCPendingUploads::retry(const QString &key) {
    if (m_actions.retry)
        m_actions.retry(key);
}

QString KCPendingUploads::saveImage(const QString &key) {
    const std::optional<KCPendingUploadItem> item = itemWithKey(items(), key);
    if (!item || !m_actions.saveImage)
        return tr("The capture is no longer waiting.");
    const QString path = m_chooseImagePath ? m_chooseImagePath(*item) : QString();
    if (path.isEmpty())
        return tr("Not saved.");
    return m_actions.saveImage(key, path);
}

bool KCPendingUploads::discard(const QString &key) {
    const std::optional<KCPendingUploadItem> item = itemWithKey(items(), key);
    if (!item || !m_actions.discard || !m_confirmDiscard || !m_confirmDiscard(*item))
        return false;
    m_actions.discard(key);
    return true;
}

void KCPendingUploads::setDiscardConfirmation(std::function<bool(const KCPendingUploadItem &)> confirm) {
    m_confirmDiscard = confirm ? std::move(confirm) : kcAskToDiscardUpload;
}

void KCPendingUploads::setImagePathChooser(std::function<QString(const KCPendingUploadItem &)> choose) {
    m_chooseImagePath = choose ? std::move(choose) : kcChooseUploadImagePath;
}

void KCPendingUploads::setQuitConfirmation(QuitConfirmation confirm) {
    m_confirm = confirm ? std::move(confirm) : QuitConfirmation(kcAskToQuitWithPendingUploads);
}

void KCPendingUploads::setQuitHandler(std::function<void()> quit) {
    m_quit = std::move(quit);
}

bool KCPendingUploads::shouldQuit() {
    if (m_asking)
        return false;
    const KCPendingUploadCounts now = counts();
    if (now.pending <= 0)
        return true;
    m_asking = true;
    const bool quit = m_confirm(now);
    m_asking = false;
    return quit;
}

bool KCPendingUploads::requestQuit() {
    if (!shouldQuit())
        return false;
    if (m_quit)
        m_quit();
    return true;
}

// "1 upload" or "3 uploads".
static QString uploads(int n) {
    return n == 1 ? KCPendingUploads::tr("1 upload") : KCPendingUploads::tr("%1 uploads").arg(n);
}

QString KCPendingUploads::statusText(const KCPendingUploadCounts &counts) {
    if (counts.pending <= 0)
        return QString();
    if (counts.refused > 0 || counts.unreadable > 0) {
        QStringList parts;
        if (counts.refused > 0)
            parts.append(tr("%1 refused").arg(counts.refused));
        if (counts.unreadable > 0)
            parts.append(tr("%1 unreadable").arg(counts.unreadable));
        return tr("%1 waiting, %2 — choose what to do").arg(uploads(counts.pending), parts.join(tr(", ")));
    }
    if (counts.failed <= 0)
        return tr("%1 waiting to be sent").arg(uploads(counts.pending));
    if (counts.failed >= counts.pending)
        return tr("%1 failed \u2014 retrying").arg(uploads(counts.failed));
    return tr("%1 waiting to be sent, %2 failed \u2014 retrying")
        .arg(uploads(counts.pending))
        .arg(counts.failed);
}

QString KCPendingUploads::waitingText(const KCPendingUploadCounts &counts) {
    if (counts.waitingFor.isEmpty())
        return QString();
    return tr("Some uploads are waiting for %1 to sign in").arg(counts.waitingFor.join(tr(" or ")));
}

QString KCPendingUploads::lostAtQuitText(const KCPendingUploadCounts &counts) {
    if (counts.lostAtQuit <= 0)
        return QString();
    return tr("%1 lost if KelvraCapture quits now: no keyring keeps them").arg(uploads(counts.lostAtQuit));
}

QAction *KCPendingUploads::attachToMenu(QMenu *menu) {
    QAction *first = menu->actions().value(0);
    auto *status = new QAction(menu);
    status->setEnabled(false);
    auto *waiting = new QAction(menu);
    waiting->setEnabled(false);
    auto *lost = new QAction(menu);
    lost->setEnabled(false);
    auto *separator = new QAction(menu);
    separator->setSeparator(true);
    for (QAction *action : {status, waiting, lost, separator})
        menu->insertAction(first, action);
    menu->setToolTipsVisible(true); // why the keyring keeps nothing
    auto show = [](QAction *action, const QString &text) {
        action->setText(text);
        action->setVisible(!text.isEmpty());
    };
    // The records' submenus sit between the texts and the separator. With
    // many waiting they are not made on every change of the counts, only
    // when the menu opens (and while it is open).
    auto records = std::make_shared<QList<QPointer<QAction>>>();
    auto makeRecords = [this, menu, separator, records] {
        // Later: an action of one of them may be running right now.
        for (const QPointer<QAction> &action : std::as_const(*records))
            if (action) {
                menu->removeAction(action);
                if (QMenu *sub = action->menu())
                    sub->deleteLater(); // and its action with it
                else
                    action->deleteLater();
            }
        records->clear();
        if (statusText(counts()).isEmpty())
            return;
        const QList<KCPendingUploadItem> all = items();
        for (const KCPendingUploadItem &item : all.mid(0, kMenuRecords)) {
            const QString state = item.unreadable ? tr(" — cannot be read")
                                  : item.refused  ? tr(" — refused")
                                                  : tr(" — failed");
            auto *sub = new QMenu(item.title + state);
            sub->setToolTip(item.problem);
            sub->setToolTipsVisible(true);
            QAction *reason = sub->addAction(item.problem);
            reason->setEnabled(false);
            sub->addSeparator();
            const QString key = item.key;
            QAction *retryAction = sub->addAction(tr("Retry"));
            QAction *saveAction = sub->addAction(tr("Save image…"));
            retryAction->setEnabled(!item.unreadable);
            saveAction->setEnabled(!item.unreadable);
            connect(retryAction, &QAction::triggered, this, [this, key] { retry(key); });
            connect(saveAction, &QAction::triggered, this, [this, key] { saveImage(key); });
            connect(sub->addAction(tr("Discard…")), &QAction::triggered, this, [this, key] { discard(key); });
            menu->insertAction(separator, sub->menuAction());
            records->append(sub->menuAction());
        }
        if (all.size() > kMenuRecords) {
            auto *more = new QAction(tr("… and %1 more").arg(all.size() - kMenuRecords), menu);
            more->setEnabled(false);
            menu->insertAction(separator, more);
            records->append(more);
        }
    };
    auto update = [this, menu, status, waiting, lost, separator, show, makeRecords] {
        const KCPendingUploadCounts now = counts();
        const QString text = statusText(now);
        show(status, text);
        separator->setVisible(!text.isEmpty());
        show(waiting, text.isEmpty() ? QString() : waitingText(now));
        show(lost, text.isEmpty() ? QString() : lostAtQuitText(now));
        lost->setToolTip(now.keyProblem);
        if (menu->isVisible() || text.isEmpty())
            makeRecords();
    };
    update();
    connect(this, &KCPendingUploads::countsChanged, status, update);
    connect(menu, &QMenu::aboutToShow, status, [update, makeRecords] {
        update();
        makeRecords();
    });
    return status;
}

void KCPendingUploads::sourcePendingChanged(int pending, int failed) {
    if (failed <= 0)
        m_failureAnnounced = false;
    emit countsChanged(pending, failed);
}

// The desktop's notifications are fixed texts: an error's text may carry a
// patient's record number or name (a service's answer quoted in it), and
// notifications show on a locked screen and stay in the desktop's history.
// The tray menu, for the signed-in user, gives the reason.
void KCPendingUploads::sourceUploadFailed(const QString &destination, const QString &) {
    if (m_failureAnnounced)
        return;
    m_failureAnnounced = true;
    const QString where = destination == QLatin1String("emr") ? tr("the chart") : tr("the clinic service");
    emit uploadsStartedFailing(
        tr("Upload failed \u2014 retrying"),
        tr("A capture could not be sent to %1. It is kept and sent again automatically.").arg(where));
}

void KCPendingUploads::sourceUploadRefused(const QString &destination, const QString &) {
    const QString where = destination == QLatin1String("emr") ? tr("the chart") : tr("the clinic service");
    emit uploadsStartedFailing(tr("Upload refused"),
                               tr("%1 refused a capture. It is kept: the tray menu says why; choose Retry, "
                                  "Save image… or Discard there.")
                                   .arg(where));
}

bool kcAskToDiscardUpload(const KCPendingUploadItem &item) {
    QMessageBox box;
    box.setIcon(QMessageBox::Warning);
    box.setWindowTitle(QStringLiteral("KelvraCapture"));
    box.setText(KCPendingUploads::tr("Discard %1?").arg(item.title));
    box.setInformativeText(KCPendingUploads::tr("It has not been filed. Once discarded it cannot be sent or "
                                                "recovered; save the image first to keep it."));
    QPushButton *discard = box.addButton(KCPendingUploads::tr("Discard"), QMessageBox::DestructiveRole);
    QPushButton *keep = box.addButton(KCPendingUploads::tr("Keep"), QMessageBox::RejectRole);
    box.setDefaultButton(keep);
    box.setEscapeButton(keep);
    box.exec();
    return box.clickedButton() == discard;
}

QString kcChooseUploadImagePath(const KCPendingUploadItem &) {
    return kcChooseSavedImagePath(nullptr);
}

bool kcAskToQuitWithPendingUploads(const KCPendingUploadCounts &counts) {
    QMessageBox box;
    box.setIcon(QMessageBox::Warning);
    box.setWindowTitle(QStringLiteral("KelvraCapture"));
    box.setText(counts.pending == 1
                    ? KCPendingUploads::tr("1 upload has not been sent yet.")
                    : KCPendingUploads::tr("%1 uploads have not been sent yet.").arg(counts.pending));
    if (counts.lostAtQuit > 0)
        box.setInformativeText(
            KCPendingUploads::tr("%1 of them will be lost if you quit now: no keyring is available to keep "
                                 "their key, so they can be read only while KelvraCapture runs.%2")
                .arg(counts.lostAtQuit)
                .arg(counts.keyProblem.isEmpty() ? QString() : QStringLiteral("\n") + counts.keyProblem));
    else
        box.setInformativeText(KCPendingUploads::tr(
            "They are kept on this computer and will be sent the next time KelvraCapture starts."));
    QPushButton *quit = box.addButton(KCPendingUploads::tr("Quit Anyway"), QMessageBox::DestructiveRole);
    QPushButton *keep = box.addButton(KCPendingUploads::tr("Keep Running"), QMessageBox::RejectRole);
    box.setDefaultButton(keep);
    box.setEscapeButton(keep);
    box.exec();
    return box.clickedButton() == quit;
}
