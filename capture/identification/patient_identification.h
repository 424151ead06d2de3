#pragma once
// Deciding which of today's patients a captured window is about, or that
// it is about none of them for sure.
//
// The screen is read first without today's list (subject.h): who the
// record is about, with the facts that stand with them. Only that person
// may be proposed, and only when every part of the name and every fact the
// screen shows for them agrees with one entry of today's list. Everyone
// else named on screen (clinicians, relatives, contacts, policy holders,
// senders, other rows of a list) is never proposed, whatever words stand
// around them.

#include "capture/identification/dates.h"
#include "capture/identification/subject.h"
#include "capture/screen_text.h"

#include <QDate>
#include <QList>
#include <QString>
#include <QVariantList>
#include <optional>

enum class IdentificationReason {
    Name,                   // the record's person is on today's list, by the whole name
    NameAndBirthDate,       // ... and the date of birth shown with them is theirs
    BirthDateAndPartOfName, // part of the name (or a misread one) confirmed by the date of birth
    BelowFloor,             // no record's person is named on screen
    Ambiguous,              // several people stand in the record's place, or several entries fit
    List,                   // a list of people (a schedule, a worklist), nobody's record
    BirthDateContradicts,   // the record's person has a booked patient's name, another date of birth
    AgeContradicts,         // ... another age
    NotBooked,              // the record's person is not on today's list
    Deceased,               // the record is marked deceased
};

// The reason as the command line prints it: "name", "name and date of
// birth", "date of birth and part of the name", "below floor",
// "ambiguous", "list", "date of birth differs", "age differs", "not on
// today's list", "deceased".
QString identificationReasonText(IdentificationReason reason);

// How each entry of today's list is named on screen.
enum class NameEvidence {
    None,
    Elsewhere, // named, but not as the record's person
    InList,    // in a list of people
    Subject,   // as the record's person
};
QString nameEvidenceText(NameEvidence evidence);

struct PatientIdentification {
    // Index into the list of the proposed patient; none when nobody is.
    std::optional<qsizetype> proposed;
    IdentificationReason reason = IdentificationReason::BelowFloor;
    // Whether the proposed patient's date of birth stands with them on screen.
    bool dobOnScreen = false;
    // Indices of the patients to offer first when nobody is proposed.
    QList<qsizetype> candidates;
    // Each entry's evidence, in list order.
    QList<NameEvidence> evidence;
    // An entry whose name the record's person has, ruled out by the date of
    // birth or the age shown with them (the index, and the fact as shown).
    std::optional<qsizetype> contradicted;
    QString contradictingDate;
    // Who the screen is about, as read; none when that cannot be told.
    std::optional<NameOnScreen> subject;
    // When it cannot be told: the different people standing in the
    // record's place.
    QList<NameOnScreen> rivals;
};

// The decision for `patients` (patient entries) and the window's text, ages
// counted at `today`. An absent text or an empty list proposes nobody.
PatientIdentification identifyPatient(const QVariantList &patients, const ScreenText &screen,
                                      const QDate &today = QDate::currentDate());
PatientIdentification identifyPatient(const QVariantList &patients, const std::optional<QString> &text,
                                      const QDate &today = QDate::currentDate());
