#include "capture/identification/dates.h"

#include "capture/identification/names.h"

#include <QHash>
#include <QRegularExpression>
#include <algorithm>

namespace {

// Month names and their abbreviations in English, Spanish, French and
// German, folded (lower case, no accents).
int monthFromName(const QString &word) {
    static const QHash<QString, int> months = [] {
        QHash<QString, int> m;
        const QList<QStringList> names = {
            {"jan", "january", "ene", "enero", "janv", "janvier", "januar", "jan", "janner"},
            {"feb", "february", "febrero", "fev", "fevr", "fevrier", "februar"},
            {"mar", "march", "marzo", "mars", "marz", "mrz"},
            {"apr", "april", "abr", "abril", "avr", "avril"},
            {"may", "mayo", "mai"},
            {"jun", "june", "junio", "juin", "juni"},
            {"jul", "july", "julio", "juil", "juillet", "juli"},
            {"aug", "august", "ago", "agosto", "aout"},
            {"sep", "sept", "september", "septiembre", "setiembre", "set", "septembre"},
            {"oct", "october", "octubre", "octobre", "okt", "oktober"},
            {"nov", "november", "noviembre", "novembre"},
            {"dec", "december", "dic", "diciembre", "decembre", "dez", "dezember"},
        };
        for (int i = 0; i < int(names.size()); ++i)
            for (const QString &name : names[i])
                m.insert(name, i + 1);
        return m;
    }();
    return months.value(foldName(word), 0);
}

bool plausible(int year, int month, int day, bool twoDigitYear) {
    if (month < 1 || month > 12 || day < 1 || day > 31)
        return false;
    if (twoDigitYear)
        return QDate::isValid(2000 + year, month, day) || QDate::isValid(1900 + year, month, day);
    return year >= 1850 && year <= 2200 && QDate::isValid(year, month, day);
}

void add(QList<PlacedDate> &found, qsizetype start, qsizetype end, int year, int month, int day,
         bool twoDigitYear, bool monthNamed) {
    if (!plausible(year, month, day, twoDigitYear))
        return;
    const PlacedDate placed{{year, month, day, twoDigitYear}, start, end, monthNamed};
    // A written date is also matched in part by the numeric forms ("14-03"
    // of nothing); keep each reading once per place.
    const bool known = std::any_of(found.begin(), found.end(), [&](const PlacedDate &p) {
        return p.date == placed.date && p.start < end && start < p.end;
    });
    if (!known)
        found.append(placed);
}

int yearOf(const QString &digits) {
    return digits.toInt();
}

} // namespace

QList<PlacedDate> findPlacedDates(const QString &text) {
    QList<PlacedDate> found;
    // A month's name: letters, maybe an abbreviation's dot.
    const QString month = QStringLiteral("(\\p{L}{3,10})\\.?");
    const QString sep = QStringLiteral("(?:\\s*[,./-]\\s*|\\s+de\\s+|\\s+)");
    const QString day = QStringLiteral("(\\d{1,2})(?:st|nd|rd|th|er|º|\\.)?");
    // Month first: "Jan 2, 1950", "Mar-14-1979", "March 14th 1979".
    static const QRegularExpression monthFirst(QStringLiteral("(?<![\\p{L}\\d])") + month + sep + day + sep +
                                                   QStringLiteral("(\\d{4}|\\d{2})(?!\\d)"),
                                               QRegularExpression::CaseInsensitiveOption);
    for (auto it = monthFirst.globalMatch(text); it.hasNext();) {
        const auto m = it.next();
        if (const int mo = monthFromName(m.captured(1)))
            add(found, m.capturedStart(), m.capturedEnd(), yearOf(m.captured(3)), mo, m.captured(2).toInt(),
                m.captured(3).size() == 2, true);
    }
    // Day first: "2 Jan 1950", "14/Mar/1979", "14-MAR-79", "14. März 1979",
    // "14 de marzo de 1979", "1er mars 1979".
    static const QRegularExpression dayFirst(QStringLiteral("(?<![\\d/.-])") + day + sep + month + sep +
                                                 QStringLiteral("(\\d{4}|\\d{2})(?!\\d)"),
                                             QRegularExpression::CaseInsensitiveOption);
    for (auto it = dayFirst.globalMatch(text); it.hasNext();) {
        const auto m = it.next();
        if (const int mo = monthFromName(m.captured(2)))
            add(found, m.capturedStart(), m.capturedEnd(), yearOf(m.captured(3)), mo, m.captured(1).toInt(),
                m.captured(3).size() == 2, true);
    }
    // Year first: "1979-Mar-14", "1979 Mar 14".
    static const QRegularExpression yearFirstNamed(QStringLiteral("(?<![\\d/.-])(\\d{4})") + sep + month +
                                                       sep + QStringLiteral("(\\d{1,2})(?!\\d)"),
                                                   QRegularExpression::CaseInsensitiveOption);
    for (auto it = yearFirstNamed.globalMatch(text); it.hasNext();) {
        const auto m = it.next();
        if (const int mo = monthFromName(m.captured(2)))
            add(found, m.capturedStart(), m.capturedEnd(), yearOf(m.captured(1)), mo, m.captured(3).toInt(),
                false, true);
    }
    // Numeric, day and month in either order: 04/12/1962, 4/1/62,
    // 14.03.1961, 03-14-1961.
    static const QRegularExpression numeric(
        QStringLiteral("(?<![\\d/.-])(\\d{1,2}) ?[/.-] ?(\\d{1,2}) ?[/.-] ?(\\d{4}|\\d{2})(?![\\d/-])"));
    for (auto it = numeric.globalMatch(text); it.hasNext();) {
        const auto m = it.next();
        const int a = m.captured(1).toInt(), b = m.captured(2).toInt();
        const bool two = m.captured(3).size() == 2;
        const int y = m.captured(3).toInt();
        add(found, m.capturedStart(), m.capturedEnd(), y, a, b, two, false);
        add(found, m.capturedStart(), m.capturedEnd(), y, b, a, two, false);
    }
    // Year first: 1962-04-12, 1962/04/12.
    static const QRegularExpression yearFirst(
        QStringLiteral("(?<![\\d/.-])(\\d{4}) ?[/.-] ?(\\d{1,2}) ?[/.-] ?(\\d{1,2})(?!\\d)"));
    for (auto it = yearFirst.globalMatch(text); it.hasNext();) {
        const auto m = it.next();
        add(found, m.capturedStart(), m.capturedEnd(), m.captured(1).toInt(), m.captured(2).toInt(),
            m.captured(3).toInt(), false, false);
    }
    // Eight digits in a row: MMDDYYYY, DDMMYYYY or YYYYMMDD.
    static const QRegularExpression run(QStringLiteral("(?<!\\d)(\\d{8})(?!\\d)"));
    for (auto it = run.globalMatch(text); it.hasNext();) {
        const auto m = it.next();
        const QString d = m.captured(1);
        const qsizetype s = m.capturedStart(), e = m.capturedEnd();
        add(found, s, e, d.mid(4).toInt(), d.left(2).toInt(), d.mid(2, 2).toInt(), false, false);
        add(found, s, e, d.mid(4).toInt(), d.mid(2, 2).toInt(), d.left(2).toInt(), false, false);
        add(found, s, e, d.left(4).toInt(), d.mid(4, 2).toInt(), d.mid(6).toInt(), false, false);
    }
    std::stable_sort(found.begin(), found.end(),
                     [](const PlacedDate &a, const PlacedDate &b) { return a.start < b.start; });
    return found;
}

QList<FoundDate> findDates(const QString &text) {
    QList<FoundDate> found;
    for (const PlacedDate &placed : findPlacedDates(text))
        if (!found.contains(placed.date))
            found.append(placed.date);
    return found;
}

bool sameDay(const FoundDate &found, const QDate &date) {
    if (!date.isValid() || found.month != date.month() || found.day != date.day())
        return false;
    return found.twoDigitYear ? found.year == date.year() % 100 : found.year == date.year();
}

bool dateIsAmong(const QDate &date, const QList<FoundDate> &found) {
    return std::any_of(found.begin(), found.end(), [&date](const FoundDate &f) { return sameDay(f, date); });
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
    const QList<PlacedDate> written = findPlacedDates(text);
    if (written.size() == 1 && written.first().monthNamed && !written.first().date.twoDigitYear) {
        const FoundDate &d = written.first().date;
        return QDate(d.year, d.month, d.day);
    }
    return {};
}

std::optional<QDate> birthDateFrom(const FoundDate &found, const QDate &today) {
    auto fits = [&](int year) {
        const QDate date(year, found.month, found.day);
        return date.isValid() && date <= today && date.addYears(120) >= today ? std::optional<QDate>(date)
                                                                              : std::nullopt;
    };
    if (!found.twoDigitYear)
        return fits(found.year);
    const std::optional<QDate> recent = fits(2000 + found.year), old = fits(1900 + found.year);
    if (recent && old)
        return std::nullopt;
    return recent ? recent : old;
}

int ageInYears(const QDate &birth, const QDate &today) {
    int age = today.year() - birth.year();
    if (today.month() < birth.month() || (today.month() == birth.month() && today.day() < birth.day()))
        --age;
    return age;
}

QList<PlacedAge> findAges(const QString &text) {
    QList<PlacedAge> found;
    auto add = [&](const QRegularExpressionMatch &m, double years) {
        if (years < 0 || years > 130)
            return;
        for (const PlacedAge &a : found)
            if (a.start < m.capturedEnd() && m.capturedStart() < a.end)
                return;
        found.append({years, m.capturedStart(), m.capturedEnd()});
    };
    // Labelled: "Age 42", "Age: 42", "Edad: 47", "Âge : 46", "Alter 47".
    static const QRegularExpression labelled(
        QStringLiteral(
            "(?<!\\p{L})(?:age|[aâ]ge|edad|alter)\\s*:?\\s*(\\d{1,3})(?!\\d)(?:\\s*(mo|mos|months?|"
            "meses|mois|monate|wk|wks|weeks?))?"),
        QRegularExpression::CaseInsensitiveOption);
    for (auto it = labelled.globalMatch(text); it.hasNext();) {
        const auto m = it.next();
        const double n = m.captured(1).toDouble();
        const QString unit = m.captured(2).toLower();
        add(m, unit.isEmpty() ? n : unit.startsWith(QLatin1Char('w')) ? n / 52.0 : n / 12.0);
    }
    // With a unit: "42 y", "42yo", "42 y/o", "42 yrs", "42-year-old",
    // "47 años", "46 ans", "47 J.", "6 mo", "3 wks".
    static const QRegularExpression unit(
        QStringLiteral(
            "(?<![\\d/.,:])(\\d{1,3})\\s*-?\\s*(y|yo|y/o|yr|yrs|years?|year-old|a|años|anos|ans|j|jahre|"
            "mo|mos|months?|meses|mois|monate|wk|wks|weeks?)(?!\\p{L})\\.?"),
        QRegularExpression::CaseInsensitiveOption);
    for (auto it = unit.globalMatch(text); it.hasNext();) {
        const auto m = it.next();
        const QString u = m.captured(2).toLower();
        const double n = m.captured(1).toDouble();
        const bool months = u.startsWith(QLatin1String("mo")) || u == QLatin1String("meses") ||
                            u == QLatin1String("mois") || u == QLatin1String("monate");
        const bool weeks = u.startsWith(QLatin1Char('w'));
        add(m, months ? n / 12.0 : weeks ? n / 52.0 : n);
    }
    // With the sex: "42F", "42 M", "F/42", "M 42".
    static const QRegularExpression withSex(QStringLiteral(
        "(?<![\\d/.,:\\p{L}])(?:(\\d{1,3})\\s?([MF])|([MF])\\s?/\\s?(\\d{1,3}))(?![\\d\\p{L}/])"));
    for (auto it = withSex.globalMatch(text); it.hasNext();) {
        const auto m = it.next();
        add(m, (m.captured(1).isEmpty() ? m.captured(4) : m.captured(1)).toDouble());
    }
    std::sort(found.begin(), found.end(),
              [](const PlacedAge &a, const PlacedAge &b) { return a.start < b.start; });
    return found;
}
