#include "clinic/service_url.h"
#include "platform/core/managed_settings.h"

#include "http/secure_url.h"

#include <QCoreApplication>
#include <QSettings>
#include <QtDebug>

namespace {

// An absolute http(s) URL with a host, its path made to end in "/" so that
// relative paths resolve below it.
QUrl usableServiceURL(const QString &text, QString *problem) {
    const QUrl url(text.trimmed(), QUrl::StrictMode);
    if (!url.isValid()) {
        *problem = QStringLiteral("not a valid URL (%1)").arg(url.errorString());
        return {};
    }
    const QString scheme = url.scheme().toLower();
    if (scheme != QLatin1String("http") && scheme != QLatin1String("https")) {
        *problem = QStringLiteral("the URL must start with http:// or https://");
        return {};
    }
    if (url.host().isEmpty()) {
        *problem = QStringLiteral("the URL has no host");
        return {};
    }
    const QString insecure =
        kcInsecureURLProblem(url, QStringLiteral("the URL"), QStringLiteral("your clinic password"));
    if (!insecure.isEmpty()) {
        *problem = insecure;
        return {};
    }
    QUrl result = url.adjusted(QUrl::RemoveQuery | QUrl::RemoveFragment);
    if (!result.path().endsWith(QLatin1Char('/')))
        result.setPath(result.path() + QLatin1Char('/'));
    return result;
}

} // namespace

QString kcServiceURLOptionValue(const QStringList &arguments) {
    QString value;
    const QString prefix = KelvraServiceURLOption + QLatin1Char('=');
    for (qsizetype i = 0; i < arguments.size(); ++i) {
        const QString &argument = arguments.at(i);
        if (argument == QLatin1String("--"))
            break;
        if (argument == KelvraServiceURLOption && i + 1 < arguments.size())
            value = arguments.at(++i);
        else if (argument.startsWith(prefix))
            value = argument.mid(prefix.size());
    }
    return value;
}

KelvraServiceURLChoice kcChooseServiceURL(const QString &settingsValue, const QStringList &arguments,
                                          const QString &environmentValue) {
    KelvraServiceURLChoice choice;
    const struct {
        QString value;
        QString source;
        QString name;
    } candidates[] = {
        {settingsValue, QStringLiteral("settings"),
         QStringLiteral("settings key \"%1\"").arg(KelvraServiceURLSettingsKey)},
        {kcServiceURLOptionValue(arguments), QStringLiteral("command line"), KelvraServiceURLOption},
        {environmentValue, QStringLiteral("environment"),
         QString::fromLatin1(KelvraServiceURLEnvironmentVariable)},
    };
    for (const auto &candidate : candidates) {
        if (candidate.value.trimmed().isEmpty())
            continue;
        QString problem;
        const QUrl url = usableServiceURL(candidate.value, &problem);
        if (url.isValid()) {
            choice.url = url;
            choice.source = candidate.source;
            return choice;
        }
        choice.skipped.append(QStringLiteral("ignoring service URL \"%1\" from %2: %3")
                                  .arg(candidate.value, candidate.name, problem));
    }
    choice.url = QUrl(KelvraDefaultServiceURL);
    choice.source = QStringLiteral("default");
    return choice;
}

KelvraServiceURLChoice kcCurrentServiceURL() {
    // The user's settings file or the system-wide one (managed_settings.h).
    const QString settingsValue = kcManagedSetting(KelvraServiceURLSettingsKey).value.toString();
    const QStringList arguments =
        QCoreApplication::instance() ? QCoreApplication::arguments() : QStringList();
    const QString environmentValue = qEnvironmentVariable(KelvraServiceURLEnvironmentVariable);
    KelvraServiceURLChoice choice = kcChooseServiceURL(settingsValue, arguments, environmentValue);
    for (const QString &line : std::as_const(choice.skipped))
        qWarning().noquote() << line;
    return choice;
}

QUrl kcClinicAPIBaseURL(const QUrl &serviceURL) {
    QUrl base = serviceURL;
    if (!base.path().endsWith(QLatin1Char('/')))
        base.setPath(base.path() + QLatin1Char('/'));
    base.setPath(base.path() + QStringLiteral("api/"));
    return base;
}
