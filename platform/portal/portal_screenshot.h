#pragma once
// One non-interactive Screenshot request to the desktop portal
// (org.freedesktop.portal.Screenshot) over the session bus.
//
// The request's Response signal is subscribed before the call, on the path
// the handle token makes known in advance, so a fast answer is never
// missed. The picture file is read at once and removed on every path, also
// when it arrives after the request timed out. No nested event loop runs.

#include "platform/windowserver/capture_result.h"

#include <QDBusConnection>
#include <QDateTime>
#include <QObject>
#include <QPointer>
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

// Starts the request on `bus`; `done` runs once on the thread of `context`
// (skipped when `context` is gone). Call on the thread that owns `context`.
void requestPortalScreenshot(const QDBusConnection &bus, const PortalScreenshotOptions &options,
                             QObject *context, std::function<void(const CaptureResult &)> done);

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
    ScreenshotRequest(const QDBusConnection &bus, const PortalScreenshotOptions &options, QObject *context,
                      std::function<void(const CaptureResult &)> done);
    ~ScreenshotRequest() override;
    void start();

public slots:
    void onResponse(uint code, const QVariantMap &results);

private:
    void subscribe(const QString &path);
    void finish(const CaptureResult &result);
    void timedOut();
    // The portal has the call (answered or failed): the process may be
    // non-dumpable again.
    void callArrived();

    QDBusConnection m_bus;
    PortalScreenshotOptions m_options;
    QPointer<QObject> m_context;
    std::function<void(const CaptureResult &)> m_done;
    QString m_path;
    QDateTime m_started;
    bool m_answered = false;
    bool m_finished = false;
    bool m_holdsDumpable = false;
};
} // namespace kc_portal_detail
