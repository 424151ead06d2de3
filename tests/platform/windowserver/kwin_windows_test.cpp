// KWin's window list against a stand-in for KWin's scripting interface on a
// private session bus. The stand-in evaluates no script: it reads the file it
// is asked to load, finds the call back into the capture process in it, and
// answers there with the window list it was given, as KWin running the
// script would.
#include "platform/windowserver/kwin_windows.h"
#include "tests/support/qt_wait.h"

#include <QDBusConnection>
#include <QDBusContext>
#include <QDBusMessage>
#include <QDBusPendingCall>
#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>
#include <QTimer>

#include <gtest/gtest.h>

#include <optional>

namespace {

const QString kService = QStringLiteral("org.kelvra.test.FakeKWin");

class FakeKWinScript : public QObject {
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.kde.kwin.Script")
public:
    FakeKWinScript(std::function<void()> onRun, QObject *parent)
        : QObject(parent), m_onRun(std::move(onRun)) {}
public slots:
    void run() { m_onRun(); }
    void stop() {}

private:
    std::function<void()> m_onRun;
};

class FakeKWin : public QObject, protected QDBusContext {
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.kde.kwin.Scripting")
public:
    // SlowLoad: answers the load only after a while (the script's call back
    // is known from the file meanwhile), then runs it as Windows does.
    enum class Answer { Windows, WindowsAtOldPath, Silent, RefuseLoad, SlowLoad };

    explicit FakeKWin(const QString &connectionName)
        : m_bus(QDBusConnection::connectToBus(QDBusConnection::SessionBus, connectionName)) {
        m_bus.registerObject(QStringLiteral("/Scripting"), this, QDBusConnection::ExportAllSlots);
        m_bus.registerService(kService);
    }
    ~FakeKWin() override {
        m_bus.unregisterService(kService);
        QDBusConnection::disconnectFromBus(m_bus.name());
    }

    Answer answer = Answer::Windows;
    QByteArray windowsJson;
    // What the client did.
    QStringList loadedPlugins, unloadedPlugins, scriptFiles;
    QList<QFile::Permissions> scriptPermissions;
    // The call back the last script makes (service, path, interface,
    // method).
    QStringList callback;

    // The call back the script at `file` makes.
    void readCallback(const QString &file) {
        QFile script(file);
        if (!script.open(QIODevice::ReadOnly))
            return;
        static const QRegularExpression call(
            QStringLiteral(R"re(callDBus\(\s*"([^"]*)"\s*,\s*"([^"]*)"\s*,\s*"([^"]*)"\s*,\s*"([^"]*)")re"));
        const QRegularExpressionMatch m = call.match(QString::fromUtf8(script.readAll()));
        if (m.hasMatch())
            callback = {m.captured(1), m.captured(2), m.captured(3), m.captured(4)};
    }

    // What running the script does: read it (KWin reads the file when it
    // runs the script) and call back with the windows.
    void run(const QString &file) {
        callback.clear();
        readCallback(file);
        if (callback.isEmpty() || answer == Answer::Silent)
            return;
        QDBusMessage back =
            QDBusMessage::createMethodCall(callback[0], callback[1], callback[2], callback[3]);
        back << QString::fromUtf8(windowsJson);
        m_bus.asyncCall(back);
    }

public slots:
    int loadScript(const QString &path, const QString &plugin) {
        if (answer == Answer::RefuseLoad) {
            sendErrorReply(QDBusError::AccessDenied, QStringLiteral("no scripts today"));
            return -1;
        }
        loadedPlugins.append(plugin);
        scriptFiles.append(path);
        scriptPermissions.append(QFileInfo(path).permissions());
        const int id = loadedPlugins.size();
        const QString objectPath = answer == Answer::WindowsAtOldPath
                                       ? QStringLiteral("/%1").arg(id)
                                       : QStringLiteral("/Scripting/Script%1").arg(id);
        m_bus.registerObject(objectPath, new FakeKWinScript([this, path] { run(path); }, this),
                             QDBusConnection::ExportAllSlots);
        if (answer == Answer::SlowLoad) {
            readCallback(path);
            setDelayedReply(true);
            QTimer::singleShot(600, this, [this, reply = message().createReply(id)] { m_bus.send(reply); });
        }
        return id;
    }
    bool unloadScript(const QString &plugin) {
        unloadedPlugins.append(plugin);
        return true;
    }

private:
    QDBusConnection m_bus;
};

// Windows as the script lists them: the desktop, a record window, a dialog in
// front of it at fractional coordinates, a minimized window, one on another
// desktop, a panel, and (in front of all) a window of the capturing process.
QByteArray windowsOfTheMoment(qint64 ownPid) {
    return QStringLiteral(R"([
      {"x":0,"y":0,"width":1280,"height":800,"pid":10,"normal":false,"dialog":false,"stacking":0,"onDesktop":true},
      {"x":0,"y":0,"width":800,"height":600,"pid":100,"normal":true,"dialog":false,"stacking":3,"onDesktop":true},
      {"x":100.5,"y":50.25,"width":300,"height":200,"pid":101,"normal":false,"dialog":true,"stacking":5,"onDesktop":true},
      {"x":10,"y":10,"width":500,"height":500,"pid":102,"normal":true,"minimized":true,"stacking":6,"onDesktop":true},
      {"x":10,"y":10,"width":500,"height":500,"pid":103,"normal":true,"stacking":7,"onDesktop":false},
      {"x":0,"y":770,"width":1280,"height":30,"pid":11,"normal":false,"dialog":false,"stacking":8,"onDesktop":true},
      {"x":600,"y":300,"width":52,"height":52,"pid":%1,"normal":true,"stacking":9,"onDesktop":true}
    ])")
        .arg(ownPid)
        .toUtf8();
}

class KWinWindowsTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(QDBusConnection::sessionBus().isConnected()) << "needs a session bus";
        kwin = std::make_unique<FakeKWin>(QStringLiteral("fake-kwin"));
        kwin->windowsJson = windowsOfTheMoment(QCoreApplication::applicationPid());
    }

    KWinWindowsResult query(const QString &service = kService, int timeoutMs = 5000) {
        KWinWindowsOptions options;
        options.service = service;
        options.timeoutMs = timeoutMs;
        std::optional<KWinWindowsResult> result;
        int calls = 0;
        QObject context;
        queryKWinWindows(QDBusConnection::sessionBus(), options, &context, [&](const KWinWindowsResult &r) {
            result = r;
            ++calls;
        });
        EXPECT_TRUE(kcWaitFor([&] { return result.has_value(); }, timeoutMs + 20000));
        kcSpin(200); // the unload arrives, and no second answer
        EXPECT_EQ(calls, 1);
        return result.value_or(KWinWindowsResult());
    }

    void expectNothingLeftBehind() {
        for (const QString &file : kwin->scriptFiles)
            EXPECT_FALSE(QFile::exists(file)) << file.toStdString();
        EXPECT_EQ(kwin->unloadedPlugins, kwin->loadedPlugins);
    }

    std::unique_ptr<FakeKWin> kwin;
};

TEST_F(KWinWindowsTest, ListsTheWindowsFrontToBackOnPlasma6AndPlasma5Paths) {
    for (FakeKWin::Answer answer : {FakeKWin::Answer::Windows, FakeKWin::Answer::WindowsAtOldPath}) {
        kwin->answer = answer;
        const KWinWindowsResult result = query();
        ASSERT_TRUE(result.windows.has_value()) << result.problem.toStdString();
        // Normal windows and dialogs of this desktop, highest stacking first;
        // the capture's own windows are left out later, by pid.
        ASSERT_EQ(result.windows->size(), 3);
        EXPECT_EQ((*result.windows)[0].pid, QCoreApplication::applicationPid());
        EXPECT_EQ((*result.windows)[1].pid, 101);
        EXPECT_EQ((*result.windows)[1].bounds, QRect(100, 50, 301, 201)); // covers every touched pixel
        EXPECT_EQ((*result.windows)[2].pid, 100);
        EXPECT_EQ((*result.windows)[2].bounds, QRect(0, 0, 800, 600));
    }
    // Each query had a script of its own, readable by this user only, that
    // called back into this process; none stays loaded or on disk.
    ASSERT_EQ(kwin->loadedPlugins.size(), 2);
    EXPECT_NE(kwin->loadedPlugins[0], kwin->loadedPlugins[1]);
    for (QFile::Permissions p : kwin->scriptPermissions)
        EXPECT_EQ(p & (QFile::ReadGroup | QFile::WriteGroup | QFile::ReadOther | QFile::WriteOther), 0);
    ASSERT_EQ(kwin->callback.size(), 4);
    EXPECT_EQ(kwin->callback[0], QDBusConnection::sessionBus().baseService());
    expectNothingLeftBehind();
}

TEST_F(KWinWindowsTest, SilenceRefusalAbsenceAndStrangersEndWithoutWindows) {
    // KWin never answers; someone else on the bus answers in its place.
    kwin->answer = FakeKWin::Answer::Silent;
    QDBusConnection stranger = QDBusConnection::connectToBus(QDBusConnection::SessionBus, "stranger");
    kwin->callback.clear();
    bool strangerCalled = false;
    QTimer strangerTimer;
    QObject::connect(&strangerTimer, &QTimer::timeout, [&] {
        if (strangerCalled || kwin->callback.size() != 4)
            return;
        QDBusMessage forged = QDBusMessage::createMethodCall(kwin->callback[0], kwin->callback[1],
                                                             kwin->callback[2], kwin->callback[3]);
        forged << QStringLiteral(R"([{"x":0,"y":0,"width":10,"height":10,"pid":5,"normal":true}])");
        stranger.asyncCall(forged);
        strangerCalled = true;
    });
    strangerTimer.start(20);
    KWinWindowsResult result = query(kService, 1500);
    EXPECT_TRUE(strangerCalled);
    EXPECT_FALSE(result.windows.has_value());
    EXPECT_TRUE(result.problem.contains("within")) << result.problem.toStdString();
    expectNothingLeftBehind();
    QDBusConnection::disconnectFromBus("stranger");

    // Someone else answers while KWin still loads the script: KWin's own
    // answer counts, and only that.
    kwin->answer = FakeKWin::Answer::SlowLoad;
    kwin->callback.clear();
    stranger = QDBusConnection::connectToBus(QDBusConnection::SessionBus, "stranger");
    strangerCalled = false;
    result = query();
    EXPECT_TRUE(strangerCalled);
    ASSERT_TRUE(result.windows.has_value()) << result.problem.toStdString();
    EXPECT_EQ(result.windows->size(), 3);
    expectNothingLeftBehind();
    strangerTimer.stop();
    QDBusConnection::disconnectFromBus("stranger");

    kwin->answer = FakeKWin::Answer::RefuseLoad;
    result = query();
    EXPECT_FALSE(result.windows.has_value());
    EXPECT_TRUE(result.problem.contains("no scripts today")) << result.problem.toStdString();

    // Not KWin at all.
    result = query(QStringLiteral("org.kelvra.test.NoKWin"));
    EXPECT_FALSE(result.windows.has_value());
    EXPECT_FALSE(result.problem.isEmpty());

    // An answer that is no window list.
    kwin->answer = FakeKWin::Answer::Windows;
    kwin->windowsJson = "{\"error\": 1}";
    result = query();
    EXPECT_FALSE(result.windows.has_value());
    EXPECT_FALSE(result.problem.isEmpty());
}

TEST_F(KWinWindowsTest, TheWaylandServerAnswersFromKWinsWindowsOfTheFrozenMoment) {
    KWinWindowsOptions options;
    options.service = kService;
    WaylandWindowServer server(
        "kwin",
        [](const QString &, QObject *, std::function<void(const ScreenPicture &)> done) {
            QImage picture(1280, 800, QImage::Format_RGB32);
            picture.fill(Qt::white);
            done({CaptureResult::captured(picture), {}});
        },
        WaylandWindowServer::AsyncLayoutSource(
            [options](QObject *context, std::function<void(WaylandWindowServer::Layout)> done) {
                queryKWinWindows(QDBusConnection::sessionBus(), options, context,
                                 [done](const KWinWindowsResult &r) {
                                     WaylandWindowServer::Layout layout;
                                     layout.screens = {QRect(0, 0, 1280, 800)};
                                     layout.windows = r.windows;
                                     done(layout);
                                 });
            }));
    QObject context;
    std::optional<CaptureResult> result;
    server.freezeScreen("x11:1", &context, [&](const CaptureResult &r) { result = r; });
    ASSERT_TRUE(kcWaitFor([&] { return result.has_value(); }, 20000));
    ASSERT_TRUE(result->ok());
    const QList<WindowServerWindow> windows = server.windowsBelow(0);
    ASSERT_EQ(windows.size(), 3);
    EXPECT_EQ(windows[0].bounds, QRect(100, 50, 301, 201));
    EXPECT_EQ(windows[1].bounds, QRect(0, 0, 800, 600));
    EXPECT_EQ(windows[2].bounds, QRect(0, 0, 1280, 800)); // the screen, where no window is
    EXPECT_EQ(server.imageOfRectBelow(QRect(110, 60, 40, 20), 0).size(), QSize(40, 20));
}

} // namespace

#include "kwin_windows_test.moc"
