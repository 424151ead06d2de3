// KCSecretServiceStore against a real gnome-keyring (run inside with-keyring).
#include <libsecret/secret.h>

#include "platform/secretstore/secret_service_store.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

namespace {

KCSecretAttributes attrs(const char *service, const char *account,
                         std::optional<QString> group = std::nullopt) {
    return {QString::fromUtf8(service), QString::fromUtf8(account), group};
}

class SecretServiceStoreTest : public ::testing::Test {
protected:
    KCSecretServiceStore store;
};

TEST_F(SecretServiceStoreTest, AddFindUpdateRemove) {
    const auto a = attrs("store.basic", "jdoe");
    EXPECT_EQ(store.find(a, nullptr).status, KCSecretStatus::NotFound);
    ASSERT_TRUE(store.add(a, "Basic item", "v1").ok());
    EXPECT_TRUE(store.find(a, nullptr).ok());
    QByteArray secret;
    ASSERT_TRUE(store.find(a, &secret).ok());
    EXPECT_EQ(secret, "v1");

    ASSERT_TRUE(store.update(a, "v2").ok());
    ASSERT_TRUE(store.find(a, &secret).ok());
    EXPECT_EQ(secret, "v2");

    QList<KCSecretItem> items;
    ASSERT_TRUE(store.list(a, &items).ok());
    ASSERT_EQ(items.size(), 1);
    EXPECT_EQ(items[0].label, "Basic item");
    EXPECT_EQ(items[0].attributes, a);
    EXPECT_FALSE(items[0].locked);
    EXPECT_TRUE(items[0].created.isValid());

    ASSERT_TRUE(store.remove(a).ok());
    EXPECT_EQ(store.find(a, &secret).status, KCSecretStatus::NotFound);
    EXPECT_EQ(store.update(a, "x").status, KCSecretStatus::NotFound);
    EXPECT_EQ(store.remove(a).status, KCSecretStatus::NotFound);
    EXPECT_EQ(store.list(a, &items).status, KCSecretStatus::NotFound);
}

TEST_F(SecretServiceStoreTest, AddingTheSameAttributesReplacesTheItem) {
    const auto a = attrs("store.replace", "jdoe");
    ASSERT_TRUE(store.add(a, "first", "v1").ok());
    ASSERT_TRUE(store.add(a, "second", "v2").ok());
    QList<KCSecretItem> items;
    ASSERT_TRUE(store.list(a, &items).ok());
    ASSERT_EQ(items.size(), 1);
    QByteArray secret;
    ASSERT_TRUE(store.find(a, &secret).ok());
    EXPECT_EQ(secret, "v2");
}

TEST_F(SecretServiceStoreTest, UnsetAttributesMatchAnyValue) {
    ASSERT_TRUE(store.add(attrs("store.match", "jdoe", QString("g1")), {}, "one").ok());
    ASSERT_TRUE(store.add(attrs("store.match", "jdoe", QString("g2")), {}, "two").ok());
    ASSERT_TRUE(store.add(attrs("store.match", "other"), {}, "three").ok());

    QList<KCSecretItem> items;
    ASSERT_TRUE(store.list({QString("store.match"), std::nullopt, std::nullopt}, &items).ok());
    EXPECT_EQ(items.size(), 3);
    // Listing is in write order; the default label names service and account.
    EXPECT_EQ(items.last().attributes.account, "other");
    EXPECT_EQ(items.last().label, "store.match (other)");

    // An update without a group reaches both grouped items of the account.
    ASSERT_TRUE(store.update(attrs("store.match", "jdoe"), "both").ok());
    QByteArray secret;
    ASSERT_TRUE(store.find(attrs("store.match", "jdoe", QString("g1")), &secret).ok());
    EXPECT_EQ(secret, "both");
    ASSERT_TRUE(store.find(attrs("store.match", "jdoe", QString("g2")), &secret).ok());
    EXPECT_EQ(secret, "both");
    ASSERT_TRUE(store.find(attrs("store.match", "other"), &secret).ok());
    EXPECT_EQ(secret, "three");
}

TEST_F(SecretServiceStoreTest, ItemsOfOtherSchemasAreNotSeen) {
    // Another program's item with the same attribute names.
    static const SecretSchema foreign = {"org.example.Foreign",
                                         SECRET_SCHEMA_NONE,
                                         {{"service", SECRET_SCHEMA_ATTRIBUTE_STRING},
                                          {"account", SECRET_SCHEMA_ATTRIBUTE_STRING},
                                          {nullptr, SECRET_SCHEMA_ATTRIBUTE_STRING}},
                                         0,
                                         nullptr,
                                         nullptr,
                                         nullptr,
                                         nullptr,
                                         nullptr,
                                         nullptr,
                                         nullptr};
    GError *error = nullptr;
    ASSERT_TRUE(secret_password_store_sync(&foreign, SECRET_COLLECTION_DEFAULT, "foreign", "theirs", nullptr,
                                           &error, "service", "store.foreign", "account", "jdoe", nullptr));
    EXPECT_EQ(store.find(attrs("store.foreign", "jdoe"), nullptr).status, KCSecretStatus::NotFound);
    ASSERT_TRUE(store.add(attrs("store.foreign", "jdoe"), {}, "ours").ok());
    QByteArray secret;
    ASSERT_TRUE(store.find(attrs("store.foreign", "jdoe"), &secret).ok());
    EXPECT_EQ(secret, "ours");
    gchar *theirs = secret_password_lookup_sync(&foreign, nullptr, &error, "service", "store.foreign",
                                                "account", "jdoe", nullptr);
    ASSERT_NE(theirs, nullptr);
    EXPECT_STREQ(theirs, "theirs");
    secret_password_free(theirs);
}

TEST_F(SecretServiceStoreTest, CallsFromSeveralThreadsAtOnce) {
    // The GUI thread lists while worker threads read and write.
    constexpr int threads = 4, rounds = 15;
    for (int t = 0; t < threads; ++t)
        ASSERT_TRUE(store.add(attrs("store.threads", QByteArray::number(t).constData()), {}, "0").ok());
    std::atomic<int> failures{0};
    std::vector<std::thread> workers;
    for (int t = 0; t < threads; ++t) {
        workers.emplace_back([&, t] {
            const auto mine = attrs("store.threads", QByteArray::number(t).constData());
            for (int r = 1; r <= rounds; ++r) {
                QByteArray secret;
                if (!store.update(mine, QByteArray::number(r)).ok() || !store.find(mine, &secret).ok() ||
                    secret != QByteArray::number(r))
                    ++failures;
            }
        });
    }
    for (int r = 0; r < rounds; ++r) {
        QList<KCSecretItem> items;
        if (!store.list({QString("store.threads"), std::nullopt, std::nullopt}, &items).ok() ||
            items.size() != threads)
            ++failures;
    }
    for (auto &w : workers)
        w.join();
    EXPECT_EQ(failures, 0);
}

TEST(SecretStoreStatusTest, MessagesForEveryFailure) {
    EXPECT_TRUE(kcSecretStatusMessage(0).isEmpty());
    EXPECT_TRUE(kcSecretStatusMessage(12345).isEmpty());
    for (auto s : {KCSecretStatus::NotFound, KCSecretStatus::Locked, KCSecretStatus::NoService,
                   KCSecretStatus::Cancelled, KCSecretStatus::Failed})
        EXPECT_FALSE(kcSecretStatusMessage(int(s)).isEmpty());
}

} // namespace
