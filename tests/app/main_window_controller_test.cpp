// The capture window's controller: the capture button at rest by default,
// and, once the application installs it, the capture panel with the
// delegate as its session and its upload queue shown in the tray.
#include "app/app_delegate.h"
#include "app/main_window_controller.h"
#include "app/pending_uploads.h"
#include "app/start_at_login.h"
#include "capture/panel/view_controller.h"
#include "tests/app/fake_backend.h"

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
                  QList<QAction *>({delegate.logoutMenuItem(), KCStartAtLogin::shared()->menuItem(),
                                    delegate.quitMenuItem()}));

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
