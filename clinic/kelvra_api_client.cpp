#include "clinic/kelvra_api_client.h"

#include "clinic/service_url.h"
#include "clinic/today_window.h"
#include "clinic/user_configuration.h"
#include "keychain/brkeychain.h"

#include <QMutexLocker>
#include <QNetworkCookie>
#include <QtDebug>

#include <atomic>

namespace {

const QString LoginPath = QStringLiteral("users/clinicLogin");

std::atomic<KelvraAPIClient *> sharedInstance{nullptr};
QMutex &creationMutex() {
    static QMutex mutex;
    return mutex;
}
// Guarded by creationMutex().
std::optional<QUrl> &serviceURLOverride() {
    static std::optional<QUrl> url;
    return url;
}

bool isPassAnswer(const QVariant &answer) {
    const QVariant login = answer.toMap().value(QStringLiteral("login"));
    return login.typeId() == QMetaType::QString && login.toString() == QLatin1String("pass");
}

KCError notADictionaryError(const KCURLSessionTaskPtr &task) {
    KCError error(CVResponseSerializationErrorDomain, NSURLErrorCannotDecodeContentData,
                  {{NSLocalizedDescriptionKey,
                    QStringLiteral("The clinic service sent an answer that could not be read.")},
                   {NSLocalizedFailureReasonErrorKey, QStringLiteral("The answer is not a JSON object.")}});
    if (task) {
        if (const std::optional<KCHTTPURLResponse> response = task->response())
            error.setUserInfoValue(CVFailingResponseErrorKey, QVariant::fromValue(*response));
        error.setUserInfoValue(NSURLErrorFailingURLErrorKey, task->originalRequest().URL());
    }
    return error;
}

} // namespace

KelvraAPIClient *KelvraAPIClient::sharedKelvraAPIClient() {
    if (KelvraAPIClient *client = sharedInstance.load(std::memory_order_acquire))
        return client;
    QMutexLocker locker(&creationMutex());
    if (KelvraAPIClient *client = sharedInstance.load(std::memory_order_relaxed))
        return client;
    const QUrl serviceURL = serviceURLOverride() ? *serviceURLOverride() : kcCurrentServiceURL().url;
    // Kept for the life of the process: never deleted.
    auto *client = new KelvraAPIClient(kcClinicAPIBaseURL(serviceURL));
    sharedInstance.store(client, std::memory_order_release);
    return client;
}

bool KelvraAPIClient::setServiceURLForFirstUse(const QUrl &serviceURL) {
    QMutexLocker locker(&creationMutex());
    if (sharedInstance.load(std::memory_order_relaxed))
        return false;
    if (serviceURL.isEmpty()) {
        serviceURLOverride().reset();
        return true;
    }
    const KelvraServiceURLChoice choice = kcChooseServiceURL(serviceURL.toString(), {}, {});
    if (choice.source == QLatin1String("default")) {
        for (const QString &line : choice.skipped)
            qWarning().noquote() << line;
        return false;
    }
    serviceURLOverride() = choice.url;
    return true;
}

KelvraAPIClient::KelvraAPIClient(const QUrl &apiBaseURL) : CVHTTPSessionManager(apiBaseURL) {
    setRequestSerializer(CVJSONRequestSerializer::serializer());
    setResponseSerializer(CVCompoundResponseSerializer::compoundSerializerWithResponseSerializers(
        {CVJSONResponseSerializer::serializerWithReadingOptions(NSJSONReadingMutableContainers |
                                                                NSJSONReadingFragmentsAllowed),
         CVImageResponseSerializer::serializer()}));
    setCompletionQueue(DispatchQueue::global(DispatchQueue::Priority::Default));
    setSecurityPolicy(CVSecurityPolicy::policyWithPinningMode(CVSSLPinningModeNone));

    const CVNetworkReachabilityManagerPtr reachability = CVNetworkReachabilityManager::sharedManager();
    setReachabilityManager(reachability);
    reachability->setReachabilityStatusChangeBlock(
        [this](CVNetworkReachabilityStatus status) { reachabilityStatusDidChange(status); });
    reachability->startMonitoring();
}

KelvraAPIClient::~KelvraAPIClient() = default;

QString KelvraAPIClient::loggedInUserUsername() const {
    QMutexLocker locker(&m_stateMutex);
    return m_loggedInUserUsername;
}

std::optional<QVariantMap> KelvraAPIClient::userPreferences() const {
    QMutexLocker locker(&m_stateMutex);
    return m_userPreferences;
}

void KelvraAPIClient::setUserPreferences(const QVariantMap &preferences) {
    QMutexLocker locker(&m_stateMutex);
    m_userPreferences = preferences;
}

void KelvraAPIClient::reachabilityStatusDidChange(CVNetworkReachabilityStatus status) {
    const bool reachable = status == CVNetworkReachabilityStatusReachableViaWWAN ||
                           status == CVNetworkReachabilityStatusReachableViaWiFi;
    QMutexLocker locker(&m_stateMutex);
    // The queue counts suspensions: suspend and resume only on a change, so
    // that repeated reports neither stack up holds nor release one too many.
    if (reachable == !m_holdingForReachability)
        return;
    m_holdingForReachability = !reachable;
    const DispatchQueuePtr queue = operationQueue();
    if (reachable)
        queue->resume();
    else
        queue->suspend();
}

bool KelvraAPIClient::isHoldingForReachability() const {
    QMutexLocker locker(&m_stateMutex);
    return m_holdingForReachability;
}

CVHTTPSessionManager::SuccessBlock KelvraAPIClient::whenDictionary(ResponseCallback callback) {
    return [callback = std::move(callback)](const KCURLSessionTaskPtr &, const QVariant &response) {
        if (response.typeId() == QMetaType::QVariantMap && callback)
            callback(response);
    };
}

CVHTTPSessionManager::SuccessBlock KelvraAPIClient::always(ResponseCallback callback) {
    return [callback = std::move(callback)](const KCURLSessionTaskPtr &, const QVariant &response) {
        if (callback)
            callback(response);
    };
}

CVHTTPSessionManager::FailureBlock KelvraAPIClient::ignored() {
    return [](const KCURLSessionTaskPtr &, const KCError &) {};
}

void KelvraAPIClient::postSignIn(const QString &username, const QString &password, ResponseCallback answered,
                                 FailureCallback failure) {
    const QVariantMap body{{QStringLiteral("data[User][username]"), username},
                           {QStringLiteral("data[User][password]"), password}};
    POST(
        LoginPath, body,
        [answered, failure](const KCURLSessionTaskPtr &task, const QVariant &response) {
            if (response.typeId() != QMetaType::QVariantMap) {
                if (failure)
                    failure(notADictionaryError(task));
                return;
            }
            if (answered)
                answered(response);
        },
        [failure](const KCURLSessionTaskPtr &, const KCError &error) {
            if (failure)
                failure(error);
        });
}

void KelvraAPIClient::loginKelvraWithUsername(const QString &username, const QString &password,
                                              ResponseCallback callback, FailureCallback failure) {
    postSignIn(
        username, password,
        [this, username, password, callback](const QVariant &response) {
            if (isPassAnswer(response)) {
                {
                    QMutexLocker locker(&m_stateMutex);
                    m_loggedInUserUsername = username;
                    m_silentSignInAllowed = true;
                    ++m_sessionGeneration;
                }
                KCError error;
                if (!BRKeychain::setPassword(password, KelvraKeychainService, username, &error))
                    qWarning().noquote() << "could not keep the clinic password in the keychain:"
                                         << error.localizedDescription();
            }
            if (callback)
                callback(response);
        },
        std::move(failure));
}

void KelvraAPIClient::getUserConfigurationWithCallback(ResponseCallback callback) {
    quint64 signOuts = 0;
    {
        QMutexLocker locker(&m_stateMutex);
        signOuts = m_signOuts;
    }
    GET(QStringLiteral("clinic_active_ios_users/updateConfig"), std::nullopt,
        whenDictionary([this, callback, signOuts](const QVariant &response) {
            const QVariantMap preferences =
                kcPreferencesFromConfiguration(response.toMap().value(QStringLiteral("data")));
            {
                // The configuration holds the EMR's client secret: an answer
                // that arrives after sign-out is not kept, nor handed on.
                QMutexLocker locker(&m_stateMutex);
                if (m_signOuts != signOuts)
                    return;
                m_userPreferences = preferences;
            }
            if (callback)
                callback(response);
        }),
        ignored());
}

void KelvraAPIClient::getPatientAssignmentsForToday(ResponseCallback callback) {
    const QList<QDateTime> today = generateBeginningAndEndOfToday();
    GET(kcAssignmentsPath(today.at(0), today.at(1)), std::nullopt, whenDictionary(std::move(callback)),
        ignored());
}

void KelvraAPIClient::updateDocumentation(const QVariantList &documentations, ResponseCallback callback) {
    QVariantMap envelope;
    for (qsizetype i = 0; i < documentations.size(); ++i)
        envelope.insert(QString::number(i),
                        QVariantMap{{QStringLiteral("Documentation"), documentations.at(i)}});
    POST(QStringLiteral("documentations/"), envelope, always(std::move(callback)), ignored());
}

void KelvraAPIClient::getImageWithUploadID(const QString &uploadID, qint32 width, qint32 height,
                                           ResponseCallback onSuccess) {
    // The id is one path segment: "/", "?", "#" and "%" inside it are
    // escaped so that it cannot address another resource.
    // One pass over the pattern: the escaped id holds "%" signs of its own.
    const QString path = QStringLiteral("uploads/getFile/%1/%2/%3")
                             .arg(QString::fromLatin1(QUrl::toPercentEncoding(uploadID)),
                                  QString::number(width), QString::number(height));
    GET(path, std::nullopt, always(std::move(onSuccess)), ignored());
}

void KelvraAPIClient::retrieveExamRooms(ResponseCallback callback) {
    GET(QStringLiteral("clinic_exam_rooms"), std::nullopt, whenDictionary(std::move(callback)), ignored());
}

void KelvraAPIClient::logoutKelvraWithCallback(ResponseCallback callback) {
    QList<Refused> waiting;
    {
        QMutexLocker locker(&m_stateMutex);
        m_loggedInUserUsername.clear();
        m_silentSignInAllowed = false;
        ++m_sessionGeneration;
        // The EMR's credentials ("emrData") go with the configuration; the
        // next sign-in fetches it again.
        m_userPreferences.reset();
        ++m_signOuts;
        waiting.swap(m_waitingForRenewal);
    }
    for (const Refused &refused : std::as_const(waiting))
        if (refused.handler)
            refused.handler(refused.response, refused.responseObject, refused.error);

    // The service is told with the old session cookie, which this client no
    // longer keeps: whatever becomes of the request, nothing signed in stays.
    const QUrl url = QUrl(baseURL()).resolved(QUrl(QStringLiteral("users/logout")));
    QStringList sessionCookies;
    for (const QNetworkCookie &cookie : cookieStorage()->cookiesForURL(url))
        sessionCookies.append(QString::fromLatin1(cookie.toRawForm(QNetworkCookie::NameAndValueOnly)));
    cookieStorage()->clear();

    std::optional<KCURLRequest> request =
        requestSerializer()->requestWithMethod(QStringLiteral("GET"), url.toString(), std::nullopt);
    if (!request) {
        if (callback)
            DispatchQueue::global(DispatchQueue::Priority::Default)->async([callback] {
                callback(QVariant());
            });
        return;
    }
    request->setTimeoutInterval(kRequestTimeoutSeconds);
    request->setHTTPShouldHandleCookies(false);
    if (!sessionCookies.isEmpty())
        request->setValue(sessionCookies.join(QStringLiteral("; ")), QStringLiteral("Cookie"));
    const KCURLSessionTaskPtr task = CVHTTPSessionManager::dataTaskWithRequest(
        *request, [callback](const std::optional<KCHTTPURLResponse> &, const QVariant &responseObject,
                             const KCError &error) {
            if (callback)
                callback(error ? QVariant() : responseObject);
        });
    if (task)
        task->resume();
}

void KelvraAPIClient::setSilentSignInFailedHandler(std::function<void()> handler) {
    QMutexLocker locker(&m_stateMutex);
    m_silentSignInFailed = std::move(handler);
}

bool KelvraAPIClient::silentSignInAllowed() const {
    QMutexLocker locker(&m_stateMutex);
    return m_silentSignInAllowed;
}

QList<QDateTime> KelvraAPIClient::generateBeginningAndEndOfToday() {
    return kcTodayBounds();
}

void KelvraAPIClient::translateResponseObjectToPreferenceDictionary(const QVariant &value) {
    setUserPreferences(kcPreferencesFromConfiguration(value));
}

QVariant KelvraAPIClient::deepMutableCopy(const QVariant &object) {
    return kcDeepMutableCopy(object);
}

KCURLSessionTaskPtr
KelvraAPIClient::dataTaskWithRequest(const KCURLRequest &request,
                                     CVURLSessionTaskCompletionHandler completionHandler) {
    KCURLRequest timed = request;
    timed.setTimeoutInterval(kRequestTimeoutSeconds);
    quint64 generation = 0;
    {
        QMutexLocker locker(&m_stateMutex);
        generation = m_sessionGeneration;
    }
    return CVHTTPSessionManager::dataTaskWithRequest(
        timed,
        [this, request, completionHandler, generation](const std::optional<KCHTTPURLResponse> &response,
                                                       const QVariant &responseObject, const KCError &error) {
            const qint64 status = response ? response->statusCode() : 0;
            if (status != 403 || request.URL().toString().contains(LoginPath)) {
                if (completionHandler)
                    completionHandler(response, responseObject, error);
                return;
            }
            requestWasRefused({request, completionHandler, response, responseObject, error}, generation);
        });
}

void KelvraAPIClient::requestWasRefused(Refused refused, quint64 generation) {
    QString username;
    {
        QMutexLocker locker(&m_stateMutex);
        const bool allowed = m_silentSignInAllowed && !m_loggedInUserUsername.isEmpty();
        if (allowed && generation != m_sessionGeneration && !m_renewing) {
            // Refused under a session that has been replaced since: the
            // current one may well accept it.
            locker.unlock();
            const KCURLSessionTaskPtr task =
                CVHTTPSessionManager::dataTaskWithRequest(refused.request, refused.handler);
            if (task)
                task->resume();
            return;
        }
        if (allowed) {
            m_waitingForRenewal.append(refused);
            if (m_renewing)
                return; // the sign-in under way answers for this one too
            m_renewing = true;
            username = m_loggedInUserUsername;
        }
    }
    if (username.isEmpty()) {
        if (refused.handler)
            refused.handler(refused.response, refused.responseObject, refused.error);
        return;
    }
    const std::optional<QString> password = BRKeychain::passwordForService(KelvraKeychainService, username);
    if (!password) {
        finishRenewal(false);
        return;
    }
    postSignIn(
        username, *password, [this](const QVariant &answer) { finishRenewal(isPassAnswer(answer)); },
        [this](const KCError &) { finishRenewal(false); });
}

void KelvraAPIClient::finishRenewal(bool renewed) {
    QList<Refused> waiting;
    std::function<void()> failed;
    bool signedOut = false;
    {
        QMutexLocker locker(&m_stateMutex);
        if (!m_renewing)
            return;
        m_renewing = false;
        waiting.swap(m_waitingForRenewal);
        signedOut = !m_silentSignInAllowed;
        if (signedOut) {
            renewed = false;
        } else if (renewed) {
            ++m_sessionGeneration;
        } else {
            // Never the stored password again until the user signs in.
            m_silentSignInAllowed = false;
            failed = m_silentSignInFailed;
        }
    }
    if (signedOut)
        cookieStorage()->clear(); // a session the sign-in may have opened meanwhile
    for (const Refused &refused : std::as_const(waiting)) {
        if (renewed) {
            // The repetition bypasses this override: the request as the
            // caller made it, and no second sign-in on another 403.
            const KCURLSessionTaskPtr task =
                CVHTTPSessionManager::dataTaskWithRequest(refused.request, refused.handler);
            if (task)
                task->resume();
        } else if (refused.handler) {
            refused.handler(refused.response, refused.responseObject, refused.error);
        }
    }
    if (failed)
        failed();
}
