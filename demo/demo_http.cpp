#include "demo/demo_http.h"

#include <QHostAddress>
#include <QSslSocket>
#include <QTcpSocket>
#include <QUrl>

#include <memory>

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

QString demoHostOfHeader(const QByteArray &hostHeader) {
    QUrl url;
    url.setAuthority(QString::fromLatin1(hostHeader.trimmed()), QUrl::StrictMode);
    if (!url.isValid() || !url.userInfo().isEmpty())
        return {};
    return url.host();
}

QString demoAuthorizationScheme(const QByteArray &authorization) {
    const QByteArray trimmed = authorization.trimmed();
    const qsizetype space = trimmed.indexOf(' ');
    return QString::fromLatin1(space < 0 ? trimmed : trimmed.left(space));
}

namespace {

// Follows the request heads of one connection. Runs before the HTTP server
// reads each chunk, so it sees every byte once.
class HeadGuard {
public:
    static constexpr qsizetype kMaxHead = 64 * 1024;

    HeadGuard(QTcpSocket *socket, qint64 maxBody) : m_socket(socket), m_maxBody(maxBody) {}

    void readyRead() {
        if (m_refused) {
            m_socket->readAll(); // nothing more reaches the server
            return;
        }
        QByteArray chunk = m_socket->peek(m_socket->bytesAvailable());
        while (!chunk.isEmpty()) {
            if (m_remaining > 0) {
                const qint64 take = qMin<qint64>(m_remaining, chunk.size());
                m_remaining -= take;
                chunk = chunk.mid(take);
                continue;
            }
            m_head += chunk;
            chunk.clear();
            const qsizetype end = m_head.indexOf("\r\n\r\n");
            if (end < 0) {
                if (m_head.size() > kMaxHead)
                    refuse(431, "Request Header Fields Too Large", "the request head is too large");
                return;
            }
            const QByteArray head = m_head.left(end);
            chunk = m_head.mid(end + 4);
            m_head.clear();
            qint64 length = 0;
            for (const QByteArray &line : head.split('\n')) {
                const qsizetype colon = line.indexOf(':');
                if (colon <= 0)
                    continue;
                const QByteArray name = line.left(colon).trimmed().toLower();
                const QByteArray value = line.mid(colon + 1).trimmed();
                if (name == "transfer-encoding") {
                    refuse(411, "Length Required", "request bodies need a Content-Length");
                    return;
                }
                if (name == "content-length") {
                    bool ok = false;
                    length = value.toLongLong(&ok);
                    if (!ok || length < 0) {
                        refuse(400, "Bad Request", "the Content-Length cannot be read");
                        return;
                    }
                }
            }
            if (length > m_maxBody) {
                refuse(413, "Payload Too Large",
                       "the request body is larger than the " + QByteArray::number(m_maxBody) +
                           " bytes this service accepts");
                return;
            }
            m_remaining = length;
        }
    }

private:
    void refuse(int status, const QByteArray &reason, const QByteArray &message) {
        m_refused = true;
        m_socket->readAll();
        const QByteArray body = "{\"error\":\"" + message + "\"}";
        m_socket->write("HTTP/1.1 " + QByteArray::number(status) + ' ' + reason +
                        "\r\nContent-Type: application/json\r\nContent-Length: " +
                        QByteArray::number(body.size()) + "\r\nConnection: close\r\n\r\n" + body);
        m_socket->disconnectFromHost();
    }

    QTcpSocket *m_socket;
    qint64 m_maxBody;
    QByteArray m_head;
    qint64 m_remaining = 0;
    bool m_refused = false;
};

} // namespace

DemoListener::DemoListener(qint64 maxBodyBytes, std::optional<QSslConfiguration> tls, QObject *parent)
    : QTcpServer(parent), m_maxBodyBytes(maxBodyBytes), m_tls(std::move(tls)) {}

void DemoListener::incomingConnection(qintptr descriptor) {
    QTcpSocket *socket = nullptr;
    if (m_tls) {
        auto *ssl = new QSslSocket(this);
        ssl->setSslConfiguration(*m_tls);
        socket = ssl;
    } else {
        socket = new QTcpSocket(this);
    }
    if (!socket->setSocketDescriptor(descriptor)) {
        delete socket;
        return;
    }
    // Connected before the HTTP server connects its own reader.
    auto guard = std::make_shared<HeadGuard>(socket, m_maxBodyBytes);
    connect(socket, &QTcpSocket::readyRead, socket, [guard] { guard->readyRead(); });
    if (auto *ssl = qobject_cast<QSslSocket *>(socket))
        ssl->startServerEncryption();
    addPendingConnection(socket);
}
