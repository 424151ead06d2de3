// Times the patient matching on window texts of realistic size: the
// production code against the plain reference implementation, in one run.
//
//   bench_capture_patient_matching [--runs N]
//
// Prints, for (a) 1,500 words against 100 patients and (b) 5,000 words
// against 500 patients, the median time of each implementation and the ratio.

#include "capture/identification/patient_identification.h"
#include "capture/patient_matching.h"
#include "random_text.h"
#include "reference_score.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <algorithm>
#include <cstdio>
#include <ctime>
#include <functional>
#include <vector>

namespace {

struct Median {
    double wallMs = 0;
    double cpuMs = 0; // this thread's CPU time: what the work costs on a busy machine
};

double threadCpuMs() {
    timespec now{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
    return double(now.tv_sec) * 1e3 + double(now.tv_nsec) / 1e6;
}

Median median(int runs, const std::function<void()> &work) {
    std::vector<double> wall;
    std::vector<double> cpu;
    for (int i = 0; i < runs; ++i) {
        QElapsedTimer timer;
        const double cpuStart = threadCpuMs();
        timer.start();
        work();
        wall.push_back(double(timer.nsecsElapsed()) / 1e6);
        cpu.push_back(threadCpuMs() - cpuStart);
    }
    std::sort(wall.begin(), wall.end());
    std::sort(cpu.begin(), cpu.end());
    return {wall[wall.size() / 2], cpu[cpu.size() / 2]};
}

QVariantList randomPatients(RandomText &random, int count) {
    QVariantList list;
    for (int i = 0; i < count; ++i)
        list << QVariantMap{{"name", random.name()}, {"kelvraID", i}};
    return list;
}

void measure(const char *label, int words, int patients, int productionRuns, int referenceRuns) {
    RandomText random(quint32(words * 31 + patients));
    const QVariantList list = randomPatients(random, patients);
    // A record: the patient's banner at the top, then a window of words.
    const QStringList parts = list.at(patients / 2).toMap().value("name").toString().split(' ');
    QString text = parts.last().toUpper() + ", " + parts.first().toUpper() + "\n" + random.windowText(words);
    text += " " + parts.last() + ", " + parts.first() + " " + random.windowText(20);

    QList<double> production;
    QList<double> reference;
    const Median productionMs =
        median(productionRuns, [&] { production = bestScoresForPatients(list, text); });
    const Median referenceMs = median(referenceRuns, [&] { reference = referenceBestScores(list, text); });
    std::printf("%s: %d words, %d patients, %lld score evaluations\n", label, words, patients,
                2LL * patients * words);
    std::printf("  production  median %9.2f ms wall, %9.2f ms CPU  (%d runs)\n", productionMs.wallMs,
                productionMs.cpuMs, productionRuns);
    std::printf("  reference   median %9.2f ms wall, %9.2f ms CPU  (%d runs)\n", referenceMs.wallMs,
                referenceMs.cpuMs, referenceRuns);
    std::printf("  ratio       %9.1f x faster (wall), %.1f x (CPU); results %s\n",
                referenceMs.wallMs / productionMs.wallMs, referenceMs.cpuMs / productionMs.cpuMs,
                production == reference ? "identical" : "DIFFERENT");
    // The card's decision on the same text, from plain text (the words'
    // places from its lines), as `kelvra-capture match --text-file` runs it.
    PatientIdentification identification;
    const ScreenText screen = ScreenText::fromText(text);
    const Median identificationMs =
        median(productionRuns, [&] { identification = identifyPatient(list, screen); });
    std::printf("  identification median %9.2f ms wall, %9.2f ms CPU  (%d runs); %s (%s)\n",
                identificationMs.wallMs, identificationMs.cpuMs, productionRuns,
                identification.proposed == patients / 2 ? "proposed the patient of the banner"
                : identification.proposed               ? "proposed ANOTHER patient"
                                                        : "proposed nobody",
                qPrintable(identificationReasonText(identification.reason)));
    if (qEnvironmentVariableIsSet("KC_BENCH_DUMP")) {
        QFile dump(qEnvironmentVariable("KC_BENCH_DUMP") + QLatin1Char('-') + QString::number(words));
        if (dump.open(QIODevice::WriteOnly))
            dump.write(text.toUtf8());
        QFile people(qEnvironmentVariable("KC_BENCH_DUMP") + QStringLiteral("-patients-") +
                     QString::number(words));
        if (people.open(QIODevice::WriteOnly))
            people.write(QJsonDocument(QJsonArray::fromVariantList(list)).toJson());
    }
    std::fflush(stdout);
}

} // namespace

int main(int argc, char **argv) {
    QCoreApplication app(argc, argv);
    int runs = 3;
    const QStringList args = app.arguments();
    const qsizetype at = args.indexOf("--runs");
    if (at >= 0 && at + 1 < args.size())
        runs = std::max(1, args[at + 1].toInt());
    measure("(a)", 1500, 100, 15 * runs, runs);
    measure("(b)", 5000, 500, 3 * runs, std::max(1, runs / 3));
    return 0;
}
