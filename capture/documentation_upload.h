#pragma once
// The documentation records of an accepted capture: one for the clinic
// service, one for the clinic's EMR. Both are built without their image; the
// upload queue keeps the capture's image once (PNG) and puts it into each
// record as "content" when it sends the record.

#include <QImage>
#include <QString>
#include <QVariant>
#include <QVariantList>
#include <QVariantMap>

#include <optional>

// The caption text that stands for "no caption" in the EMR record.
inline const QString KCOptionalImageCaption = QStringLiteral("Optional Image Caption");

// A new UUID: 36 characters, upper-case hexadecimal digits in groups of 8, 4,
// 4, 4 and 12 separated by "-".
QString newUUIDString();

// The PNG encoding of the image (empty for a null image).
QByteArray kcPngBytes(const QImage &image);

// The clinic record: "encounter_note" = `note` as typed, "interaction_id"
// (left out when null or empty), "id", and "Upload" = [{"id", "user_id" (left
// out when null), "file_type": "image/png"}].
QVariantMap clinicDocumentationRecord(const QVariant &interactionID, const QString &note,
                                      const QVariant &userID);

// The EMR record for `patient`: "encounter_note" = the caption unless it is
// empty or "Optional Image Caption" (then ""), "interaction_id" from
// "ClinicPatientDeviceAssignment" -> "interaction_id" (left out when absent),
// "id", and "Upload" = [{"id", "file_type": "image/png", "file_name":
// "macOSCapture_<UUID>"}].
QVariantMap emrDocumentationRecord(const QVariantMap &patient, const QString &caption);

// `record` with standard Base64 text without line breaks of the image (PNG)
// as its upload entry's "content".
QVariantMap kcRecordWithContent(const QVariantMap &record, const QString &base64);

// An id as text: a service may give one as a number and later as text.
QString kcIdText(const QVariant &value);

// What is kept of a patient entry with a waiting record: its ids ("kelvraID",
// "emr_patient_id", "emr_appointment_id", "interaction_id"; those that are
// set), never the name or the date of birth.
QVariantMap kcPatientIds(const QVariantMap &patient);
// The one entry of `patients` that carries every id of `ids`; none when no
// entry or more than one does, or when `ids` holds none.
std::optional<QVariantMap> kcPatientWithIds(const QVariantList &patients, const QVariantMap &ids);
