#include "capture/identification/lexicon.h"

#include "capture/identification/names.h"

#include <QHash>
#include <QSet>
#include <algorithm>
#include <numeric>

namespace {

const QHash<QString, LabelKind> &labels() {
    static const QHash<QString, LabelKind> table = [] {
        QHash<QString, LabelKind> t;
        auto add = [&](LabelKind kind, std::initializer_list<const char *> phrases) {
            for (const char *p : phrases)
                t.insert(QString::fromUtf8(p), kind);
        };
        add(LabelKind::Subject, {"patient",
                                 "pt",
                                 "patient name",
                                 "pt name",
                                 "patients name",
                                 "name of patient",
                                 "patient full name",
                                 "patient legal name",
                                 "patients full name",
                                 "client",
                                 "client name",
                                 "resident",
                                 "student",
                                 "student name",
                                 "pupil",
                                 "employee",
                                 "employee name",
                                 "athlete",
                                 "participant",
                                 "resident name",
                                 "re",
                                 "regarding",
                                 "ref patient",
                                 "patientin",
                                 "patientin name",
                                 "patient in",
                                 "name des patienten",
                                 "name der patientin",
                                 "paciente",
                                 "nombre del paciente",
                                 "nombre de la paciente",
                                 "nom du patient",
                                 "nom de la patiente",
                                 "patiente",
                                 "nom patient",
                                 "nombre paciente",
                                 "asunto paciente",
                                 "paziente",
                                 "nome paziente",
                                 "nome del paziente",
                                 "nome do paciente",
                                 "naam patient",
                                 "pacjent"});
        add(LabelKind::Name, {"name",
                              "full name",
                              "legal name",
                              "nom",
                              "nombre",
                              "nombre completo",
                              "nom complet",
                              "nom et prenom",
                              "nom prenom",
                              "nom prenoms",
                              "name vorname",
                              "nachname vorname",
                              "vollstandiger name",
                              "nombre y apellidos",
                              "apellidos y nombre",
                              "apellidos nombre",
                              "nome",
                              "nome completo",
                              "nome e cognome",
                              "naam",
                              "volledige naam"});
        add(LabelKind::Surname,
            {"last name", "surname", "family name", "last", "apellido", "apellidos", "primer apellido",
             "nachname", "familienname", "nom de famille", "nom de naissance", "nom dusage", "nom d usage",
             "cognome", "sobrenome", "achternaam", "nazwisko"});
        add(LabelKind::GivenName,
            {"first name", "given name", "given names", "forename", "forenames", "first", "prenom", "prenoms",
             "nombres", "vorname", "vornamen", "voornaam", "voornamen", "imie"});
        add(LabelKind::MiddleName, {"middle name", "middle names", "middle initial", "mi", "middle"});
        add(LabelKind::BirthDate, {"dob",
                                   "d o b",
                                   "date of birth",
                                   "birth date",
                                   "birthdate",
                                   "born",
                                   "bdate",
                                   "birthday",
                                   "b day",
                                   "bday",
                                   "date birth",
                                   "fecha de nacimiento",
                                   "fecha nacimiento",
                                   "fecha nac",
                                   "f nac",
                                   "fnac",
                                   "fec nac",
                                   "nacimiento",
                                   "nacido",
                                   "nacida",
                                   "nacio",
                                   "date de naissance",
                                   "ddn",
                                   "ne le",
                                   "nee le",
                                   "ne e le",
                                   "nee",
                                   "ne",
                                   "naissance",
                                   "geburtsdatum",
                                   "geb",
                                   "geboren",
                                   "geb datum",
                                   "gebdatum",
                                   "gebdat",
                                   "geb am",
                                   "geboren am",
                                   "data di nascita",
                                   "data nascita",
                                   "nato il",
                                   "nata il",
                                   "data de nascimento",
                                   "data nasc",
                                   "dt nasc",
                                   "nascimento",
                                   "geboortedatum",
                                   "geboren op",
                                   "data urodzenia",
                                   "fodelsedatum",
                                   "fodselsdato",
                                   "dn"});
        add(LabelKind::Age, {"age", "edad", "alter", "ans", "eta", "idade", "leeftijd", "wiek"});
        add(LabelKind::Sex,
            {"sex", "gender", "sexo", "sexe", "geschlecht", "sex gender", "sesso", "geslacht", "plec"});
        add(LabelKind::RecordNumber, {"mrn",
                                      "mr",
                                      "mr no",
                                      "mrno",
                                      "medical record",
                                      "medical record number",
                                      "record",
                                      "record number",
                                      "chart",
                                      "chart number",
                                      "patient id",
                                      "pt id",
                                      "id",
                                      "nhs",
                                      "nhs no",
                                      "nhs number",
                                      "nhc",
                                      "historia",
                                      "no historia",
                                      "numero de historia",
                                      "ipp",
                                      "no dossier",
                                      "dossier",
                                      "patnr",
                                      "pat nr",
                                      "fallnummer",
                                      "fall nr",
                                      "patienten nr",
                                      "mpi"});
        add(LabelKind::Death,
            {"deceased",      "date of death",      "dod",         "death",      "died",    "fallecido",
             "fallecida",     "fecha de defuncion", "defuncion",   "decede",     "decedee", "deces",
             "date de deces", "verstorben",         "sterbedatum", "todesdatum", "verst",   "deceduto",
             "deceduta",      "falecido",           "falecida",    "overleden"});
        return t;
    }();
    return table;
}

} // namespace

LabelReading labelEndingWith(const QStringList &words) {
    for (int n = std::min<int>(int(words.size()), 5); n >= 1; --n) {
        const QString phrase = words.mid(words.size() - n).join(QLatin1Char(' '));
        const auto it = labels().constFind(phrase);
        if (it != labels().constEnd())
            return {it.value(), n};
    }
    return {};
}

LabelReading labelStartingWith(const QStringList &words) {
    for (int n = std::min<int>(int(words.size()), 5); n >= 1; --n) {
        const QString phrase = words.mid(0, n).join(QLatin1Char(' '));
        const auto it = labels().constFind(phrase);
        if (it != labels().constEnd())
            return {it.value(), n};
    }
    return {};
}

LabelKind labelMisread(const QString &raw) {
    if (raw.size() < 4)
        return LabelKind::None;
    for (auto it = labels().constBegin(); it != labels().constEnd(); ++it)
        if (it.key().size() >= 4 && !it.key().contains(QLatin1Char(' ')) && misreadAs(raw, it.key(), 0))
            return it.value();
    return LabelKind::None;
}

bool isSubjectQualifier(const QString &word) {
    static const QSet<QString> words = {"patient",  "patients", "pt",     "pts",     "patientin",
                                        "paciente", "patiente", "client", "resident"};
    return words.contains(word);
}

bool isSubjectHeading(const QStringList &words) {
    static const QSet<QString> subject = {
        "patient",    "patients",       "pt",          "demographics", "paciente",       "patiente",
        "patientin",  "patientendaten", "identite",    "identity",     "identification", "personal",
        "personales", "personnelles",   "personalien", "client"};
    // The record's own title: the fields under it are its person's.
    static const QSet<QString> document = {
        "summary",    "report",       "record",         "note",         "notes",
        "form",       "consent",      "referral",       "discharge",    "admission",
        "intake",     "registration", "chart",          "facesheet",    "sheet",
        "assessment", "evaluation",   "encounter",      "visit",        "progress",
        "procedure",  "operative",    "certificate",    "prescription", "clinical",
        "medical",    "resumen",      "informe",        "alta",         "ingreso",
        "historia",   "clinica",      "consentimiento", "receta",       "registro",
        "nota",       "evolucion",    "formulario",     "compte",       "rendu",
        "rapport",    "dossier",      "sortie",         "consentement", "ordonnance",
        "fiche",      "bericht",      "befund",         "entlassung",   "entlassungsbericht",
        "arztbrief",  "aufnahme",     "einwilligung",   "rezept",       "akte",
        "formular"};
    bool found = false;
    for (const QString &w : words) {
        // "Patient contact", "Emergency contact form": someone else's.
        if (isOtherPersonQualifier(w))
            return false;
        found = found || subject.contains(w) || document.contains(w);
    }
    return found;
}

bool isCourtesyTitle(const QString &word) {
    static const QSet<QString> words = {"mr",       "mrs",  "ms",   "miss",     "mx",     "mme",   "mlle",
                                        "herr",     "frau", "sr",   "sra",      "srta",   "senor", "senora",
                                        "senorita", "don",  "dona", "monsieur", "madame", "master"};
    return words.contains(word);
}

bool isClinicianTitle(const QString &word) {
    static const QSet<QString> words = {"dr", "dra", "doctor", "doctora", "prof", "professor", "docteur"};
    return words.contains(word);
}

bool isCredential(const QString &word) {
    static const QSet<QString> words = {
        "md",  "do",   "rn",  "np",   "pa",   "pac",  "dds",    "dmd", "phd",  "facp", "lpn", "lvn",
        "dnp", "mbbs", "cna", "fnp",  "aprn", "crna", "pharmd", "rph", "lcsw", "psyd", "mph", "msn",
        "bsn", "rd",   "cma", "facs", "frcp", "mrcp", "od",     "dpm", "dc",   "pnp",  "anp"};
    return words.contains(word);
}

bool isSuffix(const QString &word) {
    static const QSet<QString> words = {"jr", "sr", "ii", "iii", "iv", "jnr", "snr"};
    return words.contains(word);
}

bool isParticle(const QString &word) {
    static const QSet<QString> words = {
        "van", "von", "der", "den", "de",  "del",   "della", "la",  "le",  "di",  "da", "dos", "das", "du",
        "el",  "al",  "bin", "ben", "ibn", "ter",   "ten",   "st",  "mac", "mc",  "y",  "zu",  "af",  "av",
        "d",   "l",   "o",   "des", "lo",  "dello", "degli", "vom", "zum", "zur", "ap", "ab"};
    return words.contains(word);
}

namespace {

// Letters to change, add or drop to make one word the other.
int editDistance(const QString &a, const QString &b) {
    QList<int> row(b.size() + 1);
    std::iota(row.begin(), row.end(), 0);
    for (qsizetype i = 1; i <= a.size(); ++i) {
        int diagonal = row[0];
        row[0] = int(i);
        for (qsizetype j = 1; j <= b.size(); ++j) {
            const int above = row[j];
            row[j] = std::min({row[j] + 1, row[j - 1] + 1, diagonal + (a[i - 1] == b[j - 1] ? 0 : 1)});
            diagonal = above;
        }
    }
    return row[b.size()];
}

} // namespace

bool isDeathWord(const QString &word, bool misread) {
    static const QSet<QString> words = {"deceased",   "fallecido", "fallecida", "decede",   "decedee",
                                        "verstorben", "died",      "expired",   "difunto",  "difunta",
                                        "deceduto",   "deceduta",  "falecido",  "falecida", "overleden"};
    if (words.contains(word))
        return true;
    if (!misread || word.size() < 7)
        return false;
    return std::any_of(words.begin(), words.end(), [&](const QString &w) {
        return w.size() >= 7 && editDistance(word, w) <= (word.size() >= 8 ? 3 : 2);
    });
}

bool isRelationWord(const QString &word) {
    static const QSet<QString> words = {
        "mother",     "father",         "parent",     "parents",    "guardian",    "son",
        "daughter",   "brother",        "sister",     "sibling",    "spouse",      "husband",
        "wife",       "partner",        "child",      "twin",       "grandmother", "grandfather",
        "grandson",   "granddaughter",  "aunt",       "uncle",      "cousin",      "niece",
        "nephew",     "caregiver",      "proxy",      "contact",    "kin",         "mom",
        "dad",        "stepmother",     "stepfather", "madre",      "padre",       "hijo",
        "hija",       "hermano",        "hermana",    "esposo",     "esposa",      "tutor",
        "tutora",     "mere",           "pere",       "fils",       "fille",       "frere",
        "soeur",      "epoux",          "epouse",     "mutter",     "vater",       "sohn",
        "tochter",    "bruder",         "schwester",  "ehemann",    "ehefrau",     "betreuer",
        "betreuerin", "representative", "sponsor",    "subscriber", "guarantor",   "holder",
        "moeder",     "vader",          "marito",     "moglie",     "figlio",      "figlia",
        "matka",      "ojciec"};
    return words.contains(word);
}

bool isOtherPersonQualifier(const QString &word) {
    static const QSet<QString> words = {
        "mothers",   "fathers",  "parents",     "guardians", "spouses",     "emergency",
        "next",      "previous", "prev",        "other",     "last",        "former",
        "referring", "ordering", "attending",   "witness",   "interpreter", "donor",
        "insured",   "member",   "responsible", "party",     "billing",     "accompanying",
        "siguiente", "anterior", "suivant",     "precedent", "nachster",    "vorheriger"};
    return isRelationWord(word) || words.contains(word);
}

bool isMessageField(const QString &word) {
    static const QSet<QString> words = {
        "to",   "cc", "bcc",    "subject", "sent", "from", "reply",  "an",        "betreff",   "von",
        "para", "de", "asunto", "objet",   "a",    "date", "sender", "recipient", "recipients"};
    return words.contains(word);
}

bool isCommonWord(const QString &word) {
    static const QSet<QString> words = {
        // screens and documents
        "chart", "record", "records", "summary", "report", "reports", "result", "results", "note", "notes",
        "letter", "message", "messages", "inbox", "outbox", "sent", "draft", "drafts", "schedule",
        "schedules", "calendar", "appointment", "appointments", "worklist", "list", "lists", "queue",
        "census", "board", "search", "settings", "setting", "help", "home", "file", "edit", "view", "tools",
        "window", "tab", "new", "open", "close", "save", "print", "cancel", "ok", "submit", "sign", "out",
        "in", "log", "login", "logout", "user", "account", "profile", "portal", "dashboard", "menu", "page",
        "details", "detail", "information", "info", "demographics", "overview", "history", "timeline",
        "documents", "document", "attachments", "form", "forms", "status", "actions", "action", "tasks",
        "task", "orders", "order", "ordered", "review", "reviewed", "pending", "complete", "completed",
        "final", "preliminary", "corrected", "amended", "signed", "unsigned", "today", "tomorrow",
        "yesterday", "week", "month", "year", "date", "time", "day", "days", "hours", "am", "pm", "monday",
        "tuesday", "wednesday", "thursday", "friday", "saturday", "sunday", "mon", "tue", "wed", "thu", "fri",
        "sat", "sun", "january", "february", "september", "october", "november", "december", "page", "of",
        "to", "from", "by", "for", "with", "and", "or", "the", "a", "an", "at", "on", "is", "no", "yes",
        "not", "none", "all", "any", "other", "others", "more", "less", "see", "below", "above", "next",
        "previous", "prev", "back", "forward", "first", "last", "current", "recent", "active", "inactive",
        "primary", "secondary", "unknown", "total", "number", "type", "code", "codes", "value", "values",
        "units", "unit", "range", "reference", "flag", "comment", "comments", "description", "subject",
        // care
        "clinic", "clinics", "hospital", "health", "healthcare", "medical", "medicine", "center", "centre",
        "practice", "family", "pediatrics", "paediatrics", "cardiology", "dermatology", "radiology",
        "oncology", "neurology", "orthopedics", "urology", "surgery", "surgical", "emergency", "department",
        "dept", "ward", "unit", "icu", "er", "ed", "lab", "labs", "laboratory", "pathology", "pharmacy",
        "imaging", "xray", "ct", "mri", "ultrasound", "visit", "visits", "encounter", "encounters",
        "admission", "discharge", "transfer", "follow", "followup", "up", "annual", "exam", "physical",
        "checkup", "consult", "consultation", "referral", "referrals", "referred", "progress", "assessment",
        "plan", "diagnosis", "diagnoses", "problem", "problems", "medication", "medications", "meds",
        "allergies", "allergy", "vitals", "vital", "signs", "immunizations", "immunization", "vaccines",
        "vaccine", "vaccination", "procedure", "procedures", "prescription", "prescriptions", "refill",
        "request", "requests", "nurse", "nursing", "provider", "providers", "physician", "doctor", "staff",
        "care", "team", "attending", "resident", "therapy", "therapist", "specimen", "collected", "received",
        "verified", "resulted", "reported", "ordering", "performing", "hemoglobin", "glucose", "sodium",
        "potassium", "blood", "urine", "test", "tests", "panel", "cbc", "bmp", "cmp", "hba", "normal",
        "abnormal", "high", "low", "critical", "negative", "positive", "bed", "room", "rooms", "waiting",
        "checked", "arrived", "bay", "floor", "insurance", "coverage", "policy", "plan", "group", "member",
        "subscriber", "guarantor", "holder", "insured", "payer", "claim", "claims", "billing", "bill",
        "statement", "balance", "payment", "copay", "contact", "contacts", "phone", "mobile", "cell", "fax",
        "email", "address", "street", "road", "avenue", "ave", "city", "state", "zip", "country",
        "relationship", "relation", "kin", "mother", "father", "parent", "parents", "guardian", "spouse",
        "husband", "wife", "son", "daughter", "brother", "sister", "sibling", "child", "children", "twin",
        "caregiver", "proxy", "sponsor", "witness", "interpreter", "emergency", "next", "consent",
        "authorization", "preferred", "language", "english", "spanish", "french", "german", "male", "female",
        "sex", "gender", "age", "dob", "mrn", "id", "ssn", "race", "ethnicity", "marital", "single",
        "married", "divorced", "widowed", "deceased", "alive", "welcome", "hello", "dear", "sincerely",
        "regards", "thank", "thanks", "please", "re", "cc", "attn", "private", "confidential", "urgent",
        "important", "unread", "read", "reply", "forward", "delete", "archive", "seen", "head", "chest",
        "abdomen", "pelvis", "spine", "knee", "brain", "xr", "us", "print", "download", "upload", "attach",
        "share", "export", "import", "refresh", "loading",
        // Spanish, French, German
        "paciente", "nombre", "apellidos", "fecha", "nacimiento", "edad", "sexo", "consulta", "informe",
        "historia", "clinica", "medico", "hospital", "servicio", "cita", "citas", "resultados", "datos",
        "patient", "patiente", "nom", "prenom", "naissance", "sexe", "dossier", "rapport", "compte", "rendu",
        "medecin", "consultation", "rendez", "vous", "ordonnance", "service", "patientin", "vorname",
        "nachname", "geburtsdatum", "geschlecht", "alter", "befund", "bericht", "arztbrief", "termin",
        "praxis", "klinik", "station", "aufnahme", "entlassung", "diagnose", "labor", "ergebnis"};
    return words.contains(word);
}
