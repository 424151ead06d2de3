#include "capture/image_preparation.h"

#include <QBuffer>
#include <QImageWriter>
#include <QPainter>
#include <array>
#include <cstring>

QImage resizeImage(const QImage &image, const QSize &size) {
    if (image.isNull() || size.isEmpty())
        return {};
    QImage resized(size, QImage::Format_ARGB32_Premultiplied);
    if (resized.isNull())
        return {};
    resized.fill(Qt::transparent);
    QPainter painter(&resized);
    painter.setRenderHint(QPainter::SmoothPixmapTransform);
    painter.drawImage(QRect(QPoint(0, 0), size), image);
    painter.end();
    return resized;
}

QByteArray pngDataFromImage(const QImage &image) {
    if (image.isNull() || image.width() <= 0 || image.height() <= 0)
        return {};
    QByteArray bytes;
    QBuffer buffer(&bytes);
    buffer.open(QIODevice::WriteOnly);
    QImageWriter writer(&buffer, "png");
    // Fast, light compression: the bytes are decoded again at once, in memory.
    writer.setQuality(80);
    if (!writer.write(image))
        return {};
    return bytes;
}

namespace {

std::array<quint32, 256> makeCrcTable() {
    std::array<quint32, 256> table{};
    for (quint32 n = 0; n < 256; ++n) {
        quint32 c = n;
        for (int k = 0; k < 8; ++k)
            c = (c & 1) ? 0xEDB88320u ^ (c >> 1) : c >> 1;
        table[n] = c;
    }
    return table;
}

quint32 crc32(const uchar *data, qsizetype length) {
    static const std::array<quint32, 256> table = makeCrcTable();
    quint32 c = 0xFFFFFFFFu;
    for (qsizetype i = 0; i < length; ++i)
        c = table[(c ^ data[i]) & 0xFF] ^ (c >> 8);
    return c ^ 0xFFFFFFFFu;
}

quint32 bigEndian32(const uchar *p) {
    return (quint32(p[0]) << 24) | (quint32(p[1]) << 16) | (quint32(p[2]) << 8) | quint32(p[3]);
}

bool validHeader(const uchar *ihdr) {
    const quint32 width = bigEndian32(ihdr);
    const quint32 height = bigEndian32(ihdr + 4);
    const int depth = ihdr[8];
    const int colorType = ihdr[9];
    // Leptonica allocates the whole image at once: refuse absurd sizes.
    if (width == 0 || height == 0 || width > 65535 || height > 65535 ||
        quint64(width) * height > (quint64(1) << 28))
        return false;
    if (ihdr[10] != 0 || ihdr[11] != 0 || ihdr[12] > 1)
        return false;
    switch (colorType) {
    case 0:
        return depth == 1 || depth == 2 || depth == 4 || depth == 8 || depth == 16;
    case 3:
        return depth == 1 || depth == 2 || depth == 4 || depth == 8;
    case 2:
    case 4:
    case 6:
        return depth == 8 || depth == 16;
    default:
        return false;
    }
}

} // namespace

bool isWellFormedPng(const QByteArray &bytes) {
    static const uchar signature[8] = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'};
    const auto *data = reinterpret_cast<const uchar *>(bytes.constData());
    const qsizetype size = bytes.size();
    if (size < 8 || memcmp(data, signature, 8) != 0)
        return false;
    qsizetype at = 8;
    bool first = true;
    bool sawData = false;
    while (size - at >= 12) {
        const quint32 length = bigEndian32(data + at);
        if (length > quint32(size - at - 12))
            return false;
        const uchar *type = data + at + 4;
        const uchar *chunk = type + 4;
        if (crc32(type, qsizetype(length) + 4) != bigEndian32(chunk + length))
            return false;
        const bool isHeader = memcmp(type, "IHDR", 4) == 0;
        if (first != isHeader)
            return false;
        if (isHeader && (length != 13 || !validHeader(chunk)))
            return false;
        if (memcmp(type, "IDAT", 4) == 0)
            sawData = true;
        first = false;
        at += qsizetype(length) + 12;
        if (memcmp(type, "IEND", 4) == 0)
            return sawData;
    }
    return false;
}
