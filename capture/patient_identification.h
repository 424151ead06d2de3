#pragma once
// Deciding which of today's patients a recognised window is about, or that it
// is about none of them for sure.
//
// Names are looked for word by word in every way a record writes them
// ("First Last", "LAST, FIRST", middle names and initials, suffixes, last
// names of several words kept together, run together or hyphenated), ignoring
// case and accents. Where a name stands decides what it counts for:
//  - in focus: the top of the window, after a label ("Patient:", "Name:"),
//    in large text, next to a date of birth;
//  - plain: anywhere else in the text;
//  - in a list: a column or row of several patients' names (a schedule);
//  - a mention: after a relation or role word ("Guardian:", "brother",
//    "Dr.", "PCP") or before a credential ("MD", "RN").
// The patient the window is about is the one named in focus (else the only
// one named plainly); mentions never propose anyone, and a list without a
// name in focus proposes nobody but offers the listed patients first.
// The date of birth counts both ways: a labelled date of birth standing with
// a name that is not that patient's rules the patient out, and a date of
// birth in the banner or labelled that belongs to exactly one patient whose
// name is partly on screen (the last name, or the first name and initial)
// proposes that patient. Misreadings of the engine (rn for m, l for I or 1,
// 0 for O, fi for ñ, a digit for an accented letter) are forgiven only when
// the patient's date of birth is on screen too.

#include "capture/screen_text.h"

#include <QDate>
#include <QList>
#include <QString>
#include <QStringList>
#include <QVariantList>
#include <QVariantMap>
#include <optional>

enum class IdentificationReason {
    Name,                   // one patient is named where the window is about them
    NameAndBirthDate,       // ... and their date of birth is on screen
    BirthDateAndPartOfName, // their date of birth, and part of their name
    BelowFloor,             // no patient is named on screen
    Ambiguous,              // several are, alike, and no date of birth decides
    List,                   // names in a list (a schedule), none in focus
    BirthDateContradicts,   // a patient is named, but with another date of birth
};

// The reason as the command line prints it: "name", "name and date of
// birth", "date of birth and part of the name", "below floor", "ambiguous",
// "list", "date of birth differs".
QString identificationReasonText(IdentificationReason reason);

// How a patient's name was found on screen (the strongest place).
enum class NameEvidence {
    None,
    PartOfName, // the last name, or the first name and initial
    Mention,    // after a relation or role word
    InList,     // among other patients' names in a list
    Misread,    // the whole name, read with the engine's usual confusions
    Plain,      // the whole name
    InFocus,    // the whole name, in the banner, after a label, large, or next to a date of birth
};
QString nameEvidenceText(NameEvidence evidence);

struct PatientIdentification {
    // Index into the list of the proposed patient; none when nobody is.
    std::optional<qsizetype> proposed;
    IdentificationReason reason = IdentificationReason::BelowFloor;
    // Whether the proposed patient's date of birth was found on screen.
    bool dobOnScreen = false;
    // Indices of the patients to offer first when nobody is proposed.
    QList<qsizetype> candidates;
    // Each patient's strongest evidence, in list order.
    QList<NameEvidence> evidence;
    // A patient named in focus but ruled out by the date of birth shown with
    // the name (the index, and the date as shown); none when nobody was.
    std::optional<qsizetype> contradicted;
    QString contradictingDate;
};

// The decision for `patients` (patient entries) and the window's text. An
// absent text or an empty list proposes nobody (BelowFloor).
PatientIdentification identifyPatient(const QVariantList &patients, const ScreenText &screen);
PatientIdentification identifyPatient(const QVariantList &patients, const std::optional<QString> &text);

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

// Every date in `text`: MM/DD/YYYY, M/D/YY, YYYY-MM-DD, YYYY/MM/DD,
// DD.MM.YYYY (any of "/", "-", "." between the parts), "Jan 2, 1950",
// "Mar 14 1979", "2 Jan 1950", "14 March 1979", "14-MAR-1979", and runs of
// exactly eight digits (the date of "04/12/1962" read without its slashes).
QList<FoundDate> findDates(const QString &text);

// A date with where it stands in the text searched (UTF-16 offsets).
struct PlacedDate {
    FoundDate date;
    qsizetype start = 0;
    qsizetype end = 0;
};
QList<PlacedDate> findPlacedDates(const QString &text);

// A patient entry's "dob" as a date: "yyyy-MM-dd" (also with a time after
// it), "MM/dd/yyyy", "dd.MM.yyyy", or a written month. Invalid when empty or
// not a date.
QDate patientBirthDate(const QString &dob);

// Whether `date` is among `found`.
bool dateIsAmong(const QDate &date, const QList<FoundDate> &found);
