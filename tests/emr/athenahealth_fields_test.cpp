#include "emr/athenahealth_fields.h"
#include "emr/emr_document_file.h"

#include <gtest/gtest.h>

namespace {

TEST(AthenaDocumentFields, WithoutAppointmentTheVisitsDepartmentWins) {
    AthenaDocumentInput in{"6F9619FF-8B86-D011-B42D-00C04FC964FF", "note", {}, {}, "7"};
    QVariantMap expected{{"actionnote", in.entryID},
                         {"autoclose", "true"},
                         {"departmentid", "7"},
                         {"documentsubclass", "ENCOUNTERDOCUMENT_IMAGEDOC"},
                         {"internalnote", "note"}};
    EXPECT_EQ(athenaDocumentFields(in), expected);

    in.appointmentDepartment = "21";
    expected["departmentid"] = "21";
    EXPECT_EQ(athenaDocumentFields(in), expected);

    in.selectedDepartmentID.clear();
    EXPECT_EQ(athenaDocumentFields(in), expected);
}

TEST(AthenaDocumentFields, WithAppointmentTheConfiguredDepartmentWins) {
    AthenaDocumentInput in{"6F9619FF-8B86-D011-B42D-00C04FC964FF", "", "4411", "21", "7"};
    const QVariantMap fields = athenaDocumentFields(in);
    EXPECT_EQ(fields.value("appointmentid"), "4411");
    EXPECT_EQ(fields.value("departmentid"), "7");
    EXPECT_EQ(fields.value("internalnote"), "");
    EXPECT_EQ(fields.size(), 6);
}

TEST(AthenaDocumentFields, NoDepartmentIsAnError) {
    KCError error;
    EXPECT_TRUE(athenaDocumentFields({"0123456789", "n", {}, {}, {}}, &error).isEmpty());
    EXPECT_EQ(error.code(), KCEMRErrorMissingDocumentField);
    error = {};
    // With an appointment the visit's department does not stand in.
    EXPECT_TRUE(athenaDocumentFields({"0123456789", "n", "1", "21", {}}, &error).isEmpty());
    EXPECT_EQ(error.code(), KCEMRErrorMissingDocumentField);
}

TEST(AthenaEncounterQuery, SingleDayWithEncodedSlashes) {
    EXPECT_EQ(athenaEncounterQuery("1", "2", QDate(2026, 12, 7)),
              "departmentid=1&providerid=2&enddate=12%2F07%2F2026&startdate=12%2F07%2F2026");
    EXPECT_EQ(athenaPercentEncodeForHost(" \"#%/<>?@\\^`{|}é"),
              "%20%22%23%25%2F%3C%3E%3F%40%5C%5E%60%7B%7C%7D%C3%A9");
    EXPECT_EQ(athenaPercentEncodeForHost("aZ09!$&'()*+,-.:;=[]_~"), "aZ09!$&'()*+,-.:;=[]_~");
}

TEST(AthenaSearchAnswer, PatientsAreCapitalisedAndMatchedToPhotos) {
    const QVariantMap answer{{"firstname", "JOHN"}, {"lastname", "MCDONALD-SMITH"}, {"dob", "01/02/1970"},
                             {"patientid", "3301"}, {"currentdepartmentid", "1"},   {"sex", "M"}};
    const QVariantList photos{QVariantMap{{"emr_patient_id", "99"}, {"image", "other"}},
                              QVariantMap{{"emr_patient_id", "3301"}, {"image", "mine"}}};
    const QVariantMap p = athenaPatientFromSearchAnswer(answer, photos);
    EXPECT_EQ(p, (QVariantMap{{"pt_firstname", "John"},
                              {"pt_lastname", "Mcdonald-Smith"},
                              {"pt_dob", "01/02/1970"},
                              {"emr_patient_id", "3301"},
                              {"department_id", "1"},
                              {"pt_profile_image", "mine"}}));

    const QVariantMap sparse =
        athenaPatientFromSearchAnswer({{"firstname", "ANNE MARIE"}, {"patientid", 3301}}, {});
    EXPECT_EQ(sparse, (QVariantMap{{"pt_firstname", "Anne Marie"}, {"emr_patient_id", 3301}}));
    EXPECT_EQ(athenaCapitalized("o'NEIL  jr"), "O'neil  Jr");
}

} // namespace
