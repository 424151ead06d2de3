// kelvra-capture check-connection URL [--ca-file FILE]: one GET through the
// session manager and the default security policy, with what a support
// technician needs to see: the trust verdict and why, the HTTP status and
// the time taken. With --config naming a FHIR EHR it checks that EHR: its
// CapabilityStatement, an access token, and the public key to register.

#include "app/cli/cli.h"
#include "emr/emr_api_client.h"
#include "emr/fhir_api_client.h"
#include "http/http_session_manager.h"
#include "http/security_policy.h"

#include <QJsonDocument>
#include <QJsonObject>

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QFile>
#include <QFileInfo>
#include <QMutex>
#include <QRegularExpression>

#include <cstdio>
#include <memory>

namespace {

// The default policy, remembering what it was asked and what it answered.
class RecordingPolicy : public CVSecurityPolicy {
public:
    bool evaluateServerTrust(const CVServerTrust &trust, const QString &domain,
                             QString *reason) const override {
        QString why;
        const bool trusted = CVSecurityPolicy::evaluateServerTrust(trust, domain, &why);
        QMutexLocker l(&mutex);
        asked = true;
        verdict = trusted;
        verdictReason = why;
        chain = trust.certificates;
        if (reason)
            *reason = why;
        return trusted;
    }
    mutable QMutex mutex;
    mutable bool asked = false;
    mutable bool verdict = false;
    mutable QString verdictReason;
    mutable QList<QSslCertificate> chain;
};

// `text` without the password of any URL in it ("user:***@"), nor the
// password given in the checked URL wherever it appears: what is printed
// may end up in a support ticket.
QString withoutPassword(QString text, const QString &password = QString()) {
    static const QRegularExpression userInfo(QStringLiteral("(://[^/?#@\\s:]*):[^/?#\\s]*@"));
    text.replace(userInfo, QStringLiteral("\\1:***@"));
    if (!password.isEmpty()) {
        text.replace(password, QStringLiteral("***"));
        text.replace(QString::fromLatin1(QUrl::toPercentEncoding(password)), QStringLiteral("***"));
    }
    return text;
}

QString name(const QSslCertificate &c, QSslCertificate::SubjectInfo field, bool issuer) {
    const QStringList v = issuer ? c.issuerInfo(field) : c.subjectInfo(field);
    return v.isEmpty() ? QStringLiteral("-") : v.join(QStringLiteral(", "));
}

// What the CapabilityStatement says about filing: the FHIR version, and
// DocumentReference's create, conditional create and search. False when it
// is no FHIR R4 CapabilityStatement.
bool printCapabilities(const QVariant &body) {
    const QVariantMap statement = QJsonDocument::fromJson(body.toByteArray()).toVariant().toMap();
    if (statement.value(QStringLiteral("resourceType")).toString() != QLatin1String("CapabilityStatement")) {
        std::printf("FHIR server:     the answer is no CapabilityStatement\n");
        return false;
    }
    const QString version = statement.value(QStringLiteral("fhirVersion")).toString();
    std::printf("FHIR version:    %s\n", qPrintable(version));
    bool creates = false;
    for (const QVariant &rest : statement.value(QStringLiteral("rest")).toList()) {
        for (const QVariant &r : rest.toMap().value(QStringLiteral("resource")).toList()) {
            const QVariantMap resource = r.toMap();
            if (resource.value(QStringLiteral("type")).toString() != QLatin1String("DocumentReference"))
                continue;
            QStringList interactions;
            for (const QVariant &i : resource.value(QStringLiteral("interaction")).toList())
                interactions.append(i.toMap().value(QStringLiteral("code")).toString());
            creates = interactions.contains(QStringLiteral("create"));
            std::printf("DocumentReference: %s; conditional create %s\n",
                        qPrintable(interactions.join(QStringLiteral(", "))),
                        resource.value(QStringLiteral("conditionalCreate")).toBool()
                            ? "yes"
                            : "not declared (an earlier attempt is searched for by identifier)");
        }
    }
    if (!creates)
        std::printf("DocumentReference: create is not declared\n");
    return version.startsWith(QLatin1String("4.0"));
}

// Gets an access token as a filing would, and prints the key to register.
bool checkFHIRAuthorisation(const QVariantMap &preferences) {
    EMRAPIClient &registry = EMRAPIClient::sharedEMRAPIClient();
    registry.extensionCheckCurrentEMR(preferences.value(QStringLiteral("emrData")), preferences);
    const auto fhir = std::dynamic_pointer_cast<QDFHIRAPIClientForExtension>(registry.delegate());
    if (!fhir)
        return false;
    QString keyProblem;
    const QVariantMap jwks = fhir->publicJWKS(&keyProblem);
    if (jwks.isEmpty())
        std::printf("Signing key:     %s\n", qPrintable(keyProblem));
    else
        std::printf(
            "Public key (JWKS to register with the EHR):\n%s",
            QJsonDocument(QJsonObject::fromVariantMap(jwks)).toJson(QJsonDocument::Indented).constData());
    QEventLoop loop;
    QString token;
    std::optional<QDFHIRAPIClientForExtension::Failure> failure;
    fhir->accessToken(false,
                      [&](const QString &t, const std::optional<QDFHIRAPIClientForExtension::Failure> &f) {
                          token = t;
                          failure = f;
                          loop.quit();
                      });
    loop.exec();
    std::printf("Token URL:       %s\n", qPrintable(withoutPassword(fhir->tokenURL())));
    std::printf("Scopes asked:    %s\n", qPrintable(fhir->requestedScopes()));
    if (failure)
        std::printf("Access token:    NOT obtained: %s\n", qPrintable(withoutPassword(failure->message)));
    else
        std::printf("Access token:    obtained\n");
    return !failure && !token.isEmpty();
}

int run(int argc, char **argv, const QStringList &args) {
    QString url;
    QString caFile;
    QString configPath;
    for (int i = 0; i < args.size(); ++i) {
        const QString &a = args.at(i);
        if (a == QLatin1String("--config")) {
            if (i + 1 >= args.size())
                return cliBadInput(QStringLiteral("--config needs a file name"));
            configPath = args.at(++i);
        } else if (a == QLatin1String("--ca-file")) {
            if (i + 1 >= args.size())
                return cliBadInput(QStringLiteral("--ca-file needs a file name"));
            caFile = args.at(++i);
        } else if (a.startsWith(QLatin1String("--ca-file="))) {
            caFile = a.mid(10);
        } else if (a.startsWith(QLatin1Char('-'))) {
            return cliBadInput(QStringLiteral("unknown option %1").arg(a));
        } else if (url.isEmpty()) {
            url = a;
        } else {
            return cliBadInput(QStringLiteral("only one URL, please (got %1 and %2)")
                                   .arg(withoutPassword(url), withoutPassword(a)));
        }
    }
    // A FHIR EHR's configuration: its CapabilityStatement is the URL.
    QVariantMap preferences;
    if (!configPath.isEmpty()) {
        QFile config(configPath);
        if (!config.open(QIODevice::ReadOnly))
            return cliBadInput(QStringLiteral("cannot read %1: %2").arg(configPath, config.errorString()));
        preferences = QJsonDocument::fromJson(config.readAll()).toVariant().toMap();
        const QVariantMap emrData = preferences.value(QStringLiteral("emrData")).toMap();
        if (preferences.value(QStringLiteral("kelvraKeychain")).toMap().value(QStringLiteral("enabledEMR")) !=
                QLatin1String("fhir") ||
            emrData.value(QStringLiteral("base_url")).toString().isEmpty())
            return cliBadInput(
                QStringLiteral("%1 configures no FHIR EHR (\"enabledEMR\": \"fhir\" with a \"base_url\")")
                    .arg(configPath));
        if (!url.isEmpty())
            return cliBadInput(QStringLiteral("give a URL or --config, not both"));
        url = CVHTTPSessionManager::normalizedBaseURL(
                  QUrl(emrData.value(QStringLiteral("base_url")).toString()))
                  .toString() +
              QStringLiteral("metadata");
    }
    if (url.isEmpty())
        return cliBadInput(QStringLiteral("check-connection needs a URL, e.g. https://clinic.example/api/"));
    const QUrl parsed(url, QUrl::StrictMode);
    const QString scheme = parsed.scheme().toLower();
    if (!parsed.isValid() || parsed.host().isEmpty() ||
        (scheme != QLatin1String("https") && scheme != QLatin1String("http")))
        return cliBadInput(QStringLiteral("not an http(s) URL: %1").arg(withoutPassword(url)));

    const QString password = parsed.password();
    auto shown = [&password](const QString &text) { return withoutPassword(text, password); };

    QCoreApplication app(argc, argv);
    if (!preferences.isEmpty()) {
        // The application's settings: the managed key file among them.
        QCoreApplication::setOrganizationName(QStringLiteral("Kelvra"));
        QCoreApplication::setApplicationName(QStringLiteral("KelvraCapture"));
    }
    if (!caFile.isEmpty()) {
        if (!QFileInfo(caFile).isReadable())
            return cliBadInput(QStringLiteral("cannot read the CA file %1").arg(caFile));
        CVSecurityPolicy::setUserTrustAnchorsFileOverride(QFileInfo(caFile).absoluteFilePath());
    }
    QString anchorsError;
    const QList<QSslCertificate> anchors = CVSecurityPolicy::userTrustAnchors(&anchorsError);
    if (!caFile.isEmpty() && anchors.isEmpty())
        return cliBadInput(anchorsError);

    std::printf("URL:             %s\n", qPrintable(shown(parsed.toString(QUrl::RemovePassword))));
    const QString anchorsFile = CVSecurityPolicy::userTrustAnchorsFile();
    if (!anchorsFile.isEmpty())
        std::printf("Extra roots:     %s (%lld certificate(s))%s\n", qPrintable(anchorsFile),
                    static_cast<long long>(anchors.size()),
                    anchorsError.isEmpty() ? "" : qPrintable(QStringLiteral(" - ") + anchorsError));

    CVHTTPSessionManager manager;
    manager.setResponseSerializer(CVHTTPResponseSerializer::serializer());
    auto policy = std::make_shared<RecordingPolicy>();
    manager.setSecurityPolicy(policy);
    auto request = manager.requestSerializer()->requestWithMethod(QStringLiteral("GET"), parsed.toString(),
                                                                  std::nullopt);
    if (!request)
        return cliBadInput(QStringLiteral("cannot build a request for %1").arg(shown(url)));
    request->setTimeoutInterval(20);
    if (!preferences.isEmpty())
        request->setValue(QStringLiteral("application/fhir+json"), QStringLiteral("Accept"));

    QEventLoop loop;
    std::optional<KCHTTPURLResponse> response;
    KCError error;
    QVariant body;
    QElapsedTimer timer;
    timer.start();
    manager
        .dataTaskWithRequest(
            *request,
            [&](const std::optional<KCHTTPURLResponse> &r, const QVariant &object, const KCError &e) {
                response = r;
                body = object;
                error = e;
                loop.quit();
            })
        ->resume();
    loop.exec();
    const qint64 elapsed = timer.elapsed();

    bool trusted = true;
    {
        QMutexLocker l(&policy->mutex);
        if (scheme == QLatin1String("http")) {
            std::printf("Trust:           not applicable (plain HTTP, no certificate)\n");
        } else if (!policy->asked) {
            trusted = false;
            std::printf("Trust:           not evaluated (no TLS connection was made)\n");
        } else {
            trusted = policy->verdict;
            if (trusted)
                std::printf("Trust:           trusted (chain valid for %s)\n", qPrintable(parsed.host()));
            else
                std::printf("Trust:           NOT trusted: %s\n", qPrintable(shown(policy->verdictReason)));
            for (int i = 0; i < policy->chain.size(); ++i) {
                const QSslCertificate &c = policy->chain.at(i);
                std::printf("Certificate %d:   subject \"%s\", issuer \"%s\", valid %s to %s\n", i,
                            qPrintable(name(c, QSslCertificate::CommonName, false)),
                            qPrintable(name(c, QSslCertificate::CommonName, true)),
                            qPrintable(c.effectiveDate().toString(Qt::ISODate)),
                            qPrintable(c.expiryDate().toString(Qt::ISODate)));
            }
        }
    }
    if (response) {
        std::printf("HTTP status:     %lld %s\n", static_cast<long long>(response->statusCode()),
                    qPrintable(KCHTTPURLResponse::localizedStringForStatusCode(response->statusCode())));
        if (error && error.domain() == NSURLErrorDomain)
            std::printf("Transfer:        %s\n", qPrintable(shown(error.localizedDescription())));
    } else {
        const KCError cause = error.underlyingError() ? error.underlyingError() : error;
        std::printf("HTTP status:     no answer (%s)\n", qPrintable(shown(cause.localizedDescription())));
    }
    std::printf("Time:            %lld ms\n", static_cast<long long>(elapsed));
    bool ok = trusted && response.has_value();
    if (!preferences.isEmpty()) {
        const bool capable = ok && response->statusCode() == 200 && printCapabilities(body);
        // A token is asked for even when the statement is missing: both
        // answers help whoever sets the connection up.
        const bool authorised = checkFHIRAuthorisation(preferences);
        ok = capable && authorised;
    }
    std::printf("Result:          %s\n", ok ? "OK" : "FAILED");
    return ok ? 0 : 1;
}

const CliRegistrar
    reg({QStringLiteral("check-connection"), QStringLiteral("URL | --config FILE [--ca-file FILE]"),
         QStringLiteral("check that a server is reachable and trusted"),
         QStringLiteral("Runs one GET of URL with the application's HTTPS settings and prints the\n"
                        "trust verdict and its reason (untrusted root, host name mismatch, expired,\n"
                        "...), the certificates the server presented, the HTTP status and the time\n"
                        "taken.\n\n"
                        "  --ca-file FILE   also trust the root certificates in FILE (PEM), as the\n"
                        "                   KELVRA_CA_FILE variable or the \"trustedCAFile\" setting do\n"
                        "  --config FILE    instead of a URL: a user configuration naming a FHIR EHR\n"
                        "                   (\"enabledEMR\": \"fhir\", see emr-file --help); reads its\n"
                        "                   CapabilityStatement (<base_url>metadata), gets an access\n"
                        "                   token as a filing would, and prints the public key (JWKS)\n"
                        "                   to register with the EHR\n\n"
                        "Exit status: 0 when the server is trusted and answered (with --config: a\n"
                        "FHIR R4 CapabilityStatement and an access token), 1 when not, 2 on bad\n"
                        "input."),
         &run});

} // namespace
