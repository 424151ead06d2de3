// bench_capture_offline_day [--captures N] [--image WxH]: a day offline with
// the real upload queue (kc-upload-probe) and kelvra-demo-service. N captures
// (300 by default, 1000x700 record windows) are accepted while the clinic
// service and the EMR cannot be reached, the application quits and starts
// twice, then the service comes back. Prints, per run of the application,
// the time taken, the longest stall of the main thread's event loop beside
// the longest stretch the main thread itself was busy (the difference is the
// machine running other work: read it with the load average) and the growth
// of resident memory; then whether every capture was filed once in each
// place, in order, and whether the outbox stayed sealed. Runs itself inside
// a throw-away keyring (tests/support/with-keyring).

#include "offline_day.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QFile>
#include <QRegularExpression>

#include <cstdio>
#include <unistd.h>

namespace {

double loadAverage() {
    QFile file(QStringLiteral("/proc/loadavg"));
    return file.open(QIODevice::ReadOnly) ? file.readAll().split(' ').value(0).toDouble() : -1;
}

// "figures <phase> <name> <value> ..." as name -> value.
QHash<QString, QString> fields(const QString &line) {
    QHash<QString, QString> out;
    const QStringList parts = line.split(' ', Qt::SkipEmptyParts);
    out.insert(QStringLiteral("phase"), parts.value(1));
    for (int i = 2; i + 1 < parts.size(); i += 2)
        out.insert(parts[i], parts[i + 1]);
    return out;
}

} // namespace

int main(int argc, char **argv) {
    if (qEnvironmentVariableIsEmpty("KC_KEYRING_TMP")) {
        // The outbox's key lives in a keyring, as the application's does.
        const QByteArray withKeyring = KC_SOURCE_DIR "/tests/support/with-keyring";
        std::vector<char *> args{const_cast<char *>(withKeyring.constData())};
        for (int i = 0; i < argc; ++i)
            args.push_back(argv[i]);
        args.push_back(nullptr);
        ::execv(withKeyring.constData(), args.data());
        std::perror("with-keyring");
        return 1;
    }
    QCoreApplication app(argc, argv);
    QCommandLineParser parser;
    parser.addOptions({{"captures", "Captures accepted offline.", "n", "300"},
                       {"image", "Size of each capture.", "WxH", "1000x700"}});
    parser.process(app);
    const QStringList size = parser.value("image").split('x');
    KCOfflineDayOptions options{QStringLiteral(KC_DEMO_SERVICE), QStringLiteral(KC_UPLOAD_PROBE),
                                parser.value("captures").toInt(),
                                QSize(size.value(0).toInt(), size.value(1).toInt())};
    std::printf("A day offline: %d captures of %dx%d, load average %.2f at the start\n", options.captures,
                options.image.width(), options.image.height(), loadAverage());
    std::fflush(stdout);
    const KCOfflineDayResult day = kcRunOfflineDay(options);
    std::printf("%-34s %10s %17s %15s %16s\n", "run", "time (ms)", "longest stall", "longest busy",
                "memory growth");
    const char *names[] = {"accepting offline, then quit", "started offline (1)", "started offline (2)",
                           "service back: sending all"};
    for (int i = 0; i < day.figures.size(); ++i) {
        const QHash<QString, QString> f = fields(day.figures[i]);
        const double growth = (f.value("rss-peak-kb").toDouble() - f.value("rss-start-kb").toDouble()) / 1024;
        std::printf("%-34s %10s %14s ms %12s ms %13.1f MB\n", i < 4 ? names[i] : "",
                    qPrintable(f.value("elapsed-ms")), qPrintable(f.value("longest-stall-ms")),
                    qPrintable(f.value("longest-busy-ms")), growth);
    }
    std::printf("load average at the end %.2f\n", loadAverage());
    std::printf(
        "filed in the clinic service %d of %d, in the chart %d of %d, in the order of acceptance: %s\n",
        day.clinicFiled, options.captures, day.emrFiled, options.captures, day.inOrder ? "yes" : "no");
    std::printf("outbox sealed at every look: %s\n",
                day.exposure.isEmpty() ? "yes" : qPrintable(QStringLiteral("no: ") + day.exposure));
    if (!day.failure.isEmpty())
        std::printf("FAILED: %s\n", qPrintable(day.failure));
    const bool ok = day.failure.isEmpty() && day.exposure.isEmpty() && day.inOrder &&
                    day.clinicFiled == options.captures && day.emrFiled == options.captures;
    return ok ? 0 : 1;
}
