#include "platform/session/session_end_watch.h"

#include <QDBusMessage>
#include <QDBusReply>

namespace {

const QString kLogin = QStringLiteral("org.freedesktop.login1");
const QString kLoginPath = QStringLiteral("/org/freedesktop/login1");
const QString kManager = QStringLiteral("org.freedesktop.login1.Manager");

} // namespace

KCSessionEndWatch::KCSessionEndWatch(QObject *parent, const QDBusConnection &bus)
    : QObject(parent), m_bus(bus) {
    if (m_bus.isConnected())
        m_bus.connect(kLogin, kLoginPath, kManager, QStringLiteral("PrepareForShutdown"), this,
                      SLOT(prepareForShutdown(bool)));
}

void KCSessionEndWatch::holdShutdown(const QString &why) {
    if (why == m_why)
        return;
    m_why = why;
    m_inhibitor = QDBusUnixFileDescriptor(); // closing it lets the shutdown go on
    if (why.isEmpty() || !m_bus.isConnected())
        return;
    QDBusMessage call =
        QDBusMessage::createMethodCall(kLogin, kLoginPath, kManager, QStringLiteral("Inhibit"));
    call << QStringLiteral("shutdown") << QStringLiteral("KelvraCapture") << why << QStringLiteral("delay");
    const QDBusReply<QDBusUnixFileDescriptor> reply = m_bus.call(call, QDBus::Block, 5000);
    if (reply.isValid())
        m_inhibitor = reply.value();
}

void KCSessionEndWatch::prepareForShutdown(bool starting) {
    if (!starting) {
        // Cancelled: hold it again for the next one.
        const QString why = m_why;
        m_why.clear();
        holdShutdown(why);
        return;
    }
    emit shuttingDown();
    m_inhibitor = QDBusUnixFileDescriptor();
}
