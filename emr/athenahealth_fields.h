#pragma once
// The texts the athenahealth client sends and reads: the form fields of a
// document upload, the encounter query, and the patients of a search answer.

#include <QDate>
#include <QString>
#include <QVariantList>
#include <QVariantMap>

#include "platform/core/error.h"

// Whether a configuration or answer value is there (not absent, not null).
bool athenaIsPresent(const QVariant &value);
// Text of a configuration or answer value; identifiers may arrive as numbers
// ("195900", 195900 and 195900.0 all give "195900"). Empty when absent.
QString athenaText(const QVariant &value);

// Field values of one document upload.
struct AthenaDocumentInput {
    QString entryID;               // the upload entry's "id": the action note
    QString encounterNote;         // the record's "encounter_note"
    QString appointmentID;         // empty when the visit has no EMR appointment
    QString appointmentDepartment; // the appointment information's "department_id"
    QString selectedDepartmentID;  // the client's configured department
};

// "actionnote", "appointmentid" (only with an appointment), "autoclose",
// "departmentid", "documentsubclass" and "internalnote". With an appointment
// the department is the configured one; without, the appointment
// information's, falling back to the configured one. No department at all
// is an error: the fields are empty and `error` is set.
QVariantMap athenaDocumentFields(const AthenaDocumentInput &input, KCError *error = nullptr);

// Percent-encodes with the URL host's allowed characters: letters, digits
// and "!$&'()*+,-.:;=[]_~" stay, everything else becomes %XX per UTF-8 byte.
QString athenaPercentEncodeForHost(const QString &text);

// "departmentid=D&providerid=P&enddate=MM/dd/yyyy&startdate=MM/dd/yyyy" for
// the single day `day`, encoded as above (each "/" of the dates is "%2F").
QString athenaEncounterQuery(const QString &departmentID, const QString &providerID, const QDate &day);

// First letter of each word upper case, the rest lower case; words are
// separated by white space and hyphens ("MARY-ANN O'NEIL" -> "Mary-Ann O'neil").
QString athenaCapitalized(const QString &text);

// A patient of the search answer: "pt_firstname", "pt_lastname" (capitalised),
// "pt_dob", "emr_patient_id", "department_id" and, when `ptImageArray` has a
// photo for the patient id, "pt_profile_image". Keys whose source is missing
// are left out.
QVariantMap athenaPatientFromSearchAnswer(const QVariantMap &patient, const QVariantList &ptImageArray);
