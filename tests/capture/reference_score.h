#pragma once
// A plain, step-by-step implementation of the string score and the patient
// matching, written for clarity rather than speed. The production code must
// agree with it bit for bit.

#include <QList>
#include <QString>
#include <QVariantList>
#include <QVariantMap>
#include <optional>

QString referenceCleaned(const QString &text);
double referenceScore(const QString &searched, const QString &pattern, std::optional<float> fuzziness);
QList<double> referenceBestScores(const QVariantList &patients, const std::optional<QString> &text);
std::optional<QVariantMap> referenceDeterminePatient(const QVariantList &patients,
                                                     const std::optional<QString> &text);
