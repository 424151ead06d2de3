#pragma once
// A relay on 127.0.0.1 between the client under test and a real server
// (plain HTTP behind it), speaking plain HTTP or TLS to the client. Requests
// and answers pass through, except for a request that matches a rule: the
// relay lets the server act on it, waits for the first byte of its answer,
// and then drops the client's connection without passing on a byte of it. To
// the client the answer is lost; the server has done the work. Header-only,
// on a thread of its own.

#include <QByteArray>
#include <QHostAddress>
#include <QList>
#include <QMetaObject>
#include <QMutex>
#include <QPointer>
#include <QSslCertificate>
#include <QSslConfiguration>
#include <QSslKey>
#include <QSslSocket>
#include <QTcpServer>
#include <QTcpSocket>
#include <QThread>
#include <QUrl>

#include <atomic>
#include <memory>

class LostAnswerRelay {
public:
    // Relays to `upstream` (http://host:port). With a certificate and key it
    // speaks TLS to the client and tells the server so
    // ("X-Forwarded-Proto: https").
    explicit LostAnswerRelay(const QUrl &upstream, const QList<QSslCertificate> &chain = {},
                             const QSslKey &key = {})
        : m_upstream(upstream), m_chain(chain), m_key(key) {
        m_thread.start();
        m_listener = new Listener(this);
        m_listener->moveToThread(&m_thread);
        QMetaObject::invokeMethod(
            m_listener,
            [this] {
                m_listener->listen(QHostAddress::LocalHost, 0);
                m_port = m_listener->serverPort();
            },
            Qt::BlockingQueuedConnection);
    }
    ~LostAnswerRelay() {
        QMetaObject::invokeMethod(
            m_listener, [this] { delete m_listener; }, Qt::BlockingQueuedConnection);
        m_thread.quit();
        m_thread.wait();
    }

    // "http(s)://127.0.0.1:PORT" followed by `path`.
    QString url(const QString &path = QStringLiteral("/")) const {
        return QStringLiteral("%1://127.0.0.1:%2%3")
            .arg(m_chain.isEmpty() ? QStringLiteral("http") : QStringLiteral("https"))
            .arg(m_port)
            .arg(path);
    }

    // The answers of the next `count` requests of `method` whose path
    // contains `pathPart` are lost.
    void loseAnswers(const QByteArray &method, const QByteArray &pathPart, int count = 1) {
        QMutexLocker locker(&m_mutex);
        m_method = method;
        m_pathPart = pathPart;
        m_remaining = count;
    }
    // Answers lost so far.
    int lost() const { return m_lost; }

private:
    class Listener : public QTcpServer {
    public:
        explicit Listener(LostAnswerRelay *relay) : m_relay(relay) {}

    protected:
        void incomingConnection(qintptr fd) override { m_relay->accept(this, fd); }

    private:
        LostAnswerRelay *m_relay;
    };

    // One client connection and its connection to the server.
    struct Pipe {
        QPointer<QSslSocket> client;
        QPointer<QTcpSocket> server;
        QByteArray fromClient; // not yet a whole request
        QByteArray toServer;   // whole requests waiting for the connection
        bool dropOnAnswer = false;

        void close() {
            if (client)
                client->abort();
            if (server)
                server->abort();
        }
    };

    void accept(QObject *parent, qintptr fd) {
        auto pipe = std::make_shared<Pipe>();
        pipe->client = new QSslSocket(parent);
        pipe->server = new QTcpSocket(parent);
        if (!pipe->client->setSocketDescriptor(fd)) {
            pipe->client->deleteLater();
            pipe->server->deleteLater();
            return;
        }
        QObject::connect(pipe->client, &QSslSocket::readyRead, pipe->client,
                         [this, pipe] { fromClient(*pipe); });
        QObject::connect(pipe->server, &QTcpSocket::readyRead, pipe->server, [pipe] {
            const QByteArray answer = pipe->server->readAll();
            if (pipe->dropOnAnswer) {
                // The server has acted and begun to answer: the client hears nothing.
                pipe->close();
                return;
            }
            if (pipe->client)
                pipe->client->write(answer);
        });
        QObject::connect(pipe->server, &QTcpSocket::connected, pipe->server, [pipe] {
            pipe->server->write(pipe->toServer);
            pipe->toServer.clear();
        });
        for (QAbstractSocket *socket : {static_cast<QAbstractSocket *>(pipe->client.data()),
                                        static_cast<QAbstractSocket *>(pipe->server.data())}) {
            QObject::connect(socket, &QAbstractSocket::disconnected, socket, [pipe] { pipe->close(); });
            QObject::connect(socket, &QAbstractSocket::disconnected, socket, &QObject::deleteLater);
        }
        if (!m_chain.isEmpty()) {
            QSslConfiguration tls = QSslConfiguration::defaultConfiguration();
            tls.setLocalCertificateChain(m_chain);
            tls.setPrivateKey(m_key);
            tls.setPeerVerifyMode(QSslSocket::VerifyNone);
            pipe->client->setSslConfiguration(tls);
            pipe->client->startServerEncryption();
        }
        pipe->server->connectToHost(m_upstream.host(), quint16(m_upstream.port(80)));
    }

    void fromClient(Pipe &pipe) {
        pipe.fromClient += pipe.client->readAll();
        for (;;) {
            const qsizetype headerEnd = pipe.fromClient.indexOf("\r\n\r\n");
            if (headerEnd < 0)
                return;
            QByteArray head = pipe.fromClient.left(headerEnd + 2);
            qsizetype length = 0;
            for (const QByteArray &line : head.split('\n')) {
                const qsizetype colon = line.indexOf(':');
                if (colon > 0 &&
                    line.left(colon).trimmed().compare("content-length", Qt::CaseInsensitive) == 0)
                    length = line.mid(colon + 1).trimmed().toLongLong();
            }
            const qsizetype end = headerEnd + 4 + length;
            if (pipe.fromClient.size() < end)
                return;
            const QByteArray body = pipe.fromClient.mid(headerEnd + 4, length);
            pipe.fromClient.remove(0, end);
            const QList<QByteArray> requestLine = head.left(head.indexOf('\r')).split(' ');
            {
                QMutexLocker locker(&m_mutex);
                if (m_remaining > 0 && requestLine.value(0) == m_method &&
                    requestLine.value(1).contains(m_pathPart)) {
                    --m_remaining;
                    ++m_lost;
                    pipe.dropOnAnswer = true;
                }
            }
            if (!m_chain.isEmpty())
                head += "X-Forwarded-Proto: https\r\n";
            const QByteArray request = head + "\r\n" + body;
            if (pipe.server->state() == QAbstractSocket::ConnectedState)
                pipe.server->write(request);
            else
                pipe.toServer += request;
        }
    }

    QUrl m_upstream;
    QList<QSslCertificate> m_chain;
    QSslKey m_key;
    QThread m_thread;
    Listener *m_listener = nullptr;
    quint16 m_port = 0;
    QMutex m_mutex;
    QByteArray m_method;
    QByteArray m_pathPart;
    int m_remaining = 0;
    std::atomic<int> m_lost{0};
};
