#include "capture/documentation_upload.h"

#include <QBuffer>
#include <QImageWriter>
#include <QUuid>

QString newUUIDString() {
    return QUuid::createUuid().toString(QUuid::WithoutBraces).toUpper();
}

static QString encoded(const QImage &image, const char *format) {
    if (image.isNull())
        return QString();
    QByteArray bytes;
    QBuffer buffer(&bytes);
    buffer.open(QIODevice::WriteOnly);
    QImageWriter writer(&buffer, format);
    if (!writer.write(image))
        return QString();
    return QString::fromLatin1(bytes.toBase64());
}

QString pngBase64(const QImage &image) {
    return encoded(image, "png");
}
QString tiffBase64(const QImage &image) {
    return encoded(image, "tiff");
}

// A value worth sending: the patient entries give a missing id as "".
static bool present(const QVariant &value) {
    if (!value.isValid() || value.isNull())
        return false;
    return value.metaType().id() != QMetaType::QString || !value.toString().isEmpty();
}

QVariantMap clinicDocumentationRecord(const QImage &image, const QVariant &interactionID, const QString &note,
                                      const QVariant &userID) {
    QVariantMap upload{{QStringLiteral("id"), newUUIDString()}};
    upload.insert(QStringLiteral("content"), pngBase64(image));
    if (present(userID))
        upload.insert(QStringLiteral("user_id"), userID);
    upload.insert(QStringLiteral("file_type"), QStringLiteral("image/png"));
    QVariantMap record{{QStringLiteral("encounter_note"), note}, {QStringLiteral("id"), newUUIDString()}};
    if (present(interactionID))
        record.insert(QStringLiteral("interaction_id"), interactionID);
    record.insert(QStringLiteral("Upload"), QVariantList{upload});
    return record;
}

QVariantMap emrDocumentationRecord(const QImage &image, const QVariantMap &patient, const QString &caption) {
    const QString note = (caption.isEmpty() || caption == KCOptionalImageCaption) ? QString("") : caption;
    QVariantMap record{{QStringLiteral("encounter_note"), note}, {QStringLiteral("id"), newUUIDString()}};
    const QVariant interaction = patient.value(QStringLiteral("ClinicPatientDeviceAssignment"))
                                     .toMap()
                                     .value(QStringLiteral("interaction_id"));
    if (present(interaction))
        record.insert(QStringLiteral("interaction_id"), interaction);
    QVariantMap upload{{QStringLiteral("id"), newUUIDString()}};
    upload.insert(QStringLiteral("content"), tiffBase64(image));
    upload.insert(QStringLiteral("file_type"), QStringLiteral("image/png"));
    upload.insert(QStringLiteral("file_name"), QStringLiteral("macOSCapture_%1").arg(newUUIDString()));
    record.insert(QStringLiteral("Upload"), QVariantList{upload});
    return record;
}
