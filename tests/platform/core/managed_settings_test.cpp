#include "platform/core/managed_settings.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QSettings>
#include <QTemporaryDir>
#include <gtest/gtest.h>

namespace {

// A system-wide and a user settings folder of their own, written as text the
// way an administrator and a user would.
class ManagedSettings : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(systemDir.isValid());
        ASSERT_TRUE(userDir.isValid());
        QCoreApplication::setOrganizationName(QStringLiteral("KelvraManagedTest"));
        QCoreApplication::setApplicationName(QStringLiteral("Capture"));
        QSettings::setPath(QSettings::NativeFormat, QSettings::SystemScope, systemDir.path());
        QSettings::setPath(QSettings::NativeFormat, QSettings::UserScope, userDir.path());
    }
    void writeSystem(const QByteArray &text) { write(systemDir.path(), text); }
    void writeUser(const QByteArray &text) { write(userDir.path(), text); }
    static void write(const QString &dir, const QByteArray &text) {
        ASSERT_TRUE(QDir().mkpath(dir + "/KelvraManagedTest"));
        QFile f(dir + "/KelvraManagedTest/Capture.conf");
        ASSERT_TRUE(f.open(QIODevice::WriteOnly | QIODevice::Truncate));
        f.write(text);
        // Flushed first: the buffered write would otherwise set the time
        // again when the file is closed.
        ASSERT_TRUE(f.flush());
        // QSettings re-reads a file whose size or time changed: make the time
        // differ even when a rewrite keeps the size.
        static int rewrites = 0;
        f.setFileTime(QDateTime::currentDateTime().addSecs(++rewrites), QFileDevice::FileModificationTime);
    }

    QTemporaryDir systemDir;
    QTemporaryDir userDir;
};

TEST_F(ManagedSettings, UnlockedKeysTakeTheUsersValueElseTheSystemWideOne) {
    EXPECT_FALSE(kcManagedSetting("serviceURL").value.isValid());
    EXPECT_EQ(kcManagedSetting("serviceURL").source, "");

    writeSystem("[General]\nserviceURL=https://clinic.test/\ntrustedCAFile=/etc/ssl/clinic.pem\n");
    KcManagedSetting s = kcManagedSetting("serviceURL");
    EXPECT_EQ(s.value.toString(), "https://clinic.test/");
    EXPECT_EQ(s.source, "system");
    EXPECT_FALSE(s.locked);

    writeUser("[General]\nserviceURL=https://elsewhere.test/\n");
    s = kcManagedSetting("serviceURL");
    EXPECT_EQ(s.value.toString(), "https://elsewhere.test/");
    EXPECT_EQ(s.source, "user");
    EXPECT_FALSE(s.userValueIgnored);
    // A key the user did not set still comes from the system-wide file.
    EXPECT_EQ(kcManagedSetting("trustedCAFile").value.toString(), "/etc/ssl/clinic.pem");
}

TEST_F(ManagedSettings, LockedKeysTakeTheSystemWideValueOnly) {
    writeSystem("[General]\nserviceURL=https://clinic.test/\ntrustedCAFile=/etc/ssl/clinic.pem\n"
                "locked=serviceURL, trustedCAFile\n");
    writeUser("[General]\nserviceURL=https://elsewhere.test/\ntrustedCAFile=/home/u/mine.pem\n"
              "updateChecks=false\n");
    KcManagedSetting s = kcManagedSetting("serviceURL");
    EXPECT_EQ(s.value.toString(), "https://clinic.test/");
    EXPECT_EQ(s.source, "system");
    EXPECT_TRUE(s.locked);
    EXPECT_TRUE(s.userValueIgnored);
    EXPECT_EQ(kcManagedSetting("trustedCAFile").value.toString(), "/etc/ssl/clinic.pem");
    // Keys outside the list stay the user's.
    EXPECT_EQ(kcManagedSetting("updateChecks").value.toString(), "false");
    EXPECT_FALSE(kcManagedSetting("updateChecks").locked);
    EXPECT_EQ(kcLockedSettingKeys(), QStringList({"serviceURL", "trustedCAFile"}));
}

TEST_F(ManagedSettings, ALockedKeyWithoutSystemWideValueIsNotSet) {
    writeSystem("[General]\nlocked=trustedCAFile\n");
    writeUser("[General]\ntrustedCAFile=/home/u/mine.pem\n");
    const KcManagedSetting s = kcManagedSetting("trustedCAFile");
    EXPECT_TRUE(s.locked);
    EXPECT_FALSE(s.value.isValid());
    EXPECT_TRUE(s.userValueIgnored);
    EXPECT_EQ(kcLockedSettingKeys(), QStringList({"trustedCAFile"}));
}

TEST_F(ManagedSettings, OnlyTheSystemWideFileLocks) {
    writeSystem("[General]\nserviceURL=https://clinic.test/\n");
    // A user cannot lock the system-wide value away, nor unlock a key.
    writeUser("[General]\nlocked=serviceURL\nserviceURL=https://elsewhere.test/\n");
    EXPECT_TRUE(kcLockedSettingKeys().isEmpty());
    EXPECT_EQ(kcManagedSetting("serviceURL").value.toString(), "https://elsewhere.test/");

    writeSystem("[General]\nserviceURL=https://clinic.test/\nlocked=serviceURL\n");
    writeUser("[General]\nlocked=\nserviceURL=https://elsewhere.test/\n");
    EXPECT_EQ(kcManagedSetting("serviceURL").value.toString(), "https://clinic.test/");
    // Key names are compared exactly, as QSettings compares them.
    writeSystem("[General]\nserviceURL=https://clinic.test/\nlocked=serviceurl\n");
    EXPECT_EQ(kcManagedSetting("serviceURL").value.toString(), "https://elsewhere.test/");
}

} // namespace
