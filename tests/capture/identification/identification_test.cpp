// Deciding the patient of a recognised text: name forms with compound
// surnames, the floor, the date of birth among patients scoring alike, and
// the dates found in text.

#include "capture/identification/lexicon.h"
#include "capture/identification/names.h"
#include "capture/identification/patient_identification.h"

#include <QFile>
#include <QJsonDocument>
#include <QMap>
#include <gtest/gtest.h>
#include <ostream>

void PrintTo(const QString &text, std::ostream *out) {
    *out << '"' << text.toStdString() << '"';
}

namespace {

QVariantMap patient(const QString &first, const QString &last, const QString &dob, const QString &id = {}) {
    return {
        {"name", first + " " + last}, {"first_name", first},      {"last_name", last},      {"dob", dob},
        {"emr_patient_id", ""},       {"emr_appointment_id", ""}, {"profile_image_id", ""}, {"kelvraID", id},
        {"interaction_id", id},       {"exam_room_name", ""}};
}

// Only "name" and "dob", as a patients file of the command line gives them.
QVariantMap named(const QString &name, const QString &dob = {}) {
    return {{"name", name}, {"dob", dob}};
}

// Today's list with the hard neighbours of each compound surname.
QVariantList todaysList() {
    QVariantList list;
    int id = 0;
    auto add = [&](const QString &first, const QString &last, const QString &dob) {
        list << patient(first, last, dob, QString::number(++id));
    };
    add("Patricia", "Berg", "1961-02-11");
    add("Peter", "Van der Berg", "1955-09-30");
    add("Patricia", "Van der Berg", "1958-12-01");
    add("Maria", "Cruz", "1990-07-14");
    add("Maria", "De La Cruz", "1987-03-22");
    add("Ana", "Garcia", "1972-05-05");
    add("Ana", "Garcia Marquez", "1970-10-10");
    add("Luis", "Marquez", "1968-01-19");
    add("Mary", "Smith", "1982-11-20");
    add("Emma", "Smith", "2015-06-03");
    add("John", "Smith", "1950-01-02");
    add("Jean", "Le Roux", "1949-04-04");
    add("Marco", "Di Stefano", "1977-08-08");
    add("Lucas", "Dos Santos", "2001-12-12");
    add("Sofia", "Dos Santos", "1999-02-02");
    add("Omar", "Al Farsi", "1980-06-16");
    add("Anna", "Ter Horst", "1966-03-03");
    add("Karim", "El Amrani", "1974-07-07");
    return list;
}

struct Outcome {
    QString proposed; // "" for nobody
    QString reason;
    bool dobOnScreen;
    QStringList candidates;
    QString subject; // who the screen was read to be about, and where
};

// Ages on screen are counted at this day.
const QDate kToday(2026, 12, 9);

Outcome decide(const QVariantList &list, const QString &text) {
    const PatientIdentification id = identifyPatient(list, text, kToday);
    Outcome out{id.proposed ? list.at(*id.proposed).toMap().value("name").toString() : QString(),
                identificationReasonText(id.reason),
                id.dobOnScreen,
                {},
                {}};
    for (qsizetype i : id.candidates)
        out.candidates << list.at(i).toMap().value("name").toString();
    if (id.subject)
        out.subject =
            id.subject->name.asRead + " @" + id.subject->where + " dob=" + id.subject->facts.birthDateShown;
    return out;
}

TEST(PatientIdentification, CompoundSurnamesInEveryForm) {
    const QVariantList list = todaysList();
    const QList<QPair<QString, QString>> cases = {
        {"VAN DER BERG, Patricia", "Patricia Van der Berg"},
        {"Van der Berg, Patricia", "Patricia Van der Berg"},
        {"Patricia Van der Berg", "Patricia Van der Berg"},
        {"DE LA CRUZ, MARIA", "Maria De La Cruz"},
        {"De La Cruz, Maria", "Maria De La Cruz"},
        {"Maria De La Cruz", "Maria De La Cruz"},
        {"Garcia Marquez, Ana", "Ana Garcia Marquez"},
        {"GARCIA MARQUEZ, ANA", "Ana Garcia Marquez"},
        {"Ana Garcia Marquez", "Ana Garcia Marquez"},
        {"LE ROUX, JEAN", "Jean Le Roux"},
        {"Di Stefano, Marco", "Marco Di Stefano"},
        {"TER HORST, Anna", "Anna Ter Horst"},
        {"Al Farsi, Omar", "Omar Al Farsi"},
        {"EL AMRANI, KARIM", "Karim El Amrani"},
        // The short names are still theirs when shown.
        {"Cruz, Maria", "Maria Cruz"},
        {"Berg, Patricia", "Patricia Berg"},
        {"Garcia, Ana", "Ana Garcia"},
    };
    for (const auto &[shown, expected] : cases) {
        const QString text = "Chart  Northside Clinic\nPatient: " + shown + "\nVisit: Follow-up  Room 4";
        const Outcome out = decide(list, text);
        EXPECT_EQ(out.proposed, expected) << qPrintable(shown) << " -> " << qPrintable(out.reason);
        EXPECT_EQ(out.reason, "name") << qPrintable(shown);
        EXPECT_FALSE(out.dobOnScreen);
    }
}

TEST(PatientIdentification, FamiliesToldApartByTheDateOfBirth) {
    const QVariantList list = todaysList();
    Outcome out =
        decide(list, "Patient: Smith, Emma  DOB: 06/03/2015\nGuardian: Smith, Mary  Phone 555 0100");
    EXPECT_EQ(out.proposed, "Emma Smith");
    EXPECT_EQ(out.reason, "name and date of birth");
    EXPECT_TRUE(out.dobOnScreen);
    // The guardian's record, her date of birth written another way.
    out = decide(list, "Smith, Mary  born Nov 20, 1982\nChild: Smith, Emma");
    EXPECT_EQ(out.proposed, "Mary Smith");
    // No date of birth on screen: the patient, not the guardian.
    out = decide(list, "Patient: Smith, Emma\nGuardian: Smith, Mary");
    EXPECT_EQ(out.proposed, "Emma Smith");
    EXPECT_EQ(out.reason, "name");
    // Two records alike, no date of birth: nobody, the two first.
    out = decide(list, "Smith, Emma   Smith, Mary\nVisit: Follow-up");
    EXPECT_EQ(out.proposed, "");
    EXPECT_EQ(out.reason, "ambiguous");
    QStringList firstTwo = out.candidates.mid(0, 2);
    firstTwo.sort();
    EXPECT_EQ(firstTwo, QStringList({"Emma Smith", "Mary Smith"}));
    // Both dates on screen decide nothing either.
    out = decide(list, "Smith, Emma 06/03/2015  Smith, Mary 11/20/1982");
    EXPECT_EQ(out.reason, "ambiguous");
    EXPECT_EQ(out.candidates.size(), 2);
    // Two of the same surname and no date, scores apart: the one shown.
    out = decide(list, "DOS SANTOS, LUCAS\nAppointment 10:30");
    EXPECT_EQ(out.proposed, "Lucas Dos Santos");
    // The patient's name misread, a relative's read well: the date of birth
    // on screen confirms the misread name.
    out = decide(list, "Patient Dos Santos, Sofla\nDOB 02.02.1999 MRN: 4521987\nGuardian: Dos Santos, Lucas");
    EXPECT_EQ(out.proposed, "Sofia Dos Santos");
    EXPECT_EQ(out.reason, "date of birth and part of the name");
    // Misread without the date of birth: nobody.
    out = decide(list, "Patient Dos Santos, Sofla\nMRN: 4521987");
    EXPECT_EQ(out.proposed, "");
    out = decide(list, "Dos Santos, Sofia  DOB 1999-02-02");
    EXPECT_EQ(out.proposed, "Sofia Dos Santos");
    EXPECT_EQ(out.reason, "name and date of birth");
}

TEST(PatientIdentification, ScreensWithoutAPatientProposeNobody) {
    const QVariantList list = todaysList();
    const QStringList screens = {
        "Laboratory results\nTest Result Units Range\nHemoglobin 13.5 g/dL 12.0-16.0\nWBC 7.2 10^9/L "
        "4.0-11.0\n"
        "Platelets 250 10^9/L 150-400\nSodium 140 mmol/L 135-145\nPotassium 4.1 mmol/L 3.5-5.1",
        "Inbox 12 unread\nFrom Subject Date\nPharmacy Refill request 10:42\nFront desk Schedule change "
        "09:15\n"
        "Billing Claim returned Mon\nIT Password expires in 5 days Fri",
        "New Tab\nSearch or type a URL\nMost visited\nNews Weather Mail Maps",
        "Settings\nGeneral Display Sound Network Bluetooth Printers\nAbout this computer",
        "",
        "0000 1111 2222 3333",
    };
    for (const QString &screen : screens) {
        const Outcome out = decide(list, screen);
        EXPECT_EQ(out.proposed, "") << qPrintable(screen);
        EXPECT_EQ(out.reason, "below floor") << qPrintable(screen);
    }
    EXPECT_EQ(decide({}, "Smith, John").reason, "below floor");
    EXPECT_FALSE(identifyPatient(list, std::nullopt).proposed);
}

TEST(PatientIdentification, DamagedNamesNeverProposeAnotherPatient) {
    const QVariantList list = todaysList();
    // Letters misread, dropped or run together: the right patient or nobody.
    const QList<QPair<QString, QString>> cases = {
        {"VAN DER BERG, Patrcia", "Patricia Van der Berg"},
        {"Van der Berq, Patricia", "Patricia Van der Berg"},
        {"DE LA CRUZ, MARlA", "Maria De La Cruz"},
        {"Smlth, Emma DOB 06/03/2015", "Emma Smith"},
        {"Garcia Marquez, Ama", "Ana Garcia Marquez"},
        {"DELA CRUZ, MARIA", "Maria De La Cruz"},
        {"Srnith, John", "John Smith"},
        {"Le Roux Jean", "Jean Le Roux"},
    };
    for (const auto &[shown, expected] : cases) {
        const Outcome out = decide(list, "Patient: " + shown + "\nMRN 4521987");
        EXPECT_TRUE(out.proposed.isEmpty() || out.proposed == expected)
            << qPrintable(shown) << " proposed " << qPrintable(out.proposed);
    }
}

TEST(PatientIdentification, NamesFileWithoutNameParts) {
    // Only "name": "Last, First" taken as written, longer names read at
    // every split.
    const QVariantList list = {named("Maria Cruz", "1990-07-14"), named("Maria De La Cruz", "1987-03-22"),
                               named("Van der Berg, Patricia", "1958-12-01"),
                               named("John Smith", "1950-01-02")};
    EXPECT_EQ(decide(list, "DE LA CRUZ, MARIA").proposed, "Maria De La Cruz");
    EXPECT_EQ(decide(list, "Patient: Van der Berg, Patricia").proposed, "Van der Berg, Patricia");
    EXPECT_EQ(decide(list, "Patricia Van der Berg, 65").proposed, "Van der Berg, Patricia");
    const Outcome john = decide(list, "Patient: Smith, John DOB 01/02/1950");
    EXPECT_EQ(john.proposed, "John Smith");
    EXPECT_EQ(john.reason, "name and date of birth");
    EXPECT_TRUE(john.dobOnScreen);
    const QVariantList three = {named("Ana Garcia Marquez"), named("Fatima Zahra Benali")};
    EXPECT_EQ(decide(three, "GARCIA MARQUEZ, ANA").proposed, "Ana Garcia Marquez");
    EXPECT_EQ(decide(three, "Patient: GarciaMarquez, Ana").proposed, "Ana Garcia Marquez");
    EXPECT_EQ(decide(three, "BENALI, FATIMA ZAHRA").proposed, "Fatima Zahra Benali");
    EXPECT_EQ(decide(three, "Fatima Benali").proposed, "Fatima Zahra Benali");
}

TEST(PatientIdentification, TwoVisitsOfOnePatientAreOnePatient) {
    QVariantList list = todaysList();
    list.prepend(patient("John", "Smith", "1950-01-02", "11"));
    const Outcome out = decide(list, "Smith, John");
    EXPECT_EQ(out.proposed, "John Smith");
    EXPECT_EQ(identifyPatient(list, QString("Smith, John")).proposed, 0) << "the first of the two visits";
    // Without ids: the same name and date of birth.
    EXPECT_EQ(
        decide({named("John Smith", "1950-01-02"), named("John Smith", "1950-01-02")}, "Smith, John").reason,
        "name");
    // Two people of one name: told apart by the date only.
    const QVariantList twins = {named("John Smith", "1950-01-02"), named("John Smith", "1971-08-30")};
    EXPECT_EQ(decide(twins, "Smith, John").reason, "ambiguous");
    EXPECT_EQ(identifyPatient(twins, QString("Smith, John DOB 8/30/71")).proposed, 1);
    // A two-digit year counts only labelled.
    EXPECT_EQ(decide(twins, "Smith, John 8/30/71").reason, "ambiguous");
}

// The cases of every class: names in focus against mentions, lists and
// namesakes, name forms, misreadings, dates of birth both ways, screens
// without a patient (identification/text_cases.txt; the page corpus of
// browser_pages.py renders the same classes).
TEST(PatientIdentification, EveryClassOfTheCases) {
    QFile patientsFile(QStringLiteral(KC_IDENTIFICATION_CASES "/patients.json"));
    ASSERT_TRUE(patientsFile.open(QIODevice::ReadOnly));
    const QVariantList list = QJsonDocument::fromJson(patientsFile.readAll()).toVariant().toList();
    QFile casesFile(QStringLiteral(KC_IDENTIFICATION_CASES "/text_cases.txt"));
    ASSERT_TRUE(casesFile.open(QIODevice::ReadOnly));
    struct Case {
        QString kind, expected, text;
    };
    QList<Case> cases;
    for (const QString &line : QString::fromUtf8(casesFile.readAll()).split('\n')) {
        if (line.startsWith("=== ")) {
            const QStringList head = line.mid(4).split('|');
            const QString expected = head.value(1).trimmed();
            cases.append({head.value(0).trimmed(), expected == "-" ? QString() : expected, {}});
        } else if (!cases.isEmpty() && !line.startsWith('#')) {
            cases.last().text += line + '\n';
        }
    }
    ASSERT_GE(cases.size(), 100);
    for (const Case &c : cases) {
        const Outcome out = decide(list, c.text.trimmed());
        // Never another patient; nobody only where the case says so.
        EXPECT_EQ(out.proposed, c.expected)
            << qPrintable(c.kind) << ": " << qPrintable(c.text) << " (" << qPrintable(out.reason)
            << "; subject " << qPrintable(out.subject) << ")";
    }
}

// A name as a screen shows it: words, the comma after the last name.
ReadName shownName(const QString &text) {
    ReadName name;
    for (QString word : text.split(' ', Qt::SkipEmptyParts)) {
        const bool comma = word.endsWith(',');
        const QString folded = foldName(word.remove(','));
        if (!name.parts.isEmpty() && isSuffix(alphanumeric(folded)))
            name.suffix = alphanumeric(folded);
        else
            name.parts << alphanumeric(folded), name.raw << folded;
        if (comma && name.surnameWords < 0)
            name.surnameWords = int(name.parts.size());
    }
    return name;
}

// Whether a name on screen can be a booked patient: every part shown must
// be theirs.
TEST(NameAgreement, EveryPartShownMustBeTheirs) {
    const struct {
        const char *shown;
        QVariantMap booked;
        NameAgreement expected;
    } cases[] = {
        {"ORTIZ, RAFAEL", named("Rafael Esteban Ortiz"), NameAgreement::Agrees},
        {"ORTIZ, RAFAEL E", patient("Rafael Esteban", "Ortiz", ""), NameAgreement::Agrees},
        {"ORTIZ, RAFAEL TOMAS", patient("Rafael Esteban", "Ortiz", ""), NameAgreement::Contradicts},
        {"ORTIZ, RAFAEL T", patient("Rafael Esteban", "Ortiz", ""), NameAgreement::Contradicts},
        // A booked name without middle names says nothing of those shown.
        {"AASHEIM, SIGRUN K", patient("Sigrun", "Aasheim", ""), NameAgreement::Agrees},
        // Particles are part of the last name, whichever side lacks them.
        {"DE LA VEGA, MARISA", patient("Marisa", "Vega", ""), NameAgreement::None},
        {"Marisa de la Vega", patient("Marisa", "Vega", ""), NameAgreement::None},
        {"VEGA, MARISA", patient("Marisa", "de la Vega", ""), NameAgreement::NeedsBirthDate},
        {"O CONNOR, SIOBHAN", patient("Siobhan", "O'Connor", ""), NameAgreement::Agrees},
        {"Siobhan OConnor", patient("Siobhan", "O'Connor", ""), NameAgreement::Agrees},
        {"CONNOR, SIOBHAN", patient("Siobhan", "O'Connor", ""), NameAgreement::NeedsBirthDate},
        // The comma says which is the last name; without it the order is
        // First Last, the other order only with the date of birth.
        {"OWEN, LEWIS", patient("Owen", "Lewis", ""), NameAgreement::None},
        {"LEWIS, OWEN", patient("Owen", "Lewis", ""), NameAgreement::Agrees},
        {"Owen Lewis", patient("Owen", "Lewis", ""), NameAgreement::Agrees},
        {"Lewis Owen", patient("Owen", "Lewis", ""), NameAgreement::NeedsBirthDate},
        // Suffixes: another one contradicts, a missing one does not.
        {"HALE JR, ROBERT", patient("Robert", "Hale", ""), NameAgreement::Agrees},
        {"HALE SR, ROBERT", patient("Robert", "Hale Jr.", ""), NameAgreement::Contradicts},
        // Initials, parts and misreadings only with the date of birth.
        {"K. Walsh", patient("Kieran", "Walsh", ""), NameAgreement::NeedsBirthDate},
        {"GARCIA, ANA", patient("Ana", "Garcia Marquez", ""), NameAgreement::NeedsBirthDate},
        {"MIILLER, HANS", patient("Hans", "Müller", ""), NameAgreement::NeedsBirthDate},
        {"LEVVIS, OWEN", patient("Owen", "Lewis", ""), NameAgreement::NeedsBirthDate},
        {"FRAN(OIS LEFEVRE", patient("François", "Lefèvre", ""), NameAgreement::NeedsBirthDate},
        {"Srnith, John", patient("John", "Smith", ""), NameAgreement::NeedsBirthDate},
        {"KIM, DANIELLE", patient("Daniel", "Kim", ""), NameAgreement::None},
        {"TEIXEIRA, MARIA", patient("Rosa Maria", "Teixeira", ""), NameAgreement::None},
        {"TEIXEIRA, ROSA", patient("Rosa Maria", "Teixeira", ""), NameAgreement::Agrees},
        {"Patricia Van der Berg", patient("Patricia", "Berg", ""), NameAgreement::None},
        {"Jean-Pierre Roux", patient("Jean Pierre", "Roux", ""), NameAgreement::Agrees},
    };
    for (const auto &c : cases)
        EXPECT_EQ(compareName(shownName(QString::fromUtf8(c.shown)), bookedNames(c.booked)), c.expected)
            << c.shown << " / " << qPrintable(c.booked.value("name").toString());
}

// A page read from its accessibility tree: its banner landmark is the
// record's top wherever it stands, a label bound to its field and a column
// header over its only cell are fields, a column over several cells is a
// list.
TEST(PatientIdentification, ThePagesStructure) {
    const QVariantList list = {patient("Adaeze", "Okonjo", "1984-05-17", "1"),
                               patient("Paola", "Moretti", "1951-02-14", "2")};
    struct Page {
        ScreenText text;
        QList<ScreenWord> words;
        int add(AccessibleRole role, int parent = -1) {
            ScreenElement e;
            e.role = role;
            e.parent = parent;
            text.elements << e;
            return int(text.elements.size() - 1);
        }
        void put(int element, int x, int y, const QString &shown) {
            for (const QString &w : shown.split(' ')) {
                words << ScreenWord{w, QRect(x, y, 14 * int(w.size()), 28), 0, 0, 100, element};
                x += 14 * int(w.size()) + 12;
            }
        }
        PatientIdentification decide(const QVariantList &patients) {
            text.imageHeight = 1400;
            text.source = TextSource::Page;
            return identifyPatient(patients, laidOutScreenText(words, text), kToday);
        }
    };
    // The banner far down a tall window, its date of birth in a field that
    // a label without a colon names.
    Page banner;
    const int landmark = banner.add(AccessibleRole::Landmark);
    banner.text.elements[landmark].landmark = "banner";
    banner.put(banner.add(AccessibleRole::Text), 20, 40, "Northside Family Clinic Charts Schedule");
    banner.put(banner.add(AccessibleRole::Heading, landmark), 20, 600, "OKONJO, ADAEZE");
    const int label = banner.add(AccessibleRole::Label, landmark),
              field = banner.add(AccessibleRole::Field, landmark);
    banner.text.elements[label].labelFor = {field};
    banner.put(label, 20, 660, "Date of birth");
    banner.put(field, 260, 660, "05/17/1984");
    banner.put(banner.add(AccessibleRole::Paragraph), 20, 900, "Seen with her brother today.");
    PatientIdentification id = banner.decide(list);
    EXPECT_EQ(id.proposed, 0);
    EXPECT_TRUE(id.dobOnScreen);
    // A table of one row under its column headers; of two rows, a list.
    for (const bool twoRows : {false, true}) {
        Page table;
        const int t = table.add(AccessibleRole::Table);
        const QList<QPair<QString, QString>> rows =
            twoRows ? QList<QPair<QString, QString>>{{"Okonjo, Adaeze", "05/17/1984"},
                                                     {"Moretti, Paola", "02/14/1951"}}
                    : QList<QPair<QString, QString>>{{"Okonjo, Adaeze", "05/17/1984"}};
        table.put(table.add(AccessibleRole::ColumnHeader, t), 20, 100, "Patient");
        table.put(table.add(AccessibleRole::ColumnHeader, t), 400, 100, "Date of birth");
        int y = 150;
        for (const auto &[name, dob] : rows) {
            const int row = table.add(AccessibleRole::TableRow, t);
            const int nameCell = table.add(AccessibleRole::TableCell, row),
                      dobCell = table.add(AccessibleRole::TableCell, row);
            table.text.elements[nameCell].columnHeader = "Patient";
            table.text.elements[dobCell].columnHeader = "Date of birth";
            table.put(nameCell, 20, y, name);
            table.put(dobCell, 400, y, dob);
            y += 50;
        }
        id = table.decide(list);
        EXPECT_EQ(id.proposed, twoRows ? std::nullopt : std::optional<qsizetype>(0)) << twoRows;
        EXPECT_EQ(id.dobOnScreen, !twoRows);
    }
}

TEST(FindDates, EveryWrittenForm) {
    auto has = [](const QString &text, int y, int m, int d) {
        return dateIsAmong(QDate(y, m, d), findDates(text));
    };
    EXPECT_TRUE(has("DOB: 04/12/1962", 1962, 4, 12));
    EXPECT_TRUE(has("DOB: 04/12/1962", 1962, 12, 4)); // the order cannot be told
    EXPECT_TRUE(has("DOB 4/1/62 age 63", 1962, 4, 1));
    EXPECT_TRUE(has("born 1962-04-12.", 1962, 4, 12));
    EXPECT_TRUE(has("Geb. 12.04.1962", 1962, 4, 12));
    EXPECT_TRUE(has("Date of birth Jan 2, 1950", 1950, 1, 2));
    EXPECT_TRUE(has("DOB: January 2nd 1950", 1950, 1, 2));
    EXPECT_TRUE(has("DOB 2 Jan 1950", 1950, 1, 2));
    EXPECT_TRUE(has("DOB 2 JAN. 1950", 1950, 1, 2));
    EXPECT_TRUE(has("DOB 04121962 MRN 4521987", 1962, 4, 12)); // slashes not read
    EXPECT_TRUE(has("DOB 19620412", 1962, 4, 12));
    EXPECT_TRUE(has("DOB 03 / 14 / 1961", 1961, 3, 14));
    EXPECT_TRUE(has("D.O.B. 14-MAR-1979", 1979, 3, 14));
    EXPECT_TRUE(has("DOB 14-Mar-79", 1979, 3, 14));
    EXPECT_TRUE(has("DOB Mar 14 1979", 1979, 3, 14));
    EXPECT_TRUE(has("Date of birth 14 March 1979", 1979, 3, 14));
    EXPECT_TRUE(has("Birth date 1979/03/14", 1979, 3, 14));
    EXPECT_TRUE(has("Birth date 1979/3/4", 1979, 3, 4));
    // Month names in any order, in four languages.
    for (const char *text :
         {"DOB Mar-14-1979", "DOB 14/Mar/1979", "DOB 1979-Mar-14", "DOB Mar. 14, 1979", "geb. 14. März 1979",
          "Fecha de nacimiento: 14 de marzo de 1979", "Née le 14 mars 1979", "14-MRZ-1979", "1979 mars 14"})
        EXPECT_TRUE(has(QString::fromUtf8(text), 1979, 3, 14)) << text;
    EXPECT_TRUE(has("1er févr. 1980", 1980, 2, 1));
    EXPECT_TRUE(has("DOB 2 août 1980", 1980, 8, 2));
    EXPECT_TRUE(has("17 dic 2001", 2001, 12, 17));
    EXPECT_FALSE(has("Room 12 2026", 2026, 12, 1));
    EXPECT_FALSE(has("MRN 4521987 Room 4", 1987, 4, 5));
    EXPECT_FALSE(has("04/12/1962", 1962, 4, 13));
    EXPECT_FALSE(has("04/12/1962", 1963, 4, 12));
    EXPECT_FALSE(has("BP 120/80 HR 72", 1980, 12, 1));
    EXPECT_FALSE(has("Phone 555-0100-2024", 2024, 5, 1));
    EXPECT_FALSE(has("31/31/1999 13/13/13", 1999, 1, 31));
    EXPECT_TRUE(findDates("no dates here 12 34").isEmpty());
}

TEST(FindDates, PatientDatesOfBirth) {
    EXPECT_EQ(patientBirthDate("1950-01-02"), QDate(1950, 1, 2));
    EXPECT_EQ(patientBirthDate("1950-01-02T00:00:00Z"), QDate(1950, 1, 2));
    EXPECT_EQ(patientBirthDate("03/14/1961"), QDate(1961, 3, 14));
    EXPECT_EQ(patientBirthDate("04/12/1962"), QDate(1962, 4, 12)); // month first
    EXPECT_EQ(patientBirthDate("12.04.1962"), QDate(1962, 4, 12)); // day first
    EXPECT_EQ(patientBirthDate("Jan 2, 1950"), QDate(1950, 1, 2));
    EXPECT_FALSE(patientBirthDate("").isValid());
    EXPECT_FALSE(patientBirthDate("unknown").isValid());
    EXPECT_FALSE(dateIsAmong(QDate(), findDates("01/02/1950")));
}

// A date of birth's century, and ages as records write them.
TEST(FindDates, BirthDatesAndAges) {
    const QDate today(2026, 12, 9);
    EXPECT_EQ(birthDateFrom({82, 2, 28, true}, today), QDate(1982, 2, 28));
    EXPECT_FALSE(birthDateFrom({10, 3, 4, true}, today))
        << "2010 or 1910: a two-digit year that cannot be told";
    EXPECT_FALSE(birthDateFrom({2027, 1, 1, false}, today)) << "not born yet";
    EXPECT_FALSE(birthDateFrom({1890, 1, 1, false}, today));
    const struct {
        const char *text;
        double years;
    } ages[] = {{"Age 42", 42}, {"Age: 42", 42},     {"42 y", 42},  {"42yo", 42},    {"42 y/o", 42},
                {"42 yrs", 42}, {"42-year-old", 42}, {"42F", 42},   {"F/42", 42},    {"Edad: 23 años", 23},
                {"46 ans", 46}, {"Alter 47 J.", 47}, {"6 mo", 0.5}, {"Âge : 46", 46}};
    for (const auto &a : ages) {
        const QList<PlacedAge> found = findAges(QString::fromUtf8(a.text));
        ASSERT_EQ(found.size(), 1) << a.text;
        EXPECT_DOUBLE_EQ(found.first().years, a.years) << a.text;
    }
    EXPECT_TRUE(findAges("Page 42   BP 120/80   Room 4").isEmpty());
}

} // namespace
