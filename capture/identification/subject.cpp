#include "capture/identification/subject.h"

#include "capture/identification/layout.h"

#include <QHash>
#include <QRegularExpression>
#include <QSet>
#include <algorithm>
#include <functional>
#include <numeric>

namespace {

using namespace identification;

// ----------------------------------------------------------- reading ---

enum Tier { Weak = 1, Strong = 2, Labelled = 3 };

struct Candidate {
    Phrase phrase;
    NameOnScreen found;
    Tier tier = Weak;
    bool banner = false;
    bool heading = false;        // the window's first line, or large text
    bool needsBirthDate = false; // a one-word name
    // A field that does not say whose name it holds ("Name:", "Last
    // name:"): a patient's only with a fact of a patient bound to it.
    bool bareField = false;
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
            // A directory's or a form's "Name:" with a role, a phone or a
            // relationship beside it is anybody's.
            if (c.bareField && !c.found.facts.hasBirthDate() && !c.found.facts.age &&
                c.found.facts.sex.isEmpty() && c.found.facts.recordNumber.isEmpty())
                c.tier = Weak;
        }
        // A name with no facts at the top is the record's title only on the
        // window's first line or in large text ("Next of kin" over a name
        // heads someone else's block); a one-word name needs its date of
        // birth.
        candidates.erase(std::remove_if(candidates.begin(), candidates.end(),
                                        [this](const Candidate &c) {
                                            return (c.needsBirthDate && !c.found.facts.hasBirthDate()) ||
                                                   (!c.banner && c.tier == Weak) ||
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
    // word), l (a label, with its words), p (punctuation); "" at the
    // piece's start.
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
            // Rows led by different labels ("Patient:", "Daughter:") are
            // no list.
            if (word.colon)
                lead += word.letters + QLatin1Char(':');
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
            // A last name ending with its comma goes on with the next line.
            if (p.staff || p.name.surnameWords == int(p.name.parts.size()))
                continue;
            const Word &first = m_layout.word(p.start);
            // Rows of a list write their names alike: "LAST, FIRST", in
            // capitals, or as they are.
            const QChar style = p.name.surnameWords > 0 ? u',' : p.strong ? u'C' : u'a';
            rows.append({i, m_layout.boxes() ? first.top : m_layout.rank(first.row), first.x,
                         leadOf(p) + style, p.name.parts.join(QLatin1Char(' '))});
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
                if (std::abs(rows[a].x - rows[b].x) <= align && rows[a].lead == rows[b].lead &&
                    !headingBetween(rows[a].phrase, rows[b].phrase)) {
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
                    goesOn(*phrase, *rest, true);
                }
            }
        } else if (phrase->end == piece.end && phrase->name.surnameWords < 0 && endsItsColumn(piece)) {
            // A long name wrapped in a narrow column: one more name word
            // alone at the start of the line under it ("Ana Lucía García" /
            // "Márquez").
            const QList<int> below = m_layout.piecesBelow(piece, 1);
            if (!below.isEmpty()) {
                const Piece &next = m_layout.pieces().at(below.first());
                const std::optional<Phrase> rest = nameAt(m_layout, next.first, true);
                // ... starting its line: not a form's next value beside its label.
                bool alone = rest && rest->name.parts.size() == 1 && !rest->lowerCase &&
                             std::abs(next.x - piece.x) <= 2 * m_layout.unit() &&
                             m_layout.piecesOfRow(next.row).first() == below.first();
                for (int w = rest ? rest->end : next.end; alone && w < next.end; ++w)
                    alone = !m_layout.word(w).hasLetter && !m_layout.word(w).hasDigit;
                if (alone) {
                    goesOn(*phrase, *rest, false);
                }
            }
        }
        return phrase;
    }

    // A name that goes on with `rest` at the start of the next line; after
    // `lastName` (its comma) come the given names.
    void goesOn(Phrase &phrase, const Phrase &rest, bool lastName) const {
        phrase.name.parts += rest.name.parts;
        phrase.name.raw += rest.name.raw;
        phrase.name.asRead += (lastName ? QStringLiteral(", ") : QStringLiteral(" ")) + rest.name.asRead;
        phrase.name.capitalsFrom = -1;
        phrase.end = rest.end;
        m_continued.insert(m_layout.pieceOf(rest.start).first);
    }

    // Whether nothing follows `piece` on its row but after a column's gap.
    bool endsItsColumn(const Piece &piece) const {
        for (int p : m_layout.piecesOfRow(piece.row)) {
            const Piece &other = m_layout.pieces().at(p);
            if (other.x > piece.right && other.x - piece.right <= 4 * m_layout.unit())
                return false;
        }
        return true;
    }

    // Whether the rows above a bare "Name:" field head a block about
    // someone else ("Emergency contact", "Guarantor").
    // A block's heading: a few words without a field, a number or a name.
    bool blockHeading(const Piece &piece, QStringList *words = nullptr) const {
        if (piece.end - piece.first > 5)
            return false;
        for (int w = piece.first; w < piece.end; ++w) {
            const Word &word = m_layout.word(w);
            if (word.colon || word.hasDigit || m_phraseAt.contains(w))
                return false;
            if (words)
                *words << word.letters;
        }
        return true;
    }

    bool underOtherHeading(const Piece &piece) const {
        Piece probe = piece;
        for (int step = 0; step < 4; ++step) {
            const int above = m_layout.pieceAbove(probe);
            if (above < 0)
                return false;
            const Piece &a = m_layout.pieces().at(above);
            QStringList words;
            if (blockHeading(a, &words))
                return !isSubjectHeading(words);
            probe = a;
        }
        return false;
    }

    // Whether a block's heading stands between two names, one above the
    // other ("Emergency contact" between the patient's "Name:" and the
    // contact's): their rows are not alike rows of one list.
    bool headingBetween(int upper, int lower) const {
        const int top = m_layout.rank(m_layout.word(m_phrases.at(upper).start).row);
        Piece probe = m_layout.pieceOf(m_phrases.at(lower).start);
        for (int step = 0; step < 6; ++step) {
            const int above = m_layout.pieceAbove(probe);
            if (above < 0)
                return false;
            const Piece &a = m_layout.pieces().at(above);
            if (m_layout.rank(m_layout.word(a.first).row) <= top)
                return false;
            if (blockHeading(a))
                return true;
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
            // A row of a list under a "Patient" column is no record's person.
            if (m_inList.contains(phrase.first) || m_paired.contains(phrase.first))
                tier = Weak;
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
                } else if (!underOtherHeading(piece) && (label.structural || !headedOnItsRow(label))) {
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
            if (const std::optional<Phrase> p = value(l); p && !p->staff) {
                out << make(*p, Strong, QStringLiteral("form"), labels.at(l).piece);
                out.last().bareField = true;
            }
        // Fields without a colon: "Patient Okonjo, Adaeze", "RE Maria
        // Teixeira", or "Patient" alone over the name.
        for (int p = 0; p < int(m_layout.pieces().size()); ++p) {
            const Piece &piece = m_layout.pieces().at(p);
            const LabelReading field = m_layout.fieldAt(piece.first);
            if (field.kind != LabelKind::Subject || m_layout.word(piece.first + field.headWords - 1).colon)
                continue;
            int at = piece.first + field.headWords, end = piece.end;
            if (at >= piece.end) {
                const QList<int> below = m_layout.piecesBelow(piece, 1);
                if (below.isEmpty())
                    continue;
                const Piece &next = m_layout.pieces().at(below.first());
                if (std::abs(next.x - piece.x) > 2 * m_layout.unit() ||
                    m_layout.labelStartingAt(next.first) >= 0)
                    continue;
                at = next.first, end = next.end;
            }
            if (m_layout.word(at).lower)
                continue;
            if (const std::optional<Phrase> name = valueName(at, end);
                name && !name->staff && !name->lowerCase)
                out << make(*name, Labelled, QStringLiteral("label"), p);
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
            if (!p.staff) {
                out << make(p, Strong, QStringLiteral("form"), labels.at(surnameLabel).piece);
                out.last().bareField = labels.at(surnameLabel).qualifier != Qualifier::Subject;
            }
            if (given) {
                m_subjectWords.insert(given->first);
                // The first-name field goes on with the last name's facts.
                QSet<int> &own = m_ownFields[p.first];
                own.insert(labels.at(givenLabel).first);
                for (int w = given->first; w < given->end; ++w)
                    own.insert(w);
            }
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
            // A name over two lines: the first name alone, the last name on
            // the next line ("Dmitri / Volkov"), or the last name and its
            // comma, the given names on the next ("OKONJO, / Adaeze"). So is a last name in capitals over the
            // given names ("GARCÍA MÁRQUEZ" / "Ana Lucía") where the comma is not read.
            const bool lastNameAlone = phrase->name.surnameWords == int(phrase->name.parts.size());
            const bool capitalsAlone =
                phrase->strong && phrase->name.surnameWords < 0 && phrase->name.parts.size() <= 3;
            if ((phrase->name.parts.size() == 1 || lastNameAlone || capitalsAlone) &&
                phrase->end == piece.end) {
                const QList<int> below = m_layout.piecesBelow(piece, 1);
                if (!below.isEmpty()) {
                    const Piece &next = pieces.at(below.first());
                    const std::optional<Phrase> rest = nameAt(m_layout, next.first, true);
                    const bool given = rest && !rest->staff && rest->name.parts.size() <= 3 &&
                                       rest->name.surnameWords < 0 && !rest->lowerCase;
                    bool lastName = lastNameAlone;
                    bool join = false;
                    if (given && (lastNameAlone || (capitalsAlone && !rest->strong))) {
                        lastName = true;
                        join = true;
                    } else if (given && phrase->name.parts.size() == 1 && phrase->name.surnameWords < 0) {
                        join = rest->name.parts.size() == 1;
                    }
                    if (join) {
                        if (lastName)
                            phrase->name.surnameWords = int(phrase->name.parts.size());
                        goesOn(*phrase, *rest, lastName);
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
        // "Father   Kwame Ekwueme   09/09/1970": a field's value, a relative;
        // a name under "Emergency contact" or "Next of kin".
        const int rowStart = m_layout.pieces().at(m_layout.piecesOfRow(piece.row).first()).first;
        for (int w = rowStart; w < piece.first; ++w)
            if (m_layout.word(w).colon || isRelationWord(m_layout.word(w).letters))
                return false;
        if (const int above = m_layout.pieceAbove(piece); above >= 0) {
            const Piece &a = m_layout.pieces().at(above);
            for (int w = a.first; w < a.end; ++w)
                if (isRelationWord(m_layout.word(w).letters) && !m_phraseAt.contains(a.first))
                    return false;
        }
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
        const Word &last = m_layout.word(phrase.end - 1);
        // The row to the right of the name, left to right.
        QList<int> right;
        for (int p : m_layout.piecesOfRow(last.row)) {
            const Piece &piece = m_layout.pieces().at(p);
            if (p == last.piece)
                for (int w = phrase.end; w < piece.end; ++w)
                    right << w;
            else if (piece.x > last.right)
                for (int w = piece.first; w < piece.end; ++w)
                    right << w;
        }
        int between = 0;
        for (int w : right) {
            const int d = m_layout.dateAt(w);
            if (d < 0) {
                // Another name or another field first.
                if (m_phraseAt.contains(w) || (m_layout.labelEndingAt(w) >= 0 && !dateLabel(w)))
                    return {};
                if (m_layout.word(w).hasLetter || m_layout.word(w).hasDigit)
                    ++between;
                continue;
            }
            const Date &date = m_layout.dates().at(d);
            // Unlabelled, the date must follow the whole name at once ("ZOE
            // BENNETT 27 Jan 1993"), be no time stamp and not this year's
            // (a result's date, a visit's).
            const bool plain = !date.twoDigitYear && between <= 1 && phrase.name.parts.size() >= 2 &&
                               !timeAfter(date) && !recent(date);
            if (date.otherPerson || !(date.labelled || plain))
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

    // Whether every reading of a date lies within the last year.
    bool recent(const Date &date) const {
        return std::all_of(date.readings.begin(), date.readings.end(), [&](const FoundDate &r) {
            const std::optional<QDate> d = birthDateFrom(r, m_today);
            return !d || d->addYears(1) > m_today;
        });
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
            // The line the name went on to: its rest is the name's own row.
            if (m_continued.contains(piece.first) && piece.row == own.row)
                continue;
            if (isHeading(piece))
                break;
            // The row from there to the right: a form's value beside its
            // label ("Né(e) le :  14/03/1979").
            addRange(piece.first, piece.end);
            for (int q : m_layout.piecesOfRow(piece.row)) {
                const Piece &right = m_layout.pieces().at(q);
                if (stopped)
                    break;
                if (right.first > piece.first && !scopeHas(scope, right.first))
                    addRange(right.first, right.end);
            }
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

    static bool scopeHas(const QList<std::pair<int, int>> &scope, int word) {
        return std::any_of(scope.begin(), scope.end(),
                           [&](const std::pair<int, int> &r) { return r.first <= word && word < r.second; });
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
        if ((w >= phrase.first && w < phrase.end) || m_ownFields.value(phrase.first).contains(w))
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
            // Another person's name field; the last and first name fields
            // are the person's own.
            if (label.kind == LabelKind::Subject || label.kind == LabelKind::Name) {
                const auto [from, end] = m_layout.valueOf(l);
                const std::optional<Phrase> value = from < end ? nameAt(m_layout, from, true) : std::nullopt;
                return value && !samePerson(value->name, phrase.name);
            }
        }
        return false;
    }

    bool isHeading(const Piece &piece) const {
        QStringList words;
        if (!blockHeading(piece, &words))
            return false;
        for (int w = piece.first; w < piece.end; ++w)
            if (!m_layout.word(w).hasLetter || startsFact(m_layout, w))
                return false;
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
            if ((ownRow && isDeathWord(word.letters, true)) || (leads && isDeathWord(word.letters)))
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
    QHash<int, QSet<int>> m_ownFields; // a last name's first word to its first-name field's words
    mutable QSet<int> m_continued;     // first words of lines a name went on to
    bool m_list = false;
};

} // namespace

ScreenReading readScreen(const ScreenText &screen, const QDate &today) {
    if (screen.words.isEmpty())
        return {};
    return Reader(screen, today).read();
}
