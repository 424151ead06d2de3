#include "capture/string_score.h"

#include <algorithm>

namespace {

bool isKeptCategory(QChar::Category category) {
    return category == QChar::Letter_Lowercase || category == QChar::Letter_Uppercase ||
           category == QChar::Letter_Titlecase;
}

bool isAsciiLetterOrSpace(char16_t c) {
    return (c >= u'a' && c <= u'z') || (c >= u'A' && c <= u'Z') || c == u' ';
}

// Per-character contributions. Written as the sums the walk describes so that
// they are the very same doubles: base 0.1, same-case 0.2, plus 0.6 for a
// match at the start of the remainder or 0.8 for a match after a space.
constexpr double kOtherCase = 0.1;
constexpr double kSameCase = 0.2;
constexpr double kStartBonus = 0.6;
constexpr double kAfterSpaceBonus = 0.8;
constexpr double kMissing = 0.1;

} // namespace

QString scoreCleaned(QStringView text) {
    QString out;
    out.reserve(text.size());
    const bool ascii = std::all_of(text.begin(), text.end(), [](QChar c) { return c.unicode() < 0x80; });
    if (ascii) {
        // Decomposition leaves ASCII alone, and its only letters are a-z, A-Z.
        for (QChar c : text) {
            if (isAsciiLetterOrSpace(c.unicode()))
                out.append(c);
        }
        return out;
    }
    const QString decomposed = text.toString().normalized(QString::NormalizationForm_D);
    const qsizetype n = decomposed.size();
    for (qsizetype i = 0; i < n; ++i) {
        const QChar c = decomposed.at(i);
        if (c.isHighSurrogate() && i + 1 < n && decomposed.at(i + 1).isLowSurrogate()) {
            const char32_t ucs4 = QChar::surrogateToUcs4(c, decomposed.at(i + 1));
            if (isKeptCategory(QChar::category(ucs4))) {
                out.append(c);
                out.append(decomposed.at(i + 1));
            }
            ++i;
            continue;
        }
        if (c.unicode() == u' ' || isKeptCategory(c.category()))
            out.append(c);
    }
    return out;
}

ScoreTextIndex::ScoreTextIndex(QString cleanedText) : m_text(std::move(cleanedText)) {
    const size_t length = size_t(m_text.size());
    m_distance.assign((length + 1) * kRow, kFar);
    const char16_t *text = QStringView(m_text).utf16();
    for (size_t j = length; j-- > 0;) {
        const quint8 *below = m_distance.data() + (j + 1) * kRow;
        quint8 *row = m_distance.data() + j * kRow;
        for (int c = 0; c < kRow; ++c)
            row[c] = below[c] == kFar ? kFar : quint8(below[c] + 1);
        const int characterClass = classOf(text[j]);
        if (characterClass >= 0)
            row[characterClass] = 0;
    }
}

qsizetype ScoreTextIndex::next(int characterClass, qsizetype from, qsizetype end) const {
    const quint8 distance = m_distance[size_t(from) * kRow + size_t(characterClass)];
    if (distance != kFar) {
        const qsizetype p = from + distance;
        return p < end ? p : -1;
    }
    // Far away or nowhere: look further only when the slice reaches that far.
    const char16_t *text = QStringView(m_text).utf16();
    for (qsizetype j = from + kFar; j < end; ++j) {
        if (classOf(text[j]) == characterClass)
            return j;
    }
    return -1;
}

ScorePattern::ScorePattern(QStringView pattern) : m_cleaned(scoreCleaned(pattern)) {
    m_units.reserve(m_cleaned.size());
    for (QChar ch : std::as_const(m_cleaned)) {
        Unit unit;
        unit.c = ch.unicode();
        unit.asciiClass = ScoreTextIndex::classOf(unit.c);
        if (unit.c < 0x80) {
            unit.lower = (unit.c >= u'A' && unit.c <= u'Z') ? char16_t(unit.c + 32) : unit.c;
            unit.upper = (unit.c >= u'a' && unit.c <= u'z') ? char16_t(unit.c - 32) : unit.c;
        } else {
            const QString single(ch);
            unit.lowerForm = single.toLower();
            unit.upperForm = single.toUpper();
            unit.simple = unit.lowerForm.size() == 1 && unit.upperForm.size() == 1;
            if (unit.simple) {
                unit.lower = unit.lowerForm.at(0).unicode();
                unit.upper = unit.upperForm.at(0).unicode();
            }
        }
        m_units.push_back(unit);
    }
}

// First position >= from (and < end) where either case form of the unit
// starts, or -1.
qsizetype ScorePattern::find(const Unit &unit, const char16_t *text, qsizetype from, qsizetype end) {
    if (unit.simple) {
        const char16_t lower = unit.lower;
        const char16_t upper = unit.upper;
        for (qsizetype j = from; j < end; ++j) {
            if (text[j] == lower || text[j] == upper)
                return j;
        }
        return -1;
    }
    const QStringView rest(text + from, end - from);
    const qsizetype lower = rest.indexOf(unit.lowerForm);
    const qsizetype upper = rest.indexOf(unit.upperForm);
    if (lower < 0 && upper < 0)
        return -1;
    if (lower < 0)
        return from + upper;
    if (upper < 0)
        return from + lower;
    return from + std::min(lower, upper);
}

// The walk over text[begin, end): each character of the pattern is looked
// up in the remainder, which starts after the previous match.
template <typename Find>
double ScorePattern::walk(const char16_t *text, qsizetype begin, qsizetype end,
                          std::optional<float> fuzziness, Find find) const {
    const qsizetype s = end - begin;
    const qsizetype a = m_cleaned.size();
    const float missingFuzz = fuzziness ? 1.0f - *fuzziness : 0.0f;
    double total = 0.0;
    double fuzzies = 1.0;
    bool startBonus = false;
    qsizetype pos = begin; // start of the remainder
    for (qsizetype i = 0; i < a; ++i) {
        const Unit &unit = m_units[size_t(i)];
        const qsizetype p = pos < end ? find(unit, pos) : -1;
        if (p < 0) {
            if (!fuzziness)
                return 0.0;
            fuzzies += missingFuzz;
            total += kMissing;
            continue;
        }
        double characterScore = text[p] == unit.c ? kSameCase : kOtherCase;
        if (p == pos) {
            characterScore += kStartBonus;
            if (i == 0)
                startBonus = true;
        } else if (text[p - 1] == u' ') {
            characterScore += kAfterSpaceBonus;
        }
        pos = p + 1;
        total += characterScore;
    }

    const double x = total / double(a);
    const double proportion = double(a) / double(s);
    double result = (proportion * x + x) * 0.5 / fuzzies;
    if (startBonus && result + 0.15 < 1.0)
        result += 0.15;
    return result;
}

double ScorePattern::score(QStringView cleanedSearched, std::optional<float> fuzziness) const {
    if (cleanedSearched == QStringView(m_cleaned))
        return 1.0;
    if (m_cleaned.isEmpty())
        return 0.0;
    const char16_t *text = cleanedSearched.utf16();
    const qsizetype end = cleanedSearched.size();
    return walk(text, 0, end, fuzziness,
                [text, end](const Unit &unit, qsizetype from) { return find(unit, text, from, end); });
}

double ScorePattern::score(const ScoreTextIndex &index, qsizetype begin, qsizetype end,
                           std::optional<float> fuzziness) const {
    const char16_t *text = QStringView(index.text()).utf16();
    if (end - begin == m_cleaned.size() && QStringView(text + begin, end - begin) == QStringView(m_cleaned))
        return 1.0;
    if (m_cleaned.isEmpty())
        return 0.0;
    return walk(text, begin, end, fuzziness,
                [&index, text, end](const Unit &unit, qsizetype from) -> qsizetype {
                    if (unit.asciiClass >= 0)
                        return index.next(unit.asciiClass, from, end);
                    return find(unit, text, from, end);
                });
}

double scoreAgainst(const QString &searched, const QString &pattern, std::optional<float> fuzziness,
                    quint64 options) {
    Q_UNUSED(options);
    return ScorePattern(pattern).score(scoreCleaned(searched), fuzziness);
}

double scoreAgainst(const QString &searched, const QString &pattern, std::optional<float> fuzziness) {
    return scoreAgainst(searched, pattern, fuzziness, ScoreOptionDefault);
}

double scoreAgainst(const QString &searched, const QString &pattern) {
    return scoreAgainst(searched, pattern, std::nullopt, ScoreOptionDefault);
}
