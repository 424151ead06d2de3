#pragma once
// Which URLs may carry a password, a client secret or patient data: https
// ones, and plain http ones only when they stay on this computer.

#include <QHostAddress>
#include <QList>
#include <QString>
#include <QUrl>

#include <functional>

// Whether `address` is one of this computer's loopback addresses:
// 127.0.0.0/8, ::1, or an IPv4-mapped 127.0.0.0/8 address.
bool kcIsLoopbackAddress(const QHostAddress &address);

// Whether `host` names this computer by its form alone: a loopback address,
// "localhost" or a name under ".localhost" (never looked up). Such hosts
// are reached directly, never through a proxy.
bool kcIsLoopbackName(const QString &host);

// The addresses a host name resolves to (empty when it does not resolve).
using KCHostResolver = std::function<QList<QHostAddress>(const QString &name)>;

// Whether `host` names this computer: a loopback address, or "localhost" or
// a name under ".localhost" that resolves to loopback addresses only (a
// resolver may answer anything for such a name). Names are looked up on each
// call, blocking, with `resolve` (the system's resolver when not given);
// other names are never looked up and never count.
bool kcIsLoopbackHost(const QString &host, const KCHostResolver &resolve = {});

// Empty when `url` is an https URL, or an http URL to a loopback host.
// Otherwise one sentence for the user saying why the URL is refused; `what`
// names the URL ("The clinic service URL") and `secret` what would travel in
// clear ("your password").
QString kcInsecureURLProblem(const QUrl &url, const QString &what, const QString &secret);
