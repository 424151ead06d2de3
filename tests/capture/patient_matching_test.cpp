// Proposing a patient from recognised text: the documented cases, the edges
// of the sliding window, and agreement with the reference matching on random
// window texts and patient lists.

#include "capture/patient_matching.h"
#include "random_text.h"
#include "reference_score.h"

#include <bit>
#include <gtest/gtest.h>

namespace {

QVariantMap patient(const QString &name, const QString &id = {}) {
    return {{"name", name},           {"dob", ""},      {"emr_patient_id", ""}, {"emr_appointment_id", ""},
            {"profile_image_id", ""}, {"kelvraID", id}, {"interaction_id", id}, {"exam_room_name", ""}};
}

QVariantList patients(const QStringList &names) {
    QVariantList list;
    for (const QString &n : names)
        list << patient(n, QString::number(list.size()));
    return list;
}

QString proposedName(const QVariantList &list, const std::optional<QString> &text) {
    const std::optional<QVariantMap> proposed = determinePatientFromList(list, text);
    return proposed ? proposed->value("name").toString() : QStringLiteral("<none>");
}

TEST(PatientMatching, DocumentedExample) {
    const QVariantList list = patients({"John Smith", "Jane Doe"});
    const QString text = "Patient: Smith, John DOB 01/02/1950";
    const QList<double> scores = bestScoresForPatients(list, text);
    ASSERT_EQ(scores.size(), 2);
    EXPECT_EQ(scores[0], 1.0);
    EXPECT_NEAR(scores[1], 0.3833, 5e-5);
    EXPECT_EQ(proposedName(list, text), "John Smith");
}

TEST(PatientMatching, BothNameOrders) {
    const QVariantList list = patients({"Jane Doe", "John Smith", "Johan Smithers", "Joan Smyth"});
    EXPECT_EQ(proposedName(list, "Chart for John Smith\nVisit 12"), "John Smith");
    EXPECT_EQ(proposedName(list, "SMITH, JOHN 01/02/1950"), "John Smith");
    EXPECT_EQ(proposedName(list, "Smyth, Joan"), "Joan Smyth");
    // "First Last" scores below 1 (the candidate's leading space), "Last, First" exactly 1.
    EXPECT_LT(bestScoresForPatients(list, "John Smith")[1], 1.0);
    EXPECT_EQ(bestScoresForPatients(list, "Smith, John")[1], 1.0);
}

TEST(PatientMatching, NoTextOrNoPatients) {
    EXPECT_FALSE(determinePatientFromList(patients({"John Smith"}), std::nullopt));
    EXPECT_FALSE(determinePatientFromList({}, "Smith, John"));
    EXPECT_EQ(bestScoresForPatients(patients({"A B", "C D"}), std::nullopt), QList<double>({0.0, 0.0}));
}

TEST(PatientMatching, AlwaysProposesSomeoneWhenThereIsText) {
    const QVariantList list = patients({"John Smith", "Jane Doe"});
    EXPECT_NE(proposedName(list, "0000 1111 2222"), "<none>");
    EXPECT_NE(proposedName(list, ""), "<none>");
    // Equal best scores: the first of them in list order.
    EXPECT_EQ(proposedName(patients({"Xq Zq", "Zq Xq"}), "0000 1111 2222"), "Xq Zq");
}

TEST(PatientMatching, WindowEdges) {
    // A text of exactly n words gives one window: the name is still found.
    EXPECT_EQ(bestScoresForPatients(patients({"John Smith"}), "Smith, John")[0], 1.0);
    // A name longer than the text has no window and scores 0; others still match.
    const QVariantList list = patients({"Mary Ann Jane Lee", "Ann Lee"});
    const QList<double> scores = bestScoresForPatients(list, "Lee, Ann");
    EXPECT_EQ(scores[0], 0.0);
    EXPECT_EQ(scores[1], 1.0);
    // Two spaces in a row make an empty word, which is a word of its own.
    EXPECT_EQ(bestScoresForPatients(patients({"John Smith"}), "Smith,  John")[0],
              referenceBestScores(patients({"John Smith"}), "Smith,  John")[0]);
    EXPECT_LT(bestScoresForPatients(patients({"John Smith"}), "Smith,  John")[0], 1.0);
    // A line feed does not separate words.
    EXPECT_LT(bestScoresForPatients(patients({"John Smith"}), "Smith,\nJohn")[0], 1.0);
}

TEST(PatientMatching, NameWithoutLettersIsNeverMatched) {
    // A patient whose first and last names are both empty ("  " reversed)
    // would otherwise score 1.0 against any two words without letters.
    const QVariantList list = patients({" ", "John Smith"});
    const QString text = "Visit 01/02/2024 10:30 John Smith";
    EXPECT_EQ(bestScoresForPatients(list, text)[0], 0.0);
    EXPECT_EQ(proposedName(list, text), "John Smith");
}

TEST(PatientMatching, AgreesWithReferenceBitForBit) {
    RandomText random(42);
    int patientsCompared = 0;
    for (int round = 0; round < 300; ++round) {
        QVariantList list;
        const int count = random.number(0, 12);
        for (int i = 0; i < count; ++i)
            list << patient(random.chance(0.9) ? random.name() : random.string(10), QString::number(i));
        QString text = random.windowText(random.number(0, 40));
        if (!list.isEmpty() && random.chance(0.5)) {
            // Put one of the names on screen, in one form or the other.
            const QStringList parts = random.pick(list).toMap().value("name").toString().split(' ');
            text += random.chance(0.5) ? " " + parts.join(' ') : " " + parts.last() + ", " + parts.first();
            text += " " + random.windowText(3);
        }
        if (random.chance(0.15)) {
            // A word longer than the index's short distances.
            const QString filler(random.number(250, 600), random.chance(0.5) ? 'x' : 'e');
            text += " " + filler + random.word() + filler.left(random.number(0, 300)) + " " + random.word();
        }
        const QList<double> expected = referenceBestScores(list, text);
        const QList<double> actual = bestScoresForPatients(list, text);
        ASSERT_EQ(expected.size(), actual.size());
        for (qsizetype i = 0; i < expected.size(); ++i) {
            ASSERT_EQ(std::bit_cast<quint64>(expected[i]), std::bit_cast<quint64>(actual[i]))
                << "patient " << qPrintable(list[i].toMap().value("name").toString()) << " text "
                << qPrintable(text);
            ++patientsCompared;
        }
        EXPECT_EQ(referenceDeterminePatient(list, text), determinePatientFromList(list, text));
    }
    EXPECT_GT(patientsCompared, 500);
}

} // namespace
