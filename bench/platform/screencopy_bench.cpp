// bench_platform_screencopy_bench [ROUNDS]: run inside a wlroots session
// (tests/support/with-sway bench_platform_screencopy_bench). The time from
// asking for a picture of the screens to having it decoded in memory: the
// compositor's screen copy into this process, against grim writing PNG (its
// default) or PPM to a pipe and this process decoding it. Prints the median
// of each and their ratios.
#include "platform/windowserver/screencopy.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QImage>
#include <QProcess>

#include <algorithm>
#include <cstdio>
#include <functional>
#include <vector>

static double medianMs(int rounds, const std::function<bool()> &once) {
    std::vector<double> times;
    for (int i = 0; i < rounds; ++i) {
        QElapsedTimer clock;
        clock.start();
        if (!once())
            return -1;
        times.push_back(double(clock.nsecsElapsed()) / 1e6);
    }
    std::sort(times.begin(), times.end());
    return times[times.size() / 2];
}

static bool grim(const char *type) {
    QProcess process;
    process.start(QStringLiteral("grim"),
                  {QStringLiteral("-t"), QString::fromLatin1(type), QStringLiteral("-")});
    if (!process.waitForFinished(20000))
        return false;
    return !QImage::fromData(process.readAllStandardOutput()).isNull();
}

int main(int argc, char **argv) {
    QCoreApplication app(argc, argv);
    const int rounds = argc > 1 ? std::max(1, std::atoi(argv[1])) : 15;
    QString problem;
    if (!screencopyOffered(&problem)) {
        std::fprintf(stderr, "bench_platform_screencopy_bench: %s\n", qPrintable(problem));
        return 1;
    }
    QSize size;
    const double copy = medianMs(rounds, [&] {
        const ScreencopyPicture shot = captureOutputs();
        size = shot.picture.size();
        return shot.problem.isEmpty();
    });
    const double png = medianMs(rounds, [] { return grim("png"); });
    const double ppm = medianMs(rounds, [] { return grim("ppm"); });
    std::printf("screen %dx%d, median of %d rounds\n", size.width(), size.height(), rounds);
    std::printf("%-40s %8.1f ms\n", "screen copy into memory", copy);
    std::printf("%-40s %8.1f ms  (%.1fx)\n", "grim PNG to a pipe, decoded", png, png / copy);
    std::printf("%-40s %8.1f ms  (%.1fx)\n", "grim PPM to a pipe, decoded", ppm, ppm / copy);
    return 0;
}
