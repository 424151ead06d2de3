#pragma once
// CVURLSessionManager: a transport session, the table of per-task delegates
// and the completion machinery. Every transport event of the manager's tasks
// arrives on its serial `operationQueue` (owners may suspend it: nothing is
// delivered, completions included, until it is resumed). Responses are
// decoded on a process-wide concurrent processing queue and completion
// handlers run on `completionQueue` (the main queue when none) inside
// `completionGroup` (a process-wide group when none).

#include "http/network_reachability_manager.h"
#include "http/progress.h"
#include "http/response_serializer.h"
#include "http/security_policy.h"
#include "http/task.h"
#include "http/transport.h"
#include "http/url_request.h"
#include "platform/core/dispatch.h"
#include "platform/core/error.h"

#include <QByteArray>
#include <QHash>
#include <QMutex>
#include <QString>
#include <QVariant>

#include <functional>
#include <memory>
#include <optional>

// Notifications posted on the main queue (observed by nothing in the
// application; user info {"task": taskIdentifier}).
inline const QString CVTaskDidResumeNotification = QStringLiteral("com.corvane.networking.task.resume");
inline const QString CVTaskDidSuspendNotification = QStringLiteral("com.corvane.networking.task.suspend");
inline const QString CVTaskDidCompleteNotification = QStringLiteral("com.corvane.networking.task.complete");
inline const QString CVURLSessionDidInvalidateNotification =
    QStringLiteral("com.corvane.networking.session.invalidated");

// (response or none, response object or invalid QVariant, error or null error)
using CVURLSessionTaskCompletionHandler = std::function<void(
    const std::optional<KCHTTPURLResponse> &response, const QVariant &responseObject, const KCError &error)>;

class CVURLSessionManager;

// Per-task state: received bytes, progress and the completion handler.
class CVURLSessionManagerTaskDelegate {
public:
    CVURLSessionManagerTaskDelegate() : progress(KCProgress::progressWithTotalUnitCount(0)) {}

    QByteArray mutableData;
    KCProgressPtr progress;
    CVURLSessionTaskCompletionHandler completionHandler;
    KCURLSessionTaskPtr task;
};

class CVURLSessionManager {
public:
    // `configuration` none: the default configuration.
    explicit CVURLSessionManager(
        const std::optional<KCURLSessionConfiguration> &configuration = std::nullopt);
    virtual ~CVURLSessionManager();
    CVURLSessionManager(const CVURLSessionManager &) = delete;
    CVURLSessionManager &operator=(const CVURLSessionManager &) = delete;

    // Rebuilds every field on a live manager: new configuration, queue and
    // session, new serializers and default policy, empty delegate table.
    // Tasks of the earlier session still complete through their own
    // delegates.
    void initWithSessionConfiguration(const std::optional<KCURLSessionConfiguration> &configuration);

    KCURLSessionConfiguration sessionConfiguration() const;
    DispatchQueuePtr operationQueue() const;
    // The manager's cookies: its own store (unless its configuration names
    // another), kept when the manager is re-initialised. No other manager
    // sends them.
    std::shared_ptr<KCHTTPCookieStorage> cookieStorage() const;

    std::shared_ptr<CVHTTPResponseSerializer> responseSerializer() const;
    void setResponseSerializer(std::shared_ptr<CVHTTPResponseSerializer> serializer);
    CVSecurityPolicyPtr securityPolicy() const;
    // Also drops open connections, so that the new policy judges every
    // later connection.
    void setSecurityPolicy(CVSecurityPolicyPtr policy);
    CVNetworkReachabilityManagerPtr reachabilityManager() const;
    void setReachabilityManager(CVNetworkReachabilityManagerPtr manager);
    DispatchQueuePtr completionQueue() const;
    void setCompletionQueue(DispatchQueuePtr queue);
    DispatchGroupPtr completionGroup() const;
    void setCompletionGroup(DispatchGroupPtr group);

    // The manager's description text ("%p" of the manager), set as the
    // taskDescription of its tasks.
    QString description() const;
    // "com.corvane.networking.session.manager.lock".
    static QString lockName();

    // A new suspended data task; the caller resumes it. Subclasses override
    // this to see every request of the manager.
    virtual KCURLSessionTaskPtr dataTaskWithRequest(const KCURLRequest &request,
                                                    CVURLSessionTaskCompletionHandler completionHandler);
    // A new suspended upload task that reads the request's body stream. When
    // `progress` is given it receives the upload progress.
    KCURLSessionTaskPtr uploadTaskWithStreamedRequest(const KCURLRequest &request, KCProgressPtr *progress,
                                                      CVURLSessionTaskCompletionHandler completionHandler);

    // Tasks with a registered delegate.
    QList<KCURLSessionTaskPtr> tasks() const;
    // The delegate's progress of a task, or null.
    KCProgressPtr uploadProgressForTask(const KCURLSessionTaskPtr &task) const;

    // Cancels every task; with `dropHandlers` their completion handlers are
    // never called.
    void invalidateSessionCancelingTasks(bool dropHandlers);

    // The process-wide queues of task creation and response decoding.
    static DispatchQueuePtr creationQueue();
    static DispatchQueuePtr processingQueue();
    static DispatchGroupPtr defaultCompletionGroup();

    struct Session; // one per run of the initialiser

private:
    std::shared_ptr<Session> session() const;
    KCURLSessionTaskPtr addTask(bool upload, const KCURLRequest &request, KCProgressPtr *progress,
                                CVURLSessionTaskCompletionHandler completionHandler);

    mutable QMutex m_sessionMutex;
    std::shared_ptr<Session> m_session;
    std::shared_ptr<KCHTTPCookieStorage> m_ownCookies;
};
