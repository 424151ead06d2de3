#include "capture/patient_identification.h"

#include "capture/patient_matching.h"
#include "capture/string_score.h"

#include <QHash>
#include <QRegularExpression>
#include <algorithm>

namespace {

QStringList words(const QString &text) {
    return text.simplified().split(QLatin1Char(' '), Qt::SkipEmptyParts);
}

// " w1 w2 ...": the shape every candidate window has.
QString form(const QStringList &parts) {
    QString out;
    for (const QString &part : parts) {
        out.append(QLatin1Char(' '));
        out.append(part);
    }
    return out;
}

// The name's words as the score sees them, in lower case: what tells two
// names apart, whatever their punctuation and accents.
QStringList cleanedWords(const QString &name) {
    QStringList out;
    for (const QString &w : scoreCleaned(name).toLower().split(QLatin1Char(' '), Qt::SkipEmptyParts))
        out << w;
    return out;
}

// True when every word of `inner` occurs in `outer` (as often) and `outer`
// has more words: "Maria Cruz" within "Maria De La Cruz".
bool isStrictSubName(QStringList inner, QStringList outer) {
    if (inner.size() >= outer.size() || inner.isEmpty())
        return false;
    for (const QString &w : inner) {
        const qsizetype at = outer.indexOf(w);
        if (at < 0)
            return false;
        outer.removeAt(at);
    }
    return true;
}

// Entries of one person (two visits today) count as one patient: the same
// clinic id, or, without ids, the same name and date of birth.
QString personKey(const QVariantMap &patient) {
    const QString id = patient.value(QStringLiteral("kelvraID")).toString();
    if (!id.isEmpty())
        return QStringLiteral("id:") + id;
    return QStringLiteral("name:") +
           cleanedWords(patient.value(QStringLiteral("name")).toString()).join(' ') + QLatin1Char('|') +
           patient.value(QStringLiteral("dob")).toString().trimmed();
}

// The last name as written, then with neighbouring words run together, as
// the engine reads "De La" when it misses the space ("DeLa Cruz", "DeLaCruz").
QList<QStringList> joinings(const QStringList &parts) {
    QList<QStringList> out = {parts};
    if (parts.size() < 2 || parts.size() > 4)
        return out;
    const int gaps = int(parts.size()) - 1;
    for (int mask = 1; mask < (1 << gaps); ++mask) {
        QStringList joined = {parts.first()};
        for (int g = 0; g < gaps; ++g) {
            if (mask & (1 << g))
                joined.last() += parts.at(g + 1);
            else
                joined << parts.at(g + 1);
        }
        out << joined;
    }
    return out;
}

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

void add(QList<FoundDate> &found, int year, int month, int day, bool twoDigitYear) {
    const FoundDate date{year, month, day, twoDigitYear};
    if (plausible(year, month, day, twoDigitYear) && !found.contains(date))
        found.append(date);
}

const QString kMonthPattern =
    QStringLiteral("(jan(?:uary)?|feb(?:ruary)?|mar(?:ch)?|apr(?:il)?|may|june?|july?|aug(?:ust)?|"
                   "sep(?:t(?:ember)?)?|oct(?:ober)?|nov(?:ember)?|dec(?:ember)?)\\.?");

} // namespace

QString identificationReasonText(IdentificationReason reason) {
    switch (reason) {
    case IdentificationReason::Name:
        return QStringLiteral("name");
    case IdentificationReason::NameAndBirthDate:
        return QStringLiteral("name and date of birth");
    case IdentificationReason::BelowFloor:
        return QStringLiteral("below floor");
    case IdentificationReason::Ambiguous:
        return QStringLiteral("ambiguous");
    }
    return {};
}

QStringList patientNameForms(const QVariantMap &patient) {
    QStringList forms;
    auto addForm = [&forms](const QStringList &first, const QStringList &last) {
        if (first.isEmpty() || last.isEmpty())
            return;
        for (const QStringList &l : joinings(last))
            for (const QString &f : {form(l + first), form(first + l)})
                if (!forms.contains(f))
                    forms << f;
    };
    const QStringList first = words(patient.value(QStringLiteral("first_name")).toString());
    const QStringList last = words(patient.value(QStringLiteral("last_name")).toString());
    if (!first.isEmpty() && !last.isEmpty()) {
        addForm(first, last);
        return forms;
    }
    const QString name = patient.value(QStringLiteral("name")).toString();
    const qsizetype comma = name.indexOf(QLatin1Char(','));
    if (comma >= 0) {
        addForm(words(name.mid(comma + 1)), words(name.left(comma)));
        return forms;
    }
    const QStringList parts = words(name);
    for (qsizetype k = 1; k < parts.size(); ++k)
        addForm(parts.mid(0, k), parts.mid(k));
    if (parts.size() == 1)
        forms << form(parts);
    return forms;
}

QList<FoundDate> findDates(const QString &text) {
    QList<FoundDate> found;
    // Numeric, day and month first: 04/12/1962, 4/1/62, 14.03.1961, 03-14-1961.
    static const QRegularExpression numeric(
        QStringLiteral("(?<![\\d/.-])(\\d{1,2}) ?[/.-] ?(\\d{1,2}) ?[/.-] ?(\\d{4}|\\d{2})(?![\\d/-])"));
    for (auto it = numeric.globalMatch(text); it.hasNext();) {
        const auto m = it.next();
        const int a = m.captured(1).toInt(), b = m.captured(2).toInt();
        const bool two = m.captured(3).size() == 2;
        const int y = m.captured(3).toInt();
        add(found, y, a, b, two);
        add(found, y, b, a, two);
    }
    // Year first: 1962-04-12, 1962/04/12.
    static const QRegularExpression yearFirst(
        QStringLiteral("(?<![\\d/.-])(\\d{4}) ?[/.-] ?(\\d{1,2}) ?[/.-] ?(\\d{1,2})(?!\\d)"));
    for (auto it = yearFirst.globalMatch(text); it.hasNext();) {
        const auto m = it.next();
        add(found, m.captured(1).toInt(), m.captured(2).toInt(), m.captured(3).toInt(), false);
    }
    // Written months: "Jan 2, 1950", "January 2nd 1950", "2 Jan 1950".
    static const QRegularExpression monthFirst(
        QStringLiteral("\\b") + kMonthPattern +
            QStringLiteral(" ?(\\d{1,2})(?:st|nd|rd|th)?,? ?(\\d{4})(?!\\d)"),
        QRegularExpression::CaseInsensitiveOption);
    for (auto it = monthFirst.globalMatch(text); it.hasNext();) {
        const auto m = it.next();
        add(found, m.captured(3).toInt(), monthFromName(m.captured(1)), m.captured(2).toInt(), false);
    }
    static const QRegularExpression dayFirst(QStringLiteral("(?<!\\d)(\\d{1,2})(?:st|nd|rd|th)? ?(?:of )?") +
                                                 kMonthPattern + QStringLiteral(",? ?(\\d{4})(?!\\d)"),
                                             QRegularExpression::CaseInsensitiveOption);
    for (auto it = dayFirst.globalMatch(text); it.hasNext();) {
        const auto m = it.next();
        add(found, m.captured(3).toInt(), monthFromName(m.captured(2)), m.captured(1).toInt(), false);
    }
    // Eight digits in a row: a date whose separators were not read
    // (MMDDYYYY, DDMMYYYY or YYYYMMDD).
    static const QRegularExpression run(QStringLiteral("(?<!\\d)(\\d{8})(?!\\d)"));
    for (auto it = run.globalMatch(text); it.hasNext();) {
        const QString d = it.next().captured(1);
        add(found, d.mid(4).toInt(), d.left(2).toInt(), d.mid(2, 2).toInt(), false);
        add(found, d.mid(4).toInt(), d.mid(2, 2).toInt(), d.left(2).toInt(), false);
        add(found, d.left(4).toInt(), d.mid(4, 2).toInt(), d.mid(6).toInt(), false);
    }
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

PatientIdentification identifyPatient(const QVariantList &patients, const std::optional<QString> &text) {
    PatientIdentification result;
    result.scores = QList<double>(patients.size(), 0.0);
    if (!text || patients.isEmpty())
        return result;

    // Every patient's best over the matching's two forms and its own.
    const QList<double> bests = bestScoresForPatients(patients, text);
    QStringList forms;
    QList<qsizetype> formOwner;
    for (qsizetype i = 0; i < patients.size(); ++i) {
        for (const QString &f : patientNameForms(patients.at(i).toMap())) {
            forms << f;
            formOwner << i;
        }
    }
    // Here a line feed separates words too: a name at the end of a line is
    // not run into the first word of the next.
    static const QRegularExpression whitespace(QStringLiteral("\\s+"));
    const QList<double> formBests =
        bestScoresForForms(forms, QString(*text).replace(whitespace, QStringLiteral(" ")));
    for (qsizetype i = 0; i < patients.size(); ++i)
        result.scores[i] = bests[i];
    for (qsizetype f = 0; f < forms.size(); ++f)
        result.scores[formOwner[f]] = std::max(result.scores[formOwner[f]], formBests[f]);

    const QList<FoundDate> dates = findDates(*text);
    auto dobOnScreen = [&](qsizetype i) {
        return dateIsAmong(patientBirthDate(patients.at(i).toMap().value(QStringLiteral("dob")).toString()),
                           dates);
    };

    // One index per person, the first of their entries.
    QList<qsizetype> people;
    QHash<QString, qsizetype> seen;
    for (qsizetype i = 0; i < patients.size(); ++i) {
        const QString key = personKey(patients.at(i).toMap());
        if (seen.contains(key)) {
            result.scores[seen.value(key)] = std::max(result.scores[seen.value(key)], result.scores[i]);
            continue;
        }
        seen.insert(key, i);
        people << i;
    }

    double top = 0.0;
    for (qsizetype i : people)
        top = std::max(top, result.scores[i]);
    if (top < kIdentificationFloor) {
        result.reason = IdentificationReason::BelowFloor;
        for (qsizetype i : people)
            if (dobOnScreen(i))
                result.candidates << i;
        return result;
    }

    // The contenders, best first (list order among equals).
    QList<qsizetype> near;
    for (qsizetype i : people)
        if (result.scores[i] >= top - kIdentificationMargin && result.scores[i] >= kIdentificationFloor)
            near << i;
    std::stable_sort(near.begin(), near.end(),
                     [&](qsizetype a, qsizetype b) { return result.scores[a] > result.scores[b]; });

    // A name contained in another contender's longer name ("Maria Cruz" in
    // "Maria De La Cruz") is explained by that one as well as by itself.
    auto withoutSubNames = [&](const QList<qsizetype> &among) {
        QList<qsizetype> kept;
        for (qsizetype a : among) {
            const QStringList aw =
                cleanedWords(patients.at(a).toMap().value(QStringLiteral("name")).toString());
            const bool inner = std::any_of(among.begin(), among.end(), [&](qsizetype b) {
                return isStrictSubName(
                    aw, cleanedWords(patients.at(b).toMap().value(QStringLiteral("name")).toString()));
            });
            if (!inner)
                kept << a;
        }
        return kept;
    };

    QList<qsizetype> withDob;
    for (qsizetype i : near)
        if (dobOnScreen(i))
            withDob << i;
    // The date of birth on screen is another patient's, one whose name scored
    // lower (misread, or shown as a relative's): the name alone must not
    // decide against it.
    QList<qsizetype> dobElsewhere;
    if (withDob.isEmpty()) {
        for (qsizetype i : people)
            if (!near.contains(i) && dobOnScreen(i))
                dobElsewhere << i;
        std::stable_sort(dobElsewhere.begin(), dobElsewhere.end(),
                         [&](qsizetype a, qsizetype b) { return result.scores[a] > result.scores[b]; });
    }
    const QList<qsizetype> decided = !dobElsewhere.isEmpty() ? QList<qsizetype>()
                                     : withDob.size() == 1   ? withDob
                                     : withDob.isEmpty()     ? withoutSubNames(near)
                                                             : withoutSubNames(withDob);
    if (decided.size() == 1) {
        result.proposed = decided.first();
        result.dobOnScreen = dobOnScreen(decided.first());
        result.reason =
            result.dobOnScreen ? IdentificationReason::NameAndBirthDate : IdentificationReason::Name;
        return result;
    }
    result.reason = IdentificationReason::Ambiguous;
    // Those with their date of birth on screen first, then the rest.
    result.candidates = withDob + dobElsewhere;
    for (qsizetype i : near)
        if (!result.candidates.contains(i))
            result.candidates << i;
    return result;
}
