#include "clinic/service_url.h"
#include "http/secure_url.h"

#include <QCoreApplication>
#include <QSettings>
#include <QTemporaryDir>
#include <gtest/gtest.h>

TEST(ServiceURL, SettingsBeforeCommandLineBeforeEnvironmentBeforeDefault) {
    const QStringList args{"kelvra-capture", "--service-url", "https://cli.test:2/"};
    EXPECT_EQ(kcChooseServiceURL("https://settings.test/", args, "https://env.test/").url,
              QUrl("https://settings.test/"));
    const KelvraServiceURLChoice cli = kcChooseServiceURL("", args, "https://env.test/");
    EXPECT_EQ(cli.url, QUrl("https://cli.test:2/"));
    EXPECT_EQ(cli.source, "command line");
    EXPECT_EQ(kcChooseServiceURL("", {"app"}, "https://env.test/").url, QUrl("https://env.test/"));
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
        "ftp://files.test/", {"app", "--service-url", "no host here"}, "https://env.test:9");
    EXPECT_EQ(choice.url, QUrl("https://env.test:9/"));
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
    qputenv(KelvraServiceURLEnvironmentVariable, "https://env.test:5/");
    EXPECT_EQ(kcCurrentServiceURL().url, QUrl("https://env.test:5/"));
    QSettings().setValue(KelvraServiceURLSettingsKey, "https://settings.test:6/");
    EXPECT_EQ(kcCurrentServiceURL().url, QUrl("https://settings.test:6/"));
    QSettings().remove(KelvraServiceURLSettingsKey);
    qunsetenv(KelvraServiceURLEnvironmentVariable);
    EXPECT_EQ(kcCurrentServiceURL().source, "default");
}

// The password goes to the service URL: plain http only on this computer.
TEST(ServiceURL, PlainHttpOnlyForThisComputer) {
    for (const char *local : {"http://127.0.0.1:47800/", "http://127.0.0.2/", "http://localhost:9/",
                              "http://[::1]:5/", "HTTP://LOCALHOST/"}) {
        SCOPED_TRACE(local);
        const KelvraServiceURLChoice choice = kcChooseServiceURL(local, {}, "");
        EXPECT_EQ(choice.source, "settings");
        EXPECT_TRUE(choice.skipped.isEmpty());
    }
    for (const char *remote : {"http://clinic.example/", "http://10.0.0.5:80/", "http://127.0.0.1.example/",
                               "http://0.0.0.0/", "http://[::ffff:10.0.0.1]/"}) {
        SCOPED_TRACE(remote);
        const KelvraServiceURLChoice choice = kcChooseServiceURL("", {"app", "--service-url", remote}, "");
        EXPECT_EQ(choice.source, "default");
        ASSERT_EQ(choice.skipped.size(), 1);
        EXPECT_TRUE(choice.skipped.first().contains("unencrypted")) << choice.skipped.first().toStdString();
        EXPECT_TRUE(choice.skipped.first().contains("https://")) << choice.skipped.first().toStdString();
    }
    EXPECT_EQ(kcChooseServiceURL("https://clinic.example/", {}, "").source, "settings");
}

TEST(SecureURL, LoopbackHosts) {
    for (const char *host : {"localhost", "LocalHost", "localhost.", "127.0.0.1", "127.255.0.9", "::1",
                             "[::1]", "::ffff:127.0.0.1"})
        EXPECT_TRUE(kcIsLoopbackHost(host)) << host;
    for (const char *host : {"", "example.com", "localhost.example.com", "128.0.0.1", "0.0.0.0",
                             "::", "::ffff:10.1.1.1", "10.0.0.1"})
        EXPECT_FALSE(kcIsLoopbackHost(host)) << host;

    // A name under .localhost counts only when every address it resolves to
    // is a loopback address: a resolver may answer anything for it.
    const QHash<QString, QList<QHostAddress>> answers{
        {"demo.localhost", {QHostAddress("127.0.0.1"), QHostAddress("::1")}},
        {"elsewhere.localhost", {QHostAddress("203.0.113.7")}},
        {"partly.localhost", {QHostAddress("127.0.0.1"), QHostAddress("10.0.0.9")}},
        {"mapped.localhost", {QHostAddress("::ffff:192.0.2.1")}},
    };
    QStringList asked;
    const KCHostResolver resolver = [&](const QString &name) {
        asked.append(name);
        return answers.value(name);
    };
    EXPECT_TRUE(kcIsLoopbackHost("Demo.LocalHost.", resolver));
    for (const char *host :
         {"elsewhere.localhost", "partly.localhost", "mapped.localhost", "unknown.localhost"})
        EXPECT_FALSE(kcIsLoopbackHost(host, resolver)) << host;
    EXPECT_FALSE(kcIsLoopbackHost("clinic.example", resolver));
    EXPECT_FALSE(kcIsLoopbackHost("127.0.0.1.nip.io", resolver));
    EXPECT_EQ(asked, QStringList({"demo.localhost", "elsewhere.localhost", "partly.localhost",
                                  "mapped.localhost", "unknown.localhost"}))
        << "addresses and names outside .localhost are never looked up";
    EXPECT_TRUE(kcInsecureURLProblem(QUrl("https://emr.example/"), "x", "y").isEmpty());
    EXPECT_FALSE(kcInsecureURLProblem(QUrl("ftp://127.0.0.1/"), "x", "y").isEmpty());
    EXPECT_TRUE(kcInsecureURLProblem(QUrl("http://emr.example/"), "The token URL", "the client secret")
                    .contains("the client secret"));
}
