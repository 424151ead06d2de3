#pragma once
// One non-interactive Screenshot request to the desktop portal
// (org.freedesktop.portal.Screenshot) over the session bus.
//
// The request's Response signal is subscribed before the call, on the path
// the handle token makes known in advance, so a fast answer is never
// missed. The picture file is read at once (where it is safe to) and
// removed on every path, also when it arrives after the request timed out.
// No nested event loop runs.

#include "platform/windowserver/capture_result.h"

#include <QDBusConnection>
#include <QDateTime>
#include <QObject>
#include <QString>

#include <functional>

struct PortalScreenshotOptions {
    QString service = QStringLiteral("org.freedesktop.portal.Desktop");
    // "x11:<hex window id>" or "wayland:<exported handle>"; some desktops
    // refuse an empty one, so callers always pass one when they have one.
    QString parentWindow;
    // The request is closed and reported failed after this long. The first
    // request may show the desktop's permission question, so seconds, not
    // milliseconds.
    int timeoutMs = 20000;
};

// What the portal answered one Screenshot request.
struct PortalScreenshotAnswer {
    // The call failed or found no answer in time; nothing else counts then.
    QString problem;
    // The request's Response: 0 done, 1 cancelled by the user, 2 refused.
    uint code = 2;
    QString uri; // the picture file, with code 0
};

// Starts the request on `bus`; `done` runs once, on the calling thread. A
// picture file that arrives after the request was given up is removed
// unread. Call on a thread with an event loop.
void callPortalScreenshot(const QDBusConnection &bus, const PortalScreenshotOptions &options,
                          std::function<void(const PortalScreenshotAnswer &)> done);

// The outcome of `answer` to a request made at `asked`: the picture file is
// checked, read and removed on every path (takeScreenshotFile()).
CaptureResult capturePortalAnswer(const PortalScreenshotAnswer &answer, const QDateTime &asked);

// Whether `service` on `bus` offers the Screenshot interface (a blocking
// property read of at most `timeoutMs`).
bool portalOffersScreenshot(const QDBusConnection &bus,
                            const QString &service = QStringLiteral("org.freedesktop.portal.Desktop"),
                            int timeoutMs = 1500, QString *problem = nullptr);

// What the user reads when the desktop gave no picture.
QString portalFailureAdvice(const QString &reason);

namespace kc_portal_detail {
class ScreenshotRequest : public QObject {
    Q_OBJECT
public:
    ScreenshotRequest(const QDBusConnection &bus, const PortalScreenshotOptions &options,
                      std::function<void(const PortalScreenshotAnswer &)> done);
    void start();

public slots:
    void onResponse(uint code, const QVariantMap &results);

private:
    void subscribe(const QString &path);
    void finish(const PortalScreenshotAnswer &answer);
    void timedOut();

    QDBusConnection m_bus;
    PortalScreenshotOptions m_options;
    std::function<void(const PortalScreenshotAnswer &)> m_done;
    QString m_path;
    bool m_answered = false;
    bool m_finished = false;
};
} // namespace kc_portal_detail
