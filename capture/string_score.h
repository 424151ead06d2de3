#pragma once
// The string score: a fuzzy, order-preserving measure of how well a pattern
// occurs, character by character, in a searched string. Both strings are
// first cleaned (canonical decomposition, then only lower-, upper- and
// title-case letters and the space are kept); the pattern is then walked
// character by character, each one looked up in what is left of the searched
// string after the previous match. Lengths and positions count UTF-16 code
// units.
//
// The result is 1.0 for strings that are equal after cleaning, 0 for a
// pattern that cleans to empty (or, without a fuzziness, for a pattern with a
// character that finds no match) and +infinity for a searched string that
// cleans to empty against a non-empty pattern with a fuzziness.

#include <QString>
#include <QStringView>
#include <optional>
#include <vector>

// Options of scoreAgainst(). Every value weighs the score the same way; the
// matching passes ScoreOptionDefault.
inline constexpr quint64 ScoreOptionDefault = 1;

double scoreAgainst(const QString &searched, const QString &pattern, std::optional<float> fuzziness,
                    quint64 options);
double scoreAgainst(const QString &searched, const QString &pattern, std::optional<float> fuzziness);
double scoreAgainst(const QString &searched, const QString &pattern);

// The cleaning applied to both strings of a score. Cleaning commutes with
// joining at spaces: cleaned(a + " " + b) == cleaned(a) + " " + cleaned(b).
QString scoreCleaned(QStringView text);

// A cleaned text with, for every position, the distance to the next
// position of each ASCII letter (either case) and of the space, so that
// scoring many slices of the text against many patterns finds those
// characters without scanning.
class ScoreTextIndex {
public:
    // Classes: 0-25 the letters a-z of either case, 26 the space.
    static constexpr int kClasses = 27;
    static int classOf(char16_t c) {
        if (c >= u'a' && c <= u'z')
            return c - u'a';
        if (c >= u'A' && c <= u'Z')
            return c - u'A';
        return c == u' ' ? 26 : -1;
    }

    explicit ScoreTextIndex(QString cleanedText);
    const QString &text() const { return m_text; }
    // The first position >= from and < end holding a character of the
    // class, or -1.
    qsizetype next(int characterClass, qsizetype from, qsizetype end) const;

private:
    // One row of distances per position (and one past the end); a distance
    // of kFar means "kFar or more, or none".
    static constexpr int kRow = 32;
    static constexpr quint8 kFar = 255;
    QString m_text;
    std::vector<quint8> m_distance;
};

// A pattern prepared once (cleaned, with the case forms of every character)
// for scoring against many searched strings that are already cleaned.
class ScorePattern {
public:
    explicit ScorePattern(QStringView pattern);

    const QString &cleaned() const { return m_cleaned; }
    // The score of `cleanedSearched` (the output of scoreCleaned()) against
    // this pattern; equal to scoreAgainst() on the uncleaned strings.
    double score(QStringView cleanedSearched, std::optional<float> fuzziness) const;
    // The same for the slice [begin, end) of an indexed cleaned text.
    double score(const ScoreTextIndex &index, qsizetype begin, qsizetype end,
                 std::optional<float> fuzziness) const;

private:
    struct Unit {
        char16_t c = 0;
        // ScoreTextIndex class of an ASCII letter or the space, else -1.
        int asciiClass = -1;
        // Single-unit case forms, when both forms are one code unit.
        char16_t lower = 0;
        char16_t upper = 0;
        bool simple = true;
        // Otherwise the full forms, looked up as substrings.
        QString lowerForm;
        QString upperForm;
    };
    static qsizetype find(const Unit &unit, const char16_t *text, qsizetype from, qsizetype end);
    template <typename Find>
    double walk(const char16_t *text, qsizetype begin, qsizetype end, std::optional<float> fuzziness,
                Find find) const;

    QString m_cleaned;
    std::vector<Unit> m_units;
};
