#pragma once
// A throw-away certificate authority and server certificate, made with the
// openssl command at start, for serving HTTPS on the loopback interface.

#include <QSslConfiguration>
#include <QString>

// Makes a new CA and server certificate at every start and writes only the
// CA certificate, ca.pem, into `folder` (created when missing): no private
// key is kept on disk (keys are made in a private temporary folder, read into
// memory and removed; keys left in `folder` by older versions are removed).
// The CA may only vouch for this computer (name constraints: 127.0.0.0/8,
// ::1, localhost, plus `host` when it is another name or address), so
// trusting ca.pem cannot make any other site trusted. The server certificate
// names 127.0.0.1, ::1 and localhost, plus `host`. On success `config` holds
// the server certificate, its chain and key.
bool makeDemoCertificates(const QString &folder, const QString &host, QSslConfiguration *config,
                          QString *error);
