#pragma once
// The desktop application: the Qt application object, the delegate's
// launch sequence, the login window and the tray menu.

#include <QString>
#include <QStringList>

// Checks the application's own command-line options (after Qt has taken
// its own): "--service-url URL" or "--service-url=URL" with an absolute http
// or https URL. Returns an error message, or an empty text when all is well.
QString kcCheckApplicationArguments(const QStringList &arguments);

// Runs the desktop application until it quits; returns the exit status.
int kcRunDesktopApplication(int argc, char **argv);
