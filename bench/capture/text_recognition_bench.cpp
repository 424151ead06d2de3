// Times text recognition of rendered window images (800x600 and 1280x800,
// enlarged 2x as a capture does) with the engine kept to the calling thread
// and with the engine's own OpenMP threading, in one run.
//
//   bench_capture_text_recognition [--runs N]

#include "capture/image_preparation.h"
#include "capture/text_recognition.h"
#include "window_rendering.h"

#include <QElapsedTimer>
#include <QGuiApplication>
#include <QThread>
#include <algorithm>
#include <cstdio>
#include <vector>

namespace {

struct Timing {
    double medianMs = 0;
    QString text;
};

Timing time(const QImage &window, bool singleThreaded, int runs) {
    TextRecognitionSettings settings;
    settings.singleThreaded = singleThreaded;
    std::vector<double> times;
    Timing timing;
    for (int i = 0; i < runs; ++i) {
        QElapsedTimer timer;
        timer.start();
        const std::optional<QString> text = wordsFromImage(resizeImage(window, window.size() * 2), settings);
        times.push_back(double(timer.nsecsElapsed()) / 1e6);
        timing.text = text.value_or(QStringLiteral("<none>"));
    }
    std::sort(times.begin(), times.end());
    timing.medianMs = times[times.size() / 2];
    return timing;
}

} // namespace

int main(int argc, char **argv) {
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QGuiApplication app(argc, argv);
    int runs = 3;
    const QStringList args = app.arguments();
    const qsizetype at = args.indexOf("--runs");
    if (at >= 0 && at + 1 < args.size())
        runs = std::max(1, args[at + 1].toInt());

    std::printf("text recognition, median of %d runs, %d CPU cores, OMP_THREAD_LIMIT=%s\n", runs,
                QThread::idealThreadCount(),
                qgetenv("OMP_THREAD_LIMIT").isEmpty() ? "(unset)" : qgetenv("OMP_THREAD_LIMIT").constData());
    for (const QSize size : {QSize(800, 600), QSize(1280, 800)}) {
        const QImage window = renderDenseWindow(size);
        const Timing threaded = time(window, false, runs);
        const Timing single = time(window, true, runs);
        std::printf("%4dx%-4d (recognised at %dx%d, %lld characters)\n", size.width(), size.height(),
                    size.width() * 2, size.height() * 2, qint64(single.text.size()));
        std::printf("  engine threading (OpenMP)  %8.0f ms\n", threaded.medianMs);
        std::printf("  kept to one thread         %8.0f ms  (%.1f x faster), text %s\n", single.medianMs,
                    threaded.medianMs / single.medianMs,
                    threaded.text == single.text ? "identical" : "DIFFERENT");
        std::fflush(stdout);
    }
    return 0;
}
