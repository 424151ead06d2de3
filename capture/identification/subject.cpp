#include "capture/identification/subject.h"

#include "capture/identification/lexicon.h"

#include <QHash>
#include <QRegularExpression>
#include <QSet>
#include <algorithm>
#include <functional>
#include <numeric>

namespace {

// ------------------------------------------------------------- words ---

struct Word {
    QString shown;   // as read, with its punctuation
    QString text;    // without a trailing ':' or ','
    QString letters; // folded, letters only
    QString alnum;   // folded, letters and digits
    QString raw;     // folded, keeping what the engine reads letters as
    int row = 0;     // the engine's line (a text line without boxes)
    int piece = 0;
    int x = 0, right = 0, top = 0, bottom = 0;
    bool colon = false;
    bool comma = false;
    bool hasLetter = false, hasDigit = false;
    bool capitals = false;    // two letters or more, all upper case
    bool capitalised = false; // the first letter upper case
    bool titleCase = false;   // the first letter upper case, the others lower
    bool lower = false;       // every letter lower case
    bool bracket = false;     // opens a bracket: "(mother)"
    bool separator = false;   // "/", "|", "·", "•", ";", a dash alone
};

struct Piece {
    int row = 0;
    int first = 0, end = 0; // words [first, end)
    int x = 0, right = 0, top = 0, bottom = 0;
};

struct Date {
    QList<FoundDate> readings;
    int first = 0, end = 0; // words
    int piece = 0;
    bool monthNamed = false;
    bool twoDigitYear = false;
    bool labelled = false;    // a birth label stands before it
    bool otherPerson = false; // ... qualified for someone else ("Contact DOB")
};

enum class Qualifier { None, Subject, Other };

struct Label {
    LabelKind kind = LabelKind::None; // None: a label of another field
    Qualifier qualifier = Qualifier::None;
    int first = 0; // its first word (the qualifier's, when there is one)
    int colon = 0; // its last word, the one the colon ends
    int piece = 0;
};

// A name found on screen.
struct Phrase {
    int first = 0, end = 0; // words of the name [first, end), titles left out
    int start = 0;          // the first word with titles
    ReadName name;
    bool staff = false;
    bool strong = false; // "LAST, FIRST" or in capitals
    bool lowerCase = false;
};

// ------------------------------------------------------------ layout ---

class Layout {
public:
    explicit Layout(const ScreenText &screen) : m_screen(screen), m_boxes(screen.hasBoxes()) {
        readWords();
        formPieces();
        findDates();
        findLabels();
    }

    const QList<Word> &words() const { return m_words; }
    const QList<Piece> &pieces() const { return m_pieces; }
    const QList<Date> &dates() const { return m_dates; }
    const QList<Label> &labels() const { return m_labels; }
    const Word &word(int w) const { return m_words.at(w); }
    const Piece &pieceOf(int w) const { return m_pieces.at(m_words.at(w).piece); }
    bool boxes() const { return m_boxes; }
    // Whether a date is written from word `w` on ("Dec 3, 2026").
    bool startsDate(int w) const { return m_dateStarts.contains(w); }
    int unit() const { return m_unit; }

    // The top of the record: the top band (or the top three tenths) of the
    // window; without boxes, its first three lines. Large text in the upper
    // half counts too (a heading).
    bool inTop(const Piece &piece) const {
        if (!m_boxes)
            return m_rowRank.value(piece.row) < 3;
        const int limit = std::max(m_screen.topBandBottom, m_screen.imageHeight * 3 / 10);
        if (piece.top < limit)
            return true;
        return piece.top < m_screen.imageHeight / 2 && large(piece);
    }
    bool large(const Piece &piece) const {
        if (!m_boxes || m_medianHeight <= 0)
            return false;
        return (piece.bottom - piece.top) * 10 >= m_medianHeight * 13;
    }

    // Rows from the top: the rank of a row among all rows.
    int rank(int row) const { return m_rowRank.value(row); }

    // Pieces of the rows below `piece` that stand in its column (overlap it
    // from the side), nearest first, at most `rows` rows down.
    QList<int> piecesBelow(const Piece &piece, int rows) const {
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
    // The piece right above `piece` in its column (for a label over its
    // value); -1 when none.
    int pieceAbove(const Piece &piece) const {
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
    // The pieces of a row, left to right.
    QList<int> piecesOfRow(int row) const { return m_rowPieces.value(row); }
    // Where a piece stands from the top (for ordering).
    int below(int p) const { return m_boxes ? m_pieces.at(p).top : rank(m_pieces.at(p).row); }

    // The words [first, end) as a string, and each word's offset in it.
    QString textOf(int first, int end, QList<qsizetype> *starts = nullptr) const {
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
    QString shownText(int first, int end) const { return textOf(first, end); }

    // The label (by index) that word `w` is the colon word of; -1 when none.
    int labelEndingAt(int w) const { return m_labelAtColon.value(w, -1); }
    // The label whose first word is `w`; -1 when none.
    int labelStartingAt(int w) const { return m_labelAtFirst.value(w, -1); }
    // The value of label `l`: its words after the colon to the next label of
    // the piece.
    std::pair<int, int> valueOf(int l) const {
        const Label &label = m_labels.at(l);
        const Piece &piece = m_pieces.at(label.piece);
        int end = piece.end;
        for (int k = l + 1; k < int(m_labels.size()) && m_labels.at(k).piece == label.piece; ++k) {
            end = m_labels.at(k).first;
            break;
        }
        return {label.colon + 1, end};
    }

    // A field without a colon starting at word `w` ("DOB 1/2/1950", "Patient
    // Okonjo"): its kind and length.
    LabelReading fieldAt(int w) const {
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

private:
    void readWords() {
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
                const auto firstLetter =
                    std::find_if(t.begin(), t.end(), [](QChar c) { return c.isLetter(); });
                word.capitalised = firstLetter != t.end() && firstLetter->isUpper();
                word.lower = upper == 0 && lower > 0;
                word.titleCase = word.capitalised && upper == 1 && lower > 0;
                word.bracket = t.startsWith(QLatin1Char('(')) || t.startsWith(QLatin1Char('[')) ||
                               t.startsWith(QLatin1Char('{'));
                static const QSet<QString> separators = {"/",  "|",      "\u00b7", "\u2022",
                                                         ";",  "-",      "\u2013", "\u2014",
                                                         "--", "\u2015", "||",     "\u25cf"};
                word.separator =
                    separators.contains(t) || (t.isEmpty() && word.shown.contains(QLatin1Char(';')));
                word.row = sw.line;
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

    void formPieces() {
        QMap<int, int> rowTops;
        for (int w = 0; w < int(m_words.size()); ++w) {
            Word &word = m_words[w];
            const Word *before = w > 0 ? &m_words.at(w - 1) : nullptr;
            // A wide gap (a column) starts a piece: without boxes two spaces.
            const int gap = before ? word.x - before->right : 0;
            const bool wide = m_boxes ? gap > 2 * m_medianHeight : gap >= 2;
            if (!before || before->row != word.row || wide) {
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
        // Rows ranked from the top.
        QList<int> rows = rowTops.keys();
        std::stable_sort(rows.begin(), rows.end(),
                         [&](int a, int b) { return m_boxes ? rowTops.value(a) < rowTops.value(b) : a < b; });
        for (int i = 0; i < int(rows.size()); ++i)
            m_rowRank.insert(rows[i], i);
    }

    void findDates() {
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
                m_dateStarts.insert(first);
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

    // Whether a birth label stands before the date: on its piece, at the end
    // of the piece before it on its row, or alone in the piece above.
    void birthLabel(Date &date) const {
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
                if (!isSubjectQualifier(q.letters) && !q.colon && !q.hasDigit && q.letters.size() > 1 &&
                    (q.lower || isCommonWord(q.letters)))
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

    void findLabels() {
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
                words.last() = foldName(word.text.mid(slash + 1))
                                   .remove(QRegularExpression(QStringLiteral("[^\\p{L}]")));
            Label label;
            label.colon = w;
            label.piece = word.piece;
            const LabelReading reading = labelEndingWith(words);
            label.kind = reading.kind;
            const int head = reading.kind == LabelKind::None ? j : w + 1 - reading.headWords;
            label.first = head;
            if (head > j) {
                const Word &q = m_words.at(head - 1);
                if (isSubjectQualifier(q.letters)) {
                    label.qualifier = Qualifier::Subject;
                    label.first = head - 1;
                } else if (q.letters.size() > 1 &&
                           (q.lower || isCommonWord(q.letters) || isClinicianTitle(q.letters))) {
                    // "Emergency Contact Name:", "Mother's DOB:": someone else's.
                    label.qualifier = Qualifier::Other;
                    label.first = j;
                }
            }
            m_labelAtColon.insert(w, int(m_labels.size()));
            m_labelAtFirst.insert(label.first, int(m_labels.size()));
            m_labels << label;
        }
    }

    const ScreenText &m_screen;
    bool m_boxes;
    QList<Word> m_words;
    QList<Piece> m_pieces;
    QHash<int, QList<int>> m_rowPieces;
    QHash<int, int> m_rowRank;
    QList<Date> m_dates;
    QSet<int> m_dateStarts;
    QList<Label> m_labels;
    QHash<int, int> m_labelAtColon, m_labelAtFirst;
    int m_medianHeight = 0;
    int m_unit = 1;
};

// ------------------------------------------------------------- names ---

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
bool sexLetter(const Layout &layout, int w) {
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
        const bool nextIsName =
            k + 1 < piece.end && layout.word(k + 1).hasLetter && !layout.word(k + 1).lower;
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
    // the whole name ends it; only a last name alone keeps it.
    if (name.surnameWords == int(name.parts.size()) && name.parts.size() >= 2)
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
QList<std::pair<QString, QString>> surnameAndFirstName(const ReadName &name) {
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

// ----------------------------------------------------------- reading ---

enum Tier { Weak = 1, Strong = 2, Labelled = 3 };

struct Candidate {
    Phrase phrase;
    NameOnScreen found;
    Tier tier = Weak;
    bool banner = false;
    bool heading = false;        // the window's first line, or large text
    bool needsBirthDate = false; // a one-word name
    int piece = 0;
};

class Reader {
public:
    Reader(const ScreenText &screen, const QDate &today) : m_layout(screen), m_today(today) {}

    ScreenReading read() {
        findNames();
        findLists();
        QList<Candidate> candidates = labelledCandidates();
        candidates += bannerCandidates();
        for (Candidate &c : candidates) {
            c.found.facts = bindFacts(c);
            if (c.banner && (c.found.facts.hasBirthDate() || c.found.facts.age ||
                             !c.found.facts.sex.isEmpty() || !c.found.facts.recordNumber.isEmpty()))
                c.tier = std::max(c.tier, Strong);
            if (c.banner && c.tier == Strong)
                c.found.where = QStringLiteral("banner");
        }
        // A name with no facts at the top is the record's title only on the
        // window's first line or in large text ("Next of kin" over a name
        // heads someone else's block); a one-word name needs its date of
        // birth.
        candidates.erase(std::remove_if(candidates.begin(), candidates.end(),
                                        [this](const Candidate &c) {
                                            return (c.needsBirthDate && !c.found.facts.hasBirthDate()) ||
                                                   (c.banner && c.tier == Weak &&
                                                    (!c.heading || !titleOfRecord(c)));
                                        }),
                         candidates.end());
        ScreenReading reading;
        choose(candidates, reading);
        if (!reading.subject && reading.rivals.isEmpty())
            lineWithBirthDate(reading);
        for (const Phrase &p : m_phrases) {
            if (reading.subject && m_subjectWords.contains(p.first))
                continue;
            NameOnScreen other;
            other.name = p.name;
            other.row = m_layout.rank(m_layout.word(p.first).row);
            other.inList = m_inList.contains(p.first);
            other.staff = p.staff;
            other.where = other.inList                     ? QStringLiteral("list")
                          : m_fieldValue.contains(p.first) ? QStringLiteral("field")
                                                           : QStringLiteral("text");
            other.facts.birthDates = rowBirthDate(p, nullptr);
            reading.others << other;
        }
        reading.list = m_list;
        return reading;
    }

private:
    // Every name on screen: at the start of a piece (after the times,
    // numbers and words that lead rows), after a label or a separator, and
    // wherever a capitalised word follows one that is not part of a name.
    void findNames() {
        const QList<Word> &words = m_layout.words();
        for (int l = 0; l < int(m_layout.labels().size()); ++l)
            m_fieldValue.insert(m_layout.valueOf(l).first);
        int covered = -1;
        for (int w = 0; w < int(words.size()); ++w) {
            if (w < covered)
                continue;
            const Word &word = words.at(w);
            if (!word.hasLetter || word.hasDigit || word.colon)
                continue;
            const bool title = isCourtesyTitle(word.letters) || isClinicianTitle(word.letters);
            if (!word.capitalised && !title && !isParticle(word.alnum))
                continue;
            const std::optional<Phrase> phrase = nameAt(m_layout, w, false);
            if (!phrase)
                continue;
            covered = phrase->end;
            // A name needs two words, or a comma after the last name.
            if (phrase->name.parts.size() < 2)
                continue;
            m_phrases << *phrase;
            m_phraseAt.insert(phrase->first, int(m_phrases.size() - 1));
            m_phraseAt.insert(phrase->start, int(m_phrases.size() - 1));
        }
    }

    // What leads a name in its piece: t (a time), n (a number or code), w (a
    // word), l (a label), p (punctuation); "" at the piece's start.
    QString leadOf(const Phrase &phrase) const {
        const Piece &piece = m_layout.pieceOf(phrase.start);
        QString lead;
        static const QRegularExpression time(QStringLiteral("^\\d{1,2}[:.h]\\d{2}$"));
        for (int w = piece.first; w < phrase.start; ++w) {
            const Word &word = m_layout.word(w);
            QChar c = QLatin1Char('w');
            if (time.match(word.text).hasMatch() || word.letters == QLatin1String("am") ||
                word.letters == QLatin1String("pm"))
                c = QLatin1Char('t');
            else if (word.hasDigit)
                c = QLatin1Char('n');
            else if (word.colon)
                c = QLatin1Char('l');
            else if (!word.hasLetter || word.separator)
                c = QLatin1Char('p');
            if (lead.isEmpty() || lead.back() != c)
                lead += c;
        }
        return lead;
    }

    // Names in rows of the same shape (a schedule, a worklist, a census,
    // search results over two rows), or three or more on one row.
    void findLists() {
        struct Row {
            int phrase;
            int position; // from the top
            int x;
            QString lead;
            QString key; // the name
        };
        QList<Row> rows;
        QHash<int, QList<int>> perRow;
        for (int i = 0; i < int(m_phrases.size()); ++i) {
            const Phrase &p = m_phrases.at(i);
            if (p.staff)
                continue;
            const Word &first = m_layout.word(p.start);
            rows.append({i, m_layout.boxes() ? first.top : m_layout.rank(first.row), first.x, leadOf(p),
                         p.name.parts.join(QLatin1Char(' '))});
            perRow[first.row] << i;
        }
        std::stable_sort(rows.begin(), rows.end(),
                         [](const Row &a, const Row &b) { return a.position < b.position; });
        QList<int> parent(rows.size());
        std::iota(parent.begin(), parent.end(), 0);
        std::function<int(int)> root = [&](int a) {
            return parent[a] == a ? a : parent[a] = root(parent[a]);
        };
        const int unit = m_layout.unit();
        const int reach = m_layout.boxes() ? 6 * unit : 3;
        const int align = m_layout.boxes() ? 2 * unit : 2;
        for (int a = 0; a < int(rows.size()); ++a) {
            for (int b = a + 1; b < int(rows.size()) && rows[b].position - rows[a].position <= reach; ++b) {
                if (rows[b].position == rows[a].position)
                    continue;
                if (std::abs(rows[a].x - rows[b].x) <= align && rows[a].lead == rows[b].lead) {
                    parent[root(b)] = root(a);
                    break;
                }
            }
        }
        QHash<int, QList<int>> clusters;
        for (int a = 0; a < int(rows.size()); ++a)
            clusters[root(a)] << a;
        for (const QList<int> &cluster : clusters) {
            QSet<QString> names;
            QSet<int> positions;
            for (int a : cluster) {
                names.insert(rows[a].key);
                positions.insert(rows[a].position);
            }
            if (names.size() < 2)
                continue;
            for (int a : cluster) {
                const Phrase &p = m_phrases.at(rows[a].phrase);
                (positions.size() >= 3 ? m_inList : m_paired).insert(p.first);
            }
            if (positions.size() >= 3)
                m_list = true;
        }
        for (const QList<int> &same : perRow) {
            QSet<QString> names;
            for (int i : same)
                names.insert(m_phrases.at(i).name.parts.join(QLatin1Char(' ')));
            if (names.size() >= 3) {
                m_list = true;
                for (int i : same)
                    m_inList.insert(m_phrases.at(i).first);
            }
        }
    }

    // The name a label's value holds, read where a name is expected; a last
    // name ending its line with a comma goes on with the next line.
    std::optional<Phrase> valueName(int from, int end) const {
        int w = from;
        while (w < end && !m_layout.word(w).hasLetter && !m_layout.word(w).hasDigit)
            ++w;
        if (w >= end)
            return std::nullopt;
        std::optional<Phrase> phrase = nameAt(m_layout, w, true);
        // "Re: refill for Lars Eriksson".
        for (int k = w + 1; !phrase && k + 1 < end; ++k)
            if (m_layout.word(k).letters == QLatin1String("for") && m_layout.word(k).lower)
                if (std::optional<Phrase> after = nameAt(m_layout, k + 1, false);
                    after && after->name.parts.size() >= 2)
                    phrase = after;
        if (!phrase)
            return std::nullopt;
        const Piece &piece = m_layout.pieceOf(phrase->first);
        if (phrase->name.surnameWords == int(phrase->name.parts.size()) && phrase->end == piece.end) {
            const QList<int> below = m_layout.piecesBelow(piece, 1);
            if (!below.isEmpty()) {
                const Piece &next = m_layout.pieces().at(below.first());
                if (const std::optional<Phrase> rest = nameAt(m_layout, next.first, true);
                    rest && rest->name.surnameWords < 0 && rest->name.parts.size() <= 3) {
                    phrase->name.parts += rest->name.parts;
                    phrase->name.raw += rest->name.raw;
                    phrase->name.asRead += QLatin1Char(' ') + rest->name.asRead;
                    phrase->name.capitalsFrom = -1;
                    m_continued.insert(next.first);
                }
            }
        }
        return phrase;
    }

    // Whether the rows above a bare "Name:" field head a block about
    // someone else ("Emergency contact", "Guarantor").
    bool underOtherHeading(const Piece &piece) const {
        Piece probe = piece;
        for (int step = 0; step < 4; ++step) {
            const int above = m_layout.pieceAbove(probe);
            if (above < 0)
                return false;
            const Piece &a = m_layout.pieces().at(above);
            bool field = false, digits = false;
            QStringList words;
            for (int w = a.first; w < a.end; ++w) {
                field = field || m_layout.word(w).colon;
                digits = digits || m_layout.word(w).hasDigit;
                words << m_layout.word(w).letters;
            }
            if (!field && !digits && a.end - a.first <= 5)
                return !isSubjectHeading(words);
            probe = a;
        }
        return false;
    }

    // Whether words that are no field of their own lead a label's row
    // ("Emergency contact — Name: ..."), and say nothing of the record's
    // person.
    bool headedOnItsRow(const Label &label) const {
        const Piece &piece = m_layout.pieces().at(label.piece);
        const int first = m_layout.pieces().at(m_layout.piecesOfRow(piece.row).first()).first;
        QStringList free;
        for (int w = first; w < label.first; ++w) {
            if (m_layout.word(w).colon)
                return false; // a field before it: the row is a form's
            if (m_layout.word(w).hasLetter)
                free << m_layout.word(w).letters;
        }
        return !free.isEmpty() && !isSubjectHeading(free);
    }

    QList<Candidate> labelledCandidates() {
        QList<Candidate> out;
        const QList<Label> &labels = m_layout.labels();
        auto make = [&](const Phrase &phrase, Tier tier, const QString &where, int piece) {
            Candidate c;
            c.phrase = phrase;
            c.found.name = phrase.name;
            c.found.where = where;
            c.found.row = m_layout.rank(m_layout.word(phrase.first).row);
            c.found.staff = phrase.staff;
            c.tier = tier;
            c.piece = piece;
            c.needsBirthDate = phrase.name.parts.size() < 2;
            return c;
        };
        // The value of a label: after it on its piece, else the next piece
        // of its row, else the piece below it.
        auto value = [&](int l) -> std::optional<Phrase> {
            const auto [from, end] = m_layout.valueOf(l);
            if (from < end)
                return valueName(from, end);
            const Label &label = labels.at(l);
            const Piece &piece = m_layout.pieces().at(label.piece);
            if (label.colon + 1 < piece.end)
                return std::nullopt;
            const QList<int> row = m_layout.piecesOfRow(piece.row);
            const qsizetype at = row.indexOf(label.piece);
            if (at + 1 < row.size()) {
                const Piece &next = m_layout.pieces().at(row.at(at + 1));
                if (m_layout.labelStartingAt(next.first) < 0)
                    return valueName(next.first, next.end);
            }
            const QList<int> below = m_layout.piecesBelow(piece, 1);
            if (!below.isEmpty()) {
                const Piece &next = m_layout.pieces().at(below.first());
                if (m_layout.labelStartingAt(next.first) < 0 &&
                    std::abs(next.x - piece.x) <= 2 * m_layout.unit())
                    return valueName(next.first, next.end);
            }
            return std::nullopt;
        };
        int surnameLabel = -1, givenLabel = -1;
        std::optional<Phrase> surname, given;
        QList<int> bare; // bare "Name:" fields about the record's person
        for (int l = 0; l < int(labels.size()); ++l) {
            const Label &label = labels.at(l);
            if (label.qualifier == Qualifier::Other)
                continue;
            const Piece &piece = m_layout.pieces().at(label.piece);
            const bool subject = label.qualifier == Qualifier::Subject;
            switch (label.kind) {
            case LabelKind::Subject:
                if (const std::optional<Phrase> p = value(l); p && !p->staff)
                    out << make(*p, Labelled, QStringLiteral("label"), label.piece);
                break;
            case LabelKind::Name:
                if (subject) {
                    if (const std::optional<Phrase> p = value(l); p && !p->staff)
                        out << make(*p, Labelled, QStringLiteral("label"), label.piece);
                } else if (!underOtherHeading(piece) && !headedOnItsRow(label)) {
                    bare << l;
                }
                break;
            case LabelKind::Surname:
                if (surnameLabel < 0 && (subject || !underOtherHeading(piece)))
                    surnameLabel = l, surname = value(l);
                break;
            case LabelKind::GivenName:
                if (givenLabel < 0 && (subject || !underOtherHeading(piece)))
                    givenLabel = l, given = value(l);
                break;
            default:
                break;
            }
        }
        // Beside a first-name field, a bare "Nom:" or "Name:" is the last
        // name ("Nom / Prénom", "Name / Vorname").
        if (givenLabel >= 0 && surnameLabel < 0 && !bare.isEmpty()) {
            surnameLabel = bare.takeFirst();
            surname = value(surnameLabel);
        } else if (surnameLabel >= 0 && givenLabel < 0 && !bare.isEmpty()) {
            // "Apellidos / Nombre": the bare one is the given name.
            givenLabel = bare.takeFirst();
            given = value(givenLabel);
        }
        for (int l : bare)
            if (const std::optional<Phrase> p = value(l); p && !p->staff)
                out << make(*p, Strong, QStringLiteral("form"), labels.at(l).piece);
        // Fields without a colon: "Patient Okonjo, Adaeze", "RE Maria Teixeira".
        for (const Piece &piece : m_layout.pieces()) {
            const LabelReading field = m_layout.fieldAt(piece.first);
            if (field.kind != LabelKind::Subject || m_layout.word(piece.first + field.headWords - 1).colon)
                continue;
            const int at = piece.first + field.headWords;
            if (at >= piece.end || m_layout.word(at).lower)
                continue;
            if (const std::optional<Phrase> p = valueName(at, piece.end); p && !p->staff && !p->lowerCase)
                out << make(*p, Labelled, QStringLiteral("label"), int(&piece - m_layout.pieces().data()));
        }
        // Last and first names in fields of their own ("Nom:", "Prénom:").
        if (surname) {
            Phrase p = *surname;
            ReadName &name = p.name;
            name.surnameWords = int(name.parts.size());
            name.capitalsFrom = -1;
            if (given) {
                name.parts += given->name.parts;
                name.raw += given->name.raw;
                name.asRead = given->name.asRead + QLatin1Char(' ') + name.asRead;
            }
            if (!p.staff)
                out << make(p, Strong, QStringLiteral("form"), labels.at(surnameLabel).piece);
            if (given)
                m_subjectWords.insert(given->first);
        }
        return out;
    }

    // Names at the top of the record, alone on their line or with facts
    // after them (a banner), or after "for" or a dash in a title.
    QList<Candidate> bannerCandidates() {
        QList<Candidate> out;
        const QList<Piece> &pieces = m_layout.pieces();
        for (int p = 0; p < int(pieces.size()); ++p) {
            const Piece &piece = pieces.at(p);
            if (!m_layout.inTop(piece) || m_continued.contains(piece.first))
                continue;
            // Fields have their labels' rules.
            if (m_layout.fieldAt(piece.first).kind != LabelKind::None)
                continue;
            std::optional<Phrase> phrase = nameAt(m_layout, piece.first, true);
            if (phrase && !acceptBanner(*phrase, piece))
                phrase.reset();
            if (!phrase) {
                // "Lab report for SMITH, JOHN", "Discharge summary — John Smith".
                for (int w = piece.first + 1; w < piece.end && !phrase; ++w) {
                    const Word &before = m_layout.word(w - 1);
                    if (before.letters != QLatin1String("for") && !before.separator)
                        continue;
                    if (before.separator && before.text == QLatin1String("/"))
                        continue;
                    std::optional<Phrase> after = nameAt(m_layout, w, false);
                    if (after && after->name.parts.size() >= 2 && !after->staff &&
                        restIsFacts(after->end, piece.end))
                        phrase = after;
                }
            }
            if (!phrase || phrase->staff)
                continue;
            if (m_inList.contains(phrase->first) || m_paired.contains(phrase->first))
                continue;
            // A name alone on its line, its last name on the next one.
            if (phrase->name.parts.size() == 1 && phrase->end == piece.end && phrase->name.surnameWords < 0) {
                const QList<int> below = m_layout.piecesBelow(piece, 1);
                if (!below.isEmpty()) {
                    const Piece &next = pieces.at(below.first());
                    if (std::optional<Phrase> rest = nameAt(m_layout, next.first, true);
                        rest && rest->name.parts.size() == 1 && !rest->staff) {
                        phrase->name.parts += rest->name.parts;
                        phrase->name.raw += rest->name.raw;
                        phrase->name.asRead += QLatin1Char(' ') + rest->name.asRead;
                        phrase->end = rest->end;
                        m_continued.insert(next.first);
                    }
                }
            }
            Candidate c;
            c.phrase = *phrase;
            c.found.name = phrase->name;
            c.found.where = QStringLiteral("title");
            c.found.row = m_layout.rank(piece.row);
            c.tier = Weak;
            c.banner = true;
            c.heading = m_layout.rank(piece.row) == 0 || m_layout.large(piece);
            c.needsBirthDate = phrase->name.parts.size() < 2;
            c.piece = m_layout.word(phrase->first).piece;
            out << c;
        }
        return out;
    }

    // Whether what follows a name on its piece only tells facts about them
    // (dates, numbers, "DOB", "Age", "Sex", a letter for the sex).
    bool restIsFacts(int from, int end) const {
        for (int w = from; w < end; ++w) {
            const Word &word = m_layout.word(w);
            const auto date = std::find_if(m_layout.dates().begin(), m_layout.dates().end(),
                                           [&](const Date &d) { return d.first <= w && w < d.end; });
            if (date != m_layout.dates().end()) {
                w = date->end - 1;
                continue;
            }
            if (!word.hasLetter || word.hasDigit || word.separator || word.letters.size() == 1)
                continue;
            const LabelReading fact = m_layout.fieldAt(w);
            if (fact.kind == LabelKind::BirthDate || fact.kind == LabelKind::Age ||
                fact.kind == LabelKind::Sex || fact.kind == LabelKind::RecordNumber ||
                fact.kind == LabelKind::Death) {
                w += fact.headWords - 1;
                continue;
            }
            static const QSet<QString> units = {
                "y",     "yo",    "yr",  "yrs",   "years",  "year",   "old",    "ans",      "anos",
                "j",     "jahre", "mo",  "mos",   "months", "male",   "female", "m",        "f",
                "weeks", "wk",    "wks", "femme", "homme",  "hombre", "mujer",  "mannlich", "weiblich"};
            if (units.contains(word.letters) || isDeathWord(word.letters))
                continue;
            return false;
        }
        return true;
    }

    bool acceptBanner(const Phrase &phrase, const Piece &piece) const {
        if (phrase.start != piece.first || phrase.staff)
            return false;
        // "Father   Kwame Ekwueme   09/09/1970": a field's value, a relative.
        const int rowStart = m_layout.pieces().at(m_layout.piecesOfRow(piece.row).first()).first;
        for (int w = rowStart; w < piece.first; ++w)
            if (m_layout.word(w).colon || isRelationWord(m_layout.word(w).letters))
                return false;
        if (phrase.lowerCase)
            return phrase.name.parts.size() >= 2 && phrase.end == piece.end;
        if (restIsFacts(phrase.end, piece.end))
            return true;
        // "EKWUEME, KWAME (father)": someone's relative.
        for (int w = phrase.end; w < piece.end; ++w)
            if (isRelationWord(m_layout.word(w).letters))
                return false;
        // "SMITH, JOHN — Discharge summary", or a name shown as a banner
        // shows one (in capitals, or last name first) with more after it.
        if (phrase.end < piece.end && m_layout.word(phrase.end).separator)
            return true;
        return phrase.strong && phrase.name.parts.size() >= 2;
    }

    // A name standing alone at the top is the record's title, unless the
    // lines under it are a message's header ("To:", "Subject:") or name
    // someone it acts for ("Proxy for Maria Teixeira", "mother of ...").
    bool titleOfRecord(const Candidate &c) const {
        const Piece &piece = m_layout.pieces().at(c.piece);
        QList<int> rows = {piece.row};
        for (int p : m_layout.piecesBelow(piece, 3))
            rows << m_layout.pieces().at(p).row;
        for (int row : rows) {
            for (int p : m_layout.piecesOfRow(row)) {
                const Piece &other = m_layout.pieces().at(p);
                for (int w = other.first; w < other.end; ++w) {
                    const Word &word = m_layout.word(w);
                    if (word.colon && w == other.first && isMessageField(word.letters))
                        return false;
                    if (word.lower &&
                        (word.letters == QLatin1String("for") || word.letters == QLatin1String("of")) &&
                        m_phraseAt.contains(w + 1)) {
                        const Phrase &named = m_phrases.at(m_phraseAt.value(w + 1));
                        if (!named.staff && !samePerson(named.name, c.phrase.name))
                            return false;
                    }
                }
            }
        }
        return true;
    }

    // The date of birth on a name's row, right after it: labelled, or
    // written with a four-digit year or a month's name with at most a few
    // words between.
    QList<FoundDate> rowBirthDate(const Phrase &phrase, QString *shown) const {
        const int row = m_layout.word(phrase.end - 1).row;
        for (const Date &date : m_layout.dates()) {
            if (date.first < phrase.end || m_layout.word(date.first).row != row)
                continue;
            // Another name or another field between them.
            int between = 0;
            for (int w = phrase.end; w < date.first; ++w) {
                if (m_phraseAt.contains(w) || (m_layout.labelEndingAt(w) >= 0 && !dateLabel(w)))
                    return {};
                if (m_layout.word(w).hasLetter || m_layout.word(w).hasDigit)
                    ++between;
            }
            if (date.otherPerson ||
                !(date.labelled || (!date.twoDigitYear && between <= 3 && !timeAfter(date))))
                return {};
            QList<FoundDate> out;
            for (const FoundDate &r : date.readings)
                if (birthDateFrom(r, m_today))
                    out << r;
            if (!out.isEmpty() && shown)
                *shown = m_layout.shownText(date.first, date.end);
            return out;
        }
        return {};
    }

    // "Dec 3, 2026 10:41 AM": a date with a time is when something
    // happened, not a birth.
    bool timeAfter(const Date &date) const {
        static const QRegularExpression time(QStringLiteral("^\\d{1,2}[:.h]\\d{2}"));
        return date.end < int(m_layout.words().size()) &&
               m_layout.word(date.end).row == m_layout.word(date.first).row &&
               time.match(m_layout.word(date.end).text).hasMatch();
    }

    bool dateLabel(int colonWord) const {
        const int l = m_layout.labelEndingAt(colonWord);
        return l >= 0 && m_layout.labels().at(l).kind == LabelKind::BirthDate &&
               m_layout.labels().at(l).qualifier != Qualifier::Other;
    }

    // The facts bound to a candidate: on its row after it (up to another
    // name or another person's field), then in the rows below it in its
    // column (a banner over two lines, a form's fields) up to a heading,
    // another name or another person's field.
    BoundFacts bindFacts(const Candidate &c) {
        BoundFacts facts;
        const Phrase &phrase = c.phrase;
        facts.birthDates = rowBirthDate(phrase, &facts.birthDateShown);
        const Piece &own = m_layout.pieceOf(phrase.end - 1);
        // The scope: words of the row after the name, and of the rows below.
        QList<std::pair<int, int>> scope;
        bool stopped = false;
        auto addRange = [&](int from, int end) {
            for (int w = from; w < end; ++w) {
                if (stopsScope(w, phrase)) {
                    if (w > from)
                        scope.append({from, w});
                    stopped = true;
                    return;
                }
            }
            if (from < end)
                scope.append({from, end});
        };
        addRange(phrase.end, own.end);
        const QList<int> row = m_layout.piecesOfRow(own.row);
        for (int p : row) {
            if (stopped)
                break;
            const Piece &piece = m_layout.pieces().at(p);
            if (piece.first >= own.end)
                addRange(piece.first, piece.end);
        }
        stopped = false;
        const int depth = c.banner ? 3 : 4;
        int lastRow = own.row;
        const int ownRange = int(scope.size());
        for (int p : m_layout.piecesBelow(m_layout.pieces().at(c.piece), depth)) {
            if (stopped)
                break;
            const Piece &piece = m_layout.pieces().at(p);
            // A banner's second line led by the date of birth: "08/18/1969 (57 y)".
            if (c.banner && !facts.hasBirthDate())
                for (const Date &date : m_layout.dates())
                    if (date.first == piece.first && !date.twoDigitYear && !date.otherPerson)
                        for (const FoundDate &r : date.readings)
                            if (birthDateFrom(r, m_today)) {
                                facts.birthDates << r;
                                facts.birthDateShown = m_layout.shownText(date.first, date.end);
                            }
            if (m_continued.contains(piece.first) && piece.row != lastRow) {
                addRange(std::max(piece.first, phrase.end), piece.end);
                lastRow = piece.row;
                continue;
            }
            if (isHeading(piece))
                break;
            addRange(piece.first, piece.end);
            lastRow = piece.row;
        }
        for (int i = 0; i < int(scope.size()); ++i)
            readFacts(scope[i].first, scope[i].second, facts, i < ownRange);
        // A banner over several lines or columns at the top: its labelled
        // date of birth wherever no one else's field holds it.
        if (c.banner && !facts.hasBirthDate() && c.phrase.name.parts.size() >= 2 && topNamesOnly(c.phrase)) {
            for (const Date &date : m_layout.dates()) {
                const Piece &dp = m_layout.pieces().at(date.piece);
                if (!date.labelled || date.otherPerson || !m_layout.inTop(dp) || rowOfOtherPerson(dp, phrase))
                    continue;
                takeBirthDate(date, facts);
                if (facts.hasBirthDate())
                    break;
            }
        }
        return facts;
    }

    // Whether nobody but `phrase`'s person is named in the top of the
    // record, in a name or in a field.
    bool topNamesOnly(const Phrase &phrase) const {
        for (const Phrase &other : m_phrases)
            if (m_layout.inTop(m_layout.pieceOf(other.first)) && !samePerson(other.name, phrase.name))
                return false;
        for (const Label &label : m_layout.labels()) {
            if (!m_layout.inTop(m_layout.pieces().at(label.piece)))
                continue;
            if (label.qualifier == Qualifier::Other || label.kind == LabelKind::Subject ||
                label.kind == LabelKind::Name || label.kind == LabelKind::Surname ||
                label.kind == LabelKind::GivenName)
                return false;
        }
        return true;
    }

    // Whether the row of `piece` names someone else at its start, or holds
    // another person's field.
    bool rowOfOtherPerson(const Piece &piece, const Phrase &phrase) const {
        for (int p : m_layout.piecesOfRow(piece.row)) {
            const Piece &other = m_layout.pieces().at(p);
            for (int w = other.first; w < other.end; ++w) {
                if (w >= phrase.first && w < phrase.end)
                    continue;
                if (stopsScope(w, phrase))
                    return true;
            }
        }
        return false;
    }

    // A word that ends the facts of a name: another person's name, a field
    // of another person or of a name.
    bool stopsScope(int w, const Phrase &phrase) const {
        if (w >= phrase.first && w < phrase.end)
            return false;
        if (const auto it = m_phraseAt.constFind(w); it != m_phraseAt.constEnd()) {
            const Phrase &other = m_phrases.at(*it);
            if (!samePerson(other.name, phrase.name))
                return true;
        }
        const int l = m_layout.labelStartingAt(w);
        if (l >= 0) {
            const Label &label = m_layout.labels().at(l);
            if (label.qualifier == Qualifier::Other)
                return true;
            if (label.kind == LabelKind::None) {
                // A field of its own ("Guarantor:", "Contact:") holding a name.
                const auto [from, end] = m_layout.valueOf(l);
                for (int v = from; v < end; ++v)
                    if (m_phraseAt.contains(v))
                        return true;
            }
            if (label.kind == LabelKind::Subject || label.kind == LabelKind::Name ||
                label.kind == LabelKind::Surname || label.kind == LabelKind::GivenName) {
                const auto [from, end] = m_layout.valueOf(l);
                const std::optional<Phrase> value = from < end ? nameAt(m_layout, from, true) : std::nullopt;
                return value && !samePerson(value->name, phrase.name);
            }
        }
        return false;
    }

    bool isHeading(const Piece &piece) const {
        if (piece.end - piece.first > 5)
            return false;
        for (int w = piece.first; w < piece.end; ++w) {
            const Word &word = m_layout.word(w);
            if (word.colon || word.hasDigit || !word.hasLetter)
                return false;
            if (m_phraseAt.contains(w) || startsFact(m_layout, w))
                return false;
        }
        QStringList words;
        for (int w = piece.first; w < piece.end; ++w)
            words << m_layout.word(w).letters;
        return !isSubjectHeading(words) && labelStartingWith(words).kind == LabelKind::None;
    }

    void takeBirthDate(const Date &date, BoundFacts &facts) const {
        if (facts.hasBirthDate() || date.otherPerson)
            return;
        if (!date.labelled)
            return;
        for (const FoundDate &r : date.readings)
            if (birthDateFrom(r, m_today))
                facts.birthDates << r;
        if (facts.hasBirthDate())
            facts.birthDateShown = m_layout.shownText(date.first, date.end);
    }

    // The facts in words [from, end); `ownRow`: on the name's own row, where
    // a word for death is theirs ("DECEASED", "(deceased)"); elsewhere only a
    // field of its own says it ("Deceased: 11/30/2026"), not "father
    // deceased".
    void readFacts(int from, int end, BoundFacts &facts, bool ownRow) const {
        for (const Date &date : m_layout.dates())
            if (date.first >= from && date.end <= end)
                takeBirthDate(date, facts);
        QList<qsizetype> starts;
        const QString text = m_layout.textOf(from, end, &starts);
        if (!facts.age) {
            const QList<PlacedAge> ages = findAges(text);
            for (const PlacedAge &age : ages) {
                // Off the name's row an age is its own field ("Age: 42",
                // "42 y F" leading a line), not "follow-up in 2 weeks".
                bool field = !text.at(age.start).isDigit();
                for (int i = 0; i < int(starts.size()) && !field; ++i)
                    field = starts[i] == age.start && m_layout.pieceOf(from + i).first == from + i;
                if (!ownRow && !field)
                    continue;
                // Not the day or year of a date.
                bool inDate = false;
                for (const Date &date : m_layout.dates())
                    for (int i = 0; i < int(starts.size()) && !inDate; ++i)
                        inDate = from + i >= date.first && from + i < date.end && starts[i] <= age.start &&
                                 age.start < starts[i] + m_layout.word(from + i).shown.size();
                if (inDate)
                    continue;
                facts.age = age.years;
                facts.ageShown = text.mid(age.start, age.end - age.start);
                break;
            }
        }
        for (int w = from; w < end; ++w) {
            const Word &word = m_layout.word(w);
            const bool leads = w == m_layout.pieceOf(w).first;
            if (isDeathWord(word.letters) && (ownRow || leads))
                facts.deceased = true;
            const LabelReading field = m_layout.fieldAt(w);
            if (field.kind == LabelKind::Death && (ownRow || leads)) {
                const int l = m_layout.labelEndingAt(w + field.headWords - 1);
                if (l < 0 || m_layout.labels().at(l).qualifier != Qualifier::Other)
                    facts.deceased = true;
            }
            if (field.kind == LabelKind::Sex && w + field.headWords < end && facts.sex.isEmpty())
                facts.sex = m_layout.word(w + field.headWords).text;
            if (field.kind == LabelKind::RecordNumber && w + field.headWords < end &&
                facts.recordNumber.isEmpty()) {
                const Word &value = m_layout.word(w + field.headWords);
                if (value.hasDigit)
                    facts.recordNumber = value.text;
            }
        }
    }

    // Among the candidates, the subject: the strongest kind of place; people
    // named in places as strong (a label's, a banner with facts) must be
    // the same person, or nobody is the subject.
    void choose(QList<Candidate> &candidates, ScreenReading &reading) {
        if (candidates.isEmpty())
            return;
        Tier best = Weak;
        for (const Candidate &c : candidates)
            best = std::max(best, c.tier);
        QList<const Candidate *> top;
        for (const Candidate &c : candidates)
            if (c.tier == best || (best == Labelled && c.tier == Strong))
                top << &c;
        const Candidate *chosen = top.first();
        for (const Candidate *c : top)
            if (c->tier > chosen->tier || (c->tier == chosen->tier && c->found.row < chosen->found.row))
                chosen = c;
        NameOnScreen subject = chosen->found;
        for (const Candidate *c : top) {
            if (c == chosen)
                continue;
            if (samePerson(c->found.name, subject.name)) {
                mergeFacts(subject.facts, c->found.facts);
                markSubject(c->phrase);
            } else {
                reading.rivals << c->found;
            }
        }
        markSubject(chosen->phrase);
        if (reading.rivals.isEmpty())
            reading.subject = subject;
        else
            reading.rivals.prepend(subject);
    }

    void markSubject(const Phrase &phrase) {
        for (int w = phrase.start; w < phrase.end; ++w)
            m_subjectWords.insert(w);
    }

    static void mergeFacts(BoundFacts &into, const BoundFacts &from) {
        if (!into.hasBirthDate()) {
            into.birthDates = from.birthDates;
            into.birthDateShown = from.birthDateShown;
        }
        if (!into.age) {
            into.age = from.age;
            into.ageShown = from.ageShown;
        }
        if (into.sex.isEmpty())
            into.sex = from.sex;
        if (into.recordNumber.isEmpty())
            into.recordNumber = from.recordNumber;
        into.deceased = into.deceased || from.deceased;
    }

    // Nothing names the record's person: one name on a line of its own with
    // a date of birth after it, when no other name on screen has one.
    void lineWithBirthDate(ScreenReading &reading) {
        QList<NameOnScreen> found;
        int withBirthDate = 0;
        for (const Phrase &p : m_phrases) {
            QString shown;
            const QList<FoundDate> dates = rowBirthDate(p, &shown);
            if (dates.isEmpty())
                continue;
            ++withBirthDate;
            const Piece &piece = m_layout.pieceOf(p.first);
            const bool rowStart = m_layout.piecesOfRow(piece.row).first() == m_layout.word(p.first).piece;
            if (p.start != piece.first || !rowStart || p.staff || m_inList.contains(p.first) ||
                m_fieldValue.contains(p.start))
                continue;
            NameOnScreen n;
            n.name = p.name;
            n.facts.birthDates = dates;
            n.facts.birthDateShown = shown;
            n.where = QStringLiteral("name and date of birth");
            n.row = m_layout.rank(piece.row);
            found << n;
        }
        // Labelled names with dates of birth count as other people too.
        for (const Label &label : m_layout.labels()) {
            if (label.kind != LabelKind::BirthDate || label.qualifier != Qualifier::Other)
                continue;
            ++withBirthDate;
        }
        if (found.size() == 1 && withBirthDate == 1) {
            reading.subject = found.first();
            for (const Phrase &p : m_phrases)
                if (p.name.parts == found.first().name.parts)
                    markSubject(p);
        }
    }

    Layout m_layout;
    QDate m_today;
    QList<Phrase> m_phrases;
    QHash<int, int> m_phraseAt; // first word (and first word with titles) to phrase
    QSet<int> m_inList, m_paired, m_fieldValue, m_subjectWords;
    mutable QSet<int> m_continued; // first words of lines a name went on to
    bool m_list = false;
};

} // namespace

ScreenReading readScreen(const ScreenText &screen, const QDate &today) {
    if (screen.words.isEmpty())
        return {};
    return Reader(screen, today).read();
}
