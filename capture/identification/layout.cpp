#include "capture/identification/layout.h"

#include <QMap>
#include <QRegularExpression>
#include <algorithm>

namespace identification {

bool Layout::inTop(const Piece &piece) const {
    // The page's header (its banner landmark) is the top, wherever it stands.
    for (int w = piece.first; w < piece.end; ++w)
        if (m_screen.inLandmark(m_words.at(w).screenWord, u"banner"))
            return true;
    if (!m_boxes)
        return m_rowRank.value(piece.row) < 3;
    const int limit = std::max(m_screen.topBandBottom, m_screen.imageHeight * 3 / 10);
    if (piece.top < limit)
        return true;
    return piece.top < m_screen.imageHeight / 2 && large(piece);
}

bool Layout::large(const Piece &piece) const {
    // The page's top headings count as large text.
    for (int w = piece.first; w < piece.end; ++w)
        if (const int level = m_screen.headingLevel(m_words.at(w).screenWord); level == 1 || level == 2)
            return true;
    if (!m_boxes || m_medianHeight <= 0)
        return false;
    return (piece.bottom - piece.top) * 10 >= m_medianHeight * 13;
}

QList<int> Layout::piecesBelow(const Piece &piece, int rows) const {
    QList<int> out;
    for (int p = 0; p < int(m_pieces.size()); ++p) {
        const Piece &other = m_pieces.at(p);
        if (other.row == piece.row)
            continue;
        const int tolerance = 2 * m_unit;
        if (other.right < piece.x - tolerance || other.x > piece.right + tolerance)
            continue;
        if (m_boxes) {
            const int gap = other.top - piece.bottom;
            if (gap < -m_medianHeight / 2 || gap > rows * 2 * m_medianHeight)
                continue;
        } else {
            const int d = rank(other.row) - rank(piece.row);
            if (d < 1 || d > rows)
                continue;
        }
        out << p;
    }
    std::sort(out.begin(), out.end(), [&](int a, int b) { return below(a) < below(b); });
    return out;
}

int Layout::pieceAbove(const Piece &piece) const {
    int best = -1;
    for (int p = 0; p < int(m_pieces.size()); ++p) {
        const Piece &other = m_pieces.at(p);
        if (other.row == piece.row || std::abs(other.x - piece.x) > 2 * m_unit)
            continue;
        if (m_boxes) {
            const int gap = piece.top - other.bottom;
            if (gap < -m_medianHeight / 2 || gap > 2 * m_medianHeight)
                continue;
        } else if (rank(piece.row) - rank(other.row) != 1) {
            continue;
        }
        if (best < 0 || below(p) > below(best))
            best = p;
    }
    return best;
}

QString Layout::textOf(int first, int end, QList<qsizetype> *starts) const {
    QString out;
    for (int w = first; w < end; ++w) {
        if (!out.isEmpty())
            out += QLatin1Char(' ');
        if (starts)
            *starts << out.size();
        out += m_words.at(w).shown;
    }
    return out;
}

std::pair<int, int> Layout::valueOf(int l) const {
    const Label &label = m_labels.at(l);
    if (label.structural)
        return {label.valueFirst, label.valueEnd};
    const Piece &piece = m_pieces.at(label.piece);
    int end = piece.end;
    if (l + 1 < int(m_labels.size()) && m_labels.at(l + 1).piece == label.piece &&
        !m_labels.at(l + 1).structural)
        end = m_labels.at(l + 1).first;
    return {label.colon + 1, end};
}

LabelReading Layout::fieldAt(int w) const {
    QStringList words;
    const Piece &piece = pieceOf(w);
    for (int k = w; k < piece.end && k < w + 5; ++k) {
        if (m_words.at(k).letters.isEmpty())
            break;
        words << m_words.at(k).letters;
        if (m_words.at(k).colon)
            break;
    }
    return labelStartingWith(words);
}

void Layout::readWords() {
    // Without boxes, where each word stands on its line, in characters.
    QList<int> columns(m_screen.words.size(), 0);
    if (!m_boxes) {
        const QStringList lines = m_screen.text.split(QLatin1Char('\n'));
        int line = 0;
        qsizetype w = 0;
        for (const QString &text : lines) {
            if (text.trimmed().isEmpty())
                continue;
            qsizetype at = 0;
            while (w < m_screen.words.size() && m_screen.words.at(w).line == line) {
                const qsizetype found = text.indexOf(m_screen.words.at(w).text, at);
                columns[w] = int(found >= 0 ? found : at);
                at = (found >= 0 ? found : at) + m_screen.words.at(w).text.size();
                ++w;
            }
            ++line;
        }
    }
    QList<int> heights;
    for (qsizetype i = 0; i < m_screen.words.size(); ++i) {
        const ScreenWord &sw = m_screen.words.at(i);
        const QString text = sw.text.trimmed();
        if (text.isEmpty())
            continue;
        const bool sameRowAsLast = !m_words.isEmpty() && m_words.last().row == sw.line;
        if ((text == QLatin1String(":") || text == QString(QChar(0xff1a))) && sameRowAsLast) {
            m_words.last().colon = true;
            continue;
        }
        if (text == QLatin1String(",") && sameRowAsLast) {
            m_words.last().comma = true;
            continue;
        }
        // "SMITH,JOHN": two words.
        QStringList parts;
        static const QRegularExpression glued(QStringLiteral("(?<=\\p{L}),(?=\\p{L})"));
        for (const QString &part : text.split(glued))
            parts << part;
        for (qsizetype k = 0; k < parts.size(); ++k) {
            Word word;
            word.shown = k + 1 < parts.size() ? parts[k] + QLatin1Char(',') : parts[k];
            QString t = word.shown;
            while (!t.isEmpty() && (t.endsWith(QLatin1Char(':')) || t.endsWith(QLatin1Char(',')) ||
                                    t.endsWith(QChar(0xff1a)))) {
                (t.endsWith(QLatin1Char(',')) ? word.comma : word.colon) = true;
                t.chop(1);
            }
            word.text = t;
            const QString folded = foldName(t);
            for (QChar c : folded) {
                if (c.isLetter())
                    word.letters += c;
                if (c.isLetterOrNumber())
                    word.alnum += c;
                if (c.isLetterOrNumber() || QStringLiteral("(|![{<").contains(c))
                    word.raw += c;
            }
            word.hasLetter = !word.letters.isEmpty();
            word.hasDigit = word.alnum.size() > word.letters.size();
            int upper = 0, lower = 0;
            for (QChar c : t) {
                if (c.isUpper())
                    ++upper;
                else if (c.isLower())
                    ++lower;
            }
            word.capitals = upper >= 2 && lower == 0;
            const auto firstLetter = std::find_if(t.begin(), t.end(), [](QChar c) { return c.isLetter(); });
            word.capitalised = firstLetter != t.end() && firstLetter->isUpper();
            word.lower = upper == 0 && lower > 0;
            word.titleCase = word.capitalised && upper == 1 && lower > 0;
            word.bracket = t.startsWith(QLatin1Char('(')) || t.startsWith(QLatin1Char('[')) ||
                           t.startsWith(QLatin1Char('{'));
            static const QSet<QString> separators = {"/",      "|",      "\u00b7", "\u2022", ";",  "-",
                                                     "\u2013", "\u2014", "--",     "\u2015", "||", "\u25cf"};
            word.separator = separators.contains(t) || (t.isEmpty() && word.shown.contains(QLatin1Char(';')));
            word.row = sw.line;
            word.screenWord = int(i);
            if (m_boxes) {
                const int width = sw.box.width();
                const int share = int(parts.size());
                word.x = sw.box.left() + int(k) * width / share;
                word.right = sw.box.left() + int(k + 1) * width / share - 1;
                word.top = sw.box.top();
                word.bottom = sw.box.bottom();
                heights << sw.box.height();
            } else {
                word.x = columns[i] + int(k == 0 ? 0 : parts.mid(0, k).join(QLatin1Char(',')).size() + 1);
                word.right = word.x + int(word.shown.size());
                word.top = sw.line;
                word.bottom = sw.line;
            }
            m_words << word;
        }
    }
    std::sort(heights.begin(), heights.end());
    m_medianHeight = heights.isEmpty() ? 0 : heights.at(heights.size() / 2);
    m_unit = m_boxes ? std::max(m_medianHeight, 1) : 1;
}

// With boxes, lines that stand side by side on one visual row (columns the
// engine or the page kept apart) make one row: a table's row, a form's
// label and value, a banner in columns.
void Layout::joinRows() {
    if (!m_boxes)
        return;
    struct Line {
        int id;
        QRect box;
    };
    QList<Line> lines;
    for (const Word &word : m_words) {
        if (lines.isEmpty() || lines.last().id != word.row)
            lines.append({word.row, QRect()});
        lines.last().box |= QRect(QPoint(word.x, word.top), QPoint(word.right, word.bottom));
    }
    std::stable_sort(lines.begin(), lines.end(),
                     [](const Line &a, const Line &b) { return a.box.top() < b.box.top(); });
    struct Row {
        int id;
        QRect band;
        QList<QRect> spans;
    };
    QList<Row> rows;
    QHash<int, int> rowOfLine;
    for (const Line &line : lines) {
        const int centre = line.box.center().y();
        int joined = -1;
        for (int r = int(rows.size()) - 1; r >= 0 && joined < 0; --r) {
            const Row &row = rows.at(r);
            // A line's middle within the row, or a small mark (a comma) that
            // touches it.
            const bool mark = line.box.height() * 2 < row.band.height() &&
                              line.box.top() <= row.band.bottom() && line.box.bottom() >= row.band.top();
            if (!mark && (centre < row.band.top() || centre > row.band.bottom() ||
                          std::abs(row.band.height() - line.box.height()) > row.band.height()))
                continue;
            const bool overlaps = std::any_of(row.spans.begin(), row.spans.end(), [&](const QRect &span) {
                return span.left() <= line.box.right() && line.box.left() <= span.right();
            });
            if (!overlaps)
                joined = r;
        }
        if (joined < 0) {
            rows.append({line.id, line.box, {}});
            joined = int(rows.size()) - 1;
        }
        rows[joined].spans << line.box;
        rowOfLine.insert(line.id, rows.at(joined).id);
    }
    for (Word &word : m_words)
        word.row = rowOfLine.value(word.row, word.row);
    // A comma or a colon the page kept apart goes with the word it follows
    // on its row ("AASHEIM" ","): a name's comma, a label's colon.
    QList<Word> kept;
    for (const Word &word : m_words) {
        if (word.text.isEmpty() && (word.comma || word.colon)) {
            Word *before = nullptr;
            for (Word &other : kept)
                if (other.row == word.row && other.right <= word.x + m_unit &&
                    word.x - other.right <= m_unit && (!before || other.right > before->right))
                    before = &other;
            if (before) {
                before->comma = before->comma || word.comma;
                before->colon = before->colon || word.colon;
                continue;
            }
        }
        kept << word;
    }
    m_words = kept;
}

void Layout::formPieces() {
    QMap<int, int> rowTops;
    for (int w = 0; w < int(m_words.size()); ++w) {
        Word &word = m_words[w];
        const Word *before = w > 0 ? &m_words.at(w - 1) : nullptr;
        // A wide gap (a column) starts a piece: without boxes two spaces.
        const int gap = before ? word.x - before->right : 0;
        const bool wide = m_boxes ? gap > 2 * m_medianHeight : gap >= 2;
        if (!before || before->row != word.row || wide || gap < -m_unit) {
            m_pieces.append({word.row, w, w, word.x, word.right, word.top, word.bottom});
            m_rowPieces[word.row] << int(m_pieces.size() - 1);
        }
        Piece &piece = m_pieces.last();
        piece.end = w + 1;
        piece.right = std::max(piece.right, word.right);
        piece.top = std::min(piece.top, word.top);
        piece.bottom = std::max(piece.bottom, word.bottom);
        word.piece = int(m_pieces.size() - 1);
        const auto it = rowTops.find(word.row);
        if (it == rowTops.end() || word.top < *it)
            rowTops[word.row] = word.top;
    }
    // Each row's pieces from left to right.
    for (QList<int> &row : m_rowPieces)
        std::stable_sort(row.begin(), row.end(),
                         [&](int a, int b) { return m_pieces.at(a).x < m_pieces.at(b).x; });
    // Rows ranked from the top.
    QList<int> rows = rowTops.keys();
    std::stable_sort(rows.begin(), rows.end(),
                     [&](int a, int b) { return m_boxes ? rowTops.value(a) < rowTops.value(b) : a < b; });
    for (int i = 0; i < int(rows.size()); ++i)
        m_rowRank.insert(rows[i], i);
}

void Layout::findDates() {
    for (int p = 0; p < int(m_pieces.size()); ++p) {
        const Piece &piece = m_pieces.at(p);
        QList<qsizetype> starts;
        const QString text = textOf(piece.first, piece.end, &starts);
        for (const PlacedDate &placed : findPlacedDates(text)) {
            int first = -1, end = -1;
            for (int i = 0; i < int(starts.size()); ++i) {
                const qsizetype wordEnd = starts[i] + m_words.at(piece.first + i).shown.size();
                if (wordEnd > placed.start && starts[i] < placed.end) {
                    if (first < 0)
                        first = piece.first + i;
                    end = piece.first + i + 1;
                }
            }
            if (first < 0)
                continue;
            if (!m_dates.isEmpty() && m_dates.last().piece == p && m_dates.last().first == first) {
                if (!m_dates.last().readings.contains(placed.date))
                    m_dates.last().readings << placed.date;
                continue;
            }
            if (!m_dateStarts.contains(first))
                m_dateStarts.insert(first, int(m_dates.size()));
            Date date;
            date.readings << placed.date;
            date.first = first;
            date.end = end;
            date.piece = p;
            date.monthNamed = placed.monthNamed;
            date.twoDigitYear = placed.date.twoDigitYear;
            birthLabel(date);
            m_dates << date;
        }
    }
}

void Layout::birthLabel(Date &date) const {
    const Piece &piece = m_pieces.at(date.piece);
    auto endsWithBirthLabel = [&](int first, int end) {
        QStringList words;
        for (int w = std::max(first, end - 5); w < end; ++w)
            words << m_words.at(w).letters;
        while (!words.isEmpty() && words.first().isEmpty())
            words.removeFirst();
        const LabelReading reading = labelEndingWith(words);
        if (reading.kind != LabelKind::BirthDate || words.isEmpty())
            return false;
        const int qualifierWord = end - reading.headWords - 1;
        if (qualifierWord >= first) {
            const Word &q = m_words.at(qualifierWord);
            if (!q.colon && !q.hasDigit && isOtherPersonQualifier(q.letters))
                date.otherPerson = true;
        }
        return true;
    };
    if (date.first > piece.first) {
        date.labelled = endsWithBirthLabel(piece.first, date.first);
        return;
    }
    const QList<int> row = m_rowPieces.value(piece.row);
    const qsizetype at = row.indexOf(date.piece);
    if (at > 0) {
        const Piece &before = m_pieces.at(row.at(at - 1));
        if (endsWithBirthLabel(before.first, before.end)) {
            date.labelled = true;
            return;
        }
    }
    const int above = pieceAbove(piece);
    if (above >= 0) {
        const Piece &a = m_pieces.at(above);
        QStringList words;
        for (int w = a.first; w < a.end; ++w)
            words << m_words.at(w).letters;
        const LabelReading reading = labelStartingWith(words);
        date.labelled = reading.kind == LabelKind::BirthDate && reading.headWords == int(words.size());
    }
}

// Labels the page's structure gives without a colon: a label element bound
// to its field ("Date of birth" for the field showing it), a table's column
// header over its only cell ("Patient" over one name).
void Layout::findStructureLabels() {
    if (m_screen.elements.isEmpty())
        return;
    // The layout's words of each element, the element's own or within it.
    QHash<int, QList<int>> wordsOf;
    auto within = [&](int w, int element) {
        for (int e = m_screen.words.at(m_words.at(w).screenWord).element; e >= 0;
             e = m_screen.elements.at(e).parent) {
            if (e == element)
                return true;
            if (m_screen.elements.at(e).parent >= e)
                break;
        }
        return false;
    };
    auto add = [&](LabelKind kind, int valueFirst, int valueEnd) {
        if (kind == LabelKind::None || valueFirst < 0 || valueFirst >= valueEnd)
            return;
        Label label;
        label.kind = kind;
        label.structural = true;
        label.first = label.colon = valueFirst;
        label.piece = m_words.at(valueFirst).piece;
        label.valueFirst = valueFirst;
        label.valueEnd = valueEnd;
        m_labels << label;
    };
    auto span = [&](int element) -> std::pair<int, int> {
        int first = -1, end = -1;
        for (int w = 0; w < int(m_words.size()); ++w)
            if (within(w, element)) {
                if (first < 0)
                    first = w;
                else if (w != end)
                    return {-1, -1}; // not one run of words
                end = w + 1;
            }
        return {first, end};
    };
    auto kindOf = [&](const QStringList &letters) {
        const LabelReading reading = labelStartingWith(letters);
        return reading.headWords == int(letters.size()) ? reading.kind : LabelKind::None;
    };
    for (int e = 0; e < int(m_screen.elements.size()); ++e) {
        const ScreenElement &element = m_screen.elements.at(e);
        if (element.role == AccessibleRole::Label && !element.labelFor.isEmpty()) {
            QStringList letters;
            bool colon = false;
            for (int w = 0; w < int(m_words.size()); ++w)
                if (within(w, e)) {
                    letters << m_words.at(w).letters;
                    colon = colon || m_words.at(w).colon;
                }
            if (colon || letters.isEmpty())
                continue; // a label with a colon reads as one
            const auto [first, end] = span(element.labelFor.first());
            add(kindOf(letters), first, end);
        }
    }
    // Column headers over one cell only (several cells make a list).
    QHash<QString, QList<int>> cells;
    for (int e = 0; e < int(m_screen.elements.size()); ++e)
        if (m_screen.elements.at(e).role == AccessibleRole::TableCell &&
            !m_screen.elements.at(e).columnHeader.isEmpty())
            cells[QString::number(m_screen.elements.at(e).parent >= 0
                                      ? m_screen.elements.at(m_screen.elements.at(e).parent).parent
                                      : -1) +
                  QLatin1Char('|') + m_screen.elements.at(e).columnHeader]
                << e;
    for (auto it = cells.constBegin(); it != cells.constEnd(); ++it) {
        if (it.value().size() != 1)
            continue;
        QStringList letters;
        for (const QString &word : m_screen.elements.at(it.value().first())
                                       .columnHeader.split(QLatin1Char(' '), Qt::SkipEmptyParts))
            letters << foldName(word).remove(QRegularExpression(QStringLiteral("[^\\p{L}]")));
        const LabelKind kind = kindOf(letters);
        if (kind == LabelKind::Subject || kind == LabelKind::Name) {
            const auto [first, end] = span(it.value().first());
            add(kind, first, end);
        }
    }
}

void Layout::findLabels() {
    for (int w = 0; w < int(m_words.size()); ++w) {
        const Word &word = m_words.at(w);
        if (!word.colon)
            continue;
        const Piece &piece = m_pieces.at(word.piece);
        int j = w;
        while (j > piece.first && w - j < 4) {
            const Word &before = m_words.at(j - 1);
            if (!before.hasLetter || before.colon || before.hasDigit || before.comma || before.separator)
                break;
            --j;
        }
        QStringList words;
        for (int k = j; k <= w; ++k)
            words << m_words.at(k).letters;
        // "Patientin/Patient:", "Sex/Gender:": the last of the alternatives.
        if (const qsizetype slash = word.text.lastIndexOf(QLatin1Char('/')); slash >= 0)
            words.last() =
                foldName(word.text.mid(slash + 1)).remove(QRegularExpression(QStringLiteral("[^\\p{L}]")));
        Label label;
        label.colon = w;
        label.piece = word.piece;
        LabelReading reading = labelEndingWith(words);
        if (reading.kind == LabelKind::None && word.hasDigit)
            reading = {labelMisread(word.raw), 1};
        label.kind = reading.kind;
        const int head = reading.kind == LabelKind::None ? j : w + 1 - reading.headWords;
        label.first = head;
        if (head > j) {
            const Word &q = m_words.at(head - 1);
            if (isSubjectQualifier(q.letters)) {
                label.qualifier = Qualifier::Subject;
                label.first = head - 1;
            } else if (isOtherPersonQualifier(q.letters) || isClinicianTitle(q.letters)) {
                // "Emergency Contact Name:", "Mother's DOB:": someone else's.
                label.qualifier = Qualifier::Other;
                label.first = j;
            }
        }
        m_labelAtColon.insert(w, int(m_labels.size()));
        m_labelAtFirst.insert(label.first, int(m_labels.size()));
        m_labels << label;
    }
    findStructureLabels();
}

// A word that says where a field or a fact begins: "DOB", "MRN", "Sex",
// "Age", "Date of birth", "Geb.".
bool startsFact(const Layout &layout, int w) {
    const LabelReading reading = layout.fieldAt(w);
    switch (reading.kind) {
    case LabelKind::BirthDate:
    case LabelKind::Age:
    case LabelKind::Sex:
    case LabelKind::RecordNumber:
    case LabelKind::Death:
        return true;
    default:
        return false;
    }
}

// A letter for the sex beside an age: "F 75 yrs", "M 42".
static bool sexLetter(const Layout &layout, int w) {
    const Word &word = layout.word(w);
    if (word.text != QLatin1String("F") && word.text != QLatin1String("M"))
        return false;
    const Piece &piece = layout.pieceOf(w);
    return w + 1 >= piece.end || layout.word(w + 1).hasDigit || startsFact(layout, w + 1);
}

// The name that begins at word `w` (after titles); none when no name does.
// `lenient`: where a name is expected (after "Patient:", in a banner):
// lower case and the engine's misreadings allowed.
std::optional<Phrase> nameAt(const Layout &layout, int w, bool lenient) {
    const Piece &piece = layout.pieceOf(w);
    Phrase phrase;
    phrase.start = w;
    int k = w;
    while (k < piece.end &&
           (isCourtesyTitle(layout.word(k).letters) || isClinicianTitle(layout.word(k).letters)) &&
           !layout.word(k).colon && layout.word(k).hasLetter && !layout.word(k).hasDigit) {
        phrase.staff = phrase.staff || isClinicianTitle(layout.word(k).letters);
        ++k;
    }
    phrase.first = k;
    ReadName &name = phrase.name;
    int capitalsCount = 0, capitalsFirst = -1, capitalsLast = -1, wordsWithCase = 0;
    bool allLower = true, mixedCase = false;
    int givenCapitals = -1; // whether the first given name after a comma is in capitals
    for (; k < piece.end && name.parts.size() < 6; ++k) {
        const Word &word = layout.word(k);
        if (!word.hasLetter || word.bracket || word.separator)
            break;
        if (word.hasDigit) {
            const int digits = int(word.alnum.size() - word.letters.size());
            if (!lenient || word.letters.size() < 2 || digits > 2)
                break;
        }
        if (word.colon || startsFact(layout, k) || layout.startsDate(k))
            break;
        if (!name.parts.isEmpty() && isSuffix(word.alnum) && !word.lower) {
            name.suffix = word.alnum;
            if (word.comma && name.surnameWords < 0)
                name.surnameWords = int(name.parts.size());
            continue;
        }
        if (name.parts.size() >= 2 && isCredential(word.alnum)) {
            phrase.staff = true;
            break;
        }
        // "van der Berg": particles lead to a capitalised word.
        int next = k + 1;
        while (next < piece.end && isParticle(layout.word(next).alnum) && layout.word(next).lower &&
               !layout.word(next).comma)
            ++next;
        const bool nextIsName = next < piece.end && layout.word(next).hasLetter && !layout.word(next).lower;
        const bool particle = isParticle(word.alnum) && !word.capitals && nextIsName && !word.comma;
        if (!particle) {
            if (word.alnum.size() > 1 &&
                (isCommonWord(word.alnum) || isCourtesyTitle(word.alnum) || isClinicianTitle(word.alnum)))
                break;
            if (!word.capitalised) {
                // Where a name is expected, lower case too ("noor HADDAD",
                // "dmitri volkov"), but not inside a capitalised name, nor
                // an address or a handle.
                const bool plainLetters = std::all_of(word.text.begin(), word.text.end(), [](QChar c) {
                    return c.isLetter() || c == u'\'' || c == u'-' || c == u'.' || c == u'\u2019';
                });
                if (!lenient || !plainLetters || (!name.parts.isEmpty() && !allLower))
                    break;
            }
            if (word.alnum.size() == 1 && sexLetter(layout, k))
                break;
        }
        if (!word.lower)
            allLower = false;
        if (word.letters.size() >= 2) {
            ++wordsWithCase;
            if (!word.capitals && !word.titleCase)
                mixedCase = true;
            if (word.capitals) {
                ++capitalsCount;
                if (capitalsFirst < 0)
                    capitalsFirst = int(name.parts.size());
                capitalsLast = int(name.parts.size());
            }
        }
        // After "LAST, " the given names keep the case of the first one:
        // "WALSH, KIERAN Besa" ends before "Besa".
        if (name.surnameWords > 0 && int(name.parts.size()) > name.surnameWords && word.letters.size() > 1 &&
            givenCapitals >= 0 && word.capitals != bool(givenCapitals))
            break;
        if (name.surnameWords > 0 && int(name.parts.size()) == name.surnameWords && word.letters.size() > 1)
            givenCapitals = word.capitals;
        name.parts << word.alnum;
        name.raw << word.raw;
        if (word.comma) {
            if (name.surnameWords < 0) {
                name.surnameWords = int(name.parts.size());
            } else {
                ++k;
                break;
            }
        }
    }
    // A particle does not end a name.
    while (!name.parts.isEmpty() && isParticle(name.parts.last()) &&
           name.surnameWords != int(name.parts.size())) {
        name.parts.removeLast();
        name.raw.removeLast();
        --k;
    }
    if (name.parts.isEmpty())
        return std::nullopt;
    // "Robert Hale Jr., D.O.B. ...", "Hans Müller, geb. ...": a comma after
    // the whole name, with more after it, ends it; a last name alone keeps
    // it, and so does one ending its line ("GARCIA MARQUEZ," over "Ana").
    if (name.surnameWords == int(name.parts.size()) && name.parts.size() >= 2 && k < piece.end)
        name.surnameWords = -1;
    phrase.end = k;
    if (k < piece.end && isCredential(layout.word(k).alnum) && !layout.word(k).lower)
        phrase.staff = true;
    phrase.lowerCase = allLower;
    // "DUPONT Marie", "noor HADDAD": the word in capitals is the last name
    // (not in "LARS ERlKSSON", read wrong).
    if (name.surnameWords < 0 && !mixedCase && capitalsCount > 0 && capitalsCount < wordsWithCase &&
        capitalsLast - capitalsFirst + 1 == capitalsCount &&
        (capitalsFirst == 0 || capitalsLast == int(name.parts.size()) - 1)) {
        name.capitalsFrom = capitalsFirst;
        name.capitalsTo = capitalsLast + 1;
    }
    phrase.strong = name.surnameWords > 0 || (wordsWithCase > 0 && capitalsCount == wordsWithCase);
    name.asRead = layout.shownText(phrase.start, phrase.end);
    while (name.asRead.endsWith(QLatin1Char(',')))
        name.asRead.chop(1);
    return phrase;
}

// The last name and the first given name a name on screen may be: from its
// comma, from its words in capitals, else the first word and the rest.
static QList<std::pair<QString, QString>> surnameAndFirstName(const ReadName &name) {
    QList<std::pair<QString, QString>> out;
    const qsizetype n = name.parts.size();
    auto joined = [&](qsizetype from, qsizetype to) {
        return name.parts.mid(from, to - from).join(QString());
    };
    if (name.surnameWords > 0) {
        out.append({joined(0, name.surnameWords),
                    name.surnameWords < n ? name.parts.at(name.surnameWords) : QString()});
    } else if (name.capitalsFrom >= 0) {
        const qsizetype given = name.capitalsFrom == 0 ? name.capitalsTo : 0;
        out.append(
            {joined(name.capitalsFrom, name.capitalsTo), given < n ? name.parts.at(given) : QString()});
    } else {
        for (qsizetype k = 1; k < n; ++k)
            out.append({joined(k, n), name.parts.first()});
        if (n == 1)
            out.append({name.parts.first(), QString()});
    }
    return out;
}

// The same person, as far as two names on screen tell: the same last name
// and the same first name (or its initial, or none shown): "OKONJO,
// ADAEZE", "Adaeze Okonjo", "A. Okonjo"; not "Maria Teixeira" and "Rosa
// Maria Teixeira".
bool samePerson(const ReadName &a, const ReadName &b) {
    QStringList sa = a.parts, sb = b.parts;
    std::sort(sa.begin(), sa.end());
    std::sort(sb.begin(), sb.end());
    if (sa == sb)
        return true;
    for (const auto &[surnameA, givenA] : surnameAndFirstName(a)) {
        for (const auto &[surnameB, givenB] : surnameAndFirstName(b)) {
            if (surnameA != surnameB)
                continue;
            if (givenA.isEmpty() || givenB.isEmpty() || givenA == givenB ||
                (givenA.size() == 1 && givenB.startsWith(givenA)) ||
                (givenB.size() == 1 && givenA.startsWith(givenB)))
                return true;
        }
    }
    return false;
}

} // namespace identification
