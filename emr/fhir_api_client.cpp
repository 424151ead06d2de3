#include "emr/fhir_api_client.h"

#include <QFile>
#include <QImage>
#include <QJsonDocument>
#include <QJsonObject>
#include <QLoggingCategory>
#include <QMutexLocker>
#include <QSet>

#include <algorithm>

#include "emr/emr_document_file.h"
#include "emr/fhir_signing_key.h"
#include "http/secure_url.h"
#include "platform/core/managed_settings.h"

Q_LOGGING_CATEGORY(lcFHIR, "kelvra.emr.fhir")

namespace {

// Reading Patients and Encounters, creating and searching DocumentReferences.
const QString kScopesV2 = QStringLiteral("system/Patient.rs system/Encounter.rs system/DocumentReference.cs");
const QString kScopesV1 = QStringLiteral(
    "system/Patient.read system/Encounter.read system/DocumentReference.read system/DocumentReference.write");
const QString kAssertionType = QStringLiteral("urn:ietf:params:oauth:client-assertion-type:jwt-bearer");
const QString kFHIRJSON = QStringLiteral("application/fhir+json");
// A Retry-After up to this long is waited out within the attempt; a longer
// one ends the attempt (the upload queue tries again later).
constexpr qint64 kLongestWaitMs = 15000;
constexpr qint64 kLongestRetryAfterSeconds = 3600;
// Entries asked for per page of a search, and the most pages read.
constexpr int kSearchPageSize = 50;
constexpr int kMostSearchPages = 100;

using Kind = EMRFilingOutcome::Kind;

QString text(const QVariant &v) {
    const int type = v.typeId();
    if (type == QMetaType::QString)
        return v.toString();
    if (type == QMetaType::LongLong || type == QMetaType::Int || type == QMetaType::ULongLong)
        return QString::number(v.toLongLong());
    return {};
}

// An id as one path segment.
QString segment(const QString &id) {
    return QString::fromLatin1(QUrl::toPercentEncoding(id));
}

// What sending the same request again later may mend: no answer, a time-out,
// a rate limit, a server error. Any other 4xx (a 401 after the one renewal of
// the token included) is final.
bool isTransient(qint64 status) {
    return status == 0 || status == 408 || status == 429 || status >= 500;
}

QString statusText(qint64 status) {
    return QStringLiteral("HTTP %1 %2")
        .arg(status)
        .arg(KCHTTPURLResponse::localizedStringForStatusCode(status));
}

} // namespace

struct QDFHIRAPIClientForExtension::Settings {
    QUrl baseURL;
    QString tokenURL; // configured, else discovered
    QString clientID;
    QString keyID;
    QString identifierSystem;
    FHIRDocumentCoding coding;
    std::shared_ptr<FHIRSigningKey> key;
    QString keyProblem;
};

struct QDFHIRAPIClientForExtension::Request {
    QString method;
    QString url; // absolute
    QVariantMap query;
    QByteArray body;
    KCHeaderList headers;
    AnswerCallback done;
    bool renewedToken = false;
    // The task under way, for cancelling.
    std::shared_ptr<KCURLSessionTaskPtr> task = std::make_shared<KCURLSessionTaskPtr>();
};

struct QDFHIRAPIClientForExtension::Filing {
    // From the record and the visit.
    QString entryID;
    QString note;
    QByteArray pdf;
    QDateTime created;
    QString listName;
    QDate dateOfBirth;
    QString emrPatientID;
    QString appointmentID;
    // Found in the EHR.
    QString patientID;
    std::optional<FHIREncounter> encounter;
    // Whether the document may be in the EHR already (an earlier attempt,
    // or a create whose answer did not come).
    bool mayBeThere = false;
    bool cancelled = false;
    std::shared_ptr<KCURLSessionTaskPtr> task;
    EMRFilingCallback done;
    bool finished = false;

    void report(Kind kind, const QString &message, const QString &documentID = QString()) {
        if (finished)
            return;
        finished = true;
        if (done)
            done({kind, documentID, message, kind == Kind::Filed || mayBeThere});
    }
    // Reports an answer that did not bring what `step` needed: a final
    // refusal of the EHR (4xx) as Refused, anything that may mend itself as
    // Failed.
    void fail(const QString &step, const Answer &answer) {
        if (answer.failure) {
            report(answer.failure->kind, step + QStringLiteral(": ") + answer.failure->message);
            return;
        }
        if (answer.status == 0) {
            report(Kind::Failed, QStringLiteral("%1: the EHR did not answer (%2)")
                                     .arg(step, answer.error.localizedDescription()));
            return;
        }
        const QString detail = fhirAnswerText(answer.body);
        QString message = QStringLiteral("%1: the EHR answered %2").arg(step, statusText(answer.status));
        if (!detail.isEmpty())
            message += QStringLiteral(": ") + detail;
        report(isTransient(answer.status) ? Kind::Failed : Kind::Refused, message);
    }
};

// ---- creation and configuration ----

std::shared_ptr<QDFHIRAPIClientForExtension> QDFHIRAPIClientForExtension::sharedClient() {
    static QMutex lock;
    // Kept to the end of the process, like the other clients.
    static auto &shared = *new std::shared_ptr<QDFHIRAPIClientForExtension>();
    QMutexLocker locker(&lock);
    if (!shared) {
        shared = std::make_shared<QDFHIRAPIClientForExtension>();
        shared->setSecurityPolicy(CVSecurityPolicy::defaultPolicy());
    }
    return shared;
}

QDFHIRAPIClientForExtension::QDFHIRAPIClientForExtension(const QUrl &baseURL)
    : CVHTTPSessionManager(baseURL) {
    configureHTTP();
}

QDFHIRAPIClientForExtension::~QDFHIRAPIClientForExtension() = default;

void QDFHIRAPIClientForExtension::initWithBaseURL(const QUrl &baseURL) {
    CVHTTPSessionManager::initWithBaseURL(baseURL);
    configureHTTP();
}

void QDFHIRAPIClientForExtension::configureHTTP() {
    // FHIR answers are JSON under their own media type; anything else (a
    // proxy's page) is kept as bytes for the message.
    auto json = CVJSONResponseSerializer::serializerWithReadingOptions(NSJSONReadingFragmentsAllowed);
    json->acceptableContentTypes->insert(kFHIRJSON);
    setResponseSerializer(CVCompoundResponseSerializer::compoundSerializerWithResponseSerializers(
        {json, CVHTTPResponseSerializer::serializer()}));
    setRequestSerializer(CVHTTPRequestSerializer::serializer());
}

void QDFHIRAPIClientForExtension::setEmrData(const QVariantMap &emrData) {
    // The key text is held only until updateAuthStatus() has read the key
    // from it; the rest of the settings stay.
    QVariantMap settings = emrData;
    const QByteArray keyText = text(settings.take(QStringLiteral("private_key"))).toUtf8();
    QMutexLocker locker(&m_lock);
    fhirWipe(m_keyText);
    m_keyText = keyText;
    m_emrData = settings;
}

void QDFHIRAPIClientForExtension::setKelvraKeychain(const QVariantMap &kelvraKeychain) {
    // The EMR choice only: everything the FHIR client needs is in "emrData".
    Q_UNUSED(kelvraKeychain);
}

QString QDFHIRAPIClientForExtension::practiceID() const {
    QMutexLocker locker(&m_lock);
    const QString base = text(m_emrData.value(QStringLiteral("base_url"))).trimmed();
    return base.isEmpty() ? QString() : normalizedBaseURL(QUrl(base)).toString();
}

QDFHIRAPIClientForExtension::Settings QDFHIRAPIClientForExtension::settings() const {
    QMutexLocker locker(&m_lock);
    Settings s;
    const QString base = text(m_emrData.value(QStringLiteral("base_url"))).trimmed();
    if (!base.isEmpty())
        s.baseURL = normalizedBaseURL(QUrl(base));
    s.tokenURL = text(m_emrData.value(QStringLiteral("auth_url"))).trimmed();
    if (s.tokenURL.isEmpty())
        s.tokenURL = m_discoveredTokenURL;
    s.clientID = text(m_emrData.value(QStringLiteral("client_id"))).trimmed();
    s.keyID = text(m_emrData.value(QStringLiteral("key_id"))).trimmed();
    s.identifierSystem = text(m_emrData.value(QStringLiteral("patient_identifier_system"))).trimmed();
    s.coding = FHIRDocumentCoding::fromEmrData(m_emrData);
    s.key = m_key;
    s.keyProblem = m_keyProblem;
    return s;
}

void QDFHIRAPIClientForExtension::updateAuthStatus() {
    QVariantMap emrData;
    QByteArray configuredKey;
    std::shared_ptr<FHIRSigningKey> earlierKey;
    QString earlierProblem;
    {
        QMutexLocker locker(&m_lock);
        emrData = m_emrData;
        // Read once; the parsed key is what is kept.
        configuredKey = std::exchange(m_keyText, QByteArray());
        earlierKey = m_key;
        earlierProblem = m_keyProblem;
    }
    if (emrData.isEmpty()) {
        fhirWipe(configuredKey);
        return;
    }
    // The key file that clinic IT manages comes first; when IT has locked
    // the setting, a key in the clinic's configuration is not used.
    QByteArray pem;
    QString problem;
    bool fromConfiguration = false;
    const KcManagedSetting file = kcManagedSetting(FHIRPrivateKeyFileSettingsKey);
    const QString path = file.value.toString().trimmed();
    if (!path.isEmpty()) {
        QFile f(path);
        // Unbuffered: no copy of the key stays in the file's buffer.
        if (f.open(QIODevice::ReadOnly | QIODevice::Unbuffered))
            pem = f.readAll();
        else
            problem =
                QStringLiteral("The FHIR private key file %1 cannot be read: %2").arg(path, f.errorString());
    } else if (file.locked) {
        problem = QStringLiteral("The FHIR private key file setting is locked without a file.");
    } else {
        fromConfiguration = true;
        pem = configuredKey;
    }
    std::shared_ptr<FHIRSigningKey> key;
    if (!pem.isEmpty()) {
        key = FHIRSigningKey::fromPEM(pem, &problem);
    } else if (fromConfiguration && earlierKey) {
        // The configuration's key was read before and its text is gone.
        key = earlierKey;
        problem = earlierProblem;
    } else if (fromConfiguration) {
        problem = QStringLiteral("No FHIR private key is configured (private_key, or the managed "
                                 "setting fhirPrivateKeyFile).");
    }
    fhirWipe(pem);
    fhirWipe(configuredKey);
    const QString algorithm = text(emrData.value(QStringLiteral("algorithm"))).trimmed().toUpper();
    if (key && !algorithm.isEmpty() && algorithm != key->algorithm()) {
        problem = QStringLiteral("The configured signing algorithm %1 does not fit the private key, which "
                                 "signs %2.")
                      .arg(algorithm, key->algorithm());
        key.reset();
    }
    {
        QMutexLocker locker(&m_lock);
        m_key = key;
        m_keyProblem = problem;
        // A new configuration may name another EHR or client.
        m_accessToken.clear();
        m_discoveredTokenURL.clear();
        m_useV1Scopes = false;
    }
    accessToken(false, [](const QString &, const std::optional<Failure> &failure) {
        if (failure)
            qCWarning(lcFHIR).noquote() << "no FHIR access token:" << failure->message;
    });
}

void QDFHIRAPIClientForExtension::forgetCredentials() {
    QList<TokenCallback> waiters;
    {
        QMutexLocker locker(&m_lock);
        ++m_credentialEpoch;
        m_emrData.clear();
        fhirWipe(m_keyText);
        m_key.reset();
        m_keyProblem.clear();
        m_accessToken.clear();
        m_discoveredTokenURL.clear();
        m_tokenRequestInFlight = false;
        waiters.swap(m_tokenWaiters);
    }
    const Failure signedOut{Kind::Failed, QStringLiteral("signed out")};
    for (const TokenCallback &waiter : waiters)
        DispatchQueue::main()->async([waiter, signedOut] { waiter(QString(), signedOut); });
}

QString QDFHIRAPIClientForExtension::tokenURL() const {
    return settings().tokenURL;
}

bool QDFHIRAPIClientForExtension::useV1Scopes() const {
    QMutexLocker locker(&m_lock);
    return m_useV1Scopes;
}

QString QDFHIRAPIClientForExtension::requestedScopes() const {
    QMutexLocker locker(&m_lock);
    return m_requestedScopes;
}

QVariantMap QDFHIRAPIClientForExtension::publicJWKS(QString *error) const {
    const Settings s = settings();
    if (!s.key) {
        if (error)
            *error = s.keyProblem;
        return {};
    }
    return {{QStringLiteral("keys"), QVariantList{s.key->publicJWK(s.keyID)}}};
}

// ---- access tokens ----

void QDFHIRAPIClientForExtension::accessToken(bool renew, TokenCallback done) {
    {
        QMutexLocker locker(&m_lock);
        if (renew)
            m_accessToken.clear();
        if (!m_accessToken.isEmpty() && QDateTime::currentDateTimeUtc() < m_tokenRenewAt) {
            const QString token = m_accessToken;
            DispatchQueue::main()->async([done, token] { done(token, std::nullopt); });
            return;
        }
        m_tokenWaiters.append(std::move(done));
        if (m_tokenRequestInFlight)
            return;
        m_tokenRequestInFlight = true;
    }
    requestToken();
}

void QDFHIRAPIClientForExtension::requestToken() {
    const Settings s = settings();
    const quint64 epoch = m_credentialEpoch;
    auto fail = [&](Kind kind, const QString &message) {
        finishToken(QString(), 0, Failure{kind, message}, epoch);
    };
    if (s.baseURL.isEmpty() || s.clientID.isEmpty())
        return fail(Kind::Failed,
                    QStringLiteral("The FHIR connection is not configured (base_url, client_id)."));
    if (!s.key)
        return fail(Kind::Failed, s.keyProblem);
    const QString insecure = kcInsecureURLProblem(s.baseURL, QStringLiteral("The FHIR base URL (base_url)"),
                                                  QStringLiteral("the EHR access token and patient data"));
    if (!insecure.isEmpty())
        return fail(Kind::Refused, insecure);
    if (!s.tokenURL.isEmpty())
        return postTokenRequest(s.tokenURL, epoch, useV1Scopes());

    // No token URL configured: the EHR's SMART configuration names it.
    const QString where = s.baseURL.toString() + QStringLiteral(".well-known/smart-configuration");
    sendAuthorisationRequest(
        QStringLiteral("GET"), where, std::nullopt, epoch,
        [epoch, where](const std::shared_ptr<QDFHIRAPIClientForExtension> &self, qint64 status,
                       const QVariant &answer, const KCError &error) {
            const QVariantMap map = answer.toMap();
            const QString tokenURL = text(map.value(QStringLiteral("token_endpoint")));
            if (error || tokenURL.isEmpty()) {
                const QString why = status ? statusText(status) : error.localizedDescription();
                self->finishToken(
                    QString(), 0,
                    Failure{isTransient(status) ? Kind::Failed : Kind::Refused,
                            QStringLiteral("The EHR's SMART configuration (%1) names no token URL "
                                           "(%2); set the token URL (auth_url).")
                                .arg(where, why)},
                    epoch);
                return;
            }
            // The client signs a JWT assertion (private_key_jwt) with its
            // key's algorithm: the EHR must take both.
            const QStringList methods =
                map.value(QStringLiteral("token_endpoint_auth_methods_supported")).toStringList();
            const QStringList algorithms =
                map.value(QStringLiteral("token_endpoint_auth_signing_alg_values_supported")).toStringList();
            const QString algorithm = self->settings().key ? self->settings().key->algorithm() : QString();
            QString refusal;
            if (!methods.contains(QStringLiteral("private_key_jwt")))
                refusal =
                    QStringLiteral("The EHR's SMART configuration (%1) does not offer sign-in with a signed "
                                   "JWT (private_key_jwt) at its token URL; it offers: %2.")
                        .arg(where, methods.isEmpty() ? QStringLiteral("nothing")
                                                      : methods.join(QStringLiteral(", ")));
            else if (!algorithm.isEmpty() && !algorithms.contains(algorithm))
                refusal =
                    QStringLiteral("The EHR's SMART configuration (%1) does not take %2 signatures, which "
                                   "the configured key makes; it takes: %3. Use a key of an algorithm "
                                   "it takes (RS384: RSA, ES384: EC P-384).")
                        .arg(where, algorithm,
                             algorithms.isEmpty() ? QStringLiteral("none")
                                                  : algorithms.join(QStringLiteral(", ")));
            if (!refusal.isEmpty()) {
                self->finishToken(QString(), 0, Failure{Kind::Refused, refusal}, epoch);
                return;
            }
            const QStringList capabilities = map.value(QStringLiteral("capabilities")).toStringList();
            {
                QMutexLocker locker(&self->m_lock);
                if (self->m_credentialEpoch != epoch)
                    return;
                self->m_discoveredTokenURL = tokenURL;
                // Servers that grant only SMART v1 scopes say so.
                self->m_useV1Scopes = capabilities.contains(QStringLiteral("permission-v1")) &&
                                      !capabilities.contains(QStringLiteral("permission-v2"));
            }
            self->postTokenRequest(tokenURL, epoch, self->useV1Scopes());
        });
}

void QDFHIRAPIClientForExtension::sendAuthorisationRequest(const QString &method, const QString &url,
                                                           const KCParameters &form, quint64 epoch,
                                                           AuthorisationAnswer done) {
    KCError buildError;
    std::optional<KCURLRequest> request =
        requestSerializer()->requestWithMethod(method, url, form, &buildError);
    if (!request)
        return finishToken(QString(), 0, Failure{Kind::Failed, buildError.localizedDescription()}, epoch);
    request->setValue(QStringLiteral("application/json"), QStringLiteral("Accept"));
    std::weak_ptr<QDFHIRAPIClientForExtension> weak = weak_from_this();
    KCURLSessionTaskPtr task = CVHTTPSessionManager::dataTaskWithRequest(
        *request, [weak, done](const std::optional<KCHTTPURLResponse> &response, const QVariant &answer,
                               const KCError &error) {
            if (auto self = weak.lock())
                done(self, response ? response->statusCode() : 0, answer, error);
        });
    if (task)
        task->resume();
}

void QDFHIRAPIClientForExtension::postTokenRequest(const QString &tokenURL, quint64 epoch, bool v1) {
    const Settings s = settings();
    auto fail = [&](Kind kind, const QString &message) {
        finishToken(QString(), 0, Failure{kind, message}, epoch);
    };
    if (!s.key)
        return fail(Kind::Failed, s.keyProblem);
    const QString insecure = kcInsecureURLProblem(QUrl(tokenURL), QStringLiteral("The FHIR token URL"),
                                                  QStringLiteral("the signed client assertion"));
    if (!insecure.isEmpty())
        return fail(Kind::Refused, insecure);
    QString problem;
    const QByteArray assertion = fhirClientAssertion(
        *s.key, {s.clientID, tokenURL, s.keyID, QDateTime::currentDateTimeUtc()}, &problem);
    if (assertion.isEmpty())
        return fail(Kind::Failed, problem);
    const QString scopes = v1 ? kScopesV1 : kScopesV2;
    {
        QMutexLocker locker(&m_lock);
        m_requestedScopes = scopes;
    }
    sendAuthorisationRequest(
        QStringLiteral("POST"), tokenURL,
        QVariantMap{{QStringLiteral("grant_type"), QStringLiteral("client_credentials")},
                    {QStringLiteral("scope"), scopes},
                    {QStringLiteral("client_assertion_type"), kAssertionType},
                    {QStringLiteral("client_assertion"), QString::fromLatin1(assertion)}},
        epoch,
        [epoch, tokenURL, v1](const std::shared_ptr<QDFHIRAPIClientForExtension> &self, qint64 status,
                              const QVariant &answer, const KCError &error) {
            const QVariantMap map = answer.toMap();
            if (!error && status >= 200 && status < 300) {
                const QString token = text(map.value(QStringLiteral("access_token")));
                // Only a bearer token is sent as "Authorization: Bearer"; an
                // answer that does not say so is not one.
                const QString type = text(map.value(QStringLiteral("token_type")));
                if (token.isEmpty() || type.compare(QLatin1String("bearer"), Qt::CaseInsensitive) != 0) {
                    self->finishToken(
                        QString(), 0,
                        Failure{
                            Kind::Failed,
                            token.isEmpty() ? QStringLiteral("The EHR's token answer holds no access token.")
                            : type.isEmpty()
                                ? QStringLiteral("The EHR's token answer names no token_type, so it is not "
                                                 "a bearer token.")
                                : QStringLiteral("The EHR's token answer holds a token of type \"%1\", not "
                                                 "a bearer token.")
                                      .arg(type)},
                        epoch);
                    return;
                }
                // Without a lifetime the token is used for the requests
                // waiting for it and then not again (see finishToken).
                const qint64 lifetime = map.value(QStringLiteral("expires_in")).toLongLong();
                {
                    // SMART v1 scopes are asked for from now on when they did it.
                    QMutexLocker locker(&self->m_lock);
                    if (self->m_credentialEpoch == epoch)
                        self->m_useV1Scopes = v1;
                }
                self->finishToken(token, qMax<qint64>(lifetime, 0), std::nullopt, epoch);
                return;
            }
            const QString oauthError = text(map.value(QStringLiteral("error")));
            if (status == 400 && !v1 &&
                (oauthError == QLatin1String("invalid_scope") || oauthError.isEmpty())) {
                // An EHR that knows SMART v1 scopes only (or a refusal
                // without a readable reason): ask once more with v1 scopes.
                self->postTokenRequest(tokenURL, epoch, true);
                return;
            }
            const QString detail = fhirAnswerText(answer);
            if (status == 400 || status == 401) {
                self->finishToken(
                    QString(), 0,
                    Failure{Kind::Refused,
                            QStringLiteral("The EHR refused the application's sign-in (%1%2). Check "
                                           "the client id, the key id and the public key "
                                           "registered with the EHR, and this computer's clock.")
                                .arg(statusText(status),
                                     detail.isEmpty() ? QString() : QStringLiteral(": ") + detail)},
                    epoch);
                return;
            }
            const QString why = status ? statusText(status) : error.localizedDescription();
            self->finishToken(
                QString(), 0,
                Failure{isTransient(status) ? Kind::Failed : Kind::Refused,
                        QStringLiteral("No access token from the EHR (%1%2).")
                            .arg(why, detail.isEmpty() ? QString() : QStringLiteral(": ") + detail)},
                epoch);
        });
}

void QDFHIRAPIClientForExtension::finishToken(const QString &token, qint64 lifetimeSeconds,
                                              const std::optional<Failure> &failure, quint64 epoch) {
    QList<TokenCallback> waiters;
    {
        QMutexLocker locker(&m_lock);
        // After a sign-out the waiters have been told; this answer is not kept.
        if (m_credentialEpoch != epoch)
            return;
        m_tokenRequestInFlight = false;
        waiters.swap(m_tokenWaiters);
        if (!failure) {
            m_accessToken = token;
            // Renewed shortly before it expires: a minute, or half of a short
            // life. A token of unknown lifetime (0) serves only the requests
            // waiting for it now; the next request asks for a new one.
            const qint64 margin = lifetimeSeconds >= 120 ? 60 : lifetimeSeconds / 2;
            m_tokenRenewAt = QDateTime::currentDateTimeUtc().addSecs(lifetimeSeconds - margin);
        }
    }
    for (const TokenCallback &waiter : waiters)
        DispatchQueue::main()->async([waiter, token, failure] { waiter(token, failure); });
}

// ---- requests ----

void QDFHIRAPIClientForExtension::sendForFiling(const std::shared_ptr<Filing> &filing, const QString &method,
                                                const QString &path, const QVariantMap &query,
                                                AnswerCallback done, const QByteArray &body,
                                                const KCHeaderList &headers) {
    auto request = std::make_shared<Request>();
    request->method = method;
    // A path under the base URL, or an absolute URL the EHR gave (the next
    // page of a search).
    request->url = QUrl(path).isRelative() ? settings().baseURL.toString() + path : path;
    request->query = query;
    request->body = body;
    request->headers = headers;
    request->done = [filing, done = std::move(done)](const Answer &answer) {
        if (!filing->finished)
            done(answer);
    };
    // Cancelling the filing cancels the request under way.
    filing->task = request->task;
    send(request);
}

void QDFHIRAPIClientForExtension::send(const std::shared_ptr<Request> &request) {
    const Settings s = settings();
    const QString insecure = kcInsecureURLProblem(s.baseURL, QStringLiteral("The FHIR base URL (base_url)"),
                                                  QStringLiteral("the EHR access token and patient data"));
    if (s.baseURL.isEmpty() || !insecure.isEmpty()) {
        Answer answer;
        answer.failure =
            Failure{s.baseURL.isEmpty() ? Kind::Failed : Kind::Refused,
                    s.baseURL.isEmpty() ? QStringLiteral("No FHIR base URL is configured.") : insecure};
        DispatchQueue::main()->async([request, answer] { request->done(answer); });
        return;
    }
    qint64 waitMs = 0;
    QDateTime notBefore;
    {
        QMutexLocker locker(&m_lock);
        notBefore = m_notBefore;
    }
    if (notBefore.isValid())
        waitMs = QDateTime::currentDateTimeUtc().msecsTo(notBefore);
    if (waitMs > kLongestWaitMs) {
        Answer answer;
        answer.failure =
            Failure{Kind::Failed, QStringLiteral("the EHR asked to wait until %1")
                                      .arg(notBefore.toLocalTime().toString(QStringLiteral("HH:mm:ss")))};
        DispatchQueue::main()->async([request, answer] { request->done(answer); });
        return;
    }
    if (waitMs > 0) {
        std::weak_ptr<QDFHIRAPIClientForExtension> weak = weak_from_this();
        dispatchAfterOnMain(int(waitMs), [weak, request] {
            if (auto self = weak.lock())
                self->send(request);
        });
        return;
    }
    sendWithAccessToken(request, false);
}

void QDFHIRAPIClientForExtension::sendWithAccessToken(const std::shared_ptr<Request> &request, bool renew) {
    std::weak_ptr<QDFHIRAPIClientForExtension> weak = weak_from_this();
    accessToken(renew, [weak, request](const QString &token, const std::optional<Failure> &failure) {
        auto self = weak.lock();
        if (!self)
            return;
        if (failure) {
            Answer answer;
            answer.failure = failure;
            request->done(answer);
            return;
        }
        self->sendWithToken(request, token);
    });
}

void QDFHIRAPIClientForExtension::sendWithToken(const std::shared_ptr<Request> &request,
                                                const QString &token) {
    KCError buildError;
    std::optional<KCURLRequest> built = requestSerializer()->requestWithMethod(
        request->method, request->url,
        request->method == QLatin1String("GET") && !request->query.isEmpty() ? KCParameters(request->query)
                                                                             : std::nullopt,
        &buildError);
    if (!built) {
        Answer answer;
        answer.failure = Failure{Kind::Failed, buildError.localizedDescription()};
        request->done(answer);
        return;
    }
    built->setValue(kFHIRJSON, QStringLiteral("Accept"));
    built->setValue(QStringLiteral("Bearer ") + token, QStringLiteral("Authorization"));
    for (const auto &header : request->headers)
        built->setValue(header.second, header.first);
    if (!request->body.isEmpty())
        built->setHTTPBody(request->body);

    const quint64 epoch = m_credentialEpoch;
    std::weak_ptr<QDFHIRAPIClientForExtension> weak = weak_from_this();
    KCURLSessionTaskPtr task = CVHTTPSessionManager::dataTaskWithRequest(
        *built, [weak, request, epoch](const std::optional<KCHTTPURLResponse> &response,
                                       const QVariant &object, const KCError &error) {
            auto self = weak.lock();
            Answer answer;
            answer.status = response ? response->statusCode() : 0;
            answer.body = object;
            answer.response = response.value_or(KCHTTPURLResponse());
            answer.error = error;
            if (!self) {
                request->done(answer);
                return;
            }
            if (self->m_credentialEpoch != epoch) {
                answer.failure = Failure{Kind::Failed, QStringLiteral("signed out")};
                request->done(answer);
                return;
            }
            if (answer.status == 401 && !request->renewedToken) {
                // One new token and one more try.
                request->renewedToken = true;
                self->sendWithAccessToken(request, true);
                return;
            }
            if (answer.status == 408 || answer.status == 429 || answer.status >= 500) {
                const std::optional<qint64> wait = fhirRetryAfterSeconds(
                    answer.response.valueForHTTPHeaderField(QStringLiteral("Retry-After")),
                    QDateTime::currentDateTimeUtc());
                if (wait) {
                    QMutexLocker locker(&self->m_lock);
                    self->m_notBefore =
                        QDateTime::currentDateTimeUtc().addSecs(qMin(*wait, kLongestRetryAfterSeconds));
                }
            }
            request->done(answer);
        });
    *request->task = task;
    if (task)
        task->resume();
}

// ---- filing ----

EMRFilingCancel QDFHIRAPIClientForExtension::fileDocument(const QVariantMap &record,
                                                          const QVariantMap &appointmentInfo,
                                                          const QString &fileType, bool lookFirst,
                                                          EMRFilingCallback done) {
    auto filing = std::make_shared<Filing>();
    filing->done = std::move(done);
    filing->mayBeThere = lookFirst;
    auto reportLater = [filing](Kind kind, const QString &message) {
        DispatchQueue::main()->async([filing, kind, message] { filing->report(kind, message); });
        return EMRFilingCancel();
    };
    const QVariantList entries = record.value(QStringLiteral("Upload")).toList();
    const QVariantMap entry = entries.value(0).toMap();
    const QVariant content = entry.value(QStringLiteral("content"));
    filing->entryID = text(entry.value(QStringLiteral("id")));
    if (entries.size() != 1 || content.typeId() != QMetaType::QString)
        return reportLater(Kind::Refused,
                           QStringLiteral("The document must hold exactly one upload with content."));
    if (fhirUploadIdentifier(filing->entryID).isEmpty())
        return reportLater(Kind::Refused,
                           QStringLiteral("The upload id \"%1\" is not a UUID.").arg(filing->entryID));
    const auto decoded = QByteArray::fromBase64Encoding(content.toString().toLatin1(),
                                                        QByteArray::AbortOnBase64DecodingErrors);
    if (!decoded)
        return reportLater(Kind::Refused, QStringLiteral("The content of the document is not Base64 text."));
    if (fileType == QLatin1String("image")) {
        const QImage image = QImage::fromData(*decoded);
        KCError e;
        if (!image.isNull())
            filing->pdf = emrRenderImagePDF(image, &e);
        if (filing->pdf.isEmpty())
            return reportLater(Kind::Refused, image.isNull()
                                                  ? QStringLiteral("The content of the document is not "
                                                                   "an image.")
                                                  : e.localizedDescription());
    } else {
        filing->pdf = *decoded;
        if (!filing->pdf.startsWith("%PDF-"))
            return reportLater(Kind::Refused, QStringLiteral("The content of the document is not a PDF."));
    }
    filing->note = text(record.value(QStringLiteral("encounter_note")));
    filing->created = QDateTime::currentDateTimeUtc();
    filing->listName = text(appointmentInfo.value(QStringLiteral("name"))).simplified();
    filing->dateOfBirth = fhirListDateOfBirth(text(appointmentInfo.value(QStringLiteral("dob"))));
    filing->emrPatientID = text(appointmentInfo.value(QStringLiteral("emr_patient_id"))).trimmed();
    filing->appointmentID = text(appointmentInfo.value(QStringLiteral("emr_appointment_id"))).trimmed();
    if (!filing->dateOfBirth.isValid())
        return reportLater(Kind::Refused,
                           QStringLiteral("The patient list gives no date of birth for this patient, "
                                          "so the patient cannot be checked in the EHR; not filed."));
    if (filing->emrPatientID.isEmpty() && filing->listName.isEmpty())
        return reportLater(Kind::Refused,
                           QStringLiteral("The patient has neither an EHR id nor a name; not filed."));

    std::weak_ptr<QDFHIRAPIClientForExtension> weak = weak_from_this();
    DispatchQueue::main()->async([weak, filing] {
        if (auto self = weak.lock())
            self->findPatient(filing);
        else
            filing->report(Kind::Failed, QStringLiteral("the FHIR client is gone"));
    });
    return [filing] {
        filing->cancelled = true;
        if (filing->task && *filing->task)
            (*filing->task)->cancel();
        DispatchQueue::main()->async([filing] { filing->report(Kind::Failed, QStringLiteral("cancelled")); });
    };
}

struct QDFHIRAPIClientForExtension::Search {
    std::shared_ptr<Filing> filing;
    QString step;
    QString type;
    std::function<void(const QVariantList &)> done;
    QVariantList matches;
    QSet<QString> ids;
    qint64 received = 0;
    std::optional<qint64> total;
    int pages = 0;
};

void QDFHIRAPIClientForExtension::searchAll(const std::shared_ptr<Filing> &filing, const QString &step,
                                            const QString &type, const QVariantMap &form,
                                            std::function<void(const QVariantList &)> done) {
    // POST [type]/_search with a form body: names and dates of birth stay out
    // of URLs (proxies and server logs keep those). Every page is read, so
    // that a second match on a later page is never missed.
    auto search = std::make_shared<Search>();
    search->filing = filing;
    search->step = step;
    search->type = type;
    search->done = std::move(done);
    std::weak_ptr<QDFHIRAPIClientForExtension> weak = weak_from_this();
    sendForFiling(filing, QStringLiteral("POST"), type + QStringLiteral("/_search"), {},
                  [weak, search](const Answer &a) {
                      if (auto self = weak.lock())
                          self->readSearchPage(search, a);
                      else
                          search->filing->fail(search->step, a);
                  },
                  CVQueryStringFromParameters(form).toUtf8(),
                  {{QStringLiteral("Content-Type"), QStringLiteral("application/x-www-form-urlencoded")}});
}

void QDFHIRAPIClientForExtension::readSearchPage(const std::shared_ptr<Search> &search, const Answer &a) {
    const std::shared_ptr<Filing> &filing = search->filing;
    if (a.status != 200 ||
        text(a.body.toMap().value(QStringLiteral("resourceType"))) != QLatin1String("Bundle"))
        return filing->fail(search->step, a);
    const QVariantList page = fhirBundleResources(a.body, search->type);
    search->received += page.size();
    for (const QVariant &r : page) {
        const QString id = text(r.toMap().value(QStringLiteral("id")));
        if (id.isEmpty() || !search->ids.contains(id)) {
            search->ids.insert(id);
            search->matches.append(r);
        }
    }
    if (!search->total)
        search->total = fhirBundleTotal(a.body);
    const QString next = fhirNextPageURL(a.body);
    QString problem;
    if (!next.isEmpty() && !next.startsWith(settings().baseURL.toString()))
        problem =
            QStringLiteral("the EHR's next page of results lies outside its FHIR base (%1), so a second "
                           "match cannot be ruled out")
                .arg(QUrl(next).toString(QUrl::RemoveQuery | QUrl::RemoveUserInfo));
    else if (!next.isEmpty() && ++search->pages >= kMostSearchPages)
        problem = QStringLiteral("the EHR's search answer runs to more than %1 pages").arg(kMostSearchPages);
    else if (next.isEmpty() && search->total && search->received < *search->total)
        problem = QStringLiteral("the EHR's search answer holds %1 of the %2 matches it counts and no link "
                                 "to the rest, so a second match cannot be ruled out")
                      .arg(search->received)
                      .arg(*search->total);
    if (!problem.isEmpty())
        return filing->report(Kind::Refused, QStringLiteral("%1: %2; not filed.").arg(search->step, problem));
    if (next.isEmpty())
        return search->done(search->matches);
    std::weak_ptr<QDFHIRAPIClientForExtension> weak = weak_from_this();
    sendForFiling(filing, QStringLiteral("GET"), next, {}, [weak, search](const Answer &answer) {
        if (auto self = weak.lock())
            self->readSearchPage(search, answer);
        else
            search->filing->fail(search->step, answer);
    });
}

void QDFHIRAPIClientForExtension::findPatientByName(const std::shared_ptr<Filing> &filing, qsizetype split,
                                                    const std::shared_ptr<QVariantList> &found) {
    const QString step = QStringLiteral("Finding the patient in the EHR");
    const QList<QPair<QString, QString>> splits = fhirNameSearchSplits(filing->listName);
    if (splits.isEmpty())
        return filing->report(Kind::Refused, QStringLiteral("The patient list's name \"%1\" has no first and "
                                                            "last name to search the EHR for; not filed.")
                                                 .arg(filing->listName));
    const QVariantMap form{{QStringLiteral("given"), splits[split].first},
                           {QStringLiteral("family"), splits[split].second},
                           {QStringLiteral("birthdate"), filing->dateOfBirth.toString(Qt::ISODate)},
                           {QStringLiteral("_count"), QString::number(kSearchPageSize)}};
    std::weak_ptr<QDFHIRAPIClientForExtension> weak = weak_from_this();
    searchAll(filing, step, QStringLiteral("Patient"), form,
              [weak, filing, split, found, more = split + 1 < splits.size()](const QVariantList &matches) {
                  auto self = weak.lock();
                  if (!self)
                      return filing->report(Kind::Failed, QStringLiteral("the FHIR client is gone"));
                  for (const QVariant &p : matches) {
                      const QString id = text(p.toMap().value(QStringLiteral("id")));
                      const bool known = std::any_of(found->cbegin(), found->cend(), [&](const QVariant &f) {
                          return text(f.toMap().value(QStringLiteral("id"))) == id;
                      });
                      if (!known && fhirPatientHasName(p.toMap(), filing->listName))
                          found->append(p);
                  }
                  if (more)
                      self->findPatientByName(filing, split + 1, found);
                  else
                      self->checkPatient(filing, *found, true);
              });
}

void QDFHIRAPIClientForExtension::findPatient(const std::shared_ptr<Filing> &filing) {
    const QString step = QStringLiteral("Finding the patient in the EHR");
    std::weak_ptr<QDFHIRAPIClientForExtension> weak = weak_from_this();
    if (filing->emrPatientID.isEmpty()) {
        // By given name, family name and date of birth, for each way the
        // list's name may divide into them; the Patient must then carry the
        // list's name in full.
        findPatientByName(filing, 0, std::make_shared<QVariantList>());
        return;
    }
    sendForFiling(filing, QStringLiteral("GET"), QStringLiteral("Patient/") + segment(filing->emrPatientID),
                  {}, [weak, filing, step](const Answer &a) {
                      auto self = weak.lock();
                      if (!self)
                          return filing->fail(step, a);
                      if (a.status == 200 && text(a.body.toMap().value(QStringLiteral("resourceType"))) ==
                                                 QLatin1String("Patient"))
                          return self->checkPatient(filing, {a.body}, false);
                      if (a.status != 404 && a.status != 410)
                          return filing->fail(step, a);
                      // No Patient has that id: it may be the patient's MRN, in the
                      // identifier system configured for MRNs.
                      const QString system = self->settings().identifierSystem;
                      self->searchAll(filing, step, QStringLiteral("Patient"),
                                      {{QStringLiteral("identifier"),
                                        system.isEmpty() ? filing->emrPatientID
                                                         : system + QLatin1Char('|') + filing->emrPatientID},
                                       {QStringLiteral("_count"), QString::number(kSearchPageSize)}},
                                      [weak, filing](const QVariantList &matches) {
                                          if (auto self = weak.lock())
                                              self->checkPatient(filing, matches, false);
                                      });
                  });
}

void QDFHIRAPIClientForExtension::checkPatient(const std::shared_ptr<Filing> &filing,
                                               const QVariantList &candidates, bool byName) {
    if (candidates.isEmpty()) {
        filing->report(
            Kind::Refused,
            byName ? QStringLiteral("No patient in the EHR has this patient's name and date of birth; "
                                    "not filed.")
                   : QStringLiteral("The EHR has no patient with the id or MRN %1 of the patient list; "
                                    "not filed.")
                         .arg(filing->emrPatientID));
        return;
    }
    if (candidates.size() > 1) {
        filing->report(
            Kind::Refused,
            QStringLiteral("%1 patients in the EHR match this patient (%2); the document is not filed "
                           "under any of them.")
                .arg(candidates.size())
                .arg(byName ? QStringLiteral("name and date of birth")
                            : QStringLiteral("MRN %1").arg(filing->emrPatientID)));
        return;
    }
    const QVariantMap patient = candidates.first().toMap();
    const QString id = text(patient.value(QStringLiteral("id")));
    const QString unusable = fhirPatientUnusableReason(patient);
    if (!unusable.isEmpty()) {
        filing->report(Kind::Refused, QStringLiteral("The EHR's patient %1 %2; not filed (the patient "
                                                     "list's EHR id may need updating).")
                                          .arg(id, unusable));
        return;
    }
    if (text(patient.value(QStringLiteral("birthDate"))) != filing->dateOfBirth.toString(Qt::ISODate)) {
        filing->report(Kind::Refused,
                       QStringLiteral("The date of birth of the EHR's patient %1 differs from the "
                                      "patient list's; not filed.")
                           .arg(id));
        return;
    }
    if (!byName && !filing->listName.isEmpty() && !fhirPatientHasName(patient, filing->listName)) {
        filing->report(Kind::Refused, QStringLiteral("The name of the EHR's patient %1 differs from the "
                                                     "patient list's; not filed.")
                                          .arg(id));
        return;
    }
    filing->patientID = id;
    findEncounter(filing);
}

void QDFHIRAPIClientForExtension::findEncounter(const std::shared_ptr<Filing> &filing) {
    if (filing->appointmentID.isEmpty())
        return filing->mayBeThere ? findFiledDocument(filing) : createDocument(filing);
    std::weak_ptr<QDFHIRAPIClientForExtension> weak = weak_from_this();
    sendForFiling(
        filing, QStringLiteral("GET"), QStringLiteral("Encounter"),
        {{QStringLiteral("patient"), QStringLiteral("Patient/") + filing->patientID},
         {QStringLiteral("appointment"), QStringLiteral("Appointment/") + filing->appointmentID}},
        [weak, filing](const Answer &a) {
            const QString step = QStringLiteral("Finding the visit in the EHR");
            auto self = weak.lock();
            if (!self)
                return filing->fail(step, a);
            if (a.status == 200) {
                const QVariantList encounters = fhirBundleResources(a.body, QStringLiteral("Encounter"));
                if (encounters.size() == 1) {
                    const QVariantMap e = encounters.first().toMap();
                    filing->encounter = FHIREncounter{text(e.value(QStringLiteral("id"))),
                                                      e.value(QStringLiteral("period")).toMap()};
                }
            } else if (a.failure || a.status == 0 || a.status == 408 || a.status == 429 || a.status >= 500) {
                return filing->fail(step, a);
            }
            // An EHR without this search gets the document without the visit.
            filing->mayBeThere ? self->findFiledDocument(filing) : self->createDocument(filing);
        });
}

void QDFHIRAPIClientForExtension::findFiledDocument(const std::shared_ptr<Filing> &filing) {
    std::weak_ptr<QDFHIRAPIClientForExtension> weak = weak_from_this();
    sendForFiling(filing, QStringLiteral("GET"), QStringLiteral("DocumentReference"),
                  {{QStringLiteral("identifier"), fhirIdentifierToken(filing->entryID)}},
                  [weak, filing](const Answer &a) {
                      auto self = weak.lock();
                      if (!self || a.status != 200)
                          return filing->fail(QStringLiteral("Looking for the document in the EHR"), a);
                      const QVariantList documents =
                          fhirBundleResources(a.body, QStringLiteral("DocumentReference"));
                      if (!documents.isEmpty())
                          return filing->report(Kind::Filed, QString(),
                                                text(documents.first().toMap().value(QStringLiteral("id"))));
                      filing->mayBeThere = false;
                      self->createDocument(filing);
                  });
}

void QDFHIRAPIClientForExtension::createDocument(const std::shared_ptr<Filing> &filing) {
    const Settings s = settings();
    const QVariantMap document =
        fhirDocumentReference(s.coding, {filing->entryID, filing->patientID, filing->note, filing->pdf,
                                         filing->created, filing->encounter});
    // Created once: a server that holds a document with this identifier
    // answers with it instead of creating another.
    const KCHeaderList headers{{QStringLiteral("Content-Type"), kFHIRJSON},
                               {QStringLiteral("If-None-Exist"),
                                QStringLiteral("identifier=") +
                                    CVPercentEscapedStringFromString(fhirIdentifierToken(filing->entryID))},
                               {QStringLiteral("Prefer"), QStringLiteral("return=representation")}};
    sendForFiling(
        filing, QStringLiteral("POST"), QStringLiteral("DocumentReference"), {},
        [filing](const Answer &a) {
            const QString step = QStringLiteral("Filing the document in the EHR");
            // Sent and not answered, or answered without a verdict: the
            // document may be there now.
            if (!a.failure && (a.status == 0 || a.status >= 500 || (a.status >= 200 && a.status < 300)))
                filing->mayBeThere = true;
            if (a.status == 201 || a.status == 200) {
                const QString id = fhirCreatedResourceID(
                    a.body, a.response.valueForHTTPHeaderField(QStringLiteral("Location")),
                    QStringLiteral("DocumentReference"));
                if (!id.isEmpty())
                    return filing->report(Kind::Filed, QString(), id);
            }
            if (a.status >= 200 && a.status < 300 && !a.error)
                return filing->report(Kind::Failed,
                                      QStringLiteral("%1: the EHR's answer (%2) names no DocumentReference")
                                          .arg(step, statusText(a.status)));
            filing->fail(step, a);
        },
        QJsonDocument(QJsonObject::fromVariantMap(document)).toJson(QJsonDocument::Compact), headers);
}
