// Filing exactly once across crashes and lost answers: the real upload queue
// (in kc-upload-probe) against the real demo service, which stores every
// upload as it arrives. The probe is stopped at each step of an upload and
// killed with SIGKILL, then started again and left to finish; afterwards the
// chart must hold each capture once, and the clinic service each capture
// under its one record id. What the killed probe left on disk is sealed.
// A day offline: many captures, two restarts, then the service back.

#include "offline_day.h"
#include "outbox_files.h"
#include "tests/clinic/demo_service.h"
#include "tests/support/qt_wait.h"
#include "upload_probe.h"

#include <QDir>
#include <QFileInfo>
#include <QProcess>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <cstdio>

namespace {

struct Capture {
    QString clinicID;
    QString emrEntryID;
};

struct Counts {
    int clinicStored = 0;    // documentations stored with the capture's record id
    int clinicRecordIds = 0; // distinct record ids among them
    int emrStored = 0;       // chart documents of the capture
};

class UploadCrashTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        service = new DemoService;
        ASSERT_TRUE(service->start(QStringLiteral(KC_DEMO_SERVICE))) << service->error().toStdString();
    }
    static void TearDownTestSuite() {
        delete service;
        service = nullptr;
    }

    std::unique_ptr<QProcess> probe(const QString &queue, const QStringList &extra,
                                    const QByteArray &stopAt = {}) {
        return kcStartUploadProbe(service->url(), queue, extra, stopAt);
    }

    // Reads lines of standard output until one starts with `prefix`.
    static QByteArray lineStarting(QProcess &p, const QByteArray &prefix, QByteArray *seen, int ms = 120000) {
        QByteArray found;
        kcWaitFor(
            [&] {
                while (p.canReadLine()) {
                    const QByteArray line = p.readLine().trimmed();
                    if (line.startsWith(prefix)) {
                        found = line;
                        return true;
                    }
                }
                return p.state() != QProcess::Running && !p.canReadLine();
            },
            ms);
        *seen += p.readAllStandardError();
        return found;
    }

    static Capture captureOf(const QByteArray &enqueuedLine) {
        const QList<QByteArray> parts = enqueuedLine.split(' ');
        return {QString::fromLatin1(parts.value(1)), QString::fromLatin1(parts.value(2))};
    }

    static Counts countsFor(const Capture &c) {
        const QVariantMap state = service->state();
        Counts counts;
        QSet<QString> ids;
        for (const QVariant &d : state.value("documentations").toList()) {
            if (d.toMap().value("id").toString() == c.clinicID) {
                ++counts.clinicStored;
                ids.insert(c.clinicID);
            }
        }
        counts.clinicRecordIds = int(ids.size());
        for (const QVariant &d : state.value("emr_documents").toList())
            counts.emrStored += d.toMap().value("actionnote").toString() == c.emrEntryID;
        return counts;
    }

    // Runs the probe to the end in `queue`; true when it filed everything.
    bool finish(const QString &queue, QByteArray *log) { return kcFinishUploads(service->url(), queue, log); }

    static void report(const QString &row, const Counts &c) {
        std::printf("MATRIX %-40s clinic stored %d (record ids %d)  chart documents %d\n", qPrintable(row),
                    c.clinicStored, c.clinicRecordIds, c.emrStored);
        std::fflush(stdout);
    }

    static inline DemoService *service = nullptr;
};

// SIGKILL at each step of an upload, for each destination.
TEST_F(UploadCrashTest, KilledAtEveryStepTheCaptureIsFiledOnce) {
    for (const char *destination : {"clinic", "emr"}) {
        for (const char *step : {"before-send", "answer-received", "filed-before-remove"}) {
            SCOPED_TRACE(std::string(destination) + " " + step);
            QTemporaryDir queue;
            QByteArray log;
            auto first = probe(queue.path(), {"--enqueue", "--only", destination},
                               QByteArray(step) + ':' + destination);
            const Capture capture = captureOf(lineStarting(*first, "enqueued ", &log));
            ASSERT_FALSE(capture.clinicID.isEmpty()) << log.toStdString();
            ASSERT_TRUE(kcKillAtStop(*first, step, &log));
            EXPECT_EQ(
                kcOutboxExposure(queue.path(), {capture.clinicID.toLatin1(), capture.emrEntryID.toLatin1(),
                                                "Probe Patient", "1970-01-01", "31007", "probe"})
                    .toStdString(),
                "");

            ASSERT_TRUE(finish(queue.path(), &log)) << log.toStdString();
            const Counts counts = countsFor(capture);
            report(QStringLiteral("kill -9 %1 at %2").arg(destination, step), counts);
            if (QByteArray(destination) == "emr") {
                EXPECT_EQ(counts.emrStored, 1) << "the chart holds the capture exactly once";
            } else {
                EXPECT_EQ(counts.clinicRecordIds, 1)
                    << "the clinic service got the capture under one record id";
                // Where the answer was lost with the process, the record is
                // sent again with the same ids (the service treats a repeated
                // id as the same documentation).
                EXPECT_EQ(counts.clinicStored, QByteArray(step) == "before-send" ? 1 : 2);
            }
        }
    }
    const QVariantMap state = service->state();
    EXPECT_TRUE(state.value("repeated_emr_documents").toList().isEmpty());
}

// The answer is lost (it comes after the attempt's time-out): the attempt is
// cancelled and the next one finds the document in the chart.
TEST_F(UploadCrashTest, ALostAnswerFilesTheDocumentOnce) {
    struct Case {
        const char *only;
        const char *timeout; // longer than one request, shorter than two for the chart
    };
    for (const Case &c : {Case{"emr", "6000"}, Case{"clinic", "2000"}}) {
        SCOPED_TRACE(c.only);
        QTemporaryDir queue;
        QByteArray log;
        auto p =
            probe(queue.path(), {"--enqueue", "--wait-go", "--only", c.only, "--attempt-timeout", c.timeout});
        ASSERT_FALSE(lineStarting(*p, "ready", &log).isEmpty()) << log.toStdString();
        ASSERT_TRUE(service->faults({{"delay_ms", 4000}}));
        p->write("go\n");
        const Capture capture = captureOf(lineStarting(*p, "enqueued ", &log));
        ASSERT_FALSE(capture.clinicID.isEmpty());
        const bool chart = QByteArray(c.only) == "emr";
        ASSERT_TRUE(kcWaitFor(
            [&] {
                const Counts now = countsFor(capture);
                return (chart ? now.emrStored : now.clinicStored) >= 1;
            },
            120000));
        ASSERT_TRUE(service->faults({{"delay_ms", 0}}));
        ASSERT_TRUE(p->waitForFinished(240000));
        log += p->readAllStandardError();
        EXPECT_EQ(p->exitCode(), 0) << log.toStdString();
        const Counts counts = countsFor(capture);
        report(QStringLiteral("lost answer, %1").arg(c.only), counts);
        if (chart) {
            EXPECT_EQ(counts.emrStored, 1);
        } else {
            EXPECT_EQ(counts.clinicRecordIds, 1);
            EXPECT_GE(counts.clinicStored, 2)
                << "the lost answer was followed by a resend of the same record";
        }
    }
    EXPECT_TRUE(service->state().value("repeated_emr_documents").toList().isEmpty());
}

// The home folder restored from a backup made while a capture waited, after
// it was filed: with the ledger of now the records are dropped unsent; with
// the backup's (no filing noted yet) the chart is looked at first. The chart
// holds the capture once either way, the clinic service under one id.
TEST_F(UploadCrashTest, ARestoredBackupFilesNothingTwice) {
    QTemporaryDir home;
    const QString queue = home.filePath("pending-uploads"), backup = home.filePath("backup");
    const QString patients = queue + ".patients.json";
    auto copyFolder = [](const QString &from, const QString &to) {
        QDir().mkpath(to);
        for (const QString &name : QDir(from).entryList(QDir::Files)) {
            QFile::remove(to + '/' + name);
            QFile::copy(from + '/' + name, to + '/' + name);
        }
    };
    QByteArray log;
    auto first = probe(queue, {"--enqueue"}, "stored");
    const Capture capture = captureOf(lineStarting(*first, "enqueued ", &log));
    ASSERT_TRUE(kcKillAtStop(*first, "stored", &log));
    ASSERT_FALSE(capture.clinicID.isEmpty()) << log.toStdString();
    copyFolder(queue, backup);
    ASSERT_TRUE(QFile::copy(patients, backup + ".patients.json"));
    ASSERT_TRUE(finish(queue, &log)) << log.toStdString();
    ASSERT_TRUE(QFileInfo::exists(queue + "/filed-ledger"));
    const Counts filed = countsFor(capture);

    for (const bool olderLedger : {false, true}) {
        SCOPED_TRACE(olderLedger ? "the backup's ledger" : "the ledger of now");
        copyFolder(backup, queue);
        QFile::remove(patients);
        ASSERT_TRUE(QFile::copy(backup + ".patients.json", patients));
        if (olderLedger) {
            ASSERT_TRUE(QFile::remove(queue + "/filed-ledger"));
        }
        ASSERT_TRUE(finish(queue, &log)) << log.toStdString();
        const Counts counts = countsFor(capture);
        report(olderLedger ? "restored with its old ledger" : "restored, ledger of now", counts);
        EXPECT_EQ(counts.emrStored, 1) << "the chart holds the capture once";
        EXPECT_EQ(counts.clinicRecordIds, 1);
        if (!olderLedger) {
            EXPECT_EQ(counts.clinicStored, filed.clinicStored) << "dropped, not sent again";
        }
    }
    EXPECT_TRUE(service->state().value("repeated_emr_documents").toList().isEmpty());
}

// Without a crash nothing is sent twice at all.
TEST_F(UploadCrashTest, AnUndisturbedUploadIsStoredOnceEach) {
    QTemporaryDir queue;
    QByteArray log;
    auto p = probe(queue.path(), {"--enqueue"});
    const Capture capture = captureOf(lineStarting(*p, "enqueued ", &log));
    ASSERT_TRUE(p->waitForFinished(240000));
    EXPECT_EQ(p->exitCode(), 0) << p->readAllStandardError().toStdString();
    const Counts counts = countsFor(capture);
    report(QStringLiteral("no fault"), counts);
    EXPECT_EQ(counts.clinicStored, 1);
    EXPECT_EQ(counts.emrStored, 1);
}

// 30 captures accepted while the services cannot be reached, two restarts
// offline, then the service back: each filed once in each place, in the order
// of acceptance, the outbox sealed at every look. (bench/capture's
// bench_capture_offline_day runs the full day, 300, and reports the figures.)
TEST(OfflineDay, EveryCaptureIsFiledOnceInOrderAndTheOutboxStaysSealed) {
    const KCOfflineDayResult day = kcRunOfflineDay(
        {QStringLiteral(KC_DEMO_SERVICE), QStringLiteral(KC_UPLOAD_PROBE), 30, QSize(400, 300)});
    for (const QString &line : day.figures)
        std::printf("%s\n", qPrintable(line));
    ASSERT_EQ(day.failure.toStdString(), "");
    EXPECT_EQ(day.clinicFiled, 30);
    EXPECT_EQ(day.emrFiled, 30);
    EXPECT_TRUE(day.inOrder);
    EXPECT_EQ(day.exposure.toStdString(), "");
}

} // namespace
