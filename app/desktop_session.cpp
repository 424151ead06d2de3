#include "app/desktop_session.h"

#include "platform/portal/portal_helper.h"

#include <QtGlobal>

#include <cstdio>

bool kcIsWaylandSession() {
    return qEnvironmentVariable("XDG_SESSION_TYPE").compare(QLatin1String("wayland"), Qt::CaseInsensitive) ==
               0 ||
           !qEnvironmentVariable("WAYLAND_DISPLAY").isEmpty();
}

void kcChooseQtPlatform() {
    if (!kcIsWaylandSession() || qEnvironmentVariableIsSet("QT_QPA_PLATFORM"))
        return;
    if (!qEnvironmentVariable("DISPLAY").isEmpty())
        qputenv("QT_QPA_PLATFORM", "xcb");
}

void kcBindGlobalCaptureShortcut(QObject *parent, const QString &appID, std::function<void()> capture,
                                 const QString &portalService) {
    PortalHelper &portal = PortalHelper::shared();
    portal.registerHostApp(appID, portalService);
    PortalShortcutOptions options;
    options.service = portalService;
    options.id = QStringLiteral("capture");
    options.description = QStringLiteral("Start a KelvraCapture capture");
    options.preferredTrigger = QStringLiteral("SHIFT+M");
    auto *shortcut = new PortalHelperShortcut(portal, options, parent);
    QObject::connect(shortcut, &PortalHelperShortcut::activated, shortcut, std::move(capture));
    QObject::connect(shortcut, &PortalHelperShortcut::bound, shortcut, [](const QString &trigger) {
        std::fprintf(stderr, "kelvra-capture: global shortcut %s starts a capture\n",
                     qPrintable(trigger.isEmpty() ? QStringLiteral("Shift+M") : trigger));
    });
    QObject::connect(shortcut, &PortalHelperShortcut::unavailable, shortcut, [](const QString &problem) {
        std::fprintf(stderr,
                     "kelvra-capture: no global shortcut: %s; bind `kelvra-capture capture` to a key in the "
                     "desktop's keyboard settings\n",
                     qPrintable(problem));
    });
    shortcut->start();
}
