// A locked keyring (locked through libsecret, as a screen lock does) is an
// error of its own, never "no item". Without a display the unlock prompt
// cannot be shown, so the keyring stays locked for the whole binary.
#include "keychain/brkeychain.h"
#include "platform/secretstore/secret_service_store.h"

#include <gtest/gtest.h>

namespace {

const QString service = QStringLiteral("KelvraCapture");

class KeychainLockedTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        ASSERT_TRUE(BRKeychain::setPassword("before-lock", service, "jdoe"));
        ASSERT_EQ(BRKeychain::passwordForService(service, "jdoe"), "before-lock");
        const KCSecretResult locked = KCSecretServiceStore().lockDefaultCollection();
        ASSERT_TRUE(locked.ok()) << locked.detail.toStdString();
    }
    void TearDown() override { BRKeychainQuery::setDefaultSecretStore(nullptr); }
};

TEST_F(KeychainLockedTest, ReadingAPasswordReportsLockedNotMissing) {
    // With prompts allowed (the default) the prompt cannot appear here and
    // the keyring stays locked; without prompts the answer is immediate.
    for (bool prompts : {true, false}) {
        SCOPED_TRACE(prompts ? "prompts" : "no prompts");
        BRKeychainQuery::setDefaultSecretStore(
            std::make_shared<KCSecretServiceStore>(KCSecretServiceStore::Options{prompts, 15000}));
        KCError error;
        EXPECT_FALSE(BRKeychain::passwordForService(service, "jdoe", &error));
        EXPECT_EQ(error.domain(), "com.brenmark.brkeychain");
        EXPECT_EQ(error.code(), BRKeychainErrorLocked);
        EXPECT_NE(error.code(), -25300);
        EXPECT_EQ(error.localizedDescription(), "The keyring holding the item is locked.");
    }
}

TEST_F(KeychainLockedTest, ListingStillOffersTheAccount) {
    KCError error;
    const auto accounts = BRKeychain::accountsForService(service, &error);
    ASSERT_TRUE(accounts) << error.localizedDescription().toStdString();
    ASSERT_EQ(accounts->size(), 1);
    EXPECT_EQ(accounts->first().toMap().value("acct"), "jdoe");
}

TEST_F(KeychainLockedTest, WritingAndDeletingReportLocked) {
    KCError error;
    EXPECT_FALSE(BRKeychain::setPassword("after-lock", service, "jdoe", &error));
    EXPECT_EQ(error.code(), BRKeychainErrorLocked);
    error = {};
    EXPECT_FALSE(BRKeychain::setPassword("new-user", service, "someone-new", &error));
    EXPECT_EQ(error.code(), BRKeychainErrorLocked);
    error = {};
    EXPECT_FALSE(BRKeychain::deletePasswordForService(service, "jdoe", &error));
    EXPECT_EQ(error.code(), BRKeychainErrorLocked);

    const auto accounts = BRKeychain::accountsForService(service);
    ASSERT_TRUE(accounts);
    EXPECT_EQ(accounts->size(), 1) << "nothing was added or removed";
}

TEST_F(KeychainLockedTest, AnAccountThatWasNeverStoredIsStillMissing) {
    KCError error;
    EXPECT_FALSE(BRKeychain::passwordForService(service, "never-stored", &error));
    EXPECT_EQ(error.code(), -25300);
}

} // namespace
