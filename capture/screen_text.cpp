#include "capture/screen_text.h"

#include <QRegularExpression>

#include <algorithm>
#include <numeric>

ScreenText ScreenText::fromText(const QString &text) {
    ScreenText screen;
    screen.text = text;
    static const QRegularExpression space(QStringLiteral("\\s+"));
    int line = 0, block = 0;
    bool blockHasWords = false;
    for (const QString &row : text.split(QLatin1Char('\n'))) {
        const QStringList words = row.split(space, Qt::SkipEmptyParts);
        if (words.isEmpty()) {
            if (blockHasWords)
                ++block;
            blockHasWords = false;
            continue;
        }
        for (const QString &word : words)
            screen.words.append({word, QRect(), block, line, -1, -1});
        blockHasWords = true;
        ++line;
    }
    return screen;
}

QString textSourceText(TextSource source) {
    switch (source) {
    case TextSource::Recognised:
        return QStringLiteral("text recognised");
    case TextSource::Page:
        return QStringLiteral("text from the page");
    case TextSource::PageAndRecognised:
        return QStringLiteral("text from the page and recognised");
    }
    return QString();
}

int ScreenText::enclosing(qsizetype word, AccessibleRole role) const {
    if (word < 0 || word >= words.size())
        return -1;
    // Parents come before their children, so the walk up always ends.
    for (int e = words.at(word).element; e >= 0 && e < int(elements.size()); e = elements.at(e).parent) {
        if (elements.at(e).role == role)
            return e;
        if (elements.at(e).parent >= e)
            break;
    }
    return -1;
}

bool ScreenText::inLandmark(qsizetype word, QStringView landmark) const {
    for (int e = words.value(word).element; e >= 0 && e < int(elements.size()); e = elements.at(e).parent) {
        if (elements.at(e).role == AccessibleRole::Landmark && elements.at(e).landmark == landmark)
            return true;
        if (elements.at(e).parent >= e)
            break;
    }
    return false;
}

int ScreenText::headingLevel(qsizetype word) const {
    const int heading = enclosing(word, AccessibleRole::Heading);
    return heading < 0 ? 0 : elements.at(heading).headingLevel;
}

namespace {

struct Line {
    QList<ScreenWord> words;
    QRect box;
    int block = -1;
};

int medianHeight(const QList<ScreenWord> &words) {
    QList<int> heights;
    for (const ScreenWord &w : words)
        heights.append(w.box.height());
    std::sort(heights.begin(), heights.end());
    return heights.isEmpty() ? 1 : std::max(1, heights.at(heights.size() / 2));
}

// Words on one visual row: their vertical middles within half a height of
// each other. A row splits into lines at wide gaps (separate columns).
QList<Line> formLines(QList<ScreenWord> words) {
    std::sort(words.begin(), words.end(), [](const ScreenWord &a, const ScreenWord &b) {
        return a.box.center().y() != b.box.center().y() ? a.box.center().y() < b.box.center().y()
                                                        : a.box.left() < b.box.left();
    });
    QList<QList<ScreenWord>> rows;
    int rowMiddle = 0;
    for (const ScreenWord &w : words) {
        const int middle = w.box.center().y();
        if (rows.isEmpty() ||
            middle - rowMiddle >
                std::max(2, std::min(w.box.height(), rows.last().first().box.height()) / 2)) {
            rows.append({w});
            rowMiddle = middle;
        } else {
            rows.last().append(w);
        }
    }
    QList<Line> lines;
    for (QList<ScreenWord> &row : rows) {
        std::sort(row.begin(), row.end(),
                  [](const ScreenWord &a, const ScreenWord &b) { return a.box.left() < b.box.left(); });
        const int gap = 3 * medianHeight(row);
        Line line;
        for (const ScreenWord &w : row) {
            if (!line.words.isEmpty() && w.box.left() - line.box.right() > gap) {
                lines.append(line);
                line = Line();
            }
            line.words.append(w);
            line.box |= w.box;
        }
        if (!line.words.isEmpty())
            lines.append(line);
    }
    return lines;
}

bool overlapsHorizontally(const QRect &a, const QRect &b) {
    return a.left() <= b.right() && b.left() <= a.right();
}

} // namespace

ScreenText laidOutScreenText(QList<ScreenWord> words, ScreenText base) {
    words.removeIf([](const ScreenWord &w) { return w.box.isEmpty() || w.text.isEmpty(); });
    QList<Line> lines = formLines(std::move(words));
    // Blocks: a line joins the block of a line just above it that it
    // overlaps sideways, when the gap between them is under a line's
    // height (a paragraph, a banner over two lines, a column of a panel).
    QList<QRect> blockBoxes;
    for (qsizetype i = 0; i < lines.size(); ++i) {
        Line &line = lines[i];
        for (qsizetype j = i - 1; j >= 0 && line.block < 0; --j) {
            const Line &above = lines.at(j);
            const int height = std::max(line.box.height(), above.box.height());
            if (line.box.top() - above.box.bottom() > height)
                continue;
            if (overlapsHorizontally(line.box, above.box) && above.box.bottom() < line.box.center().y())
                line.block = above.block;
        }
        if (line.block < 0) {
            line.block = int(blockBoxes.size());
            blockBoxes.append(QRect());
        }
        blockBoxes[line.block] |= line.box;
    }
    // Reading order: blocks by their top (left first where they start on
    // the same row), lines top to bottom inside each.
    QList<int> order(blockBoxes.size());
    std::iota(order.begin(), order.end(), 0);
    std::stable_sort(order.begin(), order.end(), [&](int a, int b) {
        const QRect &x = blockBoxes.at(a), &y = blockBoxes.at(b);
        const int tolerance = 8;
        if (std::abs(x.top() - y.top()) > tolerance)
            return x.top() < y.top();
        return x.left() < y.left();
    });
    ScreenText screen = std::move(base);
    screen.words.clear();
    QStringList blockTexts;
    int lineNumber = 0;
    for (int b = 0; b < int(order.size()); ++b) {
        QStringList lineTexts;
        for (const Line &line : lines) {
            if (line.block != order.at(b))
                continue;
            QStringList texts;
            for (ScreenWord w : line.words) {
                w.block = b;
                w.line = lineNumber;
                texts.append(w.text);
                screen.words.append(w);
            }
            lineTexts.append(texts.join(QLatin1Char(' ')));
            ++lineNumber;
        }
        blockTexts.append(lineTexts.join(QLatin1Char('\n')));
    }
    screen.text = blockTexts.join(QStringLiteral("\n\n"));
    return screen;
}
