#pragma once
// A throw-away certificate authority and server certificate, made with the
// openssl command at start, for serving HTTPS on the loopback interface.

#include <QSslConfiguration>
#include <QString>

// Writes ca.pem, ca.key, server.pem and server.key into `folder` (created
// when missing; keys readable by the owner only). The server certificate
// names 127.0.0.1, ::1 and localhost, plus `host` when it is another name or
// address. On success `config` holds the server certificate, its chain and
// key.
bool makeDemoCertificates(const QString &folder, const QString &host, QSslConfiguration *config,
                          QString *error);
