#pragma once
// Which URLs may carry a password, a client secret or patient data: https
// ones, and plain http ones only when they stay on this computer.

#include <QString>
#include <QUrl>

// Whether `host` names this computer: "localhost" (and names under
// ".localhost"), 127.0.0.0/8, ::1, or an IPv4-mapped loopback address.
bool kcIsLoopbackHost(const QString &host);

// Empty when `url` is an https URL, or an http URL to a loopback host.
// Otherwise one sentence for the user saying why the URL is refused; `what`
// names the URL ("The clinic service URL") and `secret` what would travel in
// clear ("your password").
QString kcInsecureURLProblem(const QUrl &url, const QString &what, const QString &secret);
