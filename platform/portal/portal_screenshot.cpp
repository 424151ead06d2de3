#include "platform/portal/portal_screenshot.h"

#include "platform/portal/portal_request.h"
#include "platform/portal/screenshot_file.h"

#include <QDBusInterface>
#include <QDBusMessage>
#include <QDBusPendingCallWatcher>
#include <QDBusPendingReply>
#include <QDBusVariant>
#include <QDateTime>
#include <QTimer>
#include <QUrl>

#include <QFile>

#include <unistd.h>

namespace {
const QString kScreenshotInterface = QStringLiteral("org.freedesktop.portal.Screenshot");
// How long a request stays around after its answer was given up, to remove a
// picture that still arrives.
constexpr int kLateAnswerMs = 60000;

PortalScreenshotAnswer unanswered(const QString &problem) {
    PortalScreenshotAnswer answer;
    answer.problem = problem;
    return answer;
}
} // namespace

namespace kc_portal_detail {

ScreenshotRequest::ScreenshotRequest(const QDBusConnection &bus, const PortalScreenshotOptions &options,
                                     std::function<void(const PortalScreenshotAnswer &)> done)
    : m_bus(bus), m_options(options), m_done(std::move(done)) {}

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
        finish(unanswered(QStringLiteral("there is no session bus")));
        return;
    }
    const QString token = portalNewToken();
    subscribe(portalObjectPath(m_bus, QStringLiteral("request"), token));
    QDBusMessage call = QDBusMessage::createMethodCall(m_options.service, kPortalDesktopPath,
                                                       kScreenshotInterface, QStringLiteral("Screenshot"));
    QVariantMap options;
    options.insert(QStringLiteral("handle_token"), token);
    options.insert(QStringLiteral("modal"), false);
    options.insert(QStringLiteral("interactive"), false);
    call << m_options.parentWindow << options;
    auto *watcher = new QDBusPendingCallWatcher(m_bus.asyncCall(call, m_options.timeoutMs), this);
    connect(watcher, &QDBusPendingCallWatcher::finished, this, [this](QDBusPendingCallWatcher *w) {
        w->deleteLater();
        QDBusPendingReply<QDBusObjectPath> reply = *w;
        if (reply.isError()) {
            finish(unanswered(reply.error().message()));
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
    finish(unanswered(
        QStringLiteral("the desktop did not answer within %1 seconds").arg(m_options.timeoutMs / 1000)));
}

void ScreenshotRequest::onResponse(uint code, const QVariantMap &results) {
    if (m_answered)
        return;
    m_answered = true;
    const QString uri = results.value(QStringLiteral("uri")).toString();
    if (m_finished) {
        // Given up already: the picture goes, unread.
        const QUrl url(uri);
        if (url.isLocalFile())
            ::unlink(QFile::encodeName(url.toLocalFile()).constData());
    } else {
        finish({QString(), code, uri});
    }
    deleteLater();
}

void ScreenshotRequest::finish(const PortalScreenshotAnswer &answer) {
    if (m_finished)
        return;
    m_finished = true;
    if (m_done)
        m_done(answer);
    m_done = nullptr;
    if (m_answered) {
        deleteLater();
        return;
    }
    // Still listening for a late answer, whose file must not stay behind.
    QTimer::singleShot(kLateAnswerMs, this, &QObject::deleteLater);
}

} // namespace kc_portal_detail

void callPortalScreenshot(const QDBusConnection &bus, const PortalScreenshotOptions &options,
                          std::function<void(const PortalScreenshotAnswer &)> done) {
    auto *request = new kc_portal_detail::ScreenshotRequest(bus, options, std::move(done));
    request->start();
}

CaptureResult capturePortalAnswer(const PortalScreenshotAnswer &answer, const QDateTime &asked) {
    // The file goes away on every path, also when the answer says the
    // request failed.
    const QUrl uri(answer.uri);
    const bool hasFile = answer.problem.isEmpty() && uri.isLocalFile();
    ScreenshotFileContents contents;
    if (hasFile)
        contents = takeScreenshotFile(uri.toLocalFile(), asked);
    if (!answer.problem.isEmpty())
        return CaptureResult::failed(portalFailureAdvice(answer.problem));
    if (answer.code == 1)
        return CaptureResult::cancelled();
    if (answer.code != 0)
        return CaptureResult::failed(
            portalFailureAdvice(QStringLiteral("the desktop refused the screenshot")));
    if (!hasFile)
        return CaptureResult::failed(portalFailureAdvice(
            QStringLiteral("the desktop answered without a picture file (%1)").arg(answer.uri)));
    if (contents.exposed)
        return CaptureResult::failed(
            QStringLiteral("KelvraCapture could not take a picture of the screen: %1.")
                .arg(contents.problem));
    if (!contents.problem.isEmpty())
        return CaptureResult::failed(portalFailureAdvice(contents.problem));
    QImage image = QImage::fromData(contents.bytes);
    return image.isNull() ? CaptureResult::failed(portalFailureAdvice(
                                QStringLiteral("the desktop's picture cannot be decoded")))
                          : CaptureResult::captured(std::move(image));
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
