#include "http/http_session_manager.h"

#include <QMutexLocker>

CVHTTPSessionManager::CVHTTPSessionManager(const QUrl &baseURL,
                                           const std::optional<KCURLSessionConfiguration> &configuration)
    : CVURLSessionManager(configuration) {
    QMutexLocker l(&m_mutex);
    m_baseURL = normalizedBaseURL(baseURL);
    m_requestSerializer = CVHTTPRequestSerializer::serializer();
}

CVHTTPSessionManager::~CVHTTPSessionManager() = default;

std::shared_ptr<CVHTTPSessionManager> CVHTTPSessionManager::manager() {
    return std::make_shared<CVHTTPSessionManager>();
}

void CVHTTPSessionManager::initWithBaseURL(const QUrl &baseURL,
                                           const std::optional<KCURLSessionConfiguration> &configuration) {
    initWithSessionConfiguration(configuration);
    QMutexLocker l(&m_mutex);
    m_baseURL = normalizedBaseURL(baseURL);
    m_requestSerializer = CVHTTPRequestSerializer::serializer();
}

QUrl CVHTTPSessionManager::normalizedBaseURL(const QUrl &url) {
    if (url.isEmpty())
        return url;
    QUrl out = url;
    if (!out.path().isEmpty() && !out.toString(QUrl::FullyEncoded).endsWith(QLatin1Char('/')))
        out.setPath(out.path(QUrl::FullyEncoded) + QLatin1Char('/'), QUrl::TolerantMode);
    return out;
}

QUrl CVHTTPSessionManager::baseURL() const {
    QMutexLocker l(&m_mutex);
    return m_baseURL;
}

std::shared_ptr<CVHTTPRequestSerializer> CVHTTPSessionManager::requestSerializer() const {
    QMutexLocker l(&m_mutex);
    return m_requestSerializer;
}

void CVHTTPSessionManager::setRequestSerializer(std::shared_ptr<CVHTTPRequestSerializer> serializer) {
    QMutexLocker l(&m_mutex);
    m_requestSerializer = std::move(serializer);
}

QString CVHTTPSessionManager::absoluteURLString(const QString &URLString) const {
    const QUrl base = baseURL();
    const QUrl relative(URLString);
    if (base.isEmpty())
        return relative.toString(QUrl::FullyEncoded);
    return base.resolved(relative).toString(QUrl::FullyEncoded);
}

KCURLSessionTaskPtr CVHTTPSessionManager::dataTaskWithHTTPMethod(const QString &method,
                                                                 const QString &URLString,
                                                                 const KCParameters &parameters,
                                                                 SuccessBlock success, FailureBlock failure) {
    KCError serializationError;
    const auto serializer = requestSerializer();
    std::optional<KCURLRequest> request =
        serializer->requestWithMethod(method, absoluteURLString(URLString), parameters, &serializationError);
    if (serializationError || !request) {
        if (failure) {
            const DispatchQueuePtr queue = completionQueue() ? completionQueue() : DispatchQueue::main();
            queue->async([failure, serializationError] { failure(nullptr, serializationError); });
        }
        return nullptr;
    }
    // The handler needs the task it belongs to; the task exists only once the
    // (possibly overridden) factory returned, before it is resumed.
    auto slot = std::make_shared<KCURLSessionTaskPtr>();
    KCURLSessionTaskPtr task = dataTaskWithRequest(
        *request, [slot, success, failure](const std::optional<KCHTTPURLResponse> &,
                                           const QVariant &responseObject, const KCError &error) {
            const KCURLSessionTaskPtr t = *slot;
            if (error) {
                if (failure)
                    failure(t, error);
            } else if (success) {
                success(t, responseObject);
            }
        });
    *slot = task;
    return task;
}

KCURLSessionTaskPtr CVHTTPSessionManager::startedTask(const QString &method, const QString &URLString,
                                                      const KCParameters &parameters, SuccessBlock success,
                                                      FailureBlock failure) {
    auto task = dataTaskWithHTTPMethod(method, URLString, parameters, std::move(success), std::move(failure));
    if (task)
        task->resume();
    return task;
}

KCURLSessionTaskPtr CVHTTPSessionManager::GET(const QString &URLString, const KCParameters &parameters,
                                              SuccessBlock success, FailureBlock failure) {
    return startedTask(QStringLiteral("GET"), URLString, parameters, std::move(success), std::move(failure));
}

KCURLSessionTaskPtr CVHTTPSessionManager::HEAD(const QString &URLString, const KCParameters &parameters,
                                               HeadSuccessBlock success, FailureBlock failure) {
    SuccessBlock wrapped;
    if (success)
        wrapped = [success](const KCURLSessionTaskPtr &task, const QVariant &) { success(task); };
    return startedTask(QStringLiteral("HEAD"), URLString, parameters, std::move(wrapped), std::move(failure));
}

KCURLSessionTaskPtr CVHTTPSessionManager::POST(const QString &URLString, const KCParameters &parameters,
                                               SuccessBlock success, FailureBlock failure) {
    return startedTask(QStringLiteral("POST"), URLString, parameters, std::move(success), std::move(failure));
}

KCURLSessionTaskPtr CVHTTPSessionManager::PUT(const QString &URLString, const KCParameters &parameters,
                                              SuccessBlock success, FailureBlock failure) {
    return startedTask(QStringLiteral("PUT"), URLString, parameters, std::move(success), std::move(failure));
}

KCURLSessionTaskPtr CVHTTPSessionManager::PATCH(const QString &URLString, const KCParameters &parameters,
                                                SuccessBlock success, FailureBlock failure) {
    return startedTask(QStringLiteral("PATCH"), URLString, parameters, std::move(success),
                       std::move(failure));
}

KCURLSessionTaskPtr CVHTTPSessionManager::DELETE(const QString &URLString, const KCParameters &parameters,
                                                 SuccessBlock success, FailureBlock failure) {
    return startedTask(QStringLiteral("DELETE"), URLString, parameters, std::move(success),
                       std::move(failure));
}
