#pragma once
// Test helpers for the HTTP transport: certificates generated with the
// openssl command line, and a small HTTP/1.1 server (plain or TLS) on
// 127.0.0.1 that runs on its own thread and records what it received.

#include <QByteArray>
#include <QDir>
#include <QFile>
#include <QHash>
#include <QHostAddress>
#include <QList>
#include <QMetaObject>
#include <QMutex>
#include <QProcess>
#include <QSslCertificate>
#include <QSslConfiguration>
#include <QSslKey>
#include <QSslSocket>
#include <QString>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QThread>

#include <atomic>
#include <functional>
#include <memory>

namespace kctest {

// Certificates for 127.0.0.1 made at run time: a test root and leaves that
// it signs (valid, also for 127.0.0.2, which stands for another host; for
// another host name; expired), and a self-signed leaf.
class TestCertificates {
public:
    TestCertificates() {
        if (!m_dir.isValid())
            return;
        static const char *script = R"SH(
set -e
EC="-newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes"
printf 'basicConstraints=CA:FALSE\nkeyUsage=digitalSignature,keyEncipherment\nextendedKeyUsage=serverAuth\nsubjectAltName=DNS:localhost,IP:127.0.0.1,IP:127.0.0.2\n' > leaf.ext
printf 'basicConstraints=CA:FALSE\nkeyUsage=digitalSignature,keyEncipherment\nextendedKeyUsage=serverAuth\nsubjectAltName=DNS:other.example\n' > other.ext
openssl req -x509 $EC -keyout root.key -out root.pem -subj "/CN=Kelvra Test Root" -days 30 \
  -addext basicConstraints=critical,CA:TRUE -addext keyUsage=critical,keyCertSign,cRLSign 2>/dev/null
openssl req $EC -keyout leaf.key -out leaf.csr -subj /CN=127.0.0.1 2>/dev/null
openssl x509 -req -in leaf.csr -CA root.pem -CAkey root.key -CAcreateserial -out leaf.pem -days 30 -extfile leaf.ext 2>/dev/null
openssl req $EC -keyout other.key -out other.csr -subj /CN=other.example 2>/dev/null
openssl x509 -req -in other.csr -CA root.pem -CAkey root.key -CAcreateserial -out other.pem -days 30 -extfile other.ext 2>/dev/null
openssl req -x509 $EC -keyout self.key -out self.pem -subj /CN=127.0.0.1 -days 30 \
  -addext subjectAltName=DNS:localhost,IP:127.0.0.1 2>/dev/null
openssl req $EC -keyout expired.key -out expired.csr -subj /CN=127.0.0.1 2>/dev/null
mkdir -p ca && : > ca/index.txt && echo 1000 > ca/serial
cat > ca.cnf <<EOF
[ca]
default_ca = tca
[tca]
database = ca/index.txt
new_certs_dir = ca
serial = ca/serial
default_md = sha256
policy = pol
unique_subject = no
[pol]
commonName = supplied
EOF
openssl ca -batch -notext -config ca.cnf -cert root.pem -keyfile root.key -in expired.csr -out expired.pem \
  -startdate 20200101000000Z -enddate 20200201000000Z -extfile leaf.ext 2>/dev/null
)SH";
        QProcess p;
        p.setWorkingDirectory(m_dir.path());
        p.start(QStringLiteral("bash"), {QStringLiteral("-c"), QString::fromLatin1(script)});
        m_ok = p.waitForFinished(120000) && p.exitStatus() == QProcess::NormalExit && p.exitCode() == 0;
        if (!m_ok)
            m_error = QString::fromLocal8Bit(p.readAllStandardError());
    }

    bool ok() const { return m_ok; }
    QString error() const { return m_error; }
    QString path(const QString &name) const { return m_dir.filePath(name); }
    QSslCertificate certificate(const QString &name) const {
        return QSslCertificate::fromPath(path(name + QStringLiteral(".pem"))).value(0);
    }
    QSslKey key(const QString &name) const {
        QFile f(path(name + QStringLiteral(".key")));
        f.open(QIODevice::ReadOnly);
        return QSslKey(f.readAll(), QSsl::Ec);
    }
    QString rootFile() const { return path(QStringLiteral("root.pem")); }

private:
    QTemporaryDir m_dir;
    bool m_ok = false;
    QString m_error;
};

struct ReceivedRequest {
    QByteArray method;
    QByteArray path;
    QHash<QByteArray, QByteArray> headers; // lower-case names
    QByteArray body;                       // first kMaxKeptBody bytes
    qint64 bodyLength = 0;
};

struct TestResponse {
    int status = 200;
    QByteArray reason = "OK";
    QList<QPair<QByteArray, QByteArray>> headers;
    QByteArray body;
    bool neverAnswer = false;
};

// A small HTTP/1.1 server on 127.0.0.1 (keep-alive, Content-Length bodies).
// With a certificate it speaks TLS. Bodies are counted, and kept up to
// kMaxKeptBody bytes.
class TestServer {
public:
    static constexpr qint64 kMaxKeptBody = 1 << 20;
    using Handler = std::function<TestResponse(const ReceivedRequest &)>;

    // `address` may be another loopback address (127.0.0.2) to stand for
    // another host.
    explicit TestServer(Handler handler, QList<QSslCertificate> chain = {}, QSslKey key = {},
                        QHostAddress address = QHostAddress::LocalHost)
        : m_handler(std::move(handler)), m_chain(std::move(chain)), m_key(std::move(key)),
          m_address(std::move(address)) {
        m_thread.start();
        m_server = new Listener;
        m_server->onIncoming = [this](qintptr fd) { accept(fd); };
        m_server->moveToThread(&m_thread);
        QMetaObject::invokeMethod(
            m_server,
            [this] {
                m_server->listen(m_address, 0);
                m_port = m_server->serverPort();
            },
            Qt::BlockingQueuedConnection);
    }

    ~TestServer() {
        QMetaObject::invokeMethod(
            m_server, [this] { delete m_server; }, Qt::BlockingQueuedConnection);
        m_thread.quit();
        m_thread.wait();
    }

    quint16 port() const { return m_port; }
    QString url(const QString &path = QStringLiteral("/")) const {
        return QStringLiteral("%1://%2:%3%4")
            .arg(m_chain.isEmpty() ? QStringLiteral("http") : QStringLiteral("https"), m_address.toString())
            .arg(m_port)
            .arg(path);
    }

    int connections() const { return m_connections; }
    int handshakes() const { return m_handshakes; }
    // Application bytes received over all connections (after TLS).
    qint64 bytesReceived() const { return m_bytesReceived; }
    QList<ReceivedRequest> requests() const {
        QMutexLocker l(&m_mutex);
        return m_requests;
    }
    int requestCount() const {
        QMutexLocker l(&m_mutex);
        return int(m_requests.size());
    }

private:
    struct Connection {
        QTcpSocket *socket = nullptr;
        QByteArray buffer;
        bool inBody = false;
        qint64 remaining = 0;
        ReceivedRequest current;
    };

    void accept(qintptr fd) {
        QTcpSocket *socket = nullptr;
        if (!m_chain.isEmpty()) {
            auto *ssl = new QSslSocket(m_server);
            QSslConfiguration conf = QSslConfiguration::defaultConfiguration();
            conf.setLocalCertificateChain(m_chain);
            conf.setPrivateKey(m_key);
            conf.setPeerVerifyMode(QSslSocket::VerifyNone);
            ssl->setSslConfiguration(conf);
            ssl->setSocketDescriptor(fd);
            QObject::connect(ssl, &QSslSocket::encrypted, ssl, [this] { ++m_handshakes; });
            QObject::connect(ssl, &QSslSocket::sslErrors, ssl,
                             [ssl](const QList<QSslError> &) { ssl->ignoreSslErrors(); });
            ssl->startServerEncryption();
            socket = ssl;
        } else {
            socket = new QTcpSocket(m_server);
            socket->setSocketDescriptor(fd);
        }
        ++m_connections;
        auto conn = std::make_shared<Connection>();
        conn->socket = socket;
        QObject::connect(socket, &QTcpSocket::readyRead, socket, [this, conn] { read(*conn); });
        QObject::connect(socket, &QTcpSocket::disconnected, socket, [socket] { socket->deleteLater(); });
    }

    void read(Connection &c) {
        for (;;) {
            if (c.inBody) {
                const QByteArray chunk = c.socket->read(qMin<qint64>(c.remaining, 1 << 20));
                if (chunk.isEmpty())
                    return;
                m_bytesReceived += chunk.size();
                c.remaining -= chunk.size();
                c.current.bodyLength += chunk.size();
                if (c.current.body.size() < kMaxKeptBody)
                    c.current.body.append(chunk.left(kMaxKeptBody - c.current.body.size()));
                if (c.remaining == 0) {
                    c.inBody = false;
                    finish(c);
                }
                continue;
            }
            const QByteArray more = c.socket->readAll();
            m_bytesReceived += more.size();
            c.buffer += more;
            const qsizetype end = c.buffer.indexOf("\r\n\r\n");
            if (end < 0)
                return;
            const QByteArray head = c.buffer.left(end);
            QByteArray rest = c.buffer.mid(end + 4);
            c.buffer.clear();
            c.current = ReceivedRequest();
            const QList<QByteArray> lines = head.split('\n');
            const QList<QByteArray> first = lines.value(0).trimmed().split(' ');
            c.current.method = first.value(0);
            c.current.path = first.value(1);
            for (int i = 1; i < lines.size(); ++i) {
                const qsizetype colon = lines[i].indexOf(':');
                if (colon > 0)
                    c.current.headers.insert(lines[i].left(colon).trimmed().toLower(),
                                             lines[i].mid(colon + 1).trimmed());
            }
            c.remaining = c.current.headers.value("content-length").toLongLong();
            const qint64 take = qMin<qint64>(c.remaining, rest.size());
            c.current.body = rest.left(qMin<qint64>(take, kMaxKeptBody));
            c.current.bodyLength = take;
            c.remaining -= take;
            c.buffer = rest.mid(take);
            if (c.remaining > 0) {
                c.inBody = true;
                continue;
            }
            finish(c);
        }
    }

    void finish(Connection &c) {
        {
            QMutexLocker l(&m_mutex);
            m_requests.append(c.current);
        }
        const TestResponse r = m_handler ? m_handler(c.current) : TestResponse();
        if (r.neverAnswer)
            return;
        QByteArray out = "HTTP/1.1 " + QByteArray::number(r.status) + ' ' + r.reason + "\r\n";
        bool haveLength = false;
        for (const auto &[name, value] : r.headers) {
            out += name + ": " + value + "\r\n";
            haveLength = haveLength || name.toLower() == "content-length";
        }
        if (!haveLength)
            out += "Content-Length: " + QByteArray::number(r.body.size()) + "\r\n";
        out += "\r\n" + r.body;
        c.socket->write(out);
    }

    struct Listener : QTcpServer {
        std::function<void(qintptr)> onIncoming;
        void incomingConnection(qintptr fd) override { onIncoming(fd); }
    };

    Handler m_handler;
    QList<QSslCertificate> m_chain;
    QSslKey m_key;
    QHostAddress m_address;
    QThread m_thread;
    Listener *m_server = nullptr;
    quint16 m_port = 0;
    std::atomic<int> m_connections{0};
    std::atomic<int> m_handshakes{0};
    std::atomic<qint64> m_bytesReceived{0};
    mutable QMutex m_mutex;
    QList<ReceivedRequest> m_requests;
};

inline TestResponse jsonResponse(int status, const QByteArray &json,
                                 QList<QPair<QByteArray, QByteArray>> extraHeaders = {}) {
    TestResponse r;
    r.status = status;
    r.reason = status == 200 ? "OK" : (status == 401 ? "Unauthorized" : "Status");
    r.headers = std::move(extraHeaders);
    r.headers.append(qMakePair(QByteArray("Content-Type"), QByteArray("application/json")));
    r.body = json;
    return r;
}

} // namespace kctest
