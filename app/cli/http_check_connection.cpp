// kelvra-capture check-connection URL [--ca-file FILE]: one GET through the
// session manager and the default security policy, with what a support
// technician needs to see: the trust verdict and why, the HTTP status and
// the time taken.

#include "app/cli/cli.h"
#include "http/http_session_manager.h"
#include "http/security_policy.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QFileInfo>
#include <QMutex>

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

QString name(const QSslCertificate &c, QSslCertificate::SubjectInfo field, bool issuer) {
    const QStringList v = issuer ? c.issuerInfo(field) : c.subjectInfo(field);
    return v.isEmpty() ? QStringLiteral("-") : v.join(QStringLiteral(", "));
}

int run(int argc, char **argv, const QStringList &args) {
    QString url;
    QString caFile;
    for (int i = 0; i < args.size(); ++i) {
        const QString &a = args.at(i);
        if (a == QLatin1String("--ca-file")) {
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
            return cliBadInput(QStringLiteral("only one URL, please (got %1 and %2)").arg(url, a));
        }
    }
    if (url.isEmpty())
        return cliBadInput(QStringLiteral("check-connection needs a URL, e.g. https://clinic.example/api/"));
    const QUrl parsed(url, QUrl::StrictMode);
    const QString scheme = parsed.scheme().toLower();
    if (!parsed.isValid() || parsed.host().isEmpty() ||
        (scheme != QLatin1String("https") && scheme != QLatin1String("http")))
        return cliBadInput(QStringLiteral("not an http(s) URL: %1").arg(url));

    QCoreApplication app(argc, argv);
    if (!caFile.isEmpty()) {
        if (!QFileInfo(caFile).isReadable())
            return cliBadInput(QStringLiteral("cannot read the CA file %1").arg(caFile));
        CVSecurityPolicy::setUserTrustAnchorsFileOverride(QFileInfo(caFile).absoluteFilePath());
    }
    QString anchorsError;
    const QList<QSslCertificate> anchors = CVSecurityPolicy::userTrustAnchors(&anchorsError);
    if (!caFile.isEmpty() && anchors.isEmpty())
        return cliBadInput(anchorsError);

    std::printf("URL:             %s\n", qPrintable(parsed.toString()));
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
        return cliBadInput(QStringLiteral("cannot build a request for %1").arg(url));
    request->setTimeoutInterval(20);

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
                std::printf("Trust:           NOT trusted: %s\n", qPrintable(policy->verdictReason));
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
            std::printf("Transfer:        %s\n", qPrintable(error.localizedDescription()));
    } else {
        const KCError cause = error.underlyingError() ? error.underlyingError() : error;
        std::printf("HTTP status:     no answer (%s)\n", qPrintable(cause.localizedDescription()));
    }
    std::printf("Time:            %lld ms\n", static_cast<long long>(elapsed));
    const bool ok = trusted && response.has_value();
    std::printf("Result:          %s\n", ok ? "OK" : "FAILED");
    return ok ? 0 : 1;
}

const CliRegistrar
    reg({QStringLiteral("check-connection"), QStringLiteral("URL [--ca-file FILE]"),
         QStringLiteral("check that a server is reachable and trusted"),
         QStringLiteral("Runs one GET of URL with the application's HTTPS settings and prints the\n"
                        "trust verdict and its reason (untrusted root, host name mismatch, expired,\n"
                        "...), the certificates the server presented, the HTTP status and the time\n"
                        "taken.\n\n"
                        "  --ca-file FILE   also trust the root certificates in FILE (PEM), as the\n"
                        "                   KELVRA_CA_FILE variable or the \"trustedCAFile\" setting do\n\n"
                        "Exit status: 0 when the server is trusted and answered, 1 when not, 2 on\n"
                        "bad input."),
         &run});

} // namespace
