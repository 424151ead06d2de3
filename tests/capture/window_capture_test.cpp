// Window capture: the window under the selection's centre and the two images,
// against a window-server double and against real windows on Xvfb.
#include "capture/screen_coordinates.h"
#include "capture/window_capture.h"

#include "tests/support/qt_wait.h"

#include <QApplication>
#include <QKeyEvent>
#include <QPainter>
#include <QScreen>
#include <QWidget>
#include <QWindow>

#include <gtest/gtest.h>
#include <xcb/xcb.h>

#include <cstdlib>
#include <cstring>

namespace {

bool waitExposed(QWidget *w) {
    return kcWaitFor([w] { return w->windowHandle() && w->windowHandle()->isExposed(); }, 10000);
}

TEST(CaptureGeometry, FlipsTheSelectionIntoWindowServerCoordinates) {
    const QRectF flipped = flippedRect(QRectF(100, 200, 300, 50), 900);
    EXPECT_EQ(flipped.x(), 100);
    EXPECT_EQ(flipped.y(), 700);
    EXPECT_EQ(flipped.width(), 300);
    EXPECT_EQ(flipped.height(), -50);
    EXPECT_EQ(normalizedRect(flipped), QRectF(100, 650, 300, 50));
    EXPECT_EQ(rectCentre(flipped), QPointF(250, 675));
    EXPECT_EQ(rectCentre(normalizedRect(flipped)), QPointF(250, 675));
}

TEST(CaptureGeometry, FrontmostWindowHoldingTheCentreWins) {
    const QRectF selection(100, 700, 300, -50); // centre (250, 675)
    EXPECT_EQ(windowRectBasedOnSubrect(selection, {QRectF(200, 600, 100, 100), QRectF(0, 0, 1000, 900)}),
              QRectF(200, 600, 100, 100));
    EXPECT_EQ(windowRectBasedOnSubrect(selection, {QRectF(0, 0, 10, 10), QRectF(0, 0, 1000, 900)}),
              QRectF(0, 0, 1000, 900));
    // The right edge is not inside.
    EXPECT_EQ(windowRectBasedOnSubrect(QRectF(700, 250, 200, 100), {QRectF(0, 0, 800, 600)}),
              QRectF(0, 0, 0, 0));
    EXPECT_EQ(windowRectBasedOnSubrect(QRectF(699, 250, 200, 100), {QRectF(0, 0, 800, 600)}),
              QRectF(0, 0, 800, 600));
    EXPECT_EQ(windowRectBasedOnSubrect(selection, {}), QRectF(0, 0, 0, 0));
    EXPECT_FALSE(rectContainsPoint(QRectF(0, 0, 800, 600), QPointF(400, 600)));
    EXPECT_TRUE(rectContainsPoint(QRectF(0, 0, 800, 600), QPointF(0, 0)));
}

// A window server that answers from a fixed list and paints each window in
// its own grey.
struct FakeWindowServer : WindowServer {
    QList<WindowServerWindow> windows; // front to back
    mutable QList<QRect> asked;
    mutable QList<QList<quint32>> excluded;
    QList<WindowServerWindow> windowsBelowAll(const QList<quint32> &w) const override {
        excluded.append(w);
        return windows;
    }
    QImage imageOfRectBelowAll(const QRect &rect, const QList<quint32> &) const override {
        asked.append(rect);
        QImage image(rect.size(), QImage::Format_ARGB32_Premultiplied);
        image.fill(Qt::black);
        return image;
    }
    QList<QRect> screens() const override { return {QRect(0, 0, 1280, 900)}; }
    bool compositingManagerRunning() const override { return false; }
};

TEST(CaptureJob, SelectionImageIsTheSelectionWindowImageTheWholeWindowEnlargedTwice) {
    auto server = std::make_shared<FakeWindowServer>();
    server->windows = {{11, QRect(200, 600, 400, 300), false}, {12, QRect(0, 0, 1280, 900), false}};
    WindowCaptureRequest request;
    request.selection = QRectF(250, 50, 60, 40); // flipped: (250, 810..850)
    request.primaryScreenHeight = 900;
    request.excludedWindows = {7, 8};
    request.server = server;
    QSize recognised;
    request.recognize = [&](const QImage &image) {
        recognised = image.size();
        return std::optional<QString>(QStringLiteral("Ann Smith"));
    };
    QObject context;
    QImage screenshot;
    std::optional<QString> text;
    bool finished = false, previewFirst = false;
    startWindowCapture(request, &context,
                       {[&](const QImage &image) { screenshot = image; },
                        [&](const std::optional<ScreenText> &t, const CaptureTimings &timings) {
                            previewFirst = !screenshot.isNull();
                            text = t ? std::optional<QString>(t->text) : std::nullopt;
                            finished = true;
                            EXPECT_GE(timings.total, 0);
                        }});
    ASSERT_TRUE(kcWaitFor([&] { return finished; }, 20000));
    EXPECT_TRUE(previewFirst) << "the preview is posted before the continuation";
    EXPECT_EQ(screenshot.size(), QSize(60, 40));
    ASSERT_EQ(server->asked.size(), 2);
    EXPECT_EQ(server->asked[0], QRect(250, 810, 60, 40));
    EXPECT_EQ(server->asked[1], QRect(200, 600, 400, 300));
    EXPECT_EQ(recognised, QSize(800, 600));
    EXPECT_EQ(text, QStringLiteral("Ann Smith"));
    EXPECT_EQ(server->excluded.first(), (QList<quint32>{7, 8}));
}

// Where the desktop tells no windows, only the screen: the window under the
// selection is found in the screen's picture, and the window beside it is not
// read with it.
TEST(CaptureJob, OnlyTheScreenKnownTheWindowIsFoundInItsPicture) {
    struct PictureServer : FakeWindowServer {
        QImage picture;
        QImage imageOfRectBelowAll(const QRect &rect, const QList<quint32> &) const override {
            asked.append(rect);
            return picture.copy(rect);
        }
    };
    auto server = std::make_shared<PictureServer>();
    server->picture = QImage(1280, 900, QImage::Format_RGB32);
    server->picture.fill(QColor(40, 60, 100));
    {
        QPainter painter(&server->picture);
        for (const QRect &window : {QRect(100, 100, 500, 600), QRect(620, 100, 560, 600)}) {
            painter.fillRect(window, Qt::white);
            painter.setPen(QColor(0xB0, 0xB0, 0xB0));
            painter.drawRect(window.adjusted(0, 0, -1, -1));
            painter.setPen(Qt::black);
            for (int y = window.top() + 30; y < window.bottom() - 30; y += 28)
                painter.drawText(window.left() + 20, y, QStringLiteral("Smith, John  DOB 03/14/1961"));
        }
    }
    server->windows = {{0, QRect(0, 0, 1280, 900), false, true}};
    WindowCaptureRequest request;
    request.selection = QRectF(200, 550, 200, 50); // rows 300..350 from the top
    request.primaryScreenHeight = 900;
    request.server = server;
    QSize recognised;
    request.recognize = [&](const QImage &image) {
        recognised = image.size();
        return std::optional<QString>(QStringLiteral("Smith, John"));
    };
    const WindowCaptureImages images = captureImages(request);
    EXPECT_GE(images.windowRect.left(), 100);
    EXPECT_LE(images.windowRect.left(), 101);
    EXPECT_GE(images.windowRect.right(), 598);
    EXPECT_LE(images.windowRect.right(), 600);
    EXPECT_EQ(images.windowRect.height(), 900);
    EXPECT_EQ(images.windowImage.size(), images.windowRect.size().toSize());
    EXPECT_EQ(images.windowImage.pixelColor(0, 0), QColor(40, 60, 100));

    // A window the desktop does tell is taken as it is.
    server->windows = {{0, QRect(100, 100, 500, 600), false, false},
                       {0, QRect(0, 0, 1280, 900), false, true}};
    EXPECT_EQ(captureImages(request).windowRect, QRectF(100, 100, 500, 600));
}

// Recognition reads the window at twice its size in points, whatever the
// screen's scale: a 400x300-point window is read at 800x600 pixels, taken
// as they are on a screen of scale 2.
TEST(CaptureJob, RecognitionReadsTwiceThePointsOnScaledScreens) {
    for (const double ratio : {1.0, 1.5, 2.0}) {
        SCOPED_TRACE(ratio);
        auto server = std::make_shared<FakeWindowServer>();
        const QSize pixels = (QSizeF(400, 300) * ratio).toSize();
        server->windows = {{11, QRect(QPoint(0, 0), pixels), false}};
        WindowCaptureRequest request;
        request.selection = QRectF(100, 775, 50, 50); // centre (125, 100) flipped
        request.primaryScreenHeight = 900;
        request.pixelRatio = ratio;
        request.server = server;
        QSize recognised;
        request.recognize = [&](const QImage &image) {
            recognised = image.size();
            return std::optional<QString>();
        };
        QObject context;
        bool finished = false;
        CaptureTimings timings;
        startWindowCapture(request, &context,
                           {{}, [&](const std::optional<ScreenText> &, const CaptureTimings &t) {
                                timings = t;
                                finished = true;
                            }});
        ASSERT_TRUE(kcWaitFor([&] { return finished; }, 20000));
        ASSERT_EQ(server->asked.size(), 2);
        EXPECT_EQ(server->asked[1].size(), pixels) << "the capture keeps every device pixel";
        EXPECT_EQ(recognised, QSize(800, 600));
        EXPECT_GE(timings.enlarge, 0);
    }
}

TEST(CaptureJob, NoWindowUnderTheCentreMeansNoRecognition) {
    auto server = std::make_shared<FakeWindowServer>();
    server->windows = {{11, QRect(0, 0, 100, 100), false}};
    WindowCaptureRequest request;
    request.selection = QRectF(500, 100, 50, 50);
    request.primaryScreenHeight = 900;
    request.server = server;
    bool called = false, finished = false;
    request.recognize = [&](const QImage &) {
        called = true;
        return std::optional<QString>();
    };
    QImage screenshot;
    std::optional<QString> text = QStringLiteral("x");
    QObject context;
    startWindowCapture(request, &context,
                       {[&](const QImage &image) { screenshot = image; },
                        [&](const std::optional<ScreenText> &t, const CaptureTimings &) {
                            text = t ? std::optional<QString>(t->text) : std::nullopt;
                            finished = true;
                        }});
    ASSERT_TRUE(kcWaitFor([&] { return finished; }, 20000));
    EXPECT_FALSE(called);
    EXPECT_FALSE(text.has_value());
    EXPECT_EQ(screenshot.size(), QSize(50, 50)) << "the selection is still captured";
}

// A second screen right of a primary 1280x800 one, taller than it, and scaled
// twice: the selection lies below the primary's bottom edge (negative screen
// y), the images are taken in device pixels.
TEST(CaptureJob, ASelectionOnAScaledSecondScreenMapsToDevicePixels) {
    auto server = std::make_shared<FakeWindowServer>();
    server->windows = {{21, QRect(2600, 1600, 1000, 800), false}, {22, QRect(0, 0, 2560, 1600), false}};
    WindowCaptureRequest request;
    // Qt's global (1400, 900, 200, 100) on a primary screen 800 high.
    request.selection = screenRectFromGlobalRect(QRectF(1400, 900, 200, 100), 800);
    EXPECT_EQ(request.selection, QRectF(1400, -200, 200, 100));
    request.primaryScreenHeight = 800;
    request.pixelRatio = 2;
    request.server = server;
    const WindowCaptureImages images = captureImages(request);
    ASSERT_EQ(server->asked.size(), 2);
    EXPECT_EQ(server->asked[0], QRect(2800, 1800, 400, 200));
    EXPECT_EQ(images.windowRect, QRectF(1300, 800, 500, 400)) << "in points";
    EXPECT_EQ(server->asked[1], QRect(2600, 1600, 1000, 800));
    EXPECT_EQ(images.screenshot.size(), QSize(400, 200));
    EXPECT_EQ(images.screenshot.devicePixelRatio(), 2);
}

// A plain window of one colour.
class ColourWindow : public QWidget {
public:
    ColourWindow(const QColor &colour, Qt::WindowFlags flags = {})
        : QWidget(nullptr, flags), m_colour(colour) {}

protected:
    void paintEvent(QPaintEvent *) override { QPainter(this).fillRect(rect(), m_colour); }

private:
    QColor m_colour;
};

TEST(CaptureOnScreen, PanelNeverShowsAndTheWholeWindowIsTaken) {
    QString failure;
    std::shared_ptr<WindowServer> server = X11WindowServer::open(QString(), &failure);
    ASSERT_TRUE(server) << failure.toStdString();
    const QList<QScreen *> screens = QGuiApplication::screens();
    const QRect last = screens.last()->geometry();
    ColourWindow record(QColor(200, 0, 0));
    record.setGeometry(last.x() + 100, last.y() + 100, 400, 300);
    record.show();
    ASSERT_TRUE(waitExposed(&record));
    ColourWindow panel(QColor(0, 200, 0), Qt::Window | Qt::FramelessWindowHint | Qt::WindowStaysOnTopHint);
    panel.setGeometry(last.x() + 200, last.y() + 200, 52, 52);
    panel.show();
    ASSERT_TRUE(waitExposed(&panel));

    // The selection covers the panel; the centre lies in the record window.
    const double h0 = primaryScreenHeight();
    const QRectF global(last.x() + 150, last.y() + 150, 200, 150);
    WindowCaptureRequest request;
    request.selection = screenRectFromGlobalRect(global, h0);
    request.primaryScreenHeight = h0;
    request.excludedWindows = {quint32(panel.winId())};
    request.server = server;
    // On a scaled screen the images have the screen's full pixel resolution.
    const double ratio = screens.last()->devicePixelRatio();
    if (qEnvironmentVariableIsSet("QT_SCALE_FACTOR")) {
        ASSERT_EQ(ratio, qEnvironmentVariable("QT_SCALE_FACTOR").toDouble())
            << "the scaled run is not scaled";
    }
    request.pixelRatio = ratio;
    const QPoint probe = (QPointF(75, 75) * ratio).toPoint();
    WindowCaptureImages images;
    ASSERT_TRUE(kcWaitFor(
        [&] {
            images = captureImages(request);
            return !images.screenshot.isNull() && images.screenshot.pixel(probe) == qRgb(200, 0, 0);
        },
        10000));
    EXPECT_EQ(images.screenshot.size(), (QSizeF(200, 150) * ratio).toSize());
    for (int y = 0; y < images.screenshot.height(); y += 5)
        for (int x = 0; x < images.screenshot.width(); x += 5)
            ASSERT_NE(images.screenshot.pixel(x, y), qRgb(0, 200, 0)) << "panel pixel at " << x << "," << y;
    // The whole record window (with its frame under a window manager).
    const QRect frame = record.frameGeometry();
    EXPECT_EQ(images.windowRect, QRectF(frame));
    EXPECT_EQ(images.windowImage.size(), (QSizeF(frame.size()) * ratio).toSize());
    const QPoint inside = ((record.geometry().center() - frame.topLeft()) * ratio);
    EXPECT_EQ(images.windowImage.pixel(inside), qRgb(200, 0, 0));
}

} // namespace

namespace {
// A desktop window (the background with its icons, as a file manager draws
// it) of another client on the display.
class DesktopWindow {
public:
    DesktopWindow(const QRect &rect, quint32 pixel) {
        m_connection = xcb_connect(nullptr, nullptr);
        xcb_screen_t *screen = xcb_setup_roots_iterator(xcb_get_setup(m_connection)).data;
        m_window = xcb_generate_id(m_connection);
        const quint32 values[] = {pixel, 1};
        xcb_create_window(m_connection, XCB_COPY_FROM_PARENT, m_window, screen->root, rect.x(), rect.y(),
                          rect.width(), rect.height(), 0, XCB_WINDOW_CLASS_INPUT_OUTPUT, screen->root_visual,
                          XCB_CW_BACK_PIXEL | XCB_CW_OVERRIDE_REDIRECT, values);
        const xcb_atom_t type = atom("_NET_WM_WINDOW_TYPE"), desktop = atom("_NET_WM_WINDOW_TYPE_DESKTOP");
        xcb_change_property(m_connection, XCB_PROP_MODE_REPLACE, m_window, type, XCB_ATOM_ATOM, 32, 1,
                            &desktop);
        // Lowest of all, as desktops are.
        const quint32 below[] = {XCB_STACK_MODE_BELOW};
        xcb_configure_window(m_connection, m_window, XCB_CONFIG_WINDOW_STACK_MODE, below);
        xcb_map_window(m_connection, m_window);
        xcb_flush(m_connection);
    }
    ~DesktopWindow() {
        xcb_destroy_window(m_connection, m_window);
        xcb_disconnect(m_connection);
    }

private:
    xcb_atom_t atom(const char *name) {
        auto *reply = xcb_intern_atom_reply(
            m_connection, xcb_intern_atom(m_connection, 0, quint16(std::strlen(name)), name), nullptr);
        const xcb_atom_t result = reply ? reply->atom : xcb_atom_t(XCB_ATOM_NONE);
        std::free(reply);
        return result;
    }
    xcb_connection_t *m_connection = nullptr;
    xcb_window_t m_window = 0;
};

// A drag over a desktop icon: the selection is captured as the screen shows
// it, but the desktop is no window to read, so nobody is proposed.
TEST(CaptureOnScreen, ADragOverTheDesktopReadsNoWindow) {
    QString failure;
    std::shared_ptr<WindowServer> server = X11WindowServer::open(QString(), &failure);
    ASSERT_TRUE(server) << failure.toStdString();
    const QList<QScreen *> screens = QGuiApplication::screens();
    const QRect last = screens.last()->geometry();
    const double ratio = screens.last()->devicePixelRatio();
    const QRect desktopRect((QRectF(last.x(), last.y() + 420, 600, 300).topLeft() * ratio).toPoint(),
                            (QSizeF(600, 300) * ratio).toSize());
    DesktopWindow desktop(desktopRect, 0x3070b0);

    const double h0 = primaryScreenHeight();
    WindowCaptureRequest request;
    request.selection = screenRectFromGlobalRect(QRectF(last.x() + 100, last.y() + 500, 64, 64), h0);
    request.primaryScreenHeight = h0;
    request.pixelRatio = ratio;
    request.server = server;
    bool recognised = false;
    request.recognize = [&](const QImage &) {
        recognised = true;
        return std::optional<QString>(QStringLiteral("Ann Smith"));
    };
    WindowCaptureImages images;
    ASSERT_TRUE(kcWaitFor(
        [&] {
            images = captureImages(request);
            return !images.screenshot.isNull() && images.screenshot.pixel(10, 10) == qRgb(0x30, 0x70, 0xb0);
        },
        10000))
        << "the desktop shows in the selection";
    EXPECT_EQ(images.windowRect, QRectF(0, 0, 0, 0));
    EXPECT_TRUE(images.windowImage.isNull());

    QObject context;
    std::optional<QString> text = QStringLiteral("unset");
    bool finished = false;
    startWindowCapture(request, &context,
                       {[](const QImage &) {},
                        [&](const std::optional<ScreenText> &t, const CaptureTimings &) {
                            text = t ? std::optional<QString>(t->text) : std::nullopt;
                            finished = true;
                        }});
    ASSERT_TRUE(kcWaitFor([&] { return finished; }, 20000));
    EXPECT_FALSE(recognised);
    EXPECT_FALSE(text.has_value()) << "nothing to match: nobody is proposed";
}
} // namespace
