#include "app/pending_uploads.h"

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
    : QObject(parent), m_confirm(kcAskToQuitWithPendingUploads), m_quit([] { QCoreApplication::quit(); }) {}

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
    if (counts.failed <= 0)
        return tr("%1 waiting to be sent").arg(uploads(counts.pending));
    if (counts.failed >= counts.pending)
        return tr("%1 failed \u2014 retrying").arg(uploads(counts.failed));
    return tr("%1 waiting to be sent, %2 failed \u2014 retrying")
        .arg(uploads(counts.pending))
        .arg(counts.failed);
}

QAction *KCPendingUploads::attachToMenu(QMenu *menu) {
    QAction *first = menu->actions().value(0);
    auto *status = new QAction(menu);
    status->setEnabled(false);
    auto *separator = new QAction(menu);
    separator->setSeparator(true);
    menu->insertAction(first, status);
    menu->insertAction(first, separator);
    auto update = [status, separator](int pending, int failed) {
        const QString text = statusText({pending, failed});
        status->setText(text);
        status->setVisible(!text.isEmpty());
        separator->setVisible(!text.isEmpty());
    };
    const KCPendingUploadCounts now = counts();
    update(now.pending, now.failed);
    connect(this, &KCPendingUploads::countsChanged, status, update);
    return status;
}

void KCPendingUploads::sourcePendingChanged(int pending, int failed) {
    if (failed <= 0)
        m_failureAnnounced = false;
    emit countsChanged(pending, failed);
}

void KCPendingUploads::sourceUploadFailed(const QString &destination, const QString &error) {
    if (m_failureAnnounced)
        return;
    m_failureAnnounced = true;
    const QString where = destination == QLatin1String("emr") ? tr("the chart") : tr("the clinic service");
    QString message =
        tr("A capture could not be sent to %1. It is kept and sent again automatically.").arg(where);
    if (!error.isEmpty())
        message += QLatin1Char('\n') + error;
    emit uploadsStartedFailing(tr("Upload failed \u2014 retrying"), message);
}

bool kcAskToQuitWithPendingUploads(const KCPendingUploadCounts &counts) {
    QMessageBox box;
    box.setIcon(QMessageBox::Warning);
    box.setWindowTitle(QStringLiteral("KelvraCapture"));
    box.setText(counts.pending == 1
                    ? KCPendingUploads::tr("1 upload has not been sent yet.")
                    : KCPendingUploads::tr("%1 uploads have not been sent yet.").arg(counts.pending));
    box.setInformativeText(KCPendingUploads::tr(
        "They are kept on this computer and will be sent the next time KelvraCapture starts."));
    QPushButton *quit = box.addButton(KCPendingUploads::tr("Quit Anyway"), QMessageBox::DestructiveRole);
    QPushButton *keep = box.addButton(KCPendingUploads::tr("Keep Running"), QMessageBox::RejectRole);
    box.setDefaultButton(keep);
    box.setEscapeButton(keep);
    box.exec();
    return box.clickedButton() == quit;
}
