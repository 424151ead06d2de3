#include "app/single_instance.h"

#include "capture/panel/capture_controls.h"
#include "platform/core/notification_center.h"

#include <QApplication>
#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDBusMessage>
#include <QWidget>

#include <cstdio>

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
    QString problem;
    if (kcCallRunningInstance(QStringLiteral("Activate"), &problem)) {
        std::fprintf(stderr, "kelvra-capture: already running in this session; brought it forward\n");
        return false;
    }
    // The name is held by something that does not answer: run anyway.
    std::fprintf(stderr, "kelvra-capture: %s\n", qPrintable(problem));
    return true;
}

bool kcCallRunningInstance(const QString &method, QString *problem) {
    QDBusConnection bus = QDBusConnection::sessionBus();
    if (!bus.isConnected()) {
        if (problem)
            *problem = QStringLiteral("there is no session bus");
        return false;
    }
    if (bus.interface() && !bus.interface()->isServiceRegistered(kKelvraBusName).value()) {
        if (problem)
            *problem = QStringLiteral("KelvraCapture is not running in this session");
        return false;
    }
    const QDBusMessage reply =
        bus.call(QDBusMessage::createMethodCall(kKelvraBusName, kKelvraBusPath, kKelvraBusInterface, method),
                 QDBus::Block, 5000);
    if (reply.type() == QDBusMessage::ReplyMessage)
        return true;
    if (problem)
        *problem = QStringLiteral("the running KelvraCapture did not answer: %1").arg(reply.errorMessage());
    return false;
}
