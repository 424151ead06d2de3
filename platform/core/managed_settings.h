#pragma once
// Settings that clinic IT manages for every user of a computer.
//
// The application's settings live in two QSettings files (native format,
// organization and application name of the QCoreApplication):
//   the user's own file     ~/.config/Kelvra/KelvraCapture.conf   (user scope)
//   the system-wide file    /etc/xdg/Kelvra/KelvraCapture.conf    (system scope)
// A key set in the user's file overrides the system-wide value, except for
// the keys that the system-wide file names in its "locked" list
// (e.g. `locked=serviceURL, trustedCAFile`): for those only the system-wide
// value counts, and a locked key without a system-wide value is not set at
// all. The "locked" key itself is read from the system-wide file only.

#include <QString>
#include <QStringList>
#include <QVariant>

inline const QString KcLockedSettingsKey = QStringLiteral("locked");

struct KcManagedSetting {
    QVariant value; // invalid when the key is not set where it counts
    bool locked = false;
    QString source;                // "user", "system", or empty when not set
    bool userValueIgnored = false; // the user's file sets a locked key
};

// The value of `key` after the rule above.
KcManagedSetting kcManagedSetting(const QString &key);

// The keys locked by the system-wide file, trimmed, without empty entries.
QStringList kcLockedSettingKeys();
