// The capture window's controller: the capture button at rest by default,
// and, once the application installs it, the capture panel with the
// delegate as its session and its upload queue shown in the tray.
#include "app/app_delegate.h"
#include "app/ehr_sign_in.h"
#include "app/main_window_controller.h"
#include "app/pending_uploads.h"
#include "app/start_at_login.h"
#include "capture/panel/view_controller.h"
#include "emr/emr_api_delegate.h"
#include "platform/core/notification_center.h"
#include "tests/app/fake_backend.h"
#include "tests/support/qt_wait.h"

#include <QApplication>
#include <QDir>
#include <QImage>
#include <QSignalSpy>
#include <QStandardPaths>
#include <QTest>

#include <gtest/gtest.h>

namespace {

TEST(RestPanel, LooksLikeTheCaptureButton) {
    CaptureMainWindowController controller(nullptr);
    CaptureMainWindow *window = controller.window();
    window->move(400, 300);
    window->show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(window));
    EXPECT_EQ(window->size(), QSize(52, 52));
    auto *panel = qobject_cast<KCRestCapturePanel *>(controller.contentView());
    ASSERT_NE(panel, nullptr);
    EXPECT_EQ(panel->borderWidth(), 0.5);
    const QImage image = window->grab().toImage();
    // White inside, the orange icon in the middle.
    EXPECT_EQ(QColor(image.pixel(8, 26)), QColor(Qt::white));
    const QColor centre = image.pixel(26, 26);
    EXPECT_GT(centre.red(), 200);
    EXPECT_LT(centre.blue(), 80);
    QDir().mkpath(KC_BINARY_DIR "/test-screenshots/controls");
    image.save(KC_BINARY_DIR "/test-screenshots/controls/rest-panel.png");
}

TEST(CapturePanel, FillsTheWindowAndShowsItsQueueInTheTray) {
    QStandardPaths::setTestModeEnabled(true);
    AppDelegate delegate(std::make_shared<FakeBackend>());
    // Signed out: uploads are held, also those of a queue registered later.
    KCPendingUploads::shared()->setUploadsPaused(true);
    QString pending;
    {
        CaptureMainWindowController::setPanelFactory(&kcMakeCapturePanel);
        CaptureMainWindowController controller(&delegate);
        CaptureMainWindowController::setPanelFactory(nullptr);

        auto *panel = qobject_cast<ViewController *>(controller.contentView());
        ASSERT_NE(panel, nullptr);
        EXPECT_EQ(controller.window()->contextMenuActions(),
                  QList<QAction *>({KCEHRSignIn::shared()->menuItem(), delegate.logoutMenuItem(),
                                    KCStartAtLogin::shared()->menuItem(), delegate.quitMenuItem()}));

        // The tray counts the panel's queue, which it holds.
        DocumentationUploadQueue *queue = panel->uploadQueue();
        pending = queue->directory();
        EXPECT_TRUE(queue->isPaused());
        QSignalSpy counts(KCPendingUploads::shared(), &KCPendingUploads::countsChanged);
        QString error;
        ASSERT_TRUE(queue->enqueue(DocumentationUploadQueue::kClinic, {{"id", "held"}}, {}, &error))
            << qPrintable(error);
        ASSERT_FALSE(counts.isEmpty());
        EXPECT_EQ(counts.last().at(0).toInt(), 1);
        EXPECT_EQ(KCPendingUploads::shared()->counts().pending, 1);
    }
    // The panel is gone with its window: nothing is counted any more.
    EXPECT_EQ(KCPendingUploads::shared()->counts().pending, 0);
    KCPendingUploads::shared()->setUploadsPaused(false);
    QDir(pending).removeRecursively();
}

} // namespace

TEST(EHRSignIn, TheMenuAsksWhileTheEHRWantsTheClinicianAndSignsInOnce) {
    KCEHRSignIn signIn;
    QAction *item = signIn.menuItem();
    EXPECT_FALSE(item->isVisible());
    QSignalSpy needed(&signIn, &KCEHRSignIn::needed);
    QList<std::function<void(const QString &)>> started;
    signIn.setStarter([&](std::function<void(const QString &)> done) { started.append(std::move(done)); });
    QSignalSpy finished(&signIn, &KCEHRSignIn::finished);
    NotificationCenter &center = NotificationCenter::defaultCenter();
    auto post = [&](const QString &name, const QVariantMap &info = {}) {
        center.postNotification(name, info);
        kcSpin(50);
    };

    post(KCEMRSignInNeededNotification, {{"message", "Sign in to the EHR again: revoked."}});
    EXPECT_TRUE(item->isVisible());
    ASSERT_EQ(needed.size(), 1);
    EXPECT_TRUE(needed.first().at(1).toString().startsWith("Sign in to the EHR again: revoked."));
    post(KCEMRSignInNeededNotification, {{"message", "again"}});
    EXPECT_EQ(needed.size(), 1); // said once while it stays needed

    item->trigger();
    item->trigger(); // the page was closed: a second choice starts anew
    ASSERT_EQ(started.size(), 2);
    started[0]("The EHR sign-in was ended before it was finished.");
    EXPECT_TRUE(finished.isEmpty()); // the first one ends unheard
    started[1]("The EHR did not sign you in (access_denied).");
    ASSERT_EQ(finished.size(), 1);
    EXPECT_TRUE(item->isVisible());
    item->trigger();
    started[2](QString());
    EXPECT_FALSE(item->isVisible());

    post(KCEMRSignInNeededNotification, {{"message", "expired"}});
    EXPECT_EQ(needed.size(), 2);
    post(KCLogoutNotification);
    EXPECT_FALSE(item->isVisible());
}
