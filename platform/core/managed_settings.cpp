#include "platform/core/managed_settings.h"

#include <QCoreApplication>
#include <QSettings>

#include <memory>

namespace {

// The system-wide files: the application's, then the organization's.
std::unique_ptr<QSettings> systemSettings() {
    return std::make_unique<QSettings>(QSettings::NativeFormat, QSettings::SystemScope,
                                       QCoreApplication::organizationName(),
                                       QCoreApplication::applicationName());
}

// The user's own file alone, without the system-wide fallbacks.
std::unique_ptr<QSettings> userSettings() {
    auto settings = std::make_unique<QSettings>(QSettings::NativeFormat, QSettings::UserScope,
                                                QCoreApplication::organizationName(),
                                                QCoreApplication::applicationName());
    settings->setFallbacksEnabled(false);
    return settings;
}

QStringList lockedKeys(const QSettings &system) {
    QStringList keys;
    // One key reads as a text, several (comma-separated) as a list.
    for (const QString &entry : system.value(KcLockedSettingsKey).toStringList()) {
        const QString key = entry.trimmed();
        if (!key.isEmpty() && !keys.contains(key))
            keys.append(key);
    }
    return keys;
}

} // namespace

QStringList kcLockedSettingKeys() {
    return lockedKeys(*systemSettings());
}

KcManagedSetting kcManagedSetting(const QString &key) {
    KcManagedSetting result;
    const auto system = systemSettings();
    const auto user = userSettings();
    result.locked = lockedKeys(*system).contains(key);
    if (!result.locked && user->contains(key)) {
        result.value = user->value(key);
        result.source = QStringLiteral("user");
        return result;
    }
    result.userValueIgnored = result.locked && user->contains(key);
    if (system->contains(key)) {
        result.value = system->value(key);
        result.source = QStringLiteral("system");
    }
    return result;
}
