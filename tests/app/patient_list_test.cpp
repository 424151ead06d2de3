// Patient entries from assignment records, and exam-room names.
#include "app/patient_list.h"

#include <gtest/gtest.h>

namespace {

QVariant null() {
    return QVariant::fromValue(nullptr);
}

QVariantMap assignment(const QString &first, const QString &last,
                       const QVariant &roomID = QStringLiteral("3")) {
    return QVariantMap{
        {QStringLiteral("ClinicPatientDeviceAssignment"),
         QVariantMap{{QStringLiteral("patient_id"), QStringLiteral("101")},
                     {QStringLiteral("emr_appointment_id"), QStringLiteral("A-7")},
                     {QStringLiteral("clinic_exam_room_id"), roomID}}},
        {QStringLiteral("Patient"),
         QVariantMap{{QStringLiteral("first_name"), first},
                     {QStringLiteral("last_name"), last},
                     {QStringLiteral("dob"), QStringLiteral("1970-02-03")},
                     {QStringLiteral("profile_image__upload_id"), QStringLiteral("up-1")},
                     {QStringLiteral("EmrPatientLink"),
                      QVariantList{QVariantMap{{QStringLiteral("emr_patient_id"), QStringLiteral("E1")}},
                                   QVariantMap{{QStringLiteral("emr_patient_id"), QStringLiteral("E2")}}}}}},
        {QStringLiteral("Interaction"), QVariantMap{{QStringLiteral("id"), QStringLiteral("900")}}},
    };
}

QVariantMap room(const QVariant &id, const QString &name) {
    return QVariantMap{{QStringLiteral("ClinicExamRoom"),
                        QVariantMap{{QStringLiteral("id"), id}, {QStringLiteral("name"), name}}}};
}

void setPath(QVariantMap &map, const QString &outer, const QString &inner, const QVariant &value) {
    QVariantMap sub = map.value(outer).toMap();
    if (value.isValid())
        sub.insert(inner, value);
    else
        sub.remove(inner);
    map.insert(outer, sub);
}

} // namespace

TEST(LikeMatch, WildcardsAndCase) {
    EXPECT_TRUE(kcLikeMatch("12", "12"));
    EXPECT_FALSE(kcLikeMatch("12", "1"));
    EXPECT_FALSE(kcLikeMatch("1", "12"));
    EXPECT_FALSE(kcLikeMatch("Room", "room")); // case-sensitive
    EXPECT_TRUE(kcLikeMatch("12", "1?"));
    EXPECT_FALSE(kcLikeMatch("1", "1?"));
    EXPECT_TRUE(kcLikeMatch("123", "1*"));
    EXPECT_TRUE(kcLikeMatch("1", "1*"));
    EXPECT_TRUE(kcLikeMatch("abcbd", "a*b?"));
    EXPECT_TRUE(kcLikeMatch("", "*"));
    EXPECT_FALSE(kcLikeMatch("", "?"));
    EXPECT_TRUE(kcLikeMatch("", ""));
    EXPECT_TRUE(kcLikeMatch("x.y+z", "x.y+z")); // no other special characters
    EXPECT_TRUE(kcLikeMatch("aaaaaaaaaaaaaaaaaaaaaaaaaaaaab", "*a*a*a*a*a*a*b"));
    EXPECT_FALSE(kcLikeMatch("aaaaaaaaaaaaaaaaaaaaaaaaaaaaaa", "*a*a*a*a*a*a*b"));
}

TEST(ExamRoomName, FirstMatchingRoom) {
    const QVariantList rooms = {room(QStringLiteral("1"), "Room One"),
                                room(QStringLiteral("12"), "Room Twelve"), room(13, "Room Thirteen")};
    EXPECT_EQ(kcExamRoomNameForID(rooms, QStringLiteral("12")), QStringLiteral("Room Twelve"));
    // Numbers on either side compare as their decimal text.
    EXPECT_EQ(kcExamRoomNameForID(rooms, 13.0), QStringLiteral("Room Thirteen"));
    EXPECT_EQ(kcExamRoomNameForID(rooms, QStringLiteral("1*")), QStringLiteral("Room One"));
    EXPECT_EQ(kcExamRoomNameForID(rooms, QStringLiteral("1?")), QStringLiteral("Room Twelve"));
    EXPECT_EQ(kcExamRoomNameForID(rooms, QStringLiteral("2")), std::nullopt);
    EXPECT_EQ(kcExamRoomNameForID(rooms, null()), std::nullopt);
    EXPECT_EQ(kcExamRoomNameForID(rooms, QVariant()), std::nullopt);
    EXPECT_EQ(kcExamRoomNameForID({}, QStringLiteral("1")), std::nullopt);
    // Records without the expected shape are passed over.
    EXPECT_EQ(kcExamRoomNameForID({QStringLiteral("junk"), QVariantMap{}, room(QStringLiteral("5"), "Five")},
                                  QStringLiteral("5")),
              QStringLiteral("Five"));
}

TEST(PatientEntry, AllKeysFromAFullRecord) {
    const QVariantMap entry =
        kcPatientEntryFromAssignment(assignment("Ada", "Lovelace"), {room("3", "Exam 3")});
    ASSERT_EQ(entry.size(), 10);
    for (const QString &key : kcPatientEntryKeys())
        EXPECT_TRUE(entry.contains(key)) << key.toStdString();
    EXPECT_EQ(entry["name"], "Ada Lovelace");
    EXPECT_EQ(entry["dob"], "1970-02-03");
    EXPECT_EQ(entry["emr_patient_id"], "E1"); // the first link
    EXPECT_EQ(entry["emr_appointment_id"], "A-7");
    EXPECT_EQ(entry["profile_image_id"], "up-1");
    EXPECT_EQ(entry["kelvraID"], "101");
    EXPECT_EQ(entry["interaction_id"], "900");
    EXPECT_EQ(entry["exam_room_name"], "Exam 3");
    EXPECT_EQ(entry["first_name"], "Ada");
    EXPECT_EQ(entry["last_name"], "Lovelace");
}

TEST(PatientEntry, NamePartsKeptBesideTheName) {
    const QVariantMap entry =
        kcPatientEntryFromAssignment(assignment("Patricia", "Van der Berg"), {room("3", "Exam 3")});
    EXPECT_EQ(entry["name"], "Patricia Van der Berg");
    EXPECT_EQ(entry["first_name"], "Patricia");
    EXPECT_EQ(entry["last_name"], "Van der Berg");
    QVariantMap record = assignment("Ada", "Lovelace");
    setPath(record, "Patient", "last_name", null());
    const QVariantMap partial = kcPatientEntryFromAssignment(record, {});
    EXPECT_EQ(partial["name"], "Ada");
    EXPECT_EQ(partial["last_name"], QString());
}

TEST(PatientEntry, NullsBecomeEmptyTexts) {
    QVariantMap record = assignment("Ada", "Lovelace");
    setPath(record, "Patient", "dob", null());
    setPath(record, "Patient", "profile_image__upload_id", null());
    setPath(record, "Patient", "EmrPatientLink", QVariantList());
    setPath(record, "ClinicPatientDeviceAssignment", "emr_appointment_id", null());
    const QVariantMap entry = kcPatientEntryFromAssignment(record, {room("4", "Other room")});
    ASSERT_EQ(entry.size(), 10);
    EXPECT_EQ(entry["dob"], QString());
    EXPECT_EQ(entry["dob"].metaType().id(), QMetaType::QString);
    EXPECT_EQ(entry["profile_image_id"], QString());
    EXPECT_EQ(entry["emr_patient_id"], QString());
    EXPECT_EQ(entry["emr_appointment_id"], QString());
    EXPECT_EQ(entry["exam_room_name"], QString()); // room 3 is not among the rooms
    EXPECT_EQ(kcProfileImageUploadID(record), QString());
}

TEST(PatientEntry, MissingMembersStillGiveAllKeys) {
    QVariantMap record = assignment("Ada", "Lovelace");
    setPath(record, "Patient", "dob", QVariant());
    setPath(record, "Patient", "EmrPatientLink", null());
    setPath(record, "ClinicPatientDeviceAssignment", "patient_id", QVariant());
    setPath(record, "ClinicPatientDeviceAssignment", "clinic_exam_room_id", QVariant());
    record.remove("Interaction");
    const QVariantMap entry = kcPatientEntryFromAssignment(record, {room("3", "Exam 3")});
    ASSERT_EQ(entry.size(), 10);
    EXPECT_EQ(entry["dob"], QString());
    EXPECT_EQ(entry["emr_patient_id"], QString());
    EXPECT_EQ(entry["kelvraID"], QString());
    EXPECT_EQ(entry["interaction_id"], QString());
    EXPECT_EQ(entry["exam_room_name"], QString());
}

TEST(PatientEntry, IdsKeepTheirTypeNamesJoinCleanly) {
    QVariantMap record = assignment("Ada", "Lovelace");
    setPath(record, "ClinicPatientDeviceAssignment", "patient_id", 101.0);
    setPath(record, "ClinicPatientDeviceAssignment", "emr_appointment_id", 55.0);
    const QVariantMap entry = kcPatientEntryFromAssignment(record, {});
    EXPECT_EQ(entry["kelvraID"].metaType().id(), QMetaType::Double); // as sent
    EXPECT_EQ(entry["emr_appointment_id"], "55");                    // text

    EXPECT_EQ(kcPatientEntryFromAssignment(assignment("Cher", QString()), {})["name"], "Cher");
    QVariantMap noFirst = assignment("x", "Prince");
    setPath(noFirst, "Patient", "first_name", null());
    EXPECT_EQ(kcPatientEntryFromAssignment(noFirst, {})["name"], "Prince");
    EXPECT_EQ(kcPatientEntryFromAssignment(assignment("Mary Ann", "Smith"), {})["name"], "Mary Ann Smith");
}

TEST(PatientList, OrderDuplicatesAndOddElements) {
    const QVariantList data = {assignment("B", "Two"), QStringLiteral("not a record"), assignment("A", "One"),
                               assignment("B", "Two")};
    const QVariantList entries = kcPatientEntriesFromAssignments(data, {});
    ASSERT_EQ(entries.size(), 3);
    EXPECT_EQ(entries[0].toMap()["name"], "B Two");
    EXPECT_EQ(entries[1].toMap()["name"], "A One");
    EXPECT_EQ(entries[2].toMap()["name"], "B Two");
    EXPECT_TRUE(kcPatientEntriesFromAssignments({}, {}).isEmpty());
}
