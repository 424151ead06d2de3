#pragma once
// Preparing window images for text recognition.

#include <QByteArray>
#include <QImage>
#include <QSize>

// A new image of `size` with `image` drawn (smoothly scaled) into all of it.
// A null image or an empty size gives a null image.
QImage resizeImage(const QImage &image, const QSize &size);

// The image's pixels as one PNG byte buffer; empty for an image without
// pixels.
QByteArray pngDataFromImage(const QImage &image);

// A cheap structural check of PNG bytes: signature, chunk framing and CRCs,
// a sane IHDR first, at least one IDAT, IEND last. Bytes that pass may still
// hold a broken compressed stream; bytes that fail are certainly not a
// decodable PNG.
bool isWellFormedPng(const QByteArray &bytes);
