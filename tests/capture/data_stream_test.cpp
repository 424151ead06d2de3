// In-memory C streams: the callbacks on their own, the registry, stdio on top
// of them, and PNG decoding through a stream with its failure paths.

#include "capture/data_stream.h"
#include "capture/image_preparation.h"
#include "capture/text_recognition.h"

#include <QImage>
#include <QTemporaryFile>
#include <cstdio>
#include <functional>
#include <gtest/gtest.h>
#include <leptonica/allheaders.h>
#include <unistd.h>

namespace {

TEST(DataStream, CallbacksOverTenBytes) {
    const auto context = CKDataStreamContext::contextWithData(QByteArray("0123456789"));
    void *cookie = context.get();
    char buffer[16] = {};
    EXPECT_EQ(context->pos, 0);
    EXPECT_EQ(CKDataStreamRead(cookie, buffer, 4), 4);
    EXPECT_EQ(QByteArray(buffer, 4), "0123");
    EXPECT_EQ(context->pos, 4);
    EXPECT_EQ(CKDataStreamSeek(cookie, -2, SEEK_END), 8);
    EXPECT_EQ(CKDataStreamRead(cookie, buffer, 4), 2);
    EXPECT_EQ(QByteArray(buffer, 2), "89");
    EXPECT_EQ(CKDataStreamRead(cookie, buffer, 4), 0);
    EXPECT_EQ(CKDataStreamSeek(cookie, 0, 3), -1);
    EXPECT_EQ(context->pos, 10);
    EXPECT_EQ(CKDataStreamSeek(cookie, -3, SEEK_CUR), 7);
    EXPECT_EQ(CKDataStreamSeek(cookie, 2, SEEK_SET), 2);
    // Past the end reads nothing.
    EXPECT_EQ(CKDataStreamSeek(cookie, 20, SEEK_SET), 20);
    EXPECT_EQ(CKDataStreamRead(cookie, buffer, 4), 0);
    // A fixed buffer cannot be written.
    EXPECT_EQ(CKDataStreamWrite(cookie, "ab", 2), -1);
}

// A position before the start would make the next read copy from before the
// buffer; such seeks fail and leave the position alone.
TEST(DataStream, SeeksOutsideTheRangeFail) {
    const auto context = CKDataStreamContext::contextWithData(QByteArray("0123456789"));
    void *cookie = context.get();
    CKDataStreamSeek(cookie, 3, SEEK_SET);
    EXPECT_EQ(CKDataStreamSeek(cookie, -4, SEEK_CUR), -1);
    EXPECT_EQ(CKDataStreamSeek(cookie, -11, SEEK_END), -1);
    EXPECT_EQ(CKDataStreamSeek(cookie, -1, SEEK_SET), -1);
    EXPECT_EQ(CKDataStreamSeek(cookie, std::numeric_limits<qint64>::max(), SEEK_END), -1);
    EXPECT_EQ(context->pos, 3);
}

TEST(DataStream, WritesGrowAGrowableBuffer) {
    auto bytes = std::make_shared<QByteArray>("abcd");
    const auto context = CKDataStreamContext::contextWithData(bytes);
    void *cookie = context.get();
    CKDataStreamSeek(cookie, 2, SEEK_SET);
    EXPECT_EQ(CKDataStreamWrite(cookie, "123456", 6), 6);
    EXPECT_EQ(*bytes, "ab123456");
    EXPECT_EQ(context->pos, 8);
    // A gap left by seeking past the end is zero-filled.
    CKDataStreamSeek(cookie, 10, SEEK_SET);
    EXPECT_EQ(CKDataStreamWrite(cookie, "x", 1), 1);
    EXPECT_EQ(*bytes, QByteArray("ab123456\0\0x", 11));
    // Inside the buffer a write replaces bytes without growing it.
    CKDataStreamSeek(cookie, 0, SEEK_SET);
    EXPECT_EQ(CKDataStreamWrite(cookie, "AB", 2), 2);
    EXPECT_EQ(bytes->size(), 11);
    EXPECT_TRUE(bytes->startsWith("AB1"));
}

TEST(DataStream, RegistryHoldsOpenStreams) {
    const size_t before = CKOpenDataStreamCount();
    FILE *first = CKOpenDataStream(QByteArray("first"));
    FILE *second = CKOpenDataStream(QByteArray("second"));
    ASSERT_TRUE(first && second);
    EXPECT_EQ(CKOpenDataStreamCount(), before + 2);
    EXPECT_EQ(fclose(first), 0);
    EXPECT_EQ(CKOpenDataStreamCount(), before + 1);
    // The context outlives its creator: the registry keeps it while open.
    char buffer[8] = {};
    EXPECT_EQ(fread(buffer, 1, sizeof buffer, second), 6u);
    EXPECT_EQ(QByteArray(buffer, 6), "second");
    EXPECT_EQ(fclose(second), 0);
    EXPECT_EQ(CKOpenDataStreamCount(), before);
}

TEST(DataStream, StdioOnTopOfTheCallbacks) {
    FILE *stream = CKOpenDataStream(QByteArray("hello, stream"));
    ASSERT_TRUE(stream);
    char buffer[8] = {};
    ASSERT_EQ(fseek(stream, 7, SEEK_SET), 0);
    EXPECT_EQ(fread(buffer, 1, 6, stream), 6u);
    EXPECT_EQ(QByteArray(buffer, 6), "stream");
    EXPECT_EQ(ftell(stream), 13);
    EXPECT_NE(fseek(stream, -1, SEEK_SET), 0);
    // No write callback on a fixed buffer: writing fails.
    rewind(stream);
    EXPECT_EQ(fputs("x", stream) == EOF || fflush(stream) == EOF, true);
    fclose(stream);

    auto bytes = std::make_shared<QByteArray>();
    FILE *writable = CKOpenDataStream(bytes);
    ASSERT_TRUE(writable);
    fputs("written through stdio", writable);
    fclose(writable);
    EXPECT_EQ(*bytes, "written through stdio");
}

// Runs `work` with stderr sent to a temporary file; returns what was written.
QByteArray stderrOf(const std::function<void()> &work) {
    QTemporaryFile capture;
    EXPECT_TRUE(capture.open());
    fflush(stderr);
    const int saved = dup(STDERR_FILENO);
    dup2(capture.handle(), STDERR_FILENO);
    work();
    fflush(stderr);
    dup2(saved, STDERR_FILENO);
    close(saved);
    capture.seek(0);
    return capture.readAll();
}

TEST(PngDecoding, DecodesThroughTheStream) {
    QImage image(37, 21, QImage::Format_RGB32);
    image.fill(QColor(10, 200, 30));
    const QByteArray png = pngDataFromImage(image);
    ASSERT_TRUE(isWellFormedPng(png));
    const size_t before = CKOpenDataStreamCount();
    Pix *pix = pixFromPngData(png);
    ASSERT_TRUE(pix);
    EXPECT_EQ(pixGetWidth(pix), 37);
    EXPECT_EQ(pixGetHeight(pix), 21);
    pixDestroy(&pix);
    EXPECT_EQ(CKOpenDataStreamCount(), before);
}

TEST(PngDecoding, BadBytesGiveNothingQuietly) {
    QImage image(64, 48, QImage::Format_RGB32);
    image.fill(Qt::white);
    const QByteArray png = pngDataFromImage(image);
    QList<QByteArray> bad = {QByteArray(), QByteArray("not a png at all"), png.left(8),
                             png.left(png.size() / 2), png.left(png.size() - 1)};
    for (int at : {10, 20, 33, 40, int(png.size()) - 20}) {
        QByteArray flipped = png;
        flipped[at] = char(flipped[at] ^ 0x55);
        bad << flipped;
    }
    for (const QByteArray &bytes : bad) {
        Pix *pix = nullptr;
        const QByteArray noise = stderrOf([&] { pix = pixFromPngData(bytes); });
        EXPECT_EQ(pix, nullptr) << "size " << bytes.size();
        EXPECT_TRUE(noise.isEmpty()) << noise.constData();
        if (pix)
            pixDestroy(&pix);
    }
    EXPECT_EQ(pngDataFromImage(QImage()), QByteArray());
}

} // namespace
