#include "platform/portal/portal_global_shortcut.h"

#include "platform/portal/portal_request.h"

#include <QDBusArgument>
#include <QDBusMessage>
#include <QDBusMetaType>
#include <QDBusPendingCallWatcher>
#include <QDBusPendingReply>
#include <QTimer>

QDBusArgument &operator<<(QDBusArgument &argument, const PortalShortcut &shortcut) {
    argument.beginStructure();
    argument << shortcut.id << shortcut.properties;
    argument.endStructure();
    return argument;
}

const QDBusArgument &operator>>(const QDBusArgument &argument, PortalShortcut &shortcut) {
    argument.beginStructure();
    argument >> shortcut.id >> shortcut.properties;
    argument.endStructure();
    return argument;
}

void registerPortalShortcutTypes() {
    static const bool registered = [] {
        qDBusRegisterMetaType<PortalShortcut>();
        qDBusRegisterMetaType<QList<PortalShortcut>>();
        return true;
    }();
    Q_UNUSED(registered);
}

namespace {
const QString kShortcutsInterface = QStringLiteral("org.freedesktop.portal.GlobalShortcuts");

// A handle the portal gives as a string or as an object path.
QString handleOf(const QVariant &value) {
    if (value.metaType() == QMetaType::fromType<QDBusObjectPath>())
        return value.value<QDBusObjectPath>().path();
    return value.toString();
}
} // namespace

PortalGlobalShortcut::PortalGlobalShortcut(const QDBusConnection &bus, PortalShortcutOptions options,
                                           QObject *parent)
    : QObject(parent), m_bus(bus), m_options(std::move(options)) {
    registerPortalShortcutTypes();
}

PortalGlobalShortcut::~PortalGlobalShortcut() {
    stopListening();
    if (!m_session.isEmpty() && m_bus.isConnected())
        m_bus.asyncCall(QDBusMessage::createMethodCall(m_options.service, m_session,
                                                       QStringLiteral("org.freedesktop.portal.Session"),
                                                       QStringLiteral("Close")));
}

void PortalGlobalShortcut::start() {
    if (!m_bus.isConnected()) {
        fail(QStringLiteral("there is no session bus"));
        return;
    }
    // Portals without the interface (the wlroots back end, older GNOME) do
    // not know its version.
    QDBusMessage get = QDBusMessage::createMethodCall(m_options.service, kPortalDesktopPath,
                                                      QStringLiteral("org.freedesktop.DBus.Properties"),
                                                      QStringLiteral("Get"));
    get << kShortcutsInterface << QStringLiteral("version");
    auto *watcher = new QDBusPendingCallWatcher(m_bus.asyncCall(get, 10000), this);
    connect(watcher, &QDBusPendingCallWatcher::finished, this, [this](QDBusPendingCallWatcher *w) {
        w->deleteLater();
        if (w->isError()) {
            fail(QStringLiteral("the desktop portal offers no global shortcuts (%1)")
                     .arg(w->error().message()));
            return;
        }
        createSession();
    });
}

QString PortalGlobalShortcut::listen(const char *slot) {
    stopListening();
    const QString token = portalNewToken();
    m_requestPath = portalObjectPath(m_bus, QStringLiteral("request"), token);
    m_requestSlot = slot;
    m_bus.connect(m_options.service, m_requestPath, kPortalRequestInterface, QStringLiteral("Response"), this,
                  m_requestSlot);
    const int step = ++m_step;
    QTimer::singleShot(m_options.timeoutMs, this, [this, step] {
        if (m_step != step || m_done)
            return;
        m_bus.asyncCall(QDBusMessage::createMethodCall(m_options.service, m_requestPath,
                                                       kPortalRequestInterface, QStringLiteral("Close")));
        fail(QStringLiteral("the desktop did not answer within %1 seconds").arg(m_options.timeoutMs / 1000));
    });
    return token;
}

void PortalGlobalShortcut::stopListening() {
    if (m_requestSlot)
        m_bus.disconnect(m_options.service, m_requestPath, kPortalRequestInterface,
                         QStringLiteral("Response"), this, m_requestSlot);
    m_requestSlot = nullptr;
}

void PortalGlobalShortcut::createSession() {
    const QString token = listen(SLOT(onSessionResponse(uint, QVariantMap)));
    call(QStringLiteral("CreateSession"),
         {QVariantMap{{QStringLiteral("handle_token"), token},
                      {QStringLiteral("session_handle_token"), portalNewToken()}}},
         QStringLiteral("the desktop made no shortcut session"));
}

void PortalGlobalShortcut::call(const QString &method, const QVariantList &arguments,
                                const QString &failure) {
    QDBusMessage message =
        QDBusMessage::createMethodCall(m_options.service, kPortalDesktopPath, kShortcutsInterface, method);
    message.setArguments(arguments);
    auto *watcher = new QDBusPendingCallWatcher(m_bus.asyncCall(message, m_options.timeoutMs), this);
    connect(watcher, &QDBusPendingCallWatcher::finished, this, [this, failure](QDBusPendingCallWatcher *w) {
        w->deleteLater();
        if (w->isError())
            fail(QStringLiteral("%1 (%2)").arg(failure, w->error().message()));
    });
}

void PortalGlobalShortcut::onSessionResponse(uint code, const QVariantMap &results) {
    stopListening();
    if (m_done)
        return;
    m_session = handleOf(results.value(QStringLiteral("session_handle")));
    if (code != 0 || m_session.isEmpty()) {
        fail(QStringLiteral("the desktop made no shortcut session (answer %1)").arg(code));
        return;
    }
    bind();
}

void PortalGlobalShortcut::bind() {
    // Listening before binding: a key pressed at once is not lost.
    m_bus.connect(m_options.service, kPortalDesktopPath, kShortcutsInterface, QStringLiteral("Activated"),
                  this, SLOT(onActivated(QDBusObjectPath, QString, qulonglong, QVariantMap)));
    const QString token = listen(SLOT(onBindResponse(uint, QVariantMap)));
    QVariantMap properties{{QStringLiteral("description"), m_options.description}};
    if (!m_options.preferredTrigger.isEmpty())
        properties.insert(QStringLiteral("preferred_trigger"), m_options.preferredTrigger);
    const QList<PortalShortcut> shortcuts{{m_options.id, properties}};
    call(QStringLiteral("BindShortcuts"),
         {QVariant::fromValue(QDBusObjectPath(m_session)), QVariant::fromValue(shortcuts),
          m_options.parentWindow, QVariantMap{{QStringLiteral("handle_token"), token}}},
         QStringLiteral("the desktop bound no shortcut"));
}

void PortalGlobalShortcut::onBindResponse(uint code, const QVariantMap &results) {
    stopListening();
    if (m_done)
        return;
    if (code != 0) {
        fail(code == 1 ? QStringLiteral("the shortcut was declined")
                       : QStringLiteral("the desktop bound no shortcut (answer %1)").arg(code));
        return;
    }
    QString trigger;
    const QVariant listed = results.value(QStringLiteral("shortcuts"));
    if (listed.canConvert<QDBusArgument>()) {
        for (const PortalShortcut &s : qdbus_cast<QList<PortalShortcut>>(listed.value<QDBusArgument>()))
            if (s.id == m_options.id)
                trigger = s.properties.value(QStringLiteral("trigger_description")).toString();
    }
    m_done = true;
    emit bound(trigger);
}

void PortalGlobalShortcut::onActivated(const QDBusObjectPath &session, const QString &id,
                                       qulonglong timestamp, const QVariantMap &options) {
    Q_UNUSED(timestamp);
    Q_UNUSED(options);
    if (!m_session.isEmpty() && session.path() == m_session && id == m_options.id)
        emit activated();
}

void PortalGlobalShortcut::fail(const QString &problem) {
    if (m_done)
        return;
    m_done = true;
    stopListening();
    emit unavailable(problem);
}
