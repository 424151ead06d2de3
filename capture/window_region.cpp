#include "capture/window_region.h"

#include "capture/image_preparation.h"

#include <algorithm>

namespace {
// Share of the selection's rows on which an edge column changes colour.
constexpr double kEdgeShare = 0.97;
} // namespace

QRect grownWindowRegion(const QImage &source, const QRect &selection) {
    const QRect bounds(QPoint(0, 0), source.size());
    const QRect inside = selection.normalized().intersected(bounds);
    if (source.isNull() || inside.isEmpty())
        return QRect();
    const QImage picture = thirtyTwoBitImage(source);
    // A column is an edge when the colour changes across it on nearly every
    // row of the selection and, without a break, on rows above and below it
    // to at least kEdgeBandRows in all (or the picture's height).
    const int top = inside.top(), bottom = inside.bottom() + 1;
    const int needed = int((bottom - top) * kEdgeShare);
    const int run = std::min(kEdgeBandRows, picture.height());
    const auto changesAt = [&picture](int x, int y) {
        const QRgb *line = reinterpret_cast<const QRgb *>(picture.constScanLine(y));
        return !coloursAlike(line[x - 1], line[x]);
    };
    const auto edgeAt = [&](int x) {
        int changes = 0;
        for (int y = top; y < bottom; ++y) {
            changes += changesAt(x, y);
            if (changes + (bottom - y - 1) < needed)
                return false;
        }
        int length = bottom - top;
        for (int y = top - 1; y >= 0 && length < run && changesAt(x, y); --y)
            ++length;
        for (int y = bottom; y < picture.height() && length < run && changesAt(x, y); ++y)
            ++length;
        return length >= run;
    };
    int left = inside.left();
    while (left > 0 && !edgeAt(left))
        --left;
    int right = inside.right() + 1;
    while (right < picture.width() && !edgeAt(right))
        ++right;
    return QRect(left, 0, right - left, picture.height());
}
