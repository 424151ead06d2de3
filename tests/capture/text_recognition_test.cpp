// Text recognition on rendered window images, through the whole path a
// capture takes: window image, enlarged 2x, PNG, in-memory stream,
// Leptonica, Tesseract; then the patient matching on the result.

#include "capture/identification/patient_identification.h"
#include "capture/image_preparation.h"
#include "capture/patient_matching.h"
#include "capture/text_recognition.h"
#include "capture/text_recognizer.h"
#include "capture/window_region.h"
#include "window_rendering.h"

#include <QFile>
#include <QFileInfo>
#include <QFontMetrics>
#include <QLinearGradient>
#include <QPainter>
#include <QTemporaryDir>
#include <dlfcn.h>
#include <gtest/gtest.h>
#include <leptonica/allheaders.h>
#include <thread>

namespace {

std::optional<QString> recognise(const QImage &window, const TextRecognitionSettings &settings = {}) {
    return wordsFromImage(resizeImage(window, window.size() * 2), settings);
}

struct Case {
    QString family;
    int pixelSize;
};

// Several fonts and sizes, the name shown both ways; the right patient must
// be proposed among 24 with similar names.
TEST(TextRecognition, ProposesThePatientShownInTheWindow) {
    const QList<Case> cases = {{"DejaVu Sans", 13}, {"DejaVu Sans", 18},      {"DejaVu Serif", 14},
                               {"Lato", 15},        {"DejaVu Sans Mono", 13}, {"DejaVu Sans Condensed", 16}};
    const QVariantList patients = renderedRecordPatients();
    const QList<QPair<QString, QString>> shown = {{"Smith, John", "John Smith"},
                                                  {"Marta Rossi", "Marta Rossi"},
                                                  {"SMYTH, JOAN", "Joan Smyth"},
                                                  {"Emily Brown", "Emily Brown"}};
    int index = 0;
    for (const Case &c : cases) {
        for (int form = 0; form < 2; ++form) {
            const auto &[onScreen, expected] = shown[(index++) % shown.size()];
            SCOPED_TRACE(
                qPrintable(QStringLiteral("%1 %2px \"%3\"").arg(c.family).arg(c.pixelSize).arg(onScreen)));
            const std::optional<QString> text =
                recognise(renderRecordWindow(c.family, c.pixelSize, onScreen));
            ASSERT_TRUE(text.has_value());
            const std::optional<QVariantMap> proposed = determinePatientFromList(patients, text);
            ASSERT_TRUE(proposed.has_value());
            EXPECT_EQ(proposed->value("name").toString(), expected) << "recognised: " << qPrintable(*text);
            // The identification, on top, proposes the same patient.
            const PatientIdentification identification = identifyPatient(patients, text);
            ASSERT_TRUE(identification.proposed)
                << qPrintable(identificationReasonText(identification.reason));
            EXPECT_EQ(patients[*identification.proposed].toMap().value("name").toString(), expected);
        }
    }
}

// Light text on dark grounds, a coloured bar and a badge on the name's own
// line, is read as dark text on light is: the engine would drop both.
TEST(TextRecognition, LightTextOnDarkGroundsIsRead) {
    QImage window(700, 110, QImage::Format_RGB32);
    window.fill(QColor(0xEE, 0xF3, 0xF8));
    QPainter painter(&window);
    painter.fillRect(0, 0, 700, 34, QColor(0x1F, 0x4E, 0x79));
    QFont font(QStringLiteral("DejaVu Sans"));
    font.setPixelSize(14);
    painter.setFont(font);
    painter.setPen(Qt::white);
    painter.drawText(QRect(12, 0, 680, 34), Qt::AlignVCenter,
                     QStringLiteral("Northside Family Clinic   Charts"));
    QFont name = font;
    name.setPixelSize(22);
    name.setBold(true);
    painter.setFont(name);
    painter.setPen(QColor(0x1D, 0x27, 0x33));
    const QString shown = QStringLiteral("WALSH, KIERAN");
    painter.drawText(QRect(12, 50, 400, 40), Qt::AlignVCenter, shown);
    const int badge = 12 + QFontMetrics(name).horizontalAdvance(shown) + 10;
    QFont small = font;
    small.setBold(true);
    painter.fillRect(badge, 58, 100, 24, QColor(0x33, 0x33, 0x33));
    painter.setFont(small);
    painter.setPen(Qt::white);
    painter.drawText(QRect(badge, 58, 100, 24), Qt::AlignCenter, QStringLiteral("DECEASED"));
    painter.end();
    const std::optional<QString> text = wordsFromImage(recognitionInput(window, 1.0));
    ASSERT_TRUE(text.has_value());
    EXPECT_TRUE(text->contains(QStringLiteral("Northside Family Clinic"))) << qPrintable(*text);
    EXPECT_TRUE(text->toLower().contains(QStringLiteral("walsh, kieran deceased"))) << qPrintable(*text);
}

TEST(TextRecognition, WordsComeBackSeparatedAndWithinTheCharacterSet) {
    const std::optional<QString> text = recognise(renderRecordWindow("DejaVu Sans", 16, "Smith, John"));
    ASSERT_TRUE(text.has_value());
    EXPECT_TRUE(text->contains("Smith, John")) << qPrintable(*text);
    EXPECT_TRUE(text->contains('\n'));
    const QString allowed = QString::fromLatin1(kRecognitionWhitelist) + "\n";
    for (QChar c : *text)
        EXPECT_TRUE(allowed.contains(c)) << "unexpected character U+" << std::hex << int(c.unicode());
    // The date is on screen as 03/14/1961 and comes back with its slashes.
    EXPECT_TRUE(text->contains("03/14/1961")) << qPrintable(*text);
}

TEST(TextRecognition, ImagesWithoutTextOrPixels) {
    QImage blank(400, 200, QImage::Format_RGB32);
    blank.fill(Qt::white);
    const std::optional<QString> fromBlank = recognise(blank);
    EXPECT_TRUE(!fromBlank || fromBlank->trimmed().isEmpty());

    QString failure;
    EXPECT_FALSE(wordsFromImage(QImage(), {}, &failure));
    EXPECT_FALSE(failure.isEmpty());
    EXPECT_FALSE(wordsFromImage(QImage(0, 10, QImage::Format_RGB32)));
    EXPECT_TRUE(resizeImage(QImage(), QSize(10, 10)).isNull());
}

TEST(TextRecognition, MissingTrainedDataGivesNone) {
    QTemporaryDir empty;
    ASSERT_TRUE(empty.isValid());
    TextRecognitionSettings settings;
    settings.dataPath = empty.path();
    QString failure;
    EXPECT_FALSE(wordsFromImage(renderRecordWindow("DejaVu Sans", 16, "Smith, John"), settings, &failure));
    EXPECT_TRUE(failure.contains(empty.path())) << qPrintable(failure);

    // A file that is not trained data at all.
    QFile bogus(empty.filePath("eng.traineddata"));
    ASSERT_TRUE(bogus.open(QIODevice::WriteOnly));
    bogus.write("not a model");
    bogus.close();
    EXPECT_FALSE(wordsFromImage(renderRecordWindow("DejaVu Sans", 16, "Smith, John"), settings));
}

TEST(TextRecognition, TrainedDataLookup) {
    qputenv("KELVRA_TESSDATA", "/somewhere/tessdata");
    EXPECT_EQ(recognitionDataPath(), "/somewhere/tessdata");
    qunsetenv("KELVRA_TESSDATA");
    EXPECT_TRUE(QFileInfo(recognitionDataPath() + "/eng.traineddata").isFile())
        << qPrintable(recognitionDataPath());
}

// The same text from another thread, and with the engine's own threading
// left alone; the calling thread's OpenMP settings are restored afterwards.
TEST(TextRecognition, SameTextOnAnyThreadAndThreading) {
    const QImage window = renderRecordWindow("DejaVu Serif", 15, "Rossi, Marta", QSize(520, 160));
    const std::optional<QString> here = recognise(window);
    ASSERT_TRUE(here.has_value());
    std::optional<QString> there;
    std::thread worker([&] { there = recognise(window); });
    worker.join();
    EXPECT_EQ(here, there);

    TextRecognitionSettings threaded;
    threaded.singleThreaded = false;
    EXPECT_EQ(recognise(window, threaded), here);
}

// The window read at twice its size in points: on a screen of scale 2 the
// captured image is read as it is; the patient is still found at every scale,
// with the image read in bands on two engines.
TEST(TextRecognition, ProposesThePatientAtEveryScreenScale) {
    const QList<Case> cases = {
        {"DejaVu Sans", 13}, {"DejaVu Serif", 14}, {"Lato", 15}, {"DejaVu Sans Mono", 13}};
    const QVariantList patients = renderedRecordPatients();
    const QList<QPair<QString, QString>> shown = {
        {"Smith, John", "John Smith"}, {"SMYTH, JOAN", "Joan Smyth"}, {"Rossi, Marta", "Marta Rossi"}};
    TextRecognizer recognizer({}, 2);
    int index = 0;
    for (const double scale : {1.0, 1.5, 2.0}) {
        for (const Case &c : cases) {
            const auto &[onScreen, expected] = shown[(index++) % shown.size()];
            SCOPED_TRACE(qPrintable(QStringLiteral("%1 %2px \"%3\" at scale %4")
                                        .arg(c.family)
                                        .arg(c.pixelSize)
                                        .arg(onScreen)
                                        .arg(scale)));
            const QImage window = renderRecordWindow(c.family, c.pixelSize, onScreen, QSize(720, 260), scale);
            const QImage input = recognitionInput(window, scale);
            EXPECT_EQ(input.size(), QSize(1440, 520));
            const std::optional<QString> text = recognizer.read(input);
            ASSERT_TRUE(text.has_value());
            const std::optional<QVariantMap> proposed = determinePatientFromList(patients, text);
            ASSERT_TRUE(proposed.has_value());
            EXPECT_EQ(proposed->value("name").toString(), expected) << "recognised: " << qPrintable(*text);
        }
    }
}

TEST(TextRecognition, RecognitionSizeIsTwiceThePoints) {
    EXPECT_EQ(recognitionSize(QSize(400, 300), 1.0), QSize(800, 600));
    EXPECT_EQ(recognitionSize(QSize(800, 600), 2.0), QSize(800, 600));
    EXPECT_EQ(recognitionSize(QSize(600, 450), 1.5), QSize(800, 600));
    EXPECT_EQ(recognitionSize(QSize(1201, 3), 3.0), QSize(801, 2));
    EXPECT_EQ(recognitionSize(QSize(400, 300), 0.0), QSize(800, 600)) << "no scale reads as scale 1";
    EXPECT_TRUE(recognitionSize(QSize(0, 300), 1.0).isEmpty());

    // At scale 2 the capture itself is read: the same pixels, not copied, and
    // without the alpha channel a screen capture does not use.
    QImage captured(800, 600, QImage::Format_ARGB32_Premultiplied);
    captured.fill(QColor(230, 235, 240));
    const uchar *pixels = captured.constBits();
    const QImage input = recognitionInput(std::move(captured), 2.0);
    EXPECT_EQ(input.size(), QSize(800, 600));
    EXPECT_EQ(input.constBits(), pixels);
    EXPECT_EQ(input.format(), QImage::Format_RGB32);
    EXPECT_EQ(input.pixel(5, 5), qRgb(230, 235, 240));
    // A translucent image keeps its alpha.
    QImage translucent(800, 600, QImage::Format_ARGB32_Premultiplied);
    translucent.fill(Qt::transparent);
    EXPECT_TRUE(recognitionInput(translucent, 2.0).hasAlphaChannel());
    EXPECT_EQ(recognitionInput(translucent, 1.0).size(), QSize(1600, 1200));
    EXPECT_TRUE(recognitionInput(QImage(), 1.0).isNull());
}

// Stored (level 0) and default-level PNG bytes decode to the same pixels.
TEST(TextRecognition, EveryPngLevelDecodesToTheSamePixels) {
    QImage image = renderRecordWindow("DejaVu Sans", 14, "Smith, John", QSize(300, 120));
    QByteArray stored = pngDataFromImage(image, kFastestPngLevel);
    QByteArray compressed = pngDataFromImage(image, kDefaultPngLevel);
    ASSERT_FALSE(stored.isEmpty());
    ASSERT_FALSE(compressed.isEmpty());
    EXPECT_GT(stored.size(), compressed.size());
    Pix *a = pixFromPngData(stored);
    Pix *b = pixFromPngData(compressed);
    ASSERT_TRUE(a && b);
    l_int32 same = 0;
    pixEqual(a, b, &same);
    EXPECT_TRUE(same);
    EXPECT_EQ(int(pixGetWidth(a)), 300);
    pixDestroy(&a);
    pixDestroy(&b);
}

// True when row `y` of `image` is all of one colour.
bool rowFreeOfText(const QImage &image, int y) {
    const QRgb first = image.pixel(0, y);
    for (int x = 0; x < image.width(); ++x) {
        if (image.pixel(x, y) != first)
            return false;
    }
    return true;
}

TEST(TextBands, CutsFallBetweenLinesOfText) {
    const QImage dense = renderDenseWindow(QSize(800, 600));
    const QList<int> cuts = bandCuts(dense, 2);
    ASSERT_EQ(cuts.size(), 1);
    // Near the middle of the text, in a row without any ink.
    EXPECT_GT(cuts[0], dense.height() * 3 / 10);
    EXPECT_LT(cuts[0], dense.height() * 7 / 10);
    EXPECT_TRUE(rowFreeOfText(dense, cuts[0]));
    const QList<int> four = bandCuts(dense, 4);
    ASSERT_EQ(four.size(), 3);
    for (qsizetype i = 0; i < four.size(); ++i) {
        EXPECT_TRUE(rowFreeOfText(dense, four[i]));
        if (i > 0) {
            EXPECT_GT(four[i], four[i - 1]);
        }
    }
    EXPECT_TRUE(bandCuts(dense, 1).isEmpty());
}

TEST(TextBands, VerticalRulesDoNotPreventCutsButGlyphsDo) {
    // Lines of text between a side bar and a scroll bar: no row is of one
    // colour, yet the rows between the lines can be cut.
    const QImage record = renderFullRecordWindow(QSize(900, 700), 1.0, "Smith, John");
    const QList<int> cuts = bandCuts(record, 2);
    ASSERT_EQ(cuts.size(), 1);
    // The cut row changes colour only at the bars' edges.
    int changes = 0;
    for (int x = 1; x < record.width(); ++x)
        changes += record.pixel(x, cuts[0]) != record.pixel(x - 1, cuts[0]);
    EXPECT_LE(changes, 4) << "row " << cuts[0];

    // Big glyphs with long stems and nothing else: a row through the stems
    // alone (between the cap line and the x-height) is never a cut.
    QImage tall(900, 400, QImage::Format_RGB32);
    tall.fill(Qt::white);
    {
        QPainter painter(&tall);
        QFont font(QStringLiteral("DejaVu Sans"));
        font.setPixelSize(70);
        painter.setFont(font);
        painter.setPen(Qt::black);
        painter.drawText(40, 120, QStringLiteral("Illinois Hill"));
        painter.drawText(40, 300, QStringLiteral("Lilly Bell"));
    }
    for (int bands = 2; bands <= 6; ++bands) {
        for (int cut : bandCuts(tall, bands)) {
            EXPECT_TRUE(rowFreeOfText(tall, cut)) << "cut at row " << cut;
            EXPECT_TRUE(cut < 40 || (cut > 140 && cut < 220) || cut > 320) << "cut at row " << cut;
        }
    }

    // Noise (a photograph) is never cut through; a blank image has no cuts.
    QImage photo(600, 300, QImage::Format_RGB32);
    for (int y = 0; y < photo.height(); ++y)
        for (int x = 0; x < photo.width(); ++x)
            photo.setPixel(x, y, qRgb((x * 37 + y * 91) % 256, (x * y) % 256, (x + y) % 256));
    EXPECT_TRUE(bandCuts(photo, 4).isEmpty());
    QImage blank(600, 300, QImage::Format_RGB32);
    blank.fill(Qt::white);
    EXPECT_TRUE(bandCuts(blank, 4).isEmpty());
}

// The top band ends at the first gap below its share of the rows, under the
// record's banner; the engine that read it reads the last band, so the bands
// after it are cut to even out the two engines' detail.
TEST(TextBands, TheTopBandHoldsTheBannerAndTheRestEvensOutTheEngines) {
    const QImage record = recognitionInput(renderFullRecordWindow(QSize(1280, 800), 1.0, "Smith, John"), 1.0);
    const QList<int> cuts = leadingBandCuts(record, 2, 1.0 / 6.0);
    ASSERT_EQ(cuts.size(), 2);
    EXPECT_GE(cuts[0], record.height() / 6);
    EXPECT_LE(cuts[0], record.height() / 3);
    EXPECT_GT(cuts[1], cuts[0]);
    // The banner (name at 44-76 points, date of birth below it) lies above
    // the first cut, at twice the points.
    EXPECT_GT(cuts[0], 2 * 136);
    // Detail per engine: the top and last bands against the middle one.
    const auto edges = [&](int top, int bottom) {
        qint64 n = 0;
        for (int y = top; y < bottom; ++y)
            for (int x = 1; x < record.width(); ++x)
                n += record.pixel(x, y) != record.pixel(x - 1, y);
        return double(n);
    };
    const double first = edges(0, cuts[0]) + edges(cuts[1], record.height());
    const double second = edges(cuts[0], cuts[1]);
    EXPECT_GT(first / second, 0.6);
    EXPECT_LT(first / second, 1.6);

    // Without a gap near the share: the plain cuts.
    QImage photo(600, 300, QImage::Format_RGB32);
    for (int y = 0; y < photo.height(); ++y)
        for (int x = 0; x < photo.width(); ++x)
            photo.setPixel(x, y, qRgb((x * 37 + y * 91) % 256, (x * y) % 256, (x + y) % 256));
    EXPECT_TRUE(leadingBandCuts(photo, 2, 1.0 / 6.0).isEmpty());
    const QImage dense = renderDenseWindow(QSize(800, 600));
    for (int cut : leadingBandCuts(dense, 3, 1.0 / 6.0))
        EXPECT_TRUE(rowFreeOfText(dense, cut)) << "cut at row " << cut;
}

// Without window geometry, the window around a selection is found at the
// window edges left and right of it; lines of text never stop the search.
TEST(WindowRegion, GrowsToTheWindowEdgesNotThroughText) {
    QImage screen(1200, 700, QImage::Format_RGB32);
    {
        QPainter painter(&screen);
        QLinearGradient wallpaper(0, 0, 1200, 700);
        wallpaper.setColorAt(0, QColor(40, 60, 100));
        wallpaper.setColorAt(1, QColor(120, 60, 90));
        painter.fillRect(screen.rect(), wallpaper);
        painter.drawImage(QPoint(100, 40), renderFullRecordWindow(QSize(600, 600), 1.0, "Smith, John"));
        painter.drawImage(QPoint(700, 40), renderDenseWindow(QSize(450, 600)));
        painter.setPen(QColor(0xB0, 0xB0, 0xB0));
        painter.drawRect(QRect(100, 40, 600, 600).adjusted(0, 0, -1, -1));
        painter.drawRect(QRect(700, 40, 450, 600).adjusted(0, 0, -1, -1));
    }
    // A selection over one line of the record's notes, between its side bar
    // and its scroll bar.
    const QRect grown = grownWindowRegion(screen, QRect(340, 420, 200, 20));
    EXPECT_GE(grown.left(), 100);
    EXPECT_LE(grown.left(), 101);
    EXPECT_GE(grown.right(), 698);
    EXPECT_LE(grown.right(), 700);
    EXPECT_EQ(grown.top(), 0);
    EXPECT_EQ(grown.height(), screen.height());
    // In the schedule beside it: from its left border to the screen's edge
    // past its right border only when nothing stops it there.
    const QRect schedule = grownWindowRegion(screen, QRect(760, 300, 120, 18));
    EXPECT_GE(schedule.left(), 700);
    EXPECT_LE(schedule.left(), 701);
    EXPECT_LE(schedule.right(), 1150);

    // Text alone, wall to wall: the whole width.
    const QImage dense = renderDenseWindow(QSize(900, 500));
    EXPECT_EQ(grownWindowRegion(dense, QRect(300, 200, 80, 16)), dense.rect());
    EXPECT_TRUE(grownWindowRegion(dense, QRect(1000, 600, 10, 10)).isEmpty());
    EXPECT_TRUE(grownWindowRegion(QImage(), QRect(0, 0, 10, 10)).isEmpty());
}

TEST(TextBands, BandsShareThePixels) {
    const QImage dense = renderDenseWindow(QSize(400, 300));
    const QImage band = bandOf(dense, 100, 160);
    EXPECT_EQ(band.size(), QSize(400, 60));
    EXPECT_EQ(band.constBits(), dense.constScanLine(100));
    EXPECT_EQ(band.pixel(7, 3), dense.pixel(7, 103));
    EXPECT_TRUE(bandOf(dense, 160, 100).isNull());
    EXPECT_EQ(bandOf(dense, -5, 1000).size(), dense.size());
}

// Read in bands on two engines, a dense window gives the words that reading
// it whole gives, in the same order, and the same proposal.
TEST(TextRecognizer, BandsReadTheWordsOfTheWholeImage) {
    TextRecognizer recognizer({}, 2);
    ASSERT_EQ(recognizer.engineCount(), 2);
    const QImage window = renderFullRecordWindow(QSize(1000, 640), 1.0, "Smith, John");
    const QImage input = recognitionInput(window, 1.0);
    RecognitionTimings banded;
    const std::optional<QString> inBands = recognizer.read(input, nullptr, &banded);
    ASSERT_TRUE(inBands.has_value());
    EXPECT_EQ(banded.bands, 2);
    EXPECT_GE(banded.engineStart, 0);
    EXPECT_GE(banded.recognition, 0);
    RecognitionTimings wholeTimings;
    const std::optional<QString> whole = recognizer.read(input, nullptr, &wholeTimings, 1);
    ASSERT_TRUE(whole.has_value());
    EXPECT_EQ(wholeTimings.bands, 1);
    const QStringList a = inBands->simplified().split(' '), b = whole->simplified().split(' ');
    // Word spacing may differ here and there (the engine judges spaces per
    // block); the words in order may not differ by more than a few.
    int same = 0;
    for (qsizetype i = 0, j = 0; i < a.size() && j < b.size(); ++i, ++j)
        same += a[i] == b[j];
    EXPECT_GE(same, b.size() * 9 / 10) << "banded:\n"
                                       << qPrintable(*inBands) << "\nwhole:\n"
                                       << qPrintable(*whole);
    const QVariantList patients = renderedRecordPatients();
    EXPECT_EQ(determinePatientFromList(patients, inBands), determinePatientFromList(patients, whole));
    EXPECT_EQ(determinePatientFromList(patients, inBands)->value("name").toString(), "John Smith");
}

// Asked for the top early, the recognizer hands over the banner's text while
// the rest is still being read, and the whole text still begins with it.
TEST(TextRecognizer, TheTopBandsTextComesFirstAndStartsTheWholeText) {
    TextRecognizer recognizer({}, 2);
    const QImage input = recognitionInput(renderFullRecordWindow(QSize(1000, 640), 1.0, "Smith, John"), 1.0);
    std::mutex lock;
    QStringList tops;
    std::atomic<bool> readReturned{false};
    bool beforeReturn = false;
    RecognitionTimings timings;
    ScreenText screen;
    const std::optional<QString> text = recognizer.read(
        input, nullptr, &timings, 0,
        [&](const ScreenText &top) {
            std::lock_guard guard(lock);
            tops << top.text;
            beforeReturn = !readReturned;
        },
        &screen);
    readReturned = true;
    ASSERT_TRUE(text.has_value());
    EXPECT_EQ(timings.bands, 3);
    ASSERT_EQ(tops.size(), 1);
    EXPECT_TRUE(beforeReturn);
    EXPECT_TRUE(text->startsWith(tops.first()));
    const PatientIdentification early = identifyPatient(renderedRecordPatients(), tops.first());
    ASSERT_TRUE(early.proposed) << qPrintable(tops.first());
    EXPECT_TRUE(early.dobOnScreen) << qPrintable(tops.first());
    EXPECT_EQ(renderedRecordPatients().at(*early.proposed).toMap().value("name"), "John Smith");
    // The words with their places, the bands joined: the same words as the
    // text, in order, inside the image, lines and blocks numbered on.
    QStringList words;
    for (const ScreenWord &word : screen.words) {
        words << word.text;
        EXPECT_TRUE(QRect(QPoint(), input.size()).contains(word.box)) << qPrintable(word.text);
        EXPECT_GE(word.confidence, 0);
    }
    EXPECT_EQ(words.join(' '), text->simplified());
    EXPECT_EQ(screen.imageHeight, input.height());
    EXPECT_GT(screen.topBandBottom, 0);
    for (qsizetype i = 1; i < screen.words.size(); ++i) {
        EXPECT_GE(screen.words[i].line, screen.words[i - 1].line);
        EXPECT_GE(screen.words[i].block, screen.words[i - 1].block);
    }
    const auto smith = std::find_if(screen.words.begin(), screen.words.end(),
                                    [](const ScreenWord &w) { return w.text.startsWith("Smith"); });
    ASSERT_NE(smith, screen.words.end());
    EXPECT_LT(smith->box.bottom(), screen.topBandBottom) << "the banner stands in the top band";
    EXPECT_GT(screen.words.last().box.top(), screen.topBandBottom) << "boxes of later bands moved down";

    // Read whole (asked for, or too small to band): no early text.
    tops.clear();
    ASSERT_TRUE(
        recognizer.read(input, nullptr, nullptr, 1, [&](const ScreenText &top) { tops << top.text; }));
    const QImage small =
        recognitionInput(renderRecordWindow("DejaVu Sans", 16, "Smith, John", QSize(300, 100)), 1.0);
    ASSERT_TRUE(
        recognizer.read(small, nullptr, nullptr, 0, [&](const ScreenText &top) { tops << top.text; }));
    EXPECT_TRUE(tops.isEmpty());
}

TEST(TextRecognizer, FailuresAndOneOffEngines) {
    QTemporaryDir empty;
    ASSERT_TRUE(empty.isValid());
    TextRecognitionSettings missing;
    missing.dataPath = empty.path();
    {
        TextRecognizer recognizer(missing, 2);
        const QImage window = renderDenseWindow(QSize(800, 500));
        for (int attempt = 0; attempt < 2; ++attempt) {
            QString failure;
            EXPECT_FALSE(recognizer.read(recognitionInput(window, 1.0), &failure));
            EXPECT_TRUE(failure.contains(empty.path())) << qPrintable(failure);
        }
        // More bands than engines, the top first: every band fails, none
        // is left waiting, and no early text is handed over.
        QString failure;
        bool early = false;
        EXPECT_FALSE(recognizer.read(recognitionInput(window, 1.0), &failure, nullptr, 2,
                                     [&](const ScreenText &) { early = true; }));
        EXPECT_TRUE(failure.contains(empty.path())) << qPrintable(failure);
        EXPECT_FALSE(early);
        failure.clear();
        EXPECT_FALSE(recognizer.read(QImage(), &failure));
        EXPECT_FALSE(failure.isEmpty());
    }
    {
        TextRecognizer once({}, 1, TextRecognizer::Engines::OneRead);
        const QImage window = renderRecordWindow("DejaVu Sans", 16, "Smith, John", QSize(300, 100));
        const std::optional<QString> text = once.read(recognitionInput(window, 1.0));
        ASSERT_TRUE(text.has_value());
        EXPECT_TRUE(text->contains("Smith")) << qPrintable(*text);
        QString failure;
        EXPECT_FALSE(once.read(recognitionInput(window, 1.0), &failure)) << "a one-off engine reads once";
        EXPECT_FALSE(failure.isEmpty());
    }
    // Made and gone again while the engines are still loading.
    for (int i = 0; i < 3; ++i) {
        const TextRecognizer loading({}, 2);
        EXPECT_EQ(loading.engineCount(), 2);
    }
}

// Reads from several threads at once wait for each other; every one gets its
// own window's text, and a fresh engine is ready again after each.
TEST(TextRecognizer, ConcurrentReadsEachGetTheirText) {
    auto recognizer = std::make_shared<TextRecognizer>(TextRecognitionSettings{}, 2);
    const QList<QPair<QString, QString>> shown = {
        {"Smith, John", "Smith"}, {"Rossi, Marta", "Rossi"}, {"Novak, Peter", "Novak"}};
    std::vector<std::optional<QString>> texts(size_t(shown.size()));
    std::vector<std::thread> threads;
    for (qsizetype i = 0; i < shown.size(); ++i) {
        threads.emplace_back([&, i] {
            const QImage window = renderRecordWindow("DejaVu Sans", 16, shown[i].first, QSize(400, 120));
            texts[size_t(i)] = recognizer->read(recognitionInput(window, 1.0));
        });
    }
    for (std::thread &t : threads)
        t.join();
    for (qsizetype i = 0; i < shown.size(); ++i) {
        ASSERT_TRUE(texts[size_t(i)].has_value());
        EXPECT_TRUE(texts[size_t(i)]->contains(shown[i].second)) << qPrintable(*texts[size_t(i)]);
    }
    EXPECT_TRUE(recognizer->waitUntilReady(120000));
}

// The OpenMP runtime keeps the nesting limit per thread: an engine's thread
// must set its own, also while another thread's engine holds a limit (two
// bands read at once). Without it the second engine starts a team of
// threads on every parallel region, and reading takes several times longer.
TEST(TextRecognition, EveryEngineThreadKeepsToItself) {
    using GetLevels = int (*)();
    const auto getLevels = reinterpret_cast<GetLevels>(dlsym(RTLD_DEFAULT, "omp_get_max_active_levels"));
    if (!getLevels)
        GTEST_SKIP() << "the engine is built without OpenMP";
    const int outside = getLevels();
    {
        const EngineThreadLimit first(true);
        EXPECT_EQ(getLevels(), 0);
        int inOther = -1, afterOther = -1;
        std::thread other([&] {
            const int before = getLevels();
            {
                const EngineThreadLimit second(true);
                inOther = getLevels();
                const EngineThreadLimit nested(true);
            }
            afterOther = getLevels() == before ? 1 : 0;
        });
        other.join();
        EXPECT_EQ(inOther, 0) << "a second thread's engine must be limited as well";
        EXPECT_EQ(afterOther, 1);
        EXPECT_EQ(getLevels(), 0) << "the other thread's end leaves this one limited";
        const EngineThreadLimit inactive(false);
        EXPECT_EQ(getLevels(), 0);
    }
    EXPECT_EQ(getLevels(), outside);
}

TEST(TextRecognition, ResizeDoublesTheWindowImage) {
    QImage window(400, 300, QImage::Format_RGB32);
    window.fill(Qt::black);
    const QImage enlarged = resizeImage(window, window.size() * 2);
    EXPECT_EQ(enlarged.size(), QSize(800, 600));
    EXPECT_EQ(enlarged.pixelColor(799, 599), QColor(Qt::black));
    EXPECT_EQ(enlarged.pixelColor(0, 0), QColor(Qt::black));
}

} // namespace
