// Times the way from a released selection to the patient card, step by step,
// on rendered record windows, for the earlier path and the current one, in
// one run:
//
//   before: the window image enlarged to twice its device pixels, PNG at the
//           encoder's default level, an engine loaded on the path, read whole
//           on one engine;
//   after:  the window image scaled to twice its size in points (as it is on a
//           screen of scale 2), PNG stored uncompressed, engines loaded ahead
//           of time, the image read in bands on one engine per core, the top
//           band first; "card" is when the panel shows the card: at the top
//           band's text when that proposes a patient by name with the date of
//           birth on screen, else at the end.
//
// Each path runs in a child process of its own, so that its peak memory is
// its own. Beside them, the bare `tesseract` command reads the same image as
// the current path, and the banded text is compared with reading that image
// whole.
//
//   bench_capture_release_to_card [--runs N]       the table
//   bench_capture_release_to_card --bands I        window I's cuts, and each
//                                                  band read on its own
//   bench_capture_release_to_card --corpus         banded against whole, new
//                                                  against old sizes, on many
//                                                  windows: texts and proposals

#include "capture/identification/patient_identification.h"
#include "capture/image_preparation.h"
#include "capture/patient_matching.h"
#include "capture/text_recognition.h"
#include "capture/text_recognizer.h"
#include "window_rendering.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QGuiApplication>
#include <QProcess>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QThread>
#include <algorithm>
#include <cstdio>
#include <map>
#include <mutex>
#include <sys/resource.h>
#include <vector>

namespace {

const QString kPatient = QStringLiteral("Smith, John");
const QString kExpected = QStringLiteral("John Smith");

struct Window {
    QString label;
    QSize points;
    double scale;
    bool dense;
};

const std::vector<Window> &windows() {
    static const std::vector<Window> list = {
        {"record 1280x800", QSize(1280, 800), 1.0, false},
        {"record 1920x1080", QSize(1920, 1080), 1.0, false},
        {"record 3840x2160 @2", QSize(1920, 1080), 2.0, false},
        {"dense 1280x800", QSize(1280, 800), 1.0, true},
    };
    return list;
}

QImage render(const Window &w) {
    QImage image =
        w.dense ? renderDenseWindow(w.points) : renderFullRecordWindow(w.points, w.scale, kPatient);
    image.setDevicePixelRatio(1.0);
    return image;
}

// Resident and peak resident memory of this process, in MB.
double memoryField(const char *name) {
    QFile status(QStringLiteral("/proc/self/status"));
    if (!status.open(QIODevice::ReadOnly))
        return -1;
    for (const QByteArray &line : status.readAll().split('\n')) {
        if (line.startsWith(name))
            return line.mid(qstrlen(name)).trimmed().split(' ').first().toDouble() / 1024.0;
    }
    return -1;
}

// Peak resident memory starts again from the current resident memory.
void resetPeakMemory() {
    QFile refs(QStringLiteral("/proc/self/clear_refs"));
    if (refs.open(QIODevice::WriteOnly))
        refs.write("5");
}

using Figures = std::map<QString, double>;

// The parts of one capture of `window` on the earlier (before) or current path.
Figures capture(const QImage &rendered, double scale, bool before, TextRecognizer *recognizer,
                const QVariantList &patients, QString *text, QString *proposed, QString *topProposed) {
    Figures f;
    resetPeakMemory();
    const double startMemory = memoryField("VmRSS:");
    QElapsedTimer total, clock;
    total.start();
    clock.start();
    const qint64 cpuStart = threadCpuMilliseconds();
    // The window server's image: a copy in the format it delivers.
    QImage captured = rendered.convertToFormat(QImage::Format_ARGB32_Premultiplied);
    f["capture"] = double(clock.restart());
    RecognitionTimings t;
    std::optional<QString> result;
    ScreenText screen;
    if (before) {
        const QImage enlarged = resizeImage(captured, captured.size() * 2);
        f["scale"] = double(clock.restart());
        TextRecognitionSettings settings;
        settings.pngCompressionLevel = kDefaultPngLevel;
        result = wordsFromImage(enlarged, settings, nullptr, &t);
    } else {
        const QImage input = recognitionInput(std::move(captured), scale);
        f["scale"] = double(clock.restart());
        // As the panel does: the top band's text is identified as soon as it
        // is read, and a patient proposed by name with the date of birth on
        // screen shows the card then.
        std::mutex topLock;
        const auto topBandRead = [&](const ScreenText &top) {
            const qint64 at = total.elapsed();
            const PatientIdentification early = identifyPatient(patients, top);
            std::lock_guard lock(topLock);
            f["top band"] = double(at);
            if (early.proposed && early.dobOnScreen) {
                f["card"] = double(total.elapsed());
                *topProposed = patients.at(*early.proposed).toMap().value("name").toString();
            }
        };
        result = recognizer->read(input, nullptr, &t, 0, topBandRead, &screen);
    }
    clock.restart();
    // The earlier path proposed by the plain matching; the current one as
    // the card decides, from the words and their places.
    std::optional<QVariantMap> match;
    if (before) {
        match = determinePatientFromList(patients, result);
    } else if (result) {
        const PatientIdentification identification = identifyPatient(patients, screen);
        if (identification.proposed)
            match = patients.at(*identification.proposed).toMap();
    }
    f["matching"] = double(clock.elapsed());
    // This thread's own work (capture, scale, split, matching, and on the
    // earlier path everything) plus, read in bands, the slowest band's.
    const qint64 ownCpu = threadCpuMilliseconds() - cpuStart;
    f["processor time"] = double(before ? ownCpu : ownCpu + t.cpu);
    f["total"] = double(total.elapsed());
    if (!f.count("card"))
        f["card"] = f["total"];
    f["split"] = double(std::max<qint64>(t.split, 0));
    f["encode"] = double(t.encode);
    f["decode"] = double(t.decode);
    f["engine ready"] = double(t.engineStart);
    f["reading"] = double(t.recognition);
    f["bands"] = t.bands;
    f["peak MB"] = memoryField("VmHWM:") - startMemory;
    *text = result.value_or(QString());
    *proposed = match ? match->value("name").toString() : QStringLiteral("(none)");
    if (topProposed->isEmpty())
        *topProposed = QStringLiteral("(no early card)");
    return f;
}

// Child: runs one path on one window `runs` times, prints "key=value" lines
// (medians; peak memory the largest).
int child(int index, bool before, bool compare) {
    const Window &w = windows()[size_t(index)];
    const QImage rendered = render(w);
    const QVariantList patients = renderedRecordPatients();
    std::unique_ptr<TextRecognizer> recognizer;
    const double beforeEngines = memoryField("VmRSS:");
    if (!before) {
        recognizer = std::make_unique<TextRecognizer>();
        // Loaded ahead of time, as at sign-in and after every capture.
        if (!recognizer->waitUntilReady(300000))
            return 1;
    }
    std::printf("engines MB=%.1f\n", memoryField("VmRSS:") - beforeEngines);
    QString text, proposed, topProposed;
    for (const auto &[key, value] :
         capture(rendered, w.scale, before, recognizer.get(), patients, &text, &proposed, &topProposed))
        std::printf("%s=%.1f\n", qPrintable(key), value);
    std::printf("proposed=%s\n", qPrintable(proposed));
    std::printf("top proposed=%s\n", qPrintable(topProposed));
    std::printf("characters=%lld\n", qint64(text.size()));
    if (compare && recognizer) {
        // The same image read whole, on one engine.
        recognizer->waitUntilReady(300000);
        const QImage input =
            recognitionInput(rendered.convertToFormat(QImage::Format_ARGB32_Premultiplied), w.scale);
        const std::optional<QString> whole = recognizer->read(input, nullptr, nullptr, 1);
        const std::optional<QVariantMap> match = determinePatientFromList(patients, whole);
        std::printf("whole identical=%d\n", whole && *whole == text ? 1 : 0);
        std::printf("whole words identical=%d\n", whole && whole->simplified() == text.simplified() ? 1 : 0);
        std::printf("whole scores identical=%d\n",
                    bestScoresForPatients(patients, whole) == bestScoresForPatients(patients, text) ? 1 : 0);
        std::printf("whole proposed=%s\n", match ? qPrintable(match->value("name").toString()) : "(none)");
    }
    return 0;
}

using Values = std::map<QString, QString>;

Values runChild(const QString &program, int index, bool before, bool compare) {
    QProcess process;
    process.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    QStringList args = {"--child", QString::number(index), before ? "before" : "after"};
    if (compare)
        args << "--compare";
    process.start(program, args);
    process.waitForFinished(-1);
    Values values;
    for (const QByteArray &line : process.readAllStandardOutput().split('\n')) {
        const qsizetype eq = line.indexOf('=');
        if (eq > 0)
            values[QString::fromUtf8(line.left(eq))] = QString::fromUtf8(line.mid(eq + 1));
    }
    if (process.exitCode() != 0)
        std::printf("  (child failed: exit %d)\n", process.exitCode());
    return values;
}

// Per key, the median of the runs (peak memory: the largest).
Values summary(const std::vector<Values> &runs) {
    std::map<QString, std::vector<double>> numbers;
    Values result;
    for (const Values &run : runs) {
        for (const auto &[key, value] : run) {
            bool number = false;
            const double v = value.toDouble(&number);
            if (number)
                numbers[key].push_back(v);
            else
                result[key] = value;
        }
    }
    for (auto &[key, values] : numbers) {
        std::sort(values.begin(), values.end());
        result[key] = QString::number(key == "peak MB" ? values.back() : values[values.size() / 2]);
    }
    for (const auto &[key, value] : runs.front()) {
        if (key.startsWith("whole"))
            result[key] = value;
    }
    return result;
}

// The bare engine, as a user would run it, on the image the current path reads.
double childrenCpuMilliseconds() {
    rusage usage{};
    getrusage(RUSAGE_CHILDREN, &usage);
    return (usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) * 1000.0 +
           (usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1000.0;
}

struct Bare {
    double wall = -1, cpu = -1;
};

Bare bareTesseract(const QImage &input) {
    const QString program = QStandardPaths::findExecutable(QStringLiteral("tesseract"));
    if (program.isEmpty())
        return {};
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("window.png"));
    if (!input.save(path))
        return {};
    QProcess process;
    const double cpuBefore = childrenCpuMilliseconds();
    QElapsedTimer timer;
    timer.start();
    process.start(program, {path, QStringLiteral("stdout"), QStringLiteral("-l"), QStringLiteral("eng")});
    process.waitForFinished(-1);
    return {double(timer.elapsed()), childrenCpuMilliseconds() - cpuBefore};
}

QString loadLine() {
    QFile file(QStringLiteral("/proc/loadavg"));
    return file.open(QIODevice::ReadOnly) ? QString::fromLatin1(file.readAll()).section(' ', 0, 2)
                                          : QStringLiteral("?");
}

int table(const QString &program, int runs) {
    std::printf("release to card, median of %d runs per path (taking turns), %d cores, load average %s\n",
                runs, QThread::idealThreadCount(), qPrintable(loadLine()));
    std::printf(
        "times in ms; processor time = the processor time on the way from release to card (read in\n"
        "bands: the slowest band's), which is what the total comes to on an idle machine with a core\n"
        "per engine; peak MB = growth of resident memory during one capture; engines MB = resident\n"
        "memory of the engines kept loaded between captures\n\n");
    const QStringList parts = {"capture",      "scale",          "split",    "encode",    "decode",
                               "engine ready", "reading",        "matching", "total",     "top band",
                               "card",         "processor time", "peak MB",  "engines MB"};
    for (size_t i = 0; i < windows().size(); ++i) {
        const Window &w = windows()[i];
        const QImage rendered = render(w);
        const QImage input = recognitionInput(rendered, w.scale);
        std::printf("%s (%dx%d pixels; before reads %dx%d, after %dx%d)\n", qPrintable(w.label),
                    rendered.width(), rendered.height(), rendered.width() * 2, rendered.height() * 2,
                    input.width(), input.height());
        std::fflush(stdout);
        // Before, after and the bare engine take turns, so that a change of
        // the machine's load falls on all of them.
        std::vector<Values> befores, afters;
        std::vector<double> bares, bareCpus;
        for (int run = 0; run < runs; ++run) {
            befores.push_back(runChild(program, int(i), true, false));
            afters.push_back(runChild(program, int(i), false, run == 0));
            const Bare b = bareTesseract(input);
            bares.push_back(b.wall);
            bareCpus.push_back(b.cpu);
        }
        const Values before = summary(befores), after = summary(afters);
        std::sort(bares.begin(), bares.end());
        std::sort(bareCpus.begin(), bareCpus.end());
        const double bare = bares[bares.size() / 2], bareCpu = bareCpus[bareCpus.size() / 2];
        std::printf("  %-14s %9s %9s %8s\n", "part", "before", "after", "ratio");
        for (const QString &part : parts) {
            const double b = before.count(part) ? before.at(part).toDouble() : -1;
            const double a = after.count(part) ? after.at(part).toDouble() : -1;
            std::printf("  %-14s %9.0f %9.0f %8s\n", qPrintable(part), b, a,
                        b > 0 && a > 0 ? qPrintable(QString::number(b / a, 'f', 2)) : "");
        }
        const double reading = after.count("reading") ? after.at("reading").toDouble() : -1;
        std::printf(
            "  bare tesseract on the after image: %.0f ms, processor time %.0f ms (its own threading); "
            "after path's reading / bare = %.2f\n",
            bare, bareCpu, bare > 0 ? reading / bare : 0.0);
        std::printf("  bands %s; proposed before: %s, after: %s; characters before %s, after %s\n",
                    qPrintable(after.count("bands") ? after.at("bands") : "?"),
                    qPrintable(before.count("proposed") ? before.at("proposed") : "?"),
                    qPrintable(after.count("proposed") ? after.at("proposed") : "?"),
                    qPrintable(before.count("characters") ? before.at("characters") : "?"),
                    qPrintable(after.count("characters") ? after.at("characters") : "?"));
        std::printf("  card from the top band: %s; the whole text proposes %s\n",
                    qPrintable(after.count("top proposed") ? after.at("top proposed") : "?"),
                    qPrintable(after.count("proposed") ? after.at("proposed") : "?"));
        const auto yes = [&after](const char *key) { return after.count(key) && after.at(key) == "1"; };
        std::printf("  banded against whole on the after image: text %s, words %s, every patient's score %s, "
                    "whole proposes %s\n\n",
                    yes("whole identical") ? "identical" : "DIFFERENT",
                    yes("whole words identical") ? "identical" : "DIFFERENT",
                    yes("whole scores identical") ? "identical" : "DIFFERENT",
                    qPrintable(after.count("whole proposed") ? after.at("whole proposed") : "?"));
        std::fflush(stdout);
    }
    std::printf("load average at the end %s\n", qPrintable(loadLine()));
    return 0;
}

// Banded against whole reading, and the sizes read now against before, over
// many windows: every text compared, every proposal checked.
// The patient the panel proposes for `text`, "(none)" when nobody.
QString identifiedName(const QVariantList &patients, const std::optional<QString> &text) {
    const PatientIdentification identification = identifyPatient(patients, text);
    return identification.proposed ? patients.at(*identification.proposed).toMap().value("name").toString()
                                   : QStringLiteral("(none)");
}

int corpus() {
    const QVariantList patients = renderedRecordPatients();
    TextRecognizer recognizer;
    struct Item {
        QString label;
        QImage image;
        double scale;
        QString expected;
    };
    std::vector<Item> items;
    const QList<QPair<QString, int>> fonts = {{"DejaVu Sans", 13},      {"DejaVu Sans", 18},
                                              {"DejaVu Serif", 14},     {"Lato", 15},
                                              {"DejaVu Sans Mono", 13}, {"DejaVu Sans Condensed", 16}};
    const QList<QPair<QString, QString>> shown = {{"Smith, John", "John Smith"},
                                                  {"Marta Rossi", "Marta Rossi"},
                                                  {"SMYTH, JOAN", "Joan Smyth"},
                                                  {"Emily Brown", "Emily Brown"}};
    int index = 0;
    for (const double scale : {1.0, 1.5, 2.0}) {
        for (const auto &[family, size] : fonts) {
            const auto &[onScreen, expected] = shown[(index++) % shown.size()];
            items.push_back(
                {QStringLiteral("record %1 %2px \"%3\" @%4").arg(family).arg(size).arg(onScreen).arg(scale),
                 renderRecordWindow(family, size, onScreen, QSize(720, 260), scale), scale, expected});
            items.push_back({QStringLiteral("full record 1280x800 %1 %2px \"%3\" @%4")
                                 .arg(family)
                                 .arg(size)
                                 .arg(onScreen)
                                 .arg(scale),
                             renderFullRecordWindow(QSize(1280, 800), scale, onScreen, family, size), scale,
                             expected});
        }
    }
    items.push_back({"dense 1280x800", renderDenseWindow(QSize(1280, 800)), 1.0, QString()});
    items.push_back({"dense 1920x1080", renderDenseWindow(QSize(1920, 1080)), 1.0, QString()});
    int identical = 0, sameWords = 0, sameScores = 0, sameProposal = 0, rightNew = 0, rightOld = 0,
        withExpected = 0, earlyCards = 0, earlyAgrees = 0;
    for (Item &item : items) {
        item.image.setDevicePixelRatio(1.0);
        const QImage input = recognitionInput(item.image, item.scale);
        recognizer.waitUntilReady(120000);
        RecognitionTimings t;
        // Read as the panel reads it: the top band first.
        ScreenText top;
        const std::optional<QString> banded =
            recognizer.read(input, nullptr, &t, 0, [&top](const ScreenText &text) { top = text; });
        recognizer.waitUntilReady(120000);
        const std::optional<QString> whole = recognizer.read(input, nullptr, nullptr, 1);
        const QString nb = identifiedName(patients, banded);
        const QString nw = identifiedName(patients, whole);
        // The card the top band shows (by name with the date of birth only).
        const PatientIdentification early = identifyPatient(patients, top);
        const QString ne = early.proposed && early.dobOnScreen
                               ? patients.at(*early.proposed).toMap().value("name").toString()
                               : QString();
        earlyCards += !ne.isEmpty();
        earlyAgrees += !ne.isEmpty() && ne == nb;
        const bool same = banded == whole;
        const bool words = banded && whole && banded->simplified() == whole->simplified();
        const bool scores = bestScoresForPatients(patients, banded) == bestScoresForPatients(patients, whole);
        identical += same;
        sameWords += words;
        sameScores += scores;
        sameProposal += nb == nw;
        QString old = "-";
        if (!item.expected.isEmpty()) {
            ++withExpected;
            rightNew += nb == item.expected;
            // The earlier size: twice the device pixels.
            old = identifiedName(patients, wordsFromImage(resizeImage(item.image, item.image.size() * 2)));
            rightOld += old == item.expected;
        }
        std::printf(
            "%-62s bands %d  text %-10s scores %-9s proposals banded %-12s whole %-12s 2x-pixels %-12s "
            "top-band card %s\n",
            qPrintable(item.label), t.bands,
            same    ? "identical"
            : words ? "same-words"
                    : "DIFFERENT",
            scores ? "identical" : "DIFFERENT", qPrintable(nb), qPrintable(nw), qPrintable(old),
            ne.isEmpty() ? "-" : qPrintable(ne));
        if (!words && banded && whole) {
            std::printf("---- banded:\n%s\n---- whole:\n%s\n----\n", qPrintable(*banded), qPrintable(*whole));
        }
        std::fflush(stdout);
    }
    std::printf(
        "\n%zu windows: text identical %d, same words %d, same score for every patient %d, same proposal %d; "
        "right patient at the new size %d of %d, at twice the device pixels %d of %d; cards from the top "
        "band %d, of them the whole window's proposal %d\n",
        items.size(), identical, sameWords, sameScores, sameProposal, rightNew, withExpected, rightOld,
        withExpected, earlyCards, earlyAgrees);
    return 0;
}

// Where one window is cut, and each band's reading time on its own (one
// engine, one band after the other) beside the whole image's.
int probe(int index) {
    const Window &w = windows()[size_t(index)];
    const QImage input = recognitionInput(render(w), w.scale);
    // As the panel reads it: the top band first.
    const QList<int> cuts =
        leadingBandCuts(input, QThread::idealThreadCount(), TextRecognizer::kLeadingShare);
    std::printf("%s: %dx%d, cuts:", qPrintable(w.label), input.width(), input.height());
    for (int c : cuts)
        std::printf(" %d", c);
    std::printf("\n");
    const std::unique_ptr<RecognitionEngine> engine = RecognitionEngine::start({});
    int top = 0;
    for (qsizetype i = 0; i <= cuts.size(); ++i) {
        const int bottom = i < cuts.size() ? cuts[i] : input.height();
        RecognitionTimings t;
        const std::optional<QString> text = engine->read(bandOf(input, top, bottom), nullptr, &t);
        std::printf("  band %d-%d: encode %lld decode %lld reading %lld ms, processor time %lld ms, %lld "
                    "characters\n",
                    top, bottom, t.encode, t.decode, t.recognition, t.cpu, qint64(text ? text->size() : -1));
        top = bottom;
    }
    RecognitionTimings t;
    const std::optional<QString> text = engine->read(input, nullptr, &t);
    std::printf("  whole: encode %lld decode %lld reading %lld ms, processor time %lld ms, %lld characters\n",
                t.encode, t.decode, t.recognition, t.cpu, qint64(text ? text->size() : -1));
    return 0;
}

} // namespace

int main(int argc, char **argv) {
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QGuiApplication app(argc, argv);
    const QStringList args = app.arguments();
    int runs = 3;
    const qsizetype at = args.indexOf("--runs");
    if (at >= 0 && at + 1 < args.size())
        runs = std::max(1, args[at + 1].toInt());
    const qsizetype childAt = args.indexOf("--child");
    if (childAt >= 0 && childAt + 2 < args.size())
        return child(args[childAt + 1].toInt(), args[childAt + 2] == "before", args.contains("--compare"));
    if (args.contains("--corpus"))
        return corpus();
    const qsizetype probeAt = args.indexOf("--bands");
    if (probeAt >= 0 && probeAt + 1 < args.size())
        return probe(args[probeAt + 1].toInt());
    return table(app.applicationFilePath(), runs);
}
