#include "capture/patient_matching.h"

#include "capture/string_score.h"

#include <QSet>
#include <QStringList>
#include <array>
#include <atomic>
#include <bit>
#include <cmath>
#include <map>
#include <thread>
#include <vector>

namespace {

// The recognised words, cleaned once. Cleaning commutes with joining at
// spaces, so the cleaned candidate of the words k .. k+n-1 (" w_k ... w_k+n-1")
// is one slice of the cleaned words joined with a space before each.
class CleanedWords {
public:
    explicit CleanedWords(const QString &text)
        : m_index(join(text.split(QLatin1Char(' '), Qt::KeepEmptyParts))) {}

    struct Window {
        qsizetype begin;
        qsizetype end;
        quint32 classes; // ScoreTextIndex classes present in the candidate
    };

    qsizetype count() const { return qsizetype(m_starts.size()); }
    const ScoreTextIndex &index() const { return m_index; }

    // The windows of n words whose cleaned candidates differ, in text order.
    // A candidate that occurs again scores the same and cannot raise a best
    // score, so each is scored once. Requires n <= count() and prepare(n)
    // before; reading them is safe from several threads.
    const std::vector<Window> &distinctWindows(qsizetype n) const { return m_distinct.at(n); }

    void prepare(qsizetype n) {
        std::vector<Window> &windows = m_distinct[n];
        if (!windows.empty())
            return;
        const QStringView text(m_index.text());
        QSet<QStringView> seen;
        for (qsizetype k = 0; k + n <= count(); ++k) {
            const qsizetype begin = m_starts[size_t(k)];
            const qsizetype end = m_ends[size_t(k + n - 1)];
            const QStringView candidate = text.mid(begin, end - begin);
            if (seen.contains(candidate))
                continue;
            seen.insert(candidate);
            quint32 classes = 0;
            for (qsizetype j = k; j < k + n; ++j)
                classes |= m_classes[size_t(j)];
            windows.push_back({begin, end, classes});
        }
    }

private:
    QString join(const QStringList &words) {
        QString joined;
        m_starts.reserve(size_t(words.size()));
        m_ends.reserve(size_t(words.size()));
        for (const QString &word : words) {
            m_starts.push_back(joined.size());
            joined.append(QLatin1Char(' '));
            quint32 classes = 1u << ScoreTextIndex::classOf(u' ');
            for (QChar c : scoreCleaned(word)) {
                const int characterClass = ScoreTextIndex::classOf(c.unicode());
                if (characterClass >= 0)
                    classes |= 1u << characterClass;
                joined.append(c);
            }
            m_classes.push_back(classes);
            m_ends.push_back(joined.size());
        }
        return joined;
    }

    std::vector<qsizetype> m_starts;
    std::vector<qsizetype> m_ends;
    std::vector<quint32> m_classes;
    ScoreTextIndex m_index;
    std::map<qsizetype, std::vector<Window>> m_distinct;
};

// An upper bound of a pattern's score over candidates that lack some of the
// pattern's ASCII characters: each character found adds at most 1.0 to the
// total, each one missing adds 0.1 and grows the divisor, and the start bonus
// needs the pattern to begin with a space (every candidate does). Lets the
// matching skip candidates that cannot beat a patient's best so far.
class ScoreBound {
public:
    ScoreBound(const QString &cleanedPattern, float fuzziness) : m_length(cleanedPattern.size()) {
        for (QChar c : cleanedPattern) {
            const int characterClass = ScoreTextIndex::classOf(c.unicode());
            if (characterClass >= 0) {
                ++m_counts[size_t(characterClass)];
                m_classes |= 1u << characterClass;
            } else {
                ++m_unclassified; // assumed found
            }
        }
        m_startBonus = !cleanedPattern.isEmpty() && cleanedPattern.at(0) == QLatin1Char(' ') ? 0.15 : 0.0;
        const double missCost = double(1.0f - fuzziness);
        const double a = double(m_length);
        for (qsizetype found = 0; found <= m_length; ++found) {
            const double missing = double(m_length - found);
            m_scoreFactor.push_back((double(found) + 0.1 * missing) / a * 0.5 / (1.0 + missing * missCost));
        }
    }

    // True when no candidate of `length` code units holding only `classes`
    // of the ASCII classes can score above `best`.
    bool cannotExceed(quint32 classes, qsizetype length, double best) const {
        if (m_length == 0)
            return false;
        qsizetype found = m_unclassified;
        for (quint32 present = classes & m_classes; present; present &= present - 1)
            found += m_counts[size_t(std::countr_zero(present))];
        // score <= (a / s + 1) * factor + bonus, with room for rounding.
        const double s = double(length);
        return (double(m_length) + s) * m_scoreFactor[size_t(found)] < (best - m_startBonus - 1e-9) * s;
    }

private:
    qsizetype m_length;
    std::array<qsizetype, ScoreTextIndex::kClasses> m_counts{};
    quint32 m_classes = 0;
    qsizetype m_unclassified = 0;
    double m_startBonus = 0.0;
    std::vector<double> m_scoreFactor;
};

bool hasLetter(const QString &cleaned) {
    return cleaned.size() > cleaned.count(QLatin1Char(' '));
}

double bestScore(const CleanedWords &words, const QString &name) {
    const QStringList parts = name.split(QLatin1Char(' '), Qt::KeepEmptyParts);
    const qsizetype n = parts.size();
    const qsizetype m = words.count();
    if (n > m)
        return 0.0;
    QString reversedName;
    for (qsizetype i = n - 1; i >= 0; --i) {
        reversedName.append(QLatin1Char(' '));
        reversedName.append(parts.at(i));
    }
    const ScorePattern forward(name);
    // A name without letters (only spaces remain after cleaning) would score
    // 1.0 against any run of digits or punctuation such as a date and a time.
    if (!hasLetter(forward.cleaned()))
        return 0.0;
    const ScorePattern reversed(reversedName);
    const ScoreBound forwardBound(forward.cleaned(), kPatientMatchFuzziness);
    const ScoreBound reversedBound(reversed.cleaned(), kPatientMatchFuzziness);

    double best = 0.0;
    for (const CleanedWords::Window &window : words.distinctWindows(n)) {
        const qsizetype length = window.end - window.begin;
        if (!forwardBound.cannotExceed(window.classes, length, best)) {
            const double s1 = forward.score(words.index(), window.begin, window.end, kPatientMatchFuzziness);
            if (s1 > best && !std::isinf(s1))
                best = s1;
        }
        if (!reversedBound.cannotExceed(window.classes, length, best)) {
            const double s2 = reversed.score(words.index(), window.begin, window.end, kPatientMatchFuzziness);
            if (s2 > best && !std::isinf(s2))
                best = s2;
        }
    }
    return best;
}

} // namespace

QList<double> bestScoresForPatients(const QVariantList &patients, const std::optional<QString> &text,
                                    const std::function<void()> &alongside) {
    std::vector<double> scores(size_t(patients.size()), 0.0);
    if (!text) {
        if (alongside)
            alongside();
        return QList<double>(scores.begin(), scores.end());
    }
    CleanedWords words(*text);
    QStringList names;
    names.reserve(patients.size());
    for (const QVariant &patient : patients) {
        names << patient.toMap().value(QStringLiteral("name")).toString();
        const qsizetype n = names.constLast().count(QLatin1Char(' ')) + 1;
        if (n <= words.count())
            words.prepare(n);
    }
    // From here on the words are only read: patients are handed out one at
    // a time to this thread and, with work alongside, to one more.
    std::atomic<qsizetype> next{0};
    auto work = [&] {
        for (qsizetype i; (i = next.fetch_add(1)) < names.size();)
            scores[size_t(i)] = bestScore(words, names.at(i));
    };
    if (alongside) {
        std::thread helper(work);
        alongside();
        work();
        helper.join();
    } else {
        work();
    }
    return QList<double>(scores.begin(), scores.end());
}

std::optional<QVariantMap> determinePatientFromList(const QVariantList &patients,
                                                    const std::optional<QString> &text) {
    if (!text || patients.isEmpty())
        return std::nullopt;
    const QList<double> scores = bestScoresForPatients(patients, text);
    qsizetype proposed = 0;
    for (qsizetype i = 1; i < scores.size(); ++i) {
        if (scores[i] > scores[proposed])
            proposed = i;
    }
    return patients.at(proposed).toMap();
}
