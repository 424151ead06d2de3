#include "platform/accessibility/accessibility_reader.h"
#include "platform/core/managed_settings.h"

#include <mutex>

namespace {
std::mutex sharedMutex;
std::shared_ptr<AccessibilityReader> shared;
} // namespace

PageTextSetting pageTextSetting() {
    const QString value = kcManagedSetting(KcPageTextSettingsKey).value.toString().trimmed().toLower();
    if (value == QLatin1String("off"))
        return PageTextSetting::Off;
    if (value == QLatin1String("switch-on"))
        return PageTextSetting::SwitchOn;
    return PageTextSetting::On;
}

std::shared_ptr<AccessibilityReader> sharedAccessibilityReader() {
    std::lock_guard lock(sharedMutex);
    if (!shared) {
        const PageTextSetting setting = pageTextSetting();
        if (setting == PageTextSetting::SwitchOn)
            setDesktopAccessibilityEnabled(true);
        shared = setting == PageTextSetting::Off
                     ? std::shared_ptr<AccessibilityReader>(makeNullAccessibilityReader())
                     : std::shared_ptr<AccessibilityReader>(makeAtspiReader());
    }
    return shared;
}

void setSharedAccessibilityReader(std::shared_ptr<AccessibilityReader> reader) {
    std::lock_guard lock(sharedMutex);
    shared = std::move(reader);
}
