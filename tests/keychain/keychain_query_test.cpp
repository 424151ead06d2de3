// BRKeychainQuery and BRKeychain logic against a store double: argument
// checks, add-or-update, error values and attribute dictionaries. Cases that
// a real keyring shows are in keychain_keyring_test.cpp.
#include "keychain/brkeychain.h"

#include <gtest/gtest.h>

#include <QStringList>

namespace {

// Keeps items in memory and records every call; `failWith` makes the named
// operation fail with a status.
class FakeStore : public KCSecretStore {
public:
    struct Item {
        KCSecretAttributes attributes;
        QString label;
        QByteArray secret;
    };
    QList<Item> items;
    QStringList calls;
    QMap<QString, KCSecretStatus> failWith;

    static bool matches(const KCSecretAttributes &match, const KCSecretAttributes &a) {
        return (!match.service || match.service == a.service) &&
               (!match.account || match.account == a.account) &&
               (!match.accessGroup || match.accessGroup == a.accessGroup);
    }
    std::optional<KCSecretResult> injected(const QString &op) {
        calls << op;
        if (failWith.contains(op))
            return KCSecretResult::failure(failWith[op], QStringLiteral("injected"));
        return std::nullopt;
    }
    KCSecretResult find(const KCSecretAttributes &match, QByteArray *secret) override {
        if (auto r = injected(secret ? QStringLiteral("find+secret") : QStringLiteral("find")))
            return *r;
        for (const Item &i : items)
            if (matches(match, i.attributes)) {
                if (secret)
                    *secret = i.secret;
                return {};
            }
        return KCSecretResult::failure(KCSecretStatus::NotFound);
    }
    KCSecretResult list(const KCSecretAttributes &match, QList<KCSecretItem> *out) override {
        if (auto r = injected(QStringLiteral("list")))
            return *r;
        for (const Item &i : items)
            if (matches(match, i.attributes))
                out->append({i.attributes, i.label, {}, {}, false});
        return out->isEmpty() ? KCSecretResult::failure(KCSecretStatus::NotFound) : KCSecretResult{};
    }
    KCSecretResult add(const KCSecretAttributes &a, const QString &label, const QByteArray &secret) override {
        if (auto r = injected(QStringLiteral("add")))
            return *r;
        items.append({a, label, secret});
        return {};
    }
    KCSecretResult update(const KCSecretAttributes &match, const QByteArray &secret) override {
        if (auto r = injected(QStringLiteral("update")))
            return *r;
        for (Item &i : items)
            if (matches(match, i.attributes))
                i.secret = secret;
        return {};
    }
    KCSecretResult remove(const KCSecretAttributes &match) override {
        if (auto r = injected(QStringLiteral("remove")))
            return *r;
        const auto n = items.removeIf([&](const Item &i) { return matches(match, i.attributes); });
        return n ? KCSecretResult{} : KCSecretResult::failure(KCSecretStatus::NotFound);
    }
};

class KeychainQueryTest : public ::testing::Test {
protected:
    void SetUp() override { BRKeychainQuery::setDefaultSecretStore(store); }
    void TearDown() override { BRKeychainQuery::setDefaultSecretStore(nullptr); }

    BRKeychainQuery query(const QString &service, const QString &account) {
        BRKeychainQuery q(store);
        q.service = service;
        q.account = account;
        return q;
    }

    std::shared_ptr<FakeStore> store = std::make_shared<FakeStore>();
};

void expectBadArguments(const KCError &error) {
    EXPECT_EQ(error.domain(), "com.brenmark.brkeychain");
    EXPECT_EQ(error.code(), -1001);
    EXPECT_EQ(error.userInfo().value(NSLocalizedDescriptionKey).toString(), "BRKeychainErrorBadArguments");
}

TEST_F(KeychainQueryTest, MissingArgumentsFailWithoutTouchingTheStore) {
    KCError error;
    BRKeychainQuery noAccount = query("KelvraCapture", QString());
    noAccount.setPassword("pw");
    EXPECT_FALSE(noAccount.save(&error));
    expectBadArguments(error);

    error = {};
    BRKeychainQuery noPassword = query("KelvraCapture", "jdoe");
    EXPECT_FALSE(noPassword.save(&error));
    expectBadArguments(error);

    error = {};
    BRKeychainQuery emptyService = query("", "jdoe");
    EXPECT_FALSE(emptyService.fetch(&error));
    expectBadArguments(error);

    error = {};
    EXPECT_FALSE(BRKeychain::passwordForService("KelvraCapture", QString(), &error));
    expectBadArguments(error);
    error = {};
    EXPECT_FALSE(BRKeychain::deletePasswordForService(QString(), "jdoe", &error));
    expectBadArguments(error);
    error = {};
    EXPECT_FALSE(BRKeychain::setPassword(QString(), "KelvraCapture", "jdoe", &error));
    expectBadArguments(error);

    // The variants without an error slot fail the same way.
    EXPECT_FALSE(BRKeychain::setPassword("pw", "KelvraCapture", QString()));
    EXPECT_TRUE(store->calls.isEmpty()) << store->calls.join(",").toStdString();
}

TEST_F(KeychainQueryTest, SaveAddsANewItemWithItsLabel) {
    BRKeychainQuery q = query("KelvraCapture", "jdoe");
    q.label = "Clinic sign-in";
    q.accessGroup = "group.kelvra";
    q.setPassword("s3cret");
    KCError error;
    ASSERT_TRUE(q.save(&error));
    EXPECT_TRUE(error.isNull());
    EXPECT_EQ(store->calls, QStringList({"find", "add"}));
    ASSERT_EQ(store->items.size(), 1);
    EXPECT_EQ(store->items[0].label, "Clinic sign-in");
    EXPECT_EQ(store->items[0].secret, "s3cret");
    EXPECT_EQ(store->items[0].attributes.accessGroup, "group.kelvra");
}

TEST_F(KeychainQueryTest, SaveOnAnExistingItemReplacesOnlyTheValue) {
    store->items.append({{"KelvraCapture", "jdoe", std::nullopt}, "original label", "old"});
    BRKeychainQuery q = query("KelvraCapture", "jdoe");
    q.label = "ignored on update";
    q.setPassword("new");
    ASSERT_TRUE(q.save());
    EXPECT_EQ(store->calls, QStringList({"find", "update"}));
    ASSERT_EQ(store->items.size(), 1);
    EXPECT_EQ(store->items[0].secret, "new");
    EXPECT_EQ(store->items[0].label, "original label");
}

TEST_F(KeychainQueryTest, SaveWritesNothingWhenTheLookupFails) {
    for (auto status : {KCSecretStatus::Locked, KCSecretStatus::NoService, KCSecretStatus::Cancelled}) {
        store->calls.clear();
        store->failWith = {{"find", status}};
        KCError error;
        EXPECT_FALSE(BRKeychain::setPassword("pw", "KelvraCapture", "jdoe", &error));
        EXPECT_EQ(store->calls, QStringList({"find"}));
        EXPECT_EQ(error.domain(), "com.brenmark.brkeychain");
        EXPECT_EQ(error.code(), qint64(status));
        EXPECT_EQ(error.localizedDescription(), kcSecretStatusMessage(int(status)));
        EXPECT_EQ(error.localizedFailureReason(), "injected");
    }
    EXPECT_TRUE(store->items.isEmpty());
}

TEST_F(KeychainQueryTest, FetchKeepsPasswordDataOnFailure) {
    BRKeychainQuery q = query("KelvraCapture", "nobody");
    q.passwordData = QByteArray("kept");
    KCError error;
    EXPECT_FALSE(q.fetch(&error));
    EXPECT_EQ(error.code(), -25300);
    EXPECT_EQ(q.passwordData, QByteArray("kept"));

    store->items.append({{"KelvraCapture", "nobody", std::nullopt}, {}, "found"});
    store->failWith = {{"find+secret", KCSecretStatus::Locked}};
    error = {};
    EXPECT_FALSE(q.fetch(&error));
    EXPECT_EQ(error.code(), BRKeychainErrorLocked);
    EXPECT_EQ(q.passwordData, QByteArray("kept"));

    store->failWith.clear();
    EXPECT_TRUE(q.fetch());
    EXPECT_EQ(q.password(), "found");
}

TEST_F(KeychainQueryTest, PasswordTextAndEmptyValues) {
    BRKeychainQuery q;
    EXPECT_FALSE(q.password());
    q.setPassword(QString::fromUtf8("pässwörd ✓"));
    EXPECT_EQ(q.passwordData, QString::fromUtf8("pässwörd ✓").toUtf8());
    EXPECT_EQ(q.password(), QString::fromUtf8("pässwörd ✓"));
    q.setPassword(QStringLiteral(""));
    ASSERT_TRUE(q.passwordData.has_value());
    EXPECT_TRUE(q.passwordData->isEmpty());
    EXPECT_FALSE(q.password()) << "an empty password reads as none";
    q.setPassword(QString());
    EXPECT_FALSE(q.passwordData.has_value());
}

TEST_F(KeychainQueryTest, PasswordObjectRoundTrips) {
    BRKeychainQuery q;
    const QVariantMap object{{"user", "jdoe"}, {"ids", QVariantList{1, 2, 3}}};
    q.setPasswordObject(object);
    EXPECT_EQ(q.passwordObject().toMap(), object);
    q.passwordData = QByteArray("\x01\x02", 2);
    EXPECT_FALSE(q.passwordObject().isValid());
}

TEST_F(KeychainQueryTest, ListingGivesAttributeDictionariesWithTheAccountUnderAcct) {
    store->items.append({{"KelvraCapture", "first", std::nullopt}, "KelvraCapture (first)", "a"});
    store->items.append({{"Other", "elsewhere", std::nullopt}, {}, "b"});
    store->items.append({{"KelvraCapture", "second", "grp"}, {}, "c"});
    const auto list = BRKeychain::accountsForService("KelvraCapture");
    ASSERT_TRUE(list);
    ASSERT_EQ(list->size(), 2);
    const QVariantMap first = list->at(0).toMap(), last = list->at(1).toMap();
    EXPECT_EQ(first.value("acct"), "first");
    EXPECT_EQ(first.value("svce"), "KelvraCapture");
    EXPECT_EQ(first.value("labl"), "KelvraCapture (first)");
    EXPECT_EQ(first.value("class"), "genp");
    EXPECT_FALSE(first.contains("agrp"));
    EXPECT_EQ(last.value("acct"), "second");
    EXPECT_EQ(last.value("agrp"), "grp");
    EXPECT_FALSE(last.contains("v_Data")) << "listing never carries secrets";

    const auto all = BRKeychain::allAccounts();
    ASSERT_TRUE(all);
    EXPECT_EQ(all->size(), 3);
}

TEST_F(KeychainQueryTest, ListingNothingOrFailingGivesNone) {
    KCError error;
    EXPECT_FALSE(BRKeychain::accountsForService("KelvraCapture", &error));
    EXPECT_EQ(error.code(), -25300);
    EXPECT_FALSE(BRKeychain::accountsForService("KelvraCapture"));

    store->items.append({{"KelvraCapture", "jdoe", std::nullopt}, {}, "a"});
    store->failWith = {{"list", KCSecretStatus::NoService}};
    error = {};
    EXPECT_FALSE(BRKeychain::accountsForService("KelvraCapture", &error));
    EXPECT_EQ(error.code(), BRKeychainErrorNoKeychain);
}

TEST_F(KeychainQueryTest, DeleteRemovesOnlyTheNamedAccount) {
    store->items.append({{"KelvraCapture", "a", std::nullopt}, {}, "1"});
    store->items.append({{"KelvraCapture", "b", std::nullopt}, {}, "2"});
    EXPECT_TRUE(BRKeychain::deletePasswordForService("KelvraCapture", "a"));
    ASSERT_EQ(store->items.size(), 1);
    EXPECT_EQ(store->items[0].attributes.account, "b");
    KCError error;
    EXPECT_FALSE(BRKeychain::deletePasswordForService("KelvraCapture", "a", &error));
    EXPECT_EQ(error.code(), -25300);
}

TEST(KeychainErrorTest, ErrorValues) {
    EXPECT_TRUE(BRKeychainQuery::errorWithCode(0).isNull());

    const KCError missing = BRKeychainQuery::errorWithCode(-25300);
    EXPECT_EQ(missing.domain(), "com.brenmark.brkeychain");
    EXPECT_FALSE(missing.userInfo().value(NSLocalizedDescriptionKey).toString().isEmpty());

    // Every failure status has its own text.
    QSet<QString> texts;
    for (qint64 code : {BRKeychainErrorItemNotFound, BRKeychainErrorLocked, BRKeychainErrorNoKeychain,
                        BRKeychainErrorCancelled, BRKeychainErrorFailed})
        texts.insert(BRKeychainQuery::errorWithCode(code).localizedDescription());
    EXPECT_EQ(texts.size(), 5);

    // A code without a message still makes an error, without description.
    const KCError unknown = BRKeychainQuery::errorWithCode(-4242);
    EXPECT_FALSE(unknown.isNull());
    EXPECT_EQ(unknown.code(), -4242);
    EXPECT_FALSE(unknown.userInfo().contains(NSLocalizedDescriptionKey));
}

} // namespace
