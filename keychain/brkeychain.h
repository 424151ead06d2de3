#pragma once
// BRKeychain: class operations over BRKeychainQuery for the common cases.
// Each makes a fresh query, sets service and account (and the password where
// given) and performs one query operation. The error parameter may be null.
//
// Calls are synchronous and may be made from any thread. Listing never asks
// to unlock the keyring, so it returns promptly even from the GUI thread;
// reading or writing a password in a locked keyring may show the desktop's
// unlock prompt and then waits as long as the prompt stays open. Code on the
// GUI thread that must not wait for a prompt reads passwords from a worker
// thread.

#include "keychain/brkeychain_query.h"

class BRKeychain {
public:
    BRKeychain() = delete;

    static std::optional<QString> passwordForService(const QString &service, const QString &account,
                                                     KCError *error = nullptr);
    static std::optional<QByteArray> passwordDataForService(const QString &service, const QString &account,
                                                            KCError *error = nullptr);
    static bool deletePasswordForService(const QString &service, const QString &account,
                                         KCError *error = nullptr);
    // A null password is a missing argument; the empty text is stored as is
    // (and reads back as none).
    static bool setPassword(const QString &password, const QString &service, const QString &account,
                            KCError *error = nullptr);
    static bool setPasswordData(const std::optional<QByteArray> &password, const QString &service,
                                const QString &account, KCError *error = nullptr);
    // Attribute dictionaries (account under kSecAttrAccount, "acct"); none
    // when there is no item.
    static std::optional<QVariantList> accountsForService(const QString &service, KCError *error = nullptr);
    static std::optional<QVariantList> allAccounts(KCError *error = nullptr);
};
