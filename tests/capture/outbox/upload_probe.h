#pragma once
// Starting kc-upload-probe (the real upload queue in a process of its own)
// against a clinic service, and running it to the end.

#include <QProcess>
#include <QUrl>

#include "tests/support/qt_wait.h"

#include <gtest/gtest.h>

#include <csignal>

#include <memory>

// Starts the probe on `queue`; with `stopAt` ("step:destination") it stops
// there and waits to be killed.
inline std::unique_ptr<QProcess> kcStartUploadProbe(const QUrl &service, const QString &queue,
                                                    const QStringList &extra, const QByteArray &stopAt = {}) {
    auto process = std::make_unique<QProcess>();
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    if (!stopAt.isEmpty())
        env.insert(QStringLiteral("KC_UPLOAD_QUEUE_STOP_AT"), QString::fromLatin1(stopAt));
    else
        env.remove(QStringLiteral("KC_UPLOAD_QUEUE_STOP_AT"));
    process->setProcessEnvironment(env);
    process->start(QStringLiteral(KC_UPLOAD_PROBE),
                   QStringList{"--service", service.toString(), "--queue", queue} + extra);
    EXPECT_TRUE(process->waitForStarted(30000));
    return process;
}

// Runs the probe to the end on `queue`; true when it filed everything.
inline bool kcFinishUploads(const QUrl &service, const QString &queue, QByteArray *log) {
    auto process = kcStartUploadProbe(service, queue, {});
    const bool done = process->waitForFinished(240000);
    *log += process->readAllStandardError();
    return done && process->exitStatus() == QProcess::NormalExit && process->exitCode() == 0;
}

// Waits until the probe says it stopped at `step`, then kills it with
// SIGKILL, as a crash there would end it.
inline ::testing::AssertionResult kcKillAtStop(QProcess &probe, const QByteArray &step, QByteArray *log) {
    const bool stopped = kcWaitFor(
        [&] {
            *log += probe.readAllStandardError();
            return log->contains("kc-upload-queue: stopped at " + step) || probe.state() != QProcess::Running;
        },
        120000);
    if (!stopped || probe.state() != QProcess::Running)
        return ::testing::AssertionFailure()
               << "the probe did not stop at " << step.constData() << ": " << log->constData();
    ::kill(pid_t(probe.processId()), SIGKILL);
    if (!probe.waitForFinished(30000))
        return ::testing::AssertionFailure() << "the probe did not end after SIGKILL";
    return ::testing::AssertionSuccess();
}
