#include "http/session_manager.h"

#include "platform/core/notification_center.h"

#include <QMutexLocker>

// Everything one run of the initialiser builds. Tasks keep their session
// alive until they complete, so a manager re-initialised while requests run
// still completes them with the settings they started with.
struct CVURLSessionManager::Session : public KCTransportReceiver,
                                      public std::enable_shared_from_this<Session> {
    KCURLSessionConfiguration configuration;
    DispatchQueuePtr operationQueue;
    std::shared_ptr<KCTransport> transport;
    QString description;

    mutable QMutex lock; // "com.corvane.networking.session.manager.lock"
    QHash<quint64, std::shared_ptr<CVURLSessionManagerTaskDelegate>>
        mutableTaskDelegatesKeyedByTaskIdentifier;
    // Set while the table is not empty: a session outlives a re-initialised
    // manager until its tasks have completed.
    std::shared_ptr<Session> keepAlive;

    // Settings, guarded by settingsMutex.
    mutable QMutex settingsMutex;
    std::shared_ptr<CVHTTPResponseSerializer> responseSerializer;
    CVSecurityPolicyPtr securityPolicy;
    CVNetworkReachabilityManagerPtr reachabilityManager;
    DispatchQueuePtr completionQueue;
    DispatchGroupPtr completionGroup;

    std::shared_ptr<CVURLSessionManagerTaskDelegate> delegateForTask(const KCURLSessionTaskPtr &task) const {
        QMutexLocker l(&lock);
        return mutableTaskDelegatesKeyedByTaskIdentifier.value(task->taskIdentifier());
    }

    void addDelegate(const KCURLSessionTaskPtr &task,
                     std::shared_ptr<CVURLSessionManagerTaskDelegate> delegate) {
        QMutexLocker l(&lock);
        mutableTaskDelegatesKeyedByTaskIdentifier.insert(task->taskIdentifier(), std::move(delegate));
        keepAlive = shared_from_this();
    }

    void removeDelegateForTask(const KCURLSessionTaskPtr &task) {
        std::shared_ptr<Session> release;
        QMutexLocker l(&lock);
        mutableTaskDelegatesKeyedByTaskIdentifier.remove(task->taskIdentifier());
        if (mutableTaskDelegatesKeyedByTaskIdentifier.isEmpty())
            release = std::move(keepAlive);
        l.unlock();
    }

    // Runs `block` on the operation queue with this session kept alive.
    void onQueue(std::function<void(Session &)> block) {
        auto self = shared_from_this();
        operationQueue->async([self, block = std::move(block)] { block(*self); });
    }

    bool taskDidReceiveServerTrustChallenge(const KCURLSessionTaskPtr &, const CVServerTrust &trust,
                                            QString *reason) override {
        CVSecurityPolicyPtr policy;
        {
            QMutexLocker l(&settingsMutex);
            policy = securityPolicy;
        }
        if (!policy)
            policy = CVSecurityPolicy::defaultPolicy();
        return policy->evaluateServerTrust(trust, trust.host, reason);
    }

    void taskDidSendBodyData(const KCURLSessionTaskPtr &task, qint64, qint64 totalBytesSent,
                             qint64 totalBytesExpectedToSend) override {
        onQueue([task, totalBytesSent, totalBytesExpectedToSend](Session &s) {
            qint64 total = totalBytesExpectedToSend;
            if (total == NSURLSessionTransferSizeUnknown) {
                bool ok = false;
                const qint64 length = task->originalRequest()
                                          .valueForHTTPHeaderField(QStringLiteral("Content-Length"))
                                          .toLongLong(&ok);
                if (ok)
                    total = length;
            }
            if (auto delegate = s.delegateForTask(task)) {
                delegate->progress->setTotalUnitCount(total);
                delegate->progress->setCompletedUnitCount(totalBytesSent);
            }
        });
    }

    void taskDidReceiveResponse(const KCURLSessionTaskPtr &, const KCHTTPURLResponse &) override {
        // Always allowed to continue.
    }

    void taskDidReceiveData(const KCURLSessionTaskPtr &task, const QByteArray &data) override {
        onQueue([task, data](Session &s) {
            if (auto delegate = s.delegateForTask(task))
                delegate->mutableData.append(data);
        });
    }

    std::shared_ptr<QIODevice> taskNeedNewBodyStream(const KCURLSessionTaskPtr &task) override {
        // Called on the network thread while it waits for the body; a copy of
        // the stream is independent of everything the operation queue holds.
        return task->originalRequest().copyHTTPBodyStream();
    }

    void taskDidComplete(const KCURLSessionTaskPtr &task, const KCError &error) override {
        onQueue([task, error](Session &s) {
            if (auto delegate = s.delegateForTask(task))
                s.complete(delegate, task, error);
            s.removeDelegateForTask(task);
        });
    }

    void taskDidChangeState(const KCURLSessionTaskPtr &task, KCURLSessionTask::State state) override {
        if (task->taskDescription() != description)
            return;
        const QString name =
            state == KCURLSessionTask::Running ? CVTaskDidResumeNotification : CVTaskDidSuspendNotification;
        const quint64 id = task->taskIdentifier();
        DispatchQueue::main()->async([name, id] {
            NotificationCenter::defaultCenter().postNotification(name, {{QStringLiteral("task"), id}});
        });
    }

    // An upload the server took (2xx) ends at 1.0, also when the length of
    // its body was not known beforehand or its last bytes were not reported.
    static void finishUploadProgress(const CVURLSessionManagerTaskDelegate &delegate,
                                     const KCURLSessionTask &task, const KCError &error) {
        const std::optional<KCHTTPURLResponse> response = task.response();
        if (error || task.kind() != KCURLSessionTask::UploadTask || !delegate.progress || !response ||
            response->statusCode() < 200 || response->statusCode() > 299)
            return;
        KCProgress &progress = *delegate.progress;
        if (progress.totalUnitCount() <= 0)
            progress.setTotalUnitCount(qMax<qint64>(1, task.countOfBytesSent()));
        progress.setCompletedUnitCount(progress.totalUnitCount());
    }

    void complete(const std::shared_ptr<CVURLSessionManagerTaskDelegate> &delegate,
                  const KCURLSessionTaskPtr &task, const KCError &error) {
        finishUploadProgress(*delegate, *task, error);
        const QByteArray data = delegate->mutableData;
        delegate->mutableData = QByteArray();
        CVURLSessionTaskCompletionHandler handler = delegate->completionHandler;

        std::shared_ptr<CVHTTPResponseSerializer> serializer;
        DispatchQueuePtr queue;
        DispatchGroupPtr group;
        {
            QMutexLocker l(&settingsMutex);
            serializer = responseSerializer;
            queue = completionQueue ? completionQueue : DispatchQueue::main();
            group = completionGroup ? completionGroup : CVURLSessionManager::defaultCompletionGroup();
        }
        const std::optional<KCHTTPURLResponse> response = task->response();
        const quint64 id = task->taskIdentifier();
        auto postCompleted = [id] {
            DispatchQueue::main()->async([id] {
                NotificationCenter::defaultCenter().postNotification(CVTaskDidCompleteNotification,
                                                                     {{QStringLiteral("task"), id}});
            });
        };

        if (error) {
            group->async(queue, [handler, response, error, postCompleted] {
                if (handler)
                    handler(response, QVariant(), error);
                postCompleted();
            });
            return;
        }
        // Decoding runs off the event queue; the group is entered now so that
        // waiting on it covers the decoding as well.
        group->enter();
        CVURLSessionManager::processingQueue()->async(
            [handler, response, data, serializer, queue, group, postCompleted] {
                KCError serializationError;
                QVariant object;
                if (serializer)
                    object = serializer->responseObjectForResponse(response ? &*response : nullptr, data,
                                                                   &serializationError);
                else
                    object = data;
                group->async(queue, [handler, response, object, serializationError, postCompleted] {
                    if (handler)
                        handler(response, object, serializationError);
                    postCompleted();
                });
                group->leave();
            });
    }
};

CVURLSessionManager::CVURLSessionManager(const std::optional<KCURLSessionConfiguration> &configuration) {
    initWithSessionConfiguration(configuration);
}

CVURLSessionManager::~CVURLSessionManager() {
    invalidateSessionCancelingTasks(true);
}

void CVURLSessionManager::initWithSessionConfiguration(
    const std::optional<KCURLSessionConfiguration> &configuration) {
    auto s = std::make_shared<Session>();
    s->configuration = configuration.value_or(KCURLSessionConfiguration::defaultSessionConfiguration());
    if (!s->configuration.HTTPCookieStorage) {
        QMutexLocker l(&m_sessionMutex);
        if (!m_ownCookies)
            m_ownCookies = KCHTTPCookieStorage::create();
        s->configuration.HTTPCookieStorage = m_ownCookies;
    }
    s->operationQueue = DispatchQueue::createSerial(
        QStringLiteral("com.corvane.networking.session.manager.operation.%1").arg(quintptr(this), 0, 16));
    s->transport = KCTransport::create(s->configuration, std::weak_ptr<KCTransportReceiver>(s));
    s->description = description();
    s->responseSerializer = CVJSONResponseSerializer::serializer();
    s->securityPolicy = CVSecurityPolicy::defaultPolicy();
    s->reachabilityManager = CVNetworkReachabilityManager::sharedManager();
    QMutexLocker l(&m_sessionMutex);
    m_session = std::move(s);
}

std::shared_ptr<CVURLSessionManager::Session> CVURLSessionManager::session() const {
    QMutexLocker l(&m_sessionMutex);
    return m_session;
}

KCURLSessionConfiguration CVURLSessionManager::sessionConfiguration() const {
    return session()->configuration;
}

std::shared_ptr<KCHTTPCookieStorage> CVURLSessionManager::cookieStorage() const {
    return session()->configuration.HTTPCookieStorage;
}

DispatchQueuePtr CVURLSessionManager::operationQueue() const {
    return session()->operationQueue;
}

#define KC_SESSION_PROPERTY(type, getter, setter, field)                                                     \
    type CVURLSessionManager::getter() const {                                                               \
        auto s = session();                                                                                  \
        QMutexLocker l(&s->settingsMutex);                                                                   \
        return s->field;                                                                                     \
    }                                                                                                        \
    void CVURLSessionManager::setter(type value) {                                                           \
        auto s = session();                                                                                  \
        QMutexLocker l(&s->settingsMutex);                                                                   \
        s->field = std::move(value);                                                                         \
    }

KC_SESSION_PROPERTY(std::shared_ptr<CVHTTPResponseSerializer>, responseSerializer, setResponseSerializer,
                    responseSerializer)
KC_SESSION_PROPERTY(CVNetworkReachabilityManagerPtr, reachabilityManager, setReachabilityManager,
                    reachabilityManager)
KC_SESSION_PROPERTY(DispatchQueuePtr, completionQueue, setCompletionQueue, completionQueue)
KC_SESSION_PROPERTY(DispatchGroupPtr, completionGroup, setCompletionGroup, completionGroup)
#undef KC_SESSION_PROPERTY

CVSecurityPolicyPtr CVURLSessionManager::securityPolicy() const {
    auto s = session();
    QMutexLocker l(&s->settingsMutex);
    return s->securityPolicy;
}

void CVURLSessionManager::setSecurityPolicy(CVSecurityPolicyPtr policy) {
    auto s = session();
    {
        QMutexLocker l(&s->settingsMutex);
        s->securityPolicy = std::move(policy);
    }
    s->transport->clearConnectionCache();
}

QString CVURLSessionManager::description() const {
    return QStringLiteral("%1").arg(quintptr(this), 0, 16).prepend(QStringLiteral("0x"));
}

QString CVURLSessionManager::lockName() {
    return QStringLiteral("com.corvane.networking.session.manager.lock");
}

DispatchQueuePtr CVURLSessionManager::creationQueue() {
    static DispatchQueuePtr q =
        DispatchQueue::createSerial(QStringLiteral("com.corvane.networking.session.manager.creation"));
    return q;
}

DispatchQueuePtr CVURLSessionManager::processingQueue() {
    static DispatchQueuePtr q =
        DispatchQueue::createConcurrent(QStringLiteral("com.corvane.networking.session.manager.processing"));
    return q;
}

DispatchGroupPtr CVURLSessionManager::defaultCompletionGroup() {
    static DispatchGroupPtr g = DispatchGroup::create();
    return g;
}

KCURLSessionTaskPtr CVURLSessionManager::addTask(bool upload, const KCURLRequest &request,
                                                 KCProgressPtr *progress,
                                                 CVURLSessionTaskCompletionHandler completionHandler) {
    auto s = session();
    KCURLSessionTaskPtr task;
    creationQueue()->sync([&] {
        task = upload ? s->transport->uploadTaskWithStreamedRequest(request)
                      : s->transport->dataTaskWithRequest(request);
    });
    auto delegate = std::make_shared<CVURLSessionManagerTaskDelegate>();
    delegate->completionHandler = std::move(completionHandler);
    delegate->task = task;
    if (upload) {
        qint64 total = task->countOfBytesExpectedToSend();
        if (total == NSURLSessionTransferSizeUnknown) {
            bool ok = false;
            const qint64 length =
                request.valueForHTTPHeaderField(QStringLiteral("Content-Length")).toLongLong(&ok);
            if (ok)
                total = length;
        }
        delegate->progress->setTotalUnitCount(total);
        std::weak_ptr<KCURLSessionTask> weak = task;
        delegate->progress->setPausingHandler([weak] {
            if (auto t = weak.lock())
                t->suspend();
        });
        delegate->progress->setCancellationHandler([weak] {
            if (auto t = weak.lock())
                t->cancel();
        });
        if (progress)
            *progress = delegate->progress;
    }
    task->setTaskDescription(s->description);
    s->addDelegate(task, std::move(delegate));
    return task;
}

KCURLSessionTaskPtr
CVURLSessionManager::dataTaskWithRequest(const KCURLRequest &request,
                                         CVURLSessionTaskCompletionHandler completionHandler) {
    return addTask(false, request, nullptr, std::move(completionHandler));
}

KCURLSessionTaskPtr
CVURLSessionManager::uploadTaskWithStreamedRequest(const KCURLRequest &request, KCProgressPtr *progress,
                                                   CVURLSessionTaskCompletionHandler completionHandler) {
    return addTask(true, request, progress, std::move(completionHandler));
}

QList<KCURLSessionTaskPtr> CVURLSessionManager::tasks() const {
    auto s = session();
    QMutexLocker l(&s->lock);
    QList<KCURLSessionTaskPtr> out;
    for (const auto &d : s->mutableTaskDelegatesKeyedByTaskIdentifier)
        out << d->task;
    return out;
}

KCProgressPtr CVURLSessionManager::uploadProgressForTask(const KCURLSessionTaskPtr &task) const {
    auto d = session()->delegateForTask(task);
    return d ? d->progress : nullptr;
}

void CVURLSessionManager::invalidateSessionCancelingTasks(bool dropHandlers) {
    auto s = session();
    if (!s)
        return;
    QList<std::shared_ptr<CVURLSessionManagerTaskDelegate>> delegates;
    std::shared_ptr<Session> release;
    {
        QMutexLocker l(&s->lock);
        delegates = s->mutableTaskDelegatesKeyedByTaskIdentifier.values();
        if (dropHandlers) {
            s->mutableTaskDelegatesKeyedByTaskIdentifier.clear();
            release = std::move(s->keepAlive);
        }
    }
    for (const auto &d : delegates)
        d->task->cancel();
    if (dropHandlers) {
        DispatchQueue::main()->async([] {
            NotificationCenter::defaultCenter().postNotification(CVURLSessionDidInvalidateNotification);
        });
    }
}
