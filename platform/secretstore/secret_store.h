#pragma once
// A protected store of generic-password items, each identified by its service
// and account (plus an optional access group). KCSecretStore is the interface
// the credential code talks to; KCSecretServiceStore (secret_service_store.h)
// implements it over the desktop's Secret Service, and tests may put a double
// in its place.

#include <QByteArray>
#include <QDateTime>
#include <QList>
#include <QString>
#include <optional>

// Outcome of a store operation. The values are the keychain status codes the
// credential store reports as error codes.
enum class KCSecretStatus : int {
    Ok = 0,
    NotFound = -25300,  // no item matches
    Locked = -25308,    // the item or its collection is locked and was not unlocked
    NoService = -25291, // no D-Bus session bus, no Secret Service provider, or no answer
    Cancelled = -128,   // cancelled or denied (a dismissed prompt, access denied)
    Failed = -2070,     // any other failure of the store
};

// A fixed, human-readable text for a status (empty for Ok and for values that
// are not statuses).
QString kcSecretStatusMessage(int status);

struct KCSecretResult {
    KCSecretStatus status = KCSecretStatus::Ok;
    QString detail; // what the store or the bus said, when there was something

    bool ok() const { return status == KCSecretStatus::Ok; }
    static KCSecretResult failure(KCSecretStatus status, const QString &detail = {}) {
        return {status, detail};
    }
};

// Identifying attributes. An attribute that is not set takes no part in a
// match; when adding, unset attributes are not stored.
struct KCSecretAttributes {
    std::optional<QString> service;
    std::optional<QString> account;
    std::optional<QString> accessGroup;

    bool operator==(const KCSecretAttributes &) const = default;
};

// One item as listed (its attributes, never its secret).
struct KCSecretItem {
    KCSecretAttributes attributes;
    QString label;
    QDateTime created;
    QDateTime modified;
    bool locked = false;
};

class KCSecretStore {
public:
    virtual ~KCSecretStore() = default;

    // Looks up one item matching `match`. With `secret` given, reads its value
    // into it (unlocking the item first when the store allows that); without,
    // only tells whether an item exists. NotFound when nothing matches.
    virtual KCSecretResult find(const KCSecretAttributes &match, QByteArray *secret) = 0;

    // Every item matching `match` (attributes only; locked items included),
    // oldest write first. NotFound when nothing matches.
    virtual KCSecretResult list(const KCSecretAttributes &match, QList<KCSecretItem> *items) = 0;

    // Adds an item with these attributes, label and value. An item with the
    // very same attributes is replaced.
    virtual KCSecretResult add(const KCSecretAttributes &attributes, const QString &label,
                               const QByteArray &secret) = 0;

    // Replaces the value of every item matching `match`; labels and attributes
    // stay. NotFound when nothing matches.
    virtual KCSecretResult update(const KCSecretAttributes &match, const QByteArray &secret) = 0;

    // Deletes every item matching `match`. NotFound when nothing matches.
    virtual KCSecretResult remove(const KCSecretAttributes &match) = 0;
};
