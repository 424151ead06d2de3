// kc_fake_portal_service SERVICE PICTURE-FOLDER
//
// A stand-in for the desktop portal in a process of its own (Screenshot,
// GlobalShortcuts and the host registry on one object), that tells its
// callers apart as the real one does: for every call, properties included,
// it asks the bus for the caller's process id and reads /proc/<pid>/root,
// and refuses the call when it cannot.
//
// Prints "ready" once it owns SERVICE, then one line per call:
// "<interface>.<member> <pid> allowed|refused". Bound shortcuts are pressed
// once, shortly after the binding.

#include "platform/portal/portal_global_shortcut.h"

#include <QCoreApplication>
#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDBusMessage>
#include <QDBusMetaType>
#include <QDBusObjectPath>
#include <QDBusVariant>
#include <QDBusVirtualObject>
#include <QDir>
#include <QFile>
#include <QImage>
#include <QTimer>
#include <QUrl>

#include <climits>
#include <cstdio>
#include <unistd.h>

namespace {

const QString kDesktop = QStringLiteral("/org/freedesktop/portal/desktop");

// An a{sv} argument, which a virtual object receives still marshalled.
QVariantMap mapOf(const QVariant &argument) {
    return argument.canConvert<QDBusArgument>() ? qdbus_cast<QVariantMap>(argument.value<QDBusArgument>())
                                                : argument.toMap();
}

class Portal : public QDBusVirtualObject {
public:
    Portal(QDBusConnection bus, QString pictures) : m_bus(std::move(bus)), m_pictures(std::move(pictures)) {}

    QString introspect(const QString &) const override { return QString(); }

    bool handleMessage(const QDBusMessage &m, const QDBusConnection &) override {
        const uint pid = m_bus.interface()->servicePid(m.service()).value();
        char root[PATH_MAX];
        const bool allowed =
            pid != 0 && ::readlink(QStringLiteral("/proc/%1/root").arg(pid).toLatin1().constData(), root,
                                   sizeof root) > 0;
        std::printf("%s.%s %u %s\n", qPrintable(m.interface()), qPrintable(m.member()), pid,
                    allowed ? "allowed" : "refused");
        std::fflush(stdout);
        if (!allowed) {
            m_bus.send(m.createErrorReply(
                QDBusError::AccessDenied,
                QStringLiteral("Portal operation not allowed: Unable to open /proc/%1/root").arg(pid)));
            return true;
        }
        const QList<QVariant> args = m.arguments();
        const QString call = m.interface() + QLatin1Char('.') + m.member();
        if (call == QLatin1String("org.freedesktop.DBus.Properties.Get")) {
            const QString interface = args.value(0).toString();
            if (interface == QLatin1String("org.freedesktop.portal.Screenshot") ||
                interface == QLatin1String("org.freedesktop.portal.GlobalShortcuts"))
                m_bus.send(m.createReply(QVariant::fromValue(QDBusVariant(uint(1)))));
            else
                m_bus.send(m.createErrorReply(QDBusError::UnknownProperty, interface));
        } else if (call == QLatin1String("org.freedesktop.host.portal.Registry.Register") ||
                   m.member() == QLatin1String("Close")) {
            m_bus.send(m.createReply());
        } else if (call == QLatin1String("org.freedesktop.portal.Screenshot.Screenshot")) {
            const QString request = pathFor(m, "request", mapOf(args.value(1)));
            const QString file = QDir(m_pictures).filePath(QStringLiteral("shot%1.png").arg(++m_count));
            QImage image(64, 40, QImage::Format_RGB32);
            image.fill(QColor(10, 200, 30));
            image.save(file, "PNG");
            QFile::setPermissions(file, QFile::ReadOwner | QFile::WriteOwner);
            m_bus.send(m.createReply(QVariant::fromValue(QDBusObjectPath(request))));
            respond(m, request, {{QStringLiteral("uri"), QUrl::fromLocalFile(file).toString()}});
        } else if (call == QLatin1String("org.freedesktop.portal.GlobalShortcuts.CreateSession")) {
            const QVariantMap options = mapOf(args.value(0));
            const QString request = pathFor(m, "request", options);
            const QString session = pathFor(m, "session", options, "session_handle_token");
            m_bus.send(m.createReply(QVariant::fromValue(QDBusObjectPath(request))));
            respond(m, request, {{QStringLiteral("session_handle"), session}});
        } else if (call == QLatin1String("org.freedesktop.portal.GlobalShortcuts.BindShortcuts")) {
            const QString session = args.value(0).value<QDBusObjectPath>().path();
            QList<PortalShortcut> shortcuts =
                qdbus_cast<QList<PortalShortcut>>(args.value(1).value<QDBusArgument>());
            const QString request = pathFor(m, "request", mapOf(args.value(3)));
            for (PortalShortcut &s : shortcuts)
                s.properties.insert(QStringLiteral("trigger_description"), QStringLiteral("Shift+M"));
            m_bus.send(m.createReply(QVariant::fromValue(QDBusObjectPath(request))));
            respond(m, request, {{QStringLiteral("shortcuts"), QVariant::fromValue(shortcuts)}});
            const QString caller = m.service();
            const QString id = shortcuts.value(0).id;
            QTimer::singleShot(200, [this, caller, session, id] {
                QDBusMessage pressed = QDBusMessage::createTargetedSignal(
                    caller, kDesktop, QStringLiteral("org.freedesktop.portal.GlobalShortcuts"),
                    QStringLiteral("Activated"));
                pressed << QVariant::fromValue(QDBusObjectPath(session)) << id << qulonglong(1)
                        << QVariantMap();
                m_bus.send(pressed);
            });
        } else {
            m_bus.send(m.createErrorReply(QDBusError::UnknownMethod, call));
        }
        return true;
    }

private:
    static QString pathFor(const QDBusMessage &m, const char *kind, const QVariantMap &options,
                           const char *token = "handle_token") {
        QString sender = m.service().mid(1);
        sender.replace(QLatin1Char('.'), QLatin1Char('_'));
        return QStringLiteral("%1/%2/%3/%4")
            .arg(kDesktop, QString::fromLatin1(kind), sender,
                 options.value(QString::fromLatin1(token)).toString());
    }

    void respond(const QDBusMessage &call, const QString &path, const QVariantMap &results) {
        QDBusMessage signal = QDBusMessage::createTargetedSignal(
            call.service(), path, QStringLiteral("org.freedesktop.portal.Request"),
            QStringLiteral("Response"));
        signal << uint(0) << results;
        m_bus.send(signal);
    }

    QDBusConnection m_bus;
    QString m_pictures;
    int m_count = 0;
};

} // namespace

int main(int argc, char **argv) {
    QCoreApplication app(argc, argv);
    if (argc != 3) {
        std::fprintf(stderr, "usage: kc_fake_portal_service SERVICE PICTURE-FOLDER\n");
        return 2;
    }
    registerPortalShortcutTypes();
    QDBusConnection bus = QDBusConnection::sessionBus();
    Portal portal(bus, QString::fromLocal8Bit(argv[2]));
    if (!bus.registerVirtualObject(kDesktop, &portal, QDBusConnection::SubPath) ||
        !bus.registerService(QString::fromLocal8Bit(argv[1]))) {
        std::fprintf(stderr, "kc_fake_portal_service: cannot serve %s\n", argv[1]);
        return 1;
    }
    std::printf("ready\n");
    std::fflush(stdout);
    return app.exec();
}
