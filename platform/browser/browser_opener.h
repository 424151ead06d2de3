#pragma once
// Opens a web page in the user's default browser. The code that needs a
// browser (the EHR sign-in) talks to KCBrowserOpener; kcSystemBrowserOpener()
// is the desktop's, and tests put a browser of their own in its place.

#include <QString>
#include <QUrl>

#include <functional>
#include <memory>

class KCBrowserOpener {
public:
    virtual ~KCBrowserOpener() = default;
    // Asks for `url` to be shown; `done` runs once, on the main thread, with
    // "" when a browser was asked to open it, else why not.
    virtual void open(const QUrl &url, std::function<void(const QString &problem)> done) = 0;
};

// The desktop's default browser: the command in KELVRA_BROWSER when set (the
// address is its last argument; for troubleshooting and tests), else the
// desktop portal's OpenURI (through the portal helper), else xdg-open.
std::shared_ptr<KCBrowserOpener> kcSystemBrowserOpener();
