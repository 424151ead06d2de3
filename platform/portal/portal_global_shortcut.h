#pragma once
// One global shortcut through the desktop portal
// (org.freedesktop.portal.GlobalShortcuts, where the desktop offers it:
// KDE Plasma 6, GNOME 48 and later; not the wlroots back end).
//
// A session is created (CreateSession), the shortcut bound in it
// (BindShortcuts; the desktop may ask the user, and may give it another
// key than the one preferred), and Activated for that session and shortcut
// is reported. Each request's Response is subscribed before the call, on the
// path its handle token makes known in advance. The session is closed when
// the object goes.

#include <QDBusArgument>
#include <QDBusConnection>
#include <QDBusObjectPath>
#include <QObject>
#include <QString>
#include <QVariantMap>

// One shortcut as the portal passes them: (id, properties), D-Bus
// "(sa{sv})".
struct PortalShortcut {
    QString id;
    QVariantMap properties;
};
Q_DECLARE_METATYPE(PortalShortcut)
QDBusArgument &operator<<(QDBusArgument &argument, const PortalShortcut &shortcut);
const QDBusArgument &operator>>(const QDBusArgument &argument, PortalShortcut &shortcut);
// Makes PortalShortcut and lists of them known to QtDBus (once; any thread).
void registerPortalShortcutTypes();

struct PortalShortcutOptions {
    QString service = QStringLiteral("org.freedesktop.portal.Desktop");
    QString id = QStringLiteral("capture");
    QString description;
    // In the portal's notation ("SHIFT+M"); the desktop may choose another.
    QString preferredTrigger;
    QString parentWindow;
    // How long each request may take; binding may wait for the user.
    int timeoutMs = 120000;
};

class PortalGlobalShortcut : public QObject {
    Q_OBJECT
public:
    PortalGlobalShortcut(const QDBusConnection &bus, PortalShortcutOptions options,
                         QObject *parent = nullptr);
    ~PortalGlobalShortcut() override;

    // Asks the desktop; the outcome is `bound` or `unavailable`, once.
    void start();
    const QString &sessionHandle() const { return m_session; }

signals:
    // The shortcut works; `trigger` is the desktop's description of its key
    // (empty when it tells none).
    void bound(const QString &trigger);
    // No shortcut: the portal lacks the interface, refused, or did not answer.
    void unavailable(const QString &problem);
    // The user pressed it.
    void activated();

private slots:
    void onSessionResponse(uint code, const QVariantMap &results);
    void onBindResponse(uint code, const QVariantMap &results);
    void onActivated(const QDBusObjectPath &session, const QString &id, qulonglong timestamp,
                     const QVariantMap &options);

private:
    QString listen(const char *slot);
    // Calls `method` of the portal; a failed call ends in `unavailable`.
    void call(const QString &method, const QVariantList &arguments, const QString &failure);
    void stopListening();
    void createSession();
    void bind();
    void fail(const QString &problem);

    QDBusConnection m_bus;
    PortalShortcutOptions m_options;
    QString m_requestPath;
    const char *m_requestSlot = nullptr;
    QString m_session;
    int m_step = 0; // counts the requests, so a late timeout of an earlier one does nothing
    bool m_done = false;
};
