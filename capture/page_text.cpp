#include "capture/page_text.h"

#include <algorithm>
#include <cmath>

namespace {

QRect placed(const QRect &box, const QRect &windowPixels, double scale) {
    if (box.isEmpty())
        return QRect();
    const QPointF topLeft = QPointF(box.topLeft() - windowPixels.topLeft()) * scale;
    return QRect(int(std::floor(topLeft.x())), int(std::floor(topLeft.y())),
                 std::max(1, int(std::lround(box.width() * scale))),
                 std::max(1, int(std::lround(box.height() * scale))));
}

// Elements the tree has no text for though the program draws there.
bool drawnWithoutText(const AccessibleElement &e) {
    switch (e.role) {
    case AccessibleRole::Canvas:
    case AccessibleRole::Embedded:
        return true;
    case AccessibleRole::Image:
        // Icons are not read; pictures that may hold text (a scanned
        // document, a chart with a name on it) are.
        return e.box.width() >= 96 && e.box.height() >= 32;
    default:
        return false;
    }
}

// Whether a cell of the image has ink like text: several rows that change
// colour several times.
bool inkLikeText(const QImage &gray, const QRect &cell) {
    int rows = 0;
    for (int y = cell.top(); y <= cell.bottom(); ++y) {
        const uchar *line = gray.constScanLine(y);
        int changes = 0;
        for (int x = cell.left() + 1; x <= cell.right(); ++x)
            if (std::abs(int(line[x]) - int(line[x - 1])) > 60)
                ++changes;
        if (changes >= 3 && ++rows >= 3)
            return true;
    }
    return false;
}

// `box` (in the image's pixels) narrowed to the pixels that differ from
// its background (the commonest shade along its edges); unchanged when it
// holds no ink.
QRect inkInside(const QImage &gray, QRect box) {
    box = box.intersected(gray.rect());
    if (box.width() < 2 || box.height() < 2)
        return box;
    int shades[32] = {};
    auto count = [&](int x, int y) { ++shades[gray.constScanLine(y)[x] / 8]; };
    for (int x = box.left(); x <= box.right(); ++x)
        count(x, box.top()), count(x, box.bottom());
    for (int y = box.top(); y <= box.bottom(); ++y)
        count(box.left(), y), count(box.right(), y);
    const int background =
        int(std::max_element(std::begin(shades), std::end(shades)) - std::begin(shades)) * 8 + 4;
    int left = box.right() + 1, right = box.left() - 1, top = box.bottom() + 1, bottom = box.top() - 1;
    for (int y = box.top(); y <= box.bottom(); ++y) {
        const uchar *line = gray.constScanLine(y);
        for (int x = box.left(); x <= box.right(); ++x) {
            if (std::abs(int(line[x]) - background) <= 60)
                continue;
            left = std::min(left, x), right = std::max(right, x);
            top = std::min(top, y), bottom = std::max(bottom, y);
        }
    }
    return left > right ? box : QRect(QPoint(left, top), QPoint(right, bottom));
}

// The element's words with boxes narrowed to their ink (in device pixels
// of the screen); words of an element whose boxes were shared out are
// shared out again over the ink of the whole element.
QList<AccessibleWord> inkBoxes(const AccessibleElement &e, const QRect &windowPixels, const QImage &gray) {
    QList<AccessibleWord> words = e.words;
    if (gray.isNull())
        return words;
    const double toImage = double(gray.width()) / windowPixels.width();
    auto inImage = [&](const QRect &r) {
        return QRectF(QPointF(r.topLeft() - windowPixels.topLeft()) * toImage, QSizeF(r.size()) * toImage)
            .toRect();
    };
    auto onScreen = [&](const QRect &r) {
        return QRectF(QPointF(r.topLeft()) / toImage, QSizeF(r.size()) / toImage)
            .toRect()
            .translated(windowPixels.topLeft());
    };
    if (!e.wordBoxesEstimated) {
        for (AccessibleWord &w : words)
            if (!w.box.isEmpty())
                w.box = onScreen(inkInside(gray, inImage(w.box)));
        return words;
    }
    const QRect ink = onScreen(inkInside(gray, inImage(e.box)));
    qsizetype characters = -1;
    for (const AccessibleWord &w : words)
        characters += w.text.size() + 1;
    qsizetype at = 0;
    for (AccessibleWord &w : words) {
        const int left = ink.left() + int(qint64(ink.width()) * at / std::max<qsizetype>(1, characters));
        at += w.text.size();
        const int right = ink.left() + int(qint64(ink.width()) * at / std::max<qsizetype>(1, characters));
        ++at;
        w.box = QRect(left, ink.top(), std::max(1, right - left), ink.height());
    }
    return words;
}

} // namespace

ScreenText screenTextFromPage(const AccessibleWindow &tree, const QRect &windowPixels, double scale,
                              int imageHeight, const QImage &window) {
    const QImage gray = window.isNull() ? QImage() : window.convertToFormat(QImage::Format_Grayscale8);
    ScreenText base;
    base.source = TextSource::Page;
    base.imageHeight = imageHeight;
    const QRect inside(QPoint(0, 0), QSize(int(std::lround(windowPixels.width() * scale)),
                                           int(std::lround(windowPixels.height() * scale))));
    QList<ScreenWord> words;
    for (qsizetype i = 0; i < tree.elements.size(); ++i) {
        const AccessibleElement &e = tree.elements.at(i);
        ScreenElement element;
        static_cast<AccessibleStructure &>(element) = e;
        element.parent = e.parent < i ? e.parent : -1;
        element.box = placed(e.box, windowPixels, scale);
        base.elements.append(element);
        for (const AccessibleWord &w : inkBoxes(e, windowPixels, gray)) {
            const QRect box = placed(w.box, windowPixels, scale);
            if (!box.isEmpty() && inside.contains(box.center()))
                words.append({w.text, box, 0, 0, 100, int(i)});
        }
    }
    // A table cell's column header: the header cell of the same table
    // straight above it.
    for (ScreenElement &cell : base.elements) {
        if (cell.role != AccessibleRole::TableCell)
            continue;
        int table = cell.parent;
        while (table >= 0 && base.elements.at(table).role != AccessibleRole::Table)
            table = base.elements.at(table).parent;
        for (qsizetype h = 0; h < base.elements.size() && table >= 0; ++h) {
            const ScreenElement &header = base.elements.at(h);
            if (header.role != AccessibleRole::ColumnHeader || header.box.bottom() > cell.box.top() ||
                header.box.right() < cell.box.center().x() || header.box.left() > cell.box.center().x())
                continue;
            int up = header.parent;
            while (up >= 0 && up != table)
                up = base.elements.at(up).parent;
            if (up != table)
                continue;
            QStringList text;
            for (const ScreenWord &w : words)
                if (header.box.contains(w.box.center()))
                    text.append(w.text);
            cell.columnHeader = text.join(QLatin1Char(' '));
            break;
        }
    }
    return laidOutScreenText(std::move(words), std::move(base));
}

QList<QRect> areasWithoutPageText(const AccessibleWindow &tree, const QRect &windowPixels,
                                  const QImage &window) {
    QList<QRect> areas;
    if (window.isNull() || windowPixels.isEmpty())
        return areas;
    const double scale = double(window.width()) / windowPixels.width();
    const QRect image = window.rect();
    // What the tree accounts for: every element that draws something of
    // its own (text, a field, a button, an icon); containers do not count.
    QList<QRect> accounted;
    QList<bool> hasChildren(tree.elements.size(), false);
    for (const AccessibleElement &e : tree.elements)
        if (e.parent >= 0 && e.parent < hasChildren.size())
            hasChildren[e.parent] = true;
    for (qsizetype i = 0; i < tree.elements.size(); ++i) {
        const AccessibleElement &e = tree.elements.at(i);
        const QRect box = placed(e.box, windowPixels, scale).intersected(image);
        if (box.isEmpty())
            continue;
        if (drawnWithoutText(e)) {
            areas.append(box);
            continue;
        }
        if (!e.words.isEmpty()) {
            for (const AccessibleWord &w : e.words)
                accounted.append(placed(w.box, windowPixels, scale).adjusted(-4, -4, 4, 4));
        } else if (!hasChildren.value(i) && e.role != AccessibleRole::Window &&
                   e.role != AccessibleRole::Document && e.role != AccessibleRole::Section) {
            accounted.append(box.adjusted(-4, -4, 4, 4));
        }
    }
    // Ink like text that no element accounts for, in cells of a line's
    // height; cells next to each other (or a word's gap apart on a row) make
    // one area, and an area of a few cells (a stray glyph, an icon's edge)
    // is left alone.
    const int cell = std::max(8, int(std::lround(12 * scale)));
    const QImage gray = window.convertToFormat(QImage::Format_Grayscale8);
    const int columns = (image.width() + cell - 1) / cell, rows = (image.height() + cell - 1) / cell;
    // Cells whose middle an element accounts for are marked first, box by
    // box (3: accounted), then the rest are looked at.
    QList<char> ink(qsizetype(columns) * rows, 0);
    auto mark = [&](const QRect &a) {
        const int firstColumn = std::max(0, (a.left() - cell / 2 + cell - 1) / cell);
        const int firstRow = std::max(0, (a.top() - cell / 2 + cell - 1) / cell);
        for (int r = firstRow; r < rows && r * cell + cell / 2 <= a.bottom(); ++r)
            for (int c = firstColumn; c < columns && c * cell + cell / 2 <= a.right(); ++c)
                ink[qsizetype(r) * columns + c] = 3;
    };
    for (const QRect &a : accounted)
        mark(a);
    for (const QRect &a : areas)
        mark(a);
    for (int r = 0; r < rows; ++r) {
        for (int c = 0; c < columns; ++c) {
            char &at = ink[qsizetype(r) * columns + c];
            if (at != 3)
                at = inkLikeText(gray, QRect(c * cell, r * cell, cell, cell).intersected(image)) ? 1 : 0;
        }
    }
    for (qsizetype start = 0; start < ink.size(); ++start) {
        if (ink[start] != 1)
            continue;
        QRect area;
        int count = 0;
        QList<qsizetype> stack{start};
        ink[start] = 2;
        while (!stack.isEmpty()) {
            const qsizetype at = stack.takeLast();
            const int r = int(at / columns), c = int(at % columns);
            area |= QRect(c * cell, r * cell, cell, cell);
            ++count;
            for (int dr = -1; dr <= 1; ++dr)
                for (int dc = -2; dc <= 2; ++dc) {
                    const int nr = r + dr, nc = c + dc;
                    if (nr < 0 || nc < 0 || nr >= rows || nc >= columns)
                        continue;
                    const qsizetype next = qsizetype(nr) * columns + nc;
                    if (ink[next] == 1) {
                        ink[next] = 2;
                        stack.append(next);
                    }
                }
        }
        if (count >= 4)
            areas.append(area.adjusted(-cell / 2, -cell / 2, cell / 2, cell / 2).intersected(image));
    }
    return areas;
}

ScreenText mergedWithRecognised(const ScreenText &page, const ScreenText &recognised,
                                const QList<QRect> &areas) {
    QList<ScreenWord> words = page.words;
    bool taken = false;
    for (ScreenWord w : recognised.words) {
        if (w.box.isEmpty())
            continue;
        const QPoint middle = w.box.center();
        if (std::none_of(areas.cbegin(), areas.cend(), [&](const QRect &a) { return a.contains(middle); }))
            continue;
        if (std::any_of(page.words.cbegin(), page.words.cend(),
                        [&](const ScreenWord &p) { return p.box.intersects(w.box); }))
            continue;
        w.element = -1;
        words.append(w);
        taken = true;
    }
    ScreenText base = page;
    if (taken)
        base.source = TextSource::PageAndRecognised;
    return laidOutScreenText(std::move(words), std::move(base));
}
