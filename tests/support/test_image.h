#pragma once
// A small solid image encoded as a file of `format` ("PNG", "TIFF"), as
// Base64 text: the "content" of a documentation record's upload entry.

#include <QBuffer>
#include <QByteArray>
#include <QColor>
#include <QImage>
#include <QString>

inline QString kcTestImageBase64(const char *format, const QColor &color = Qt::green) {
    QImage image(8, 6, QImage::Format_RGB32);
    image.fill(color);
    QByteArray bytes;
    QBuffer buffer(&bytes);
    buffer.open(QIODevice::WriteOnly);
    image.save(&buffer, format);
    return QString::fromLatin1(bytes.toBase64());
}
