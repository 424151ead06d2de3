#pragma once
// Plain values for one request and one answer of the demo service, so that
// the handlers do not depend on the HTTP server's own types.

#include <QByteArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QList>
#include <QPair>
#include <QSslConfiguration>
#include <QString>
#include <QStringList>
#include <QTcpServer>
#include <QUrlQuery>

#include <optional>

struct DemoRequest {
    QByteArray method;   // upper case
    QString path;        // decoded
    QByteArray rawPath;  // as sent
    QByteArray rawQuery; // as sent, without "?"
    QUrlQuery query;
    QList<QPair<QByteArray, QByteArray>> headers;
    QByteArray body;
    QString scheme; // "http" or "https"

    // The first header of that name (case-insensitive), or an empty array.
    QByteArray header(const QByteArray &name) const;
    // The value of a cookie, or an empty array.
    QByteArray cookie(const QByteArray &name) const;
    // The decoded path segments after `prefix` (which must end in "/");
    // empty segments are kept so that "a//b" gives "a", "", "b".
    QStringList segmentsAfter(const QString &prefix) const;
    // The value of a query item, fully decoded; nullopt-like empty string
    // with `present` false when it is not there.
    QString queryValue(const QString &key, bool *present = nullptr) const;
};

struct DemoReply {
    int status = 200;
    QByteArray contentType;
    QByteArray body;
    QList<QPair<QByteArray, QByteArray>> headers;

    void addHeader(const QByteArray &name, const QByteArray &value) {
        headers.append(qMakePair(name, value));
    }
    static DemoReply json(const QJsonObject &object, int status = 200);
    // {"error": message} with the status.
    static DemoReply error(int status, const QString &message);
    static DemoReply bytes(const QByteArray &data, const QByteArray &contentType, int status = 200);
};

// The host part of a Host header value ("127.0.0.1:47800", "[::1]:80"), or
// an empty text when it cannot be read.
QString demoHostOfHeader(const QByteArray &hostHeader);

// "Bearer", "Basic", ...: the scheme of an Authorization header, never its
// credentials.
QString demoAuthorizationScheme(const QByteArray &authorization);

// The listening socket of the demo service. It makes each connection itself
// (TLS when given a configuration) and watches the request heads before the
// HTTP server reads anything: a request announcing a body larger than
// `maxBodyBytes`, one without a length (chunked), or a head over 64 KiB is
// answered 413 / 411 / 431 and the connection closed, so no body is ever
// gathered in memory beyond the cap.
class DemoListener : public QTcpServer {
public:
    DemoListener(qint64 maxBodyBytes, std::optional<QSslConfiguration> tls, QObject *parent = nullptr);

protected:
    void incomingConnection(qintptr descriptor) override;

private:
    qint64 m_maxBodyBytes;
    std::optional<QSslConfiguration> m_tls;
};
