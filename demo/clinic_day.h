#pragma once
// The made-up clinic behind the demo service: a fixed roster of patients,
// exam rooms, and a deterministic schedule of patient-device assignments for
// any day, so that repeated fetches of one day give the same ids.

#include <QDate>
#include <QDateTime>
#include <QImage>
#include <QJsonArray>
#include <QJsonObject>
#include <QList>
#include <QString>
#include <optional>

struct DemoPatient {
    QString id; // the clinic's patient id
    QString firstName;
    QString lastName;
    QString dob;             // "yyyy-MM-dd", or empty for an unknown date of birth
    QString emrPatientId;    // empty when the patient has no EMR link
    QString profileImageId;  // empty when the patient has no picture
    QString emrDepartmentId; // the patient's department in the EMR
    QString fullName() const { return firstName + QLatin1Char(' ') + lastName; }
};

struct DemoAssignment {
    QString assignmentId;
    QString interactionId;
    QString examRoomId;
    QString emrAppointmentId; // empty when the visit has no EMR appointment
    QDateTime startUtc;
    int patientIndex = -1; // into DemoClinic::patients()
};

class DemoClinic {
public:
    DemoClinic();

    const QList<DemoPatient> &patients() const { return m_patients; }
    // Patients that exist only in the EMR (not booked in the clinic service).
    const QList<DemoPatient> &emrOnlyPatients() const { return m_emrOnly; }

    // The exam rooms as the clinic service sends them.
    QJsonArray examRoomsJson() const;
    QString examRoomName(const QString &id) const;

    // The schedule of the clinic day whose local midnight is `dayStartUtc`
    // (the visits run from 08:00 to the afternoon of that day).
    QList<DemoAssignment> scheduleForDay(const QDateTime &dayStartUtc) const;
    // Every assignment that starts within [beginUtc, endUtc]; the days are
    // anchored at `beginUtc` (the caller's local midnight).
    QList<DemoAssignment> assignmentsBetween(const QDateTime &beginUtc, const QDateTime &endUtc) const;
    // The assignment record sent to clients.
    QJsonObject assignmentJson(const DemoAssignment &assignment) const;

    // The patient of a known interaction id (from any day), or nullopt.
    std::optional<DemoPatient> patientForInteraction(const QString &interactionId) const;
    // A patient by EMR patient id (clinic patients with an EMR link and
    // EMR-only patients), or nullopt.
    std::optional<DemoPatient> patientForEmrId(const QString &emrPatientId) const;
    // A patient by profile image id, or nullopt.
    std::optional<DemoPatient> patientForImage(const QString &imageId) const;

    // Every patient (clinic and EMR-only) as a FHIR R4 Patient in a
    // collection Bundle, for a FHIR server that stands in for the EHR: the id
    // is the EMR patient id ("kc-<clinic id>" without an EMR link), with an
    // MRN identifier and the date of birth where it is known.
    QJsonObject fhirPatientBundle() const;

    // A generated portrait of the patient, `width` x `height` pixels.
    static QImage portrait(const DemoPatient &patient, int width, int height);

    // The local calendar date that a window starting at `beginUtc` (someone's
    // local midnight, sent as UTC wall-clock time) most likely stands for.
    static QDate localDateOfDayStart(const QDateTime &dayStartUtc);

private:
    // The first patient (clinic or EMR-only) whose `member` equals a non-empty `value`.
    std::optional<DemoPatient> findPatient(QString DemoPatient::*member, const QString &value) const;

    QList<DemoPatient> m_patients;
    QList<DemoPatient> m_emrOnly;
    QList<QPair<QString, QString>> m_rooms; // id, name
};
