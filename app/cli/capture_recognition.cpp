// Subcommands for checking text recognition and patient matching on real
// screenshots: ocr, match and score. None needs a display, except when they
// read a window on screen (--accessible, --window).

#include "app/cli/cli.h"
#include "capture/identification/card_decision.h"
#include "capture/identification/patient_identification.h"
#include "capture/image_preparation.h"
#include "capture/page_text.h"
#include "capture/patient_matching.h"
#include "capture/string_score.h"
#include "capture/text_recognition.h"
#include "capture/text_recognizer.h"
#include "capture/window_capture.h"
#include "platform/accessibility/accessibility_reader.h"
#include "platform/windowserver/window_server.h"

#include <QBuffer>
#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QImage>
#include <QImageReader>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QPainter>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <ctime>
#include <optional>

namespace {

// Options of the form "--name VALUE" or "--name=VALUE" (only those listed in
// `valued`), positional arguments, and "--" after which everything is
// positional.
struct Arguments {
    QMap<QString, QString> options;
    QStringList positional;
    QString error;
};

Arguments parseArguments(const QStringList &args, const QStringList &valued) {
    Arguments parsed;
    for (qsizetype i = 0; i < args.size(); ++i) {
        const QString &arg = args[i];
        if (arg == QLatin1String("--")) {
            parsed.positional += args.mid(i + 1);
            break;
        }
        if (!arg.startsWith(QLatin1Char('-')) || arg == QLatin1String("-")) {
            parsed.positional << arg;
            continue;
        }
        const qsizetype equals = arg.indexOf(QLatin1Char('='));
        const QString name = equals < 0 ? arg : arg.left(equals);
        if (!valued.contains(name)) {
            parsed.error = QStringLiteral("unknown option %1 (see --help)").arg(name);
            return parsed;
        }
        if (parsed.options.contains(name)) {
            parsed.error = QStringLiteral("%1 given twice").arg(name);
            return parsed;
        }
        if (equals >= 0) {
            parsed.options.insert(name, arg.mid(equals + 1));
        } else if (i + 1 < args.size()) {
            parsed.options.insert(name, args[++i]);
        } else {
            parsed.error = QStringLiteral("%1 needs a value").arg(name);
            return parsed;
        }
    }
    return parsed;
}

void quietMessages(QtMsgType, const QMessageLogContext &, const QString &) {}

// Image plugins are found through the application object; their warnings
// about odd files would clutter the one-line errors.
struct CommandApplication {
    CommandApplication(int argc, char **argv) : app(argc, argv) { qInstallMessageHandler(&quietMessages); }
    QCoreApplication app;
};

// The image at `path` as a window image: transparent areas read as white.
std::optional<QImage> readWindowImage(const QString &path, QString *error) {
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        *error = QStringLiteral("cannot read image %1: %2").arg(path, file.errorString());
        return std::nullopt;
    }
    QByteArray bytes = file.readAll();
    // libpng reports broken files on stderr by itself; catch them first.
    if (bytes.startsWith("\x89PNG\r\n\x1a\n") && !isWellFormedPng(bytes)) {
        *error = QStringLiteral("cannot read image %1: damaged PNG file").arg(path);
        return std::nullopt;
    }
    QBuffer buffer(&bytes);
    QImageReader reader(&buffer);
    QImage image = reader.read();
    if (image.isNull()) {
        *error = QStringLiteral("cannot read image %1: %2").arg(path, reader.errorString());
        return std::nullopt;
    }
    if (image.hasAlphaChannel()) {
        QImage flat(image.size(), QImage::Format_RGB32);
        flat.fill(Qt::white);
        QPainter painter(&flat);
        painter.drawImage(0, 0, image);
        painter.end();
        image = flat;
    }
    return image;
}

// Scaled to twice its size in points (`scale` device pixels per point), then
// recognised in bands on one engine per core, as a capture does.
// With `screen`, also the words with their places, as a capture reads them.
std::optional<QString> recogniseWindow(const QImage &window, double scale, QString *failure,
                                       ScreenText *screen = nullptr) {
    const QImage input = recognitionInput(window, scale);
    const bool banded = qint64(input.width()) * input.height() >= TextRecognizer::kMinimumBandedPixels;
    TextRecognizer recognizer({}, banded ? 0 : 1, TextRecognizer::Engines::OneRead);
    return recognizer.read(input, failure, nullptr, 0, {}, screen);
}

// Processor time of the whole process (every thread), in milliseconds.
qint64 processCpuMilliseconds() {
    timespec t{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
    return qint64(t.tv_sec) * 1000 + t.tv_nsec / 1000000;
}

// A window of the X11 display, given by its id or its client window's.
std::optional<quint32> parseWindowId(const QString &value) {
    bool ok = false;
    const uint id =
        value.startsWith(QLatin1String("0x")) ? value.mid(2).toUInt(&ok, 16) : value.toUInt(&ok, 10);
    if (!ok || id == 0)
        return std::nullopt;
    return quint32(id);
}

// The window `id` read as a capture reads the window under a selection:
// the page's own text first (unless `pageText` is false), recognition for
// what it has no text for. `readMs` is the time from the start of the read
// to the text, as a capture's release to text.
struct WindowText {
    std::optional<ScreenText> screen;
    CaptureTimings timings;
    qint64 readMs = 0;
    qint64 cpuMs = 0;
    AccessibleWindow tree;
};
std::optional<WindowText> readWindow(quint32 id, bool pageText, bool recognise, QString *error) {
    std::unique_ptr<X11WindowServer> server = X11WindowServer::open(QString(), error);
    if (!server) {
        *error = QStringLiteral("cannot read a window: no X11 display (%1)").arg(*error);
        return std::nullopt;
    }
    const quint32 top = server->toplevelWindow(id);
    WindowCaptureImages images;
    for (const WindowServerWindow &w : server->windowsBelowAll({}))
        if (w.windowID == id || (top != 0 && w.windowID == top))
            images.window = w;
    if (images.window.windowID == 0) {
        *error = QStringLiteral("no window 0x%1 on the display").arg(id, 0, 16);
        return std::nullopt;
    }
    const QRect bounds = images.window.bounds;
    images.windowPixels = bounds;
    images.windowRect = QRectF(bounds);
    WindowCaptureRequest request;
    request.server = std::shared_ptr<WindowServer>(std::move(server));
    request.pixelRatio = 1.0;
    if (pageText) {
        request.accessibility = std::shared_ptr<AccessibilityReader>(makeAtspiReader());
        // Joins the accessibility bus before the clock starts, as the
        // application does when it starts.
        request.accessibility->read({}).wait();
    }
    const bool banded = qint64(bounds.width()) * bounds.height() * 4 >= TextRecognizer::kMinimumBandedPixels;
    if (recognise) {
        request.recognizer = std::make_shared<TextRecognizer>(TextRecognitionSettings{}, banded ? 0 : 1,
                                                              TextRecognizer::Engines::OneRead);
        request.recognizer->waitUntilReady(30000);
    } else {
        request.recognize = [](const QImage &) { return std::optional<QString>(); };
    }
    WindowText result;
    const qint64 cpuStart = processCpuMilliseconds();
    QElapsedTimer clock;
    clock.start();
    const qint64 started = std::chrono::duration_cast<std::chrono::milliseconds>(
                               std::chrono::steady_clock::now().time_since_epoch())
                               .count();
    const std::shared_future<AccessibleWindow> tree = startPageTextRead(request, images);
    images.windowImage = request.server->imageOfRectBelowAll(bounds, {});
    result.screen = readWindowText(request, images, tree, started, &result.timings);
    result.readMs = clock.elapsed();
    result.cpuMs = processCpuMilliseconds() - cpuStart;
    if (tree.valid() && tree.wait_for(std::chrono::seconds(5)) == std::future_status::ready)
        result.tree = tree.get();
    return result;
}

std::optional<QByteArray> readInput(const QString &path, QString *error) {
    QFile file;
    const bool opened = path == QLatin1String("-") ? file.open(stdin, QIODevice::ReadOnly)
                                                   : (file.setFileName(path), file.open(QIODevice::ReadOnly));
    if (!opened) {
        *error = QStringLiteral("cannot read %1: %2").arg(path, file.errorString());
        return std::nullopt;
    }
    return file.readAll();
}

void writeOut(const QByteArray &bytes) {
    std::fwrite(bytes.constData(), 1, size_t(bytes.size()), stdout);
    std::fflush(stdout);
}

// A screen scale: a finite number from 0.25 to 8.
std::optional<double> parseScale(const QString &value) {
    const QByteArray text = value.toLatin1();
    double scale = 0;
    const auto [end, ec] = std::from_chars(text.constData(), text.constData() + text.size(), scale);
    if (text.isEmpty() || ec != std::errc() || end != text.constData() + text.size() ||
        !std::isfinite(scale) || scale < 0.25 || scale > 8.0)
        return std::nullopt;
    return scale;
}

// `ocr --accessible WINDOW-ID`: the page's own text of a window.
int printPageText(int argc, char **argv, const QString &window) {
    const std::optional<quint32> id = parseWindowId(window);
    if (!id)
        return cliBadInput(
            QStringLiteral("--accessible needs a window id (decimal or 0x...), not '%1'").arg(window));
    CommandApplication application(argc, argv);
    QString error;
    const std::optional<WindowText> read = readWindow(*id, true, false, &error);
    if (!read)
        return cliBadInput(error);
    const AccessibleWindow &tree = read->tree;
    std::fprintf(stderr, "kelvra-capture: accessibility tree: %s, %d elements, %lld ms%s%s\n",
                 qPrintable(accessibleStatusText(tree.status)), int(tree.elements.size()),
                 static_cast<long long>(tree.elapsedMs), tree.toolkit.isEmpty() ? "" : ", ",
                 qPrintable(tree.toolkit));
    if (!read->screen || read->screen->source == TextSource::Recognised || read->screen->words.isEmpty())
        return 1;
    writeOut((read->screen->text + QLatin1Char('\n')).toUtf8());
    return 0;
}

int runOcr(int argc, char **argv, const QStringList &args) {
    const QString scaleOption = QStringLiteral("--scale");
    const QString accessibleOption = QStringLiteral("--accessible");
    const Arguments parsed = parseArguments(args, {scaleOption, accessibleOption});
    if (!parsed.error.isEmpty())
        return cliBadInput(parsed.error);
    if (parsed.options.contains(accessibleOption)) {
        if (!parsed.positional.isEmpty() || parsed.options.contains(scaleOption))
            return cliBadInput(QStringLiteral("--accessible takes a window id and no IMAGE (see --help)"));
        return printPageText(argc, argv, parsed.options[accessibleOption]);
    }
    if (parsed.positional.size() != 1)
        return cliBadInput(QStringLiteral("ocr takes one IMAGE (see --help)"));
    double scale = 1.0;
    if (parsed.options.contains(scaleOption)) {
        const std::optional<double> given = parseScale(parsed.options[scaleOption]);
        if (!given)
            return cliBadInput(QStringLiteral("--scale must be a number from 0.25 to 8, not '%1'")
                                   .arg(parsed.options[scaleOption]));
        scale = *given;
    }
    CommandApplication application(argc, argv);
    QString error;
    const std::optional<QImage> window = readWindowImage(parsed.positional[0], &error);
    if (!window)
        return cliBadInput(error);
    const std::optional<QString> text = recogniseWindow(*window, scale, &error);
    if (!text) {
        std::fprintf(stderr, "kelvra-capture: no text recognised: %s\n", qPrintable(error));
        return 1;
    }
    writeOut(text->toUtf8());
    return 0;
}

// The patient list: a JSON array of objects, each with a non-empty "name".
std::optional<QJsonArray> readPatients(const QString &path, QString *error) {
    const std::optional<QByteArray> bytes = readInput(path, error);
    if (!bytes)
        return std::nullopt;
    QJsonParseError parseError;
    const QJsonDocument document = QJsonDocument::fromJson(*bytes, &parseError);
    if (parseError.error != QJsonParseError::NoError) {
        *error = QStringLiteral("%1: malformed JSON at offset %2: %3")
                     .arg(path)
                     .arg(parseError.offset)
                     .arg(parseError.errorString());
        return std::nullopt;
    }
    if (!document.isArray()) {
        *error = QStringLiteral("%1: expected a JSON array of patient entries").arg(path);
        return std::nullopt;
    }
    const QJsonArray patients = document.array();
    for (qsizetype i = 0; i < patients.size(); ++i) {
        const QJsonValue name = patients[i].toObject().value(QLatin1String("name"));
        if (!patients[i].isObject() || !name.isString() || name.toString().trimmed().isEmpty()) {
            *error = QStringLiteral("%1: patient %2 has no name").arg(path).arg(i + 1);
            return std::nullopt;
        }
    }
    return patients;
}

int runMatch(int argc, char **argv, const QStringList &args) {
    const QString patientsOption = QStringLiteral("--patients");
    const QString imageOption = QStringLiteral("--image");
    const QString textOption = QStringLiteral("--text-file");
    const QString windowOption = QStringLiteral("--window");
    const QString pageTextOption = QStringLiteral("--page-text");
    const QString todayOption = QStringLiteral("--today");
    const QString wordsOption = QStringLiteral("--words");
    const Arguments parsed = parseArguments(args, {patientsOption, imageOption, textOption, windowOption,
                                                   pageTextOption, todayOption, wordsOption});
    if (!parsed.error.isEmpty())
        return cliBadInput(parsed.error);
    if (!parsed.positional.isEmpty())
        return cliBadInput(QStringLiteral("unexpected argument %1 (see --help)").arg(parsed.positional[0]));
    if (!parsed.options.contains(patientsOption))
        return cliBadInput(QStringLiteral("match needs --patients FILE (see --help)"));
    if (int(parsed.options.contains(imageOption)) + int(parsed.options.contains(textOption)) +
            int(parsed.options.contains(windowOption)) !=
        1)
        return cliBadInput(QStringLiteral(
            "match needs one of --image IMAGE, --text-file FILE or --window WINDOW-ID (see --help)"));
    const QString wordsValue = parsed.options.value(wordsOption, QStringLiteral("off"));
    if (wordsValue != QLatin1String("on") && wordsValue != QLatin1String("off"))
        return cliBadInput(QStringLiteral("--words must be on or off, not '%1'").arg(wordsValue));
    const QString pageTextValue = parsed.options.value(pageTextOption, QStringLiteral("on"));
    if (pageTextValue != QLatin1String("on") && pageTextValue != QLatin1String("off"))
        return cliBadInput(QStringLiteral("--page-text must be on or off, not '%1'").arg(pageTextValue));
    if (parsed.options.contains(pageTextOption) && !parsed.options.contains(windowOption))
        return cliBadInput(QStringLiteral("--page-text goes with --window (see --help)"));
    std::optional<quint32> windowId;
    if (parsed.options.contains(windowOption)) {
        windowId = parseWindowId(parsed.options[windowOption]);
        if (!windowId)
            return cliBadInput(QStringLiteral("--window needs a window id (decimal or 0x...), not '%1'")
                                   .arg(parsed.options[windowOption]));
    }

    QDate today = QDate::currentDate();
    if (parsed.options.contains(todayOption)) {
        today = QDate::fromString(parsed.options[todayOption], Qt::ISODate);
        if (!today.isValid())
            return cliBadInput(QStringLiteral("--today must be a date as YYYY-MM-DD, not '%1'")
                                   .arg(parsed.options[todayOption]));
    }

    CommandApplication application(argc, argv);
    QString error;
    const std::optional<QJsonArray> patients = readPatients(parsed.options[patientsOption], &error);
    if (!patients)
        return cliBadInput(error);

    std::optional<QString> text;
    std::optional<ScreenText> screen;
    QString recognitionFailure;
    const bool fromImage = parsed.options.contains(imageOption) || windowId;
    std::optional<WindowText> window;
    if (windowId) {
        window = readWindow(*windowId, pageTextValue == QLatin1String("on"), true, &error);
        if (!window)
            return cliBadInput(error);
        screen = window->screen;
        if (screen)
            text = screen->text;
        else
            recognitionFailure = QStringLiteral("the window shows no text");
    } else if (fromImage) {
        const std::optional<QImage> window = readWindowImage(parsed.options[imageOption], &error);
        if (!window)
            return cliBadInput(error);
        ScreenText read;
        text = recogniseWindow(*window, 1.0, &recognitionFailure, &read);
        if (text)
            screen = read;
    } else {
        const std::optional<QByteArray> bytes = readInput(parsed.options[textOption], &error);
        if (!bytes)
            return cliBadInput(error);
        text = QString::fromUtf8(*bytes);
        screen = ScreenText::fromText(*text);
    }

    const QVariantList entries = patients->toVariantList();
    // The plain matching's scores are only printed: worked out on a second
    // thread while this one decides the card, as a capture of this window
    // would end on.
    std::optional<CardDecision> decided;
    QElapsedTimer deciding;
    deciding.start();
    qint64 decideMs = 0;
    const QList<double> bests = bestScoresForPatients(entries, text, [&] {
        CardDecider decider(entries, today);
        decided = decider.wholeWindowRead(screen);
        decideMs = deciding.elapsed();
    });
    const CardDecision &card = *decided;
    const PatientIdentification &identification = card.identification;
    QJsonValue topScoredValue = QJsonValue::Null;
    qsizetype topScoredIndex = 0;
    QJsonArray scores;
    for (qsizetype i = 0; i < patients->size(); ++i) {
        const QJsonObject entry = (*patients)[i].toObject();
        scores.append(
            QJsonObject{{QStringLiteral("name"), entry.value(QLatin1String("name"))},
                        {QStringLiteral("best"), bests[i]},
                        {QStringLiteral("found"), nameEvidenceText(identification.evidence.value(i))}});
        // The plain matching's proposal: the first of the highest scores.
        if (text && (topScoredValue.isNull() || bests[i] > bests[topScoredIndex]))
            topScoredValue = entry, topScoredIndex = i;
    }
    QJsonArray candidates;
    for (qsizetype i : identification.candidates)
        candidates.append((*patients)[i].toObject().value(QLatin1String("name")));
    QJsonObject result{
        {QStringLiteral("proposed"), card.patient ? QJsonValue((*patients)[*card.patient]) : QJsonValue()},
        {QStringLiteral("reason"), identificationReasonText(identification.reason)},
        {QStringLiteral("dob_on_screen"), identification.dobOnScreen},
        {QStringLiteral("candidates"), candidates},
        {QStringLiteral("check"), card.check},
        {QStringLiteral("top_scored"), topScoredValue},
        {QStringLiteral("scores"), scores}};
    QJsonValue subject = QJsonValue::Null;
    if (identification.subject) {
        const NameOnScreen &who = *identification.subject;
        subject = QJsonObject{
            {QStringLiteral("name"), who.name.asRead},
            {QStringLiteral("dob"),
             who.facts.hasBirthDate() ? QJsonValue(who.facts.birthDateShown) : QJsonValue()},
            {QStringLiteral("age"), who.facts.age ? QJsonValue(std::floor(*who.facts.age)) : QJsonValue()},
            {QStringLiteral("where"), who.where}};
    }
    result.insert(QStringLiteral("subject"), subject);
    if (!identification.rivals.isEmpty()) {
        QJsonArray rivals;
        for (const NameOnScreen &rival : identification.rivals)
            rivals.append(QJsonObject{{QStringLiteral("name"), rival.name.asRead},
                                      {QStringLiteral("where"), rival.where}});
        result.insert(QStringLiteral("rivals"), rivals);
    }
    if (identification.contradicted)
        result.insert(
            QStringLiteral("contradicted"),
            QJsonObject{{QStringLiteral("name"),
                         (*patients)[*identification.contradicted].toObject().value(QLatin1String("name"))},
                        {QStringLiteral("date_on_screen"), identification.contradictingDate}});
    if (fromImage)
        result.insert(QStringLiteral("text"), text ? QJsonValue(*text) : QJsonValue(QJsonValue::Null));
    result.insert(QStringLiteral("source"), screen ? textSourceText(screen->source) : QString());
    if (wordsValue == QLatin1String("on") && screen) {
        // Every word read with its place, for tracing a decision to what
        // was read.
        QJsonArray words;
        for (const ScreenWord &word : screen->words) {
            QJsonObject w{{QStringLiteral("text"), word.text},
                          {QStringLiteral("line"), word.line},
                          {QStringLiteral("block"), word.block}};
            if (!word.box.isNull())
                w.insert(QStringLiteral("box"),
                         QJsonArray{word.box.x(), word.box.y(), word.box.width(), word.box.height()});
            words.append(w);
        }
        result.insert(QStringLiteral("words"), words);
    }
    if (window) {
        const CaptureTimings &t = window->timings;
        result.insert(QStringLiteral("page_text"),
                      QJsonObject{{QStringLiteral("status"), t.pageTextStatus},
                                  {QStringLiteral("ms"), t.pageText},
                                  {QStringLiteral("elements"), int(window->tree.elements.size())},
                                  {QStringLiteral("toolkit"), window->tree.toolkit}});
        result.insert(QStringLiteral("read_ms"), window->readMs);
        result.insert(QStringLiteral("read_cpu_ms"), window->cpuMs);
        result.insert(QStringLiteral("decide_ms"), decideMs);
    }
    writeOut(QJsonDocument(result).toJson(QJsonDocument::Indented));
    if (fromImage && !text) {
        std::fprintf(stderr, "kelvra-capture: no text recognised: %s\n", qPrintable(recognitionFailure));
        return 1;
    }
    return 0;
}

int runScore(int, char **, const QStringList &args) {
    const QString fuzzinessOption = QStringLiteral("--fuzziness");
    const Arguments parsed = parseArguments(args, {fuzzinessOption});
    if (!parsed.error.isEmpty())
        return cliBadInput(parsed.error);
    if (parsed.positional.size() != 2)
        return cliBadInput(QStringLiteral("score takes SEARCHED and PATTERN (see --help)"));
    std::optional<float> fuzziness;
    if (parsed.options.contains(fuzzinessOption)) {
        const QByteArray text = parsed.options[fuzzinessOption].toLatin1();
        float value = 0;
        const auto [end, ec] = std::from_chars(text.constData(), text.constData() + text.size(), value);
        if (text.isEmpty() || ec != std::errc() || end != text.constData() + text.size() ||
            !std::isfinite(value) || value < 0.0f || value > 1.0f)
            return cliBadInput(QStringLiteral("--fuzziness must be a number from 0 to 1, not '%1'")
                                   .arg(parsed.options[fuzzinessOption]));
        fuzziness = value;
    }
    const double score =
        scoreAgainst(parsed.positional[0], parsed.positional[1], fuzziness, ScoreOptionDefault);
    std::printf("%.17g\n", score);
    return 0;
}

const CliRegistrar ocrCommand({
    QStringLiteral("ocr"),
    QStringLiteral("[--scale S] IMAGE | --accessible WINDOW-ID"),
    QStringLiteral("recognise the text of a window image"),
    QStringLiteral(
        "Treats IMAGE (PNG, JPEG, BMP, ...) as the image of a window, as a capture would take it:\n"
        "scales it to twice the window's size in points, recognises it with Tesseract (English)\n"
        "and prints the text as the matching sees it: words separated by single spaces, lines by\n"
        "line feeds. Transparent areas are read as white.\n\n"
        "--scale S says how many image pixels make one point: the scale of the screen the image\n"
        "was taken on (S from 0.25 to 8, default 1). An image from a screen of scale 2 is read at\n"
        "its own size, one of scale 1 at twice its size, one of scale 1.5 at 4/3 of it.\n\n"
        "The English trained data is taken from $KELVRA_TESSDATA when set, else from\n"
        "<prefix>/share/kelvra-capture/tessdata next to the program, else from\n"
        "/usr/share/tesseract-ocr/5/tessdata.\n\n"
        "--accessible WINDOW-ID prints instead the page's own text of a window on the X11 display\n"
        "(its id as xwininfo or xdotool give it, decimal or 0x...): the text the window's program\n"
        "publishes for assistive technologies (the accessibility tree), laid out in lines and\n"
        "blocks as a capture reads it. A line on stderr tells how the tree was read (read, too\n"
        "slow, no application: the program publishes no tree, ...), how many elements and how long.\n"
        "Nothing is recognised; the text is not kept anywhere.\n\n"
        "Exit status: 0 text printed (possibly empty), 1 nothing recognised (for example no\n"
        "trained data) or no text in the window's tree, 2 bad input (missing or unreadable image,\n"
        "no such window)."),
    &runOcr,
});

const CliRegistrar matchCommand({
    QStringLiteral("match"),
    QStringLiteral(
        "--patients FILE (--image IMAGE | --text-file FILE | --window WINDOW-ID [--page-text on|off]) "
        "[--today YYYY-MM-DD] [--words on|off]"),
    QStringLiteral("propose the patient a window image or text belongs to"),
    QStringLiteral(
        "Decides which of today's patients the text of a window shows, as a capture does.\n"
        "--patients FILE is a JSON array of patient entries, each an object with at least \"name\"\n"
        "(first and last name joined by a space, or \"Last, First\"); \"first_name\" and \"last_name\"\n"
        "give the parts when a last name has several words, \"dob\" (e.g. \"1950-01-02\" or\n"
        "\"01/02/1950\") is compared with the date of birth and the age on screen; other keys are\n"
        "passed through. The text is recognised from --image IMAGE (enlarged 2x, as with `ocr`) or\n"
        "read as UTF-8 from --text-file FILE (\"-\" reads standard input), or read from a window on\n"
        "the X11 display as a capture reads the window under a selection (--window WINDOW-ID,\n"
        "decimal or 0x...): the page's own text from the window's accessibility tree first,\n"
        "recognition where the tree has no text (a canvas, an image) or for the whole window when it\n"
        "has no tree. --page-text off reads such a window by recognition alone. Ages on screen are\n"
        "counted at --today (default: today).\n\n"
        "The decision is the one the capture card shows. First, without today's list, who the screen\n"
        "is about (the subject): the person after a \"Patient:\"-like label or on a \"Re:\" line, in\n"
        "the record's banner or title, or in its name fields, with the date of birth, age, sex and\n"
        "record number the layout binds to them. Only the subject may be proposed, and only when\n"
        "every part of the name and every fact shown with them agrees with one entry (a name read\n"
        "in part or misread needs the date of birth too). Everyone else on screen is never\n"
        "proposed. Without a subject, lists propose nobody, and a name is proposed only when it\n"
        "stands alone with its date of birth and no other name on screen has one.\n"
        "Prints one JSON object:\n"
        "  \"proposed\"       the proposed entry as given, or null when nobody is proposed\n"
        "  \"reason\"         \"name\", \"name and date of birth\", \"date of birth and part of the\n"
        "                   name\", \"below floor\" (no subject), \"ambiguous\", \"list\", \"date of\n"
        "                   birth differs\", \"age differs\", \"not on today's list\" or \"deceased\"\n"
        "  \"subject\"        who the screen is about, or null: {\"name\" as read, \"dob\" as shown or\n"
        "                   null, \"age\" in years or null, \"where\": \"label\", \"form\", \"banner\",\n"
        "                   \"title\" or \"name and date of birth\"}\n"
        "  \"rivals\"         (only when the subject cannot be told) the people standing in its\n"
        "                   place: [{\"name\", \"where\"}]\n"
        "  \"dob_on_screen\"  whether the proposed patient's date of birth stands with them\n"
        "  \"candidates\"     names offered first when nobody is proposed\n"
        "  \"check\"          the line the card shows under the patient\n"
        "  \"contradicted\"   (only when a date of birth or an age rules the subject's namesake out)\n"
        "                   {\"name\", \"date_on_screen\"}\n"
        "  \"top_scored\"     the entry with the highest plain matching score (any list: null\n"
        "                   only when the list is empty)\n"
        "  \"scores\"         in list order, {\"name\", \"best\": the plain matching score,\n"
        "                   \"found\": \"\" (not named), \"subject\", \"in a list\" or \"named elsewhere\"}\n"
        "  \"text\"           the text read (with --image and --window; null when nothing was read)\n"
        "  \"words\"          (--words on) every word read: {\"text\", \"line\", \"block\", \"box\": [x, y,\n"
        "                   width, height] in pixels of the image read}\n"
        "  \"source\"         which text was read: \"text recognised\", \"text from the page\" or\n"
        "                   \"text from the page and recognised\"\n"
        "  \"page_text\"      (--window) how the tree was read: {\"status\", \"ms\", \"elements\",\n"
        "                   \"toolkit\"}; \"read_ms\" and \"read_cpu_ms\": from the start of the read\n"
        "                   to the text, \"decide_ms\": the decision\n\n"
        "Exit status: 0 done, 1 nothing recognised from the image (the JSON is still printed),\n"
        "2 bad input (missing file, unreadable image, malformed JSON, a patient without a name)."),
    &runMatch,
});

const CliRegistrar scoreCommand({
    QStringLiteral("score"),
    QStringLiteral("[--fuzziness F] [--] SEARCHED PATTERN"),
    QStringLiteral("print the fuzzy string score of PATTERN in SEARCHED"),
    QStringLiteral("Prints the score of PATTERN against SEARCHED with 17 significant digits: 1 for strings\n"
                   "equal after cleaning (only letters and spaces count), 0 when a character of PATTERN is\n"
                   "missing and no fuzziness is given, \"inf\" for a SEARCHED without letters or spaces\n"
                   "against a PATTERN with some, when a fuzziness is given. The matching uses\n"
                   "--fuzziness 0.8 (F from 0 to 1, taken in single precision); without --fuzziness none is\n"
                   "passed. Put -- before strings that begin with \"-\".\n\n"
                   "Exit status: 0 score printed, 2 bad input."),
    &runScore,
});

} // namespace
