#include "keychain/brkeychain.h"

namespace {

BRKeychainQuery queryFor(const QString &service, const QString &account) {
    BRKeychainQuery query;
    query.service = service;
    query.account = account;
    return query;
}

} // namespace

std::optional<QString> BRKeychain::passwordForService(const QString &service, const QString &account,
                                                      KCError *error) {
    BRKeychainQuery query = queryFor(service, account);
    if (!query.fetch(error))
        return std::nullopt;
    return query.password();
}

std::optional<QByteArray> BRKeychain::passwordDataForService(const QString &service, const QString &account,
                                                             KCError *error) {
    BRKeychainQuery query = queryFor(service, account);
    if (!query.fetch(error))
        return std::nullopt;
    return query.passwordData;
}

bool BRKeychain::deletePasswordForService(const QString &service, const QString &account, KCError *error) {
    return queryFor(service, account).deleteItem(error);
}

bool BRKeychain::setPassword(const QString &password, const QString &service, const QString &account,
                             KCError *error) {
    BRKeychainQuery query = queryFor(service, account);
    query.setPassword(password);
    return query.save(error);
}

bool BRKeychain::setPasswordData(const std::optional<QByteArray> &password, const QString &service,
                                 const QString &account, KCError *error) {
    BRKeychainQuery query = queryFor(service, account);
    query.passwordData = password;
    return query.save(error);
}

std::optional<QVariantList> BRKeychain::accountsForService(const QString &service, KCError *error) {
    BRKeychainQuery query;
    query.service = service;
    return query.fetchAll(error);
}

std::optional<QVariantList> BRKeychain::allAccounts(KCError *error) {
    return accountsForService(QString(), error);
}
