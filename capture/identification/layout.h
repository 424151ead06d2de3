#pragma once
// The layout of a screen's text, as identification reads it: words with
// where they stand, pieces of lines (a wide gap parts columns), rows, the
// dates and the labels of fields; and names read from a given word on.

#include "capture/identification/dates.h"
#include "capture/identification/lexicon.h"
#include "capture/identification/names.h"
#include "capture/screen_text.h"

#include <QHash>
#include <QList>
#include <QSet>
#include <QString>
#include <optional>
#include <utility>

namespace identification {

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
    int screenWord = 0;       // the word of the screen's text it comes from
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
    // From the page's structure rather than its text: a label bound to its
    // field, a table's column header over its only cell. Its value is
    // [valueFirst, valueEnd).
    bool structural = false;
    int valueFirst = -1, valueEnd = -1;
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

class Layout {
public:
    explicit Layout(const ScreenText &screen) : m_screen(screen), m_boxes(screen.hasBoxes()) {
        readWords();
        joinRows();
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
    // The date (an index into dates()) written from word `w` on; -1 when none.
    int dateAt(int w) const { return m_dateStarts.value(w, -1); }
    int unit() const { return m_unit; }

    // The top of the record: the top band (or the top three tenths) of the
    // window; without boxes, its first three lines. Large text in the upper
    // half counts too (a heading).
    bool inTop(const Piece &piece) const;
    bool large(const Piece &piece) const;

    // Rows from the top: the rank of a row among all rows.
    int rank(int row) const { return m_rowRank.value(row); }

    // Pieces of the rows below `piece` that stand in its column (overlap it
    // from the side), nearest first, at most `rows` rows down.
    QList<int> piecesBelow(const Piece &piece, int rows) const;
    // The piece right above `piece` in its column (for a label over its
    // value); -1 when none.
    int pieceAbove(const Piece &piece) const;
    // The pieces of a row, left to right.
    QList<int> piecesOfRow(int row) const { return m_rowPieces.value(row); }
    // Where a piece stands from the top (for ordering).
    int below(int p) const { return m_boxes ? m_pieces.at(p).top : rank(m_pieces.at(p).row); }

    // The words [first, end) as a string, and each word's offset in it.
    QString textOf(int first, int end, QList<qsizetype> *starts = nullptr) const;
    QString shownText(int first, int end) const { return textOf(first, end); }

    // The label (by index) that word `w` is the colon word of; -1 when none.
    int labelEndingAt(int w) const { return m_labelAtColon.value(w, -1); }
    // The label whose first word is `w`; -1 when none.
    int labelStartingAt(int w) const { return m_labelAtFirst.value(w, -1); }
    // The value of label `l`: its words after the colon to the next label of
    // the piece.
    std::pair<int, int> valueOf(int l) const;

    // A field without a colon starting at word `w` ("DOB 1/2/1950", "Patient
    // Okonjo"): its kind and length.
    LabelReading fieldAt(int w) const;

private:
    void readWords();

    void joinRows();
    void formPieces();

    void findDates();

    // Whether a birth label stands before the date: on its piece, at the end
    // of the piece before it on its row, or alone in the piece above.
    void birthLabel(Date &date) const;

    void findLabels();
    void findStructureLabels();

    const ScreenText &m_screen;
    bool m_boxes;
    QList<Word> m_words;
    QList<Piece> m_pieces;
    QHash<int, QList<int>> m_rowPieces;
    QHash<int, int> m_rowRank;
    QList<Date> m_dates;
    QHash<int, int> m_dateStarts; // first word to date
    QList<Label> m_labels;
    QHash<int, int> m_labelAtColon, m_labelAtFirst;
    int m_medianHeight = 0;
    int m_unit = 1;
};

// A word that says where a field or a fact begins: "DOB", "MRN", "Sex",
// "Age", "Date of birth", "Geb.".
bool startsFact(const Layout &layout, int w);
// The name that begins at word `w` (after titles); none when no name does.
// `lenient`: where a name is expected (after "Patient:", in a banner):
// lower case and the engine's misreadings allowed.
std::optional<Phrase> nameAt(const Layout &layout, int w, bool lenient);
// The same person, as far as two names on screen tell: the same last name
// and the same first name (or its initial, or none shown): "OKONJO,
// ADAEZE", "Adaeze Okonjo", "A. Okonjo"; not "Maria Teixeira" and "Rosa
// Maria Teixeira".
bool samePerson(const ReadName &a, const ReadName &b);

} // namespace identification
