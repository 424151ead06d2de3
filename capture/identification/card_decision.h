#pragma once
// What the capture card shows for a capture: the patient proposed from the
// top of the window (early, Accept waiting), confirmed or replaced once the
// whole window is read, or the patient table with the likely patients
// first; and the line under the patient that tells the clinician what the
// proposal rests on. The capture panel only shows it; `kelvra-capture match`
// prints it.

#include "capture/identification/patient_identification.h"
#include "capture/screen_text.h"

#include <QDate>
#include <QList>
#include <QString>
#include <QVariantList>
#include <QVariantMap>
#include <optional>

struct CardDecision {
    enum class Show {
        Rest,    // nothing was read: back to the capture button, no card
        Patient, // the card with `patient`
        Table,   // the card on the patient table, nobody proposed
    };
    Show show = Show::Rest;
    // Index into the list of the patient on the card.
    std::optional<qsizetype> patient;
    // Accept may file for `patient` (false while the rest of the window is read).
    bool acceptEnabled = false;
    // The line under the patient: the date-of-birth check, or why nobody is
    // proposed. `checkPassed` colours it (green: date of birth on screen).
    QString check;
    bool checkPassed = false;
    // The table's first rows (indices into the list) when it opens.
    QList<qsizetype> firstRows;
    // The identification behind the card.
    PatientIdentification identification;
};

class CardDecider {
public:
    // Ages on screen are checked at `today`.
    explicit CardDecider(QVariantList patients, const QDate &today = QDate::currentDate());

    const QVariantList &patients() const { return m_patients; }

    // The top band was read: a card to show at once when it names a patient
    // with their date of birth (Accept waits for the rest), else none.
    std::optional<CardDecision> topBandRead(const ScreenText &top);

    // The whole window was read (none: nothing could be read). Confirms the
    // early card, keeps a patient chosen from the table meanwhile, or
    // decides afresh; `replacesEarly` tells that an early card was shown for
    // a patient the whole window does not confirm.
    CardDecision wholeWindowRead(const std::optional<ScreenText> &screen);
    bool replacesEarly() const { return m_replacedEarly; }

    // The clinician chose `patient` from the table: the card for them,
    // checked against the text read so far. The choice stands whatever the
    // rest of the window says.
    CardDecision chosen(const QVariantMap &patient);

private:
    CardDecision patientCard(qsizetype index, const PatientIdentification &identification, bool accept) const;
    QString birthDateCheck(qsizetype index, bool *onScreen) const;

    QVariantList m_patients;
    QDate m_today;
    QString m_textSoFar;                   // for the date-of-birth check of a chosen patient
    std::optional<NameOnScreen> m_subject; // the record's person, as read so far
    std::optional<qsizetype> m_early;
    std::optional<qsizetype> m_chosen;
    bool m_replacedEarly = false;
};
