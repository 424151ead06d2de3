#include "emr/fhir_loopback_receiver.h"

#include <QHostAddress>
#include <QTcpSocket>
#include <QTimer>

namespace {

// The request line and headers of a browser's GET fit in this.
constexpr qsizetype kLongestRequest = 16 * 1024;
constexpr int kRequestTimeoutMs = 10000;

void answer(QTcpSocket *socket, const QByteArray &status, const QByteArray &html) {
    socket->write("HTTP/1.1 " + status +
                  "\r\nContent-Type: text/html; charset=utf-8\r\nCache-Control: no-store\r\n"
                  "Referrer-Policy: no-referrer\r\nConnection: close\r\nContent-Length: " +
                  QByteArray::number(html.size()) + "\r\n\r\n" + html);
    socket->disconnectFromHost();
}

} // namespace

FHIRLoopbackReceiver::FHIRLoopbackReceiver(QObject *parent) : QObject(parent) {
    connect(&m_server, &QTcpServer::newConnection, this, [this] {
        while (QTcpSocket *socket = m_server.nextPendingConnection())
            serve(socket);
    });
}

FHIRLoopbackReceiver::~FHIRLoopbackReceiver() = default;

bool FHIRLoopbackReceiver::listen(QString *problem) {
    if (m_server.listen(QHostAddress::LocalHost, 0))
        return true;
    if (problem)
        *problem = QStringLiteral("KelvraCapture cannot listen on 127.0.0.1 for the EHR's answer: %1")
                       .arg(m_server.errorString());
    return false;
}

QUrl FHIRLoopbackReceiver::redirectURI() const {
    return QUrl(QStringLiteral("http://127.0.0.1:%1/callback").arg(m_server.serverPort()));
}

void FHIRLoopbackReceiver::close() {
    m_done = true;
    m_server.close();
}

void FHIRLoopbackReceiver::serve(QTcpSocket *socket) {
    socket->setParent(this);
    QTimer::singleShot(kRequestTimeoutMs, socket, [socket] { socket->abort(); });
    connect(socket, &QTcpSocket::disconnected, socket, &QObject::deleteLater);
    connect(socket, &QTcpSocket::readyRead, socket, [this, socket] {
        if (socket->property("answered").toBool())
            return;
        if (socket->bytesAvailable() > kLongestRequest) {
            socket->abort();
            return;
        }
        const QByteArray head = socket->peek(kLongestRequest);
        if (!head.contains("\r\n\r\n"))
            return;
        socket->setProperty("answered", true);
        const QList<QByteArray> line = head.left(head.indexOf("\r\n")).split(' ');
        if (line.size() != 3 || line.at(0) != "GET" || !line.at(2).startsWith("HTTP/1.")) {
            answer(socket, "400 Bad Request", "<!doctype html><title>KelvraCapture</title>Bad request.");
            return;
        }
        const QUrl target = QUrl(redirectURI()).resolved(QUrl::fromEncoded(line.at(1)));
        if (target.path() != QLatin1String("/callback") || m_done) {
            answer(socket, "404 Not Found", "<!doctype html><title>KelvraCapture</title>Not found.");
            return;
        }
        answer(socket, "200 OK",
               "<!doctype html><meta charset=\"utf-8\"><title>KelvraCapture</title>"
               "<body style=\"font-family:sans-serif;margin:3em\"><h1>KelvraCapture</h1>"
               "<p id=\"done\">KelvraCapture has the EHR's answer. You may close this tab.</p></body>");
        close();
        emit received(target);
    });
}
