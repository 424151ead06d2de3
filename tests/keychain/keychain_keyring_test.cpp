// The keychain against a real gnome-keyring (run inside with-keyring), and in
// child processes without a bus or without a keyring on the bus.
#include "keychain/brkeychain.h"
#include "platform/secretstore/secret_service_store.h"

#include <gtest/gtest.h>

#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QTemporaryDir>

namespace {

// Each test uses its own service so that tests do not see each other's items.
QString serviceFor(const char *name) {
    return QStringLiteral("KelvraCapture.test.%1").arg(QLatin1String(name));
}

struct QueryFields {
    QString password, label, accessGroup;
};
BRKeychainQuery queryFor(const QString &service, const QString &account, const QueryFields &f = {}) {
    BRKeychainQuery q;
    q.service = service;
    q.account = account;
    q.setPassword(f.password);
    q.label = f.label;
    q.accessGroup = f.accessGroup;
    return q;
}

TEST(KeychainKeyringTest, SavingAgainReplacesTheValueAndKeepsOneItem) {
    const QString service = QStringLiteral("KelvraCapture");
    KCError error;
    ASSERT_TRUE(BRKeychain::setPassword("first-password", service, "jdoe", &error))
        << error.localizedDescription().toStdString() << " " << error.localizedFailureReason().toStdString();
    EXPECT_EQ(BRKeychain::passwordForService(service, "jdoe"), "first-password");

    ASSERT_TRUE(BRKeychain::setPassword(QString::fromUtf8("zweites Passwört"), service, "jdoe", &error));
    EXPECT_EQ(BRKeychain::passwordForService(service, "jdoe", &error), QString::fromUtf8("zweites Passwört"));
    EXPECT_TRUE(error.isNull());

    const auto accounts = BRKeychain::accountsForService(service, &error);
    ASSERT_TRUE(accounts);
    ASSERT_EQ(accounts->size(), 1);
    const QVariantMap entry = accounts->first().toMap();
    EXPECT_EQ(entry.value("acct"), "jdoe");
    EXPECT_EQ(entry.value("svce"), service);
    EXPECT_TRUE(entry.value("mdat").toDateTime().isValid());
}

TEST(KeychainKeyringTest, ReplacingKeepsTheLabel) {
    const QString service = serviceFor("label");
    ASSERT_TRUE(queryFor(service, "jdoe", {"one", "Clinic sign-in", {}}).save());
    ASSERT_TRUE(queryFor(service, "jdoe", {"two", "some other label", {}}).save());

    const auto accounts = BRKeychain::accountsForService(service);
    ASSERT_TRUE(accounts);
    ASSERT_EQ(accounts->size(), 1);
    EXPECT_EQ(accounts->first().toMap().value("labl"), "Clinic sign-in");
    EXPECT_EQ(BRKeychain::passwordForService(service, "jdoe"), "two");
}

TEST(KeychainKeyringTest, ListingTwoAccountsEndsWithTheLastOneSaved) {
    const QString service = serviceFor("two");
    ASSERT_TRUE(BRKeychain::setPassword("pw-a", service, "alice"));
    ASSERT_TRUE(BRKeychain::setPassword("pw-b", service, "bob"));
    ASSERT_TRUE(BRKeychain::setPassword("other", serviceFor("unrelated"), "carol"));

    const auto accounts = BRKeychain::accountsForService(service);
    ASSERT_TRUE(accounts);
    ASSERT_EQ(accounts->size(), 2);
    EXPECT_EQ(accounts->at(0).toMap().value("acct"), "alice");
    EXPECT_EQ(accounts->at(1).toMap().value("acct"), "bob");
    for (const QVariant &v : *accounts)
        EXPECT_FALSE(v.toMap().contains("v_Data"));
    EXPECT_EQ(BRKeychain::passwordForService(service, "alice"), "pw-a");
    EXPECT_EQ(BRKeychain::passwordForService(service, "bob"), "pw-b");

    const auto all = BRKeychain::allAccounts();
    ASSERT_TRUE(all);
    EXPECT_GE(all->size(), 3);
}

TEST(KeychainKeyringTest, MissingItemIsNoneWithItsOwnCode) {
    const QString service = serviceFor("missing");
    EXPECT_FALSE(BRKeychain::passwordForService(service, "nobody"));
    KCError error;
    EXPECT_FALSE(BRKeychain::passwordForService(service, "nobody", &error));
    EXPECT_EQ(error.domain(), "com.brenmark.brkeychain");
    EXPECT_EQ(error.code(), -25300);
    EXPECT_FALSE(error.localizedDescription().isEmpty());

    error = {};
    EXPECT_FALSE(BRKeychain::accountsForService(service, &error));
    EXPECT_EQ(error.code(), -25300);
    EXPECT_FALSE(BRKeychain::deletePasswordForService(service, "nobody", &error));
    EXPECT_EQ(error.code(), -25300);
}

TEST(KeychainKeyringTest, EmptyPasswordIsStoredAndReadsBackAsNone) {
    const QString service = serviceFor("empty");
    KCError error;
    ASSERT_TRUE(BRKeychain::setPassword(QStringLiteral(""), service, "jdoe", &error));
    EXPECT_FALSE(BRKeychain::passwordForService(service, "jdoe", &error));
    EXPECT_TRUE(error.isNull()) << "the item exists; only its value is empty";
    const auto data = BRKeychain::passwordDataForService(service, "jdoe");
    ASSERT_TRUE(data);
    EXPECT_TRUE(data->isEmpty());
}

TEST(KeychainKeyringTest, BinaryValuesAndDeletion) {
    const QString service = serviceFor("binary");
    const QByteArray bytes("\x00\xff\xfe\x01 not text", 14);
    ASSERT_TRUE(BRKeychain::setPasswordData(bytes, service, "jdoe"));
    EXPECT_EQ(BRKeychain::passwordDataForService(service, "jdoe"), bytes);
    ASSERT_TRUE(BRKeychain::setPassword("keep", service, "other"));

    EXPECT_TRUE(BRKeychain::deletePasswordForService(service, "jdoe"));
    KCError error;
    EXPECT_FALSE(BRKeychain::passwordDataForService(service, "jdoe", &error));
    EXPECT_EQ(error.code(), -25300);
    EXPECT_EQ(BRKeychain::passwordForService(service, "other"), "keep");
}

TEST(KeychainKeyringTest, AccessGroupNarrowsTheMatch) {
    const QString service = serviceFor("group");
    ASSERT_TRUE(queryFor(service, "jdoe", {"in-group", {}, "group.kelvra"}).save());

    BRKeychainQuery otherGroup = queryFor(service, "jdoe", {{}, {}, "group.other"});
    KCError error;
    EXPECT_FALSE(otherGroup.fetch(&error));
    EXPECT_EQ(error.code(), -25300);
    // Without a group the item matches, as any group does.
    EXPECT_EQ(BRKeychain::passwordForService(service, "jdoe"), "in-group");
    const auto accounts = BRKeychain::accountsForService(service);
    ASSERT_TRUE(accounts);
    EXPECT_EQ(accounts->first().toMap().value("agrp"), "group.kelvra");
}

TEST(KeychainKeyringTest, BadArgumentsAreReportedBeforeAnyKeychainCall) {
    KCError error;
    EXPECT_FALSE(BRKeychain::passwordForService("KelvraCapture", QString(), &error));
    EXPECT_EQ(error.code(), -1001);
    EXPECT_EQ(error.localizedDescription(), "BRKeychainErrorBadArguments");
    error = {};
    EXPECT_FALSE(BRKeychain::setPassword(QString(), "KelvraCapture", "jdoe", &error));
    EXPECT_EQ(error.code(), -1001);
    error = {};
    EXPECT_FALSE(BRKeychain::setPassword("pw", "", "jdoe", &error));
    EXPECT_EQ(error.code(), -1001);
}

// Runs keychain_probe with `environment` and returns its JSON answer.
QJsonObject runProbe(const QStringList &args, const QProcessEnvironment &environment) {
    QProcess probe;
    probe.setProcessEnvironment(environment);
    probe.start(QStringLiteral(KC_KEYCHAIN_PROBE), args);
    EXPECT_TRUE(probe.waitForFinished(120000)) << "probe did not finish";
    const QByteArray out = probe.readAllStandardOutput();
    EXPECT_EQ(probe.exitCode(), 0) << probe.readAllStandardError().toStdString();
    return QJsonDocument::fromJson(out).object();
}

void expectNoKeychain(const QJsonObject &answer) {
    EXPECT_EQ(answer.value("domain").toString(), "com.brenmark.brkeychain");
    EXPECT_EQ(answer.value("code").toInteger(), BRKeychainErrorNoKeychain);
    EXPECT_TRUE(answer.value("value").isNull() || answer.value("value") == false);
    EXPECT_TRUE(answer.value("description").toString().contains("No keyring is available"));
}

TEST(KeychainKeyringTest, ProbeReachesTheKeyringInThisSession) {
    const auto env = QProcessEnvironment::systemEnvironment();
    QJsonObject set = runProbe({"set", serviceFor("probe"), "jdoe", "probe-pw"}, env);
    EXPECT_EQ(set.value("code").toInteger(), 0);
    EXPECT_EQ(set.value("value"), true);
    QJsonObject get = runProbe({"get", serviceFor("probe"), "jdoe"}, env);
    EXPECT_EQ(get.value("value").toString(), "probe-pw");
}

TEST(KeychainKeyringTest, NoSessionBusGivesAClearError) {
    QTemporaryDir runtime;
    ASSERT_TRUE(runtime.isValid());
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.remove("DBUS_SESSION_BUS_ADDRESS");
    env.remove("DISPLAY");
    env.remove("WAYLAND_DISPLAY");
    env.insert("XDG_RUNTIME_DIR", runtime.path()); // no $XDG_RUNTIME_DIR/bus either
    for (const char *command : {"get", "set", "list"}) {
        SCOPED_TRACE(command);
        expectNoKeychain(runProbe({command, "KelvraCapture", "jdoe", "pw"}, env));
    }
}

// A private session bus with nothing to activate: no keyring appears on it
// unless a test puts something there.
class PrivateBus {
public:
    PrivateBus() {
        if (!m_dir.isValid())
            return;
        QFile config(m_dir.filePath("bus.conf"));
        if (!config.open(QIODevice::WriteOnly))
            return;
        config.write(QStringLiteral(
                         "<!DOCTYPE busconfig PUBLIC \"-//freedesktop//DTD D-Bus Bus Configuration 1.0//EN\""
                         " \"http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd\">\n"
                         "<busconfig><type>session</type><listen>unix:dir=%1</listen>"
                         "<policy context=\"default\"><allow send_destination=\"*\" eavesdrop=\"true\"/>"
                         "<allow eavesdrop=\"true\"/><allow own=\"*\"/></policy></busconfig>\n")
                         .arg(m_dir.path())
                         .toUtf8());
        config.close();
        m_daemon.start("dbus-daemon",
                       {"--nofork", "--print-address=1", "--config-file=" + config.fileName()});
        QByteArray out;
        while (!out.contains('\n') && m_daemon.waitForReadyRead(60000))
            out += m_daemon.readAllStandardOutput();
        m_address = QString::fromUtf8(out.trimmed());
    }
    ~PrivateBus() {
        for (QProcess *p : {&m_service, &m_daemon}) {
            p->terminate();
            p->waitForFinished(30000);
        }
    }
    QString address() const { return m_address; }
    QProcessEnvironment environment() const {
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert("DBUS_SESSION_BUS_ADDRESS", m_address);
        env.remove("DISPLAY");
        return env;
    }
    // Starts a Secret Service on this bus that never answers.
    bool startSilentService() {
        m_service.setProcessEnvironment(environment());
        m_service.start(QStringLiteral(KC_SILENT_SECRET_SERVICE), {});
        QByteArray out;
        while (!out.contains("ready") && m_service.waitForReadyRead(60000))
            out += m_service.readAllStandardOutput();
        return out.contains("ready");
    }

private:
    QTemporaryDir m_dir;
    QProcess m_daemon, m_service;
    QString m_address;
};

TEST(KeychainKeyringTest, BusWithoutSecretServiceGivesAClearError) {
    PrivateBus bus;
    ASSERT_FALSE(bus.address().isEmpty());
    for (const char *command : {"get", "set", "list"}) {
        SCOPED_TRACE(command);
        const QJsonObject answer = runProbe({command, "KelvraCapture", "jdoe", "pw"}, bus.environment());
        expectNoKeychain(answer);
        EXPECT_TRUE(answer.value("reason").toString().contains("org.freedesktop.secrets"))
            << answer.value("reason").toString().toStdString();
    }
}

TEST(KeychainKeyringTest, ASecretServiceThatNeverAnswersGivesAClearError) {
    PrivateBus bus;
    ASSERT_FALSE(bus.address().isEmpty());
    ASSERT_TRUE(bus.startSilentService());
    QProcessEnvironment env = bus.environment();
    env.insert("KC_KEYCHAIN_PROBE_TIMEOUT_MS", "1500");
    for (const char *command : {"get", "set", "list"}) {
        SCOPED_TRACE(command);
        const QJsonObject answer = runProbe({command, "KelvraCapture", "jdoe", "pw"}, env);
        expectNoKeychain(answer);
        EXPECT_EQ(answer.value("reason").toString(), "The Secret Service did not answer in time.");
    }
}

} // namespace
