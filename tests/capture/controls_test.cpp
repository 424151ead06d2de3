// The capture window and its controls on a real X display: window style, the
// capture and cancel keys, the capture-state border, dragging, the capture
// button's press/drag/release reports and the plain action button.
#include "capture/panel/capture_controls.h"
#include "capture/panel/style.h"
#include "platform/core/notification_center.h"
#include "tests/support/qt_wait.h"

#include <QApplication>
#include <QKeyEvent>
#include <QLabel>
#include <QMouseEvent>
#include <QSignalSpy>
#include <QTest>
#include <gtest/gtest.h>

namespace {

class RecordingWindow : public CaptureMainWindow {
public:
    using CaptureMainWindow::CaptureMainWindow;
    QList<int> passedOn;

protected:
    void passKeyOn(QKeyEvent *event) override {
        passedOn << event->key();
        CaptureMainWindow::passKeyOn(event);
    }
};

class RecordingDelegate : public captureMainButtonDelegate {
public:
    QStringList calls;
    void snapshotButtonPressedDown() override { calls << "down"; }
    void snapshotButtonDragged() override { calls << "dragged"; }
    void snapshotButtonPressedUp() override { calls << "up"; }
};

void sendMouse(QWidget *w, QEvent::Type type, QPoint local, Qt::MouseButtons buttons) {
    const Qt::MouseButton button = type == QEvent::MouseMove ? Qt::NoButton : Qt::LeftButton;
    const QPointF global = w->mapToGlobal(QPointF(local));
    QMouseEvent event(type, QPointF(local), w->window()->mapFromGlobal(global), global, button, buttons,
                      Qt::NoModifier);
    QCoreApplication::sendEvent(w, &event);
}

QStringList postedWhile(const std::function<void()> &action) {
    QStringList posted;
    auto &centre = NotificationCenter::defaultCenter();
    const auto a = centre.addObserver("snapshotCommandPressed", nullptr,
                                      [&](const Notification &n) { posted << n.name; });
    const auto b =
        centre.addObserver("escapePressed", nullptr, [&](const Notification &n) { posted << n.name; });
    action();
    centre.removeObserver(a);
    centre.removeObserver(b);
    return posted;
}

void sendKey(QWidget *w, int key, Qt::KeyboardModifiers mods, const QString &text) {
    QKeyEvent event(QEvent::KeyPress, key, mods, text);
    QCoreApplication::sendEvent(w, &event);
}

} // namespace

TEST(CaptureWindowKeys, Classification) {
    using A = CaptureWindowKeyAction;
    EXPECT_EQ(kcCaptureWindowKeyAction(Qt::Key_M, Qt::ShiftModifier, "M"), A::SnapshotCommand);
    EXPECT_EQ(kcCaptureWindowKeyAction(Qt::Key_M, Qt::ShiftModifier | Qt::MetaModifier, "M"),
              A::SnapshotCommand);
    EXPECT_EQ(kcCaptureWindowKeyAction(Qt::Key_M, Qt::ShiftModifier | Qt::MetaModifier, ""),
              A::SnapshotCommand);
    // Command (Super) + M alone is a lower-case m.
    EXPECT_EQ(kcCaptureWindowKeyAction(Qt::Key_M, Qt::MetaModifier, "m"), A::PassOn);
    EXPECT_EQ(kcCaptureWindowKeyAction(Qt::Key_M, Qt::MetaModifier, "M"), A::PassOn);
    // M without Shift or Command, whatever the text says.
    EXPECT_EQ(kcCaptureWindowKeyAction(Qt::Key_M, Qt::NoModifier, "M"), A::PassOn);
    EXPECT_EQ(kcCaptureWindowKeyAction(Qt::Key_M, Qt::ControlModifier, "\x0d"), A::PassOn);
    EXPECT_EQ(kcCaptureWindowKeyAction(Qt::Key_N, Qt::ShiftModifier, "N"), A::PassOn);
    EXPECT_EQ(kcCaptureWindowKeyAction(Qt::Key_Escape, Qt::NoModifier, "\x1b"), A::Escape);
    EXPECT_EQ(kcCaptureWindowKeyAction(Qt::Key_Escape, Qt::ShiftModifier, ""), A::Escape);
    EXPECT_EQ(kcCaptureWindowKeyAction(Qt::Key_A, Qt::NoModifier, "a"), A::PassOn);
}

TEST(CaptureWindow, StyleAndKeys) {
    RecordingWindow window(QRect(100, 100, 52, 52));
    EXPECT_TRUE(window.windowFlags() & Qt::FramelessWindowHint);
    EXPECT_TRUE(window.windowFlags() & Qt::WindowStaysOnTopHint);
    EXPECT_TRUE(window.testAttribute(Qt::WA_TranslucentBackground));
    EXPECT_EQ(window.windowOpacity(), 1.0);
    EXPECT_TRUE(window.canBecomeKeyWindow() && window.canBecomeMainWindow() &&
                window.acceptsFirstResponder() && window.isMovableByWindowBackground());
    EXPECT_EQ(window.geometry(), QRect(100, 100, 52, 52));
    window.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&window));

    EXPECT_EQ(postedWhile([&] { sendKey(&window, Qt::Key_M, Qt::ShiftModifier, "M"); }),
              QStringList{"snapshotCommandPressed"});
    EXPECT_EQ(postedWhile([&] { sendKey(&window, Qt::Key_M, Qt::ShiftModifier | Qt::MetaModifier, "M"); }),
              QStringList{"snapshotCommandPressed"});
    EXPECT_TRUE(postedWhile([&] { sendKey(&window, Qt::Key_M, Qt::MetaModifier, "m"); }).isEmpty());
    EXPECT_EQ(postedWhile([&] { sendKey(&window, Qt::Key_Escape, Qt::NoModifier, "\x1b"); }),
              QStringList{"escapePressed"});
    EXPECT_TRUE(postedWhile([&] { sendKey(&window, Qt::Key_A, Qt::NoModifier, "a"); }).isEmpty());
    EXPECT_EQ(window.passedOn, QList<int>({Qt::Key_M, Qt::Key_A}));

    // The same through the X server's keyboard path.
    window.activateWindow();
    (void)QTest::qWaitForWindowActive(&window, 5000);
    EXPECT_EQ(postedWhile([&] { QTest::keyClick(&window, Qt::Key_M, Qt::ShiftModifier); }),
              QStringList{"snapshotCommandPressed"});
}

TEST(CaptureMainView, BorderFollowsEverySet) {
    captureMainView view;
    QSignalSpy changes(&view, &captureMainView::captureEnabledChanged);
    EXPECT_FALSE(view.captureEnabled());
    EXPECT_EQ(view.borderWidth(), 0.0); // untouched until the panel sets it
    view.setCaptureEnabled(true);
    EXPECT_EQ(view.borderWidth(), 2.0);
    EXPECT_EQ(view.borderColor(), kcOrangeColor());
    view.setBorder(7, Qt::blue);
    view.setCaptureEnabled(true); // the same value is restyled again
    EXPECT_EQ(view.borderWidth(), 2.0);
    EXPECT_EQ(view.borderColor(), kcOrangeColor());
    view.setCaptureEnabled(false);
    EXPECT_EQ(view.borderWidth(), 0.5);
    EXPECT_EQ(view.borderColor(), kcLightGrayColor());
    EXPECT_EQ(changes.size(), 3);
    EXPECT_TRUE(view.acceptsFirstResponder() && view.canBecomeKeyView() && view.wantsDefaultClipping());
}

TEST(CaptureMainView, DraggingMovesTheWindow) {
    CaptureMainWindow window(QRect(200, 150, 52, 52));
    auto *view = new captureMainView(&window);
    view->setGeometry(0, 0, 52, 52);
    window.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&window));
    const QPoint start = window.pos();
    sendMouse(view, QEvent::MouseButtonPress, QPoint(10, 12), Qt::LeftButton);
    EXPECT_EQ(view->touchDownPoint, QPointF(10, 12));
    sendMouse(view, QEvent::MouseMove, QPoint(40, 32), Qt::LeftButton);
    EXPECT_TRUE(kcWaitFor([&] { return window.pos() == start + QPoint(30, 20); }))
        << window.pos().x() << "," << window.pos().y();
    EXPECT_EQ(window.size(), QSize(52, 52));
}

TEST(CaptureMainButton, DragReportsButFiresNoAction) {
    CaptureMainWindow window(QRect(300, 200, 52, 52));
    auto *view = new captureMainView(&window);
    view->setGeometry(0, 0, 52, 52);
    auto *button = new captureMainButton(view);
    button->setGeometry(0, 0, 52, 52);
    RecordingDelegate delegate;
    button->delegate = &delegate;
    QSignalSpy clicked(button, &QAbstractButton::clicked);
    window.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&window));
    const QPoint start = window.pos();

    sendMouse(button, QEvent::MouseButtonPress, QPoint(20, 20), Qt::LeftButton);
    EXPECT_FALSE(button->wasDragged);
    EXPECT_EQ(button->touchDownPoint, QPointF(20, 20));
    EXPECT_EQ(view->touchDownPoint, QPointF(20, 20)); // the press reached the view
    sendMouse(button, QEvent::MouseMove, QPoint(25, 24), Qt::LeftButton);
    sendMouse(button, QEvent::MouseButtonRelease, QPoint(21, 20), Qt::NoButton);
    EXPECT_TRUE(button->wasDragged);
    EXPECT_EQ(delegate.calls, QStringList({"down", "dragged", "up"}));
    EXPECT_EQ(clicked.size(), 0);
    // Dragging the button drags the window.
    EXPECT_TRUE(kcWaitFor([&] { return window.pos() == start + QPoint(5, 4); }));

    // A press without movement fires on release, wherever the pointer is.
    delegate.calls.clear();
    sendMouse(button, QEvent::MouseButtonPress, QPoint(20, 20), Qt::LeftButton);
    sendMouse(button, QEvent::MouseButtonRelease, QPoint(200, 200), Qt::NoButton);
    EXPECT_EQ(delegate.calls, QStringList({"down", "up"}));
    EXPECT_EQ(clicked.size(), 1);

    // A real click through the X server.
    QTest::mouseClick(button, Qt::LeftButton, Qt::NoModifier, QPoint(26, 26));
    EXPECT_EQ(clicked.size(), 2);
}

TEST(CaptureButton, LayerColoursAndAction) {
    captureButton button;
    button.setText("Accept");
    button.resize(60, 24);
    QSignalSpy clicked(&button, &QAbstractButton::clicked);
    EXPECT_TRUE(button.wantsUpdateLayer());
    EXPECT_EQ(button.layerBackgroundColor(), QColor(Qt::transparent));
    sendMouse(&button, QEvent::MouseButtonPress, QPoint(5, 5), Qt::LeftButton);
    EXPECT_EQ(button.layerBackgroundColor(), QColor::fromRgbF(0.9f, 0.9f, 0.9f, 1.0f));
    sendMouse(&button, QEvent::MouseMove, QPoint(50, 50), Qt::LeftButton);
    sendMouse(&button, QEvent::MouseButtonRelease, QPoint(500, 500), Qt::NoButton);
    EXPECT_EQ(button.layerBackgroundColor(), QColor(Qt::white));
    EXPECT_EQ(clicked.size(), 1); // also after a drag, wherever released
    button.updateLayer();
    EXPECT_EQ(button.layerBackgroundColor(), QColor(Qt::transparent));
    EXPECT_EQ(captureButtonCell::titleRectForBounds(QRectF(0, 0, 60, 24)), QRectF(0, -1, 60, 24));
}

TEST(PatientRow, SeparatorAndLabels) {
    QDCapturePatientTableRowView row;
    EXPECT_EQ(row.objectName(), "capturePtTableRow");
    row.ptNameLabel->setText("Ada Lovelace");
    row.examRoomNameLabel->setText("Exam 3");
    row.ptProfileImageView->setPixmap(kcImageResource("profilePlaceholderOrange", QSize(30, 30)));
    row.resize(200, 40);
    row.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&row));
    ASSERT_TRUE(kcWaitFor([&] { return row.bottomLineView->autoFillBackground(); }));
    EXPECT_EQ(row.bottomLineView->palette().color(QPalette::Window), QColor::fromRgbF(0, 0, 0, 0.07f));
}

TEST(Artwork, EveryImageRenders) {
    for (const char *name : {"kelvraLogo", "captureIcon", "successImage", "profilePlaceholderOrange"}) {
        const QImage image = kcImageResource(name, QSize(64, 64)).toImage();
        ASSERT_FALSE(image.isNull()) << name;
        // Something is drawn in the middle.
        EXPECT_GT(qAlpha(image.pixel(32, 32)), 0) << name;
    }
    EXPECT_TRUE(kcImageResource("noSuchImage", QSize(10, 10)).isNull());
}
