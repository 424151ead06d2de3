#include "fake_portal.h"

#include <QDBusConnectionInterface>
#include <QDir>
#include <QFile>
#include <QImage>
#include <QTimer>
#include <QUrl>

FakePortal::FakePortal(const QString &service, const QString &connectionName)
    : m_bus(QDBusConnection::connectToBus(QDBusConnection::SessionBus, connectionName)), m_service(service) {
    m_bus.registerObject(QStringLiteral("/org/freedesktop/portal/desktop"), this,
                         QDBusConnection::ExportAllSlots | QDBusConnection::ExportAllProperties);
    m_bus.registerService(service);
}

FakePortal::~FakePortal() {
    m_bus.unregisterService(m_service);
    QDBusConnection::disconnectFromBus(m_bus.name());
}

QString FakePortal::writePicture(bool valid) {
    const QString path = QDir(pictureDirectory).filePath(QStringLiteral("shot%1.png").arg(++m_count));
    if (valid) {
        QImage image(64, 40, QImage::Format_RGB32);
        image.fill(QColor(10, 200, 30));
        image.save(path, "PNG");
    } else {
        QFile file(path);
        file.open(QIODevice::WriteOnly);
        file.write("not a picture");
    }
    filesHandedOut.append(path);
    return path;
}

void FakePortal::respond(const QString &path, uint code, const QVariantMap &results) {
    QDBusMessage signal = QDBusMessage::createSignal(path, QStringLiteral("org.freedesktop.portal.Request"),
                                                     QStringLiteral("Response"));
    signal << code << results;
    m_bus.send(signal);
}

QDBusObjectPath FakePortal::Screenshot(const QString &parentWindow, const QVariantMap &options,
                                       const QDBusMessage &message) {
    parentWindows.append(parentWindow);
    optionsSeen.append(options);
    QString sender = message.service().mid(1);
    sender.replace(QLatin1Char('.'), QLatin1Char('_'));
    const QString path = QStringLiteral("/org/freedesktop/portal/desktop/request/%1/%2")
                             .arg(sender, options.value(QStringLiteral("handle_token")).toString());
    m_lastPath = path;
    m_bus.registerObject(path, new FakeRequest(&closedRequests, path, this), QDBusConnection::ExportAllSlots);
    const auto uri = [](const QString &file) { return QUrl::fromLocalFile(file).toString(); };
    switch (answer) {
    case Answer::PictureBeforeReply:
        respond(path, 0, {{QStringLiteral("uri"), uri(writePicture(true))}});
        break;
    case Answer::PictureAfterReply: {
        const QString file = writePicture(true);
        QTimer::singleShot(50, this, [this, path, file, uri] {
            respond(path, 0, {{QStringLiteral("uri"), uri(file)}});
        });
        break;
    }
    case Answer::Refused:
        respond(path, 2, {{QStringLiteral("uri"), uri(writePicture(true))}});
        break;
    case Answer::Cancelled:
        respond(path, 1, {});
        break;
    case Answer::Silent:
        break;
    case Answer::NotAPicture:
        respond(path, 0, {{QStringLiteral("uri"), uri(writePicture(false))}});
        break;
    }
    return QDBusObjectPath(path);
}

void FakePortal::answerLastRequestLate() {
    respond(m_lastPath, 0, {{QStringLiteral("uri"), QUrl::fromLocalFile(writePicture(true)).toString()}});
}

#include "fake_portal.moc"
