#include "offline_day.h"

#include "outbox_files.h"
#include "tests/clinic/demo_service.h"

#include <QDir>
#include <QElapsedTimer>
#include <QProcess>
#include <QRegularExpression>
#include <QTcpServer>
#include <QTemporaryDir>

namespace {

constexpr int kRunMs = 30 * 60 * 1000;

int freePort() {
    QTcpServer server;
    server.listen(QHostAddress::LocalHost, 0);
    return server.serverPort();
}

// One run of the probe, its standard output kept line by line.
class ProbeRun {
public:
    ProbeRun(const QString &program, const QStringList &arguments) {
        m_process.setProgram(program);
        m_process.setArguments(arguments);
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.remove(QStringLiteral("KC_UPLOAD_QUEUE_STOP_AT"));
        m_process.setProcessEnvironment(env);
        m_process.start();
        m_process.waitForStarted(30000);
    }
    // Runs the event loop until a line starting with `prefix` arrives or the
    // probe ends, calling `meanwhile` every half second.
    QByteArray waitForLine(const QByteArray &prefix, const std::function<void()> &meanwhile = {}) {
        QElapsedTimer since;
        since.start();
        while (since.elapsed() < kRunMs) {
            read();
            for (const QByteArray &line : std::as_const(m_lines))
                if (!prefix.isEmpty() && line.startsWith(prefix))
                    return line;
            if (m_process.state() == QProcess::NotRunning)
                return {};
            m_process.waitForReadyRead(500);
            if (meanwhile)
                meanwhile();
        }
        return {};
    }
    // Waits for the end; true when the probe exited with 0.
    bool finish(const std::function<void()> &meanwhile = {}) {
        waitForLine({}, meanwhile);
        m_process.waitForFinished(30000);
        read();
        return m_process.exitStatus() == QProcess::NormalExit && m_process.exitCode() == 0;
    }
    void write(const QByteArray &bytes) { m_process.write(bytes); }
    QList<QByteArray> lines(const QByteArray &prefix) const {
        QList<QByteArray> found;
        for (const QByteArray &line : m_lines)
            if (line.startsWith(prefix))
                found.append(line);
        return found;
    }
    QString describe() const {
        return QStringLiteral("%1 %2; stderr: %3")
            .arg(m_process.exitStatus() == QProcess::CrashExit ? QStringLiteral("crashed, signal")
                                                               : QStringLiteral("exit"))
            .arg(m_process.exitCode())
            .arg(QString::fromLocal8Bit(m_errors.right(2000)));
    }

private:
    void read() {
        while (m_process.canReadLine())
            m_lines.append(m_process.readLine().trimmed());
        m_errors += m_process.readAllStandardError();
    }
    QProcess m_process;
    QList<QByteArray> m_lines;
    QByteArray m_errors;
};

// The ids of `items` under `key` that are among `wanted`, in their order.
QStringList idsAmong(const QVariantList &items, const QString &key, const QStringList &wanted) {
    QStringList ids;
    for (const QVariant &item : items) {
        const QString id = item.toMap().value(key).toString();
        if (wanted.contains(id))
            ids.append(id);
    }
    return ids;
}

} // namespace

KCOfflineDayResult kcRunOfflineDay(const KCOfflineDayOptions &options) {
    KCOfflineDayResult result;
    QTemporaryDir home;
    const QString queue = home.filePath(QStringLiteral("pending-uploads"));
    const QStringList demoArguments{QStringLiteral("--port"), QString::number(freePort()),
                                    QStringLiteral("--data-dir"), home.filePath(QStringLiteral("demo"))};
    DemoService demo;
    if (!demo.start(options.demoService, demoArguments)) {
        result.failure = demo.error();
        return result;
    }
    const QStringList common{QStringLiteral("--service"), demo.url().toString(), QStringLiteral("--queue"),
                             queue, QStringLiteral("--figures")};
    QList<QByteArray> clear{"Probe Patient", "1970-01-01", "31007", "900417", "probe 1"};
    auto look = [&] {
        const QString exposure = kcOutboxExposure(queue, clear);
        if (!exposure.isEmpty() && result.exposure.isEmpty())
            result.exposure = exposure;
    };
    const QString records = QString::number(2 * options.captures);

    // Signed in; the service goes away; the day's captures are accepted and
    // the application quits with all of them waiting.
    ProbeRun accept(
        options.probe,
        common + QStringList{QStringLiteral("--wait-go"), QStringLiteral("--captures"),
                             QString::number(options.captures), QStringLiteral("--image"),
                             QStringLiteral("%1x%2").arg(options.image.width()).arg(options.image.height()),
                             QStringLiteral("--retry"), QStringLiteral("2000,300000"),
                             QStringLiteral("--exit-when-stored")});
    if (accept.waitForLine("ready").isEmpty()) {
        result.failure = QStringLiteral("the probe did not sign in: %1").arg(accept.describe());
        return result;
    }
    demo.stop();
    accept.write("go\n");
    if (!accept.finish(look) || accept.lines("stored " + records.toLatin1()).isEmpty()) {
        result.failure = QStringLiteral("accepting offline failed: %1").arg(accept.describe());
        return result;
    }
    result.figures += QString::fromLatin1(accept.lines("figures").value(0));
    QStringList clinicIds, emrIds;
    for (const QByteArray &line : accept.lines("enqueued ")) {
        const QList<QByteArray> parts = line.split(' ');
        clinicIds.append(QString::fromLatin1(parts.value(1)));
        emrIds.append(QString::fromLatin1(parts.value(2)));
        clear.append(parts.value(1));
        clear.append(parts.value(2));
    }
    look();

    // Started twice while still offline.
    for (int restart = 0; restart < 2; ++restart) {
        ProbeRun again(options.probe, common + QStringList{QStringLiteral("--offline")});
        if (!again.finish(look) || again.lines("loaded " + records.toLatin1()).isEmpty()) {
            result.failure =
                QStringLiteral("restart %1 offline failed: %2").arg(restart + 1).arg(again.describe());
            return result;
        }
        result.figures += QString::fromLatin1(again.lines("figures").value(0));
        look();
    }

    // The network is back.
    if (!demo.start(options.demoService, demoArguments)) {
        result.failure = demo.error();
        return result;
    }
    ProbeRun send(options.probe, common);
    if (!send.finish(look)) {
        result.failure = QStringLiteral("sending failed: %1").arg(send.describe());
        return result;
    }
    result.figures += QString::fromLatin1(send.lines("figures").value(0));
    look();
    // Every capture gone; the ledger of what was filed stays.
    if (const QStringList left =
            QDir(queue).entryList(QDir::Files).filter(QRegularExpression("^(?!filed-ledger$)"));
        !left.isEmpty())
        result.failure = QStringLiteral("left in the outbox: %1").arg(left.join(QStringLiteral(", ")));

    const QVariantMap state = demo.state();
    const QStringList clinic =
        idsAmong(state.value(QStringLiteral("documentations")).toList(), QStringLiteral("id"), clinicIds);
    const QStringList emr =
        idsAmong(state.value(QStringLiteral("emr_documents")).toList(), QStringLiteral("actionnote"), emrIds);
    result.clinicFiled = int(clinic.size());
    result.emrFiled = int(emr.size());
    result.inOrder = clinic == clinicIds && emr == emrIds;
    return result;
}
