// The selection overlay: arithmetic of the drag, the veil, the delayed
// report, and the ways a selection is cancelled.
#include "capture/capture_window.h"
#include "capture/screen_coordinates.h"
#include "capture/screenshot_view.h"

#include "tests/support/qt_wait.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QKeyEvent>
#include <QPainter>
#include <QScreen>
#include <QWindow>

#include <gtest/gtest.h>

namespace {

bool waitExposed(QWidget *w) {
    return kcWaitFor([w] { return w->windowHandle() && w->windowHandle()->isExposed(); }, 10000);
}

void keyClick(QWidget *w, int key) {
    QKeyEvent press(QEvent::KeyPress, key, Qt::NoModifier);
    QApplication::sendEvent(w, &press);
}

struct RecordingDelegate : screenShotDelegate {
    QList<QRectF> reports;
    int cancels = 0;
    void screenCaptureRectangleFinished(const QRectF &rect) override { reports.append(rect); }
    void cancelSnapshot() override { ++cancels; }
};

class OverlayTest : public ::testing::Test {
protected:
    void SetUp() override {
        screen = QGuiApplication::primaryScreen()->geometry();
        window = std::make_unique<captureWindow>(screen, 15, 0, true);
        view = new screenshotView(window->contentView());
        view->setGeometry(window->contentView()->rect());
        view->setSsDelegate(&delegate);
    }
    QRect screen;
    RecordingDelegate delegate;
    std::unique_ptr<captureWindow> window;
    screenshotView *view = nullptr;
};

TEST_F(OverlayTest, DragArithmeticFloorsFirstAndNormalisesLast) {
    view->prepareForScreenshot();
    view->mouseDown(QPointF(100.5, 200.5));
    EXPECT_EQ(view->startPoint, QPointF(99, 199.5));
    view->mouseDragged(QPointF(300.5, 100.5));
    EXPECT_EQ(view->selectedRect, QRectF(99, 100, 201, 99));
    ASSERT_TRUE(view->shapeLayer);
    // The outline runs 2 points inside at the sides and the start's edge.
    const QPainterPath path = view->shapeLayer->path;
    ASSERT_GE(path.elementCount(), 4);
    EXPECT_EQ(QPointF(path.elementAt(0)), QPointF(101, 197.5));
    EXPECT_EQ(QPointF(path.elementAt(1)), QPointF(101, 100.5));
    EXPECT_EQ(QPointF(path.elementAt(2)), QPointF(298.5, 100.5));
    EXPECT_EQ(QPointF(path.elementAt(3)), QPointF(298.5, 197.5));
    EXPECT_EQ(view->shapeLayer->lineDashPattern, (QList<qreal>{8, 7}));
    EXPECT_EQ(view->shapeLayer->lineWidth, 0.5);
    // Dragging left and down works as well.
    view->mouseDragged(QPointF(20.25, 300.75));
    EXPECT_EQ(view->selectedRect, QRectF(20, 199, 79, 101));
}

TEST_F(OverlayTest, DashesMarchOnePeriodEveryThreeQuartersOfASecond) {
    view->prepareForScreenshot();
    view->mouseDown(QPointF(10, 10));
    ASSERT_TRUE(view->shapeLayer);
    QVariantAnimation *phase = view->shapeLayer->animationForKey(QStringLiteral("linePhase"));
    ASSERT_NE(phase, nullptr);
    EXPECT_EQ(phase->startValue().toDouble(), 0.0);
    EXPECT_EQ(phase->endValue().toDouble(), 15.0);
    EXPECT_EQ(phase->duration(), 750);
    EXPECT_EQ(phase->loopCount(), -1);
    EXPECT_EQ(phase->state(), QAbstractAnimation::Running);
    QPointer<KCShapeLayer> layer = view->shapeLayer;
    view->mouseUp(QPointF(40, 40));
    EXPECT_FALSE(layer) << "outline removed on release";
    EXPECT_FALSE(view->shapeLayer);
}

TEST_F(OverlayTest, ReleaseClearsAtOnceAndReportsScreenRectangleLater) {
    window->show();
    ASSERT_TRUE(waitExposed(window.get()));
    view->prepareForScreenshot();
    view->mouseDown(QPointF(101, 201));
    view->mouseUp(QPointF(151.5, 261.5));
    EXPECT_FALSE(view->screenshotMode);
    EXPECT_TRUE(delegate.reports.isEmpty()) << "the report waits 0.1 s";
    // The veil is gone before the report.
    const QImage now = view->grab().toImage();
    EXPECT_EQ(qAlpha(now.pixel(5, 5)), 0);
    ASSERT_TRUE(kcWaitFor([&] { return !delegate.reports.isEmpty(); }, 5000));
    // View and window share the screen's frame: a view rectangle is the same
    // rectangle in screen coordinates, origin at the primary's bottom-left.
    const double h0 = primaryScreenHeight();
    const QRectF expected(100 + screen.x(), 200 + (h0 - screen.y() - screen.height()), 51, 61);
    EXPECT_EQ(delegate.reports.first(), expected);
    // Late events change nothing.
    view->mouseDown(QPointF(5, 5));
    view->mouseDragged(QPointF(50, 50));
    view->mouseUp(QPointF(60, 60));
    kcSpin(250);
    EXPECT_EQ(delegate.reports.size(), 1);
    EXPECT_FALSE(view->shapeLayer);
}

TEST_F(OverlayTest, AClickIsReportedAsOneByOne) {
    view->prepareForScreenshot();
    view->mouseDown(QPointF(50, 50));
    view->mouseUp(QPointF(50, 50));
    ASSERT_TRUE(kcWaitFor([&] { return !delegate.reports.isEmpty(); }, 5000));
    EXPECT_EQ(delegate.reports.first().size(), QSizeF(1, 1));
}

TEST_F(OverlayTest, VeilIsWhiteQuarterAlphaWithTheSelectionCutClear) {
    screenshotView alone;
    view = &alone;
    view->resize(400, 300);
    view->prepareForScreenshot();
    view->mouseDown(QPointF(101, 201));
    view->mouseDragged(QPointF(201, 101));
    QImage image = view->grab().toImage().convertToFormat(QImage::Format_ARGB32);
    // Selection (100, 100, 100, 100) in view coordinates is y 100..200 from
    // the top in a 300-high view.
    const QRgb veil = image.pixel(20, 20);
    EXPECT_EQ(qAlpha(veil), 64);
    EXPECT_EQ(qRed(veil), 255);
    EXPECT_EQ(qAlpha(image.pixel(150, 150)), 0) << "selection clear";
    EXPECT_EQ(qAlpha(image.pixel(150, 250)), 64);
    view->mouseUp(QPointF(201, 101));
    image = view->grab().toImage();
    EXPECT_EQ(qAlpha(image.pixel(20, 20)), 0);
}

TEST_F(OverlayTest, BackdropStandsInForTranslucencyWithoutACompositor) {
    screenshotView alone;
    view = &alone;
    view->resize(200, 200);
    QImage backdrop(200, 200, QImage::Format_ARGB32_Premultiplied);
    backdrop.fill(QColor(0, 0, 200));
    view->setBackdrop(backdrop);
    view->prepareForScreenshot();
    view->mouseDown(QPointF(51, 151));
    view->mouseDragged(QPointF(101, 101));
    const QImage image = view->grab().toImage().convertToFormat(QImage::Format_ARGB32);
    EXPECT_EQ(image.pixel(70, 70), qRgb(0, 0, 200)) << "selection shows the screen as it is";
    const QRgb veiled = image.pixel(10, 10);
    EXPECT_EQ(qAlpha(veiled), 255);
    EXPECT_NEAR(qRed(veiled), 64, 2);
    EXPECT_NEAR(qBlue(veiled), 214, 2);

    // A picture in device pixels, twice the view's points: each part of the
    // view shows its own part of the picture, veiled outside the selection.
    QImage twice(400, 400, QImage::Format_RGB32);
    twice.fill(QColor(0, 0, 200));
    {
        QPainter painter(&twice);
        painter.fillRect(200, 0, 200, 400, QColor(200, 0, 0));
    }
    view->setBackdrop(twice);
    const QImage scaled = view->grab().toImage().convertToFormat(QImage::Format_ARGB32);
    EXPECT_EQ(scaled.pixel(70, 70), qRgb(0, 0, 200));
    EXPECT_NEAR(qBlue(scaled.pixel(10, 10)), 214, 2);
    EXPECT_NEAR(qRed(scaled.pixel(150, 10)), 214, 2);
    EXPECT_NEAR(qBlue(scaled.pixel(150, 10)), 64, 2);
    EXPECT_EQ(view->backdrop().size(), QSize(400, 400));
}

TEST_F(OverlayTest, EscapeCancelsOtherKeysDoNot) {
    window->show();
    ASSERT_TRUE(waitExposed(window.get()));
    view->prepareForScreenshot();
    view->mouseDown(QPointF(10, 10));
    view->mouseDragged(QPointF(90, 90));
    keyClick(view, Qt::Key_A);
    EXPECT_EQ(delegate.cancels, 0);
    keyClick(view, Qt::Key_Escape);
    EXPECT_EQ(delegate.cancels, 1);
}

TEST_F(OverlayTest, LosingTheActiveWindowCancelsOnlyWhenSignedIn) {
    bool signedIn = false;
    view->isSignedIn = [&] { return signedIn; };
    view->prepareForScreenshot();
    view->windowDidResignKey();
    EXPECT_EQ(delegate.cancels, 0) << "signed out: nothing";
    signedIn = true;
    view->windowDidResignKey();
    EXPECT_EQ(delegate.cancels, 1);
    view->mouseDown(QPointF(1, 1));
    view->mouseUp(QPointF(30, 30));
    view->windowDidResignKey();
    EXPECT_EQ(delegate.cancels, 1) << "no veil shown: nothing";

    // The real focus change: another window of ours becomes active.
    view->prepareForScreenshot();
    QWidget other;
    other.setGeometry(10, 10, 100, 100);
    other.show();
    other.activateWindow();
    EXPECT_TRUE(kcWaitFor([&] { return delegate.cancels == 2; }, 10000));
    view->removeFromAllNotifications();
}

// The panel (raised above the veil, or activated by a click on it) may take
// the focus without ending the selection; any other window ends it.
TEST_F(OverlayTest, FocusOnThePanelKeepsTheSelectionAnotherWindowEndsIt) {
    view->isSignedIn = [] { return true; };
    QWidget panel;
    panel.setGeometry(200, 200, 52, 52);
    view->keepsSelection = [&](QWindow *focus) { return focus == panel.windowHandle(); };
    view->prepareForScreenshot();
    window->makeKeyAndOrderFront();
    ASSERT_TRUE(kcWaitFor([&] { return QGuiApplication::focusWindow() == window->windowHandle(); }));
    panel.show();
    panel.activateWindow();
    ASSERT_TRUE(kcWaitFor([&] { return QGuiApplication::focusWindow() == panel.windowHandle(); }));
    kcSpin(400);
    EXPECT_EQ(delegate.cancels, 0) << "the panel keeps the selection";

    QWidget other;
    other.setGeometry(400, 300, 100, 100);
    other.show();
    other.activateWindow();
    EXPECT_TRUE(kcWaitFor([&] { return delegate.cancels == 1; }, 10000));
    view->removeFromAllNotifications();
    window->orderOut();
}

TEST(CaptureWindowShape, AlwaysBorderlessTranslucentOverItsRectangle) {
    captureWindow window(QRect(30, 40, 500, 400), 15 /* titled, closable... */, 0, true);
    EXPECT_TRUE(window.windowFlags() & Qt::FramelessWindowHint);
    EXPECT_TRUE(window.testAttribute(Qt::WA_TranslucentBackground));
    EXPECT_EQ(window.geometry(), QRect(30, 40, 500, 400));
    EXPECT_TRUE(window.canBecomeKeyWindow());
    const double h0 = primaryScreenHeight();
    // The window's bottom-left corner in screen coordinates.
    EXPECT_EQ(window.convertRectToScreen(QRectF(0, 0, 10, 10)), QRectF(30, h0 - 440, 10, 10));
    EXPECT_EQ(window.convertRectFromScreen(QRectF(30, h0 - 440, 10, 10)), QRectF(0, 0, 10, 10));
    screenshotView orphan;
    EXPECT_EQ(orphan.convertRectToScreen(QRectF(1, 2, 3, 4)), QRectF());
}

} // namespace
