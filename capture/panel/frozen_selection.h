#pragma once
// The capture panel's side of a selection over a frozen picture of the
// screens (Wayland desktops), and how it tells the user that no picture
// could be taken.

#include <QString>

class QWidget;

// Tells the user, without blocking, why no capture is possible and what to
// do; the application stays usable. Also written to stderr.
void showCaptureProblem(const QString &message, QWidget *near);

// The handle by which the desktop knows `window` ("x11:<hex id>" under X11
// or XWayland); empty where the platform has none.
QString desktopWindowHandle(const QWidget *window);
