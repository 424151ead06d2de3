#pragma once
// Today's patient list: turning the clinic service's patient-device
// assignments into flat patient entries, and naming exam rooms.
//
// A patient entry is a QVariantMap of the eight keys below, all present in
// every entry, plus "first_name" and "last_name" (the parts of "name", for
// the identification); text values that the service leaves out or sends as
// null become the empty text.

#include <QString>
#include <QStringList>
#include <QVariant>
#include <QVariantList>
#include <QVariantMap>

#include <optional>

inline const QString KCPatientNameKey = QStringLiteral("name");
inline const QString KCPatientDOBKey = QStringLiteral("dob");
inline const QString KCPatientEMRPatientIDKey = QStringLiteral("emr_patient_id");
inline const QString KCPatientEMRAppointmentIDKey = QStringLiteral("emr_appointment_id");
inline const QString KCPatientProfileImageIDKey = QStringLiteral("profile_image_id");
inline const QString KCPatientKelvraIDKey = QStringLiteral("kelvraID");
inline const QString KCPatientInteractionIDKey = QStringLiteral("interaction_id");
inline const QString KCPatientExamRoomNameKey = QStringLiteral("exam_room_name");
// The parts of "name" as the service sent them, kept for the identification.
inline const QString KCPatientFirstNameKey = QStringLiteral("first_name");
inline const QString KCPatientLastNameKey = QStringLiteral("last_name");

// The eight keys of every patient entry.
const QStringList &kcPatientEntryKeys();

// True for a value the service did not send or sent as JSON null.
bool kcIsNullOrAbsent(const QVariant &value);

// An identifier or other scalar as text: texts as they are, integral numbers
// in decimal without a fraction, null and absent values as the empty text.
QString kcValueText(const QVariant &value);

// The value at a dotted key path ("Patient.first_name") of nested maps; an
// invalid QVariant when a step is missing or not a map.
QVariant kcValueForKeyPath(const QVariantMap &map, const QString &keyPath);

// Case-sensitive whole-text comparison in which "*" in `pattern` stands for
// any run of characters (also none) and "?" for exactly one character.
bool kcLikeMatch(const QString &text, const QString &pattern);

// The "ClinicExamRoom.name" of the first exam-room record whose
// "ClinicExamRoom.id" matches `roomID` as a LIKE pattern; none when nothing
// matches, when the id is null or absent, or when there are no rooms.
std::optional<QString> kcExamRoomNameForID(const QVariantList &examRooms, const QVariant &roomID);

// One patient entry from one assignment record.
QVariantMap kcPatientEntryFromAssignment(const QVariantMap &assignment, const QVariantList &examRooms);

// The entries of every record of an assignments answer's "data", in order.
// Elements that are not records are skipped.
QVariantList kcPatientEntriesFromAssignments(const QVariantList &assignments, const QVariantList &examRooms);

// The upload id of the patient's profile image ("Patient.profile_image__upload_id"),
// or the empty text when there is none.
QString kcProfileImageUploadID(const QVariantMap &assignment);
