#include "platform/secretstore/secret_service_watch.h"

#include <QDBusConnection>

namespace {

const QString kSecrets = QStringLiteral("org.freedesktop.secrets");
// Signals come in bursts (a collection unlocked changes each of its items).
constexpr int kSettleMs = 300;

} // namespace

KCSecretServiceWatch::KCSecretServiceWatch(QObject *parent) : QObject(parent) {
    m_settle.setSingleShot(true);
    m_settle.setInterval(kSettleMs);
    connect(&m_settle, &QTimer::timeout, this, &KCSecretServiceWatch::changed);
    QDBusConnection bus = QDBusConnection::sessionBus();
    if (!bus.isConnected())
        return;
    bus.connect(QStringLiteral("org.freedesktop.DBus"), QStringLiteral("/org/freedesktop/DBus"),
                QStringLiteral("org.freedesktop.DBus"), QStringLiteral("NameOwnerChanged"), this,
                SLOT(nameOwnerChanged(QString, QString, QString)));
    const struct {
        const char *interface, *name;
    } signals_[] = {
        {"org.freedesktop.Secret.Service", "CollectionCreated"},
        {"org.freedesktop.Secret.Service", "CollectionChanged"},
        {"org.freedesktop.Secret.Service", "CollectionDeleted"},
        {"org.freedesktop.Secret.Collection", "ItemCreated"},
        {"org.freedesktop.Secret.Collection", "ItemChanged"},
        {"org.freedesktop.Secret.Prompt", "Completed"},
    };
    // Any object of the service: collections and prompts have paths of
    // their own.
    for (const auto &s : signals_)
        bus.connect(QString(), QString(), QString::fromLatin1(s.interface), QString::fromLatin1(s.name), this,
                    SLOT(serviceSignal()));
}

void KCSecretServiceWatch::nameOwnerChanged(const QString &name, const QString &, const QString &newOwner) {
    if (name == kSecrets && !newOwner.isEmpty())
        m_settle.start();
}

void KCSecretServiceWatch::serviceSignal() {
    m_settle.start();
}
