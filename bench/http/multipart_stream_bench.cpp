// Streams a large file part through the multipart body stream the way a
// transport pulls it (64 KiB reads) and prints the throughput and the growth
// of the process's peak resident memory, for a 50 MB and a 500 MB file.
//
//   bench_http_multipart_stream_bench [directory for the temporary files]

#include "http/multipart.h"
#include "http/request_serializer.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QTemporaryDir>
#include <cstdio>
#include <fcntl.h>
#include <unistd.h>

namespace {

// A field of /proc/self/status in kB ("VmRSS", "VmHWM").
qint64 statusKB(const char *field) {
    QFile status(QStringLiteral("/proc/self/status"));
    if (!status.open(QIODevice::ReadOnly))
        return -1;
    const QByteArray prefix = QByteArray(field) + ':';
    for (const QByteArray &line : status.readAll().split('\n')) {
        if (line.startsWith(prefix))
            return line.mid(prefix.size()).trimmed().split(' ').value(0).toLongLong();
    }
    return -1;
}

// Resets the peak resident size to the current one.
bool resetPeak() {
    QFile clear(QStringLiteral("/proc/self/clear_refs"));
    return clear.open(QIODevice::WriteOnly) && clear.write("5") == 1;
}

bool writeFile(const QString &path, qint64 size) {
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly))
        return false;
    QByteArray chunk(1 << 20, '\0');
    for (int i = 0; i < chunk.size(); ++i)
        chunk[i] = char((i * 131 + 7) % 251);
    for (qint64 written = 0; written < size;) {
        const qint64 n = std::min<qint64>(chunk.size(), size - written);
        if (file.write(chunk.constData(), n) != n)
            return false;
        written += n;
    }
    // Out of the page cache, so that the run reads from the disk as an
    // upload of an older file would.
    file.flush();
    ::fsync(file.handle());
    ::posix_fadvise(file.handle(), 0, 0, POSIX_FADV_DONTNEED);
    return true;
}

bool run(const QString &path, qint64 fileSize) {
    CVHTTPRequestSerializer serializer;
    KCError error;
    const auto request = serializer.multipartFormRequestWithMethod(
        QStringLiteral("POST"), QStringLiteral("https://example.test/documents"),
        QVariantMap{{QStringLiteral("documentsubclass"), QStringLiteral("CLINICALDOCUMENT")}},
        [&](CVStreamingMultipartFormData &form) {
            form.appendPartWithFileURL(QUrl::fromLocalFile(path), QStringLiteral("attachmentcontents"),
                                       QStringLiteral("scan.pdf"), QStringLiteral("application/pdf"), &error);
        },
        &error);
    if (!request || !error.isNull()) {
        std::fprintf(stderr, "building the request failed: %s\n", qPrintable(error.localizedDescription()));
        return false;
    }
    auto stream = request->HTTPBodyStream();
    const qint64 expected = request->valueForHTTPHeaderField(QStringLiteral("Content-Length")).toLongLong();

    const bool peakReset = resetPeak();
    const qint64 rssBefore = statusKB("VmRSS");
    const qint64 peakBefore = statusKB("VmHWM");
    QElapsedTimer timer;
    timer.start();
    stream->open(QIODevice::ReadOnly);
    QByteArray buffer(64 * 1024, '\0');
    qint64 total = 0;
    quint64 checksum = 0;
    while (true) {
        const qint64 n = stream->read(buffer.data(), buffer.size());
        if (n < 0) {
            std::fprintf(stderr, "read failed: %s\n", qPrintable(stream->errorString()));
            return false;
        }
        if (n == 0)
            break;
        total += n;
        checksum += static_cast<unsigned char>(buffer[int(n - 1)]);
    }
    const double seconds = timer.nsecsElapsed() / 1e9;
    const qint64 peakAfter = statusKB("VmHWM");
    const qint64 baseline = peakReset ? rssBefore : peakBefore;
    const double growthMB = (peakAfter - baseline) / 1024.0;
    std::printf("file %4lld MB: body %lld bytes (Content-Length %lld, %s), %.2f s, %.0f MB/s, "
                "peak memory growth %.2f MB%s [checksum %llu]\n",
                fileSize / 1000000, total, expected, total == expected ? "equal" : "DIFFERENT", seconds,
                total / 1e6 / seconds, growthMB, growthMB < 16 ? " (< 16 MB)" : " (OVER 16 MB)",
                static_cast<unsigned long long>(checksum));
    std::fflush(stdout);
    return total == expected && growthMB < 16;
}

} // namespace

int main(int argc, char **argv) {
    QCoreApplication app(argc, argv);
    QTemporaryDir dir(argc > 1 ? QString::fromLocal8Bit(argv[1]) + QStringLiteral("/kc-bench-XXXXXX")
                               : QDir::tempPath() + QStringLiteral("/kc-bench-XXXXXX"));
    if (!dir.isValid()) {
        std::fprintf(stderr, "no temporary directory\n");
        return 2;
    }
    bool ok = true;
    for (const qint64 size : {qint64(50) * 1000 * 1000, qint64(500) * 1000 * 1000}) {
        const QString path = dir.filePath(QStringLiteral("part-%1.bin").arg(size));
        if (!writeFile(path, size)) {
            std::fprintf(stderr, "writing %s failed\n", qPrintable(path));
            return 2;
        }
        ok = run(path, size) && ok;
        QFile::remove(path);
    }
    return ok ? 0 : 1;
}
