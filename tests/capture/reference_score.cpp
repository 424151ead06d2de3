#include "reference_score.h"

#include <QMap>
#include <QStringList>
#include <algorithm>
#include <cmath>

QString referenceCleaned(const QString &text) {
    const QString decomposed = text.normalized(QString::NormalizationForm_D);
    QString cleaned;
    for (char32_t cp : decomposed.toUcs4()) {
        const QChar::Category category = QChar::category(cp);
        if (cp == U' ' || category == QChar::Letter_Lowercase || category == QChar::Letter_Uppercase ||
            category == QChar::Letter_Titlecase)
            cleaned += QString::fromUcs4(&cp, 1);
    }
    return cleaned;
}

double referenceScore(const QString &searched, const QString &pattern, std::optional<float> fuzziness) {
    const QString s = referenceCleaned(searched);
    const QString a = referenceCleaned(pattern);
    if (s == a)
        return 1.0;
    if (a.isEmpty())
        return 0.0;

    double total = 0.0;
    double fuzzies = 1.0;
    bool startBonus = false;
    QString remainder = s;
    for (qsizetype i = 0; i < a.size(); ++i) {
        const QString c = a.mid(i, 1);
        const qsizetype lower = remainder.indexOf(c.toLower());
        const qsizetype upper = remainder.indexOf(c.toUpper());
        if (lower < 0 && upper < 0) {
            if (!fuzziness)
                return 0.0;
            fuzzies += 1.0f - *fuzziness;
            total += 0.1;
            continue;
        }
        qsizetype p;
        if (lower >= 0 && upper >= 0)
            p = std::min(lower, upper);
        else if (lower >= 0)
            p = lower;
        else
            p = upper;

        double characterScore = remainder.mid(p, 1) == c ? 0.2 : 0.1;
        if (p == 0) {
            characterScore += 0.6;
            if (i == 0)
                startBonus = true;
        } else if (remainder.mid(p - 1, 1) == QStringLiteral(" ")) {
            characterScore += 0.8;
        }
        remainder = remainder.mid(p + 1);
        total += characterScore;
    }

    const double x = total / double(a.size());
    const double q = double(a.size()) / double(s.size());
    double result = (q * x + x) * 0.5 / fuzzies;
    if (startBonus && result + 0.15 < 1.0)
        result += 0.15;
    return result;
}

QList<double> referenceBestScores(const QVariantList &patients, const std::optional<QString> &text) {
    QList<double> bests;
    if (!text) {
        for (qsizetype i = 0; i < patients.size(); ++i)
            bests.append(0.0);
        return bests;
    }
    const QStringList words = text->split(QStringLiteral(" "));
    const qsizetype m = words.size();
    for (const QVariant &entry : patients) {
        const QString name = entry.toMap().value(QStringLiteral("name")).toString();
        const QStringList parts = name.split(QStringLiteral(" "));
        const qsizetype n = parts.size();
        double best = 0.0;
        // A name with no letter is never matched.
        if (referenceCleaned(name).trimmed().isEmpty()) {
            bests.append(0.0);
            continue;
        }
        QString reversedName;
        for (qsizetype i = n - 1; i >= 0; --i)
            reversedName += QStringLiteral(" ") + parts[i];
        for (qsizetype k = 0; k <= m - n; ++k) {
            QString candidate;
            for (qsizetype j = k; j < k + n; ++j)
                candidate += QStringLiteral(" ") + words[j];
            const double s1 = referenceScore(candidate, name, 0.8f);
            if (s1 > best && !std::isinf(s1))
                best = s1;
            const double s2 = referenceScore(candidate, reversedName, 0.8f);
            if (s2 > best && !std::isinf(s2))
                best = s2;
        }
        bests.append(best);
    }
    return bests;
}

std::optional<QVariantMap> referenceDeterminePatient(const QVariantList &patients,
                                                     const std::optional<QString> &text) {
    if (!text)
        return std::nullopt;
    const QList<double> bests = referenceBestScores(patients, text);
    // One entry per distinct score; the first patient with a score keeps it.
    QMap<double, QVariantMap> table;
    for (qsizetype i = 0; i < bests.size(); ++i) {
        if (!table.contains(bests[i]))
            table.insert(bests[i], patients[i].toMap());
    }
    if (table.isEmpty())
        return std::nullopt;
    return table.last();
}
