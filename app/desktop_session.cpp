#include "app/desktop_session.h"

#include <QtGlobal>

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
