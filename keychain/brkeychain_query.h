#pragma once
// BRKeychainQuery: the identifying attributes of one generic-password item and
// one keychain operation per call (save, fetch, fetchAll, deleteItem).
//
// Error values are in the domain "com.brenmark.brkeychain"; the code is the
// keychain status (BRKeychainErrorItemNotFound when no item matches,
// BRKeychainErrorLocked, BRKeychainErrorNoKeychain, BRKeychainErrorCancelled,
// BRKeychainErrorFailed) or BRKeychainErrorBadArguments when the query lacks
// what the operation needs.

#include "platform/core/error.h"
#include "platform/secretstore/secret_store.h"

#include <QByteArray>
#include <QString>
#include <QVariant>
#include <QVariantList>
#include <memory>
#include <optional>

inline const QString BRKeychainErrorDomain = QStringLiteral("com.brenmark.brkeychain");

enum BRKeychainErrorCode : qint64 {
    BRKeychainErrorBadArguments = -1001,
    BRKeychainErrorItemNotFound = qint64(KCSecretStatus::NotFound),
    BRKeychainErrorLocked = qint64(KCSecretStatus::Locked),
    BRKeychainErrorNoKeychain = qint64(KCSecretStatus::NoService),
    BRKeychainErrorCancelled = qint64(KCSecretStatus::Cancelled),
    BRKeychainErrorFailed = qint64(KCSecretStatus::Failed),
};

// Keys of the attribute dictionaries that fetchAll returns.
inline const QString kSecClass = QStringLiteral("class");
inline const QString kSecClassGenericPassword = QStringLiteral("genp");
inline const QString kSecAttrService = QStringLiteral("svce");
inline const QString kSecAttrAccount = QStringLiteral("acct");
inline const QString kSecAttrLabel = QStringLiteral("labl");
inline const QString kSecAttrAccessGroup = QStringLiteral("agrp");
inline const QString kSecAttrCreationDate = QStringLiteral("cdat");
inline const QString kSecAttrModificationDate = QStringLiteral("mdat");

enum BRKeychainQuerySynchronizationMode {
    BRKeychainQuerySynchronizationModeAny = 0,
    BRKeychainQuerySynchronizationModeNo = 1,
    BRKeychainQuerySynchronizationModeYes = 2,
};

class BRKeychainQuery {
public:
    // A query on the process-wide store (see setDefaultSecretStore), or on
    // `store` when given.
    explicit BRKeychainQuery(std::shared_ptr<KCSecretStore> store = nullptr);

    // Empty texts count as not set.
    QString service;
    QString account;
    QString label; // used only when an item is added
    QString accessGroup;
    // The Secret Service has no synchronised items, so every mode matches the
    // same (local) items.
    BRKeychainQuerySynchronizationMode synchronizationMode = BRKeychainQuerySynchronizationModeAny;
    std::optional<QByteArray> passwordData;

    // passwordData as UTF-8 text; none when it is missing or empty.
    std::optional<QString> password() const;
    // A null text clears passwordData; any other text (the empty one too)
    // stores its UTF-8 bytes.
    void setPassword(const QString &password);
    // An arbitrary value through QDataStream (QVariant serialisation); an
    // invalid QVariant when passwordData is missing or does not decode.
    QVariant passwordObject() const;
    void setPasswordObject(const QVariant &object);

    // Stores passwordData under service and account: adds the item, or when
    // one exists replaces only its value. Needs service, account and
    // passwordData.
    bool save(KCError *error = nullptr);
    // Deletes the item of service and account.
    bool deleteItem(KCError *error = nullptr);
    // Attribute dictionaries of every item of `service` (of all items when no
    // service is set), least recently written first; none when nothing
    // matches or on failure.
    std::optional<QVariantList> fetchAll(KCError *error = nullptr);
    // Reads the value of the item of service and account into passwordData;
    // passwordData stays as it was on failure.
    bool fetch(KCError *error = nullptr);

    // An error value for a status: none for 0; for BRKeychainErrorBadArguments
    // the text of "BRKeychainErrorBadArguments" in the translation context
    // "BRKeychain"; otherwise the keychain's message for the status, with
    // `detail` (what the keychain said) as the failure reason.
    static KCError errorWithCode(qint64 code, const QString &detail = {});

    // The store used by queries made without one; by default the desktop's
    // Secret Service. Not to be changed while queries run.
    static void setDefaultSecretStore(std::shared_ptr<KCSecretStore> store);
    static std::shared_ptr<KCSecretStore> defaultSecretStore();

private:
    KCSecretAttributes baseQuery() const;
    bool fail(KCError *error, qint64 code, const QString &detail = {}) const;

    std::shared_ptr<KCSecretStore> m_store;
};
