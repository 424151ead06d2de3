#pragma once
// The FHIR R4 resources the FHIR client reads and writes, as plain values:
// the DocumentReference it files (US Core), the Patients it checks against
// the patient list, and the texts it shows for the EHR's answers.

#include <QByteArray>
#include <QDate>
#include <QDateTime>
#include <QList>
#include <QPair>
#include <QString>
#include <QVariantList>
#include <QVariantMap>
#include <optional>

// How the filed documents are coded; the defaults are a LOINC "Note" in the
// US Core category "clinical-note".
struct FHIRDocumentCoding {
    QString typeSystem = QStringLiteral("http://loinc.org");
    QString typeCode = QStringLiteral("34109-9");
    QString typeDisplay = QStringLiteral("Note");
    QString categorySystem =
        QStringLiteral("http://hl7.org/fhir/us/core/CodeSystem/us-core-documentreference-category");
    QString categoryCode = QStringLiteral("clinical-note");
    QString categoryDisplay = QStringLiteral("Clinical Note");

    // The defaults, with what "emrData" sets ("document_type_system",
    // "document_type_code", "document_type_display",
    // "document_category_system", "document_category_code",
    // "document_category_display"). A code set without its display drops
    // the default display.
    static FHIRDocumentCoding fromEmrData(const QVariantMap &emrData);
};

// The encounter a document is filed with, when the visit maps to one.
struct FHIREncounter {
    QString id;
    QVariantMap period; // the Encounter's "period", as it came
};

// What the DocumentReference says.
struct FHIRDocumentContent {
    QString entryID;     // the upload entry's id (a UUID)
    QString patientID;   // the FHIR Patient's id
    QString description; // the caption; left out when empty
    QByteArray pdf;
    QDateTime created;
    std::optional<FHIREncounter> encounter;
};

// "urn:ietf:rfc:3986", the system of the upload's identifier.
inline const QString FHIRURISystem = QStringLiteral("urn:ietf:rfc:3986");

// "urn:uuid:<id in lower case>", or empty when `entryID` is not a UUID.
QString fhirUploadIdentifier(const QString &entryID);

// The DocumentReference (US Core) of a capture: status "current", the
// configured type and category, the subject, the date, the caption as
// description, the PDF as a base64 attachment with its size, SHA-1 hash,
// title and creation time, the upload's identifier, and the encounter with
// its period when there is one.
QVariantMap fhirDocumentReference(const FHIRDocumentCoding &coding, const FHIRDocumentContent &content);

// The token search value of the upload's identifier: "urn:ietf:rfc:3986|urn:uuid:...".
QString fhirIdentifierToken(const QString &entryID);

// The resources of a searchset Bundle whose "resourceType" is `type`
// (included resources and OperationOutcomes are left out).
QVariantList fhirBundleResources(const QVariant &bundle, const QString &type);

// The "next" link of a searchset Bundle (empty on the last page).
QString fhirNextPageURL(const QVariant &bundle);

// The Bundle's "total" (how many resources match), when it says.
std::optional<qint64> fhirBundleTotal(const QVariant &bundle);

// Why a Patient must not get documents: "is marked inactive" (active
// false) or "was merged into Patient/<id>" (a link of type replaced-by);
// empty when neither.
QString fhirPatientUnusableReason(const QVariantMap &patient);

// The ways the list's "First Last" name may divide into a given name (the
// first word) and a family name (the rest, or the rest after more given
// names): "Patricia Van der Berg" gives (Patricia, Van der Berg),
// (Patricia, der Berg) and (Patricia, Berg). Empty for fewer than two words.
QList<QPair<QString, QString>> fhirNameSearchSplits(const QString &listName);

// A date of birth of the patient list: "yyyy-MM-dd" or "MM/dd/yyyy";
// invalid when it is neither.
QDate fhirListDateOfBirth(const QString &text);

// Whether one of the Patient's names ("given" names and "family", or
// "text") is the list's "First Last" name. Letters are compared without
// case and accents; hyphens, apostrophes and the order of the words do
// not count.
bool fhirPatientHasName(const QVariantMap &patient, const QString &listName);

// One line for the user from an OperationOutcome (the texts of its issues),
// an OAuth error answer ("error": "error_description"), or the start of any
// other body; empty when the answer says nothing.
QString fhirAnswerText(const QVariant &answer);

// The seconds a "Retry-After" value asks to wait (delta-seconds or an HTTP
// date, counted from `now`); nullopt when there is no usable value.
std::optional<qint64> fhirRetryAfterSeconds(const QString &value, const QDateTime &now);

// The id of the resource of type `type` that a create answered with: the
// body's "id" when the body is that resource, else the id in "Location"
// (".../<type>/<id>[/_history/<version>]"); empty when neither names one.
QString fhirCreatedResourceID(const QVariant &answer, const QString &location, const QString &type);
