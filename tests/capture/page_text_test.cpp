// The page's own text of a captured window: the tree's words placed in the
// image read and laid out in lines and blocks as recognition lays them out,
// the areas the tree has no text for, the merge with recognition there, and
// the capture's choice between the sources with an accessibility reader
// double (the real reader is tested in tests/platform/accessibility).
#include "capture/page_text.h"
#include "capture/text_recognizer.h"
#include "capture/window_capture.h"

#include <QFont>
#include <QPainter>

#include <gtest/gtest.h>

#include <chrono>
#include <thread>

namespace {

ScreenWord word(const char *text, int x, int y, int w, int h = 20) {
    ScreenWord word;
    word.text = QString::fromUtf8(text);
    word.box = QRect(x, y, w, h);
    return word;
}

TEST(PageText, LinesAndBlocksAreFormedAsRecognitionFormsThem) {
    struct Case {
        const char *name;
        QList<ScreenWord> words;
        const char *text;
    } cases[] = {
        // Words of one row join in reading order, whatever order they came in.
        {"one row", {word("Zoë", 120, 10, 40), word("LEFÈVRE,", 10, 12, 100)}, "LEFÈVRE, Zoë"},
        // A banner split over two lines stays one block.
        {"banner over two lines",
         {word("LEFÈVRE,", 10, 10, 100, 30), word("Zoë", 120, 10, 40, 30), word("DOB", 10, 45, 40),
          word("05/17/2001", 60, 45, 90)},
         "LEFÈVRE, Zoë\nDOB 05/17/2001"},
        // A side panel beside the notes: two columns, two blocks, the left
        // one first; the rows of both columns are not joined.
        {"side panel",
         {word("Patient", 10, 10, 60), word("Seen", 300, 10, 40), word("today.", 345, 10, 50),
          word("Hélène", 10, 35, 60), word("Leroy", 75, 35, 50), word("Plan:", 300, 35, 40)},
         "Patient\nHélène Leroy\n\nSeen today.\nPlan:"},
        // A gap of several lines starts a new block.
        {"paragraphs apart",
         {word("Allergies:", 10, 10, 80), word("Plan:", 10, 100, 40)},
         "Allergies:\n\nPlan:"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        const ScreenText screen = laidOutScreenText(c.words, ScreenText());
        EXPECT_EQ(screen.text, QString::fromUtf8(c.text));
        for (qsizetype i = 1; i < screen.words.size(); ++i)
            EXPECT_LE(screen.words[i - 1].line, screen.words[i].line) << "reading order";
    }
}

// A browser's tree: the window at (100, 50) on screen, a banner landmark
// holding the top heading with the name, a label bound to a field, and a
// table with a column header.
AccessibleWindow browserTree() {
    AccessibleWindow tree;
    tree.status = AccessibleWindow::Status::Read;
    auto add = [&](AccessibleRole role, int parent, QRect box, QList<AccessibleWord> words = {}) {
        AccessibleElement e;
        e.role = role;
        e.parent = parent;
        e.box = box;
        e.words = words;
        tree.elements.append(e);
        return int(tree.elements.size() - 1);
    };
    add(AccessibleRole::Window, -1, QRect(100, 50, 600, 400));
    const int banner = add(AccessibleRole::Landmark, 0, QRect(100, 50, 600, 60));
    tree.elements[banner].landmark = QStringLiteral("banner");
    const int heading = add(AccessibleRole::Heading, banner, QRect(110, 55, 300, 30));
    tree.elements[heading].headingLevel = 1;
    add(AccessibleRole::Text, heading, QRect(110, 55, 200, 30),
        {{QStringLiteral("LEFÈVRE,"), QRect(110, 55, 120, 30)},
         {QStringLiteral("Zoë"), QRect(240, 55, 50, 30)}});
    const int label = add(AccessibleRole::Label, 0, QRect(110, 120, 100, 20),
                          {{QStringLiteral("DOB"), QRect(110, 120, 40, 20)}});
    const int field = add(AccessibleRole::Field, 0, QRect(220, 120, 120, 20),
                          {{QStringLiteral("05/17/2001"), QRect(222, 120, 100, 20)}});
    tree.elements[label].labelFor = {field};
    tree.elements[field].labelledBy = {label};
    const int table = add(AccessibleRole::Table, 0, QRect(110, 200, 300, 60));
    add(AccessibleRole::ColumnHeader, table, QRect(110, 200, 150, 20),
        {{QStringLiteral("Test"), QRect(112, 200, 40, 20)}});
    add(AccessibleRole::ColumnHeader, table, QRect(260, 200, 150, 20),
        {{QStringLiteral("Result"), QRect(262, 200, 60, 20)}});
    add(AccessibleRole::TableCell, table, QRect(260, 230, 150, 20),
        {{QStringLiteral("139"), QRect(262, 230, 30, 20)}});
    return tree;
}

TEST(PageText, TheTreeIsPlacedInTheImageReadWithItsStructure) {
    // The recognition input is the window at twice its size.
    const ScreenText page = screenTextFromPage(browserTree(), QRect(100, 50, 600, 400), 2.0, 800);
    EXPECT_EQ(page.source, TextSource::Page);
    EXPECT_EQ(page.imageHeight, 800);
    ASSERT_FALSE(page.words.isEmpty());
    EXPECT_EQ(page.words.first().text, QStringLiteral("LEFÈVRE,"));
    EXPECT_EQ(page.words.first().box, QRect(20, 10, 240, 60));
    EXPECT_EQ(page.words.first().confidence, 100);
    EXPECT_TRUE(page.inLandmark(0, u"banner"));
    EXPECT_EQ(page.headingLevel(0), 1);
    EXPECT_TRUE(page.text.startsWith(QStringLiteral("LEFÈVRE, Zoë\n")));
    qsizetype date = -1, result = -1;
    for (qsizetype i = 0; i < page.words.size(); ++i) {
        if (page.words[i].text == QLatin1String("05/17/2001"))
            date = i;
        if (page.words[i].text == QLatin1String("139"))
            result = i;
    }
    ASSERT_GE(date, 0);
    EXPECT_FALSE(page.inLandmark(date, u"banner"));
    const int field = page.enclosing(date, AccessibleRole::Field);
    ASSERT_GE(field, 0);
    ASSERT_EQ(page.elements[field].labelledBy.size(), 1);
    EXPECT_EQ(page.elements[page.elements[field].labelledBy.first()].role, AccessibleRole::Label);
    ASSERT_GE(result, 0);
    EXPECT_EQ(page.elements[page.enclosing(result, AccessibleRole::TableCell)].columnHeader,
              QStringLiteral("Result"));
}

QImage window(int width, int height) {
    QImage image(width, height, QImage::Format_RGB32);
    image.fill(Qt::white);
    return image;
}

void drawText(QImage &image, const QRect &box, const QString &text) {
    QPainter painter(&image);
    QFont font(QStringLiteral("DejaVu Sans"));
    font.setPixelSize(box.height() * 2 / 3);
    painter.setFont(font);
    painter.setPen(Qt::black);
    painter.drawText(box, Qt::AlignLeft | Qt::AlignVCenter, text);
}

TEST(PageText, AreasTheTreeHasNoTextForAreFoundWhereSomethingIsDrawn) {
    const QRect screen(100, 50, 600, 400);
    struct Case {
        const char *name;
        bool drawInTree;    // text drawn where the tree's words are
        bool drawElsewhere; // text drawn where the tree has nothing
        bool canvas;        // the tree says a canvas is at (150, 300, 300, 80)
        int areas;
    } cases[] = {
        {"the tree accounts for all the text", true, false, false, 0},
        {"text drawn where the tree has none", true, true, false, 1},
        {"a canvas the tree names", true, false, true, 1},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        AccessibleWindow tree = browserTree();
        QImage image = window(600, 400);
        if (c.drawInTree)
            drawText(image, QRect(10, 5, 200, 30), QStringLiteral("LEFÈVRE, Zoë"));
        if (c.drawElsewhere)
            drawText(image, QRect(320, 320, 260, 30), QStringLiteral("Ana García 1979"));
        if (c.canvas) {
            AccessibleElement canvas;
            canvas.role = AccessibleRole::Canvas;
            canvas.parent = 0;
            canvas.box = QRect(250, 350, 300, 80);
            tree.elements.append(canvas);
        }
        const QList<QRect> areas = areasWithoutPageText(tree, screen, image);
        EXPECT_EQ(areas.size(), c.areas);
        if (c.drawElsewhere && !areas.isEmpty()) {
            EXPECT_TRUE(areas.first().contains(QPoint(380, 335)));
        }
    }
}

TEST(PageText, RecognisedWordsAreTakenOnlyWhereThePageHasNone) {
    const ScreenText page =
        laidOutScreenText({word("LEFÈVRE,", 10, 10, 100), word("Zoë", 120, 10, 40)}, ScreenText());
    ScreenText recognised;
    recognised.words = {word("LEFEVRE,", 10, 10, 100), word("Ana", 20, 300, 40), word("García", 70, 300, 70)};
    const ScreenText merged = mergedWithRecognised(page, recognised, {QRect(0, 280, 300, 60)});
    EXPECT_EQ(merged.source, TextSource::PageAndRecognised);
    EXPECT_EQ(merged.text, QStringLiteral("LEFÈVRE, Zoë\n\nAna García"));
    EXPECT_EQ(merged.words.first().element, page.words.first().element);
    EXPECT_EQ(merged.words.last().element, -1);
    EXPECT_EQ(mergedWithRecognised(page, recognised, {}).source, page.source);
}

// A reader double: answers with a fixed tree, after a while.
struct FixedReader : AccessibilityReader {
    AccessibleWindow answer;
    int delayMs = 0;
    QList<AccessibleWindowRequest> asked;
    std::shared_future<AccessibleWindow> read(const AccessibleWindowRequest &request) override {
        asked.append(request);
        return std::async(std::launch::async,
                          [this] {
                              std::this_thread::sleep_for(std::chrono::milliseconds(delayMs));
                              return answer;
                          })
            .share();
    }
};

struct OneWindowServer : WindowServer {
    QImage picture;
    QList<WindowServerWindow> windowsBelowAll(const QList<quint32> &) const override {
        WindowServerWindow w;
        w.windowID = 5;
        w.bounds = QRect(100, 50, 600, 400);
        return {w};
    }
    qint64 windowProcess(quint32 window) const override { return window == 5 ? 4242 : 0; }
    QImage imageOfRectBelowAll(const QRect &rect, const QList<quint32> &) const override {
        return picture.copy(rect.translated(-100, -50));
    }
    QList<QRect> screens() const override { return {QRect(0, 0, 1280, 900)}; }
    bool compositingManagerRunning() const override { return false; }
};

TEST(PageText, ACaptureReadsThePageFirstAndRecognitionWhereItMust) {
    struct Case {
        const char *name;
        AccessibleWindow::Status status;
        bool treeText;
        bool canvasWithText; // a canvas in the window draws a name the tree lacks
        int delayMs;
        TextSource source;
        const char *pageTextStatus;
    } cases[] = {
        {"the page's text", AccessibleWindow::Status::Read, true, false, 0, TextSource::Page, "read"},
        {"no tree: recognition", AccessibleWindow::Status::NoApplication, false, false, 0,
         TextSource::Recognised, "no application"},
        {"an empty tree: recognition", AccessibleWindow::Status::Read, false, false, 0,
         TextSource::Recognised, "read"},
        {"a tree too slow: recognition", AccessibleWindow::Status::Read, true, false, 1500,
         TextSource::Recognised, "too slow"},
        {"a canvas: both", AccessibleWindow::Status::Read, true, true, 0, TextSource::PageAndRecognised,
         "read"},
    };
    auto recognizer = std::make_shared<TextRecognizer>(TextRecognitionSettings{}, 1);
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        auto server = std::make_shared<OneWindowServer>();
        server->picture = window(600, 400);
        drawText(server->picture, QRect(10, 5, 250, 30), QStringLiteral("LEFEVRE, Zoe"));
        auto reader = std::make_shared<FixedReader>();
        reader->answer = c.treeText ? browserTree() : AccessibleWindow{};
        reader->answer.status = c.status;
        reader->delayMs = c.delayMs;
        if (c.canvasWithText) {
            AccessibleElement canvas;
            canvas.role = AccessibleRole::Canvas;
            canvas.parent = 0;
            canvas.box = QRect(150, 350, 500, 80);
            reader->answer.elements.append(canvas);
            drawText(server->picture, QRect(60, 310, 400, 40), QStringLiteral("Ana Garcia Marquez"));
        }
        WindowCaptureRequest request;
        request.selection = QRectF(200, 800, 50, 50); // flipped: centre (225, 75)
        request.primaryScreenHeight = 900;
        request.server = server;
        request.recognizer = recognizer;
        request.accessibility = reader;
        CaptureTimings timings;
        const qint64 started = std::chrono::duration_cast<std::chrono::milliseconds>(
                                   std::chrono::steady_clock::now().time_since_epoch())
                                   .count();
        std::shared_future<AccessibleWindow> tree;
        WindowCaptureImages images = captureImages(request, &timings, [&](const WindowCaptureImages &found) {
            tree = startPageTextRead(request, found);
        });
        ASSERT_EQ(reader->asked.size(), 1);
        EXPECT_EQ(reader->asked.first().pid, 4242);
        EXPECT_EQ(reader->asked.first().windowBounds, QRect(100, 50, 600, 400));
        const std::optional<ScreenText> screen = readWindowText(request, images, tree, started, &timings);
        ASSERT_TRUE(screen);
        EXPECT_EQ(screen->source, c.source);
        EXPECT_EQ(timings.pageTextStatus, QString::fromUtf8(c.pageTextStatus));
        if (c.source != TextSource::Recognised) {
            EXPECT_TRUE(screen->text.startsWith(QStringLiteral("LEFÈVRE, Zoë"))) << qPrintable(screen->text);
            EXPECT_EQ(timings.recognition >= 0, c.canvasWithText)
                << "recognition only for what the tree lacks";
        } else {
            EXPECT_TRUE(screen->text.contains(QStringLiteral("LEFEVRE"))) << qPrintable(screen->text);
        }
        if (c.canvasWithText) {
            EXPECT_TRUE(screen->text.contains(QStringLiteral("Garcia"))) << qPrintable(screen->text);
        }
    }
}

} // namespace
