#include "capture/documentation_upload.h"

#include <QBuffer>
#include <QImageWriter>
#include <QUuid>

QString newUUIDString() {
    return QUuid::createUuid().toString(QUuid::WithoutBraces).toUpper();
}

QByteArray kcPngBytes(const QImage &image) {
    if (image.isNull())
        return QByteArray();
    QByteArray bytes;
    QBuffer buffer(&bytes);
    buffer.open(QIODevice::WriteOnly);
    QImageWriter writer(&buffer, "png");
    if (!writer.write(image))
        return QByteArray();
    return bytes;
}

// A value worth sending: the patient entries give a missing id as "".
static bool present(const QVariant &value) {
    if (!value.isValid() || value.isNull())
        return false;
    return value.metaType().id() != QMetaType::QString || !value.toString().isEmpty();
}

QVariantMap clinicDocumentationRecord(const QVariant &interactionID, const QString &note,
                                      const QVariant &userID) {
    QVariantMap upload{{QStringLiteral("id"), newUUIDString()}};
    if (present(userID))
        upload.insert(QStringLiteral("user_id"), userID);
    upload.insert(QStringLiteral("file_type"), QStringLiteral("image/png"));
    QVariantMap record{{QStringLiteral("encounter_note"), note}, {QStringLiteral("id"), newUUIDString()}};
    if (present(interactionID))
        record.insert(QStringLiteral("interaction_id"), interactionID);
    record.insert(QStringLiteral("Upload"), QVariantList{upload});
    return record;
}

QVariantMap emrDocumentationRecord(const QVariantMap &patient, const QString &caption) {
    const QString note = (caption.isEmpty() || caption == KCOptionalImageCaption) ? QString("") : caption;
    QVariantMap record{{QStringLiteral("encounter_note"), note}, {QStringLiteral("id"), newUUIDString()}};
    const QVariant interaction = patient.value(QStringLiteral("ClinicPatientDeviceAssignment"))
                                     .toMap()
                                     .value(QStringLiteral("interaction_id"));
    if (present(interaction))
        record.insert(QStringLiteral("interaction_id"), interaction);
    QVariantMap upload{{QStringLiteral("id"), newUUIDString()}};
    upload.insert(QStringLiteral("file_type"), QStringLiteral("image/png"));
    upload.insert(QStringLiteral("file_name"), QStringLiteral("macOSCapture_%1").arg(newUUIDString()));
    record.insert(QStringLiteral("Upload"), QVariantList{upload});
    return record;
}

QVariantMap kcRecordWithContent(const QVariantMap &record, const QString &base64) {
    QVariantList uploads = record.value(QStringLiteral("Upload")).toList();
    if (uploads.isEmpty())
        return record;
    QVariantMap upload = uploads.first().toMap();
    upload.insert(QStringLiteral("content"), base64);
    uploads[0] = upload;
    QVariantMap withContent = record;
    withContent.insert(QStringLiteral("Upload"), uploads);
    return withContent;
}

namespace {

const char *const kPatientIdKeys[] = {"kelvraID", "emr_patient_id", "emr_appointment_id", "interaction_id"};

} // namespace

QString kcIdText(const QVariant &value) {
    if (value.metaType().id() == QMetaType::Double)
        return QString::number(value.toDouble(), 'g', 17);
    return value.toString();
}

QVariantMap kcPatientIds(const QVariantMap &patient) {
    QVariantMap ids;
    for (const char *key : kPatientIdKeys) {
        const QVariant value = patient.value(QLatin1String(key));
        if (present(value))
            ids.insert(QLatin1String(key), kcIdText(value));
    }
    return ids;
}

std::optional<QVariantMap> kcPatientWithIds(const QVariantList &patients, const QVariantMap &ids) {
    if (ids.isEmpty())
        return std::nullopt;
    std::optional<QVariantMap> found;
    for (const QVariant &value : patients) {
        const QVariantMap patient = value.toMap();
        bool same = true;
        for (auto it = ids.cbegin(); it != ids.cend() && same; ++it)
            same = kcIdText(patient.value(it.key())) == it.value().toString();
        if (!same)
            continue;
        if (found)
            return std::nullopt; // two entries with these ids: neither is certain
        found = patient;
    }
    return found;
}
