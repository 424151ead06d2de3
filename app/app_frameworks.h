#pragma once
// The outside services the application configures at launch, in the least
// form Linux needs: the update settings and an updater that only holds them
// (it fetches nothing), a leveled log with a console and a system-log
// logger, a crash reporter that writes a local report when the process
// crashes (it sends nothing), and the accessibility and global-key hooks,
// which have nothing to do on X11.

#include <QString>
#include <QUrl>

#include <functional>
#include <memory>
#include <vector>

// The application's identifier at the update and crash-report service.
inline const QString KCApplicationIdentifier = QStringLiteral("5f3c9a1e7b2d4c8f9e0a6b1d3c7e2f48");
// The host of the update and crash-report service.
inline const QString KCUpdateServiceHost = QStringLiteral("https://updates.kelvracapture.example");
// The update feed: the service's "/api/2/apps/" followed by the identifier.
QUrl kcUpdateFeedURL();

// Keys of the update settings in the application's QSettings.
inline const QString SUFeedURLKey = QStringLiteral("SUFeedURL");
inline const QString SUScheduledCheckIntervalKey = QStringLiteral("SUScheduledCheckInterval");
inline const QString SUEnableAutomaticChecksKey = QStringLiteral("SUEnableAutomaticChecks");

class SUUpdater {
public:
    static SUUpdater *sharedUpdater();
    void setFeedURL(const QUrl &url);
    QUrl feedURL() const;
    void setAutomaticallyChecksForUpdates(bool on);
    bool automaticallyChecksForUpdates() const;
    void setUpdateCheckInterval(double seconds);
    double updateCheckInterval() const;

private:
    SUUpdater() = default;
    QUrl m_feedURL;
    bool m_automatic = false;
    double m_interval = 0;
};

// Logging.
enum class DDLogLevel { Error, Warning, Info, Debug, Verbose };

class DDLogger {
public:
    virtual ~DDLogger() = default;
    virtual void logMessage(DDLogLevel level, const QString &message) = 0;
};

// Writes to standard error.
class DDTTYLogger : public DDLogger {
public:
    static std::shared_ptr<DDTTYLogger> sharedInstance();
    void logMessage(DDLogLevel level, const QString &message) override;
};

// Writes to the system log (syslog, identity "kelvra-capture").
class DDASLLogger : public DDLogger {
public:
    static std::shared_ptr<DDASLLogger> sharedInstance();
    void logMessage(DDLogLevel level, const QString &message) override;
};

class DDLog {
public:
    // Adding a logger that is already registered changes nothing.
    static void addLogger(const std::shared_ptr<DDLogger> &logger);
    static std::vector<std::shared_ptr<DDLogger>> allLoggers();
    static void log(DDLogLevel level, const QString &message);
};

// Accessibility: X11 lets every client read the windows of the screen, so the
// process is always trusted and there is nothing to prompt for.
bool AXIsProcessTrustedWithOptions(bool prompt);

// A monitor of key presses in other applications. The application's monitor
// takes no action, and X11 offers no such monitor without grabbing keys, so
// installing one only keeps the handler; it is never called.
using KCGlobalKeyDownHandler = std::function<void(unsigned long modifierFlags)>;
int kcAddGlobalMonitorForKeyDownEvents(KCGlobalKeyDownHandler handler);

// Crash reports: once started, a crash (SIGSEGV, SIGBUS, SIGILL, SIGFPE,
// SIGABRT) writes a short report into the crash-report folder and then lets
// the signal take its usual course. Nothing is sent anywhere.
class BITHockeyManager {
public:
    static BITHockeyManager *sharedHockeyManager();
    void configureWithIdentifier(const QString &identifier);
    QString identifier() const { return m_identifier; }
    void setAutoSubmitCrashReport(bool on) { m_autoSubmit = on; }
    bool autoSubmitCrashReport() const { return m_autoSubmit; }
    void startManager();
    bool isStarted() const { return m_started; }
    // Where reports are written (under the application's data folder).
    QString crashReportDirectory() const;

private:
    BITHockeyManager() = default;
    QString m_identifier;
    bool m_autoSubmit = false;
    bool m_started = false;
};
