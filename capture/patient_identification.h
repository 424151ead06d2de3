#pragma once
// Deciding which of today's patients a recognised window shows, or that it
// shows none of them with enough confidence.
//
// The decision builds on the matching's scores (patient_matching.h), which
// stay as they are, and adds:
//  - name forms: besides the name and its words reversed, the name written
//    " <last name words> <first name words>" (what "VAN DER BERG, Patricia"
//    cleans to) and " <first name words> <last name words>";
//  - a floor: a best score below it proposes nobody;
//  - the date of birth as second identifier: among the patients whose score
//    is within a margin of the top, the one whose date of birth is on screen
//    is proposed; when that does not single one out, or when the only date of
//    birth on screen is that of a patient further down, nobody is proposed
//    and those patients are offered first.

#include <QDate>
#include <QList>
#include <QString>
#include <QStringList>
#include <QVariantList>
#include <QVariantMap>
#include <optional>

// A best score below the floor proposes nobody. Calibrated on rendered record
// screens: the right patient's best score against the best score of any
// patient on screens that show none of them (see the identification corpus
// test, which prints both distributions).
inline constexpr double kIdentificationFloor = 0.62;
// Patients scoring within this margin of the top one are told apart by the
// date of birth on screen.
inline constexpr double kIdentificationMargin = 0.12;

enum class IdentificationReason {
    Name,             // one patient stands out by name
    NameAndBirthDate, // the name, and the date of birth on screen singles out one
    BelowFloor,       // no patient scores at or above the floor
    Ambiguous,        // several score alike and no date of birth decides
};

// The reason's text as the command line prints it: "name", "name and date of
// birth", "below floor", "ambiguous".
QString identificationReasonText(IdentificationReason reason);

struct PatientIdentification {
    // Index into the list of the proposed patient; none when nobody is.
    std::optional<qsizetype> proposed;
    IdentificationReason reason = IdentificationReason::BelowFloor;
    // Whether the proposed patient's date of birth was found on screen.
    bool dobOnScreen = false;
    // Indices of the patients to offer first when nobody is proposed.
    QList<qsizetype> candidates;
    // Each patient's best score over all its name forms, in list order.
    QList<double> scores;
};

// The decision for `patients` (patient entries) and the recognised `text`.
// An absent text or an empty list proposes nobody (BelowFloor).
PatientIdentification identifyPatient(const QVariantList &patients, const std::optional<QString> &text);

// The name forms scored for one entry besides its "name" and the name's
// words reversed, each beginning with a space. From "first_name" and
// "last_name" when the entry has them; otherwise from "name": "Last, First"
// is taken as written, and a name of more than two words is read at every
// split into first and last name.
QStringList patientNameForms(const QVariantMap &patient);

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

// Every date in `text`: MM/DD/YYYY, M/D/YY, YYYY-MM-DD, DD.MM.YYYY (any of
// "/", "-", "." between the parts), "Jan 2, 1950", "2 Jan 1950", and runs of
// exactly eight digits (the date of "04/12/1962" read without its slashes).
QList<FoundDate> findDates(const QString &text);

// A patient entry's "dob" as a date: "yyyy-MM-dd" (also with a time after
// it), "MM/dd/yyyy", "dd.MM.yyyy", or a written month. Invalid when empty or
// not a date.
QDate patientBirthDate(const QString &dob);

// Whether `date` is among `found`.
bool dateIsAmong(const QDate &date, const QList<FoundDate> &found);
