#pragma once
// Tells when the desktop's Secret Service may give what it did not before:
// the service appeared on the session bus (NameOwnerChanged of
// org.freedesktop.secrets), a collection was made, changed (unlocked) or
// removed, an item was made or changed, or an unlock prompt completed.
// Bursts of signals come out as one changed(), a moment later.

#include <QObject>
#include <QTimer>

class KCSecretServiceWatch : public QObject {
    Q_OBJECT
public:
    // Watches the session bus; without one, never reports.
    explicit KCSecretServiceWatch(QObject *parent = nullptr);

Q_SIGNALS:
    void changed();

private Q_SLOTS:
    void nameOwnerChanged(const QString &name, const QString &oldOwner, const QString &newOwner);
    void serviceSignal();

private:
    QTimer m_settle;
};
