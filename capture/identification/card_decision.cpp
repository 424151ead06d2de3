#include "capture/identification/card_decision.h"

namespace {

// Whether the text holds at least three letters: anything a window could be
// read for.
bool holdsWords(const QString &text) {
    int letters = 0;
    for (QChar c : text)
        if (c.isLetter() && ++letters >= 3)
            return true;
    return false;
}

} // namespace

CardDecider::CardDecider(QVariantList patients, const QDate &today)
    : m_patients(std::move(patients)), m_today(today) {}

QString CardDecider::birthDateCheck(qsizetype index, bool *onScreen) const {
    const QDate birth =
        patientBirthDate(m_patients.at(index).toMap().value(QStringLiteral("dob")).toString());
    // The date of birth of the record's person when one was read, else any
    // date on screen.
    *onScreen = m_subject && m_subject->facts.hasBirthDate() ? dateIsAmong(birth, m_subject->facts.birthDates)
                                                             : dateIsAmong(birth, findDates(m_textSoFar));
    return *onScreen ? QStringLiteral("DOB on screen \u2713") : QStringLiteral("DOB not on screen");
}

CardDecision CardDecider::patientCard(qsizetype index, const PatientIdentification &identification,
                                      bool accept) const {
    CardDecision card;
    card.show = CardDecision::Show::Patient;
    card.patient = index;
    card.acceptEnabled = accept;
    card.identification = identification;
    card.check = birthDateCheck(index, &card.checkPassed);
    if (identification.proposed == index &&
        identification.reason == IdentificationReason::BirthDateAndPartOfName)
        card.check += QStringLiteral(" \u00b7 part of the name");
    return card;
}

std::optional<CardDecision> CardDecider::topBandRead(const ScreenText &top) {
    if (m_early || m_chosen || m_patients.isEmpty())
        return std::nullopt;
    const PatientIdentification identification = identifyPatient(m_patients, top, m_today);
    m_subject = identification.subject;
    // Only the surest proposal shows before the rest is read: the name and
    // the date of birth, both in the top of the window.
    if (!identification.proposed || !identification.dobOnScreen)
        return std::nullopt;
    m_early = identification.proposed;
    m_textSoFar = top.text;
    CardDecision card = patientCard(*m_early, identification, false);
    card.check += QStringLiteral(" \u00b7 checking the rest");
    return card;
}

CardDecision CardDecider::chosen(const QVariantMap &patient) {
    qsizetype index = m_patients.indexOf(patient);
    if (index < 0) {
        // Today's list changed since the capture began.
        m_patients.append(patient);
        index = m_patients.size() - 1;
    }
    m_chosen = index;
    return patientCard(index, {}, true);
}

CardDecision CardDecider::wholeWindowRead(const std::optional<ScreenText> &screen) {
    m_replacedEarly = false;
    if (screen)
        m_textSoFar = screen->text;
    if (m_chosen)
        return patientCard(*m_chosen, {}, true);
    const bool readSomething = screen && holdsWords(screen->text);
    PatientIdentification identification;
    if (readSomething && !m_patients.isEmpty())
        identification = identifyPatient(m_patients, *screen, m_today);
    m_subject = identification.subject;
    if (identification.proposed) {
        // The rest of the window may change the decision: the early card
        // then never files.
        m_replacedEarly = m_early && identification.proposed != m_early;
        return patientCard(*identification.proposed, identification, true);
    }
    m_replacedEarly = m_early.has_value();
    CardDecision card;
    card.identification = identification;
    if ((!readSomething || m_patients.isEmpty()) && !m_early) {
        card.show = CardDecision::Show::Rest;
        return card;
    }
    // Words were read but name nobody for sure (or the rest of the window
    // could not be read after an early card): the clinician chooses.
    card.show = CardDecision::Show::Table;
    card.firstRows = identification.candidates;
    const auto name = [&](std::optional<qsizetype> index) {
        return index ? m_patients.at(*index).toMap().value(QStringLiteral("name")).toString() : QString();
    };
    switch (identification.reason) {
    case IdentificationReason::BirthDateContradicts:
        card.check = QStringLiteral("DOB %1 on screen is not %2's")
                         .arg(identification.contradictingDate, name(identification.contradicted));
        break;
    case IdentificationReason::AgeContradicts:
        card.check = QStringLiteral("Age %1 on screen is not %2's")
                         .arg(identification.contradictingDate, name(identification.contradicted));
        break;
    case IdentificationReason::NotBooked:
        card.check = QStringLiteral("The record on screen is for %1, who is not on today's list")
                         .arg(identification.subject->name.asRead);
        break;
    case IdentificationReason::Deceased:
        card.check = QStringLiteral("The record on screen is marked deceased");
        break;
    case IdentificationReason::List:
        card.check = QStringLiteral("A list of patients on screen");
        break;
    case IdentificationReason::Ambiguous:
        card.check = QStringLiteral("Several patients on screen");
        break;
    default:
        break;
    }
    return card;
}
