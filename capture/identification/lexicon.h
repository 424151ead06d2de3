#pragma once
// The words record screens use around names, in English, Spanish, French
// and German: labels of fields, titles, suffixes, particles. They help find
// where the record's person is named; whom the card may propose never rests
// on them (identification.cpp).

#include <QString>
#include <QStringList>

enum class LabelKind {
    None,
    Subject,      // the record's person: "Patient", "Pt", "Re", "Paciente", "Nom du patient"
    Name,         // a bare "Name", "Nom", "Nombre": whose depends on where it stands
    Surname,      // "Last name", "Surname", "Apellidos", "Nachname", "Nom de famille"
    GivenName,    // "First name", "Given name", "Prénom", "Vorname"
    MiddleName,   // "Middle name", "MI"
    BirthDate,    // "DOB", "Date of birth", "Born", "Fecha de nacimiento", "Né(e) le", "Geb."
    Age,          // "Age", "Edad", "Âge", "Alter"
    Sex,          // "Sex", "Gender", "Sexo", "Sexe", "Geschlecht"
    RecordNumber, // "MRN", "MR#", "Patient ID", "NHC", "IPP"
    Death,        // "Deceased", "Date of death", "Fallecido", "Décédé", "Verstorben"
};

// The label that `words` (folded letters of each word, in order) end with,
// the longest known one; `headWords` says how many of the last words it
// takes. None when they end with no known label.
struct LabelReading {
    LabelKind kind = LabelKind::None;
    int headWords = 0;
};
LabelReading labelEndingWith(const QStringList &words);
// The label that `words` begin with (a field without a colon: "DOB 1/2/1950").
LabelReading labelStartingWith(const QStringList &words);
// The one-word label `raw` (folded, as the engine read it) is, misread its
// usual ways ("pr6nom"); None when it is none.
LabelKind labelMisread(const QString &raw);

// A word that says a label's person is the record's ("Patient Name",
// "Patient DOB").
bool isSubjectQualifier(const QString &word);
// A heading over a block of fields about the record's person ("Patient
// information", "Demographics", "Datos del paciente") or the record's own
// title ("Discharge summary") that names nobody else ("Patient contact"
// does).
bool isSubjectHeading(const QStringList &words);

// Before a name: a courtesy title ("Mr", "Mme", "Frau", "Sra") or a
// clinician's ("Dr", "Prof").
bool isCourtesyTitle(const QString &word);
bool isClinicianTitle(const QString &word);
// After a name: a clinician's credential ("MD", "RN", "NP").
bool isCredential(const QString &word);
bool isSuffix(const QString &word);
// A lower-case word inside a last name ("van", "de", "la", "bin", "st").
bool isParticle(const QString &word);
// A word of screens that is not a person's name ("Clinic", "Report",
// "Follow", "Monday").
bool isCommonWord(const QString &word);
// Says a record's person has died; `misread`: also read wrong by two or
// three letters ("pECcEASED").
bool isDeathWord(const QString &word, bool misread = false);
// A relation between people ("mother", "proxy", "tochter"): after a name it
// makes the name someone's relative.
bool isRelationWord(const QString &word);
// A word before a field's label that makes the field someone else's:
// a relation ("Mother's DOB", "Emergency Contact Name", "Guarantor Name")
// or another place in a list ("Next patient:", "Previous patient:").
bool isOtherPersonQualifier(const QString &word);
// A field of a message's header ("To", "Cc", "Subject", "Sent", "Betreff").
bool isMessageField(const QString &word);
