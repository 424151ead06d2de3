#include "app/patient_list.h"

#include <QMetaType>

const QStringList &kcPatientEntryKeys() {
    static const QStringList keys = {KCPatientNameKey,           KCPatientDOBKey,
                                     KCPatientEMRPatientIDKey,   KCPatientEMRAppointmentIDKey,
                                     KCPatientProfileImageIDKey, KCPatientKelvraIDKey,
                                     KCPatientInteractionIDKey,  KCPatientExamRoomNameKey};
    return keys;
}

bool kcIsNullOrAbsent(const QVariant &value) {
    return !value.isValid() || value.metaType() == QMetaType::fromType<std::nullptr_t>();
}

QString kcValueText(const QVariant &value) {
    if (kcIsNullOrAbsent(value))
        return QString();
    switch (value.metaType().id()) {
    case QMetaType::QString:
        return value.toString();
    case QMetaType::Double:
    case QMetaType::Float: {
        const double d = value.toDouble();
        if (d == static_cast<double>(static_cast<qint64>(d)))
            return QString::number(static_cast<qint64>(d));
        return QString::number(d, 'g', 17);
    }
    case QMetaType::Bool:
        return value.toBool() ? QStringLiteral("true") : QStringLiteral("false");
    default:
        return value.toString();
    }
}

QVariant kcValueForKeyPath(const QVariantMap &map, const QString &keyPath) {
    const QStringList parts = keyPath.split(QLatin1Char('.'));
    QVariant current = map;
    for (const QString &part : parts) {
        if (current.metaType().id() != QMetaType::QVariantMap)
            return QVariant();
        const QVariantMap m = current.toMap();
        auto it = m.constFind(part);
        if (it == m.constEnd())
            return QVariant();
        current = it.value();
    }
    return current;
}

bool kcLikeMatch(const QString &text, const QString &pattern) {
    // Greedy matching with one backtracking point for the last "*": linear in
    // practice, never exponential.
    qsizetype t = 0, p = 0, starP = -1, starT = 0;
    while (t < text.size()) {
        if (p < pattern.size() && pattern[p] == QLatin1Char('*')) {
            starP = p++;
            starT = t;
        } else if (p < pattern.size() && (pattern[p] == QLatin1Char('?') || pattern[p] == text[t])) {
            ++p;
            ++t;
        } else if (starP >= 0) {
            p = starP + 1;
            t = ++starT;
        } else {
            return false;
        }
    }
    while (p < pattern.size() && pattern[p] == QLatin1Char('*'))
        ++p;
    return p == pattern.size();
}

std::optional<QString> kcExamRoomNameForID(const QVariantList &examRooms, const QVariant &roomID) {
    if (kcIsNullOrAbsent(roomID))
        return std::nullopt;
    const QString pattern = kcValueText(roomID);
    for (const QVariant &room : examRooms) {
        if (room.metaType().id() != QMetaType::QVariantMap)
            continue;
        const QVariant id = kcValueForKeyPath(room.toMap(), QStringLiteral("ClinicExamRoom.id"));
        if (kcIsNullOrAbsent(id))
            continue;
        if (kcLikeMatch(kcValueText(id), pattern))
            return kcValueText(kcValueForKeyPath(room.toMap(), QStringLiteral("ClinicExamRoom.name")));
    }
    return std::nullopt;
}

static QString firstEMRPatientID(const QVariantMap &assignment) {
    const QVariant links = kcValueForKeyPath(assignment, QStringLiteral("Patient.EmrPatientLink"));
    if (links.metaType().id() != QMetaType::QVariantList)
        return QString();
    const QVariantList list = links.toList();
    if (list.isEmpty() || list.first().metaType().id() != QMetaType::QVariantMap)
        return QString();
    return kcValueText(list.first().toMap().value(QStringLiteral("emr_patient_id")));
}

static QString joinedName(const QVariantMap &assignment) {
    const QString first = kcValueText(kcValueForKeyPath(assignment, QStringLiteral("Patient.first_name")));
    const QString last = kcValueText(kcValueForKeyPath(assignment, QStringLiteral("Patient.last_name")));
    // A missing part leaves no stray space behind.
    if (first.isEmpty())
        return last;
    if (last.isEmpty())
        return first;
    return first + QLatin1Char(' ') + last;
}

// Ids are passed on as the service sent them; an absent one becomes the
// empty text so that the key is always there.
static QVariant idAsSent(const QVariantMap &assignment, const QString &keyPath) {
    const QVariant value = kcValueForKeyPath(assignment, keyPath);
    return value.isValid() ? value : QVariant(QString());
}

QString kcProfileImageUploadID(const QVariantMap &assignment) {
    return kcValueText(kcValueForKeyPath(assignment, QStringLiteral("Patient.profile_image__upload_id")));
}

QVariantMap kcPatientEntryFromAssignment(const QVariantMap &assignment, const QVariantList &examRooms) {
    const QVariant roomID =
        kcValueForKeyPath(assignment, QStringLiteral("ClinicPatientDeviceAssignment.clinic_exam_room_id"));
    QVariantMap entry;
    entry.insert(KCPatientNameKey, joinedName(assignment));
    entry.insert(KCPatientDOBKey, kcValueText(kcValueForKeyPath(assignment, QStringLiteral("Patient.dob"))));
    entry.insert(KCPatientEMRPatientIDKey, firstEMRPatientID(assignment));
    entry.insert(KCPatientEMRAppointmentIDKey,
                 kcValueText(kcValueForKeyPath(
                     assignment, QStringLiteral("ClinicPatientDeviceAssignment.emr_appointment_id"))));
    entry.insert(KCPatientProfileImageIDKey, kcProfileImageUploadID(assignment));
    entry.insert(KCPatientKelvraIDKey,
                 idAsSent(assignment, QStringLiteral("ClinicPatientDeviceAssignment.patient_id")));
    entry.insert(KCPatientInteractionIDKey, idAsSent(assignment, QStringLiteral("Interaction.id")));
    entry.insert(KCPatientExamRoomNameKey, kcExamRoomNameForID(examRooms, roomID).value_or(QString()));
    // The name's parts, so that the identification keeps a last name of
    // several words together.
    entry.insert(KCPatientFirstNameKey,
                 kcValueText(kcValueForKeyPath(assignment, QStringLiteral("Patient.first_name"))));
    entry.insert(KCPatientLastNameKey,
                 kcValueText(kcValueForKeyPath(assignment, QStringLiteral("Patient.last_name"))));
    return entry;
}

QVariantList kcPatientEntriesFromAssignments(const QVariantList &assignments, const QVariantList &examRooms) {
    QVariantList entries;
    entries.reserve(assignments.size());
    for (const QVariant &record : assignments) {
        if (record.metaType().id() != QMetaType::QVariantMap)
            continue;
        entries.append(kcPatientEntryFromAssignment(record.toMap(), examRooms));
    }
    return entries;
}
