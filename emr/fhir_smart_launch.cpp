#include "emr/fhir_smart_launch.h"

#include "emr/fhir_id_token.h"
#include "emr/fhir_loopback_receiver.h"
#include "emr/fhir_resources.h"
#include "emr/fhir_signing_key.h"
#include "http/http_session_manager.h"
#include "http/secure_url.h"
#include "http/security_policy.h"
#include "platform/browser/browser_opener.h"
#include "platform/core/dispatch.h"
#include "platform/secretstore/secret_store.h"

#include <QCryptographicHash>
#include <QJsonDocument>
#include <QJsonObject>
#include <QLoggingCategory>
#include <QRandomGenerator>
#include <QTimer>
#include <QUrlQuery>

#include <utility>

Q_LOGGING_CATEGORY(lcSmart, "kelvra.emr.fhir.signin")

namespace {

QString text(const QVariant &v) {
    return v.typeId() == QMetaType::QString ? v.toString() : QString();
}

// `bytes` random bytes as base64url: 32 give a 43-character PKCE verifier.
QString randomText(int bytes) {
    QByteArray random(bytes, '\0');
    QRandomGenerator::system()->fillRange(reinterpret_cast<quint32 *>(random.data()), bytes / 4);
    return QString::fromLatin1(fhirBase64URL(random));
}

QString statusWords(qint64 status) {
    return QStringLiteral("HTTP %1").arg(status);
}

// The OAuth error of an answer, as one line.
QString oauthError(const QVariantMap &answer) {
    const QString error = text(answer.value(QStringLiteral("error")));
    const QString description = text(answer.value(QStringLiteral("error_description")));
    return description.isEmpty() ? error : error + QStringLiteral(": ") + description;
}

} // namespace

struct FHIRSmartLaunch::Endpoints {
    QString authorize;
    QString token;
    QString revocation; // empty: the EHR offers none
    QString issuer;
    QString jwksURI;
    bool v1Only = false;
};

struct FHIRSmartLaunch::Attempt {
    Config config;
    Callback done;
    std::shared_ptr<Endpoints> endpoints;
    std::unique_ptr<FHIRLoopbackReceiver> receiver;
    QString redirectURI;
    QString state;
    QString nonce;
    QString verifier;
    bool v1Scopes = false;
    bool finished = false;
    std::unique_ptr<QTimer> timeout;
};

FHIRSmartLaunch::FHIRSmartLaunch(std::shared_ptr<KCBrowserOpener> browser,
                                 std::shared_ptr<KCSecretStore> keyring)
    : m_browser(std::move(browser)), m_keyring(std::move(keyring)),
      m_http(std::make_shared<CVHTTPSessionManager>(QUrl())) {
    m_http->setSecurityPolicy(CVSecurityPolicy::defaultPolicy());
    auto json = CVJSONResponseSerializer::serializerWithReadingOptions(NSJSONReadingFragmentsAllowed);
    json->acceptableContentTypes->insert(QStringLiteral("application/jwk-set+json"));
    json->acceptableContentTypes->insert(QStringLiteral("application/fhir+json"));
    m_http->setResponseSerializer(CVCompoundResponseSerializer::compoundSerializerWithResponseSerializers(
        {json, CVHTTPResponseSerializer::serializer()}));
}

FHIRSmartLaunch::~FHIRSmartLaunch() {
    if (m_attempt)
        m_attempt->finished = true;
}

QString FHIRSmartLaunch::keyringAccount(const Config &config) {
    return QStringLiteral("%1 %2 %3").arg(config.clinicUser, config.clientID, config.fhirBase.toString());
}

// ---- requests ----

void FHIRSmartLaunch::request(const QString &method, const QString &url, const QVariantMap &form,
                              JSONCallback done) {
    const QString insecure =
        kcInsecureURLProblem(QUrl(url), QStringLiteral("The EHR's sign-in address %1").arg(url),
                             QStringLiteral("the EHR sign-in"));
    if (!insecure.isEmpty()) {
        DispatchQueue::main()->async([done, insecure] { done(0, {}, insecure); });
        return;
    }
    KCError error;
    std::optional<KCURLRequest> built = m_http->requestSerializer()->requestWithMethod(
        method, url, form.isEmpty() ? KCParameters(std::nullopt) : KCParameters(form), &error);
    if (!built) {
        const QString problem = error.localizedDescription();
        DispatchQueue::main()->async([done, problem] { done(0, {}, problem); });
        return;
    }
    built->setValue(QStringLiteral("application/json"), QStringLiteral("Accept"));
    built->setTimeoutInterval(30);
    KCURLSessionTaskPtr task =
        m_http->dataTaskWithRequest(*built, [done, url](const std::optional<KCHTTPURLResponse> &response,
                                                        const QVariant &object, const KCError &error) {
            const qint64 status = response ? response->statusCode() : 0;
            QVariantMap answer = object.toMap();
            if (answer.isEmpty() && object.typeId() == QMetaType::QByteArray)
                answer = QJsonDocument::fromJson(object.toByteArray()).object().toVariantMap();
            QString problem;
            if (!status)
                problem = QStringLiteral("%1 did not answer (%2)").arg(url, error.localizedDescription());
            else if (status < 200 || status >= 300)
                problem = QStringLiteral("%1 answered %2").arg(url, statusWords(status));
            done(status, answer, problem);
        });
    if (task)
        task->resume();
}

void FHIRSmartLaunch::discover(const QUrl &fhirBase, EndpointsCallback done) {
    if (auto known = m_endpoints.value(fhirBase.toString())) {
        DispatchQueue::main()->async([done, known] { done(known, QString()); });
        return;
    }
    const QString where = fhirBase.toString() + QStringLiteral(".well-known/smart-configuration");
    std::weak_ptr<FHIRSmartLaunch> weak = weak_from_this();
    request(
        QStringLiteral("GET"), where, {},
        [weak, done, where, fhirBase](qint64, const QVariantMap &c, const QString &problem) {
            auto self = weak.lock();
            if (!self)
                return;
            if (!problem.isEmpty())
                return done(nullptr,
                            QStringLiteral("The EHR's SMART configuration cannot be read: %1").arg(problem));
            auto e = std::make_shared<Endpoints>();
            e->authorize = text(c.value(QStringLiteral("authorization_endpoint")));
            e->token = text(c.value(QStringLiteral("token_endpoint")));
            e->revocation = text(c.value(QStringLiteral("revocation_endpoint")));
            e->issuer = text(c.value(QStringLiteral("issuer")));
            e->jwksURI = text(c.value(QStringLiteral("jwks_uri")));
            const QStringList capabilities = c.value(QStringLiteral("capabilities")).toStringList();
            e->v1Only = capabilities.contains(QStringLiteral("permission-v1")) &&
                        !capabilities.contains(QStringLiteral("permission-v2"));
            if (e->authorize.isEmpty() || e->token.isEmpty())
                return done(nullptr,
                            QStringLiteral("The EHR's SMART configuration (%1) names no authorization and "
                                           "token endpoints: it offers no sign-in for apps.")
                                .arg(where));
            if (!c.value(QStringLiteral("code_challenge_methods_supported"))
                     .toStringList()
                     .contains(QStringLiteral("S256")))
                return done(nullptr,
                            QStringLiteral("The EHR's SMART configuration (%1) does not offer PKCE with "
                                           "S256 (code_challenge_methods_supported); KelvraCapture does not "
                                           "sign in without it.")
                                .arg(where));
            if (e->issuer.isEmpty())
                return done(nullptr,
                            QStringLiteral("The EHR's SMART configuration (%1) names no issuer, so who "
                                           "signs in cannot be checked.")
                                .arg(where));
            if (!e->jwksURI.isEmpty()) {
                self->m_endpoints.insert(fhirBase.toString(), e);
                return done(e, QString());
            }
            // OpenID Connect discovery of the issuer names its keys.
            QString issuer = e->issuer;
            if (issuer.endsWith(QLatin1Char('/')))
                issuer.chop(1);
            self->request(
                QStringLiteral("GET"), issuer + QStringLiteral("/.well-known/openid-configuration"), {},
                [weak, done, e, fhirBase](qint64, const QVariantMap &o, const QString &problem) {
                    auto self = weak.lock();
                    if (!self)
                        return;
                    e->jwksURI = text(o.value(QStringLiteral("jwks_uri")));
                    if (e->jwksURI.isEmpty())
                        return done(nullptr,
                                    QStringLiteral("The EHR's sign-in server names no keys "
                                                   "(jwks_uri)%1.")
                                        .arg(problem.isEmpty() ? QString() : QStringLiteral(": ") + problem));
                    self->m_endpoints.insert(fhirBase.toString(), e);
                    done(e, QString());
                });
        });
}

// ---- the browser sign-in ----

void FHIRSmartLaunch::signIn(const Config &config, Callback done) {
    cancel();
    auto attempt = std::make_shared<Attempt>();
    attempt->config = config;
    attempt->done = std::move(done);
    m_attempt = attempt;
    if (config.fhirBase.isEmpty() || config.clientID.isEmpty())
        return finish(attempt, {Result::Refused,
                                QStringLiteral("The EHR sign-in is not configured (base_url, client_id)."),
                                {}});
    attempt->timeout = std::make_unique<QTimer>();
    attempt->timeout->setSingleShot(true);
    std::weak_ptr<FHIRSmartLaunch> weak = weak_from_this();
    // The attempt owns its timer and receiver: their handlers hold it weakly.
    std::weak_ptr<Attempt> weakAttempt = attempt;
    QObject::connect(attempt->timeout.get(), &QTimer::timeout, [weak, weakAttempt] {
        auto self = weak.lock();
        if (auto attempt = weakAttempt.lock(); self && attempt)
            self->finish(attempt, {Result::Failed,
                                   QStringLiteral("The EHR sign-in in the browser was not finished in time."),
                                   {}});
    });
    attempt->timeout->start(m_signInTimeoutMs);
    discover(config.fhirBase,
             [weak, attempt](const std::shared_ptr<Endpoints> &endpoints, const QString &problem) {
                 auto self = weak.lock();
                 if (!self || attempt->finished)
                     return;
                 if (!endpoints)
                     return self->finish(attempt, {Result::Failed, problem, {}});
                 attempt->endpoints = endpoints;
                 self->authorize(attempt, endpoints->v1Only);
             });
}

void FHIRSmartLaunch::authorize(const std::shared_ptr<Attempt> &attempt, bool v1Scopes) {
    attempt->v1Scopes = v1Scopes;
    attempt->receiver = std::make_unique<FHIRLoopbackReceiver>();
    QString problem;
    if (!attempt->receiver->listen(&problem))
        return finish(attempt, {Result::Failed, problem, {}});
    attempt->redirectURI = attempt->receiver->redirectURI().toString();
    attempt->state = randomText(16);
    attempt->nonce = randomText(16);
    attempt->verifier = randomText(32);
    const QByteArray challenge =
        fhirBase64URL(QCryptographicHash::hash(attempt->verifier.toLatin1(), QCryptographicHash::Sha256));
    std::weak_ptr<FHIRSmartLaunch> weak = weak_from_this();
    std::weak_ptr<Attempt> weakAttempt = attempt;
    QObject::connect(attempt->receiver.get(), &FHIRLoopbackReceiver::received,
                     [weak, weakAttempt](const QUrl &callback) {
                         auto self = weak.lock();
                         if (auto attempt = weakAttempt.lock(); self && attempt)
                             self->callbackArrived(attempt, callback);
                     });

    QUrl page(attempt->endpoints->authorize);
    QUrlQuery query(page);
    const QList<QPair<QString, QString>> items{
        {QStringLiteral("response_type"), QStringLiteral("code")},
        {QStringLiteral("client_id"), attempt->config.clientID},
        {QStringLiteral("redirect_uri"), attempt->redirectURI},
        {QStringLiteral("scope"), v1Scopes ? FHIRUserScopesV1 : FHIRUserScopesV2},
        {QStringLiteral("state"), attempt->state},
        {QStringLiteral("nonce"), attempt->nonce},
        {QStringLiteral("aud"),
         attempt->config.audience.isEmpty() ? attempt->config.fhirBase.toString() : attempt->config.audience},
        {QStringLiteral("code_challenge"), QString::fromLatin1(challenge)},
        {QStringLiteral("code_challenge_method"), QStringLiteral("S256")}};
    for (const auto &item : items)
        query.addQueryItem(item.first, QString::fromLatin1(QUrl::toPercentEncoding(item.second)));
    page.setQuery(query);
    const QString insecure = kcInsecureURLProblem(page, QStringLiteral("The EHR's sign-in page"),
                                                  QStringLiteral("the EHR sign-in"));
    if (!insecure.isEmpty())
        return finish(attempt, {Result::Refused, insecure, {}});
    m_browser->open(page, [weak, attempt](const QString &problem) {
        auto self = weak.lock();
        if (self && !problem.isEmpty())
            self->finish(attempt,
                         {Result::Failed,
                          QStringLiteral("No browser could be opened for the EHR sign-in: %1").arg(problem),
                          {}});
    });
}

void FHIRSmartLaunch::callbackArrived(const std::shared_ptr<Attempt> &attempt, const QUrl &callback) {
    if (attempt->finished)
        return;
    const QUrlQuery query(callback);
    auto item = [&](const char *name) {
        return query.queryItemValue(QLatin1String(name), QUrl::FullyDecoded);
    };
    // Only the answer to this sign-in counts: another page may send the
    // browser here too.
    if (item("state") != attempt->state)
        return finish(attempt,
                      {Result::Refused,
                       QStringLiteral("The answer that reached KelvraCapture does not belong to this "
                                      "sign-in (its state differs); not signed in."),
                       {}});
    const QString iss = item("iss");
    if (!iss.isEmpty() && iss != attempt->endpoints->issuer)
        return finish(
            attempt,
            {Result::Refused,
             QStringLiteral("The answer came from another sign-in server (%1); not signed in.").arg(iss),
             {}});
    const QString error = item("error");
    if (!error.isEmpty()) {
        if (error == QLatin1String("invalid_scope") && !attempt->v1Scopes) {
            // An EHR that knows SMART v1 scopes only.
            attempt->receiver.reset();
            return authorize(attempt, true);
        }
        const QString description = item("error_description");
        return finish(
            attempt, {error == QLatin1String("access_denied") ? Result::SignInNeeded : Result::Refused,
                      QStringLiteral("The EHR did not sign you in (%1%2).")
                          .arg(error, description.isEmpty() ? QString() : QStringLiteral(": ") + description),
                      {}});
    }
    const QString code = item("code");
    if (code.isEmpty())
        return finish(
            attempt,
            {Result::Refused, QStringLiteral("The EHR's answer carries no code; not signed in."), {}});
    exchangeCode(attempt, code);
}

void FHIRSmartLaunch::exchangeCode(const std::shared_ptr<Attempt> &attempt, const QString &code) {
    std::weak_ptr<FHIRSmartLaunch> weak = weak_from_this();
    request(QStringLiteral("POST"), attempt->endpoints->token,
            {{QStringLiteral("grant_type"), QStringLiteral("authorization_code")},
             {QStringLiteral("code"), code},
             {QStringLiteral("redirect_uri"), attempt->redirectURI},
             {QStringLiteral("client_id"), attempt->config.clientID},
             {QStringLiteral("code_verifier"), attempt->verifier}},
            [weak, attempt](qint64 status, const QVariantMap &answer, const QString &problem) {
                auto self = weak.lock();
                if (!self || attempt->finished)
                    return;
                if (!problem.isEmpty()) {
                    const QString why = oauthError(answer);
                    return self->finish(
                        attempt,
                        {status >= 400 && status < 500 ? Result::Refused : Result::Failed,
                         QStringLiteral("The EHR did not complete the sign-in: %1%2")
                             .arg(problem, why.isEmpty() ? QString() : QStringLiteral(" (") + why + ')'),
                         {}});
                }
                self->checkIDToken(attempt, answer);
            });
}

void FHIRSmartLaunch::checkIDToken(const std::shared_ptr<Attempt> &attempt, const QVariantMap &tokens) {
    const QString accessToken = text(tokens.value(QStringLiteral("access_token")));
    const QString type = text(tokens.value(QStringLiteral("token_type")));
    const QByteArray idToken = text(tokens.value(QStringLiteral("id_token"))).toLatin1();
    if (accessToken.isEmpty() || type.compare(QLatin1String("bearer"), Qt::CaseInsensitive) != 0)
        return finish(
            attempt,
            {Result::Failed, QStringLiteral("The EHR's token answer holds no bearer access token."), {}});
    if (idToken.isEmpty())
        return finish(attempt,
                      {Result::Refused,
                       QStringLiteral("The EHR's token answer holds no id token, so who signed in is not "
                                      "known (the openid and fhirUser scopes were asked for)."),
                       {}});
    std::weak_ptr<FHIRSmartLaunch> weak = weak_from_this();
    request(
        QStringLiteral("GET"), attempt->endpoints->jwksURI, {},
        [weak, attempt, tokens, accessToken, idToken](qint64, const QVariantMap &jwks,
                                                      const QString &problem) {
            auto self = weak.lock();
            if (!self || attempt->finished)
                return;
            if (!problem.isEmpty())
                return self->finish(
                    attempt, {Result::Failed,
                              QStringLiteral("The sign-in server's keys cannot be read: %1").arg(problem),
                              {}});
            QString why;
            const std::optional<QVariantMap> claims =
                fhirVerifiedIDToken(idToken, jwks,
                                    {attempt->endpoints->issuer, attempt->config.clientID, attempt->nonce,
                                     QDateTime::currentDateTimeUtc()},
                                    &why);
            if (!claims)
                return self->finish(attempt, {Result::Refused, why + QStringLiteral("; not signed in."), {}});
            const QString fhirUser = text(claims->value(QStringLiteral("fhirUser")));
            const QString type = QUrl(fhirUser).path().section(QLatin1Char('/'), -2, -2);
            if (type != QLatin1String("Practitioner") && type != QLatin1String("PractitionerRole"))
                return self->finish(
                    attempt, {Result::Refused,
                              fhirUser.isEmpty()
                                  ? QStringLiteral("The EHR did not say who signed in (no fhirUser in the id "
                                                   "token); documents need their author. Not signed in.")
                                  : QStringLiteral("The EHR account %1 is no clinician's (a Practitioner or "
                                                   "PractitionerRole is needed to author documents); not "
                                                   "signed in.")
                                        .arg(fhirUser),
                              {}});
            Session session;
            session.accessToken = accessToken;
            session.expiresIn = tokens.value(QStringLiteral("expires_in")).toLongLong();
            session.scope = text(tokens.value(QStringLiteral("scope")));
            session.fhirUser = fhirUser;
            const QString refreshToken = text(tokens.value(QStringLiteral("refresh_token")));
            if (refreshToken.isEmpty()) {
                qCWarning(lcSmart) << "the EHR granted no refresh token: the sign-in lasts as long as the "
                                      "access token";
                return self->finish(attempt, {Result::SignedIn, QString(), session});
            }
            self->keep(attempt->config,
                       {{QStringLiteral("refresh_token"), refreshToken},
                        {QStringLiteral("fhirUser"), fhirUser},
                        {QStringLiteral("scope"), session.scope}},
                       [weak, attempt, session](const QString &problem) mutable {
                           auto self = weak.lock();
                           if (!self)
                               return;
                           session.refreshTokenKept = problem.isEmpty();
                           if (!problem.isEmpty())
                               qCWarning(lcSmart).noquote()
                                   << "the EHR sign-in is not kept in the keyring:" << problem;
                           self->finish(attempt, {Result::SignedIn, QString(), session});
                       });
        });
}

void FHIRSmartLaunch::finish(const std::shared_ptr<Attempt> &attempt, const Result &result) {
    if (attempt->finished)
        return;
    attempt->finished = true;
    if (attempt->timeout)
        attempt->timeout->stop();
    if (attempt->receiver) {
        attempt->receiver->close();
        // Deleted later: this may run inside its signal.
        attempt->receiver.release()->deleteLater();
    }
    if (m_attempt == attempt)
        m_attempt.reset();
    const Callback done = attempt->done;
    DispatchQueue::main()->async([done, result] {
        if (done)
            done(result);
    });
}

void FHIRSmartLaunch::cancel() {
    if (auto attempt = m_attempt)
        finish(attempt,
               {Result::Failed, QStringLiteral("The EHR sign-in was ended before it was finished."), {}});
}

// ---- the kept sign-in ----

void FHIRSmartLaunch::keep(const Config &config, const QVariantMap &kept,
                           std::function<void(const QString &problem)> done) {
    QByteArray secret = QJsonDocument(QJsonObject::fromVariantMap(kept)).toJson(QJsonDocument::Compact);
    const KCSecretAttributes attributes{FHIRSignInKeyringService, keyringAccount(config), std::nullopt};
    DispatchQueue::global()->async([keyring = m_keyring, attributes, secret, done]() mutable {
        const KCSecretResult r =
            keyring ? keyring->add(attributes, QStringLiteral("KelvraCapture EHR sign-in"), secret)
                    : KCSecretResult::failure(KCSecretStatus::NoService);
        secret.fill('\0');
        const QString problem = r.ok() ? QString() : kcSecretStatusMessage(int(r.status));
        DispatchQueue::main()->async([done, problem] { done(problem); });
    });
}

void FHIRSmartLaunch::renew(const Config &config, Callback done) {
    const KCSecretAttributes attributes{FHIRSignInKeyringService, keyringAccount(config), std::nullopt};
    std::weak_ptr<FHIRSmartLaunch> weak = weak_from_this();
    DispatchQueue::global()->async([weak, keyring = m_keyring, attributes, config, done] {
        QByteArray secret;
        const KCSecretResult r =
            keyring ? keyring->find(attributes, &secret) : KCSecretResult::failure(KCSecretStatus::NoService);
        const QVariantMap kept = QJsonDocument::fromJson(secret).object().toVariantMap();
        secret.fill('\0');
        DispatchQueue::main()->async([weak, r, kept, config, done] {
            auto self = weak.lock();
            if (!self)
                return;
            const QString refreshToken = text(kept.value(QStringLiteral("refresh_token")));
            if (refreshToken.isEmpty()) {
                const bool absent = r.status == KCSecretStatus::NotFound || r.ok();
                return done(
                    {Result::SignInNeeded,
                     absent ? QStringLiteral("Sign in to the EHR: no EHR sign-in is kept on this computer.")
                            : QStringLiteral("Sign in to the EHR: the keyring did not give the kept EHR "
                                             "sign-in (%1).")
                                  .arg(kcSecretStatusMessage(int(r.status))),
                     {}});
            }
            self->discover(config.fhirBase, [weak, kept, refreshToken, config,
                                             done](const std::shared_ptr<Endpoints> &endpoints,
                                                   const QString &problem) {
                auto self = weak.lock();
                if (!self)
                    return;
                if (!endpoints)
                    return done({Result::Failed, problem, {}});
                self->request(
                    QStringLiteral("POST"), endpoints->token,
                    {{QStringLiteral("grant_type"), QStringLiteral("refresh_token")},
                     {QStringLiteral("refresh_token"), refreshToken},
                     {QStringLiteral("client_id"), config.clientID}},
                    [weak, kept, config, done](qint64 status, const QVariantMap &answer,
                                               const QString &problem) {
                        auto self = weak.lock();
                        if (!self)
                            return;
                        const QString who = text(kept.value(QStringLiteral("fhirUser")));
                        if (status == 400 || status == 401) {
                            // The EHR no longer takes it (revoked, expired,
                            // the account changed): forgotten, and the
                            // clinician signs in again.
                            const KCSecretAttributes attributes{FHIRSignInKeyringService,
                                                                keyringAccount(config), std::nullopt};
                            DispatchQueue::global()->async([keyring = self->m_keyring, attributes] {
                                if (keyring)
                                    keyring->remove(attributes);
                            });
                            return done(
                                {Result::SignInNeeded,
                                 QStringLiteral("Sign in to the EHR again: it no longer accepts the sign-in "
                                                "of %1 (%2).")
                                     .arg(who, oauthError(answer)),
                                 {}});
                        }
                        const QString accessToken = text(answer.value(QStringLiteral("access_token")));
                        if (!problem.isEmpty() || accessToken.isEmpty())
                            return done(
                                {Result::Failed,
                                 problem.isEmpty()
                                     ? QStringLiteral("The EHR's token answer holds no access token.")
                                     : QStringLiteral("The EHR sign-in could not be renewed: ") + problem,
                                 {}});
                        Session session;
                        session.accessToken = accessToken;
                        session.expiresIn = answer.value(QStringLiteral("expires_in")).toLongLong();
                        session.scope = text(answer.value(QStringLiteral("scope")));
                        if (session.scope.isEmpty())
                            session.scope = text(kept.value(QStringLiteral("scope")));
                        session.fhirUser = who;
                        session.refreshTokenKept = true;
                        const QString rotated = text(answer.value(QStringLiteral("refresh_token")));
                        if (rotated.isEmpty())
                            return done({Result::SignedIn, QString(), session});
                        // A new refresh token replaces the used one.
                        QVariantMap next = kept;
                        next.insert(QStringLiteral("refresh_token"), rotated);
                        self->keep(config, next, [done, session](const QString &problem) mutable {
                            session.refreshTokenKept = problem.isEmpty();
                            done({Result::SignedIn, QString(), session});
                        });
                    });
            });
        });
    });
}

void FHIRSmartLaunch::signOut(const Config &config, const QString &accessToken, std::function<void()> done) {
    cancel();
    const KCSecretAttributes attributes{FHIRSignInKeyringService, keyringAccount(config), std::nullopt};
    std::weak_ptr<FHIRSmartLaunch> weak = weak_from_this();
    // Runs `done` once, when the last revocation has been answered.
    auto finished = std::make_shared<std::function<void()>>(std::move(done));
    auto finish = [finished] {
        if (*finished)
            DispatchQueue::main()->async(std::exchange(*finished, {}));
    };
    DispatchQueue::global()->async([weak, keyring = m_keyring, attributes, config, accessToken, finish] {
        QByteArray secret;
        if (keyring && keyring->find(attributes, &secret).ok())
            keyring->remove(attributes);
        const QString refreshToken = text(
            QJsonDocument::fromJson(secret).object().toVariantMap().value(QStringLiteral("refresh_token")));
        secret.fill('\0');
        if (refreshToken.isEmpty() && accessToken.isEmpty())
            return finish();
        DispatchQueue::main()->async([weak, config, accessToken, refreshToken, finish] {
            auto self = weak.lock();
            if (!self)
                return finish();
            self->discover(
                config.fhirBase, [weak, config, accessToken, refreshToken,
                                  finish](const std::shared_ptr<Endpoints> &endpoints, const QString &) {
                    auto self = weak.lock();
                    if (!self || !endpoints || endpoints->revocation.isEmpty())
                        return finish();
                    // Best effort: the tokens are forgotten here whatever the EHR answers.
                    QList<QPair<QString, QString>> tokens;
                    for (const auto &t : {qMakePair(refreshToken, QStringLiteral("refresh_token")),
                                          qMakePair(accessToken, QStringLiteral("access_token"))})
                        if (!t.first.isEmpty())
                            tokens.append(t);
                    auto left = std::make_shared<int>(int(tokens.size()));
                    for (const auto &t : tokens)
                        self->request(QStringLiteral("POST"), endpoints->revocation,
                                      {{QStringLiteral("token"), t.first},
                                       {QStringLiteral("token_type_hint"), t.second},
                                       {QStringLiteral("client_id"), config.clientID}},
                                      [hint = t.second, left, finish](qint64, const QVariantMap &,
                                                                      const QString &problem) {
                                          if (!problem.isEmpty())
                                              qCWarning(lcSmart).noquote()
                                                  << "revoking the EHR" << hint << "failed:" << problem;
                                          if (--*left == 0)
                                              finish();
                                      });
                });
        });
    });
}
