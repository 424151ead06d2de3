#include "keychain/brkeychain_query.h"

#include "platform/secretstore/secret_service_store.h"

#include <QCoreApplication>
#include <QDataStream>
#include <QIODevice>
#include <limits>
#include <mutex>

namespace {

std::mutex storeMutex;
std::shared_ptr<KCSecretStore> processStore;

std::optional<QString> setOrNone(const QString &value) {
    return value.isEmpty() ? std::nullopt : std::optional<QString>(value);
}

} // namespace

BRKeychainQuery::BRKeychainQuery(std::shared_ptr<KCSecretStore> store)
    : m_store(store ? std::move(store) : defaultSecretStore()) {}

void BRKeychainQuery::setDefaultSecretStore(std::shared_ptr<KCSecretStore> store) {
    std::lock_guard lock(storeMutex);
    processStore = std::move(store);
}

std::shared_ptr<KCSecretStore> BRKeychainQuery::defaultSecretStore() {
    std::lock_guard lock(storeMutex);
    if (!processStore)
        processStore = std::make_shared<KCSecretServiceStore>();
    return processStore;
}

std::optional<QString> BRKeychainQuery::password() const {
    if (!passwordData || passwordData->isEmpty())
        return std::nullopt;
    return QString::fromUtf8(*passwordData);
}

void BRKeychainQuery::setPassword(const QString &password) {
    if (password.isNull())
        passwordData.reset();
    else
        passwordData = password.toUtf8();
}

QVariant BRKeychainQuery::passwordObject() const {
    if (!passwordData || passwordData->isEmpty())
        return {};
    QDataStream in(*passwordData);
    in.setVersion(QDataStream::Qt_6_4);
    QVariant object;
    in >> object;
    if (in.status() != QDataStream::Ok)
        return {};
    return object;
}

void BRKeychainQuery::setPasswordObject(const QVariant &object) {
    if (!object.isValid()) {
        passwordData.reset();
        return;
    }
    QByteArray bytes;
    QDataStream out(&bytes, QIODevice::WriteOnly);
    out.setVersion(QDataStream::Qt_6_4);
    out << object;
    passwordData = bytes;
}

KCSecretAttributes BRKeychainQuery::baseQuery() const {
    return {setOrNone(service), setOrNone(account), setOrNone(accessGroup)};
}

bool BRKeychainQuery::fail(KCError *error, qint64 code, const QString &detail) const {
    if (error)
        *error = errorWithCode(code, detail);
    return false;
}

bool BRKeychainQuery::save(KCError *error) {
    if (service.isEmpty() || account.isEmpty() || !passwordData)
        return fail(error, BRKeychainErrorBadArguments);
    const KCSecretAttributes query = baseQuery();
    KCSecretResult result = m_store->find(query, nullptr);
    if (result.status == KCSecretStatus::NotFound)
        result = m_store->add(query, label, *passwordData);
    else if (result.ok())
        result = m_store->update(query, *passwordData);
    if (!result.ok())
        return fail(error, qint64(result.status), result.detail);
    return true;
}

bool BRKeychainQuery::deleteItem(KCError *error) {
    if (service.isEmpty() || account.isEmpty())
        return fail(error, BRKeychainErrorBadArguments);
    const KCSecretResult result = m_store->remove(baseQuery());
    if (!result.ok())
        return fail(error, qint64(result.status), result.detail);
    return true;
}

std::optional<QVariantList> BRKeychainQuery::fetchAll(KCError *error) {
    QList<KCSecretItem> items;
    const KCSecretResult result = m_store->list(baseQuery(), &items);
    if (!result.ok()) {
        fail(error, qint64(result.status), result.detail);
        return std::nullopt;
    }
    if (items.isEmpty())
        return std::nullopt;
    QVariantList list;
    for (const KCSecretItem &item : items) {
        QVariantMap attributes{{kSecClass, kSecClassGenericPassword}};
        if (item.attributes.service)
            attributes.insert(kSecAttrService, *item.attributes.service);
        if (item.attributes.account)
            attributes.insert(kSecAttrAccount, *item.attributes.account);
        if (item.attributes.accessGroup)
            attributes.insert(kSecAttrAccessGroup, *item.attributes.accessGroup);
        if (!item.label.isEmpty())
            attributes.insert(kSecAttrLabel, item.label);
        if (item.created.isValid())
            attributes.insert(kSecAttrCreationDate, item.created);
        if (item.modified.isValid())
            attributes.insert(kSecAttrModificationDate, item.modified);
        list.append(attributes);
    }
    return list;
}

bool BRKeychainQuery::fetch(KCError *error) {
    if (service.isEmpty() || account.isEmpty())
        return fail(error, BRKeychainErrorBadArguments);
    QByteArray secret;
    const KCSecretResult result = m_store->find(baseQuery(), &secret);
    if (!result.ok())
        return fail(error, qint64(result.status), result.detail);
    passwordData = secret;
    return true;
}

KCError BRKeychainQuery::errorWithCode(qint64 code, const QString &detail) {
    if (code == 0)
        return {};
    QString message;
    if (code == BRKeychainErrorBadArguments)
        message = QCoreApplication::translate("BRKeychain", "BRKeychainErrorBadArguments");
    else if (code >= std::numeric_limits<int>::min() && code <= std::numeric_limits<int>::max())
        message = kcSecretStatusMessage(int(code));
    QVariantMap userInfo;
    if (!message.isEmpty())
        userInfo.insert(NSLocalizedDescriptionKey, message);
    if (!detail.isEmpty())
        userInfo.insert(NSLocalizedFailureReasonErrorKey, detail);
    return KCError(BRKeychainErrorDomain, code, userInfo);
}
