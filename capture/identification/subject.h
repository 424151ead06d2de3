#pragma once
// Who a screen is about, read from its layout alone, before today's list is
// looked at: the person named in the record's banner or title, after a
// "Patient:"-like label, on a "Re:" line, with the facts that stand with
// them (date of birth, age, sex, record number, a deceased mark). Everyone
// else named on screen is listed as context.

#include "capture/identification/dates.h"
#include "capture/identification/names.h"
#include "capture/screen_text.h"

#include <QDate>
#include <QList>
#include <QString>
#include <optional>

// Facts bound to a name by the layout: on its line after it, in the
// lines of its banner, in the fields of its form.
struct BoundFacts {
    // Every reading of the one date of birth bound (day and month both
    // ways when the order cannot be told); empty when none is.
    QList<FoundDate> birthDates;
    QString birthDateShown;
    std::optional<double> age; // years
    QString ageShown;
    QString sex;
    QString recordNumber;
    bool deceased = false;
    bool hasBirthDate() const { return !birthDates.isEmpty(); }
};

struct NameOnScreen {
    ReadName name;
    BoundFacts facts;
    // Where it stands: "label" (after "Patient:", "Re:" and the like),
    // "form" (a bare "Name:" field, or last and first name fields),
    // "banner" (the top of the record, with facts), "title" (the top of the
    // record, a heading, a document's title), "name and date of birth" (a
    // line of its own with a date of birth, nothing else found); for the
    // others: "list", "field" (the value of another label), "text".
    QString where;
    int row = 0; // reading order
    bool inList = false;
    bool staff = false; // a clinician's title or credential stands with it
};

struct ScreenReading {
    std::optional<NameOnScreen> subject;
    // Other people named in the subject's place, as strongly: the screen's
    // person cannot be told.
    QList<NameOnScreen> rivals;
    // Everyone else named on screen.
    QList<NameOnScreen> others;
    // The screen holds a list of people (rows of the same shape, each with
    // a name): a schedule, a worklist, a census, search results.
    bool list = false;
};

ScreenReading readScreen(const ScreenText &screen, const QDate &today);
