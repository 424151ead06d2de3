#include "platform/windowserver/kwin_windows.h"

#include <QCoreApplication>
#include <QDBusMessage>
#include <QDBusPendingCallWatcher>
#include <QDBusPendingReply>
#include <QDir>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QPointer>
#include <QRectF>
#include <QTemporaryFile>
#include <QTimer>

#include <algorithm>
#include <atomic>

namespace {
const QString kScriptingPath = QStringLiteral("/Scripting");
const QString kScriptingInterface = QStringLiteral("org.kde.kwin.Scripting");
const QString kScriptInterface = QStringLiteral("org.kde.kwin.Script");
const QString kCallbackInterface = QStringLiteral("com.kelvra.KelvraCapture.KWinWindows");
const QString kCallbackPath = QStringLiteral("/com/kelvra/KelvraCapture/KWinWindows/q%1");

// `text` as a JavaScript string literal.
QByteArray jsString(const QString &text) {
    const QByteArray array = QJsonDocument(QJsonArray{text}).toJson(QJsonDocument::Compact);
    return array.mid(1, array.size() - 2);
}

// Where the script waits for KWin to read it: the user's own runtime folder
// when there is one.
QString scriptDirectory() {
    const QString runtime = qEnvironmentVariable("XDG_RUNTIME_DIR");
    return !runtime.isEmpty() && QDir(runtime).exists() ? runtime : QDir::tempPath();
}

// One query: the script on disk and loaded in KWin, the callback object on
// the bus, until the answer or the timeout; then everything goes away.
class KWinWindowsQuery : public QObject {
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "com.kelvra.KelvraCapture.KWinWindows")
public:
    KWinWindowsQuery(const QDBusConnection &bus, const KWinWindowsOptions &options, QObject *context,
                     std::function<void(const KWinWindowsResult &)> done)
        : m_bus(bus), m_options(options), m_context(context), m_done(std::move(done)) {}

    void start() {
        static std::atomic<quint32> counter{0};
        const quint32 n = ++counter;
        m_plugin =
            QStringLiteral("kelvracapture_windows_%1_%2").arg(QCoreApplication::applicationPid()).arg(n);
        m_path = kCallbackPath.arg(n);
        QTimer::singleShot(m_options.timeoutMs, this, [this] {
            fail(QStringLiteral("KWin did not list its windows within %1 ms").arg(m_options.timeoutMs));
        });
        if (!m_bus.isConnected()) {
            fail(QStringLiteral("there is no session bus"));
            return;
        }
        if (!m_bus.registerObject(m_path, this, QDBusConnection::ExportAllSlots)) {
            fail(QStringLiteral("cannot register %1 on the session bus").arg(m_path));
            return;
        }
        m_registered = true;
        // Only the process that owns KWin's name now may answer; until it is
        // known, nobody may.
        QDBusMessage owner = QDBusMessage::createMethodCall(
            QStringLiteral("org.freedesktop.DBus"), QStringLiteral("/org/freedesktop/DBus"),
            QStringLiteral("org.freedesktop.DBus"), QStringLiteral("GetNameOwner"));
        owner << m_options.service;
        watch(owner, [this](const QDBusMessage &reply) {
            if (reply.type() != QDBusMessage::ReplyMessage || reply.arguments().isEmpty()) {
                fail(QStringLiteral("KWin is not on the session bus: %1").arg(reply.errorMessage()));
                return;
            }
            m_kwin = reply.arguments().constFirst().toString();
            load();
        });
    }

public slots:
    // The script's answer.
    void Windows(const QString &json, const QDBusMessage &message) {
        if (m_finished || m_kwin.isEmpty() || message.service() != m_kwin)
            return;
        KWinWindowsResult result;
        result.windows = kwinWindowsFromJson(json.toUtf8());
        if (!result.windows)
            result.problem = QStringLiteral("KWin's script answered with something else than windows");
        finish(result);
    }

private:
    void load() {
        // Readable by this user only (KWin runs as this user): the window
        // list it produces is nobody else's business either.
        m_script.setFileTemplate(QDir(scriptDirectory()).filePath(QStringLiteral("kelvra-kwin-XXXXXX.js")));
        if (!m_script.open() || !m_script.setPermissions(QFileDevice::ReadOwner | QFileDevice::WriteOwner) ||
            m_script.write(kwinWindowListScript(m_bus.baseService(), m_path, kCallbackInterface)) < 0 ||
            !m_script.flush()) {
            fail(QStringLiteral("cannot write KWin's script: %1").arg(m_script.errorString()));
            return;
        }
        QDBusMessage load = QDBusMessage::createMethodCall(m_kwin, kScriptingPath, kScriptingInterface,
                                                           QStringLiteral("loadScript"));
        load << m_script.fileName() << m_plugin;
        m_loadSent = true;
        watch(load, [this](const QDBusMessage &reply) {
            if (reply.type() != QDBusMessage::ReplyMessage || reply.arguments().isEmpty()) {
                fail(QStringLiteral("KWin did not load the script: %1").arg(reply.errorMessage()));
                return;
            }
            const int id = reply.arguments().constFirst().toInt();
            if (id < 0) {
                fail(QStringLiteral("KWin refused the script"));
                return;
            }
            run(id, QStringLiteral("/Scripting/Script%1").arg(id), true);
        });
    }

    // Plasma 6 (and late Plasma 5) put the script under /Scripting; earlier
    // ones at /<id>.
    void run(int id, const QString &path, bool firstTry) {
        QDBusMessage call =
            QDBusMessage::createMethodCall(m_kwin, path, kScriptInterface, QStringLiteral("run"));
        watch(call, [this, id, firstTry](const QDBusMessage &reply) {
            if (reply.type() == QDBusMessage::ReplyMessage)
                return; // the answer comes through Windows()
            if (firstTry) {
                run(id, QStringLiteral("/%1").arg(id), false);
                return;
            }
            fail(QStringLiteral("KWin did not run the script: %1").arg(reply.errorMessage()));
        });
    }

    void watch(const QDBusMessage &call, std::function<void(const QDBusMessage &)> then) {
        auto *watcher = new QDBusPendingCallWatcher(m_bus.asyncCall(call, m_options.timeoutMs), this);
        connect(watcher, &QDBusPendingCallWatcher::finished, this,
                [this, then = std::move(then)](QDBusPendingCallWatcher *w) {
                    w->deleteLater();
                    if (!m_finished)
                        then(w->reply());
                });
    }

    void fail(const QString &problem) {
        KWinWindowsResult result;
        result.problem = problem;
        finish(result);
    }

    void finish(const KWinWindowsResult &result) {
        if (m_finished)
            return;
        m_finished = true;
        if (m_registered)
            m_bus.unregisterObject(m_path);
        // Also when the load's answer is still on its way: KWin handles one
        // caller's calls in order, so the unload follows the load.
        QDBusMessage unload = QDBusMessage::createMethodCall(m_kwin, kScriptingPath, kScriptingInterface,
                                                             QStringLiteral("unloadScript"));
        unload << m_plugin;
        if (m_loadSent)
            m_bus.asyncCall(unload);
        m_script.remove();
        if (m_context && m_done)
            m_done(result);
        m_done = nullptr;
        deleteLater();
    }

    QDBusConnection m_bus;
    KWinWindowsOptions m_options;
    QPointer<QObject> m_context;
    std::function<void(const KWinWindowsResult &)> m_done;
    QTemporaryFile m_script;
    QString m_plugin;
    QString m_path;
    QString m_kwin;
    bool m_registered = false;
    bool m_loadSent = false;
    bool m_finished = false;
};
} // namespace

std::optional<QList<FrozenWindow>> kwinWindowsFromJson(const QByteArray &json) {
    const QJsonDocument document = QJsonDocument::fromJson(json);
    if (!document.isArray())
        return std::nullopt;
    struct Stacked {
        FrozenWindow window;
        double stacking;
    };
    QList<Stacked> stacked;
    for (const QJsonValue &value : document.array()) {
        const QJsonObject o = value.toObject();
        if (o.isEmpty() || o.value(QLatin1String("minimized")).toBool() ||
            o.value(QLatin1String("hidden")).toBool())
            continue;
        // Panels, the desktop, notifications, menus and the like are no
        // record a capture is meant for.
        if (!o.value(QLatin1String("normal")).toBool() && !o.value(QLatin1String("dialog")).toBool())
            continue;
        if (!o.value(QLatin1String("onDesktop")).toBool(true))
            continue;
        const QRect frame =
            QRectF(o.value(QLatin1String("x")).toDouble(), o.value(QLatin1String("y")).toDouble(),
                   o.value(QLatin1String("width")).toDouble(), o.value(QLatin1String("height")).toDouble())
                .toAlignedRect();
        if (frame.isEmpty())
            continue;
        stacked.append({{frame, qint64(o.value(QLatin1String("pid")).toDouble())},
                        o.value(QLatin1String("stacking")).toDouble()});
    }
    // KWin stacks bottom to top: the highest order is in front.
    std::stable_sort(stacked.begin(), stacked.end(),
                     [](const Stacked &a, const Stacked &b) { return a.stacking > b.stacking; });
    QList<FrozenWindow> windows;
    for (const Stacked &s : stacked)
        windows.append(s.window);
    return windows;
}

QByteArray kwinWindowListScript(const QString &service, const QString &path, const QString &interface) {
    // Plasma 6 names windows "windows" (workspace.windowList(), a desktop is
    // an object, a window is on a list of them); Plasma 5 "clients"
    // (workspace.clientList(), desktops are numbers). No titles leave KWin:
    // they may name a patient.
    QByteArray script = R"js(// KelvraCapture: the windows of this moment, for one capture.
(function () {
    var windows = typeof workspace.windowList === "function" ? workspace.windowList()
                                                           : workspace.clientList();
    var desktop = workspace.currentDesktop;
    var list = [];
    for (var i = 0; i < windows.length; ++i) {
        var w = windows[i];
        var g = w.frameGeometry;
        var onDesktop = !!w.onAllDesktops;
        if (!onDesktop && typeof desktop === "number") {
            onDesktop = w.desktop === desktop || w.desktop === -1;
        } else if (!onDesktop && w.desktops) {
            for (var d = 0; d < w.desktops.length; ++d)
                if (w.desktops[d] && desktop && w.desktops[d].id === desktop.id)
                    onDesktop = true;
        }
        list.push({x: g.x, y: g.y, width: g.width, height: g.height, pid: w.pid,
                   minimized: !!w.minimized, hidden: w.hidden === true,
                   normal: !!w.normalWindow, dialog: !!w.dialog,
                   stacking: typeof w.stackingOrder === "number" ? w.stackingOrder : i,
                   onDesktop: onDesktop});
    }
    callDBus(@SERVICE@, @PATH@, @INTERFACE@, "Windows", JSON.stringify(list));
})();
)js";
    script.replace("@SERVICE@", jsString(service));
    script.replace("@PATH@", jsString(path));
    script.replace("@INTERFACE@", jsString(interface));
    return script;
}

void queryKWinWindows(const QDBusConnection &bus, const KWinWindowsOptions &options, QObject *context,
                      std::function<void(const KWinWindowsResult &)> done) {
    auto *query = new KWinWindowsQuery(bus, options, context, std::move(done));
    query->start();
}

#include "kwin_windows.moc"
