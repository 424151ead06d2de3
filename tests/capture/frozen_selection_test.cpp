// The capture panel over a window server that only gives frozen pictures
// (Wayland desktops), and over one that cannot capture at all.
#include "capture/capture_window.h"
#include "capture/panel/view_controller.h"
#include "capture/screenshot_view.h"

#include "platform/windowserver/wayland_window_server.h"
#include "tests/support/qt_wait.h"

#include <QApplication>
#include <QDir>
#include <QMessageBox>
#include <QPainter>
#include <QScreen>
#include <QStandardPaths>

#include <gtest/gtest.h>

namespace {

class FrozenSelectionTest : public ::testing::Test {
protected:
    void SetUp() override {
        QStandardPaths::setTestModeEnabled(true);
        window = std::make_unique<CaptureMainWindow>(QRect(100, 100, 52, 52));
        panel = new ViewController(window.get(), nullptr, window.get());
        window->show();
        QObject::connect(panel, &ViewController::captureReturnedToRest, [this] { ++rests; });
    }
    void TearDown() override {
        const QString dir = panel->uploadQueue()->directory();
        for (QWidget *w : QApplication::topLevelWidgets())
            if (qobject_cast<QMessageBox *>(w))
                delete w;
        window.reset();
        QDir(dir).removeRecursively();
        setSharedWindowServer(nullptr);
    }
    QMessageBox *problemBox() const {
        for (QWidget *w : QApplication::topLevelWidgets())
            if (w->objectName() == "captureProblem" && w->isVisible())
                return qobject_cast<QMessageBox *>(w);
        return nullptr;
    }
    // A server whose pictures come from `answer`, with one window at
    // (0, 0, 400, 300) in the layout.
    std::shared_ptr<WaylandWindowServer> frozenServer(std::function<CaptureResult()> answer) {
        return std::make_shared<WaylandWindowServer>(
            "test",
            [this, answer](const QString &parent, QObject *,
                           std::function<void(const ScreenPicture &)> done) {
                parents.append(parent);
                done(ScreenPicture{answer(), {}});
            },
            [] {
                WaylandWindowServer::Layout layout;
                for (const QScreen *s : QGuiApplication::screens())
                    layout.screens.append(s->geometry());
                layout.windows = QList<FrozenWindow>{{QRect(0, 0, 400, 300), 4242}};
                return layout;
            });
    }
    std::unique_ptr<CaptureMainWindow> window;
    ViewController *panel = nullptr;
    int rests = 0;
    QStringList parents;
};

TEST_F(FrozenSelectionTest, OverlayShowsTheFrozenPictureAndTheSelectionIsCutFromIt) {
    const QRect screen = QGuiApplication::primaryScreen()->geometry();
    QImage picture(screen.size(), QImage::Format_RGB32);
    picture.fill(QColor(20, 120, 220));
    {
        QPainter p(&picture);
        p.fillRect(QRect(0, 0, 400, 300), QColor(240, 200, 10));
    }
    setSharedWindowServer(frozenServer([picture] { return CaptureResult::captured(picture); }));
    panel->snapImage();
    ASSERT_TRUE(
        kcWaitFor([&] { return panel->snapshotWindow && panel->snapshotWindow->isVisible(); }, 10000));
    // One picture, asked for with the window's handle; shown under the veil,
    // full screen.
    ASSERT_EQ(parents.size(), 1);
    EXPECT_TRUE(parents.first().startsWith("x11:")) << parents.first().toStdString();
    EXPECT_EQ(panel->snapshotView->backdrop().size(), screen.size());
    EXPECT_EQ(panel->snapshotView->backdrop().pixelColor(10, 10), QColor(240, 200, 10));
    EXPECT_TRUE(panel->snapshotWindow->windowState() & Qt::WindowFullScreen);

    // A selection (screen coordinates, y up) over the yellow window's corner.
    const double h0 = screen.height();
    panel->screenCaptureRectangleFinished(QRectF(380, h0 - 320, 60, 40));
    ASSERT_TRUE(kcWaitFor([&] { return !panel->screenshot.isNull(); }, 20000));
    EXPECT_EQ(panel->screenshot.size(), QSize(60, 40));
    EXPECT_EQ(panel->screenshot.pixelColor(5, 5), QColor(240, 200, 10));
    EXPECT_EQ(panel->screenshot.pixelColor(55, 35), QColor(20, 120, 220));
    EXPECT_EQ(parents.size(), 1); // no second request
    EXPECT_EQ(problemBox(), nullptr);
}

// The overlay windows on screen, by their screen.
QList<captureWindow *> shownOverlays() {
    QList<captureWindow *> shown;
    for (QWidget *w : QApplication::topLevelWidgets())
        if (auto *overlay = qobject_cast<captureWindow *>(w); overlay && overlay->isVisible())
            shown.append(overlay);
    return shown;
}

TEST_F(FrozenSelectionTest, EveryScreenIsVeiledAndASelectionOnAnotherOneIsCutFromItsPixels) {
    if (QGuiApplication::screens().size() < 2)
        GTEST_SKIP() << "needs two screens side by side (the two-screen run)";
    const QRect left = QGuiApplication::screens()[0]->geometry();
    const QRect right = QGuiApplication::screens()[1]->geometry();
    ASSERT_EQ(right.left(), left.right() + 1);
    // One picture of both, as the portal gives it: the right screen dark
    // blue with a green mark 200 points in and 100 down.
    QImage picture(left.width() + right.width(), qMax(left.height(), right.height()), QImage::Format_RGB32);
    picture.fill(QColor(20, 120, 220));
    {
        QPainter p(&picture);
        p.fillRect(QRect(left.width(), 0, right.width(), right.height()), QColor(10, 20, 90));
        p.fillRect(QRect(left.width() + 200, 100, 30, 20), QColor(30, 220, 60));
    }
    setSharedWindowServer(frozenServer([picture] { return CaptureResult::captured(picture); }));
    window->move(left.topLeft() + QPoint(100, 100));
    panel->snapImage();
    ASSERT_TRUE(kcWaitFor([&] { return shownOverlays().size() == 2; }, 10000));
    captureWindow *other = nullptr;
    for (captureWindow *overlay : shownOverlays())
        if (overlay != panel->snapshotWindow)
            other = overlay;
    ASSERT_NE(other, nullptr);
    EXPECT_EQ(panel->snapshotWindow->geometry(), left);
    EXPECT_EQ(other->geometry(), right);
    EXPECT_TRUE(other->windowState() & Qt::WindowFullScreen);
    auto *view = other->contentView()->findChild<screenshotView *>();
    ASSERT_NE(view, nullptr);
    EXPECT_EQ(view->backdrop().size(), right.size());
    EXPECT_EQ(view->backdrop().pixelColor(205, 105), QColor(30, 220, 60));
    EXPECT_TRUE(view->screenshotMode);

    // A drag on the right screen's veil (view coordinates, y up) around the
    // mark: the capture is cut from the right screen's pixels.
    const double h = view->height();
    view->mouseDown(QPointF(191, h - 90));
    view->mouseDragged(QPointF(240, h - 130));
    view->mouseUp(QPointF(250, h - 131));
    ASSERT_TRUE(kcWaitFor([&] { return !panel->screenshot.isNull(); }, 20000));
    EXPECT_EQ(panel->screenshot.size(), QSize(60, 40));
    EXPECT_EQ(panel->screenshot.pixelColor(20, 20), QColor(30, 220, 60));
    EXPECT_EQ(panel->screenshot.pixelColor(2, 2), QColor(10, 20, 90));
    // Both veils go with the capture.
    EXPECT_TRUE(kcWaitFor([&] { return shownOverlays().isEmpty(); }, 10000));

    // Escape on the other screen's veil cancels the whole selection.
    panel->screenshot = QImage();
    const int restsBefore = rests;
    panel->snapImage();
    ASSERT_TRUE(kcWaitFor([&] { return shownOverlays().size() == 2; }, 10000));
    for (captureWindow *overlay : shownOverlays())
        if (overlay != panel->snapshotWindow)
            overlay->contentView()->findChild<screenshotView *>()->keyDown(Qt::Key_Escape);
    EXPECT_TRUE(kcWaitFor([&] { return shownOverlays().isEmpty() && rests > restsBefore; }, 10000));
    EXPECT_FALSE(panel->snapshotMode);
    EXPECT_TRUE(panel->screenshot.isNull());
}

TEST_F(FrozenSelectionTest, ARefusedPictureIsToldAndTheAppStaysUsable) {
    setSharedWindowServer(
        frozenServer([] { return CaptureResult::failed("the desktop said no. Try this."); }));
    panel->snapImage();
    ASSERT_TRUE(kcWaitFor([&] { return rests == 1; }, 10000));
    ASSERT_TRUE(kcWaitFor([&] { return problemBox() != nullptr; }, 10000));
    EXPECT_TRUE(problemBox()->text().contains("the desktop said no"));
    EXPECT_FALSE(panel->snapshotMode);
    EXPECT_TRUE(panel->captureAllowed);
    EXPECT_TRUE(panel->captureButton->isEnabled());
    EXPECT_FALSE(panel->snapshotWindow && panel->snapshotWindow->isVisible());
}

TEST_F(FrozenSelectionTest, ACancelledPictureIsACancelWithoutMessage) {
    setSharedWindowServer(frozenServer([] { return CaptureResult::cancelled(); }));
    panel->snapImage();
    ASSERT_TRUE(kcWaitFor([&] { return rests == 1; }, 10000));
    kcSpin(200);
    EXPECT_EQ(problemBox(), nullptr);
    EXPECT_FALSE(panel->snapshotMode);
}

TEST_F(FrozenSelectionTest, NoWindowServerThatCanCaptureIsToldWithItsReason) {
    setSharedWindowServer(
        std::make_shared<NullWindowServer>("No way to take screen pictures here. Install it."));
    panel->snapImage();
    ASSERT_TRUE(kcWaitFor([&] { return rests == 1; }, 10000));
    ASSERT_TRUE(kcWaitFor([&] { return problemBox() != nullptr; }, 10000));
    EXPECT_TRUE(problemBox()->text().contains("No way to take screen pictures here"));
    EXPECT_FALSE(panel->snapshotWindow && panel->snapshotWindow->isVisible());
    EXPECT_TRUE(panel->captureButton->isEnabled());
}

} // namespace
