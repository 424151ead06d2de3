// The X11 window server against real windows on a private display.
#include "platform/windowserver/window_server.h"

#include <QDeadlineTimer>
#include <QThread>

#include <gtest/gtest.h>
#include <xcb/xcb.h>

#include <cstdlib>
#include <cstring>

namespace {

// A client connection of our own that makes plain windows, as any other
// program on the display would.
class XClient {
public:
    XClient() {
        connection = xcb_connect(nullptr, nullptr);
        screen = xcb_setup_roots_iterator(xcb_get_setup(connection)).data;
    }
    ~XClient() { xcb_disconnect(connection); }

    xcb_window_t makeWindow(const QRect &rect, quint32 pixel, bool map = true,
                            quint16 windowClass = XCB_WINDOW_CLASS_INPUT_OUTPUT) {
        const xcb_window_t window = xcb_generate_id(connection);
        if (windowClass == XCB_WINDOW_CLASS_INPUT_ONLY) {
            const quint32 values[] = {1};
            xcb_create_window(connection, XCB_COPY_FROM_PARENT, window, screen->root, rect.x(), rect.y(),
                              rect.width(), rect.height(), 0, windowClass, XCB_COPY_FROM_PARENT,
                              XCB_CW_OVERRIDE_REDIRECT, values);
        } else {
            const quint32 values[] = {pixel, 1};
            xcb_create_window(connection, XCB_COPY_FROM_PARENT, window, screen->root, rect.x(), rect.y(),
                              rect.width(), rect.height(), 0, windowClass, screen->root_visual,
                              XCB_CW_BACK_PIXEL | XCB_CW_OVERRIDE_REDIRECT, values);
        }
        if (map)
            xcb_map_window(connection, window);
        xcb_flush(connection);
        return window;
    }

    // A managed window (a window manager, when running, frames it).
    xcb_window_t makeManagedWindow(const QRect &rect, quint32 pixel) {
        const xcb_window_t window = xcb_generate_id(connection);
        const quint32 values[] = {pixel};
        xcb_create_window(connection, XCB_COPY_FROM_PARENT, window, screen->root, rect.x(), rect.y(),
                          rect.width(), rect.height(), 0, XCB_WINDOW_CLASS_INPUT_OUTPUT, screen->root_visual,
                          XCB_CW_BACK_PIXEL, values);
        xcb_map_window(connection, window);
        xcb_flush(connection);
        return window;
    }

    // A window with an alpha channel; `pixel` is premultiplied ARGB.
    xcb_window_t makeTranslucentWindow(const QRect &rect, quint32 pixel) {
        xcb_visualid_t visual = 0;
        for (auto depths = xcb_screen_allowed_depths_iterator(screen); depths.rem && !visual;
             xcb_depth_next(&depths)) {
            if (depths.data->depth != 32)
                continue;
            for (auto v = xcb_depth_visuals_iterator(depths.data); v.rem; xcb_visualtype_next(&v)) {
                if (v.data->_class == XCB_VISUAL_CLASS_TRUE_COLOR) {
                    visual = v.data->visual_id;
                    break;
                }
            }
        }
        if (!visual)
            return 0;
        const xcb_colormap_t colormap = xcb_generate_id(connection);
        xcb_create_colormap(connection, XCB_COLORMAP_ALLOC_NONE, colormap, screen->root, visual);
        const xcb_window_t window = xcb_generate_id(connection);
        const quint32 values[] = {pixel, 0, 1, colormap};
        xcb_create_window(
            connection, 32, window, screen->root, rect.x(), rect.y(), rect.width(), rect.height(), 0,
            XCB_WINDOW_CLASS_INPUT_OUTPUT, visual,
            XCB_CW_BACK_PIXEL | XCB_CW_BORDER_PIXEL | XCB_CW_OVERRIDE_REDIRECT | XCB_CW_COLORMAP, values);
        xcb_map_window(connection, window);
        xcb_flush(connection);
        return window;
    }

    // A desktop window (_NET_WM_WINDOW_TYPE_DESKTOP), as file managers draw
    // the background and its icons: managed (framed under a window manager)
    // or not.
    xcb_window_t makeDesktopWindow(const QRect &rect, quint32 pixel, bool managed) {
        const xcb_window_t window = xcb_generate_id(connection);
        const quint32 values[] = {pixel, 1};
        xcb_create_window(connection, XCB_COPY_FROM_PARENT, window, screen->root, rect.x(), rect.y(),
                          rect.width(), rect.height(), 0, XCB_WINDOW_CLASS_INPUT_OUTPUT, screen->root_visual,
                          managed ? XCB_CW_BACK_PIXEL : XCB_CW_BACK_PIXEL | XCB_CW_OVERRIDE_REDIRECT, values);
        const xcb_atom_t type = atom("_NET_WM_WINDOW_TYPE"), desktop = atom("_NET_WM_WINDOW_TYPE_DESKTOP");
        xcb_change_property(connection, XCB_PROP_MODE_REPLACE, window, type, XCB_ATOM_ATOM, 32, 1, &desktop);
        xcb_map_window(connection, window);
        xcb_flush(connection);
        return window;
    }

    xcb_atom_t atom(const char *name) {
        auto *reply = xcb_intern_atom_reply(
            connection, xcb_intern_atom(connection, 0, quint16(std::strlen(name)), name), nullptr);
        const xcb_atom_t result = reply ? reply->atom : xcb_atom_t(XCB_ATOM_NONE);
        std::free(reply);
        return result;
    }

    void destroy(xcb_window_t window) {
        xcb_destroy_window(connection, window);
        xcb_flush(connection);
    }

    // The window's area in root coordinates.
    QRect rootRect(xcb_window_t window) {
        auto *geometry = xcb_get_geometry_reply(connection, xcb_get_geometry(connection, window), nullptr);
        auto *translated = xcb_translate_coordinates_reply(
            connection, xcb_translate_coordinates(connection, window, screen->root, 0, 0), nullptr);
        QRect r;
        if (geometry && translated)
            r = QRect(translated->dst_x, translated->dst_y, geometry->width, geometry->height);
        std::free(geometry);
        std::free(translated);
        return r;
    }

    bool viewable(xcb_window_t window) {
        auto *a = xcb_get_window_attributes_reply(connection, xcb_get_window_attributes(connection, window),
                                                  nullptr);
        const bool result = a && a->map_state == XCB_MAP_STATE_VIEWABLE;
        std::free(a);
        return result;
    }

    xcb_connection_t *connection = nullptr;
    xcb_screen_t *screen = nullptr;
};

bool waitFor(const std::function<bool()> &done, int ms = 10000) {
    QDeadlineTimer deadline(ms);
    while (!done()) {
        if (deadline.hasExpired())
            return done();
        QThread::msleep(10);
    }
    return true;
}

// Index of the listed window whose bounds hold `rect` (a client's area).
qsizetype indexHolding(const QList<WindowServerWindow> &list, const QRect &rect) {
    for (qsizetype i = 0; i < list.size(); ++i)
        if (list[i].bounds.contains(rect))
            return i;
    return -1;
}

class WindowServerTest : public ::testing::Test {
protected:
    void SetUp() override {
        QString failure;
        server = X11WindowServer::open(QString(), &failure);
        ASSERT_TRUE(server) << failure.toStdString();
    }
    // One client connection for the whole run: Xvfb resets itself whenever
    // its last client leaves, and refuses connections while it does.
    static void SetUpTestSuite() { shared = new XClient; }
    static void TearDownTestSuite() { delete shared; }
    static inline XClient *shared = nullptr;

    std::unique_ptr<X11WindowServer> server;
    XClient &client = *shared;
};

TEST_F(WindowServerTest, ListsVisibleWindowsBelowFrontToBack) {
    const xcb_window_t back = client.makeManagedWindow(QRect(100, 100, 400, 300), 0x00ff00);
    const xcb_window_t front = client.makeManagedWindow(QRect(150, 150, 400, 300), 0xff0000);
    const xcb_window_t unmapped = client.makeWindow(QRect(700, 100, 50, 50), 0x0000ff, false);
    const xcb_window_t inputOnly =
        client.makeWindow(QRect(700, 200, 50, 50), 0, true, XCB_WINDOW_CLASS_INPUT_ONLY);
    const xcb_window_t tiny = client.makeWindow(QRect(0, 0, 1, 1), 0x0000ff);
    const xcb_window_t topmost = client.makeManagedWindow(QRect(800, 500, 100, 100), 0xffffff);
    ASSERT_TRUE(
        waitFor([&] { return client.viewable(back) && client.viewable(front) && client.viewable(topmost); }));
    ASSERT_TRUE(
        waitFor([&] { return indexHolding(server->windowsBelow(0), client.rootRect(topmost)) >= 0; }));

    const QRect backRect = client.rootRect(back), frontRect = client.rootRect(front);
    const auto all = server->windowsBelow(0);
    const qsizetype b = indexHolding(all, backRect), f = indexHolding(all, frontRect),
                    t = indexHolding(all, client.rootRect(topmost));
    ASSERT_GE(b, 0);
    ASSERT_GE(f, 0);
    EXPECT_LT(t, f) << "front to back";
    EXPECT_LT(f, b) << "front to back";
    for (const auto &w : all) {
        EXPECT_NE(w.windowID, unmapped);
        EXPECT_NE(w.windowID, inputOnly);
        EXPECT_NE(w.windowID, tiny);
        EXPECT_FALSE(w.bounds.width() <= 1 && w.bounds.height() <= 1);
    }
    // Below the front window (given by its client id, inside a frame under
    // a window manager): the front and the topmost are left out.
    const auto below = server->windowsBelow(front);
    EXPECT_EQ(indexHolding(below, frontRect), -1);
    EXPECT_EQ(indexHolding(below, client.rootRect(topmost)), -1);
    EXPECT_GE(indexHolding(below, backRect), 0);
    const QRect topRect = client.rootRect(topmost);
    for (auto w : {back, front, unmapped, inputOnly, tiny, topmost})
        client.destroy(w);
    // A window manager takes its frames down after the clients are gone;
    // the next test must not see them.
    EXPECT_TRUE(waitFor([&] {
        const auto left = server->windowsBelow(0);
        return indexHolding(left, backRect) < 0 && indexHolding(left, frontRect) < 0 &&
               indexHolding(left, topRect) < 0;
    }));
}

TEST_F(WindowServerTest, ImageBelowAWindowShowsWhatItCovers) {
    const xcb_window_t back = client.makeWindow(QRect(100, 100, 300, 200), 0x00ff00);
    const xcb_window_t front = client.makeWindow(QRect(200, 150, 300, 200), 0xff0000);
    ASSERT_TRUE(waitFor([&] { return client.viewable(back) && client.viewable(front); }));
    const QRect area(50, 50, 500, 400);
    QImage everything, belowFront;
    // The server paints new windows' backgrounds asynchronously.
    ASSERT_TRUE(waitFor([&] {
        everything = server->imageOfRectBelow(area, 0);
        return everything.pixel(250 - 50, 200 - 50) == 0xffff0000u &&
               everything.pixel(120 - 50, 120 - 50) == 0xff00ff00u;
    })) << std::hex
        << everything.pixel(200, 150);
    belowFront = server->imageOfRectBelow(area, front);
    ASSERT_EQ(belowFront.size(), area.size());
    EXPECT_EQ(belowFront.pixel(250 - 50, 200 - 50), 0xff00ff00u) << "the covered part of the back window";
    EXPECT_EQ(belowFront.pixel(450 - 50, 300 - 50), 0xff000000u) << "no window there";
    EXPECT_EQ(belowFront.pixel(0, 0), 0xff000000u);
    // Edges are exact: the pixel just outside the back window is black.
    EXPECT_EQ(belowFront.pixel(99 - 50, 150 - 50), 0xff000000u);
    EXPECT_EQ(belowFront.pixel(100 - 50, 150 - 50), 0xff00ff00u);
    // A rectangle reaching past the root is padded, not shifted.
    const QImage corner = server->imageOfRectBelow(QRect(-10, -10, 130, 130), front);
    ASSERT_EQ(corner.size(), QSize(130, 130));
    EXPECT_EQ(corner.pixel(115, 115), 0xff00ff00u);
    EXPECT_EQ(corner.pixel(105, 105), 0xff000000u);
    EXPECT_TRUE(server->imageOfRectBelow(QRect(10, 10, 0, 5), 0).isNull());
    client.destroy(back);
    client.destroy(front);
}

TEST_F(WindowServerTest, TranslucentWindowsAreBlendedOver) {
    const xcb_window_t back = client.makeWindow(QRect(300, 300, 200, 200), 0x0000ff);
    // Half-transparent red, premultiplied: alpha 0x80, red 0x80.
    const xcb_window_t veil = client.makeTranslucentWindow(QRect(350, 350, 200, 200), 0x80800000u);
    ASSERT_NE(veil, 0u) << "no 32-bit visual";
    ASSERT_TRUE(waitFor([&] { return client.viewable(back) && client.viewable(veil); }));
    const auto listed = server->windowsBelow(0);
    const qsizetype v = indexHolding(listed, QRect(350, 350, 200, 200));
    ASSERT_GE(v, 0);
    EXPECT_TRUE(listed[v].translucent);
    QImage image;
    ASSERT_TRUE(waitFor([&] {
        image = server->imageOfRectBelow(QRect(300, 300, 300, 300), 0);
        return qRed(image.pixel(100, 100)) > 0 && qBlue(image.pixel(20, 20)) == 255;
    }));
    const QRgb overBlue = image.pixel(100, 100), overBlack = image.pixel(230, 230);
    EXPECT_EQ(qAlpha(overBlue), 255);
    EXPECT_NEAR(qRed(overBlue), 0x80, 1);
    EXPECT_NEAR(qBlue(overBlue), 0x7f, 1) << "blue shows through half";
    EXPECT_NEAR(qRed(overBlack), 0x80, 1);
    EXPECT_EQ(qBlue(overBlack), 0);
    client.destroy(back);
    client.destroy(veil);
}

TEST_F(WindowServerTest, WindowsUnderOthersKeepTheirPixels) {
    // The back window is fully hidden before anybody asks for its pixels.
    const xcb_window_t back = client.makeWindow(QRect(600, 100, 100, 100), 0x123456);
    ASSERT_TRUE(waitFor([&] { return client.viewable(back); }));
    const xcb_window_t cover = client.makeWindow(QRect(580, 80, 140, 140), 0xffffff);
    ASSERT_TRUE(waitFor([&] { return client.viewable(cover); }));
    QImage image;
    EXPECT_TRUE(waitFor([&] {
        image = server->imageOfRectBelow(QRect(600, 100, 100, 100), cover);
        return image.pixel(50, 50) == 0xff123456u;
    })) << std::hex
        << image.pixel(50, 50);
    client.destroy(back);
    client.destroy(cover);
}

TEST_F(WindowServerTest, ScreensAndWindowsOnEachOfThem) {
    const int expected = qEnvironmentVariableIntValue("KC_EXPECT_SCREENS");
    const auto screens = server->screens();
    if (expected > 0) {
        ASSERT_EQ(screens.size(), expected);
    }
    ASSERT_FALSE(screens.isEmpty());
    EXPECT_EQ(screens.first().topLeft(), QPoint(0, 0));
    const QRect last = screens.last();
    const QRect rect(last.x() + 100, last.y() + 100, 120, 80);
    const xcb_window_t window = client.makeWindow(rect, 0xabcdef);
    ASSERT_TRUE(waitFor([&] { return client.viewable(window); }));
    QImage image;
    EXPECT_TRUE(waitFor([&] {
        image = server->imageOfRectBelow(rect.adjusted(-10, -10, 10, 10), 0);
        return image.pixel(60, 50) == 0xffabcdefu && image.pixel(5, 5) == 0xff000000u;
    }));
    EXPECT_GE(indexHolding(server->windowsBelow(0), rect), 0);
    client.destroy(window);
}

TEST(WindowServerOpen, ReportsAMissingDisplay) {
    QString failure;
    EXPECT_FALSE(X11WindowServer::open(QStringLiteral(":4711"), &failure));
    EXPECT_TRUE(failure.contains(":4711")) << failure.toStdString();
}

} // namespace

namespace {
TEST_F(WindowServerTest, SeesTheCompositingManager) {
    const bool expected = qEnvironmentVariableIntValue("KC_EXPECT_COMPOSITOR") == 1;
    // xcompmgr claims its selection shortly after start.
    QDeadlineTimer deadline(5000);
    while (server->compositingManagerRunning() != expected && !deadline.hasExpired())
        QThread::msleep(20);
    EXPECT_EQ(server->compositingManagerRunning(), expected);
}

TEST_F(WindowServerTest, CutsBelowTheLowestOfSeveralWindows) {
    const xcb_window_t a = client.makeWindow(QRect(10, 400, 50, 50), 0x111111);
    const xcb_window_t b = client.makeWindow(QRect(70, 400, 50, 50), 0x222222);
    const xcb_window_t c = client.makeWindow(QRect(130, 400, 50, 50), 0x333333);
    ASSERT_TRUE(waitFor([&] { return client.viewable(a) && client.viewable(b) && client.viewable(c); }));
    const auto below = server->windowsBelowAll({c, b});
    EXPECT_GE(indexHolding(below, QRect(10, 400, 50, 50)), 0);
    EXPECT_EQ(indexHolding(below, QRect(70, 400, 50, 50)), -1);
    EXPECT_EQ(indexHolding(below, QRect(130, 400, 50, 50)), -1);
    for (auto w : {a, b, c})
        client.destroy(w);
}
} // namespace

namespace {
// A desktop (the background with its icons) is no window to capture: it is
// not listed, whether framed by a window manager or not, while the windows
// above it are, and its pixels still show in the images.
TEST_F(WindowServerTest, DesktopWindowsAreNotListed) {
    const QRect area(300, 500, 200, 150);
    const xcb_window_t bare = client.makeDesktopWindow(area, 0x2060a0, false);
    const xcb_window_t managed = client.makeDesktopWindow(QRect(600, 500, 200, 150), 0x2060a0, true);
    const xcb_window_t normal = client.makeManagedWindow(QRect(350, 520, 60, 40), 0xffffff);
    ASSERT_TRUE(waitFor(
        [&] { return client.viewable(bare) && client.viewable(managed) && client.viewable(normal); }));
    const QRect normalRect = client.rootRect(normal);
    ASSERT_TRUE(waitFor([&] { return indexHolding(server->windowsBelow(0), normalRect) >= 0; }));
    for (const auto &w : server->windowsBelow(0)) {
        EXPECT_NE(w.windowID, bare);
        EXPECT_FALSE(w.bounds.contains(client.rootRect(managed))) << "the managed desktop window is listed";
        EXPECT_FALSE(w.bounds.contains(area)) << "the desktop window is listed";
    }
    QImage image;
    EXPECT_TRUE(waitFor([&] {
        image = server->imageOfRectBelow(area, 0);
        return image.pixel(180, 130) == 0xff2060a0u;
    })) << std::hex
        << image.pixel(180, 130);
    for (auto w : {bare, managed, normal})
        client.destroy(w);
}
} // namespace
