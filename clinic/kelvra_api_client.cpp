#include "clinic/kelvra_api_client.h"

#include "clinic/service_url.h"
#include "clinic/today_window.h"
#include "clinic/user_configuration.h"
#include "keychain/brkeychain.h"

#include <QMutexLocker>
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

void KelvraAPIClient::loginKelvraWithUsername(const QString &username, const QString &password,
                                              ResponseCallback callback, FailureCallback failure) {
    const QVariantMap body{{QStringLiteral("data[User][username]"), username},
                           {QStringLiteral("data[User][password]"), password}};
    POST(
        LoginPath, body,
        [this, username, password, callback, failure](const KCURLSessionTaskPtr &task,
                                                      const QVariant &response) {
            if (response.typeId() != QMetaType::QVariantMap) {
                if (failure)
                    failure(notADictionaryError(task));
                return;
            }
            if (response.toMap().value(QStringLiteral("login")).toString() == QLatin1String("pass")) {
                {
                    QMutexLocker locker(&m_stateMutex);
                    m_loggedInUserUsername = username;
                }
                KCError error;
                if (!BRKeychain::setPassword(password, KelvraKeychainService, username, &error))
                    qWarning().noquote() << "could not keep the clinic password in the keychain:"
                                         << error.localizedDescription();
            }
            if (callback)
                callback(response);
        },
        [failure](const KCURLSessionTaskPtr &, const KCError &error) {
            if (failure)
                failure(error);
        });
}

void KelvraAPIClient::getUserConfigurationWithCallback(ResponseCallback callback) {
    GET(QStringLiteral("clinic_active_ios_users/updateConfig"), std::nullopt,
        whenDictionary([this, callback](const QVariant &response) {
            translateResponseObjectToPreferenceDictionary(response.toMap().value(QStringLiteral("data")));
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
    GET(QStringLiteral("users/logout"), std::nullopt, always(std::move(callback)), ignored());
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
    return CVHTTPSessionManager::dataTaskWithRequest(
        timed, [this, request, completionHandler](const std::optional<KCHTTPURLResponse> &response,
                                                  const QVariant &responseObject, const KCError &error) {
            const qint64 status = response ? response->statusCode() : 0;
            if (status != 403 || request.URL().toString().contains(LoginPath)) {
                if (completionHandler)
                    completionHandler(response, responseObject, error);
                return;
            }
            renewSessionAndRepeat(request, completionHandler);
        });
}

void KelvraAPIClient::renewSessionAndRepeat(const KCURLRequest &request,
                                            const CVURLSessionTaskCompletionHandler &handler) {
    const QString username = loggedInUserUsername();
    if (username.isEmpty())
        return;
    const std::optional<QString> password = BRKeychain::passwordForService(KelvraKeychainService, username);
    if (!password)
        return;
    loginKelvraWithUsername(
        username, *password,
        [this, request, handler](const QVariant &) {
            // The repetition bypasses this override: the request as the
            // caller made it, and no second sign-in on another 403.
            const KCURLSessionTaskPtr task = CVHTTPSessionManager::dataTaskWithRequest(request, handler);
            if (task)
                task->resume();
        },
        [](const KCError &) {});
}
