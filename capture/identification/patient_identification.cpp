#include "capture/identification/patient_identification.h"

#include "capture/identification/names.h"

#include <QHash>
#include <QVariantMap>
#include <algorithm>
#include <cmath>

QString identificationReasonText(IdentificationReason reason) {
    switch (reason) {
    case IdentificationReason::Name:
        return QStringLiteral("name");
    case IdentificationReason::NameAndBirthDate:
        return QStringLiteral("name and date of birth");
    case IdentificationReason::BirthDateAndPartOfName:
        return QStringLiteral("date of birth and part of the name");
    case IdentificationReason::BelowFloor:
        return QStringLiteral("below floor");
    case IdentificationReason::Ambiguous:
        return QStringLiteral("ambiguous");
    case IdentificationReason::List:
        return QStringLiteral("list");
    case IdentificationReason::BirthDateContradicts:
        return QStringLiteral("date of birth differs");
    case IdentificationReason::AgeContradicts:
        return QStringLiteral("age differs");
    case IdentificationReason::NotBooked:
        return QStringLiteral("not on today's list");
    case IdentificationReason::Deceased:
        return QStringLiteral("deceased");
    }
    return {};
}

QString nameEvidenceText(NameEvidence evidence) {
    switch (evidence) {
    case NameEvidence::None:
        return QString();
    case NameEvidence::Elsewhere:
        return QStringLiteral("named elsewhere");
    case NameEvidence::InList:
        return QStringLiteral("in a list");
    case NameEvidence::Subject:
        return QStringLiteral("subject");
    }
    return {};
}

namespace {

// One person of today's list (two visits of one person are one person).
struct Person {
    qsizetype entry; // the first entry of this person in the list
    QList<BookedName> names;
    QDate birthDate;
};

// Entries of one person: the same clinic id, or, without ids, the same
// name and date of birth.
QString personKey(const QVariantMap &patient) {
    const QString id = patient.value(QStringLiteral("kelvraID")).toString();
    if (!id.isEmpty())
        return QStringLiteral("id:") + id;
    return QStringLiteral("name:") + foldName(patient.value(QStringLiteral("name")).toString()).simplified() +
           QLatin1Char('|') + patient.value(QStringLiteral("dob")).toString().trimmed();
}

enum class Fact { Unknown, Agrees, Contradicts };

class Decision {
public:
    Decision(const QVariantList &patients, const ScreenText &screen, const QDate &today)
        : m_patients(patients), m_today(today), m_reading(readScreen(screen, today)) {
        QHash<QString, int> seen;
        for (qsizetype i = 0; i < patients.size(); ++i) {
            const QVariantMap entry = patients.at(i).toMap();
            const QString key = personKey(entry);
            if (const auto it = seen.constFind(key); it != seen.constEnd()) {
                m_personOfEntry << *it;
                continue;
            }
            seen.insert(key, int(m_persons.size()));
            m_personOfEntry << int(m_persons.size());
            m_persons.append(
                {i, bookedNames(entry), patientBirthDate(entry.value(QStringLiteral("dob")).toString())});
            for (const BookedName &name : m_persons.last().names)
                m_bySurname[name.surname.join(QString())] << int(m_persons.size() - 1);
        }
    }

    PatientIdentification decide() {
        PatientIdentification result;
        result.evidence = QList<NameEvidence>(m_patients.size(), NameEvidence::None);
        result.subject = m_reading.subject;
        result.rivals = m_reading.rivals;
        weighEvidence(result);
        if (!m_reading.rivals.isEmpty()) {
            result.reason = IdentificationReason::Ambiguous;
            for (const NameOnScreen &rival : m_reading.rivals)
                for (int p = 0; p < int(m_persons.size()); ++p)
                    if (compareName(rival.name, m_persons.at(p).names) != NameAgreement::None)
                        offer(result, p);
            return result;
        }
        if (m_reading.subject)
            decideForSubject(*m_reading.subject, result);
        else
            decideWithoutSubject(result);
        return result;
    }

private:
    Fact birthDate(const NameOnScreen &subject, int person) const {
        const QDate &birth = m_persons.at(person).birthDate;
        if (!subject.facts.hasBirthDate() || !birth.isValid())
            return Fact::Unknown;
        const bool any = std::any_of(subject.facts.birthDates.begin(), subject.facts.birthDates.end(),
                                     [&](const FoundDate &d) { return sameDay(d, birth); });
        return any ? Fact::Agrees : Fact::Contradicts;
    }

    Fact age(const NameOnScreen &subject, int person) const {
        const QDate &birth = m_persons.at(person).birthDate;
        if (!subject.facts.age || !birth.isValid())
            return Fact::Unknown;
        const double booked = ageInYears(birth, m_today);
        const double shown = *subject.facts.age;
        // Ages under two are often written in months or weeks.
        const double tolerance = shown < 2 ? 0.5 : 1.0;
        return std::abs(std::floor(shown) - booked) <= tolerance || std::abs(shown - booked) <= tolerance
                   ? Fact::Agrees
                   : Fact::Contradicts;
    }

    void decideForSubject(const NameOnScreen &subject, PatientIdentification &result) {
        QList<int> fitting, byName;
        QList<NameAgreement> agreements;
        for (int p = 0; p < int(m_persons.size()); ++p) {
            const NameAgreement name = compareName(subject.name, m_persons.at(p).names);
            agreements << name;
            if (name == NameAgreement::None || name == NameAgreement::Contradicts)
                continue;
            const Fact dob = birthDate(subject, p), years = age(subject, p);
            const bool nameHolds = name == NameAgreement::Agrees || dob == Fact::Agrees;
            // A name alone at the foot of a screen (nothing else names the
            // record's person) counts only with its date of birth.
            const bool placeHolds = subject.where != QLatin1String("name and date of birth") ||
                                    (name == NameAgreement::Agrees && dob == Fact::Agrees);
            if (nameHolds && placeHolds && dob != Fact::Contradicts && years != Fact::Contradicts)
                fitting << p;
            else if (name == NameAgreement::Agrees)
                byName << p;
        }
        if (subject.facts.deceased) {
            result.reason = IdentificationReason::Deceased;
            for (int p : fitting + byName)
                offer(result, p);
            return;
        }
        if (fitting.size() == 1) {
            const int p = fitting.first();
            result.proposed = m_persons.at(p).entry;
            result.dobOnScreen = birthDate(subject, p) == Fact::Agrees;
            result.reason = agreements.at(p) != NameAgreement::Agrees
                                ? IdentificationReason::BirthDateAndPartOfName
                            : result.dobOnScreen ? IdentificationReason::NameAndBirthDate
                                                 : IdentificationReason::Name;
            return;
        }
        if (fitting.size() > 1) {
            result.reason = IdentificationReason::Ambiguous;
            for (int p : fitting)
                offer(result, p);
            return;
        }
        if (!byName.isEmpty()) {
            const int p = byName.first();
            const bool dobDiffers = birthDate(subject, p) == Fact::Contradicts;
            result.reason = dobDiffers ? IdentificationReason::BirthDateContradicts
                                       : IdentificationReason::AgeContradicts;
            result.contradicted = m_persons.at(p).entry;
            result.contradictingDate = dobDiffers ? subject.facts.birthDateShown : subject.facts.ageShown;
            for (int q : byName)
                offer(result, q);
            offerByBirthDate(subject, result);
            return;
        }
        result.reason = IdentificationReason::NotBooked;
        // Namesakes and relatives first: the clinician chooses.
        for (int p = 0; p < int(m_persons.size()); ++p)
            if (agreements.at(p) != NameAgreement::None)
                offer(result, p);
        offerByBirthDate(subject, result);
    }

    // The patients whose date of birth the subject has.
    void offerByBirthDate(const NameOnScreen &subject, PatientIdentification &result) const {
        for (int p = 0; p < int(m_persons.size()); ++p)
            if (birthDate(subject, p) == Fact::Agrees)
                offer(result, p);
    }

    void decideWithoutSubject(PatientIdentification &result) {
        result.reason = m_reading.list ? IdentificationReason::List : IdentificationReason::BelowFloor;
        // The booked people named on screen, list rows first, in screen order.
        QList<const NameOnScreen *> others;
        for (const NameOnScreen &o : m_reading.others)
            others << &o;
        std::stable_sort(others.begin(), others.end(), [](const NameOnScreen *a, const NameOnScreen *b) {
            if (a->inList != b->inList)
                return a->inList;
            return a->row < b->row;
        });
        for (const NameOnScreen *o : others) {
            if (o->staff)
                continue;
            for (int p : bySurname(o->name))
                if (compareName(o->name, m_persons.at(p).names) == NameAgreement::Agrees)
                    offer(result, p);
        }
    }

    void weighEvidence(PatientIdentification &result) const {
        QList<NameEvidence> perPerson(m_persons.size(), NameEvidence::None);
        auto raise = [&](const NameOnScreen &n, NameEvidence e) {
            for (int p : bySurname(n.name))
                if (compareName(n.name, m_persons.at(p).names) == NameAgreement::Agrees)
                    perPerson[p] = std::max(perPerson[p], e);
        };
        for (const NameOnScreen &o : m_reading.others)
            raise(o, o.inList ? NameEvidence::InList : NameEvidence::Elsewhere);
        if (m_reading.subject)
            for (int p = 0; p < int(m_persons.size()); ++p)
                if (compareName(m_reading.subject->name, m_persons.at(p).names) != NameAgreement::None)
                    perPerson[p] = NameEvidence::Subject;
        for (qsizetype i = 0; i < m_patients.size(); ++i)
            result.evidence[i] = perPerson.at(m_personOfEntry.at(i));
    }

    void offer(PatientIdentification &result, int person) const {
        const qsizetype entry = m_persons.at(person).entry;
        if (!result.candidates.contains(entry))
            result.candidates << entry;
    }

    // The persons whose whole last name a name on screen holds (runs of
    // its words put together): the only ones its name can be whole.
    QList<int> bySurname(const ReadName &name) const {
        QList<int> out;
        for (qsizetype a = 0; a < name.parts.size(); ++a) {
            QString joined;
            for (qsizetype b = a; b < name.parts.size(); ++b) {
                joined += name.parts.at(b);
                for (int p : m_bySurname.value(joined))
                    if (!out.contains(p))
                        out << p;
            }
        }
        return out;
    }

    const QVariantList &m_patients;
    QDate m_today;
    ScreenReading m_reading;
    QList<Person> m_persons;
    QList<int> m_personOfEntry;
    QHash<QString, QList<int>> m_bySurname;
};

} // namespace

PatientIdentification identifyPatient(const QVariantList &patients, const ScreenText &screen,
                                      const QDate &today) {
    if (patients.isEmpty() || screen.words.isEmpty()) {
        PatientIdentification none;
        none.evidence = QList<NameEvidence>(patients.size(), NameEvidence::None);
        if (!screen.words.isEmpty())
            none.subject = readScreen(screen, today).subject;
        return none;
    }
    return Decision(patients, screen, today).decide();
}

PatientIdentification identifyPatient(const QVariantList &patients, const std::optional<QString> &text,
                                      const QDate &today) {
    return identifyPatient(patients, text ? ScreenText::fromText(*text) : ScreenText(), today);
}
