// The application against the real demo service, on a real X display and a
// throw-away keyring: the login window, sign-in with the wrong and the right
// password, the capture window, today's patient list, a second sign-in and
// sign-out. The tests run in order and share one application session, as a
// clinician's would. Screenshots go to $KC_SCREENSHOT_DIR.
#include "app/app_delegate.h"
#include "app/login_screen.h"
#include "capture/panel/capture_controls.h"
#include "capture/panel/style.h"
#include "clinic/kelvra_api_client.h"
#include "demo_process.h"
#include "emr/athenahealth_api_client.h"
#include "emr/emr_api_client.h"
#include "keychain/brkeychain.h"
#include "platform/core/notification_center.h"
#include "tests/support/qt_wait.h"

#include <QApplication>
#include <QDir>
#include <QJsonArray>
#include <QScreen>
#include <QSignalSpy>
#include <QTest>
#include <gtest/gtest.h>

namespace {

struct World {
    DemoProcess demo;
    std::unique_ptr<AppDelegate> delegate;
    std::unique_ptr<captureLoginViewController> login;
    QPoint loginTopLeft;
};

World *world = nullptr;

QString screenshotDir() {
    QString dir = qEnvironmentVariable("KC_SCREENSHOT_DIR");
    if (dir.isEmpty())
        dir = QStringLiteral(KC_BINARY_DIR "/test-screenshots/app");
    QDir().mkpath(dir);
    return dir;
}

// What the X server shows around `window` (with what a compositor made of
// its translucency), and the window's own rendering.
void screenshot(QWidget *window, const QString &name, int margin = 24) {
    kcSpin(300);
    const QRect area = window->frameGeometry().adjusted(-margin, -margin, margin, margin);
    if (QScreen *screen = QGuiApplication::primaryScreen())
        screen->grabWindow(0, area.x(), area.y(), area.width(), area.height())
            .save(screenshotDir() + "/" + name + "-screen.png");
    window->grab().save(screenshotDir() + "/" + name + "-window.png");
}

bool waitVisible(QWidget *w, bool visible) {
    return kcWaitFor([&] { return w->isVisible() == visible; }, 10000);
}

class Environment : public ::testing::Environment {
public:
    void SetUp() override {
        world = new World;
        ASSERT_TRUE(world->demo.start(QStringLiteral(KC_DEMO_SERVICE))) << "demo service did not start";
        ASSERT_TRUE(KelvraAPIClient::setServiceURLForFirstUse(world->demo.url()));
        // Two accounts in the keychain: the login window offers the last one.
        ASSERT_TRUE(BRKeychain::setPassword("old-password", "KelvraCapture", "someone"));
        ASSERT_TRUE(BRKeychain::setPassword("not-the-password", "KelvraCapture", "demo"));
        world->delegate = std::make_unique<AppDelegate>();
        world->delegate->applicationDidFinishLaunching();
        world->delegate->setPatientListRefreshIntervalForTesting(400);
    }
    void TearDown() override {
        if (world) {
            world->login.reset();
            world->delegate.reset();
            kcSpin(300);
            world->demo.stop();
        }
    }
};

const auto *registered = ::testing::AddGlobalTestEnvironment(new Environment);

} // namespace

TEST(App, LoginWindowOffersTheLastKeychainAccount) {
    world->login = std::make_unique<captureLoginViewController>(world->delegate.get());
    captureLoginViewController &login = *world->login;
    login.showWindow();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(login.window(), 10000));
    EXPECT_EQ(login.usernameTextfield->text(), "demo");
    EXPECT_TRUE(login.passwordTextfield->text().isEmpty());
    EXPECT_FALSE(login.loginFailedLabel->isVisible());
    EXPECT_TRUE(login.loginButton->isEnabled());
    EXPECT_EQ(login.loginButton->text(), "Login");
    EXPECT_EQ(login.loginButton->layerBackgroundColor(), kcOrangeColor());
    EXPECT_TRUE(login.window()->windowFlags() & Qt::FramelessWindowHint);
    // Centred on the screen.
    const QPoint screenCentre = QGuiApplication::primaryScreen()->availableGeometry().center();
    EXPECT_LE((login.window()->frameGeometry().center() - screenCentre).manhattanLength(), 4);
    screenshot(login.window(), "login");
}

TEST(App, WrongPasswordShowsTheFailureAndKeepsThePassword) {
    captureLoginViewController &login = *world->login;
    QSignalSpy finished(&login, &captureLoginViewController::loginFinished);
    login.passwordTextfield->setText("wrong");
    QTest::mouseClick(login.loginButton, Qt::LeftButton);
    // While the request runs the fields are disabled and the logo spins.
    EXPECT_FALSE(login.passwordTextfield->isEnabled());
    EXPECT_EQ(login.loginButton->text(), "Logging In...");
    EXPECT_EQ(login.loginButton->layerBackgroundColor(), kcLightGrayColor());
    EXPECT_TRUE(login.isIconSpinning());
    ASSERT_TRUE(kcWaitFor([&] { return finished.size() == 1; }, 30000));
    EXPECT_FALSE(finished.first().first().toBool());
    EXPECT_TRUE(login.loginFailedLabel->isVisible());
    EXPECT_EQ(login.passwordTextfield->text(), "wrong");
    EXPECT_TRUE(login.passwordTextfield->isEnabled());
    EXPECT_TRUE(login.usernameTextfield->isEnabled());
    EXPECT_EQ(login.loginButton->text(), "Login");
    EXPECT_FALSE(world->delegate->loggedIn());
    screenshot(login.window(), "login-failed");
    // The start turn completes before the finishing turn; then the logo rests.
    ASSERT_TRUE(kcWaitFor([&] { return !login.isIconSpinning(); }, 30000));
    ASSERT_GE(login.iconAnimationLog.size(), 2);
    EXPECT_EQ(login.iconAnimationLog.first(), "rotateStart");
    EXPECT_EQ(login.iconAnimationLog.last(), "rotateFinish");
    // Nothing was stored: the keychain still has the old password.
    EXPECT_EQ(BRKeychain::passwordForService("KelvraCapture", "demo"), QString("not-the-password"));
}

TEST(App, ReturnInThePasswordFieldSignsInAndShowsTheCaptureWindow) {
    captureLoginViewController &login = *world->login;
    QSignalSpy finished(&login, &captureLoginViewController::loginFinished);
    world->loginTopLeft = login.window()->frameGeometry().topLeft();
    login.passwordTextfield->setText("capture");
    login.window()->activateWindow();
    QTest::keyClick(login.passwordTextfield, Qt::Key_Return);
    ASSERT_TRUE(kcWaitFor([&] { return finished.size() == 1; }, 30000));
    EXPECT_TRUE(finished.first().first().toBool());
    ASSERT_TRUE(login.mainWindow);
    CaptureMainWindow *main = login.mainWindow->window();
    ASSERT_TRUE(waitVisible(main, true));
    EXPECT_TRUE(login.passwordTextfield->text().isEmpty());
    EXPECT_TRUE(world->delegate->loggedIn());
    EXPECT_TRUE(world->delegate->logoutMenuItem()->isEnabled());
    EXPECT_EQ(BRKeychain::passwordForService("KelvraCapture", "demo"), QString("capture"));
    // The capture window's top and left edges line up with the login window.
    EXPECT_TRUE(kcWaitFor([&] { return main->frameGeometry().topLeft() == world->loginTopLeft; }, 5000))
        << main->frameGeometry().x() << "," << main->frameGeometry().y();
    EXPECT_EQ(kcViewAlpha(login.view()), 0.0);
    EXPECT_TRUE(waitVisible(login.window(), false));
    EXPECT_EQ(main->size(), QSize(52, 52));
    EXPECT_TRUE(main->windowFlags() & Qt::WindowStaysOnTopHint);
    EXPECT_TRUE(main->testAttribute(Qt::WA_TranslucentBackground));
    screenshot(main, "capture-window", 40);

    // The capture key and Escape in the capture window.
    QStringList posted;
    auto &centre = NotificationCenter::defaultCenter();
    const auto t1 = centre.addObserver("snapshotCommandPressed", nullptr,
                                       [&](const Notification &n) { posted << n.name; });
    const auto t2 =
        centre.addObserver("escapePressed", nullptr, [&](const Notification &n) { posted << n.name; });
    QTest::keyClick(main, Qt::Key_M, Qt::ShiftModifier);
    QTest::keyClick(main, Qt::Key_M, Qt::MetaModifier);
    QTest::keyClick(main, Qt::Key_Escape);
    centre.removeObserver(t1);
    centre.removeObserver(t2);
    EXPECT_EQ(posted, QStringList({"snapshotCommandPressed", "escapePressed"}));
}

TEST(App, PatientListAfterTheFirstRefresh) {
    AppDelegate &delegate = *world->delegate;
    ASSERT_TRUE(
        kcWaitFor([&] { return delegate.parsedPtArray() && !delegate.parsedPtArray()->isEmpty(); }, 30000));
    // The rooms arrive in parallel with the first list; a later refresh names them.
    ASSERT_TRUE(kcWaitFor(
        [&] {
            const auto list = delegate.parsedPtArray();
            for (const QVariant &e : *list)
                if (!e.toMap()["exam_room_name"].toString().isEmpty())
                    return true;
            return false;
        },
        30000));
    const QVariantList list = *delegate.parsedPtArray();
    bool sawNoDOB = false, sawNoEMRLink = false, sawNoRoom = false, sawNoImage = false;
    int thompson = 0;
    for (const QVariant &v : list) {
        const QVariantMap e = v.toMap();
        ASSERT_EQ(e.size(), 10); // eight, plus first_name and last_name
        for (const char *key : {"name", "dob", "emr_patient_id", "emr_appointment_id", "profile_image_id",
                                "kelvraID", "interaction_id", "exam_room_name"})
            EXPECT_TRUE(e.contains(key)) << key;
        EXPECT_FALSE(e["name"].toString().isEmpty());
        EXPECT_FALSE(e["kelvraID"].toString().isEmpty());
        EXPECT_FALSE(e["interaction_id"].toString().isEmpty());
        if (e["name"] == "Sarah Miller") {
            sawNoDOB = e["dob"] == QString();
            sawNoImage = e["profile_image_id"] == QString();
        }
        if (e["name"] == QString::fromUtf8("Tomasz Wiśniewski"))
            sawNoEMRLink = e["emr_patient_id"] == QString();
        if (e["name"] == "Margaret Thompson")
            ++thompson;
        sawNoRoom = sawNoRoom || e["exam_room_name"] == QString();
    }
    EXPECT_TRUE(sawNoDOB);
    EXPECT_TRUE(sawNoImage);
    EXPECT_TRUE(sawNoEMRLink);
    EXPECT_TRUE(sawNoRoom);
    EXPECT_EQ(thompson, 2);

    // Profile images arrive and are cached; each is asked for at 250 by 250.
    ASSERT_TRUE(kcWaitFor([&] { return delegate.downloadedImages().size() >= 3; }, 30000));
    const QJsonArray requests = world->demo.state().value("requests").toArray();
    int imageRequests = 0;
    for (const QJsonValue &r : requests) {
        const QString path = r.toObject().value("path").toString();
        if (path.contains("uploads/getFile/")) {
            ++imageRequests;
            EXPECT_TRUE(path.endsWith("/250/250")) << path.toStdString();
        }
    }
    EXPECT_GT(imageRequests, 0);
}

TEST(App, SecondSignInKeepsOneTimer) {
    AppDelegate &delegate = *world->delegate;
    QTimer *timer = delegate.scheduleUpdateTimer();
    ASSERT_NE(timer, nullptr);
    const int logins = world->demo.state().value("logins").toInt();
    std::atomic<int> outcome{0};
    delegate.loginWithUsername(
        "demo", "capture", [&] { outcome = 1; }, [&](const KCError &) { outcome = 2; });
    ASSERT_TRUE(kcWaitFor([&] { return outcome != 0; }, 30000));
    EXPECT_EQ(outcome, 1);
    kcSpin(500);
    EXPECT_EQ(world->demo.state().value("logins").toInt(), logins + 1);
    EXPECT_EQ(delegate.scheduleUpdateTimer(), timer);
    EXPECT_EQ(delegate.findChildren<QTimer *>().size(), 1);
}

TEST(App, SignOutReturnsToTheLoginWindowAndStopsTheRefreshes) {
    captureLoginViewController &login = *world->login;
    CaptureMainWindow *main = login.mainWindow->window();
    // The clinician has dragged the capture window elsewhere.
    main->move(main->pos() + QPoint(-120, 60));
    ASSERT_TRUE(
        kcWaitFor([&] { return main->frameGeometry().topLeft() == world->loginTopLeft + QPoint(-120, 60); }));
    const QPoint mainTopLeft = main->frameGeometry().topLeft();

    // Sign out from the capture window's context menu.
    QList<QAction *> actions = main->contextMenuActions();
    ASSERT_EQ(actions.size(), 4);
    // The EHR sign-in shows only while the EHR asks for it.
    EXPECT_EQ(actions[0]->text(), "Sign in to the EHR…");
    EXPECT_FALSE(actions[0]->isVisible());
    EXPECT_EQ(actions[1]->text(), "Sign Out");
    EXPECT_EQ(actions[2]->text(), "Start at login");
    EXPECT_TRUE(actions[2]->isCheckable());
    EXPECT_EQ(actions[3]->text(), "Quit");
    actions[1]->trigger();
    ASSERT_TRUE(waitVisible(login.window(), true));
    EXPECT_TRUE(waitVisible(main, false));
    EXPECT_FALSE(world->delegate->loggedIn());
    EXPECT_EQ(world->delegate->scheduleUpdateTimer(), nullptr);
    EXPECT_FALSE(world->delegate->logoutMenuItem()->isEnabled());
    EXPECT_EQ(kcViewAlpha(login.view()), 1.0);
    EXPECT_EQ(login.usernameTextfield->text(), "demo");
    EXPECT_TRUE(kcWaitFor([&] { return login.window()->frameGeometry().topLeft() == mainTopLeft; }, 5000));
    EXPECT_TRUE(kcWaitFor([&] { return world->demo.requestCount("users/logout") == 1; }, 30000));

    // No refresh after sign-out (the timer ran every 400 ms before).
    const int before = world->demo.requestCount("clinic_patient_device_assignments");
    kcSpin(2000);
    EXPECT_EQ(world->demo.requestCount("clinic_patient_device_assignments"), before);
    // The patient list of the session is gone with it, and so are the EMR
    // token and client secret, the session cookie and the silent sign-in.
    EXPECT_FALSE(world->delegate->parsedPtArray().has_value());
    if (const auto athena = std::dynamic_pointer_cast<QDAthenahealthAPIClientForExtension>(
            EMRAPIClient::sharedEMRAPIClient().delegate())) {
        EXPECT_TRUE(athena->authToken().isEmpty());
        EXPECT_TRUE(athena->kAthenaAPISecret().isEmpty());
    }
    EXPECT_FALSE(KelvraAPIClient::sharedKelvraAPIClient()->silentSignInAllowed());
    EXPECT_TRUE(KelvraAPIClient::sharedKelvraAPIClient()->loggedInUserUsername().isEmpty());
    screenshot(login.window(), "login-after-sign-out");

    // Signing in again reuses the capture window.
    CaptureMainWindow *same = main;
    login.passwordTextfield->setText("capture");
    QSignalSpy finished(&login, &captureLoginViewController::loginFinished);
    login.loginButtonPressed();
    ASSERT_TRUE(kcWaitFor([&] { return finished.size() == 1; }, 30000));
    EXPECT_EQ(login.mainWindow->window(), same);
    EXPECT_TRUE(waitVisible(same, true));
    EXPECT_TRUE(kcWaitFor(
        [&] { return world->demo.requestCount("clinic_patient_device_assignments") > before; }, 30000));
}
