#include "app/app_frameworks.h"

#include <QDateTime>
#include <QDir>
#include <QMutex>
#include <QStandardPaths>

#include <csignal>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <syslog.h>
#include <unistd.h>

QUrl kcUpdateFeedURL() {
    return QUrl(KCUpdateServiceHost + QStringLiteral("/api/2/apps/") + KCApplicationIdentifier);
}

// ---------------------------------------------------------------------------
// Updater

SUUpdater *SUUpdater::sharedUpdater() {
    static SUUpdater updater;
    return &updater;
}
void SUUpdater::setFeedURL(const QUrl &url) {
    m_feedURL = url;
}
QUrl SUUpdater::feedURL() const {
    return m_feedURL;
}
void SUUpdater::setAutomaticallyChecksForUpdates(bool on) {
    m_automatic = on;
}
bool SUUpdater::automaticallyChecksForUpdates() const {
    return m_automatic;
}
void SUUpdater::setUpdateCheckInterval(double seconds) {
    m_interval = seconds;
}
double SUUpdater::updateCheckInterval() const {
    return m_interval;
}

// ---------------------------------------------------------------------------
// Logging

static const char *levelName(DDLogLevel level) {
    switch (level) {
    case DDLogLevel::Error:
        return "error";
    case DDLogLevel::Warning:
        return "warning";
    case DDLogLevel::Info:
        return "info";
    case DDLogLevel::Debug:
        return "debug";
    case DDLogLevel::Verbose:
        return "verbose";
    }
    return "info";
}

std::shared_ptr<DDTTYLogger> DDTTYLogger::sharedInstance() {
    static const auto instance = std::make_shared<DDTTYLogger>();
    return instance;
}

void DDTTYLogger::logMessage(DDLogLevel level, const QString &message) {
    std::fprintf(stderr, "kelvra-capture [%s] %s\n", levelName(level), qPrintable(message));
}

std::shared_ptr<DDASLLogger> DDASLLogger::sharedInstance() {
    static const auto instance = [] {
        openlog("kelvra-capture", LOG_PID, LOG_USER);
        return std::make_shared<DDASLLogger>();
    }();
    return instance;
}

void DDASLLogger::logMessage(DDLogLevel level, const QString &message) {
    int priority = LOG_INFO;
    switch (level) {
    case DDLogLevel::Error:
        priority = LOG_ERR;
        break;
    case DDLogLevel::Warning:
        priority = LOG_WARNING;
        break;
    case DDLogLevel::Info:
        priority = LOG_INFO;
        break;
    case DDLogLevel::Debug:
    case DDLogLevel::Verbose:
        priority = LOG_DEBUG;
        break;
    }
    syslog(priority, "%s", message.toUtf8().constData());
}

namespace {
QMutex &loggerLock() {
    static QMutex lock;
    return lock;
}
std::vector<std::shared_ptr<DDLogger>> &loggers() {
    static std::vector<std::shared_ptr<DDLogger>> list;
    return list;
}
} // namespace

void DDLog::addLogger(const std::shared_ptr<DDLogger> &logger) {
    if (!logger)
        return;
    QMutexLocker lock(&loggerLock());
    for (const auto &l : loggers())
        if (l == logger)
            return;
    loggers().push_back(logger);
}

std::vector<std::shared_ptr<DDLogger>> DDLog::allLoggers() {
    QMutexLocker lock(&loggerLock());
    return loggers();
}

void DDLog::log(DDLogLevel level, const QString &message) {
    for (const auto &l : allLoggers())
        l->logMessage(level, message);
}

// ---------------------------------------------------------------------------
// Accessibility and the global key monitor

bool AXIsProcessTrustedWithOptions(bool prompt) {
    Q_UNUSED(prompt);
    return true;
}

int kcAddGlobalMonitorForKeyDownEvents(KCGlobalKeyDownHandler handler) {
    static std::vector<KCGlobalKeyDownHandler> handlers;
    handlers.push_back(std::move(handler));
    return int(handlers.size());
}

// ---------------------------------------------------------------------------
// Crash reporter

namespace {
// Prepared at start: a signal handler may only use what is already there.
char g_reportPath[4096];
char g_reportHeader[512];
const int kCrashSignals[] = {SIGSEGV, SIGBUS, SIGILL, SIGFPE, SIGABRT};
struct sigaction g_previous[sizeof(kCrashSignals) / sizeof(kCrashSignals[0])];

void writeAll(int fd, const char *text) {
    size_t left = std::strlen(text);
    while (left > 0) {
        const ssize_t n = ::write(fd, text, left);
        if (n <= 0)
            return;
        text += n;
        left -= size_t(n);
    }
}

void crashHandler(int signal) {
    const int fd = ::open(g_reportPath, O_WRONLY | O_CREAT | O_TRUNC, 0600);
    if (fd >= 0) {
        writeAll(fd, g_reportHeader);
        char line[64];
        // snprintf is not async-signal-safe; format the number by hand.
        char digits[16];
        int n = 0, s = signal;
        do {
            digits[n++] = char('0' + s % 10);
            s /= 10;
        } while (s > 0 && n < 15);
        int k = 0;
        for (const char *p = "signal: "; *p; ++p)
            line[k++] = *p;
        while (n > 0)
            line[k++] = digits[--n];
        line[k++] = '\n';
        line[k] = '\0';
        writeAll(fd, line);
        ::close(fd);
    }
    // Hand the signal to whoever handled it before us, or to the default.
    for (size_t i = 0; i < sizeof(kCrashSignals) / sizeof(kCrashSignals[0]); ++i) {
        if (kCrashSignals[i] == signal) {
            sigaction(signal, &g_previous[i], nullptr);
            break;
        }
    }
    raise(signal);
}
} // namespace

BITHockeyManager *BITHockeyManager::sharedHockeyManager() {
    static BITHockeyManager manager;
    return &manager;
}

void BITHockeyManager::configureWithIdentifier(const QString &identifier) {
    m_identifier = identifier;
}

QString BITHockeyManager::crashReportDirectory() const {
    return QStandardPaths::writableLocation(QStandardPaths::AppLocalDataLocation) +
           QStringLiteral("/CrashReports");
}

void BITHockeyManager::startManager() {
    if (m_started)
        return;
    m_started = true;
    const QString dir = crashReportDirectory();
    QDir().mkpath(dir);
    const QString path =
        dir + QStringLiteral("/crash-%1-%2.txt")
                  .arg(QDateTime::currentDateTimeUtc().toString(QStringLiteral("yyyyMMdd-HHmmss")))
                  .arg(::getpid());
    const QByteArray pathBytes = QFile::encodeName(path);
    if (size_t(pathBytes.size()) >= sizeof(g_reportPath))
        return;
    std::memcpy(g_reportPath, pathBytes.constData(), size_t(pathBytes.size()) + 1);
    const QByteArray header =
        QStringLiteral("KelvraCapture crash report\napplication: %1\nstarted: %2\npid: %3\n")
            .arg(m_identifier, QDateTime::currentDateTimeUtc().toString(Qt::ISODate))
            .arg(::getpid())
            .toUtf8()
            .left(sizeof(g_reportHeader) - 1);
    std::memcpy(g_reportHeader, header.constData(), size_t(header.size()) + 1);
    for (size_t i = 0; i < sizeof(kCrashSignals) / sizeof(kCrashSignals[0]); ++i) {
        struct sigaction action;
        std::memset(&action, 0, sizeof(action));
        action.sa_handler = crashHandler;
        sigemptyset(&action.sa_mask);
        action.sa_flags = SA_RESETHAND;
        sigaction(kCrashSignals[i], &action, &g_previous[i]);
    }
}
