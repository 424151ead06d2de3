#pragma once
// Plain values for one request and one answer of the demo service, so that
// the handlers do not depend on the HTTP server's own types.

#include <QByteArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QList>
#include <QPair>
#include <QString>
#include <QStringList>
#include <QUrlQuery>

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
