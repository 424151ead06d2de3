// The string score: the documented values, and agreement bit for bit with the
// plain reference implementation on many random inputs.

#include "capture/string_score.h"
#include "random_text.h"
#include "reference_score.h"

#include <bit>
#include <cmath>
#include <gtest/gtest.h>

namespace {

constexpr float kFuzz = 0.8f;

::testing::AssertionResult sameBits(double expected, double actual) {
    if (std::bit_cast<quint64>(expected) == std::bit_cast<quint64>(actual))
        return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure() << "reference " << qPrintable(QString::number(expected, 'g', 17))
                                         << " vs production " << qPrintable(QString::number(actual, 'g', 17));
}

TEST(StringScore, EqualAfterCleaningScoresOne) {
    EXPECT_EQ(scoreAgainst(" Smith, John", " Smith John", kFuzz), 1.0);
    EXPECT_EQ(scoreAgainst("John Smith", "John Smith", kFuzz), 1.0);
    EXPECT_EQ(scoreAgainst("José", "Jose\u0301", kFuzz), 1.0);
    // Both empty after cleaning.
    EXPECT_EQ(scoreAgainst("01/02/1950", "--", kFuzz), 1.0);
    EXPECT_EQ(scoreAgainst("", ""), 1.0);
}

TEST(StringScore, DocumentedValues) {
    // T = 8.2 over a = 10, s = 11; J matches at position 1, so no start bonus.
    EXPECT_NEAR(scoreAgainst(" John Smith", "John Smith", kFuzz), 0.7827, 5e-5);
    EXPECT_DOUBLE_EQ(scoreAgainst(" John Smith", "John Smith", kFuzz), (8.2 / 10 * 10 / 11 + 8.2 / 10) / 2);
    // Start bonus, then five characters that find nothing left.
    EXPECT_NEAR(scoreAgainst(" John Smith", " Smith John", kFuzz), 0.40, 1e-7);
    EXPECT_NEAR(scoreAgainst(" SMITH JOHN", " Smith John", kFuzz), 0.8864, 5e-5);
    EXPECT_NEAR(scoreAgainst(" Jon Smith", "John Smith", kFuzz), 0.1125, 1e-7);
}

TEST(StringScore, FuzzinessIsSinglePrecision) {
    // Five misses with 0.8f: the divisor is 1 + 5 * 0.19999999, not 2, so the
    // score is a hair above 0.40.
    const double score = scoreAgainst(" John Smith", " Smith John", kFuzz);
    EXPECT_NEAR(score, 0.5 / (1.0 + 5 * double(1.0f - 0.8f)) + 0.15, 1e-15);
    EXPECT_GT(score - 0.40, 5e-9);
}

TEST(StringScore, MissingCharacterWithoutFuzzinessScoresZero) {
    EXPECT_EQ(scoreAgainst(" John Smith", " Smith John"), 0.0);
    EXPECT_EQ(scoreAgainst("John Smith", "Johnx"), 0.0);
    EXPECT_GT(scoreAgainst("John Smith", "Jhn"), 0.0);
}

TEST(StringScore, EmptyPatternsAndSearchedStrings) {
    // A pattern that cleans to empty scores 0 against anything else.
    EXPECT_EQ(scoreAgainst("John", "1234", kFuzz), 0.0);
    EXPECT_EQ(scoreAgainst("John", ""), 0.0);
    // A searched string that cleans to empty: infinite with a fuzziness, 0 without.
    EXPECT_TRUE(std::isinf(scoreAgainst("12/34", "John", kFuzz)));
    EXPECT_GT(scoreAgainst("12/34", "John", kFuzz), 0.0);
    EXPECT_EQ(scoreAgainst("12/34", "John"), 0.0);
}

TEST(StringScore, StartBonusOnlyBelowOne) {
    // Below one: "John" in "Johnx", start bonus added.
    EXPECT_DOUBLE_EQ(scoreAgainst("Johnx", "John", kFuzz), (0.8 * 4 / 5 + 0.8) / 2 + 0.15);
    // With fuzziness 1 misses cost nothing in the divisor, and a long pattern
    // against a short string is not capped: no bonus once at or above one.
    const QString pattern = "a" + QString(20, 'x');
    double total = 0.8;
    for (int i = 0; i < 20; ++i)
        total += 0.1;
    const double x = total / 21;
    EXPECT_EQ(scoreAgainst("a", pattern, 1.0f), (21.0 * x + x) * 0.5);
    EXPECT_GT(scoreAgainst("a", pattern, 1.0f), 1.0);
}

TEST(StringScore, CaseFormsThatAreNotOneUnit) {
    // The upper-case form of sharp s is "SS": it is found as a substring.
    EXPECT_GT(scoreAgainst("STRASSE", "ß"), 0.0);
    EXPECT_EQ(scoreAgainst("STRASE", "ß"), 0.0);
    // Long s finds S (its upper case) but not s.
    EXPECT_GT(scoreAgainst("S", "ſ"), 0.0);
    EXPECT_EQ(scoreAgainst("s", "ſ"), 0.0);
    // A letter outside the BMP counts as two code units.
    EXPECT_GT(scoreAgainst("\U0001D400x", "\U0001D400"), 0.0);
}

TEST(StringScore, CleaningMatchesReference) {
    RandomText random(7);
    for (int i = 0; i < 5000; ++i) {
        const QString s = random.string(12);
        ASSERT_EQ(scoreCleaned(s), referenceCleaned(s)) << qPrintable(s);
    }
}

TEST(StringScore, CleaningCommutesWithJoiningAtSpaces) {
    RandomText random(11);
    for (int i = 0; i < 5000; ++i) {
        const QString a = random.string(8).remove(' ');
        const QString b = random.string(8).remove(' ');
        ASSERT_EQ(referenceCleaned(" " + a + " " + b), " " + referenceCleaned(a) + " " + referenceCleaned(b))
            << qPrintable(a) << " | " << qPrintable(b);
    }
}

// Production against reference, bit for bit, on random pairs, random pairs
// built to match, with no fuzziness, 0.8 and random fuzziness.
TEST(StringScore, AgreesWithReferenceBitForBit) {
    RandomText random(20261208);
    int compared = 0;
    int nonTrivial = 0;
    for (int i = 0; i < 60000; ++i) {
        QString searched;
        QString pattern;
        switch (i % 4) {
        case 0:
            searched = random.string(16);
            pattern = random.string(8);
            break;
        case 1:
            searched = random.windowText(random.number(1, 3));
            pattern = random.name();
            break;
        case 2:
        case 3:
            searched = (i % 8 == 2 ? " " : "") + random.windowText(random.number(1, 4));
            pattern = random.patternFrom(searched);
            break;
        }
        std::optional<float> fuzziness;
        if (i % 3 == 1)
            fuzziness = kFuzz;
        else if (i % 3 == 2)
            fuzziness = float(random.number(0, 1000)) / 1000.0f;
        const double expected = referenceScore(searched, pattern, fuzziness);
        const double actual = scoreAgainst(searched, pattern, fuzziness, ScoreOptionDefault);
        ASSERT_TRUE(sameBits(expected, actual))
            << "searched \"" << qPrintable(searched) << "\" pattern \"" << qPrintable(pattern)
            << "\" fuzziness " << (fuzziness ? *fuzziness : -1.0f);
        ++compared;
        if (expected != 0.0 && expected != 1.0 && !std::isinf(expected))
            ++nonTrivial;
    }
    EXPECT_EQ(compared, 60000);
    // Most comparisons must exercise the walk, not the shortcuts.
    EXPECT_GT(nonTrivial, 30000);
}

} // namespace
