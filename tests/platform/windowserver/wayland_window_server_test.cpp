// The window server's choice of back end, frozen pictures across screens at
// fractional scales, sway's window tree, and the Wayland server's answers
// from one frozen moment.
#include "platform/windowserver/frozen_frame.h"
#include "platform/windowserver/sway_ipc.h"
#include "platform/windowserver/wayland_window_server.h"
#include "platform/windowserver/window_server_loader.h"

#include <QCoreApplication>
#include <QJsonDocument>
#include <QPainter>

#include <gtest/gtest.h>

namespace {

TEST(WindowServerChoiceTest, OverrideWaylandSessionsAndTheNullServer) {
    SessionFacts x11;
    x11.sessionType = "x11";
    x11.x11Display = true;
    EXPECT_EQ(chooseWindowServer(x11).kind, WindowServerKind::X11);

    // A Wayland session is never X11, whatever $DISPLAY says.
    SessionFacts wayland;
    wayland.sessionType = "wayland";
    wayland.x11Display = true;
    wayland.waylandDisplay = true;
    wayland.portalProblem = "no portal here";
    const WindowServerChoice none = chooseWindowServer(wayland);
    EXPECT_EQ(none.kind, WindowServerKind::None);
    EXPECT_TRUE(none.reason.contains("no portal here"));
    EXPECT_TRUE(none.reason.contains("xdg-desktop-portal"));
    // $WAYLAND_DISPLAY alone makes it Wayland too (a session type left unset).
    SessionFacts unset = wayland;
    unset.sessionType.clear();
    EXPECT_EQ(chooseWindowServer(unset).kind, WindowServerKind::None);

    // KWin's window list needs the portal's picture to be of use.
    wayland.kwinRunning = true;
    EXPECT_EQ(chooseWindowServer(wayland).kind, WindowServerKind::None);
    wayland.portalScreenshot = true;
    EXPECT_EQ(chooseWindowServer(wayland).kind, WindowServerKind::KWin);
    wayland.kwinRunning = false;
    EXPECT_EQ(chooseWindowServer(wayland).kind, WindowServerKind::Portal);
    wayland.swayAnswers = true;
    EXPECT_EQ(chooseWindowServer(wayland).kind, WindowServerKind::Sway);
    EXPECT_FALSE(chooseWindowServer(wayland).screencopy);
    // Where the compositor copies the screen itself (wlroots), the portal is
    // never asked for a picture: sway with its window list, other wlroots
    // desktops without.
    wayland.screencopy = true;
    EXPECT_EQ(chooseWindowServer(wayland).kind, WindowServerKind::Sway);
    EXPECT_TRUE(chooseWindowServer(wayland).screencopy);
    wayland.swayAnswers = false;
    EXPECT_EQ(chooseWindowServer(wayland).kind, WindowServerKind::Wlroots);
    EXPECT_TRUE(chooseWindowServer(wayland).screencopy);
    wayland.screencopy = false;
    // KWin on an X11 session leaves it X11.
    x11.kwinRunning = true;
    EXPECT_EQ(chooseWindowServer(x11).kind, WindowServerKind::X11);
    x11.override = "kwin";
    EXPECT_EQ(chooseWindowServer(x11).kind, WindowServerKind::KWin);
    x11.override.clear();

    // The override wins over everything.
    wayland.override = "X11";
    EXPECT_EQ(chooseWindowServer(wayland).kind, WindowServerKind::X11);
    x11.override = "portal";
    EXPECT_EQ(chooseWindowServer(x11).kind, WindowServerKind::Portal);
    x11.override = "none";
    EXPECT_EQ(chooseWindowServer(x11).kind, WindowServerKind::None);
    EXPECT_FALSE(chooseWindowServer(x11).reason.isEmpty());

    SessionFacts nothing;
    EXPECT_EQ(chooseWindowServer(nothing).kind, WindowServerKind::None);
    EXPECT_FALSE(chooseWindowServer(nothing).reason.isEmpty());
}

TEST(WindowServerChoiceTest, TheNullServerCannotCaptureAndSaysWhy) {
    const auto server = makeWindowServer({WindowServerKind::None, "because"});
    ASSERT_TRUE(server);
    EXPECT_EQ(server->unavailableReason(), "because");
    EXPECT_FALSE(server->capabilities().testFlag(WindowServerCapability::LiveImages));
    EXPECT_FALSE(server->capabilities().testFlag(WindowServerCapability::FrozenPicture));
    EXPECT_TRUE(server->imageOfRectBelow(QRect(0, 0, 10, 10), 0).isNull());
}

// A picture whose every device pixel tells where it is: red = x, green = y
// (mod 256), blue = which screen.
QImage markedPicture(const QSize &size, const QList<QRect> &screensInPicture) {
    QImage picture(size, QImage::Format_RGB32);
    picture.fill(Qt::black);
    for (int s = 0; s < screensInPicture.size(); ++s) {
        const QRect &r = screensInPicture[s];
        for (int y = r.top(); y <= r.bottom(); ++y)
            for (int x = r.left(); x <= r.right(); ++x)
                picture.setPixel(x, y, qRgb(x % 256, y % 256, 100 + s));
    }
    return picture;
}

TEST(FrozenFrameTest, CropsAtEachScreensOwnFractionalScale) {
    // Left screen 1280x800 points at 1.5 (1920x1200 pixels), right screen
    // 1000x700 points at 1.25 (1250x875 pixels), side by side in the picture.
    const QList<QRect> logical = {QRect(0, 0, 1280, 800), QRect(1280, 0, 1000, 700)};
    const QList<QRect> inPicture = {QRect(0, 0, 1920, 1200), QRect(1920, 0, 1250, 875)};
    const FrozenFrame frame(markedPicture(QSize(3170, 1200), inPicture),
                            {{logical[0], inPicture[0]}, {logical[1], inPicture[1]}});

    // A selection of 101x51 points at (11, 21) on the left screen.
    QRect pixels = frame.pictureRectOf(QRectF(11, 21, 101, 51));
    EXPECT_EQ(pixels, QRect(16, 31, 152, 77)); // floor(16.5), floor(31.5), ceil(168)-16, ceil(108)-31
    QImage crop = frame.crop(QRectF(11, 21, 101, 51));
    ASSERT_EQ(crop.size(), pixels.size());
    EXPECT_EQ(qRed(crop.pixel(0, 0)), 16);
    EXPECT_DOUBLE_EQ(crop.devicePixelRatio(), 1.5);
    EXPECT_EQ(qBlue(crop.pixel(0, 0)), 100);

    // On the right screen, at 1.25, offset by the left one's pixels.
    pixels = frame.pictureRectOf(QRectF(1280 + 40, 80, 80, 40));
    EXPECT_EQ(pixels, QRect(1920 + 50, 100, 100, 50));
    crop = frame.crop(QRectF(1280 + 40, 80, 80, 40));
    EXPECT_EQ(qBlue(crop.pixel(5, 5)), 101);
    EXPECT_DOUBLE_EQ(crop.devicePixelRatio(), 1.25);
    EXPECT_EQ(qRed(crop.pixel(0, 0)), (1920 + 50) % 256);

    // A selection across the edge belongs to the screen of its centre and is
    // cut at that screen's edge; a centre on no screen gives nothing.
    crop = frame.crop(QRectF(1200, 10, 200, 20)); // centre x 1300: right screen
    EXPECT_EQ(crop.width(), 150);                 // 120 points at 1.25
    for (int x = 0; x < crop.width(); x += 17)
        EXPECT_EQ(qBlue(crop.pixel(x, 3)), 101);
    EXPECT_TRUE(frame.crop(QRectF(1300, 720, 40, 40)).isNull()); // below the shorter screen
    // A negative-height rectangle is the same selection.
    EXPECT_EQ(frame.pictureRectOf(QRectF(11, 72, 101, -51)), QRect(16, 31, 152, 77));
}

TEST(FrozenFrameTest, CombinedPictureAtOneScaleAndPictureOfOneScreen) {
    const QList<QRect> logical = {QRect(0, 0, 800, 600), QRect(800, 0, 800, 600)};
    // Both at 2x in one picture.
    FrozenFrame frame = FrozenFrame::fromCombinedPicture(QImage(3200, 1200, QImage::Format_RGB32), logical);
    ASSERT_EQ(frame.screens().size(), 2);
    EXPECT_EQ(frame.screens()[1].inPicture, QRect(1600, 0, 1600, 1200));
    EXPECT_EQ(frame.pictureRectOf(QRectF(810, 10, 20, 20)), QRect(1620, 20, 40, 40));
    // A picture of the first screen only.
    frame = FrozenFrame::fromCombinedPicture(QImage(800, 600, QImage::Format_RGB32), logical);
    ASSERT_EQ(frame.screens().size(), 1);
    EXPECT_EQ(frame.pictureRectOf(QRectF(10, 10, 20, 20)), QRect(10, 10, 20, 20));
    EXPECT_TRUE(frame.pictureRectOf(QRectF(900, 10, 20, 20)).isEmpty());
}

// A get_tree answer in sway's shape: one output with a shown and a hidden
// workspace, tiled native and XWayland windows in a split, two floating
// windows.
const char *kTree = R"({
 "id": 1, "type": "root", "rect": {"x":0,"y":0,"width":1280,"height":800},
 "nodes": [
  {"id": 2, "type": "output", "name": "__i3", "rect": {"x":0,"y":0,"width":0,"height":0}, "nodes": [
     {"id": 3, "type": "workspace", "name": "__i3_scratch", "nodes": [], "floating_nodes": [
        {"id": 30, "type": "floating_con", "pid": 7, "app_id": "hidden", "rect": {"x":0,"y":0,"width":50,"height":50}, "nodes": [], "floating_nodes": []}]}]},
  {"id": 4, "type": "output", "name": "HEADLESS-1", "scale": 1.0, "rect": {"x":0,"y":0,"width":1280,"height":800},
   "focus": [5, 6],
   "nodes": [
    {"id": 5, "type": "workspace", "name": "1", "visible": true, "rect": {"x":0,"y":0,"width":1280,"height":800},
     "nodes": [
       {"id": 10, "type": "con", "pid": 100, "app_id": "record", "shell": "xdg_shell", "visible": true, "name": "Record",
        "rect": {"x":0,"y":0,"width":640,"height":800}, "nodes": [], "floating_nodes": []},
       {"id": 11, "type": "con", "layout": "splitv", "rect": {"x":640,"y":0,"width":640,"height":800}, "nodes": [
          {"id": 12, "type": "con", "pid": 101, "app_id": null, "shell": "xwayland", "window": 4194307, "visible": true,
           "window_properties": {"class": "xterm"}, "rect": {"x":640,"y":0,"width":640,"height":400}, "nodes": [], "floating_nodes": []},
          {"id": 13, "type": "con", "pid": 102, "app_id": "other", "shell": "xdg_shell", "visible": true,
           "rect": {"x":640,"y":400,"width":640,"height":400}, "nodes": [], "floating_nodes": []}], "floating_nodes": []}],
     "floating_nodes": [
       {"id": 20, "type": "floating_con", "pid": 200, "app_id": "below", "shell": "xdg_shell", "visible": true,
        "rect": {"x":100,"y":100,"width":300,"height":200}, "nodes": [], "floating_nodes": []},
       {"id": 21, "type": "floating_con", "pid": 201, "app_id": null, "shell": "xwayland", "window": 4194310, "visible": true,
        "window_properties": {"class": "kelvra-capture"}, "rect": {"x":150,"y":120,"width":52,"height":52}, "nodes": [], "floating_nodes": []}]},
    {"id": 6, "type": "workspace", "name": "2", "visible": false, "rect": {"x":0,"y":0,"width":1280,"height":800},
     "nodes": [
       {"id": 40, "type": "con", "pid": 300, "app_id": "elsewhere", "shell": "xdg_shell", "visible": false,
        "rect": {"x":0,"y":0,"width":1280,"height":800}, "nodes": [], "floating_nodes": []}], "floating_nodes": []}]}]
})";

TEST(SwayTreeTest, VisibleWindowsFrontToBackNativeAndXWayland) {
    const SwayLayout layout = swayLayoutFromTree(QJsonDocument::fromJson(kTree));
    ASSERT_EQ(layout.outputs.size(), 1);
    EXPECT_EQ(layout.outputs[0].name, "HEADLESS-1");
    EXPECT_EQ(layout.outputs[0].rect, QRect(0, 0, 1280, 800));
    ASSERT_EQ(layout.windows.size(), 5);
    // Top floating window first, then the one below it, then the tiled ones.
    EXPECT_EQ(layout.windows[0].pid, 201);
    EXPECT_TRUE(layout.windows[0].xwayland);
    EXPECT_EQ(layout.windows[0].appID, "kelvra-capture");
    EXPECT_EQ(layout.windows[1].pid, 200);
    EXPECT_EQ(layout.windows[2].appID, "record");
    EXPECT_EQ(layout.windows[2].rect, QRect(0, 0, 640, 800));
    EXPECT_FALSE(layout.windows[2].xwayland);
    EXPECT_EQ(layout.windows[3].appID, "xterm");
    EXPECT_EQ(layout.windows[3].rect, QRect(640, 0, 640, 400));
    EXPECT_EQ(layout.windows[4].rect, QRect(640, 400, 640, 400));
}

TEST(SwayTreeTest, AnUnreachableSocketIsAnError) {
    QString problem;
    EXPECT_FALSE(swayRequest("/nonexistent/sway.sock", SwayMessage::GetTree, {}, &problem, 500).has_value());
    EXPECT_FALSE(problem.isEmpty());
    EXPECT_FALSE(readSwayLayout(QString(), &problem).has_value());
}

TEST(WaylandWindowServerTest, AnswersFromOneFrozenMomentAndLeavesOutOwnWindows) {
    QImage picture(1280, 800, QImage::Format_RGB32);
    picture.fill(Qt::white);
    {
        QPainter p(&picture);
        p.fillRect(QRect(0, 0, 640, 800), QColor(200, 10, 10));
    }
    int pictures = 0, layouts = 0;
    CaptureResult next = CaptureResult::captured(picture);
    QList<FrozenScreen> placement; // as the source tells it, or none
    WaylandWindowServer server(
        "test",
        [&](const QString &parent, QObject *, std::function<void(const ScreenPicture &)> done) {
            EXPECT_EQ(parent, "x11:2a");
            ++pictures;
            done({next, placement});
        },
        [&] {
            ++layouts;
            WaylandWindowServer::Layout layout;
            layout.screens = {QRect(0, 0, 1280, 800)};
            layout.windows =
                QList<FrozenWindow>{{QRect(150, 120, 52, 52), QCoreApplication::applicationPid()},
                                    {QRect(0, 0, 640, 800), 100},
                                    {QRect(640, 0, 640, 800), 101}};
            return layout;
        });
    EXPECT_TRUE(server.capabilities().testFlag(WindowServerCapability::FrozenPicture));
    EXPECT_TRUE(server.capabilities().testFlag(WindowServerCapability::PointCoordinates));
    EXPECT_TRUE(server.imageOfRectBelow(QRect(10, 10, 20, 20), 0).isNull()); // nothing frozen yet

    QObject context;
    std::optional<CaptureResult> result;
    server.freezeScreen("x11:2a", &context, [&](const CaptureResult &r) { result = r; });
    ASSERT_TRUE(result && result->ok());
    EXPECT_EQ(pictures, 1);
    EXPECT_EQ(layouts, 1);

    // Our own window is not listed; the screen comes last, as the window of
    // places no window covers.
    const QList<WindowServerWindow> windows = server.windowsBelow(0);
    ASSERT_EQ(windows.size(), 3);
    EXPECT_EQ(windows[0].bounds, QRect(0, 0, 640, 800));
    EXPECT_EQ(windows[1].bounds, QRect(640, 0, 640, 800));
    EXPECT_EQ(windows[2].bounds, QRect(0, 0, 1280, 800));
    const QImage crop = server.imageOfRectBelow(QRect(600, 10, 80, 20), 0);
    ASSERT_EQ(crop.size(), QSize(80, 20));
    EXPECT_EQ(crop.pixelColor(0, 0), QColor(200, 10, 10));
    EXPECT_EQ(crop.pixelColor(79, 0), QColor(Qt::white));
    EXPECT_EQ(server.frozenPictureOf(QRect(0, 0, 1280, 800)).size(), QSize(1280, 800));
    // Nothing asks the server again while the picture is used.
    EXPECT_EQ(pictures, 1);
    EXPECT_EQ(layouts, 1);

    // A source that tells where each screen lies in its picture (the
    // compositor's copy of each output at its own scale) is taken at its
    // word: here the right half of the picture is the screen's left half.
    placement = {{QRect(0, 0, 1280, 800), QRect(640, 0, 640, 400)}};
    server.freezeScreen("x11:2a", &context, [&](const CaptureResult &r) { result = r; });
    ASSERT_TRUE(result && result->ok());
    const QImage placed = server.imageOfRectBelow(QRect(0, 0, 1280, 800), 0);
    EXPECT_EQ(placed.size(), QSize(640, 400));
    EXPECT_EQ(placed.pixelColor(0, 0), QColor(Qt::white));
    EXPECT_DOUBLE_EQ(placed.devicePixelRatio(), 0.5);

    // A refused picture forgets the last one.
    next = CaptureResult::failed("refused");
    server.freezeScreen("x11:2a", &context, [&](const CaptureResult &r) { result = r; });
    EXPECT_EQ(result->status, CaptureResult::Status::Failed);
    EXPECT_TRUE(server.imageOfRectBelow(QRect(600, 10, 80, 20), 0).isNull());
}

// A compositor that answers later (KWin) is asked at once, beside the
// picture; the freeze ends when both are there, in either order, and a
// refused picture ends it without waiting for the windows.
TEST(WaylandWindowServerTest, ALaterLayoutIsAskedBesideThePicture) {
    QImage picture(1280, 800, QImage::Format_RGB32);
    picture.fill(Qt::white);
    std::function<void(const ScreenPicture &)> pictureDone;
    std::function<void(WaylandWindowServer::Layout)> layoutDone;
    WaylandWindowServer server(
        "test",
        [&](const QString &, QObject *, std::function<void(const ScreenPicture &)> done) {
            pictureDone = done;
        },
        WaylandWindowServer::AsyncLayoutSource(
            [&](QObject *, std::function<void(WaylandWindowServer::Layout)> done) { layoutDone = done; }));
    WaylandWindowServer::Layout layout;
    layout.screens = {QRect(0, 0, 1280, 800)};
    layout.windows = QList<FrozenWindow>{{QRect(0, 0, 640, 800), 100}};

    QObject context;
    int results = 0;
    std::optional<CaptureResult> result;
    server.freezeScreen("", &context, [&](const CaptureResult &r) {
        result = r;
        ++results;
    });
    ASSERT_TRUE(pictureDone);
    ASSERT_TRUE(layoutDone) << "asked before the picture arrives";
    layoutDone(layout);
    EXPECT_EQ(results, 0);
    pictureDone({CaptureResult::captured(picture), {}});
    ASSERT_EQ(results, 1);
    EXPECT_TRUE(result->ok());
    EXPECT_EQ(server.windowsBelow(0).first().bounds, QRect(0, 0, 640, 800));

    pictureDone = nullptr;
    layoutDone = nullptr;
    server.freezeScreen("", &context, [&](const CaptureResult &r) {
        result = r;
        ++results;
    });
    pictureDone({CaptureResult::captured(picture), {}});
    EXPECT_EQ(results, 1) << "waits for the windows";
    layoutDone(layout);
    EXPECT_EQ(results, 2);

    server.freezeScreen("", &context, [&](const CaptureResult &r) {
        result = r;
        ++results;
    });
    pictureDone({CaptureResult::failed("refused"), {}});
    EXPECT_EQ(results, 3);
    EXPECT_EQ(result->status, CaptureResult::Status::Failed);
    layoutDone(layout);
    EXPECT_EQ(results, 3) << "ended once";
}

} // namespace
