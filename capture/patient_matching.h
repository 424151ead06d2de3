#pragma once
// Proposes which of today's patients a recognised window text belongs to.
//
// The text is split into words at every space; for each patient a window of
// as many words as the patient's name has slides over the words, and every
// window is scored (fuzziness 0.8) against the name and against the name's
// parts in reverse order, each preceded by a space (" Smith John"). Each
// patient keeps its best score; the patient with the highest is proposed.
// There is no minimum score.

#include <QList>
#include <QString>
#include <QVariantList>
#include <QVariantMap>
#include <functional>
#include <optional>

// The fuzziness the matching scores with.
inline constexpr float kPatientMatchFuzziness = 0.8f;

// Each patient's best score against `text`, in list order. A patient whose
// name has more words than the text, or no letter at all, scores 0; with no
// text every patient scores 0.
// With `alongside`, it runs on the calling thread while another thread
// starts on the scores; the calling thread then helps with the rest.
QList<double> bestScoresForPatients(const QVariantList &patients, const std::optional<QString> &text,
                                    const std::function<void()> &alongside = {});

// The proposed patient entry: the one with the highest best score (the first
// in list order among equals). None when the text is absent or the list is
// empty.
std::optional<QVariantMap> determinePatientFromList(const QVariantList &patients,
                                                    const std::optional<QString> &text);
