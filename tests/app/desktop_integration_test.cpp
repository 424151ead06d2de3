// What a package installs around the program: the "Start at login" item and
// its autostart entry, the desktop entry shipped beside it, and the
// system-wide settings that clinic IT manages (read through the service URL
// and the trust anchors, as the application reads them).
#include "app/start_at_login.h"
#include "clinic/service_url.h"
#include "http/security_policy.h"
#include "platform/core/managed_settings.h"
#include "tests/support/qt_wait.h"

#include <QAction>
#include <QCoreApplication>
#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QProcess>
#include <QSettings>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <gtest/gtest.h>

namespace {

QByteArray readFile(const QString &path) {
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

bool writeFile(const QString &path, const QByteArray &text) {
    QDir().mkpath(QFileInfo(path).absolutePath());
    QFile f(path);
    if (!f.open(QIODevice::WriteOnly | QIODevice::Truncate))
        return false;
    f.write(text);
    // QSettings re-reads a file whose size or time changed.
    static int rewrites = 0;
    return f.setFileTime(QDateTime::currentDateTime().addSecs(++rewrites), QFileDevice::FileModificationTime);
}

// The value of `key` in the main group of a desktop entry.
QString entryValue(const QByteArray &text, const QString &key) {
    for (const QByteArray &line : text.split('\n'))
        if (line.startsWith(key.toUtf8() + '='))
            return QString::fromUtf8(line.mid(key.size() + 1));
    return {};
}

// desktop-file-validate's complaints about `path`; empty when it is valid
// or the tool is missing (`*ran` says which).
QString validateDesktopEntry(const QString &path, bool *ran) {
    *ran = !QStandardPaths::findExecutable("desktop-file-validate").isEmpty();
    if (!*ran)
        return {};
    QProcess p;
    p.setProcessChannelMode(QProcess::MergedChannels);
    p.start("desktop-file-validate", {path});
    if (!p.waitForFinished(60000))
        return "desktop-file-validate did not finish";
    const QString out = QString::fromUtf8(p.readAll());
    return p.exitCode() == 0 ? QString() : out + " (exit " + QString::number(p.exitCode()) + ")";
}

// ---------------------------------------------------------------------------
// Start at login

TEST(StartAtLogin, CheckingWritesAnEntryThatStartsTheProgramAndUncheckingRemovesIt) {
    QTemporaryDir tmp;
    ASSERT_TRUE(tmp.isValid());
    // A program in a folder whose name needs quoting in Exec; it records
    // that it was started.
    const QString programDir = tmp.path() + "/Clinic Apps $HOME (x86)";
    const QString program = programDir + "/kelvra-capture";
    const QString marker = tmp.path() + "/started";
    ASSERT_TRUE(writeFile(program, "#!/bin/sh\necho started > '" + marker.toUtf8() + "'\n"));
    QFile::setPermissions(program, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);

    const QString autostart = tmp.path() + "/config/autostart";
    KCStartAtLogin login(autostart, {}, program);
    QAction *item = login.menuItem();
    EXPECT_EQ(item->text(), "Start at login");
    EXPECT_TRUE(item->isCheckable());
    EXPECT_FALSE(item->isChecked());
    EXPECT_EQ(login.entryPath(), autostart + "/com.kelvra.KelvraCapture.desktop");

    item->trigger();
    EXPECT_TRUE(item->isChecked());
    ASSERT_TRUE(QFile::exists(login.entryPath()));
    const QByteArray entry = readFile(login.entryPath());
    EXPECT_EQ(entryValue(entry, "Type"), "Application");
    EXPECT_EQ(entryValue(entry, "TryExec"), program);
    EXPECT_EQ(entryValue(entry, "Exec"), "\"" + tmp.path() + "/Clinic Apps \\\\$HOME (x86)/kelvra-capture\"");
    EXPECT_EQ(entryValue(entry, "Icon"), KCDesktopEntryID);
    bool ran = false;
    EXPECT_EQ(validateDesktopEntry(login.entryPath(), &ran), "");

    // A desktop's launcher starts the program from the entry.
    if (!QStandardPaths::findExecutable("gio").isEmpty()) {
        QProcess::execute("gio", {"launch", login.entryPath()});
        EXPECT_TRUE(kcWaitFor([&] { return QFile::exists(marker); }, 30000)) << entry.constData();
    }

    item->trigger();
    EXPECT_FALSE(item->isChecked());
    EXPECT_FALSE(QFile::exists(login.entryPath()));
    // The state is read from the disk: a second instance agrees.
    item->trigger();
    EXPECT_TRUE(KCStartAtLogin(autostart, {}, program).menuItem()->isChecked());
}

TEST(StartAtLogin, ExecQuotesReservedCharactersAndDoublesPercentSigns) {
    EXPECT_EQ(KCStartAtLogin::execValue("/usr/bin/kelvra-capture"), "/usr/bin/kelvra-capture");
    EXPECT_EQ(KCStartAtLogin::execValue("/opt/a b/k"), "\"/opt/a b/k\"");
    // Inside quotes ", `, $ and \ get a backslash; the string escape then
    // doubles every backslash.
    EXPECT_EQ(KCStartAtLogin::execValue("/opt/\"q\"/`x`/\\"), "\"/opt/\\\\\"q\\\\\"/\\\\`x\\\\`/\\\\\\\\\"");
    EXPECT_EQ(KCStartAtLogin::execValue("/opt/100%/k"), "/opt/100%%/k");
    EXPECT_EQ(KCStartAtLogin::execValue("/opt/it's/k"), "\"/opt/it's/k\"");
}

TEST(StartAtLogin, TheApplicationsItemStartsThisProgramFromTheUsersConfigFolder) {
    QTemporaryDir tmp;
    ASSERT_TRUE(tmp.isValid());
    qputenv("XDG_CONFIG_HOME", tmp.path().toLocal8Bit());
    KCStartAtLogin *login = KCStartAtLogin::shared();
    EXPECT_EQ(login->entryPath(), tmp.path() + "/autostart/com.kelvra.KelvraCapture.desktop");
    ASSERT_TRUE(login->setEnabled(true));
    // The program that wrote the entry (the installed one, once installed).
    EXPECT_EQ(entryValue(readFile(login->entryPath()), "Exec"),
              KCStartAtLogin::execValue(QCoreApplication::applicationFilePath()));
    ASSERT_TRUE(login->setEnabled(false));
    EXPECT_FALSE(QFile::exists(login->entryPath()));
    qunsetenv("XDG_CONFIG_HOME");
}

TEST(StartAtLogin, UncheckingHidesAnEntryThatItPlacedForEveryone) {
    QTemporaryDir tmp;
    ASSERT_TRUE(tmp.isValid());
    const QString system = tmp.path() + "/etc/xdg/autostart";
    ASSERT_TRUE(writeFile(system + "/com.kelvra.KelvraCapture.desktop",
                          KCStartAtLogin::entryText("/usr/bin/kelvra-capture")));
    const QString user = tmp.path() + "/home/.config/autostart";
    KCStartAtLogin login(user, {system}, "/usr/bin/kelvra-capture");
    EXPECT_TRUE(login.menuItem()->isChecked());

    login.menuItem()->trigger();
    EXPECT_FALSE(login.menuItem()->isChecked());
    EXPECT_EQ(entryValue(readFile(login.entryPath()), "Hidden"), "true");
    bool ran = false;
    EXPECT_EQ(validateDesktopEntry(login.entryPath(), &ran), "");

    login.menuItem()->trigger();
    EXPECT_TRUE(login.menuItem()->isChecked());
    EXPECT_EQ(entryValue(readFile(login.entryPath()), "Hidden"), "");
}

TEST(StartAtLogin, AFolderThatCannotBeWrittenLeavesTheItemUnchecked) {
    QTemporaryDir tmp;
    ASSERT_TRUE(tmp.isValid());
    // The autostart "folder" is a file.
    ASSERT_TRUE(writeFile(tmp.path() + "/autostart", "not a folder"));
    KCStartAtLogin login(tmp.path() + "/autostart", {}, "/usr/bin/kelvra-capture");
    QString error;
    EXPECT_FALSE(login.setEnabled(true, &error));
    EXPECT_FALSE(error.isEmpty());
    login.menuItem()->trigger();
    EXPECT_FALSE(login.menuItem()->isChecked());
}

TEST(DesktopEntry, TheShippedEntryIsValidAndNamesTheApplicationsIcon) {
    const QString path = QStringLiteral(KC_SOURCE_DIR "/packaging/") + KCDesktopEntryID + ".desktop";
    const QByteArray entry = readFile(path);
    ASSERT_FALSE(entry.isEmpty()) << qPrintable(path);
    EXPECT_EQ(entryValue(entry, "Icon"), KCDesktopEntryID);
    EXPECT_EQ(entryValue(entry, "Exec"), "kelvra-capture");
    bool ran = false;
    EXPECT_EQ(validateDesktopEntry(path, &ran), "");
    const QByteArray metainfo =
        readFile(QStringLiteral(KC_SOURCE_DIR "/packaging/") + KCDesktopEntryID + ".metainfo.xml.in");
    EXPECT_TRUE(metainfo.contains("<id>" + KCDesktopEntryID.toUtf8() + "</id>"));
    EXPECT_TRUE(
        metainfo.contains("<launchable type=\"desktop-id\">" + KCDesktopEntryID.toUtf8() + ".desktop"));
}

// ---------------------------------------------------------------------------
// System-wide settings

class SystemSettings : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(systemDir.isValid());
        ASSERT_TRUE(userDir.isValid());
        QCoreApplication::setOrganizationName("Kelvra");
        QCoreApplication::setApplicationName("KelvraCapture");
        QSettings::setPath(QSettings::NativeFormat, QSettings::SystemScope, systemDir.path());
        QSettings::setPath(QSettings::NativeFormat, QSettings::UserScope, userDir.path());
        savedCA = qgetenv("KELVRA_CA_FILE");
        qunsetenv("KELVRA_CA_FILE");
        qunsetenv(KelvraServiceURLEnvironmentVariable);
    }
    void TearDown() override {
        if (!savedCA.isEmpty())
            qputenv("KELVRA_CA_FILE", savedCA);
        else
            qunsetenv("KELVRA_CA_FILE");
    }
    bool writeSystem(const QByteArray &text) {
        return writeFile(systemDir.path() + "/Kelvra/KelvraCapture.conf", text);
    }
    bool writeUser(const QByteArray &text) {
        return writeFile(userDir.path() + "/Kelvra/KelvraCapture.conf", text);
    }

    QTemporaryDir systemDir;
    QTemporaryDir userDir;
    QByteArray savedCA;
};

TEST_F(SystemSettings, TheServiceURLOfTheUserWinsUnlessLocked) {
    ASSERT_TRUE(writeSystem("[General]\nserviceURL=https://clinic.test/\n"));
    EXPECT_EQ(kcCurrentServiceURL().url, QUrl("https://clinic.test/"));
    EXPECT_EQ(kcCurrentServiceURL().source, "settings");

    ASSERT_TRUE(writeUser("[General]\nserviceURL=https://home.test/\n"));
    EXPECT_EQ(kcCurrentServiceURL().url, QUrl("https://home.test/"));

    ASSERT_TRUE(writeSystem("[General]\nserviceURL=https://clinic.test/\nlocked=serviceURL\n"));
    EXPECT_EQ(kcCurrentServiceURL().url, QUrl("https://clinic.test/"));
    // Settings come before the command line and the environment.
    qputenv(KelvraServiceURLEnvironmentVariable, "https://env.test/");
    EXPECT_EQ(kcCurrentServiceURL().url, QUrl("https://clinic.test/"));
    qunsetenv(KelvraServiceURLEnvironmentVariable);
}

TEST_F(SystemSettings, ALockedTrustAnchorsFileBeatsTheUsersFileAndTheEnvironment) {
    ASSERT_TRUE(writeSystem("[General]\ntrustedCAFile=/etc/ssl/clinic.pem\n"));
    EXPECT_EQ(CVSecurityPolicy::userTrustAnchorsFile(), "/etc/ssl/clinic.pem");
    ASSERT_TRUE(writeUser("[General]\ntrustedCAFile=/home/u/mine.pem\n"));
    EXPECT_EQ(CVSecurityPolicy::userTrustAnchorsFile(), "/home/u/mine.pem");
    qputenv("KELVRA_CA_FILE", "/tmp/env.pem");
    EXPECT_EQ(CVSecurityPolicy::userTrustAnchorsFile(), "/tmp/env.pem");

    ASSERT_TRUE(writeSystem("[General]\ntrustedCAFile=/etc/ssl/clinic.pem\nlocked=trustedCAFile\n"));
    EXPECT_EQ(CVSecurityPolicy::userTrustAnchorsFile(), "/etc/ssl/clinic.pem");
    qunsetenv("KELVRA_CA_FILE");
    EXPECT_EQ(CVSecurityPolicy::userTrustAnchorsFile(), "/etc/ssl/clinic.pem");
}

TEST_F(SystemSettings, TheShippedFileSetsNothingAndItsExamplesWorkOnceUncommented) {
    const QByteArray shipped = readFile(KC_SOURCE_DIR "/packaging/KelvraCapture.conf");
    ASSERT_FALSE(shipped.isEmpty());
    ASSERT_TRUE(writeSystem(shipped));
    ASSERT_TRUE(writeUser("[General]\nserviceURL=https://home.test/\n"));
    QSettings system(QSettings::NativeFormat, QSettings::SystemScope, "Kelvra", "KelvraCapture");
    EXPECT_EQ(system.allKeys(), QStringList());
    EXPECT_EQ(kcCurrentServiceURL().url, QUrl("https://home.test/"));

    // An administrator removes the ";" in front of the example lines.
    QByteArray edited;
    for (const QByteArray &line : shipped.split('\n'))
        edited +=
            (line.startsWith(";[") || (line.startsWith(';') && line.contains('=')) ? line.mid(1) : line) +
            '\n';
    ASSERT_TRUE(writeSystem(edited));
    EXPECT_EQ(kcLockedSettingKeys(), QStringList({"serviceURL", "trustedCAFile", "fhirPrivateKeyFile"}));
    EXPECT_EQ(kcCurrentServiceURL().url, QUrl("https://clinic.example.org/"));
    EXPECT_EQ(CVSecurityPolicy::userTrustAnchorsFile(), "/etc/ssl/certs/clinic-root.pem");
}

} // namespace
