#include "app/single_instance.h"

#include "capture/outbox/outbox_lock.h"
#include "capture/panel/capture_controls.h"
#include "platform/core/notification_center.h"

#include <QApplication>
#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDBusMessage>
#include <QDBusReply>
#include <QFile>
#include <QMessageBox>
#include <QTimer>
#include <QWidget>

#include <cstdio>
#include <unistd.h>

void KCInstanceService::Activate() {
    for (QWidget *w : QApplication::topLevelWidgets()) {
        if (!w->isVisible())
            continue;
        w->raise();
        if (!qobject_cast<CaptureMainWindow *>(w))
            w->activateWindow();
    }
}

void KCInstanceService::Capture() {
    kcRequestCapture();
}

void kcRequestCapture() {
    NotificationCenter::defaultCenter().postNotification(KCSnapshotCommandPressedNotification);
}

namespace {

// The first line of a small /proc file, or an empty text.
QString procText(uint pid, const char *entry) {
    QFile file(QStringLiteral("/proc/%1/%2").arg(pid).arg(QLatin1String(entry)));
    if (!file.open(QIODevice::ReadOnly))
        return {};
    return QString::fromLocal8Bit(file.readLine()).trimmed();
}

// The process that holds the bus name, as far as the bus and /proc tell.
struct NameHolder {
    uint pid = 0;
    QString command;    // the kernel's name of its program (15 bytes at most)
    QString executable; // its program file; empty when /proc does not say

    // Whether it runs this program. The command name is read even where the
    // program file is hidden (KelvraCapture makes itself non-dumpable).
    bool isKelvraCapture() const { return !command.isEmpty() && command == procText(::getpid(), "comm"); }

    QString description() const {
        if (pid == 0)
            return QStringLiteral("a program the session bus does not name");
        QString text =
            QStringLiteral("%1 (process %2").arg(command.isEmpty() ? QStringLiteral("?") : command).arg(pid);
        if (!executable.isEmpty())
            text += QStringLiteral(", ") + executable;
        return text + QLatin1Char(')');
    }
};

NameHolder nameHolder(const QDBusConnection &bus) {
    NameHolder holder;
    const QDBusReply<uint> pid = bus.interface()->servicePid(kKelvraBusName);
    if (!pid.isValid() || pid.value() == 0)
        return holder;
    holder.pid = pid.value();
    holder.command = procText(holder.pid, "comm");
    holder.executable = QFile::symLinkTarget(QStringLiteral("/proc/%1/exe").arg(holder.pid));
    holder.executable.remove(QStringLiteral(" (deleted)")); // replaced by an update since it started
    return holder;
}

QString heldByAnotherProgram(const NameHolder &holder) {
    return QStringLiteral("the session-bus name %1, by which KelvraCapture runs once per session, is held by "
                          "another program: %2")
        .arg(kKelvraBusName, holder.description());
}

// What to do about the holder of the name, for the user.
QString endTheHolder(const NameHolder &holder) {
    return holder.pid ? QStringLiteral("end it (kill %1) and start KelvraCapture again").arg(holder.pid)
                      : QStringLiteral("end it and start KelvraCapture again");
}

bool callHolder(const QDBusConnection &bus, const QString &method, QString *problem) {
    const QDBusMessage reply =
        bus.call(QDBusMessage::createMethodCall(kKelvraBusName, kKelvraBusPath, kKelvraBusInterface, method),
                 QDBus::Block, 5000);
    if (reply.type() == QDBusMessage::ReplyMessage)
        return true;
    if (problem)
        *problem = reply.errorMessage();
    return false;
}

} // namespace

bool kcClaimSingleInstance(QObject *parent) {
    QDBusConnection bus = QDBusConnection::sessionBus();
    if (!bus.isConnected() || !bus.interface())
        return true;
    auto *service = new KCInstanceService(parent);
    bus.registerObject(kKelvraBusPath, service, QDBusConnection::ExportAllSlots);
    const auto reply =
        bus.interface()->registerService(kKelvraBusName, QDBusConnectionInterface::DontQueueService,
                                         QDBusConnectionInterface::DontAllowReplacement);
    if (reply.isValid() && reply.value() == QDBusConnectionInterface::ServiceRegistered)
        return true;
    bus.unregisterObject(kKelvraBusPath);
    delete service;

    const NameHolder holder = nameHolder(bus);
    QString headline, message;
    if (holder.isKelvraCapture()) {
        QString problem;
        if (callHolder(bus, QStringLiteral("Activate"), &problem)) {
            std::fprintf(stderr,
                         "kelvra-capture: already running in this session (process %u); brought it "
                         "forward\n",
                         holder.pid);
            return false;
        }
        headline = QStringLiteral("Another KelvraCapture runs but does not answer.");
        message =
            QStringLiteral("KelvraCapture already runs in this session (process %1) but does not answer "
                           "(%2). This one runs as well, but the capture command and a new start may not "
                           "reach it: %3.")
                .arg(holder.pid)
                .arg(problem, endTheHolder(holder));
    } else {
        // Not called: whatever it would answer, it is not KelvraCapture.
        headline = QStringLiteral("Another program holds KelvraCapture's name in this session.");
        message =
            QStringLiteral("KelvraCapture runs, but %1. The capture command (kelvra-capture capture, your "
                           "keyboard shortcut) and a new start reach that program instead of "
                           "KelvraCapture: %2.")
                .arg(heldByAnotherProgram(holder), endTheHolder(holder));
    }
    kcShowStartupWarning(headline, message);
    return true;
}

void kcShowStartupWarning(const QString &headline, const QString &message) {
    std::fprintf(stderr, "kelvra-capture: %s\n", qPrintable(message));
    auto *box = new QMessageBox(QMessageBox::Warning, QStringLiteral("KelvraCapture"), headline);
    box->setInformativeText(message);
    box->setAttribute(Qt::WA_DeleteOnClose);
    // Once the event loop runs, above the login window shown before it.
    QTimer::singleShot(0, box, [box] {
        box->show();
        box->raise();
        box->activateWindow();
    });
}

bool kcClaimOutboxOrWarn() {
    const KCOutboxClaim claim = kcClaimOutbox(kcPendingUploadsFolder());
    if (claim.held)
        return true;
    kcShowStartupWarning(claim.holder.isEmpty()
                             ? QStringLiteral("Captures cannot be kept on this computer.")
                             : QStringLiteral("Another KelvraCapture sends the captures of this account."),
                         claim.problem);
    return false;
}

bool kcCallRunningInstance(const QString &method, QString *problem) {
    QDBusConnection bus = QDBusConnection::sessionBus();
    if (!bus.isConnected() || !bus.interface()) {
        if (problem)
            *problem = QStringLiteral("there is no session bus");
        return false;
    }
    if (!bus.interface()->isServiceRegistered(kKelvraBusName).value()) {
        if (problem)
            *problem = QStringLiteral("KelvraCapture is not running in this session");
        return false;
    }
    const NameHolder holder = nameHolder(bus);
    if (!holder.isKelvraCapture()) {
        if (problem)
            *problem = QStringLiteral("%1, not KelvraCapture; %2.")
                           .arg(heldByAnotherProgram(holder), endTheHolder(holder));
        return false;
    }
    QString why;
    if (callHolder(bus, method, &why))
        return true;
    if (problem)
        *problem = QStringLiteral("the running KelvraCapture (process %1) did not answer: %2; %3.")
                       .arg(holder.pid)
                       .arg(why, endTheHolder(holder));
    return false;
}
