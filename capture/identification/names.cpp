#include "capture/identification/names.h"

#include "capture/identification/lexicon.h"

#include <QRegularExpression>
#include <algorithm>

QString foldName(const QString &text) {
    QString out;
    out.reserve(text.size());
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
        case u'þ':
            out += QLatin1String("th");
            break;
        default:
            out += c.toCaseFolded();
        }
    }
    return out;
}

QString alphanumeric(const QString &folded) {
    QString out;
    out.reserve(folded.size());
    for (QChar c : folded)
        if (c.isLetterOrNumber())
            out += c;
    return out;
}

namespace {

// The folded words of a name field, split at spaces, hyphens and
// apostrophes ("Leroy-Vasseur" gives "leroy" and "vasseur"), the suffix
// taken off the end.
QStringList nameWords(const QString &text, QString *suffix = nullptr) {
    QStringList words;
    static const QRegularExpression breaks(QStringLiteral("[\\s\\-\u2010\u2011\u2013'\u2019`]+"));
    for (const QString &word : foldName(text).split(breaks, Qt::SkipEmptyParts)) {
        const QString w = alphanumeric(word);
        if (!w.isEmpty())
            words << w;
    }
    while (words.size() > 1 && isSuffix(words.last())) {
        if (suffix)
            *suffix = words.last();
        words.removeLast();
    }
    return words;
}

} // namespace

QList<BookedName> bookedNames(const QVariantMap &patient) {
    QList<BookedName> forms;
    QString suffix;
    const QStringList first = nameWords(patient.value(QStringLiteral("first_name")).toString());
    const QStringList last = nameWords(patient.value(QStringLiteral("last_name")).toString(), &suffix);
    const QString name = patient.value(QStringLiteral("name")).toString();
    if (!first.isEmpty() && !last.isEmpty()) {
        forms.append({first, last, suffix});
    } else if (const qsizetype comma = name.indexOf(QLatin1Char(',')); comma >= 0) {
        QString s;
        const QStringList surname = nameWords(name.left(comma), &s);
        QString g;
        const QStringList given = nameWords(name.mid(comma + 1), &g);
        if (!surname.isEmpty() && !given.isEmpty())
            forms.append({given, surname, s.isEmpty() ? g : s});
    } else {
        // Only the whole name: every division into given names and a last
        // name. Hyphens join the words of one part.
        QStringList parts;
        static const QRegularExpression space(QStringLiteral("\\s+"));
        for (const QString &word : name.split(space, Qt::SkipEmptyParts))
            parts << word;
        while (parts.size() > 1 && isSuffix(alphanumeric(foldName(parts.last())))) {
            suffix = alphanumeric(foldName(parts.last()));
            parts.removeLast();
        }
        for (qsizetype k = 1; k < parts.size(); ++k) {
            const QStringList given = nameWords(parts.mid(0, k).join(QLatin1Char(' ')));
            const QStringList surname = nameWords(parts.mid(k).join(QLatin1Char(' ')));
            if (!given.isEmpty() && !surname.isEmpty())
                forms.append({given, surname, suffix});
        }
    }
    return forms;
}

bool misreadAs(QStringView shown, QStringView name, int slips) {
    // A letter the engine dropped (an accented one) or added (an apostrophe
    // read as a letter).
    auto added = [](QChar c) { return c == u'o' || c == u'i' || c == u'l' || c == u'1' || c == u'|'; };
    if (shown.isEmpty())
        return name.isEmpty() || (slips > 0 && name.size() == 1);
    if (name.isEmpty())
        return slips > 0 && shown.size() == 1 && added(shown.at(0));
    const QChar s = shown.at(0), n = name.at(0);
    auto rest = [&](qsizetype shownTaken, qsizetype nameTaken, int slipsLeft) {
        return misreadAs(shown.mid(shownTaken), name.mid(nameTaken), slipsLeft);
    };
    const bool likeL = s == u'l' || s == u'i' || s == u'1' || s == u'|' || s == u'!';
    if (s == n || (likeL && (n == u'l' || n == u'i')) || ((s == u'0' || s == u'g') && n == u'o') ||
        ((s == u'(' || s == u'[' || s == u'{' || s == u'<' || s == u'e') && n == u'c') ||
        (s == u'c' && n == u'e') || (s.isDigit() && n.isLetter())) {
        if (rest(1, 1, slips))
            return true;
    }
    static constexpr std::pair<QStringView, QStringView> kConfusions[] = {
        {u"rn", u"m"}, {u"ii", u"u"}, {u"vv", u"w"}, {u"cl", u"d"},
        {u"fi", u"n"}, {u"m", u"rn"}, {u"w", u"vv"}};
    for (const auto &[read, meant] : kConfusions)
        if (s == read.front() && name.startsWith(meant) && shown.startsWith(read) &&
            rest(read.size(), meant.size(), slips))
            return true;
    if (slips > 0 && name.size() > 2 && rest(0, 1, slips - 1))
        return true;
    return slips > 0 && added(s) && rest(1, 0, slips - 1);
}

namespace {

// Words run together from `parts[from, to)`.
QString joined(const QStringList &parts, qsizetype from, qsizetype to) {
    QString out;
    for (qsizetype i = from; i < to; ++i)
        out += parts.at(i);
    return out;
}

enum class Level { None, Contradicts, NeedsBirthDate, Agrees };

NameAgreement agreement(Level level) {
    switch (level) {
    case Level::None:
        return NameAgreement::None;
    case Level::Contradicts:
        return NameAgreement::Contradicts;
    case Level::NeedsBirthDate:
        return NameAgreement::NeedsBirthDate;
    case Level::Agrees:
        return NameAgreement::Agrees;
    }
    return NameAgreement::None;
}

// The last name on screen, words [from, to), against the booked one.
Level surnameLevel(const ReadName &shown, qsizetype from, qsizetype to, const BookedName &booked) {
    const QString read = joined(shown.parts, from, to);
    const QString whole = booked.surname.join(QString());
    if (read == whole)
        return Level::Agrees;
    if (read.isEmpty())
        return Level::None;
    // One word (or several in a row) of a last name of several, a name on
    // its own: "Garcia" of "Garcia Marquez", not "van" or "der".
    if (booked.surname.size() > 1) {
        for (qsizetype a = 0; a < booked.surname.size(); ++a) {
            for (qsizetype b = a + 1; b <= booked.surname.size(); ++b) {
                if (b - a == booked.surname.size())
                    continue;
                const bool named =
                    std::any_of(booked.surname.begin() + a, booked.surname.begin() + b,
                                [](const QString &w) { return w.size() >= 3 && !isParticle(w); });
                if (named && joined(booked.surname, a, b) == read)
                    return Level::NeedsBirthDate;
            }
        }
    }
    // The initial of the last name ("Fatima A.").
    if (read.size() == 1 && whole.startsWith(read))
        return Level::NeedsBirthDate;
    if (misreadAs(joined(shown.raw, from, to), whole))
        return Level::NeedsBirthDate;
    return Level::None;
}

// The given names on screen, words [from, to), against the booked ones.
Level givenLevel(const ReadName &shown, qsizetype from, qsizetype to, const BookedName &booked) {
    if (from >= to || booked.given.isEmpty())
        return Level::None;
    const QStringList &given = booked.given;
    Level level = Level::Agrees;
    // The first name: itself, several booked given names run together
    // ("Jean-Pierre" shown as one word), its initial, or misread.
    const QString &first = shown.parts.at(from);
    qsizetype at = -1;
    for (qsizetype k = 1; k <= given.size() && at < 0; ++k)
        if (joined(given, 0, k) == first)
            at = k;
    if (at < 0) {
        if (first.size() == 1 && given.first().startsWith(first)) {
            at = 1;
            level = Level::NeedsBirthDate;
        } else if (misreadAs(shown.raw.at(from), given.first())) {
            at = 1;
            level = Level::NeedsBirthDate;
        } else {
            return Level::None;
        }
    }
    // Further words: the booked middle names in order (whole or as an
    // initial; some may be left out). A booked name without middle names
    // says nothing of those on screen.
    const bool bookedMiddles = given.size() > 1;
    for (qsizetype i = from + 1; i < to; ++i) {
        const QString &word = shown.parts.at(i);
        qsizetype found = -1;
        for (qsizetype k = at; k < given.size() && found < 0; ++k) {
            if (word.size() == 1 ? given.at(k).startsWith(word) : given.at(k) == word) {
                found = k;
            } else if (word.size() > 1) {
                for (qsizetype e = k + 2; e <= given.size() && found < 0; ++e)
                    if (joined(given, k, e) == word)
                        found = e - 1;
                if (found < 0 && misreadAs(shown.raw.at(i), given.at(k))) {
                    found = k;
                    level = Level::NeedsBirthDate;
                }
            }
        }
        if (found >= 0) {
            at = found + 1;
            continue;
        }
        // "Patricia Van der Berg" is not Patricia Berg with middle names.
        if (isParticle(word))
            return Level::None;
        if (bookedMiddles)
            return Level::Contradicts;
    }
    return level;
}

Level splitLevel(const ReadName &shown, qsizetype surnameFrom, qsizetype surnameTo, qsizetype givenFrom,
                 qsizetype givenTo, const BookedName &booked) {
    const Level surname = surnameLevel(shown, surnameFrom, surnameTo, booked);
    if (surname == Level::None)
        return Level::None;
    const Level given = givenLevel(shown, givenFrom, givenTo, booked);
    if (given == Level::None)
        return Level::None;
    if (given == Level::Contradicts)
        return surname == Level::Agrees ? Level::Contradicts : Level::None;
    if (!shown.suffix.isEmpty() && !booked.suffix.isEmpty() && shown.suffix != booked.suffix)
        return surname == Level::Agrees ? Level::Contradicts : Level::None;
    return std::min(surname, given);
}

// Agrees beats everything; a contradiction (the same first and last name,
// another middle name) beats a reading that only a date of birth could
// confirm.
Level better(Level a, Level b) {
    auto rank = [](Level l) {
        switch (l) {
        case Level::Agrees:
            return 3;
        case Level::Contradicts:
            return 2;
        case Level::NeedsBirthDate:
            return 1;
        case Level::None:
            return 0;
        }
        return 0;
    };
    return rank(a) >= rank(b) ? a : b;
}

} // namespace

NameAgreement compareName(const ReadName &shown, const BookedName &booked) {
    const qsizetype n = shown.parts.size();
    if (n == 0 || booked.surname.isEmpty() || booked.given.isEmpty())
        return NameAgreement::None;
    if (n == 1) {
        // The last name alone, or the whole name run together.
        const QString &word = shown.parts.first();
        const QString surname = booked.surname.join(QString());
        if (surnameLevel(shown, 0, 1, booked) != Level::None || word == booked.given.first() + surname ||
            word == surname + booked.given.first())
            return NameAgreement::NeedsBirthDate;
        return NameAgreement::None;
    }
    Level level = Level::None;
    if (shown.surnameWords > 0) {
        level = splitLevel(shown, 0, shown.surnameWords, shown.surnameWords, n, booked);
    } else if (shown.capitalsFrom >= 0) {
        // The words in capitals are the last name: first or last.
        if (shown.capitalsFrom == 0)
            level = splitLevel(shown, 0, shown.capitalsTo, shown.capitalsTo, n, booked);
        else if (shown.capitalsTo == n)
            level = splitLevel(shown, shown.capitalsFrom, n, 0, shown.capitalsFrom, booked);
    } else {
        for (qsizetype k = 1; k < n; ++k) {
            level = better(level, splitLevel(shown, k, n, 0, k, booked));
            // Last name first without a comma: the order cannot be told.
            const Level reversed = splitLevel(shown, 0, k, k, n, booked);
            level = better(level, reversed == Level::Agrees ? Level::NeedsBirthDate : reversed);
        }
    }
    return agreement(level);
}

NameAgreement compareName(const ReadName &shown, const QList<BookedName> &booked) {
    NameAgreement best = NameAgreement::None;
    for (const BookedName &form : booked) {
        const NameAgreement a = compareName(shown, form);
        if (a == NameAgreement::Agrees)
            return a;
        if (a == NameAgreement::Contradicts ||
            (a == NameAgreement::NeedsBirthDate && best == NameAgreement::None))
            best = a;
    }
    return best;
}
