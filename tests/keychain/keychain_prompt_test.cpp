// With a display, a locked keyring is unlocked through the desktop's prompt
// (gcr-prompter on a private Xvfb, answered with xdotool). A call waits for
// the prompt and for nothing else: each call shows at most one prompt, and
// listing shows none. An unanswered second prompt, or a prompt while listing,
// would leave the call waiting until the test times out.
#include "keychain/brkeychain.h"
#include "platform/secretstore/secret_service_store.h"

#include <gtest/gtest.h>

#include <QProcess>
#include <QThread>
#include <memory>

namespace {

const QString service = QStringLiteral("KelvraCapture");
// The password with-keyring gives the throw-away keyring.
const QString keyringPassword = QStringLiteral("kc-test-password");

class KeychainPromptTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() { ASSERT_TRUE(BRKeychain::setPassword("pw-before-lock", service, "jdoe")); }

    void SetUp() override {
        const KCSecretResult locked = KCSecretServiceStore().lockDefaultCollection();
        ASSERT_TRUE(locked.ok()) << locked.detail.toStdString();
    }

    // Waits in the background for the unlock prompt and answers it: with
    // the keyring password when `unlock`, otherwise with Escape.
    // The prompt answered before may still be on screen for a moment after
    // its call returned; the answerer must not take it for the next one.
    static std::unique_ptr<QProcess> answerPrompt(bool unlock) {
        for (int i = 0; i < 300 && promptVisible(); ++i)
            QThread::msleep(100);
        const QString answer =
            unlock ? QStringLiteral("xdotool type --delay 20 %1 && xdotool key Return").arg(keyringPassword)
                   : QStringLiteral("xdotool key Escape");
        auto p = std::make_unique<QProcess>();
        p->start(
            "bash",
            {"-c", "timeout 90 xdotool search --sync --onlyvisible --name Unlock >/dev/null && " + answer});
        EXPECT_TRUE(p->waitForStarted(30000));
        return p;
    }
    static void expectAnswered(QProcess &answerer) {
        EXPECT_TRUE(answerer.waitForFinished(120000));
        EXPECT_EQ(answerer.exitCode(), 0) << "no prompt was shown";
    }
    static bool promptVisible() {
        QProcess search;
        search.start("xdotool", {"search", "--onlyvisible", "--name", "Unlock"});
        search.waitForFinished(30000);
        return search.exitCode() == 0;
    }
};

TEST_F(KeychainPromptTest, ListingALockedKeyringShowsNoPrompt) {
    const auto accounts = BRKeychain::accountsForService(service);
    ASSERT_TRUE(accounts);
    EXPECT_EQ(accounts->last().toMap().value("acct"), "jdoe");
    EXPECT_FALSE(promptVisible());
}

TEST_F(KeychainPromptTest, DismissedPromptReportsLockedNotMissing) {
    auto answerer = answerPrompt(false);
    KCError error;
    EXPECT_FALSE(BRKeychain::passwordForService(service, "jdoe", &error));
    expectAnswered(*answerer);
    EXPECT_EQ(error.code(), BRKeychainErrorLocked);
    EXPECT_FALSE(error.localizedFailureReason().isEmpty());
}

TEST_F(KeychainPromptTest, AnsweredPromptUnlocksTheKeyringForTheCall) {
    auto answerer = answerPrompt(true);
    KCError error;
    EXPECT_EQ(BRKeychain::passwordForService(service, "jdoe", &error), "pw-before-lock")
        << error.localizedDescription().toStdString();
    expectAnswered(*answerer);
    // Unlocked now: no further prompt.
    EXPECT_EQ(BRKeychain::passwordForService(service, "jdoe"), "pw-before-lock");
}

TEST_F(KeychainPromptTest, SavingInALockedKeyringPromptsOnce) {
    auto answerer = answerPrompt(true);
    KCError error;
    EXPECT_TRUE(BRKeychain::setPassword("replaced-while-locked", service, "jdoe", &error))
        << error.localizedDescription().toStdString();
    expectAnswered(*answerer);
    EXPECT_EQ(BRKeychain::passwordForService(service, "jdoe"), "replaced-while-locked");

    ASSERT_TRUE(KCSecretServiceStore().lockDefaultCollection().ok());
    answerer = answerPrompt(true);
    EXPECT_TRUE(BRKeychain::setPassword("new-user-pw", service, "new-user", &error))
        << error.localizedDescription().toStdString();
    expectAnswered(*answerer);
    EXPECT_EQ(BRKeychain::passwordForService(service, "new-user"), "new-user-pw");
}

} // namespace
