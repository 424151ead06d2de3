// Streamed multipart upload of a large file to a local HTTP server: the
// session manager's throughput beside `curl --data-binary` to the same
// server in the same run, and the peak memory growth of the upload.
//
//   bench_http_streamed_upload_bench [MEGABYTES]   (default 500)

#include "http/http_session_manager.h"
#include "http/multipart.h"
#include "tests/http/support/test_server.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QFile>
#include <QProcess>
#include <QStandardPaths>
#include <QTemporaryDir>

#include <cstdio>

namespace {

// A field of /proc/self/status in kB.
qint64 statusKB(const char *field) {
    QFile f(QStringLiteral("/proc/self/status"));
    if (!f.open(QIODevice::ReadOnly))
        return -1;
    for (const QByteArray &line : f.readAll().split('\n')) {
        if (line.startsWith(field))
            return line.mid(qstrlen(field)).trimmed().split(' ').value(0).toLongLong();
    }
    return -1;
}

void resetPeakRSS() {
    QFile f(QStringLiteral("/proc/self/clear_refs"));
    if (f.open(QIODevice::WriteOnly))
        f.write("5");
}

} // namespace

int main(int argc, char **argv) {
    QCoreApplication app(argc, argv);
    const qint64 megabytes = argc > 1 ? QByteArray(argv[1]).toLongLong() : 500;
    if (megabytes <= 0) {
        std::fprintf(stderr, "usage: %s [MEGABYTES]\n", argv[0]);
        return 2;
    }
    const qint64 size = megabytes * 1024 * 1024;

    kctest::TestServer server([](const kctest::ReceivedRequest &r) {
        kctest::TestResponse resp;
        resp.body = QByteArray::number(r.bodyLength);
        resp.headers.append(qMakePair(QByteArray("Content-Type"), QByteArray("text/plain")));
        return resp;
    });

    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("upload.bin"));
    {
        QFile f(path);
        if (!f.open(QIODevice::WriteOnly)) {
            std::fprintf(stderr, "cannot create %s\n", qPrintable(path));
            return 1;
        }
        // Real bytes, so that both clients read the same file from the page cache.
        QByteArray block(4 << 20, 'k');
        for (qint64 written = 0; written < size; written += block.size())
            f.write(block.constData(), qMin<qint64>(block.size(), size - written));
    }

    CVHTTPSessionManager manager(QUrl(server.url(QStringLiteral("/"))));
    manager.setResponseSerializer(CVHTTPResponseSerializer::serializer());
    auto request = manager.requestSerializer()->multipartFormRequestWithMethod(
        QStringLiteral("POST"), server.url(QStringLiteral("/documents")),
        QVariantMap{{QStringLiteral("a"), 1}}, [&](CVStreamingMultipartFormData &form) {
            form.appendPartWithFileURL(QUrl::fromLocalFile(path), QStringLiteral("attachmentcontents"),
                                       QStringLiteral("upload.bin"),
                                       QStringLiteral("application/octet-stream"));
        });
    if (!request) {
        std::fprintf(stderr, "cannot build the request\n");
        return 1;
    }
    const qint64 contentLength =
        request->valueForHTTPHeaderField(QStringLiteral("Content-Length")).toLongLong();

    // Both clients read the file from the page cache.
    {
        QFile f(path);
        f.open(QIODevice::ReadOnly);
        while (!f.read(4 << 20).isEmpty()) {
        }
    }

    auto runOurs = [&](qint64 *received, qint64 *peakGrowthKB) -> double {
        // Each run reads a fresh copy of the body from the start.
        KCURLRequest req = *request;
        req.setHTTPBodyStream(request->copyHTTPBodyStream());
        resetPeakRSS();
        const qint64 rssBefore = statusKB("VmRSS:");
        QEventLoop loop;
        KCError error;
        QVariant answer;
        QElapsedTimer timer;
        timer.start();
        manager
            .uploadTaskWithStreamedRequest(
                req, nullptr,
                [&](const std::optional<KCHTTPURLResponse> &, const QVariant &object, const KCError &e) {
                    error = e;
                    answer = object;
                    loop.quit();
                })
            ->resume();
        loop.exec();
        const double seconds = timer.nsecsElapsed() / 1e9;
        *peakGrowthKB = qMax(*peakGrowthKB, statusKB("VmHWM:") - rssBefore);
        if (error) {
            std::fprintf(stderr, "upload failed: %s\n", qPrintable(error.localizedDescription()));
            return -1;
        }
        *received = answer.toByteArray().toLongLong();
        return seconds;
    };
    const QString curl = QStandardPaths::findExecutable(QStringLiteral("curl"));
    auto runCurl = [&]() -> double {
        if (curl.isEmpty())
            return -1;
        QProcess p;
        p.start(curl,
                {QStringLiteral("-s"), QStringLiteral("-o"), QStringLiteral("/dev/null"),
                 QStringLiteral("-w"), QStringLiteral("%{time_total}"), QStringLiteral("-H"),
                 QStringLiteral("Content-Type: application/octet-stream"), QStringLiteral("--data-binary"),
                 QStringLiteral("@") + path, server.url(QStringLiteral("/curl"))});
        // The server runs on its own thread; this one only waits.
        if (p.waitForFinished(600000) && p.exitCode() == 0)
            return p.readAllStandardOutput().trimmed().toDouble();
        return -1;
    };

    // Alternating runs; the best of each counts (the machine is shared).
    constexpr int kRounds = 3;
    double ours = 1e300, theirs = 1e300;
    qint64 received = 0, peakGrowthKB = 0;
    for (int round = 0; round < kRounds; ++round) {
        const double o = runOurs(&received, &peakGrowthKB);
        if (o < 0)
            return 1;
        const double c = runCurl();
        ours = qMin(ours, o);
        if (c > 0)
            theirs = qMin(theirs, c);
        std::printf("  round %d: session manager %.2f s, curl %.2f s\n", round + 1, o, c);
    }
    if (theirs > 1e299)
        theirs = -1;

    const double mb = double(contentLength) / (1024.0 * 1024.0);
    std::printf("streamed multipart upload of %lld MB file (body %lld bytes, server received %lld)\n",
                static_cast<long long>(megabytes), static_cast<long long>(contentLength),
                static_cast<long long>(received));
    std::printf("  session manager:      %8.2f s  %8.1f MB/s\n", ours, mb / ours);
    if (theirs > 0) {
        const double curlMB = double(size) / (1024.0 * 1024.0);
        std::printf("  curl --data-binary:   %8.2f s  %8.1f MB/s\n", theirs, curlMB / theirs);
        std::printf("  throughput ratio:     %8.2f (session manager / curl)\n",
                    (mb / ours) / (curlMB / theirs));
    } else {
        std::printf("  curl --data-binary:   not available\n");
    }
    std::printf("  peak memory growth:   %8.1f MB (peak RSS over RSS before the upload, worst round)\n",
                peakGrowthKB / 1024.0);
    return received == contentLength ? 0 : 1;
}
