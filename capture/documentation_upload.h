#pragma once
// The documentation records of an accepted capture: one for the clinic
// service, one for the clinic's EMR.

#include <QImage>
#include <QString>
#include <QVariant>
#include <QVariantMap>

// The caption text that stands for "no caption" in the EMR record.
inline const QString KCOptionalImageCaption = QStringLiteral("Optional Image Caption");

// A new UUID: 36 characters, upper-case hexadecimal digits in groups of 8, 4,
// 4, 4 and 12 separated by "-".
QString newUUIDString();

// Standard Base64 without line breaks of the image's PNG / TIFF encoding;
// empty for a null image.
QString pngBase64(const QImage &image);
QString tiffBase64(const QImage &image);

// The clinic record: "encounter_note" = `note` as typed, "interaction_id"
// (left out when null or empty), "id", and "Upload" = [{"id", "content" (PNG),
// "user_id" (left out when null), "file_type": "image/png"}].
QVariantMap clinicDocumentationRecord(const QImage &image, const QVariant &interactionID, const QString &note,
                                      const QVariant &userID);

// The EMR record for `patient`: "encounter_note" = the caption unless it is
// empty or "Optional Image Caption" (then ""), "interaction_id" from
// "ClinicPatientDeviceAssignment" -> "interaction_id" (left out when absent),
// "id", and "Upload" = [{"id", "content" (TIFF), "file_type": "image/png",
// "file_name": "macOSCapture_<UUID>"}].
QVariantMap emrDocumentationRecord(const QImage &image, const QVariantMap &patient, const QString &caption);
