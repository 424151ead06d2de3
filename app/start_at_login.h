#pragma once
// "Start at login": an autostart entry for the application in the user's
// autostart folder ($XDG_CONFIG_HOME/autostart, normally ~/.config/autostart),
// named after the application's desktop entry id. The entry starts the
// program that wrote it (the installed /usr/bin/kelvra-capture when the
// package is installed) and names it in TryExec too, so that desktops skip
// the entry once the program has been uninstalled.
//
// An entry of the same name in a system-wide autostart folder (placed there
// by IT) starts the application for every user; unchecking the item then
// writes a user entry with Hidden=true, which hides the system-wide one.

#include <QObject>
#include <QPointer>
#include <QString>
#include <QStringList>

class QAction;

// The desktop entry id: <id>.desktop in applications/ and autostart/, and
// the icon name.
inline const QString KCDesktopEntryID = QStringLiteral("com.kelvra.KelvraCapture");

class KCStartAtLogin : public QObject {
    Q_OBJECT
public:
    // The instance of the application: the user's autostart folder, the
    // system-wide ones of $XDG_CONFIG_DIRS, and this program.
    static KCStartAtLogin *shared();

    KCStartAtLogin(const QString &userAutostartDir, const QStringList &systemAutostartDirs,
                   const QString &executable, QObject *parent = nullptr);

    // The check item "Start at login", checked while the entry is in effect.
    QAction *menuItem() const { return m_menuItem; }

    // The user's entry file.
    QString entryPath() const;
    // True when an entry (the user's, else a system-wide one) starts the
    // application at login.
    bool isEnabled() const;
    // Writes or removes the user's entry; false with a reason on failure.
    bool setEnabled(bool enabled, QString *error = nullptr);
    // Re-reads the state into the menu item.
    void refresh();

    // The text of an entry starting `executable`.
    static QByteArray entryText(const QString &executable, bool hidden = false);
    // `executable` as the program of a desktop entry's Exec key: quoted when
    // it holds a reserved character, escaped for a desktop-entry string.
    static QString execValue(const QString &executable);

private:
    void menuItemToggled(bool checked);

    QString m_userDir;
    QStringList m_systemDirs;
    QString m_executable;
    QPointer<QAction> m_menuItem;
};
