#include "platform/portal/portal_helper.h"

#include "platform/core/socket_io.h"
#include "platform/portal/portal_request.h"

#include <QCoreApplication>
#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusPendingCallWatcher>
#include <QDBusPendingReply>
#include <QDateTime>
#include <QFile>
#include <QHash>
#include <QJsonDocument>
#include <QPointer>
#include <QSocketNotifier>
#include <QThread>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <future>
#include <map>
#include <mutex>
#include <spawn.h>
#include <string>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

extern char **environ;

namespace {
// The helper's end of the channel in the helper process.
constexpr int kChannelFd = 3;
// How long the helper may take to start and answer, beyond the portal's own
// time.
constexpr int kHelperStartMs = 10000;

QByteArray lineOf(const QJsonObject &message) {
    return QJsonDocument(message).toJson(QJsonDocument::Compact) + '\n';
}

// Splits what arrived into complete lines; the rest waits in `pending`.
QList<QJsonObject> takeMessages(QByteArray &pending) {
    QList<QJsonObject> messages;
    qsizetype end;
    while ((end = pending.indexOf('\n')) >= 0) {
        const QJsonDocument document = QJsonDocument::fromJson(pending.left(end));
        pending.remove(0, end + 1);
        if (document.isObject())
            messages.append(document.object());
    }
    return messages;
}

// The requests' side of the channel: in the helper process, or on a thread
// of this one. Ends when the channel closes.
class PortalHelperService : public QObject {
public:
    PortalHelperService(int fd, std::function<void()> ended) : m_fd(fd), m_ended(std::move(ended)) {}

    void listen() {
        m_notifier = new QSocketNotifier(m_fd, QSocketNotifier::Read, this);
        connect(m_notifier, &QSocketNotifier::activated, this, [this] { readable(); });
    }

private:
    void readable() {
        char buffer[4096];
        const ssize_t n = ::read(m_fd, buffer, sizeof buffer);
        if (n < 0 && (errno == EINTR || errno == EAGAIN))
            return;
        if (n <= 0) {
            end();
            return;
        }
        m_pending.append(buffer, n);
        for (const QJsonObject &message : takeMessages(m_pending))
            handle(message);
    }

    void reply(const QJsonObject &message) { kcSendAll(m_fd, lineOf(message)); }

    void handle(const QJsonObject &m) {
        const QString op = m.value(QLatin1String("op")).toString();
        const int id = m.value(QLatin1String("id")).toInt();
        const QString service = m.value(QLatin1String("service")).toString();
        const int timeoutMs = m.value(QLatin1String("timeoutMs")).toInt(20000);
        if (op == QLatin1String("register")) {
            portalRegisterHostApp(m_bus, m.value(QLatin1String("app")).toString(), service);
        } else if (op == QLatin1String("probe")) {
            QString problem;
            const bool offers = portalOffersScreenshot(m_bus, service, timeoutMs, &problem);
            reply({{"id", id}, {"final", true}, {"offers", offers}, {"problem", problem}});
        } else if (op == QLatin1String("screenshot")) {
            PortalScreenshotOptions options;
            options.service = service;
            options.parentWindow = m.value(QLatin1String("parent")).toString();
            options.timeoutMs = timeoutMs;
            QPointer<PortalHelperService> self(this);
            callPortalScreenshot(m_bus, options, [self, id](const PortalScreenshotAnswer &answer) {
                if (self)
                    self->reply({{"id", id},
                                 {"final", true},
                                 {"problem", answer.problem},
                                 {"code", int(answer.code)},
                                 {"uri", answer.uri}});
            });
        } else if (op == QLatin1String("shortcut")) {
            PortalShortcutOptions options;
            options.service = service;
            options.id = m.value(QLatin1String("shortcut")).toString();
            options.description = m.value(QLatin1String("description")).toString();
            options.preferredTrigger = m.value(QLatin1String("trigger")).toString();
            options.parentWindow = m.value(QLatin1String("parent")).toString();
            options.timeoutMs = timeoutMs;
            auto *shortcut = new PortalGlobalShortcut(m_bus, options, this);
            m_shortcuts.insert(id, shortcut);
            connect(shortcut, &PortalGlobalShortcut::bound, this, [this, id](const QString &trigger) {
                reply({{"id", id}, {"event", "bound"}, {"trigger", trigger}});
            });
            connect(shortcut, &PortalGlobalShortcut::unavailable, this, [this, id](const QString &problem) {
                reply({{"id", id}, {"event", "unavailable"}, {"problem", problem}, {"final", true}});
            });
            connect(shortcut, &PortalGlobalShortcut::activated, this, [this, id] {
                reply({{"id", id}, {"event", "activated"}});
            });
            shortcut->start();
        } else if (op == QLatin1String("open-uri")) {
            // org.freedesktop.portal.OpenURI: the desktop's default handler
            // (a web page: the default browser) opens the address.
            QDBusMessage call = QDBusMessage::createMethodCall(
                service.isEmpty() ? QStringLiteral("org.freedesktop.portal.Desktop") : service,
                kPortalDesktopPath, QStringLiteral("org.freedesktop.portal.OpenURI"),
                QStringLiteral("OpenURI"));
            call << m.value(QLatin1String("parent")).toString() << m.value(QLatin1String("uri")).toString()
                 << QVariantMap{{QStringLiteral("handle_token"), portalNewToken()}};
            auto *watcher = new QDBusPendingCallWatcher(m_bus.asyncCall(call, timeoutMs), this);
            connect(watcher, &QDBusPendingCallWatcher::finished, this, [this, id, watcher] {
                watcher->deleteLater();
                const QDBusPendingCall answer = *watcher;
                reply({{"id", id},
                       {"final", true},
                       {"problem", answer.isError() ? answer.error().message() : QString()}});
            });
        } else if (op == QLatin1String("unbind")) {
            delete m_shortcuts.take(m.value(QLatin1String("shortcut")).toInt());
        }
    }

    void end() {
        delete m_notifier;
        m_notifier = nullptr;
        // The sessions close (their objects say so to the portal); a call to
        // the bus itself returns once those went out.
        qDeleteAll(m_shortcuts);
        m_shortcuts.clear();
        if (m_bus.isConnected())
            m_bus.call(QDBusMessage::createMethodCall(
                QStringLiteral("org.freedesktop.DBus"), QStringLiteral("/org/freedesktop/DBus"),
                QStringLiteral("org.freedesktop.DBus.Peer"), QStringLiteral("Ping")));
        ::close(m_fd);
        m_ended();
    }

    int m_fd;
    std::function<void()> m_ended;
    QDBusConnection m_bus = QDBusConnection::sessionBus();
    QSocketNotifier *m_notifier = nullptr;
    QByteArray m_pending;
    QHash<int, PortalGlobalShortcut *> m_shortcuts;
};
} // namespace

struct PortalHelper::Private {
    Program program;
    std::mutex lock;
    int fd = -1;
    pid_t pid = 0;
    QThread *thread = nullptr; // serving in this process
    std::thread reader;
    int lastId = 0;
    std::map<int, Handler> handlers;

    // With `lock` held.
    QString start() {
        if (reader.joinable())
            reader.join(); // the last helper's, ended
        int ends[2];
        if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, ends) != 0)
            return QString::fromLocal8Bit(std::strerror(errno));
        if (program.path.isEmpty()) {
            thread = new QThread;
            thread->setObjectName(QStringLiteral("portal"));
            auto *service = new PortalHelperService(ends[1], [] { QThread::currentThread()->quit(); });
            service->moveToThread(thread);
            QObject::connect(thread, &QThread::finished, service, &QObject::deleteLater);
            thread->start();
            QMetaObject::invokeMethod(
                service, [service] { service->listen(); }, Qt::QueuedConnection);
        } else {
            posix_spawn_file_actions_t actions;
            posix_spawn_file_actions_init(&actions);
            posix_spawn_file_actions_adddup2(&actions, ends[1], kChannelFd);
            const QByteArray path = QFile::encodeName(program.path);
            QList<QByteArray> arguments;
            for (const QString &a : program.arguments)
                arguments.append(a.toLocal8Bit());
            std::vector<char *> argv;
            for (QByteArray &a : arguments)
                argv.push_back(a.data());
            argv.push_back(nullptr);
            const int failed = ::posix_spawn(&pid, path.constData(), &actions, nullptr, argv.data(), environ);
            posix_spawn_file_actions_destroy(&actions);
            ::close(ends[1]);
            if (failed != 0) {
                ::close(ends[0]);
                pid = 0;
                return QString::fromLocal8Bit(std::strerror(failed));
            }
        }
        fd = ends[0];
        reader = std::thread([this, channel = fd] { read(channel); });
        return QString();
    }

    void read(int channel) {
        QByteArray pending;
        char buffer[4096];
        for (;;) {
            const ssize_t n = ::read(channel, buffer, sizeof buffer);
            if (n < 0 && errno == EINTR)
                continue;
            if (n <= 0)
                break;
            pending.append(buffer, n);
            const QList<QJsonObject> messages = takeMessages(pending);
            std::lock_guard<std::mutex> locked(lock);
            for (const QJsonObject &m : messages) {
                const auto h = handlers.find(m.value(QLatin1String("id")).toInt());
                if (h == handlers.end())
                    continue;
                h->second(m);
                if (m.value(QLatin1String("final")).toBool())
                    handlers.erase(h);
            }
        }
        pid_t ended = 0;
        {
            std::lock_guard<std::mutex> locked(lock);
            for (auto &[id, handler] : handlers)
                handler({{"id", id},
                         {"final", true},
                         {"problem", QStringLiteral("KelvraCapture's portal helper stopped")}});
            handlers.clear();
            ::close(channel);
            fd = -1;
            std::swap(ended, pid);
        }
        if (ended > 0)
            ::waitpid(ended, nullptr, 0);
    }
};

PortalHelper::PortalHelper(Program program) : d(std::make_unique<Private>()) {
    d->program = std::move(program);
}

PortalHelper::~PortalHelper() {
    {
        std::lock_guard<std::mutex> locked(d->lock);
        if (d->fd >= 0)
            ::shutdown(d->fd, SHUT_RDWR);
    }
    if (d->reader.joinable())
        d->reader.join();
    if (d->thread) {
        d->thread->wait();
        delete d->thread;
    }
}

PortalHelper &PortalHelper::shared() {
    static PortalHelper *helper = new PortalHelper(
        ::prctl(PR_GET_DUMPABLE, 0, 0, 0, 0) == 1
            ? Program()
            : Program{QStringLiteral("/proc/self/exe"),
                      {QStringLiteral("kelvra-capture"), QString::fromLatin1(kPortalHelperArgument)}});
    return *helper;
}

qint64 PortalHelper::processId() const {
    std::lock_guard<std::mutex> locked(d->lock);
    return d->pid;
}

int PortalHelper::send(QJsonObject message, Handler handler) {
    std::lock_guard<std::mutex> locked(d->lock);
    const int id = ++d->lastId;
    message.insert(QLatin1String("id"), id);
    QString problem;
    if (d->fd < 0) {
        if (d->thread) {
            d->thread->wait();
            delete d->thread;
            d->thread = nullptr;
        }
        problem = d->start();
    }
    if (problem.isEmpty() && !kcSendAll(d->fd, lineOf(message)))
        problem = QString::fromLocal8Bit(std::strerror(errno));
    if (!problem.isEmpty()) {
        if (handler)
            handler({{"id", id},
                     {"final", true},
                     {"problem",
                      QStringLiteral("KelvraCapture cannot start its portal helper: %1").arg(problem)}});
        return id;
    }
    if (handler)
        d->handlers.emplace(id, std::move(handler));
    return id;
}

void PortalHelper::forget(int id) {
    std::lock_guard<std::mutex> locked(d->lock);
    d->handlers.erase(id);
}

bool PortalHelper::offersScreenshot(const QString &service, int timeoutMs, QString *problem) {
    auto answer = std::make_shared<std::promise<QJsonObject>>();
    std::future<QJsonObject> future = answer->get_future();
    const int id = send({{"op", "probe"}, {"service", service}, {"timeoutMs", timeoutMs}},
                        [answer](const QJsonObject &m) { answer->set_value(m); });
    if (future.wait_for(std::chrono::milliseconds(timeoutMs + kHelperStartMs)) != std::future_status::ready) {
        forget(id);
        if (problem)
            *problem = QStringLiteral("KelvraCapture's portal helper did not answer");
        return false;
    }
    const QJsonObject m = future.get();
    if (problem)
        *problem = m.value(QLatin1String("problem")).toString();
    return m.value(QLatin1String("offers")).toBool();
}

void PortalHelper::registerHostApp(const QString &appID, const QString &service) {
    send({{"op", "register"}, {"app", appID}, {"service", service}});
}

void PortalHelper::screenshot(const PortalScreenshotOptions &options, QObject *context,
                              std::function<void(const CaptureResult &)> done) {
    const QDateTime asked = QDateTime::currentDateTimeUtc();
    // Lives on this thread until the answer is handled, whatever becomes of
    // `context`.
    auto *receiver = new QObject;
    QPointer<QObject> guard(context);
    send({{"op", "screenshot"},
          {"service", options.service},
          {"parent", options.parentWindow},
          {"timeoutMs", options.timeoutMs}},
         [receiver, guard, asked, done](const QJsonObject &m) {
             PortalScreenshotAnswer answer;
             answer.problem = m.value(QLatin1String("problem")).toString();
             answer.code = uint(m.value(QLatin1String("code")).toInt(2));
             answer.uri = m.value(QLatin1String("uri")).toString();
             QMetaObject::invokeMethod(
                 receiver,
                 [receiver, guard, asked, done, answer] {
                     const CaptureResult result = capturePortalAnswer(answer, asked);
                     if (guard)
                         done(result);
                     receiver->deleteLater();
                 },
                 Qt::QueuedConnection);
         });
}

PortalHelperShortcut::PortalHelperShortcut(PortalHelper &helper, PortalShortcutOptions options,
                                           QObject *parent)
    : QObject(parent), m_helper(helper), m_options(std::move(options)) {}

PortalHelperShortcut::~PortalHelperShortcut() {
    if (!m_id)
        return;
    m_helper.forget(m_id);
    m_helper.send({{"op", "unbind"}, {"shortcut", m_id}});
}

void PortalHelperShortcut::start() {
    m_id = m_helper.send({{"op", "shortcut"},
                          {"service", m_options.service},
                          {"shortcut", m_options.id},
                          {"description", m_options.description},
                          {"trigger", m_options.preferredTrigger},
                          {"parent", m_options.parentWindow},
                          {"timeoutMs", m_options.timeoutMs}},
                         [this](const QJsonObject &m) {
                             QMetaObject::invokeMethod(
                                 this, [this, m] { deliver(m); }, Qt::QueuedConnection);
                         });
}

void PortalHelperShortcut::deliver(const QJsonObject &m) {
    const QString event = m.value(QLatin1String("event")).toString();
    if (event == QLatin1String("bound"))
        emit bound(m.value(QLatin1String("trigger")).toString());
    else if (event == QLatin1String("activated"))
        emit activated();
    else
        emit unavailable(m.value(QLatin1String("problem")).toString());
}

int runPortalHelper(int argc, char **argv) {
    // Nothing of the application's but the channel.
    ::close_range(kChannelFd + 1, ~0U, 0);
    QCoreApplication app(argc, argv);
    PortalHelperService service(kChannelFd, [] { QCoreApplication::exit(0); });
    service.listen();
    return app.exec();
}
