#pragma once
// Preparing window images for text recognition.

#include <QByteArray>
#include <QImage>
#include <QSize>

#include <QList>

// A new image of `size` with `image` drawn (smoothly scaled) into all of it,
// opaque when `image` is. A null image or an empty size gives a null image.
QImage resizeImage(const QImage &image, const QSize &size);

// The size text recognition reads a window at: twice the window's size in
// points. `scale` is the screen's device pixels per point, which the window
// image has; sizes are rounded to whole pixels.
QSize recognitionSize(const QSize &windowPixels, double scale);

// The window image at recognitionSize(): the image itself when it already has
// that size, as on a screen of scale 2 (not copied when the caller moves it
// in), else resizeImage(). Opaque in content means opaque in format.
QImage recognitionInput(QImage window, double scale);

// zlib compression levels of the in-memory PNG: 0 stores the pixels
// uncompressed (the fastest to write and to read back), -1 leaves the level
// to the encoder (its default, several times slower).
inline constexpr int kFastestPngLevel = 0;
inline constexpr int kDefaultPngLevel = -1;

// The image's pixels as one PNG byte buffer at compression `level` (0-9, or
// kDefaultPngLevel); empty for an image without pixels.
QByteArray pngDataFromImage(const QImage &image, int level = kFastestPngLevel);

// Whether two screen pixels show the same colour: every channel within a
// small tolerance (pixels of one colour are exact, anti-aliased glyph edges
// are not).
bool coloursAlike(QRgb a, QRgb b);

// `image` in a 32-bit format whose pixels read as QRgb: the image itself when
// it is one already, else a converted copy.
QImage thirtyTwoBitImage(const QImage &image);

// Rows at which `image` can be cut into at most `bands` horizontal bands
// without cutting through a line of text, in increasing order (none: read it
// whole). A cut lies in the middle of a gap of blank rows: rows that are
// uniform apart from vertical edges running well beyond a line of text
// (panel borders, scroll bars, table rules). The cuts are chosen so that the
// bands hold similar amounts of detail, which is what the engine's time
// follows.
QList<int> bandCuts(const QImage &image, int bands);

// Cuts for reading the top of `image` first: the first cut is the first gap
// at or below `leadingShare` of the rows (the banner of a record sits at the
// top of its window), and the rest of the image is cut so that, when the top
// band and the next `engines` - 1 bands start at once and the engine done
// with the top band reads the last one, every engine reads about the same
// detail. Without a gap near the leading share, bandCuts(image, engines).
QList<int> leadingBandCuts(const QImage &image, int engines, double leadingShare);

// The band of `image` between rows `top` (included) and `bottom` (excluded),
// sharing the image's pixels: valid while `image` is.
QImage bandOf(const QImage &image, int top, int bottom);

// A cheap structural check of PNG bytes: signature, chunk framing and CRCs,
// a sane IHDR first, at least one IDAT, IEND last. Bytes that pass may still
// hold a broken compressed stream; bytes that fail are certainly not a
// decodable PNG.
bool isWellFormedPng(const QByteArray &bytes);
