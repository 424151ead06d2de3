#pragma once
// A small HTTP/1.1 server on 127.0.0.1 for tests: it records every request
// and answers through a handler that the test sets. The handler may hold an
// answer back (return std::nullopt) and send it later with answer().

#include <QByteArray>
#include <QHash>
#include <QList>
#include <QObject>
#include <QPair>
#include <QPointer>
#include <QTcpServer>
#include <QTcpSocket>
#include <QUrl>
#include <functional>
#include <optional>

struct ScriptedRequest {
    int id = 0;
    QByteArray method;
    QByteArray target; // path and query as sent
    QList<QPair<QByteArray, QByteArray>> headers;
    QByteArray body;

    QByteArray header(const QByteArray &name) const {
        for (const auto &h : headers)
            if (h.first.compare(name, Qt::CaseInsensitive) == 0)
                return h.second;
        return {};
    }
    QByteArray path() const {
        return target.left(target.indexOf('?') < 0 ? target.size() : target.indexOf('?'));
    }
};

struct ScriptedAnswer {
    int status = 200;
    QByteArray contentType = "application/json";
    QByteArray body = "{}";
    // More header fields (a redirect's Location, ...).
    QList<QPair<QByteArray, QByteArray>> headers = {};
};

class ScriptedServer : public QObject {

public:
    using Handler = std::function<std::optional<ScriptedAnswer>(const ScriptedRequest &)>;

    ScriptedServer() {
        connect(&m_server, &QTcpServer::newConnection, this, &ScriptedServer::onConnection);
        m_server.listen(QHostAddress::LocalHost, 0);
    }

    QUrl url(const QString &path = QStringLiteral("/")) const {
        return QUrl(QStringLiteral("http://127.0.0.1:%1%2").arg(m_server.serverPort()).arg(path));
    }
    void setHandler(Handler handler) { m_handler = std::move(handler); }
    const QList<ScriptedRequest> &requests() const { return m_requests; }
    QList<ScriptedRequest> requestsTo(const QByteArray &path) const {
        QList<ScriptedRequest> out;
        for (const auto &r : m_requests)
            if (r.path() == path)
                out.append(r);
        return out;
    }

    // Sends a held-back answer to the request with that id.
    void answer(int requestID, const ScriptedAnswer &a) {
        QPointer<QTcpSocket> socket = m_pending.take(requestID);
        if (!socket)
            return;
        QByteArray out = "HTTP/1.1 " + QByteArray::number(a.status) + " Status\r\n";
        out += "Content-Type: " + a.contentType + "\r\n";
        out += "Content-Length: " + QByteArray::number(a.body.size()) + "\r\n";
        for (const auto &h : a.headers)
            out += h.first + ": " + h.second + "\r\n";
        out += "Connection: close\r\n\r\n" + a.body;
        socket->write(out);
        socket->disconnectFromHost();
    }

private:
    void onConnection() {
        while (QTcpSocket *socket = m_server.nextPendingConnection()) {
            connect(socket, &QTcpSocket::readyRead, this, [this, socket] { onData(socket); });
            connect(socket, &QTcpSocket::disconnected, socket, &QObject::deleteLater);
        }
    }

    void onData(QTcpSocket *socket) {
        QByteArray &buffer = m_buffers[socket];
        buffer += socket->readAll();
        const qsizetype headerEnd = buffer.indexOf("\r\n\r\n");
        if (headerEnd < 0)
            return;
        ScriptedRequest request;
        const QList<QByteArray> lines = buffer.left(headerEnd).split('\n');
        const QList<QByteArray> first = lines.value(0).trimmed().split(' ');
        request.method = first.value(0);
        request.target = first.value(1);
        qsizetype length = 0;
        for (qsizetype i = 1; i < lines.size(); ++i) {
            const qsizetype colon = lines[i].indexOf(':');
            if (colon < 0)
                continue;
            const QByteArray name = lines[i].left(colon).trimmed(), value = lines[i].mid(colon + 1).trimmed();
            request.headers.append({name, value});
            if (name.compare("content-length", Qt::CaseInsensitive) == 0)
                length = value.toLongLong();
        }
        if (buffer.size() < headerEnd + 4 + length)
            return;
        request.body = buffer.mid(headerEnd + 4, length);
        m_buffers.remove(socket);
        request.id = ++m_lastID;
        m_requests.append(request);
        m_pending.insert(request.id, socket);
        const std::optional<ScriptedAnswer> a = m_handler ? m_handler(request) : ScriptedAnswer{};
        if (a)
            answer(request.id, *a);
    }

    QTcpServer m_server;
    Handler m_handler;
    QList<ScriptedRequest> m_requests;
    QHash<QTcpSocket *, QByteArray> m_buffers;
    QHash<int, QPointer<QTcpSocket>> m_pending;
    int m_lastID = 0;
};
