#include "capture/patient_identification.h"

#include <QHash>
#include <QMap>
#include <QRegularExpression>
#include <QSet>
#include <algorithm>
#include <array>
#include <numeric>

namespace {

// ---------------------------------------------------------------- dates ---

int monthFromName(const QString &name) {
    static const QStringList months = {"jan", "feb", "mar", "apr", "may", "jun",
                                       "jul", "aug", "sep", "oct", "nov", "dec"};
    return int(months.indexOf(name.left(3).toLower())) + 1;
}

bool plausible(int year, int month, int day, bool twoDigitYear) {
    if (month < 1 || month > 12 || day < 1 || day > 31)
        return false;
    if (twoDigitYear)
        return QDate::isValid(2000 + year, month, day) || QDate::isValid(1900 + year, month, day);
    return year >= 1850 && year <= 2200 && QDate::isValid(year, month, day);
}

void add(QList<PlacedDate> &found, const QRegularExpressionMatch &m, int year, int month, int day,
         bool twoDigitYear) {
    const PlacedDate placed{{year, month, day, twoDigitYear}, m.capturedStart(), m.capturedEnd()};
    if (!plausible(year, month, day, twoDigitYear))
        return;
    const bool known = std::any_of(found.begin(), found.end(), [&](const PlacedDate &p) {
        return p.date == placed.date && p.start == placed.start;
    });
    if (!known)
        found.append(placed);
}

const QString kMonthPattern =
    QStringLiteral("(jan(?:uary)?|feb(?:ruary)?|mar(?:ch)?|apr(?:il)?|may|june?|july?|aug(?:ust)?|"
                   "sep(?:t(?:ember)?)?|oct(?:ober)?|nov(?:ember)?|dec(?:ember)?)\\.?");

// ------------------------------------------------------- words and names ---

// Lower case without accents, and the letters that do not decompose spelt
// out: what a name is compared in.
QString folded(const QString &text) {
    QString out;
    for (QChar c : text.normalized(QString::NormalizationForm_D)) {
        if (c.category() == QChar::Mark_NonSpacing)
            continue;
        switch (c.toCaseFolded().unicode()) {
        case u'ø':
            out += QLatin1Char('o');
            break;
        case u'æ':
            out += QLatin1String("ae");
            break;
        case u'œ':
            out += QLatin1String("oe");
            break;
        case u'ß':
            out += QLatin1String("ss");
            break;
        case u'ł':
            out += QLatin1Char('l');
            break;
        case u'đ':
        case u'ð':
            out += QLatin1Char('d');
            break;
        case u'ı':
            out += QLatin1Char('i');
            break;
        default:
            out += c.toCaseFolded();
        }
    }
    return out;
}

// The runs of letters and digits of a folded word ("o'connor," gives "o"
// and "connor").
QStringList alphanumericRuns(const QString &foldedWord) {
    QStringList runs;
    QString run;
    for (QChar c : foldedWord) {
        if (c.isLetterOrNumber()) {
            run += c;
        } else if (!run.isEmpty()) {
            runs << run;
            run.clear();
        }
    }
    if (!run.isEmpty())
        runs << run;
    return runs;
}

// Whether the screen's letters `shown` are `name` misread the engine's usual
// ways: rn for m, fi for ñ (n once folded), l, I and 1 for one another, 0 for
// o, g for ø (o once folded), and any other digit for a letter it could not
// read (an accented one, mostly). With `whole`, all of `name`; else a
// beginning of it.
bool misreadAs(QStringView shown, QStringView name, bool whole) {
    if (shown.isEmpty())
        return !whole || name.isEmpty();
    if (name.isEmpty())
        return false;
    const QChar s = shown.at(0), n = name.at(0);
    const bool likeL = s == u'l' || s == u'i' || s == u'1' || s == u'|';
    if ((s == n || (likeL && (n == u'l' || n == u'i')) || ((s == u'0' || s == u'g') && n == u'o') ||
         (s.isDigit() && n.isLetter())) &&
        misreadAs(shown.mid(1), name.mid(1), whole))
        return true;
    if (shown.startsWith(u"rn") && n == u'm' && misreadAs(shown.mid(2), name.mid(1), whole))
        return true;
    if (shown.startsWith(u"fi") && n == u'n' && misreadAs(shown.mid(2), name.mid(1), whole))
        return true;
    return s == u'm' && name.startsWith(u"rn") && misreadAs(shown.mid(1), name.mid(2), whole);
}

// The first letters a word can show for a name beginning with `c`, misread.
QString misreadFirsts(QChar c) {
    switch (c.unicode()) {
    case u'l':
    case u'i':
        return QStringLiteral("li1|");
    case u'o':
        return QStringLiteral("o0g");
    case u'm':
        return QStringLiteral("mr");
    case u'n':
        return QStringLiteral("nf");
    default:
        return QString(c);
    }
}

const QSet<QString> kSuffixes = {"jr", "sr", "ii", "iii", "iv"};
// Words before a name that say the window is about that person.
const QSet<QString> kLabels = {"patient", "pt", "name", "patientname", "client", "resident"};
// Words before a name that make it someone other than the patient.
const QSet<QString> kRoles = {
    "guardian",  "mother",    "father",   "mom",       "dad",         "parent",      "parents",
    "son",       "daughter",  "child",    "children",  "sibling",     "siblings",    "brother",
    "sister",    "twin",      "spouse",   "husband",   "wife",        "partner",     "contact",
    "emergency", "referred",  "referral", "referring", "accompanied", "dr",          "doctor",
    "md",        "pcp",       "provider", "attending", "nurse",       "rn",          "np",
    "physician", "caregiver", "family",   "relative",  "grandmother", "grandfather", "aunt",
    "uncle",     "cousin",    "signed",   "author",    "cc",          "kin"};
// Credentials and relations right after a name.
const QSet<QString> kAfterName = {"md",     "do",       "rn",   "np",       "pa",      "dds",    "dmd",
                                  "phd",    "facp",     "lpn",  "dnp",      "mbbs",    "father", "mother",
                                  "parent", "guardian", "son",  "daughter", "brother", "sister", "sibling",
                                  "spouse", "husband",  "wife", "twin"};
// Words a middle name is never.
const QSet<QString> kNotMiddle = {"and", "or",  "with", "of",   "y",  "e",
                                  "et",  "und", "to",   "from", "by", "the"};
// Labels of a date of birth, as letters only ("D.O.B." gives "dob").
const QSet<QString> kBirthLabels = {"dob",         "born",  "birth", "birthdate",
                                    "dateofbirth", "bdate", "bday",  "db"};

struct Token {
    QString folded; // letters and digits, folded
    int word;       // index into the screen's words
    int line;
    int block;
};

struct NameForm {
    QString given;      // all given names run together
    QString firstGiven; // the first given name alone
    QString surname;    // all last-name words run together
    QChar surnameInitial;
    // Of a last name of several words, the words that are a name on their
    // own ("Garcia" of "Garcia Marquez", not "van" or "der").
    QStringList surnameWords;
};

QStringList foldedParts(const QString &text) {
    QStringList parts;
    for (const QString &word : text.split(QLatin1Char(' '), Qt::SkipEmptyParts))
        for (const QString &run : alphanumericRuns(folded(word)))
            parts << run;
    while (!parts.isEmpty() && kSuffixes.contains(parts.last()))
        parts.removeLast();
    return parts;
}

// The given and last names of an entry: from "first_name" and "last_name",
// else "Last, First", else every split of "name" into given and last names.
QList<NameForm> nameForms(const QVariantMap &patient) {
    QList<QPair<QStringList, QStringList>> splits;
    const QStringList first = foldedParts(patient.value(QStringLiteral("first_name")).toString());
    const QStringList last = foldedParts(patient.value(QStringLiteral("last_name")).toString());
    const QString name = patient.value(QStringLiteral("name")).toString();
    if (!first.isEmpty() && !last.isEmpty()) {
        splits.append({first, last});
    } else if (const qsizetype comma = name.indexOf(QLatin1Char(',')); comma >= 0) {
        splits.append({foldedParts(name.mid(comma + 1)), foldedParts(name.left(comma))});
    } else {
        const QStringList parts = foldedParts(name);
        for (qsizetype k = 1; k < parts.size(); ++k)
            splits.append({parts.mid(0, k), parts.mid(k)});
    }
    QList<NameForm> forms;
    for (const auto &[given, surname] : splits) {
        if (given.isEmpty() || surname.isEmpty())
            continue;
        static const QSet<QString> particles = {"van", "von", "der", "den", "de", "la", "le",  "di",  "da",
                                                "del", "dos", "das", "du",  "el", "al", "ter", "ten", "mac"};
        QStringList words;
        if (surname.size() > 1)
            for (const QString &w : surname)
                if (w.size() >= 3 && !particles.contains(w))
                    words << w;
        const QString s = surname.join(QString());
        forms.append({given.join(QString()), given.first(), s, s.at(0), words});
    }
    return forms;
}

// Entries of one person (two visits today) count as one patient: the same
// clinic id, or, without ids, the same name and date of birth.
QString personKey(const QVariantMap &patient) {
    const QString id = patient.value(QStringLiteral("kelvraID")).toString();
    if (!id.isEmpty())
        return QStringLiteral("id:") + id;
    return QStringLiteral("name:") + foldedParts(patient.value(QStringLiteral("name")).toString()).join(' ') +
           QLatin1Char('|') + patient.value(QStringLiteral("dob")).toString().trimmed();
}

enum class Strength { Partial, Misread, Full };

struct Occurrence {
    int person;
    qsizetype first; // tokens [first, end)
    qsizetype end;
    Strength strength;
    int skipped = 0; // middle names on screen that are not the patient's
    bool mention = false;
    bool labelled = false;
    bool top = false;
    bool large = false;
    bool inList = false;
    int ownDate = -1; // index into the screen's dates
};

struct ScreenDate {
    FoundDate date;
    int line;
    int firstWord; // words [firstWord, endWord)
    int endWord;
    bool labelled;
};

// Everything the decision reads off the screen.
class Screen {
public:
    explicit Screen(const ScreenText &screen) : m_screen(screen) {
        QList<int> heights;
        for (const ScreenWord &word : screen.words)
            if (!word.box.isNull())
                heights << word.box.height();
        std::sort(heights.begin(), heights.end());
        m_medianHeight = heights.isEmpty() ? 0 : heights.at(heights.size() / 2);
        // The engine runs side-by-side columns into one line; a wide gap
        // between two words of a line starts a piece of its own, and the
        // pieces are the lines here.
        int line = -1;
        for (int w = 0; w < int(screen.words.size()); ++w) {
            const ScreenWord &word = screen.words.at(w);
            const ScreenWord *before = w > 0 ? &screen.words.at(w - 1) : nullptr;
            if (!before || before->line != word.line ||
                (screen.hasBoxes() && word.box.left() - before->box.right() > 3 * m_medianHeight))
                ++line;
            const QString f = folded(word.text);
            static const QRegularExpression notLetter(QStringLiteral("[^\\p{L}]"));
            m_wordLetters << QString(f).remove(notLetter);
            for (const QString &run : alphanumericRuns(f))
                m_tokens.append({run, w, line, word.block});
            m_lineWords[line].append(w);
            m_lineOfWord << line;
            m_lineBox[line] |= word.box;
        }
        int seen = 0;
        for (auto it = m_lineWords.begin(); it != m_lineWords.end() && seen < 2; ++it, ++seen)
            m_firstLines.insert(it.key());
        findScreenDates();
    }

    const QList<Token> &tokens() const { return m_tokens; }
    const QList<ScreenDate> &dates() const { return m_dates; }
    const ScreenText &text() const { return m_screen; }
    QString letters(int word) const { return m_wordLetters.at(word); }
    int medianHeight() const { return m_medianHeight; }

    // Whether the word stands in the top of the window.
    bool atTop(int word) const {
        const ScreenWord &w = m_screen.words.at(word);
        if (!m_screen.hasBoxes())
            return m_firstLines.contains(m_lineOfWord.at(word));
        const int limit = m_screen.topBandBottom > 0 ? m_screen.topBandBottom : m_screen.imageHeight / 6;
        return w.box.top() < limit;
    }

    // Two tokens in a row may belong to one name: the same block, the same
    // line or the next.
    bool joinable(qsizetype a, qsizetype b) const {
        const Token &x = m_tokens.at(a), &y = m_tokens.at(b);
        return x.block == y.block && (y.line == x.line || y.line == nextLine(x.line));
    }

    // The end of the run of up to four tokens from `t` that spells `target`
    // (run together), or -1. `misread`: read with the engine's usual
    // confusions (misreadAs()).
    qsizetype run(const QString &target, qsizetype t, bool misread) const {
        if (!misread) {
            qsizetype at = 0;
            for (qsizetype k = t; k < m_tokens.size() && k < t + 4; ++k) {
                if (k > t && !joinable(k - 1, k))
                    return -1;
                const QString &word = m_tokens.at(k).folded;
                if (QStringView(target).mid(at, word.size()) != word)
                    return -1;
                at += word.size();
                if (at == target.size())
                    return k + 1;
            }
            return -1;
        }
        QString spelt;
        for (qsizetype k = t; k < m_tokens.size() && k < t + 4; ++k) {
            if (k > t && !joinable(k - 1, k))
                return -1;
            const QString &word = m_tokens.at(k).folded;
            spelt += word;
            // A number is not a misread name.
            if (std::none_of(word.begin(), word.end(), [](QChar c) { return c.isLetter(); }))
                return -1;
            if (misreadAs(spelt, target, true))
                return k + 1;
            if (!misreadAs(spelt, target, false))
                return -1;
        }
        return -1;
    }

    int wordOf(qsizetype token) const { return m_tokens.at(token).word; }
    int lineOf(qsizetype token) const { return m_tokens.at(token).line; }
    const QList<int> &wordsOfLine(int line) const {
        static const QList<int> none;
        const auto it = m_lineWords.constFind(line);
        return it == m_lineWords.constEnd() ? none : *it;
    }
    int lineOfWord(int word) const { return m_lineOfWord.at(word); }
    QList<int> lines() const { return m_lineWords.keys(); }
    // The line below `line` (-1: none): the next one, or with boxes the
    // nearest below it that shares some of its columns.
    int nextLine(int line) const { return neighbour(line, +1); }
    int previousLine(int line) const { return neighbour(line, -1); }

private:
    int neighbour(int line, int direction) const {
        if (!m_screen.hasBoxes()) {
            if (direction > 0) {
                const auto it = m_lineWords.upperBound(line);
                return it == m_lineWords.constEnd() ? -1 : it.key();
            }
            const auto it = m_lineWords.lowerBound(line);
            return it == m_lineWords.constBegin() ? -1 : std::prev(it).key();
        }
        const QRect box = m_lineBox.value(line);
        int best = -1, bestDistance = 3 * std::max(m_medianHeight, 1);
        for (auto it = m_lineBox.constBegin(); it != m_lineBox.constEnd(); ++it) {
            const QRect &other = it.value();
            if (it.key() == line || other.right() < box.left() || other.left() > box.right())
                continue;
            const int distance = direction > 0 ? other.top() - box.bottom() : box.top() - other.bottom();
            if (distance >= -m_medianHeight / 2 && distance < bestDistance) {
                best = it.key();
                bestDistance = distance;
            }
        }
        return best;
    }

    // The dates of each line, and whether a birth label stands before them
    // (on their line, or at the end of the line above).
    void findScreenDates() {
        for (auto it = m_lineWords.constBegin(); it != m_lineWords.constEnd(); ++it) {
            QString lineText;
            QList<qsizetype> starts;
            for (int w : *it) {
                if (!lineText.isEmpty())
                    lineText += QLatin1Char(' ');
                starts << lineText.size();
                lineText += m_screen.words.at(w).text;
            }
            for (const PlacedDate &placed : findPlacedDates(lineText)) {
                int first = -1, end = -1;
                for (qsizetype i = 0; i < starts.size(); ++i) {
                    const qsizetype wordEnd = starts[i] + m_screen.words.at(it->at(i)).text.size();
                    if (wordEnd > placed.start && starts[i] < placed.end) {
                        if (first < 0)
                            first = it->at(i);
                        end = it->at(i) + 1;
                    }
                }
                if (first < 0)
                    continue;
                m_dates.append({placed.date, it.key(), first, end, labelledBirthDate(it.key(), first)});
            }
        }
    }

    bool labelledBirthDate(int line, int firstWord) const {
        const QList<int> &words = m_lineWords.value(line);
        const qsizetype at = words.indexOf(firstWord);
        QString before;
        for (qsizetype i = at - 1; i >= 0 && i >= at - 3; --i) {
            before.prepend(m_wordLetters.at(words[i]));
            if (kBirthLabels.contains(m_wordLetters.at(words[i])) || kBirthLabels.contains(before))
                return true;
        }
        if (at == 0) {
            if (const int above = previousLine(line); above >= 0) {
                const QList<int> &prev = m_lineWords.value(above);
                return kBirthLabels.contains(m_wordLetters.at(prev.last()));
            }
        }
        return false;
    }

    const ScreenText &m_screen;
    QList<Token> m_tokens;
    QStringList m_wordLetters;
    QMap<int, QList<int>> m_lineWords;
    QList<int> m_lineOfWord;
    QMap<int, QRect> m_lineBox;
    QSet<int> m_firstLines;
    QList<ScreenDate> m_dates;
    int m_medianHeight = 0;
};

struct Person {
    qsizetype entry; // the first entry of this person in the list
    QList<NameForm> forms;
    QDate birthDate;
};

bool isMiddleName(const Token &token) {
    if (kNotMiddle.contains(token.folded) || kRoles.contains(token.folded) || kLabels.contains(token.folded))
        return false;
    return std::all_of(token.folded.begin(), token.folded.end(), [](QChar c) { return c.isLetter(); });
}

// Every place a person's name (or part of it) stands, from the token `t`.
// `misreadToo`: also read with the engine's confusions (only worth it where
// the patient's date of birth is on screen, the only place a misread name
// counts).
void findAt(const Screen &screen, int person, const NameForm &form, qsizetype t, bool misreadToo,
            QList<Occurrence> &out) {
    const QList<Token> &tokens = screen.tokens();
    for (const bool misread : {false, true}) {
        if (misread && !misreadToo)
            break;
        const Strength strength = misread ? Strength::Misread : Strength::Full;
        const QString &given = form.given, &firstGiven = form.firstGiven, &surname = form.surname;
        // LAST [suffix] [,] FIRST
        if (const qsizetype e = screen.run(surname, t, misread); e >= 0) {
            qsizetype g = e;
            while (g < tokens.size() && kSuffixes.contains(tokens.at(g).folded) && screen.joinable(g - 1, g))
                ++g;
            bool whole = false;
            if (g < tokens.size() && screen.joinable(g - 1, g)) {
                for (const QString &part : {given, firstGiven}) {
                    if (const qsizetype end = screen.run(part, g, misread); end >= 0) {
                        out.append({person, t, end, strength});
                        whole = true;
                        break;
                    }
                }
            }
            if (!whole && !misread)
                out.append({person, t, e, Strength::Partial});
        }
        // One word of a last name of several.
        if (!misread)
            for (const QString &word : form.surnameWords)
                if (const qsizetype e = screen.run(word, t, false); e >= 0)
                    out.append({person, t, e, Strength::Partial});
        // FIRST [middle names or initials] LAST
        for (const QString &part : {given, firstGiven}) {
            const qsizetype e = screen.run(part, t, misread);
            if (e < 0)
                continue;
            bool whole = false;
            for (qsizetype s = e; s < tokens.size() && s <= e + 2 && !whole; ++s) {
                if (s > e && (!isMiddleName(tokens.at(s - 1)) || !screen.joinable(s - 2, s - 1)))
                    break;
                if (!screen.joinable(s - 1, s))
                    break;
                if (const qsizetype end = screen.run(surname, s, misread); end >= 0) {
                    out.append({person, t, end, strength, int(s - e)});
                    whole = true;
                }
            }
            // The first name and the last name's initial.
            if (!whole && !misread && e < tokens.size() && screen.joinable(e - 1, e) &&
                tokens.at(e).folded.size() == 1 && tokens.at(e).folded.at(0) == form.surnameInitial)
                out.append({person, t, e + 1, Strength::Partial});
            if (whole)
                break;
        }
    }
}

// Whether `inner` lies within `outer` and says less: "Maria Teixeira" within
// "Rosa Maria Teixeira", the last name alone within the whole name.
bool overshadowed(const Occurrence &inner, const Occurrence &outer) {
    if (inner.first < outer.first || inner.end > outer.end)
        return false;
    if (outer.end - outer.first > inner.end - inner.first)
        return outer.strength != Strength::Partial || inner.strength == Strength::Partial;
    return outer.strength > inner.strength ||
           (outer.strength == inner.strength && outer.skipped < inner.skipped);
}

bool sameDay(const FoundDate &found, const QDate &date) {
    if (!date.isValid() || found.month != date.month() || found.day != date.day())
        return false;
    return found.twoDigitYear ? found.year == date.year() % 100 : found.year == date.year();
}

QString shownDate(const ScreenText &text, const ScreenDate &date) {
    QStringList words;
    for (int w = date.firstWord; w < date.endWord; ++w)
        words << text.words.at(w).text;
    return words.join(QLatin1Char(' '));
}

} // namespace

QString identificationReasonText(IdentificationReason reason) {
    switch (reason) {
    case IdentificationReason::Name:
        return QStringLiteral("name");
    case IdentificationReason::NameAndBirthDate:
        return QStringLiteral("name and date of birth");
    case IdentificationReason::BirthDateAndPartOfName:
        return QStringLiteral("date of birth and part of the name");
    case IdentificationReason::BelowFloor:
        return QStringLiteral("below floor");
    case IdentificationReason::Ambiguous:
        return QStringLiteral("ambiguous");
    case IdentificationReason::List:
        return QStringLiteral("list");
    case IdentificationReason::BirthDateContradicts:
        return QStringLiteral("date of birth differs");
    }
    return {};
}

QString nameEvidenceText(NameEvidence evidence) {
    switch (evidence) {
    case NameEvidence::None:
        return QString();
    case NameEvidence::PartOfName:
        return QStringLiteral("part of the name");
    case NameEvidence::Mention:
        return QStringLiteral("mention");
    case NameEvidence::InList:
        return QStringLiteral("in a list");
    case NameEvidence::Misread:
        return QStringLiteral("misread name");
    case NameEvidence::Plain:
        return QStringLiteral("name");
    case NameEvidence::InFocus:
        return QStringLiteral("name in focus");
    }
    return {};
}

QList<PlacedDate> findPlacedDates(const QString &text) {
    QList<PlacedDate> found;
    // Numeric, day and month first: 04/12/1962, 4/1/62, 14.03.1961, 03-14-1961.
    static const QRegularExpression numeric(
        QStringLiteral("(?<![\\d/.-])(\\d{1,2}) ?[/.-] ?(\\d{1,2}) ?[/.-] ?(\\d{4}|\\d{2})(?![\\d/-])"));
    for (auto it = numeric.globalMatch(text); it.hasNext();) {
        const auto m = it.next();
        const int a = m.captured(1).toInt(), b = m.captured(2).toInt();
        const bool two = m.captured(3).size() == 2;
        const int y = m.captured(3).toInt();
        add(found, m, y, a, b, two);
        add(found, m, y, b, a, two);
    }
    // Year first: 1962-04-12, 1962/04/12.
    static const QRegularExpression yearFirst(
        QStringLiteral("(?<![\\d/.-])(\\d{4}) ?[/.-] ?(\\d{1,2}) ?[/.-] ?(\\d{1,2})(?!\\d)"));
    for (auto it = yearFirst.globalMatch(text); it.hasNext();) {
        const auto m = it.next();
        add(found, m, m.captured(1).toInt(), m.captured(2).toInt(), m.captured(3).toInt(), false);
    }
    // Written months: "Jan 2, 1950", "January 2nd 1950", "Mar 14 1979".
    static const QRegularExpression monthFirst(
        QStringLiteral("\\b") + kMonthPattern +
            QStringLiteral(" ?(\\d{1,2})(?:st|nd|rd|th)?,? ?(\\d{4})(?!\\d)"),
        QRegularExpression::CaseInsensitiveOption);
    for (auto it = monthFirst.globalMatch(text); it.hasNext();) {
        const auto m = it.next();
        add(found, m, m.captured(3).toInt(), monthFromName(m.captured(1)), m.captured(2).toInt(), false);
    }
    // "2 Jan 1950", "14 March 1979", "14-MAR-1979", "14-Mar-79".
    static const QRegularExpression dayFirst(
        QStringLiteral("(?<!\\d)(\\d{1,2})(?:st|nd|rd|th)?(?: of |[ -]?)") + kMonthPattern +
            QStringLiteral("(?:,? ?|-)(\\d{4}|\\d{2})(?!\\d)"),
        QRegularExpression::CaseInsensitiveOption);
    for (auto it = dayFirst.globalMatch(text); it.hasNext();) {
        const auto m = it.next();
        add(found, m, m.captured(3).toInt(), monthFromName(m.captured(2)), m.captured(1).toInt(),
            m.captured(3).size() == 2);
    }
    // Eight digits in a row: a date whose separators were not read
    // (MMDDYYYY, DDMMYYYY or YYYYMMDD).
    static const QRegularExpression run(QStringLiteral("(?<!\\d)(\\d{8})(?!\\d)"));
    for (auto it = run.globalMatch(text); it.hasNext();) {
        const auto m = it.next();
        const QString d = m.captured(1);
        add(found, m, d.mid(4).toInt(), d.left(2).toInt(), d.mid(2, 2).toInt(), false);
        add(found, m, d.mid(4).toInt(), d.mid(2, 2).toInt(), d.left(2).toInt(), false);
        add(found, m, d.left(4).toInt(), d.mid(4, 2).toInt(), d.mid(6).toInt(), false);
    }
    return found;
}

QList<FoundDate> findDates(const QString &text) {
    QList<FoundDate> found;
    for (const PlacedDate &placed : findPlacedDates(text))
        if (!found.contains(placed.date))
            found.append(placed.date);
    return found;
}

QDate patientBirthDate(const QString &dob) {
    const QString text = dob.trimmed();
    if (text.isEmpty())
        return {};
    static const QRegularExpression iso(
        QStringLiteral("^(\\d{4})[-/.](\\d{1,2})[-/.](\\d{1,2})(?:[T ].*)?$"));
    if (const auto m = iso.match(text); m.hasMatch())
        return QDate(m.captured(1).toInt(), m.captured(2).toInt(), m.captured(3).toInt());
    // Day first only with dots (the European way); slashes and dashes are
    // month first.
    static const QRegularExpression numeric(QStringLiteral("^(\\d{1,2})([-/.])(\\d{1,2})[-/.](\\d{4})$"));
    if (const auto m = numeric.match(text); m.hasMatch()) {
        const int a = m.captured(1).toInt(), b = m.captured(3).toInt(), y = m.captured(4).toInt();
        return m.captured(2) == QLatin1String(".") ? QDate(y, b, a) : QDate(y, a, b);
    }
    const QList<FoundDate> written = findDates(text);
    if (written.size() == 1 && !written.first().twoDigitYear)
        return QDate(written.first().year, written.first().month, written.first().day);
    return {};
}

bool dateIsAmong(const QDate &date, const QList<FoundDate> &found) {
    if (!date.isValid())
        return false;
    return std::any_of(found.begin(), found.end(), [&date](const FoundDate &f) {
        if (f.month != date.month() || f.day != date.day())
            return false;
        return f.twoDigitYear ? f.year == date.year() % 100 : f.year == date.year();
    });
}

namespace {

// The decision, one screen and one list at a time.
class Identification {
public:
    Identification(const QVariantList &patients, const ScreenText &text)
        : m_patients(patients), m_screen(text) {
        QHash<QString, int> seen;
        for (qsizetype i = 0; i < patients.size(); ++i) {
            const QVariantMap entry = patients.at(i).toMap();
            const QString key = personKey(entry);
            if (seen.contains(key)) {
                m_personOfEntry << seen.value(key);
                continue;
            }
            seen.insert(key, int(m_persons.size()));
            m_personOfEntry << int(m_persons.size());
            m_persons.append(
                {i, nameForms(entry), patientBirthDate(entry.value(QStringLiteral("dob")).toString())});
        }
    }

    PatientIdentification decide() {
        PatientIdentification result;
        result.evidence = QList<NameEvidence>(m_patients.size(), NameEvidence::None);
        for (const Person &person : m_persons)
            m_dobOnScreen << std::any_of(
                m_screen.dates().begin(), m_screen.dates().end(),
                [&](const ScreenDate &d) { return sameDay(d.date, person.birthDate); });
        findOccurrences();
        placeOccurrences();
        findLists();
        weighEvidence();
        for (qsizetype i = 0; i < m_patients.size(); ++i)
            result.evidence[i] = m_evidence.at(m_personOfEntry.at(i));
        decideAmong(result);
        if (result.proposed)
            result.dobOnScreen = dobOnScreen(m_personOfEntry.at(*result.proposed));
        return result;
    }

private:
    bool dobOnScreen(int person) const { return m_dobOnScreen.at(person); }

    void findOccurrences() {
        const QList<Token> &tokens = m_screen.tokens();
        QHash<QChar, QList<qsizetype>> byFirst;
        QList<qsizetype> digitFirst;
        for (qsizetype t = 0; t < tokens.size(); ++t) {
            byFirst[tokens[t].folded.at(0)] << t;
            if (tokens[t].folded.at(0).isDigit())
                digitFirst << t;
        }
        QList<Occurrence> found;
        for (int p = 0; p < int(m_persons.size()); ++p) {
            const bool misread = dobOnScreen(p);
            for (const NameForm &form : m_persons.at(p).forms) {
                QList<qsizetype> starts = misread ? digitFirst : QList<qsizetype>();
                const QString firsts =
                    misread ? misreadFirsts(form.surname.at(0)) + misreadFirsts(form.given.at(0))
                            : QString(form.surname.at(0)) + form.given.at(0);
                for (const QChar c : firsts)
                    starts += byFirst.value(c);
                for (const QString &word : form.surnameWords)
                    starts += byFirst.value(word.at(0));
                std::sort(starts.begin(), starts.end());
                starts.erase(std::unique(starts.begin(), starts.end()), starts.end());
                for (qsizetype t : starts)
                    findAt(m_screen, p, form, t, misread, found);
            }
        }
        // Names span a few tokens: only occurrences starting near each other
        // can lie within one another.
        std::sort(found.begin(), found.end(),
                  [](const Occurrence &a, const Occurrence &b) { return a.first < b.first; });
        constexpr qsizetype kLongestName = 16;
        for (qsizetype i = 0; i < found.size(); ++i) {
            const Occurrence &o = found.at(i);
            bool drop = false;
            for (qsizetype j = i; j > 0 && found.at(j - 1).first >= o.first - kLongestName && !drop;)
                drop = overshadowed(o, found.at(--j));
            for (qsizetype j = i + 1; j < found.size() && found.at(j).first < o.end && !drop; ++j) {
                const Occurrence &other = found.at(j);
                drop = (other.first == o.first && other.end == o.end && other.strength == o.strength &&
                        other.person == o.person) ||
                       overshadowed(o, other);
            }
            if (!drop)
                m_occurrences.append(o);
        }
    }

    // Whether another name starts on `line` between the tokens `from` and `to`.
    bool nameBetween(qsizetype from, qsizetype to) const {
        const auto at = std::lower_bound(m_occurrences.begin(), m_occurrences.end(), from,
                                         [](const Occurrence &o, qsizetype t) { return o.first < t; });
        return at != m_occurrences.end() && at->first < to;
    }

    void placeOccurrences() {
        const QList<Token> &tokens = m_screen.tokens();
        for (Occurrence &o : m_occurrences) {
            const int line = tokens.at(o.first).line;
            // Before the name: a label, or a relation or role word.
            for (qsizetype k = o.first - 1; k >= 0 && k >= o.first - 4 && tokens.at(k).line == line; --k) {
                const QString &word = tokens.at(k).folded;
                if (kLabels.contains(word)) {
                    o.labelled = true;
                    break;
                }
                if (kRoles.contains(word) || (word == QLatin1String("with") && k > 0 &&
                                              tokens.at(k - 1).folded == QLatin1String("seen"))) {
                    o.mention = true;
                    break;
                }
            }
            // A label alone on the line above ("Patient" over the name).
            if (!o.labelled && !o.mention && tokens.at(o.first).word == m_screen.wordsOfLine(line).first()) {
                const int above = m_screen.previousLine(line);
                if (above >= 0 && m_screen.wordsOfLine(above).size() <= 2) {
                    const QList<int> &words = m_screen.wordsOfLine(above);
                    o.labelled = std::all_of(words.begin(), words.end(),
                                             [&](int w) { return kLabels.contains(m_screen.letters(w)); });
                }
            }
            // After it: a credential or a relation.
            qsizetype after = o.end;
            while (after < tokens.size() && kSuffixes.contains(tokens.at(after).folded))
                ++after;
            if (after < tokens.size() && tokens.at(after).line == tokens.at(o.end - 1).line &&
                kAfterName.contains(tokens.at(after).folded))
                o.mention = true;
            o.top = m_screen.atTop(tokens.at(o.first).word);
            if (m_screen.text().hasBoxes() && m_screen.medianHeight() > 0) {
                int height = 0;
                for (qsizetype k = o.first; k < o.end; ++k)
                    height = std::max(height, m_screen.text().words.at(tokens.at(k).word).box.height());
                o.large = height * 10 >= m_screen.medianHeight() * 13;
            }
            o.ownDate = ownDate(o);
        }
    }

    // The date standing with a name: the first after it on its line (before
    // another name), else a labelled one at the start of the next line.
    int ownDate(const Occurrence &o) const {
        const QList<Token> &tokens = m_screen.tokens();
        const int lastWord = tokens.at(o.end - 1).word;
        const int line = tokens.at(o.end - 1).line;
        const QList<ScreenDate> &dates = m_screen.dates();
        for (int d = 0; d < int(dates.size()); ++d) {
            if (dates[d].line != line || dates[d].firstWord <= lastWord)
                continue;
            qsizetype dateToken = o.end;
            while (dateToken < tokens.size() && tokens.at(dateToken).word < dates[d].firstWord)
                ++dateToken;
            return nameBetween(o.end, dateToken) ? -1 : d;
        }
        const int next = m_screen.nextLine(line);
        if (next < 0 || (!m_screen.text().hasBoxes() &&
                         m_screen.text().words.at(m_screen.wordsOfLine(next).first()).block !=
                             m_screen.text().words.at(lastWord).block))
            return -1;
        for (int d = 0; d < int(dates.size()); ++d) {
            if (dates[d].line != next || !dates[d].labelled)
                continue;
            const bool nameFirst =
                std::any_of(m_occurrences.begin(), m_occurrences.end(), [&](const Occurrence &x) {
                    return tokens.at(x.first).line == next && tokens.at(x.first).word < dates[d].firstWord;
                });
            return nameFirst ? -1 : d;
        }
        return -1;
    }

    struct Anchor {
        int occurrence; // -1 for a name of nobody on today's list
        QString name;
        int line;
        int block;
        QRect box;
    };

    // Names that stand in a column or a row of several names: a schedule, a
    // worklist. Names of people not on today's list count too, read from
    // rows that begin "Last, First" (after a time).
    void findLists() {
        const ScreenText &text = m_screen.text();
        const QList<Token> &tokens = m_screen.tokens();
        QList<Anchor> anchors;
        QSet<int> occupiedWords;
        for (int i = 0; i < int(m_occurrences.size()); ++i) {
            const Occurrence &o = m_occurrences.at(i);
            occupiedWords.insert(tokens.at(o.first).word);
            if (o.mention || o.labelled)
                continue;
            const int word = tokens.at(o.first).word;
            const ScreenWord &w = text.words.at(word);
            anchors.append({i, QString::number(o.person), m_screen.lineOfWord(word), w.block, w.box});
        }
        static const QRegularExpression time(QStringLiteral("^\\d{1,2}[:.]\\d{2}$"));
        static const QRegularExpression lastName(QStringLiteral("^\\p{Lu}[\\p{L}'-]+,$"));
        static const QRegularExpression firstName(QStringLiteral("^\\p{Lu}\\p{L}"));
        for (const int line : m_screen.lines()) {
            const QList<int> &words = m_screen.wordsOfLine(line);
            qsizetype at = 0;
            while (at < words.size() && at < 2 &&
                   (time.match(text.words.at(words[at]).text).hasMatch() ||
                    QStringList{"am", "pm"}.contains(m_screen.letters(words[at]))))
                ++at;
            if (at + 1 >= words.size() || occupiedWords.contains(words[at]))
                continue;
            if (lastName.match(text.words.at(words[at]).text).hasMatch() &&
                firstName.match(text.words.at(words[at + 1]).text).hasMatch()) {
                const ScreenWord &w = text.words.at(words[at]);
                anchors.append(
                    {-1, m_screen.letters(words[at]) + QLatin1Char(',') + m_screen.letters(words[at + 1]),
                     line, w.block, w.box});
            }
        }

        // Clusters of anchors, joined where two stand in one column a few
        // lines apart, or three or more share a line.
        QList<int> parent(anchors.size());
        std::iota(parent.begin(), parent.end(), 0);
        std::function<int(int)> root = [&](int a) {
            return parent[a] == a ? a : parent[a] = root(parent[a]);
        };
        const int h = std::max(m_screen.medianHeight(), 1);
        // In reading order (by line, or from the top), so that the pairs to
        // look at end where the next anchor is too far down.
        auto position = [&](const Anchor &a) { return text.hasBoxes() ? a.box.top() : a.line; };
        std::sort(anchors.begin(), anchors.end(),
                  [&](const Anchor &a, const Anchor &b) { return position(a) < position(b); });
        const int reach = text.hasBoxes() ? 8 * h : 2;
        for (int a = 0; a < int(anchors.size()); ++a) {
            for (int b = a + 1;
                 b < int(anchors.size()) && position(anchors[b]) - position(anchors[a]) <= reach; ++b) {
                const Anchor &x = anchors[a], &y = anchors[b];
                if (x.line == y.line)
                    continue;
                const bool near = text.hasBoxes() ? std::abs(x.box.left() - y.box.left()) <= 2 * h &&
                                                        std::abs(x.box.top() - y.box.top()) <= 8 * h
                                                  : x.block == y.block && std::abs(x.line - y.line) <= 2;
                if (near)
                    parent[root(a)] = root(b);
            }
        }
        QHash<int, QList<int>> byLine;
        for (int a = 0; a < int(anchors.size()); ++a)
            byLine[anchors[a].line] << a;
        for (const QList<int> &same : byLine) {
            QSet<QString> names;
            for (int a : same)
                names.insert(anchors[a].name);
            if (names.size() >= 3)
                for (int a : same)
                    parent[root(a)] = root(same.first());
        }
        QHash<int, QList<int>> clusters;
        for (int a = 0; a < int(anchors.size()); ++a)
            clusters[root(a)] << a;
        for (const QList<int> &cluster : clusters) {
            QSet<int> lines;
            QSet<QString> names;
            QHash<int, int> perLine;
            for (int a : cluster) {
                lines.insert(anchors[a].line);
                names.insert(anchors[a].name);
                ++perLine[anchors[a].line];
            }
            const bool rowOfNames = std::any_of(perLine.begin(), perLine.end(), [](int n) { return n >= 3; });
            if ((lines.size() < 3 && !rowOfNames) || names.size() < 2)
                continue;
            // One name in the cluster shown as a record's banner (large, or
            // with a labelled date of birth) is the focus beside the list.
            QList<int> standingOut;
            for (int a : cluster) {
                if (anchors[a].occurrence < 0)
                    continue;
                const Occurrence &o = m_occurrences.at(anchors[a].occurrence);
                if (o.large || (o.ownDate >= 0 && m_screen.dates().at(o.ownDate).labelled))
                    standingOut << a;
            }
            for (int a : cluster)
                if (anchors[a].occurrence >= 0 && !(standingOut.size() == 1 && standingOut.first() == a))
                    m_occurrences[anchors[a].occurrence].inList = true;
        }
    }

    void weighEvidence() {
        m_evidence = QList<NameEvidence>(m_persons.size(), NameEvidence::None);
        m_vetoDate = QList<int>(m_persons.size(), -1);
        for (const Occurrence &o : m_occurrences) {
            // A misread name counts as the name where the date of birth is
            // on screen too, else as part of it.
            const bool whole =
                o.strength == Strength::Full || (o.strength == Strength::Misread && dobOnScreen(o.person));
            NameEvidence e = NameEvidence::PartOfName;
            if (o.mention)
                e = NameEvidence::Mention;
            else if (o.inList)
                e = NameEvidence::InList;
            else if (whole)
                e = o.labelled || o.top || o.large || o.ownDate >= 0 ? NameEvidence::InFocus
                                                                     : NameEvidence::Plain;
            else if (o.strength == Strength::Misread)
                e = NameEvidence::Misread;
            m_evidence[o.person] = std::max(m_evidence[o.person], e);
            if (whole && !o.mention && o.ownDate >= 0) {
                const ScreenDate &date = m_screen.dates().at(o.ownDate);
                const QDate &birth = m_persons.at(o.person).birthDate;
                if (date.labelled && birth.isValid() && !sameDayAnyReading(o.ownDate, birth))
                    m_vetoDate[o.person] = o.ownDate;
            }
        }
    }

    // Whether any reading of the date at `index` (day and month either way)
    // is `birth`.
    bool sameDayAnyReading(int index, const QDate &birth) const {
        const ScreenDate &d = m_screen.dates().at(index);
        return std::any_of(m_screen.dates().begin(), m_screen.dates().end(), [&](const ScreenDate &other) {
            return other.line == d.line && other.firstWord == d.firstWord && sameDay(other.date, birth);
        });
    }

    int focusWeight(int person) const {
        int best = 0;
        for (const Occurrence &o : m_occurrences) {
            if (o.person != person || o.mention || o.inList)
                continue;
            int w = (o.labelled ? 2 : 0) + (o.top ? 1 : 0) + (o.large ? 1 : 0);
            if (o.ownDate >= 0)
                w += sameDayAnyReading(o.ownDate, m_persons.at(person).birthDate) ? 4 : 1;
            best = std::max(best, w);
        }
        return best;
    }

    QList<int> personsWith(NameEvidence evidence) const {
        QList<int> out;
        for (int p = 0; p < int(m_persons.size()); ++p)
            if (m_evidence.at(p) == evidence && m_vetoDate.at(p) < 0)
                out << p;
        return out;
    }

    void propose(PatientIdentification &result, int person, IdentificationReason reason) const {
        result.proposed = m_persons.at(person).entry;
        result.reason = reason;
    }

    void offer(PatientIdentification &result, const QList<int> &persons) const {
        for (int p : persons)
            if (!result.candidates.contains(m_persons.at(p).entry))
                result.candidates << m_persons.at(p).entry;
    }

    IdentificationReason byName(int person) const {
        return dobOnScreen(person) ? IdentificationReason::NameAndBirthDate : IdentificationReason::Name;
    }

    void decideAmong(PatientIdentification &result) {
        // Named in focus.
        QList<int> focus = personsWith(NameEvidence::InFocus);
        if (focus.size() == 1)
            return propose(result, focus.first(), byName(focus.first()));
        if (focus.size() > 1) {
            std::stable_sort(focus.begin(), focus.end(),
                             [&](int a, int b) { return focusWeight(a) > focusWeight(b); });
            if (focusWeight(focus[0]) >= focusWeight(focus[1]) + 2)
                return propose(result, focus.first(), byName(focus.first()));
            result.reason = IdentificationReason::Ambiguous;
            return offer(result, focus);
        }
        const QList<int> listed = personsWith(NameEvidence::InList);
        // Named plainly, with no list on screen.
        const QList<int> plain = personsWith(NameEvidence::Plain);
        if (listed.isEmpty() && !plain.isEmpty()) {
            QList<int> withDob;
            for (int p : plain)
                if (dobOnScreen(p))
                    withDob << p;
            if (plain.size() == 1 || withDob.size() == 1)
                return propose(result, plain.size() == 1 ? plain.first() : withDob.first(),
                               byName(plain.size() == 1 ? plain.first() : withDob.first()));
            result.reason = IdentificationReason::Ambiguous;
            return offer(result, withDob + plain);
        }
        // A date of birth in the banner or labelled, of exactly one patient
        // whose name is partly on screen.
        QList<int> byBirth;
        for (const ScreenDate &date : m_screen.dates()) {
            if (!date.labelled && !onLineWithPartOfName(date.line))
                continue;
            QList<int> owners;
            for (int p = 0; p < int(m_persons.size()); ++p)
                if (sameDay(date.date, m_persons.at(p).birthDate))
                    owners << p;
            if (owners.size() == 1 && m_vetoDate.at(owners.first()) < 0 &&
                (m_evidence.at(owners.first()) == NameEvidence::PartOfName ||
                 m_evidence.at(owners.first()) == NameEvidence::Misread) &&
                !byBirth.contains(owners.first()))
                byBirth << owners.first();
        }
        if (byBirth.size() == 1)
            return propose(result, byBirth.first(), IdentificationReason::BirthDateAndPartOfName);
        if (!listed.isEmpty()) {
            result.reason = IdentificationReason::List;
            QList<int> inScreenOrder;
            for (const Occurrence &o : m_occurrences)
                if (o.inList && !inScreenOrder.contains(o.person))
                    inScreenOrder << o.person;
            return offer(result, inScreenOrder);
        }
        for (int p = 0; p < int(m_persons.size()); ++p) {
            if (m_vetoDate.at(p) >= 0 && !result.contradicted) {
                result.reason = IdentificationReason::BirthDateContradicts;
                result.contradicted = m_persons.at(p).entry;
                result.contradictingDate = shownDate(m_screen.text(), m_screen.dates().at(m_vetoDate.at(p)));
            }
        }
        if (!result.contradicted)
            result.reason =
                byBirth.size() > 1 ? IdentificationReason::Ambiguous : IdentificationReason::BelowFloor;
        QList<int> likely = byBirth;
        for (int p = 0; p < int(m_persons.size()); ++p)
            if (dobOnScreen(p) && m_vetoDate.at(p) < 0)
                likely << p;
        for (int p = 0; p < int(m_persons.size()); ++p)
            if (m_evidence.at(p) == NameEvidence::PartOfName || m_evidence.at(p) == NameEvidence::Misread)
                likely << p;
        offer(result, likely);
    }

    bool onLineWithPartOfName(int line) const {
        return std::any_of(m_occurrences.begin(), m_occurrences.end(), [&](const Occurrence &o) {
            return !o.mention && m_screen.lineOf(o.first) == line;
        });
    }

    const QVariantList &m_patients;
    Screen m_screen;
    QList<Person> m_persons;
    QList<int> m_personOfEntry;
    QList<Occurrence> m_occurrences;
    QList<NameEvidence> m_evidence;
    QList<int> m_vetoDate;     // per person: the labelled date of birth that rules them out
    QList<bool> m_dobOnScreen; // per person
};

} // namespace

PatientIdentification identifyPatient(const QVariantList &patients, const ScreenText &screen) {
    if (patients.isEmpty() || screen.words.isEmpty()) {
        PatientIdentification none;
        none.evidence = QList<NameEvidence>(patients.size(), NameEvidence::None);
        return none;
    }
    return Identification(patients, screen).decide();
}

PatientIdentification identifyPatient(const QVariantList &patients, const std::optional<QString> &text) {
    return identifyPatient(patients, text ? ScreenText::fromText(*text) : ScreenText());
}
