#pragma once
// Dates and ages as record screens write them.

#include <QDate>
#include <QList>
#include <QString>
#include <optional>

// A date found in text. Numeric dates whose day and month order cannot be
// told give one FoundDate per reading; `year` is two-digit (0-99) when
// `twoDigitYear`.
struct FoundDate {
    int year = 0;
    int month = 0;
    int day = 0;
    bool twoDigitYear = false;
    bool operator==(const FoundDate &) const = default;
};

// A date with where it stands in the text searched (UTF-16 offsets).
struct PlacedDate {
    FoundDate date;
    qsizetype start = 0;
    qsizetype end = 0;
    // Written with a month name (never read day-for-month).
    bool monthNamed = false;
};

// Every date in `text`: MM/DD/YYYY, M/D/YY, YYYY-MM-DD, YYYY/MM/DD,
// DD.MM.YYYY (any of "/", "-", "." between the parts); a month's name or
// abbreviation in English, Spanish, French or German in any order with the
// day and the year ("Jan 2, 1950", "Mar-14-1979", "14/Mar/1979",
// "1979-Mar-14", "14. März 1979", "14 de marzo de 1979", "1er mars 1979");
// and runs of exactly eight digits (a date whose separators were not read).
QList<PlacedDate> findPlacedDates(const QString &text);
QList<FoundDate> findDates(const QString &text);

// Whether `found` is `date`; a two-digit year matches either century.
bool sameDay(const FoundDate &found, const QDate &date);

// Whether `date` is among `found`.
bool dateIsAmong(const QDate &date, const QList<FoundDate> &found);

// A patient entry's "dob" as a date: "yyyy-MM-dd" (also with a time after
// it), "MM/dd/yyyy", "dd.MM.yyyy", or a written month. Invalid when empty or
// not a date.
QDate patientBirthDate(const QString &dob);

// The date a found date of birth stands for, as of `today`: a two-digit
// year is taken in the century that makes it a past date no more than 120
// years ago, and only when exactly one century does; none when the date
// cannot be a date of birth (in the future, or older than 120 years).
std::optional<QDate> birthDateFrom(const FoundDate &found, const QDate &today);

// Whole years from `birth` to `today`.
int ageInYears(const QDate &birth, const QDate &today);

// An age as a record writes it beside a name: "Age 42", "42 y", "42 yo",
// "42 y/o", "42 yrs", "42 years", "42-year-old", "42F", "F/42", "6 mo",
// "Edad: 47 años", "47 ans", "Alter 47 J.". Years, with a fraction for an
// age given in months or weeks; where it stands in `text`.
struct PlacedAge {
    double years = 0;
    qsizetype start = 0;
    qsizetype end = 0;
};
QList<PlacedAge> findAges(const QString &text);
