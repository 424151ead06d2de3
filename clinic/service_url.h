#pragma once
// Where the clinic web service is. The first usable value of, in order:
//   1. the setting "serviceURL" (user or system-wide, see managed_settings.h),
//   2. the command-line option --service-url URL (or --service-url=URL),
//   3. the environment variable KELVRA_SERVICE_URL,
//   4. the local demo service, http://127.0.0.1:47800/.
// A value that is not an absolute http or https URL with a host is skipped
// with a warning naming its source, and the next source applies. Plain http
// is accepted only for this computer (127.0.0.0/8, ::1, and localhost or a
// name under .localhost that resolves to those alone: kcIsLoopbackHost()):
// anywhere else the password would cross the network unencrypted.
// The clinic API lives under "api/" of the service URL.

#include <QString>
#include <QStringList>
#include <QUrl>

inline const QString KelvraServiceURLSettingsKey = QStringLiteral("serviceURL");
inline const QString KelvraServiceURLOption = QStringLiteral("--service-url");
inline const char KelvraServiceURLEnvironmentVariable[] = "KELVRA_SERVICE_URL";
inline const QString KelvraDefaultServiceURL = QStringLiteral("http://127.0.0.1:47800/");

struct KelvraServiceURLChoice {
    QUrl url;            // the service URL, its path ending in "/"
    QString source;      // "settings", "command line", "environment" or "default"
    QStringList skipped; // one line per value that was set but unusable
};

// Picks the service URL from the given values (empty means "not set").
KelvraServiceURLChoice kcChooseServiceURL(const QString &settingsValue, const QStringList &arguments,
                                          const QString &environmentValue);

// Reads the three sources of this process (QSettings(), the arguments of the
// QCoreApplication, the environment) and picks the service URL; every
// skipped value is reported with qWarning.
KelvraServiceURLChoice kcCurrentServiceURL();

// The value of --service-url in `arguments` (either form), or an empty text.
// The last occurrence wins.
QString kcServiceURLOptionValue(const QStringList &arguments);

// The clinic API base: the service URL followed by "api/".
QUrl kcClinicAPIBaseURL(const QUrl &serviceURL);
