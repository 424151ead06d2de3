#pragma once
// Every call to the desktop portal goes through a helper process of ours.
//
// The portal tells who calls it by reading /proc/<pid>/root of the caller,
// and refuses the call when it cannot: it cannot for this application,
// which makes itself non-dumpable so that neither a core file nor another
// process of the user can read a patient's picture, name or the clinic
// password from its memory. The helper is the same program started again
// with kPortalHelperArgument: a fresh program is dumpable, and the helper
// holds no patient data. It makes the portal calls on a bus connection of
// its own and passes the answers back over a socket. Screen pictures do not
// pass through it: it hands on the picture file's name, and the application
// checks, reads and removes the file itself.
//
// (Making the application dumpable around each call instead would open it
// to any process of the same user at every capture: such a process may
// attach with ptrace while the window is open, and stays attached after it
// closes.)
//
// A process that is dumpable anyway (a test) serves the same requests on a
// thread of its own instead of a helper process.

#include "platform/portal/portal_global_shortcut.h"
#include "platform/portal/portal_screenshot.h"

#include <QJsonObject>
#include <QObject>
#include <QString>
#include <QStringList>

#include <functional>
#include <memory>

inline constexpr char kPortalHelperArgument[] = "--portal-helper";

class PortalHelper {
public:
    // The helper's program and its whole argument list (argv[0] first); an
    // empty path serves the requests in this process.
    struct Program {
        QString path;
        QStringList arguments;
    };
    explicit PortalHelper(Program program);
    // Ends the helper (it closes its portal sessions first).
    ~PortalHelper();
    // This process's helper: this program started again, or this process
    // itself when it is dumpable. Started on first use, and again after it
    // ended; lives as long as the process.
    static PortalHelper &shared();

    // Whether `service` offers the Screenshot interface; blocks at most
    // `timeoutMs` once the helper runs. Any thread.
    bool offersScreenshot(const QString &service, int timeoutMs, QString *problem = nullptr);
    // portalRegisterHostApp() through the helper; send it first.
    void registerHostApp(const QString &appID, const QString &service);
    // One picture of the screens: `done` runs once on the thread of
    // `context` (skipped when it is gone; the picture file is removed all the
    // same). Call on a thread with an event loop.
    void screenshot(const PortalScreenshotOptions &options, QObject *context,
                    std::function<void(const CaptureResult &)> done);

    // The helper process's id while it runs; 0 otherwise, or in this process.
    qint64 processId() const;

    // The channel underneath: `message` goes to the helper with a fresh
    // "id", returned; the helper's messages with that id go to `handler` (on
    // a thread of the channel's own, so it must only hand them on) until one
    // says "final", or until forget(id). When the helper ends, every handler
    // gets a last, final message with "problem".
    using Handler = std::function<void(const QJsonObject &)>;
    int send(QJsonObject message, Handler handler = {});
    // No more messages for `id` reach its handler once this returns.
    void forget(int id);

    PortalHelper(const PortalHelper &) = delete;
    PortalHelper &operator=(const PortalHelper &) = delete;

private:
    struct Private;
    std::unique_ptr<Private> d;
};

// A global shortcut through the helper (PortalGlobalShortcut there), with
// the same signals; the session is closed when the object goes.
class PortalHelperShortcut : public QObject {
    Q_OBJECT
public:
    PortalHelperShortcut(PortalHelper &helper, PortalShortcutOptions options, QObject *parent = nullptr);
    ~PortalHelperShortcut() override;
    void start();

signals:
    void bound(const QString &trigger);
    void unavailable(const QString &problem);
    void activated();

private:
    void deliver(const QJsonObject &message);

    PortalHelper &m_helper;
    PortalShortcutOptions m_options;
    int m_id = 0;
};

// The helper process: serves the requests on file descriptor 3 until it
// closes; returns the exit code.
int runPortalHelper(int argc, char **argv);
