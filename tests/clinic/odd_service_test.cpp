// The clinic client against a service that answers with things that are not
// JSON objects: a web page, an array, a bare number, raw bytes.
#include "clinic/kelvra_api_client.h"
#include "tests/support/qt_wait.h"

#include <QHostAddress>
#include <QTcpServer>
#include <QTcpSocket>
#include <gtest/gtest.h>

#include <atomic>
#include <memory>

namespace {

// Answers every request from a fixed table of paths, one request per
// connection.
class OddService : public QObject {
public:
    OddService() {
        server.listen(QHostAddress::LocalHost, 0);
        QObject::connect(&server, &QTcpServer::newConnection, this, [this] {
            while (QTcpSocket *socket = server.nextPendingConnection()) {
                auto buffer = std::make_shared<QByteArray>();
                QObject::connect(socket, &QTcpSocket::readyRead, socket, [this, socket, buffer] {
                    buffer->append(socket->readAll());
                    const qsizetype headerEnd = buffer->indexOf("\r\n\r\n");
                    if (headerEnd < 0)
                        return;
                    const QByteArray head = buffer->left(headerEnd);
                    qsizetype length = 0;
                    for (const QByteArray &line : head.split('\n'))
                        if (line.toLower().startsWith("content-length:"))
                            length = line.mid(15).trimmed().toLongLong();
                    if (buffer->size() < headerEnd + 4 + length)
                        return;
                    const QByteArray path = head.split(' ').value(1);
                    ++requests;
                    socket->write(answerFor(path));
                    socket->disconnectFromHost();
                });
                QObject::connect(socket, &QTcpSocket::disconnected, socket, &QObject::deleteLater);
            }
        });
    }
    static QByteArray reply(const QByteArray &type, const QByteArray &body) {
        return "HTTP/1.1 200 OK\r\nContent-Type: " + type +
               "\r\nContent-Length: " + QByteArray::number(body.size()) + "\r\nConnection: close\r\n\r\n" +
               body;
    }
    static QByteArray answerFor(const QByteArray &path) {
        if (path.contains("clinic_exam_rooms"))
            return reply("application/json", R"([{"ClinicExamRoom":{"id":"1","name":"Room 1"}}])");
        if (path.contains("updateConfig"))
            return reply("application/json", "5");
        if (path.contains("clinic_patient_device_assignments"))
            return reply("application/octet-stream", QByteArray("\x00\x01\x02", 3));
        return reply("text/html; charset=utf-8", "<html><body>Sign in to the Wi-Fi</body></html>");
    }

    QTcpServer server;
    std::atomic<int> requests{0};
};

} // namespace

TEST(OddService, AnswersThatAreNotObjectsAreNotReadAsObjects) {
    OddService service;
    ASSERT_TRUE(service.server.isListening());
    ASSERT_TRUE(KelvraAPIClient::setServiceURLForFirstUse(
        QUrl(QStringLiteral("http://127.0.0.1:%1/").arg(service.server.serverPort()))));
    KelvraAPIClient *client = KelvraAPIClient::sharedKelvraAPIClient();

    // A sign-in answered by a web page is a failed sign-in, not a success.
    std::atomic<int> signedIn{0};
    std::atomic<int> failed{0};
    KCError error;
    client->loginKelvraWithUsername(
        "demo", "capture", [&](const QVariant &) { ++signedIn; },
        [&](const KCError &e) {
            error = e;
            ++failed;
        });
    ASSERT_TRUE(kcWaitFor([&] { return signedIn + failed > 0; }, 60000));
    EXPECT_EQ(signedIn.load(), 0);
    ASSERT_EQ(failed.load(), 1);
    EXPECT_EQ(error.domain(), "com.corvane.error.serialization.response");
    EXPECT_EQ(error.code(), -1016);
    EXPECT_FALSE(error.localizedDescription().isEmpty());
    EXPECT_TRUE(client->loggedInUserUsername().isEmpty());

    // Requests whose answers are read as dictionaries ignore the others.
    std::atomic<int> answered{0};
    client->getUserConfigurationWithCallback([&](const QVariant &) { ++answered; });
    client->retrieveExamRooms([&](const QVariant &) { ++answered; });
    client->getPatientAssignmentsForToday([&](const QVariant &) { ++answered; });
    // Sign-out reads nothing: its callback runs whatever the answer.
    std::atomic<int> signedOut{0};
    client->logoutKelvraWithCallback([&](const QVariant &) { ++signedOut; });
    ASSERT_TRUE(kcWaitFor([&] { return signedOut.load() > 0 && service.requests.load() >= 5; }, 60000));
    kcSpin(1000);
    EXPECT_EQ(answered.load(), 0);
    EXPECT_FALSE(client->userPreferences().has_value());
}
