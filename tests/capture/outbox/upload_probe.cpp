// kc-upload-probe: the real upload queue and senders against a clinic
// service, outside the GUI, for the crash tests and the day offline. It signs
// in as the demo user, sets up the EMR from the configuration, optionally
// accepts captures as the capture panel does (printing "enqueued <clinic
// record id> <EMR upload entry id>" for each), resumes what an earlier run
// left in the queue folder and exits 0 once the queue is empty (3 when a
// record was refused, 2 on timeout).
//
//   kc-upload-probe --service URL --queue DIR [--enqueue | --captures N]
//                   [--image WxH] [--only clinic|emr] [--attempt-timeout MS]
//                   [--retry FIRST,MAX] [--patient JSON] [--wait-go]
//                   [--offline] [--exit-when-stored] [--figures]
//
// --wait-go prints "ready" once signed in and waits for a line on standard
// input before accepting. --offline goes on signed out when the service
// cannot be reached: the stored records are loaded ("loaded <n>") and wait
// for their account. --exit-when-stored quits once the captures are stored,
// with whatever is still waiting ("stored <n>"). --figures prints, at the
// end, "figures <name> <value> ..." for the time from start to empty (or to
// exit), the longest stall of the main thread's event loop and the resident
// memory at the start of the queue's work and at its peak.
//
// --patient gives the patient entry the captures are accepted for (JSON:
// name, dob, emr_patient_id, ...) instead of the probe patient. Today's
// patient list, which the chart records are filed from, holds the patients
// accepted for by any run on the same queue folder (kept beside it, in
// <queue>.patients.json, as the clinic service keeps its list, until the
// queue is empty).

#include "capture/documentation_upload.h"
#include "capture/outbox/upload_queue.h"
#include "capture/outbox/upload_senders.h"
#include "clinic/kelvra_api_client.h"
#include "emr/emr_api_client.h"

#include <QCommandLineParser>
#include <QDeadlineTimer>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QFile>
#include <QGuiApplication>
#include <QImage>
#include <QJsonDocument>
#include <QPainter>
#include <QTimer>

#include <cstdio>
#include <ctime>
#include <future>
#include <iostream>
#include <string>

namespace {

// Runs the event loop until `condition` holds (looked at every 20 ms).
bool waitFor(const std::function<bool()> &condition, int ms) {
    if (condition())
        return true;
    const QDeadlineTimer deadline(ms);
    QEventLoop loop;
    QTimer poll;
    QObject::connect(&poll, &QTimer::timeout, [&] {
        if (condition() || deadline.hasExpired())
            loop.quit();
    });
    poll.start(20);
    loop.exec();
    return condition();
}

// A record window's worth of text and a chart, different for every capture.
QImage captureImage(const QSize &size, int number) {
    QImage image(size, QImage::Format_RGB32);
    image.fill(Qt::white);
    QPainter p(&image);
    p.setPen(Qt::black);
    QFont font = p.font();
    font.setPixelSize(qBound(8, size.height() / 8, 14));
    p.setFont(font);
    const int line = font.pixelSize() + 4;
    for (int y = line, i = 0; y < size.height(); y += line, ++i)
        p.drawText(6, y,
                   QStringLiteral("ECG %1 line %2: rate %3, QT %4 ms, note %5")
                       .arg(number)
                       .arg(i)
                       .arg(60 + (number * 7 + i) % 40)
                       .arg(380 + (number * 13 + i * 3) % 60)
                       .arg(QString::number(number * 31 + i, 36)));
    p.setPen(QPen(QColor(200, 40, 40), 2));
    for (int x = 0; x + 8 < size.width(); x += 8)
        p.drawLine(x, size.height() / 2 + (x * number) % 23, x + 8,
                   size.height() / 2 + ((x + 8) * number) % 23);
    return image;
}

const QVariantMap kProbePatient{{QStringLiteral("name"), QStringLiteral("Probe Patient")},
                                {QStringLiteral("dob"), QStringLiteral("1970-01-01")},
                                {QStringLiteral("kelvraID"), QStringLiteral("900417")},
                                {QStringLiteral("emr_patient_id"), QStringLiteral("31007")},
                                {QStringLiteral("emr_appointment_id"), QString()},
                                {QStringLiteral("interaction_id"), QString()}};

// Today's patient list as runs of the probe on `queue` have made it, with
// `patient` added.
QVariantList todaysPatients(const QString &queue, const QVariantMap &patient) {
    QFile file(queue + QStringLiteral(".patients.json"));
    QVariantList list;
    if (file.open(QIODevice::ReadOnly))
        list = QJsonDocument::fromJson(file.readAll()).toVariant().toList();
    file.close();
    if (!list.contains(patient)) {
        list.append(patient);
        if (file.open(QIODevice::WriteOnly | QIODevice::Truncate))
            file.write(QJsonDocument::fromVariant(list).toJson());
    }
    return list;
}

qint64 residentKb() {
    QFile status(QStringLiteral("/proc/self/status"));
    if (!status.open(QIODevice::ReadOnly))
        return -1;
    for (const QByteArray &line : status.readAll().split('\n'))
        if (line.startsWith("VmRSS:"))
            return line.mid(6).trimmed().split(' ').value(0).toLongLong();
    return -1;
}

// The main thread's processor time so far, in microseconds.
qint64 threadCpuUs() {
    timespec t{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
    return qint64(t.tv_sec) * 1000000 + t.tv_nsec / 1000;
}

// The longest time the event loop did not get round to a 5 ms timer, the
// longest processor time the main thread itself spent between two rounds
// (what is left of a stall on an idle machine; the rest was the machine
// running other work), and the peak resident memory, sampled meanwhile.
class Watch : public QObject {
public:
    Watch() {
        m_timer.setTimerType(Qt::PreciseTimer);
        m_timer.setInterval(kTickMs);
        connect(&m_timer, &QTimer::timeout, this, [this] {
            const qint64 stall = m_tick.restart() - kTickMs;
            const qint64 cpu = threadCpuUs();
            m_longestBusyUs = qMax(m_longestBusyUs, cpu - m_cpuUs);
            m_cpuUs = cpu;
            m_longest = qMax(m_longest, stall);
            if (++m_ticks % 20 == 0)
                m_peakKb = qMax(m_peakKb, residentKb());
        });
    }
    void start() {
        m_startKb = m_peakKb = residentKb();
        m_since.start();
        m_tick.start();
        m_cpuUs = threadCpuUs();
        m_timer.start();
    }
    void print(const char *phase) {
        m_peakKb = qMax(m_peakKb, residentKb());
        std::printf("figures %s elapsed-ms %lld longest-stall-ms %lld longest-busy-ms %.1f rss-start-kb %lld "
                    "rss-peak-kb %lld\n",
                    phase, m_since.elapsed(), m_longest, m_longestBusyUs / 1000.0, m_startKb, m_peakKb);
        std::fflush(stdout);
    }

private:
    static constexpr qint64 kTickMs = 5;
    QTimer m_timer;
    QElapsedTimer m_tick, m_since;
    qint64 m_longest = 0, m_longestBusyUs = 0, m_cpuUs = 0;
    qint64 m_startKb = 0, m_peakKb = 0, m_ticks = 0;
};

} // namespace

int main(int argc, char **argv) {
    // No window is shown; no display is needed.
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QGuiApplication app(argc, argv);
    QCommandLineParser parser;
    parser.addOptions({{"service", "Clinic service URL.", "url"},
                       {"queue", "Queue folder.", "dir"},
                       {"enqueue", "Accept one capture."},
                       {"captures", "Accept N captures.", "n", "0"},
                       {"image", "Size of the captures.", "WxH", "120x80"},
                       {"only", "Accept for one destination only.", "destination"},
                       {"attempt-timeout", "Attempt time-out in ms.", "ms", "120000"},
                       {"retry", "First retry delay and its ceiling in ms.", "first,max", "200,1000"},
                       {"wait-go", "Wait for a line on standard input before accepting."},
                       {"patient", "The patient entry (JSON) to accept the captures for.", "json"},
                       {"offline", "Go on signed out when the service cannot be reached."},
                       {"exit-when-stored", "Quit once the captures are stored."},
                       {"figures", "Print time, longest stall and memory."}});
    parser.process(app);
    const QUrl service(parser.value("service"));
    KelvraAPIClient::setServiceURLForFirstUse(service);
    KelvraAPIClient *client = KelvraAPIClient::sharedKelvraAPIClient();

    std::atomic<bool> configured{false}, failed{false};
    client->loginKelvraWithUsername(
        QStringLiteral("demo"), QStringLiteral("capture"),
        [client, &configured](const QVariant &) {
            client->getUserConfigurationWithCallback([client, &configured](const QVariant &) {
                const QVariantMap preferences = client->userPreferences().value_or(QVariantMap());
                const QVariant emrData = preferences.value(QStringLiteral("emrData"));
                EMRAPIClient::sharedEMRAPIClient().extensionCheckCurrentEMR(emrData, preferences);
                if (auto emr = EMRAPIClient::sharedEMRAPIClient().delegate())
                    emr->initWithBaseURL(QUrl(emrData.toMap().value(QStringLiteral("base_url")).toString()));
                configured = true;
            });
        },
        [&failed](const KCError &) { failed = true; });
    const bool offline = parser.isSet("offline");
    if (!waitFor([&] { return configured || failed; }, 60000) || failed) {
        if (!offline) {
            std::fprintf(stderr, "kc-upload-probe: sign-in failed\n");
            return 4;
        }
    } else {
        const auto emr = EMRAPIClient::sharedEMRAPIClient().delegate();
        if (!emr || !waitFor([&] { return !emr->practiceID().isEmpty(); }, 30000)) {
            std::fprintf(stderr, "kc-upload-probe: no EMR configured\n");
            return 4;
        }
    }
    const bool signedIn = configured;

    Watch watch;
    DocumentationUploadQueue queue(parser.value("queue"));
    const QStringList retry = parser.value("retry").split(',');
    queue.setRetryPolicy(retry.value(0).toInt(), retry.value(1).toInt(),
                         parser.value("attempt-timeout").toInt());
    queue.setSender(DocumentationUploadQueue::kClinic, clinicDocumentationSender());
    const QVariantMap patient =
        parser.isSet("patient")
            ? QJsonDocument::fromJson(parser.value("patient").toUtf8()).toVariant().toMap()
            : kProbePatient;
    const QVariantList today = todaysPatients(parser.value("queue"), patient);
    queue.setSender(DocumentationUploadQueue::kEMR, emrDocumentationSender([today] { return today; }));
    queue.setAccountSource([signedIn] { return kcCurrentUploadAccount(signedIn); });
    bool loaded = false;
    QObject::connect(&queue, &DocumentationUploadQueue::loaded, [&loaded] { loaded = true; });
    watch.start();
    queue.resumeStored();

    if (parser.isSet("wait-go")) {
        std::printf("ready\n");
        std::fflush(stdout);
        std::string line;
        std::getline(std::cin, line);
    }
    const int captures = parser.isSet("enqueue") ? 1 : parser.value("captures").toInt();
    const QStringList size = parser.value("image").split('x');
    const QSize imageSize(size.value(0).toInt(), size.value(1).toInt());
    const QString only = parser.value("only");
    // The captures are drawn on a worker thread (as the capture code takes
    // its pictures), one ahead, so that the main thread does what the
    // panel's does on Accept and no more.
    auto draw = [imageSize](int n) {
        return std::async(std::launch::async, [imageSize, n] { return captureImage(imageSize, n); });
    };
    std::future<QImage> nextImage = draw(1);
    for (int n = 1; n <= captures; ++n) {
        waitFor([&] { return nextImage.wait_for(std::chrono::seconds(0)) == std::future_status::ready; },
                60000);
        const QImage image = nextImage.get();
        if (n < captures)
            nextImage = draw(n + 1);
        const QVariantMap clinicRecord = clinicDocumentationRecord(patient.value("interaction_id"),
                                                                   QStringLiteral("probe %1").arg(n), "17");
        const QVariantMap emrRecord = emrDocumentationRecord(patient, QStringLiteral("probe %1").arg(n));
        QList<DocumentationUploadQueue::NewRecord> records;
        if (only.isEmpty() || only == QLatin1String(DocumentationUploadQueue::kClinic))
            records.append({DocumentationUploadQueue::kClinic, clinicRecord});
        if (only.isEmpty() || only == QLatin1String(DocumentationUploadQueue::kEMR))
            records.append({DocumentationUploadQueue::kEMR, emrRecord, patient});
        std::printf("enqueued %s %s\n", qPrintable(clinicRecord.value("id").toString()),
                    qPrintable(emrRecord.value("Upload").toList().value(0).toMap().value("id").toString()));
        std::fflush(stdout);
        std::optional<QString> error;
        queue.enqueueCapture(image, records, [&error](const QString &e) { error = e; });
        if (!waitFor([&] { return error.has_value(); }, 60000) || !error->isEmpty()) {
            std::fprintf(stderr, "kc-upload-probe: %s\n", qPrintable(error.value_or("not stored in time")));
            return 5;
        }
    }
    if (parser.isSet("exit-when-stored") || !signedIn) {
        waitFor([&] { return loaded; }, 60000);
        std::printf("%s %d\n", signedIn ? "stored" : "loaded", queue.pendingCount());
        if (parser.isSet("figures"))
            watch.print(signedIn ? "accept" : "restart");
        return 0;
    }
    if (!waitFor([&] { return loaded && queue.pendingCount() == queue.refusedCount(); }, 600000))
        return 2;
    if (parser.isSet("figures"))
        watch.print("send");
    if (queue.refusedCount() > 0) {
        for (const auto &e : queue.entries())
            std::fprintf(stderr, "kc-upload-probe: refused: %s\n", qPrintable(e.lastError));
        return 3;
    }
    // Nothing waits for today's list any more.
    QFile::remove(parser.value("queue") + QStringLiteral(".patients.json"));
    std::printf("done\n");
    return 0;
}
