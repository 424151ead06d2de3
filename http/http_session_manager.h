#pragma once
// CVHTTPSessionManager: resolves paths against a base URL, builds requests
// with its request serializer and runs them through dataTaskWithRequest()
// (virtual, so a subclass sees every convenience request).

#include "http/request_serializer.h"
#include "http/session_manager.h"

#include <QUrl>

class CVHTTPSessionManager : public CVURLSessionManager {
public:
    using SuccessBlock = std::function<void(const KCURLSessionTaskPtr &task, const QVariant &responseObject)>;
    using HeadSuccessBlock = std::function<void(const KCURLSessionTaskPtr &task)>;
    // The task is null when the request could not be built.
    using FailureBlock = std::function<void(const KCURLSessionTaskPtr &task, const KCError &error)>;

    // An empty URL stands for no base URL.
    explicit CVHTTPSessionManager(
        const QUrl &baseURL = QUrl(),
        const std::optional<KCURLSessionConfiguration> &configuration = std::nullopt);
    ~CVHTTPSessionManager() override;

    static std::shared_ptr<CVHTTPSessionManager> manager();

    // Runs the initialiser again on a live manager (see
    // CVURLSessionManager::initWithSessionConfiguration); the base URL is
    // stored with a trailing "/" whenever it has a path.
    void initWithBaseURL(const QUrl &baseURL,
                         const std::optional<KCURLSessionConfiguration> &configuration = std::nullopt);

    QUrl baseURL() const;
    std::shared_ptr<CVHTTPRequestSerializer> requestSerializer() const;
    void setRequestSerializer(std::shared_ptr<CVHTTPRequestSerializer> serializer);

    // Each returns the started task, or null when the request could not be
    // built (then `failure` runs asynchronously on the completion queue).
    KCURLSessionTaskPtr GET(const QString &URLString, const KCParameters &parameters, SuccessBlock success,
                            FailureBlock failure);
    KCURLSessionTaskPtr HEAD(const QString &URLString, const KCParameters &parameters,
                             HeadSuccessBlock success, FailureBlock failure);
    KCURLSessionTaskPtr POST(const QString &URLString, const KCParameters &parameters, SuccessBlock success,
                             FailureBlock failure);
    KCURLSessionTaskPtr PUT(const QString &URLString, const KCParameters &parameters, SuccessBlock success,
                            FailureBlock failure);
    KCURLSessionTaskPtr PATCH(const QString &URLString, const KCParameters &parameters, SuccessBlock success,
                              FailureBlock failure);
    KCURLSessionTaskPtr DELETE(const QString &URLString, const KCParameters &parameters, SuccessBlock success,
                               FailureBlock failure);

    // Builds the request and the (suspended) task; null when the request
    // could not be built.
    KCURLSessionTaskPtr dataTaskWithHTTPMethod(const QString &method, const QString &URLString,
                                               const KCParameters &parameters, SuccessBlock success,
                                               FailureBlock failure);

    // `URLString` resolved against the base URL (RFC 3986), as absolute text.
    QString absoluteURLString(const QString &URLString) const;
    // The base URL with "/" appended to a non-empty path that lacks it.
    static QUrl normalizedBaseURL(const QUrl &url);

private:
    // dataTaskWithHTTPMethod(), then resume().
    KCURLSessionTaskPtr startedTask(const QString &method, const QString &URLString,
                                    const KCParameters &parameters, SuccessBlock success,
                                    FailureBlock failure);

    mutable QMutex m_mutex;
    QUrl m_baseURL;
    std::shared_ptr<CVHTTPRequestSerializer> m_requestSerializer;
};
