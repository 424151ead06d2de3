#include "platform/secretstore/secret_store.h"

QString kcSecretStatusMessage(int status) {
    switch (static_cast<KCSecretStatus>(status)) {
    case KCSecretStatus::Ok:
        return {};
    case KCSecretStatus::NotFound:
        return QStringLiteral("The specified item could not be found in the keyring.");
    case KCSecretStatus::Locked:
        return QStringLiteral("The keyring holding the item is locked.");
    case KCSecretStatus::NoService:
        return QStringLiteral("No keyring is available: there is no D-Bus session or no Secret Service "
                              "provider (such as gnome-keyring) answering on it.");
    case KCSecretStatus::Cancelled:
        return QStringLiteral("The keyring operation was cancelled or access was denied.");
    case KCSecretStatus::Failed:
        return QStringLiteral("The keyring operation failed.");
    }
    return {};
}
