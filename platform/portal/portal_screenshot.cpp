#include "platform/portal/portal_screenshot.h"

#include "platform/portal/portal_request.h"
#include "platform/portal/screenshot_file.h"

#include <QCoreApplication>
#include <QDBusInterface>
#include <QDBusMessage>
#include <QDBusPendingCallWatcher>
#include <QDBusPendingReply>
#include <QDBusVariant>
#include <QDateTime>
#include <QTimer>
#include <QUrl>

#include <QMutex>
#include <QMutexLocker>

#include <sys/prctl.h>

namespace {
const QString kScreenshotInterface = QStringLiteral("org.freedesktop.portal.Screenshot");
// How long a request stays around after its answer was given up, to remove a
// picture that still arrives.
constexpr int kLateAnswerMs = 60000;

// The portal tells who calls it from /proc/<pid>/root, which a process that
// made itself non-dumpable (so that no core file ever holds a patient's
// image) does not let it read: it then refuses the call. Dumpable again only
// while a call is on its way to the portal; no core file is written meanwhile
// either (the core size limit stays 0).
QMutex dumpableLock;
int dumpableHolds = 0;
int dumpableBefore = 1;

void holdDumpable() {
    QMutexLocker locker(&dumpableLock);
    if (dumpableHolds++ == 0) {
        dumpableBefore = ::prctl(PR_GET_DUMPABLE, 0, 0, 0, 0);
        if (dumpableBefore == 0)
            ::prctl(PR_SET_DUMPABLE, 1, 0, 0, 0);
    }
}

void letGoOfDumpable() {
    QMutexLocker locker(&dumpableLock);
    if (--dumpableHolds == 0 && dumpableBefore == 0)
        ::prctl(PR_SET_DUMPABLE, 0, 0, 0, 0);
}

} // namespace

namespace kc_portal_detail {

ScreenshotRequest::ScreenshotRequest(const QDBusConnection &bus, const PortalScreenshotOptions &options,
                                     QObject *context, std::function<void(const CaptureResult &)> done)
    : m_bus(bus), m_options(options), m_context(context), m_done(std::move(done)) {}

ScreenshotRequest::~ScreenshotRequest() {
    callArrived();
}

void ScreenshotRequest::callArrived() {
    if (m_holdsDumpable) {
        m_holdsDumpable = false;
        letGoOfDumpable();
    }
}

void ScreenshotRequest::subscribe(const QString &path) {
    if (!m_path.isEmpty())
        m_bus.disconnect(m_options.service, m_path, kPortalRequestInterface, QStringLiteral("Response"), this,
                         SLOT(onResponse(uint, QVariantMap)));
    m_path = path;
    m_bus.connect(m_options.service, m_path, kPortalRequestInterface, QStringLiteral("Response"), this,
                  SLOT(onResponse(uint, QVariantMap)));
}

void ScreenshotRequest::start() {
    if (!m_bus.isConnected()) {
        finish(CaptureResult::failed(portalFailureAdvice(QStringLiteral("there is no session bus"))));
        return;
    }
    m_started = QDateTime::currentDateTimeUtc();
    const QString token = portalNewToken();
    subscribe(portalObjectPath(m_bus, QStringLiteral("request"), token));
    QDBusMessage call = QDBusMessage::createMethodCall(m_options.service, kPortalDesktopPath,
                                                       kScreenshotInterface, QStringLiteral("Screenshot"));
    QVariantMap options;
    options.insert(QStringLiteral("handle_token"), token);
    options.insert(QStringLiteral("modal"), false);
    options.insert(QStringLiteral("interactive"), false);
    call << m_options.parentWindow << options;
    holdDumpable();
    m_holdsDumpable = true;
    auto *watcher = new QDBusPendingCallWatcher(m_bus.asyncCall(call, m_options.timeoutMs), this);
    connect(watcher, &QDBusPendingCallWatcher::finished, this, [this](QDBusPendingCallWatcher *w) {
        w->deleteLater();
        callArrived();
        QDBusPendingReply<QDBusObjectPath> reply = *w;
        if (reply.isError()) {
            finish(CaptureResult::failed(portalFailureAdvice(reply.error().message())));
            return;
        }
        // Older portals choose the path themselves.
        const QString path = reply.value().path();
        if (!m_answered && !path.isEmpty() && path != m_path)
            subscribe(path);
    });
    QTimer::singleShot(m_options.timeoutMs, this, [this] { timedOut(); });
}

void ScreenshotRequest::timedOut() {
    if (m_finished)
        return;
    QDBusMessage close = QDBusMessage::createMethodCall(m_options.service, m_path, kPortalRequestInterface,
                                                        QStringLiteral("Close"));
    m_bus.asyncCall(close);
    finish(CaptureResult::failed(portalFailureAdvice(
        QStringLiteral("the desktop did not answer within %1 seconds").arg(m_options.timeoutMs / 1000))));
}

void ScreenshotRequest::onResponse(uint code, const QVariantMap &results) {
    if (m_answered)
        return;
    m_answered = true;
    CaptureResult result;
    const QUrl uri(results.value(QStringLiteral("uri")).toString());
    // The file goes away on every path, also when the answer came too late
    // or says the request failed.
    const bool hasFile = uri.isLocalFile();
    ScreenshotFileContents contents;
    if (hasFile)
        contents = takeScreenshotFile(uri.toLocalFile(), m_started);
    if (code == 1) {
        result = CaptureResult::cancelled();
    } else if (code != 0) {
        result =
            CaptureResult::failed(portalFailureAdvice(QStringLiteral("the desktop refused the screenshot")));
    } else if (!hasFile) {
        result = CaptureResult::failed(portalFailureAdvice(
            QStringLiteral("the desktop answered without a picture file (%1)").arg(uri.toString())));
    } else if (!contents.problem.isEmpty()) {
        result = CaptureResult::failed(portalFailureAdvice(contents.problem));
    } else {
        QImage image = QImage::fromData(contents.bytes);
        result = image.isNull() ? CaptureResult::failed(portalFailureAdvice(
                                      QStringLiteral("the desktop's picture cannot be decoded")))
                                : CaptureResult::captured(std::move(image));
    }
    finish(result);
    deleteLater();
}

void ScreenshotRequest::finish(const CaptureResult &result) {
    if (m_finished)
        return;
    m_finished = true;
    if (m_context && m_done)
        m_done(result);
    m_done = nullptr;
    if (m_answered) {
        deleteLater();
        return;
    }
    // Still listening for a late answer, whose file must not stay behind.
    QTimer::singleShot(kLateAnswerMs, this, &QObject::deleteLater);
}

} // namespace kc_portal_detail

void requestPortalScreenshot(const QDBusConnection &bus, const PortalScreenshotOptions &options,
                             QObject *context, std::function<void(const CaptureResult &)> done) {
    auto *request = new kc_portal_detail::ScreenshotRequest(bus, options, context, std::move(done));
    request->start();
}

bool portalOffersScreenshot(const QDBusConnection &bus, const QString &service, int timeoutMs,
                            QString *problem) {
    if (!bus.isConnected()) {
        if (problem)
            *problem = QStringLiteral("there is no session bus");
        return false;
    }
    QDBusMessage get = QDBusMessage::createMethodCall(service, kPortalDesktopPath,
                                                      QStringLiteral("org.freedesktop.DBus.Properties"),
                                                      QStringLiteral("Get"));
    get << kScreenshotInterface << QStringLiteral("version");
    const QDBusMessage reply = bus.call(get, QDBus::Block, timeoutMs);
    if (reply.type() == QDBusMessage::ReplyMessage)
        return true;
    if (problem)
        *problem = QStringLiteral("the desktop portal offers no screenshots (%1)").arg(reply.errorMessage());
    return false;
}

QString portalFailureAdvice(const QString &reason) {
    return QStringLiteral("KelvraCapture could not take a picture of the screen: %1.\n"
                          "Allow screenshots for KelvraCapture in the desktop's privacy settings, or ask "
                          "your administrator to install xdg-desktop-portal with the back end of your "
                          "desktop (xdg-desktop-portal-gnome, -kde or -wlr).")
        .arg(reason);
}
