#pragma once
// The page's own text for a captured window: the accessibility tree's
// words placed in the image that recognition would read, laid out in lines
// and blocks as recognition lays them out, and the areas of the window that
// hold something drawn the tree has no text for (a canvas, an image, a
// remote desktop), for recognition to read.

#include "capture/screen_text.h"
#include "platform/accessibility/accessibility_reader.h"

#include <QImage>
#include <QList>
#include <QRect>

// The tree's words as a ScreenText (source Page): `windowPixels` is the
// captured window in the window server's device pixels, `scale` the
// recognition input's pixels per device pixel, `imageHeight` the input's
// height. Words outside the window are left out. With the window's image
// (`window`, covering `windowPixels`), each word's box is narrowed to the
// ink inside it, as recognition's boxes are (programs tell the line's
// height, or only the whole element's box).
ScreenText screenTextFromPage(const AccessibleWindow &tree, const QRect &windowPixels, double scale,
                              int imageHeight, const QImage &window = QImage());

// Areas of `window` (the window image, in its own pixels; the tree's boxes
// are placed by `windowPixels` as above) where the tree tells no text but
// something like text is drawn, or that the tree says are drawn by the
// program alone (canvas, embedded content, large images). Small specks
// (icons, borders) do not count. In the window image's pixels.
QList<QRect> areasWithoutPageText(const AccessibleWindow &tree, const QRect &windowPixels,
                                  const QImage &window);

// The page's words with the recognised words that stand in `areas` (in the
// recognised text's pixels, which must be the page text's) and overlap no
// page word; lines and blocks formed anew. The source is PageAndRecognised
// when a recognised word was taken.
ScreenText mergedWithRecognised(const ScreenText &page, const ScreenText &recognised,
                                const QList<QRect> &areas);
