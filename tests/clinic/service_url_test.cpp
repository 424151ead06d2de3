#include "clinic/service_url.h"

#include <QCoreApplication>
#include <QSettings>
#include <QTemporaryDir>
#include <gtest/gtest.h>

TEST(ServiceURL, SettingsBeforeCommandLineBeforeEnvironmentBeforeDefault) {
    const QStringList args{"kelvra-capture", "--service-url", "http://cli.test:2/"};
    EXPECT_EQ(kcChooseServiceURL("https://settings.test/", args, "http://env.test/").url,
              QUrl("https://settings.test/"));
    const KelvraServiceURLChoice cli = kcChooseServiceURL("", args, "http://env.test/");
    EXPECT_EQ(cli.url, QUrl("http://cli.test:2/"));
    EXPECT_EQ(cli.source, "command line");
    EXPECT_EQ(kcChooseServiceURL("", {"app"}, "http://env.test/").url, QUrl("http://env.test/"));
    const KelvraServiceURLChoice fallback = kcChooseServiceURL("", {"app"}, "");
    EXPECT_EQ(fallback.url, QUrl("http://127.0.0.1:47800/"));
    EXPECT_EQ(fallback.source, "default");
    EXPECT_TRUE(fallback.skipped.isEmpty());
}

TEST(ServiceURL, OptionForms) {
    EXPECT_EQ(kcServiceURLOptionValue({"app", "--service-url=http://a/"}), "http://a/");
    EXPECT_EQ(kcServiceURLOptionValue({"app", "--service-url", "http://a/", "--service-url", "http://b/"}),
              "http://b/");
    EXPECT_EQ(kcServiceURLOptionValue({"app", "--service-url"}), "");
    EXPECT_EQ(kcServiceURLOptionValue({"app", "--", "--service-url", "http://a/"}), "");
}

TEST(ServiceURL, UnusableValuesAreSkippedWithAReason) {
    const KelvraServiceURLChoice choice = kcChooseServiceURL(
        "ftp://files.test/", {"app", "--service-url", "no host here"}, "http://env.test:9");
    EXPECT_EQ(choice.url, QUrl("http://env.test:9/"));
    EXPECT_EQ(choice.source, "environment");
    ASSERT_EQ(choice.skipped.size(), 2);
    EXPECT_TRUE(choice.skipped.at(0).contains("ftp://files.test/"));
    EXPECT_TRUE(choice.skipped.at(0).contains("serviceURL"));
    EXPECT_TRUE(choice.skipped.at(1).contains("--service-url"));
}

TEST(ServiceURL, PathGetsATrailingSlashAndTheApiBaseIsBelowIt) {
    const QUrl url = kcChooseServiceURL("https://clinic.test/kelvra?x=1", {}, "").url;
    EXPECT_EQ(url, QUrl("https://clinic.test/kelvra/"));
    EXPECT_EQ(kcClinicAPIBaseURL(url), QUrl("https://clinic.test/kelvra/api/"));
    EXPECT_EQ(kcClinicAPIBaseURL(QUrl("http://127.0.0.1:47800")), QUrl("http://127.0.0.1:47800/api/"));
    EXPECT_EQ(kcClinicAPIBaseURL(QUrl("http://127.0.0.1:47800")).resolved(QUrl("users/clinicLogin")),
              QUrl("http://127.0.0.1:47800/api/users/clinicLogin"));
}

TEST(ServiceURL, ReadsSettingsAndEnvironmentOfTheProcess) {
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    QSettings::setPath(QSettings::NativeFormat, QSettings::UserScope, dir.path());
    QCoreApplication::setOrganizationName("KelvraServiceURLTest");
    QCoreApplication::setApplicationName("service-url-test");
    qputenv(KelvraServiceURLEnvironmentVariable, "http://env.test:5/");
    EXPECT_EQ(kcCurrentServiceURL().url, QUrl("http://env.test:5/"));
    QSettings().setValue(KelvraServiceURLSettingsKey, "http://settings.test:6/");
    EXPECT_EQ(kcCurrentServiceURL().url, QUrl("http://settings.test:6/"));
    QSettings().remove(KelvraServiceURLSettingsKey);
    qunsetenv(KelvraServiceURLEnvironmentVariable);
    EXPECT_EQ(kcCurrentServiceURL().source, "default");
}
