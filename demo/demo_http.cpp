#include "demo/demo_http.h"

#include <QUrl>

QByteArray DemoRequest::header(const QByteArray &name) const {
    for (const auto &[key, value] : headers)
        if (key.compare(name, Qt::CaseInsensitive) == 0)
            return value;
    return {};
}

QByteArray DemoRequest::cookie(const QByteArray &name) const {
    for (const auto &[key, value] : headers) {
        if (key.compare("cookie", Qt::CaseInsensitive) != 0)
            continue;
        for (const QByteArray &item : value.split(';')) {
            const QByteArray pair = item.trimmed();
            const qsizetype eq = pair.indexOf('=');
            if (eq > 0 && pair.left(eq).trimmed() == name)
                return pair.mid(eq + 1).trimmed();
        }
    }
    return {};
}

QStringList DemoRequest::segmentsAfter(const QString &prefix) const {
    const QByteArray encodedPrefix = QUrl::toPercentEncoding(prefix, "/");
    QByteArray rest = rawPath;
    if (rest.startsWith(encodedPrefix))
        rest = rest.mid(encodedPrefix.size());
    else if (path.startsWith(prefix))
        rest = QUrl::toPercentEncoding(path.mid(prefix.size()), "/");
    else
        return {};
    QStringList segments;
    for (const QByteArray &segment : rest.split('/'))
        segments.append(QUrl::fromPercentEncoding(segment));
    return segments;
}

QString DemoRequest::queryValue(const QString &key, bool *present) const {
    const bool has = query.hasQueryItem(key);
    if (present)
        *present = has;
    return has ? query.queryItemValue(key, QUrl::FullyDecoded) : QString();
}

DemoReply DemoReply::json(const QJsonObject &object, int status) {
    return bytes(QJsonDocument(object).toJson(QJsonDocument::Compact), "application/json; charset=utf-8",
                 status);
}

DemoReply DemoReply::error(int status, const QString &message) {
    return json(QJsonObject{{QStringLiteral("error"), message}}, status);
}

DemoReply DemoReply::bytes(const QByteArray &data, const QByteArray &contentType, int status) {
    DemoReply reply;
    reply.status = status;
    reply.contentType = contentType;
    reply.body = data;
    return reply;
}
