#include "http/multipart.h"
#include "http/request_serializer.h"
#include "tests/http/qstring_printer.h"
#include "tests/support/qt_wait.h"

#include <QBuffer>
#include <QFile>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QRegularExpression>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QThread>
#include <gtest/gtest.h>

#include <atomic>

namespace {

QByteArray readAll(QIODevice &stream, qint64 chunk) {
    QByteArray out;
    QByteArray buffer(int(chunk), '\0');
    while (true) {
        const qint64 n = stream.read(buffer.data(), chunk);
        if (n <= 0)
            break;
        out.append(buffer.constData(), n);
    }
    return out;
}

QByteArray patternBytes(qint64 n) {
    QByteArray data(n, Qt::Uninitialized);
    for (qint64 i = 0; i < n; ++i)
        data[i] = char((i * 131 + 7) % 251);
    return data;
}

class MultipartTest : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(dir.isValid()); }

    QString writeFile(const QString &name, const QByteArray &contents) {
        const QString path = dir.filePath(name);
        QFile file(path);
        EXPECT_TRUE(file.open(QIODevice::WriteOnly));
        file.write(contents);
        return path;
    }

    KCURLRequest multipart(const KCParameters &parameters,
                           const std::function<void(CVStreamingMultipartFormData &)> &block) {
        KCError error;
        const auto request = serializer.multipartFormRequestWithMethod(
            QStringLiteral("POST"), QStringLiteral("https://h.test/documents"), parameters, block, &error);
        EXPECT_TRUE(request.has_value());
        EXPECT_TRUE(error.isNull());
        return request.value_or(KCURLRequest());
    }

    static QString boundaryOf(const KCURLRequest &request) {
        const QString type = request.valueForHTTPHeaderField(QStringLiteral("Content-Type"));
        return type.mid(type.indexOf(QStringLiteral("boundary=")) + 9);
    }

    QTemporaryDir dir;
    CVHTTPRequestSerializer serializer;
};

} // namespace

TEST_F(MultipartTest, OnePDFFilePartHasTheExactWireLayoutAndLength) {
    const QByteArray pdf = "%PDF-1.4\n" + patternBytes(5000) + "\n%%EOF\n";
    const QString path = writeFile(QStringLiteral("note.pdf"), pdf);
    const KCURLRequest request = multipart(std::nullopt, [&](CVStreamingMultipartFormData &form) {
        EXPECT_TRUE(
            form.appendPartWithFileURL(QUrl::fromLocalFile(path), QStringLiteral("attachmentcontents"),
                                       QStringLiteral("note.pdf"), QStringLiteral("application/pdf")));
    });
    const QString boundary = boundaryOf(request);
    EXPECT_TRUE(QRegularExpression(QStringLiteral("^Boundary\\+[0-9A-F]{16}$")).match(boundary).hasMatch())
        << boundary.toStdString();
    const QByteArray b = boundary.toUtf8();
    const QByteArray expected =
        "--" + b + "\r\n" +
        "Content-Disposition: form-data; name=\"attachmentcontents\"; filename=\"note.pdf\"\r\n" +
        "Content-Type: application/pdf\r\n" + "\r\n" + pdf + "\r\n--" + b + "--\r\n";
    EXPECT_EQ(request.valueForHTTPHeaderField(QStringLiteral("Content-Length")),
              QString::number(expected.size()));
    EXPECT_FALSE(request.hasHTTPBody());

    auto stream = std::dynamic_pointer_cast<CVMultipartBodyStream>(request.HTTPBodyStream());
    ASSERT_TRUE(stream);
    EXPECT_TRUE(stream->isSequential());
    EXPECT_EQ(stream->size(), expected.size());
    EXPECT_EQ(stream->streamStatus(), NSStreamStatus::NotOpen);
    ASSERT_TRUE(stream->open(QIODevice::ReadOnly));
    EXPECT_TRUE(stream->hasBytesAvailable());
    EXPECT_EQ(readAll(*stream, 1 << 20), expected);
    // After the end every read returns 0 again.
    char c;
    EXPECT_EQ(stream->read(&c, 1), 0);
    EXPECT_EQ(stream->read(&c, 1), 0);
    EXPECT_TRUE(stream->atEnd());
    stream->close();
    EXPECT_EQ(stream->streamStatus(), NSStreamStatus::Closed);
    EXPECT_FALSE(stream->hasBytesAvailable());
    EXPECT_FALSE(stream->open(QIODevice::ReadOnly));

    // A copy reads the file again from the start; so does one taken from the request.
    auto copy = stream->copy();
    ASSERT_TRUE(copy->open(QIODevice::ReadOnly));
    EXPECT_EQ(readAll(*copy, 333), expected);
    auto again = request.copyHTTPBodyStream();
    ASSERT_TRUE(again && again->open(QIODevice::ReadOnly));
    EXPECT_EQ(readAll(*again, 1), expected);

    // Boundaries are fresh per request.
    const KCURLRequest other = multipart(std::nullopt, [&](CVStreamingMultipartFormData &form) {
        form.appendPartWithFormData("1", QStringLiteral("a"));
    });
    EXPECT_NE(boundaryOf(other), boundary);
}

TEST_F(MultipartTest, ParametersComeFirstInSortedOrder) {
    const KCURLRequest request =
        multipart(QVariantMap{{QStringLiteral("b"), QStringLiteral("2")},
                              {QStringLiteral("a"), QStringLiteral("1")},
                              {QStringLiteral("n"), KCNullMarker()},
                              {QStringLiteral("num"), 42},
                              {QStringLiteral("raw"), QByteArray("\x00\xFF", 2)},
                              {QStringLiteral("list"), QVariantList{QStringLiteral("x")}}},
                  [&](CVStreamingMultipartFormData &form) {
                      form.appendPartWithFileData("FILE", QStringLiteral("f"), QStringLiteral("f.txt"),
                                                  QStringLiteral("text/plain"));
                  });
    const QByteArray b = boundaryOf(request).toUtf8();
    auto field = [&](const char *name, const QByteArray &value, bool first = false) {
        return QByteArray(first ? "" : "\r\n") + "--" + b + "\r\nContent-Disposition: form-data; name=\"" +
               name + "\"\r\n\r\n" + value;
    };
    const QByteArray expected = field("a", "1", true) + field("b", "2") + field("list[]", "x") +
                                field("n", "") + field("num", "42") +
                                field("raw", QByteArray("\x00\xFF", 2)) + "\r\n--" + b +
                                "\r\nContent-Disposition: form-data; name=\"f\"; filename=\"f.txt\"\r\n"
                                "Content-Type: text/plain\r\n\r\nFILE\r\n--" +
                                b + "--\r\n";
    auto stream = request.HTTPBodyStream();
    ASSERT_TRUE(stream->open(QIODevice::ReadOnly));
    EXPECT_EQ(readAll(*stream, 4096), expected);
    EXPECT_EQ(request.valueForHTTPHeaderField(QStringLiteral("Content-Length")),
              QString::number(expected.size()));
}

TEST_F(MultipartTest, OneByteReadsEqualOneLargeRead) {
    const QString path = writeFile(QStringLiteral("data.bin"), patternBytes(70001));
    QBuffer *rawBuffer = new QBuffer;
    rawBuffer->setData(QByteArray("0123456789abcdef"));
    std::shared_ptr<QIODevice> buffer(rawBuffer);
    const KCURLRequest request = multipart(
        QVariantMap{{QStringLiteral("k"), QStringLiteral("v")}}, [&](CVStreamingMultipartFormData &form) {
            EXPECT_TRUE(form.appendPartWithFileURL(QUrl::fromLocalFile(path), QStringLiteral("file")));
            form.appendPartWithInputStream(buffer, QStringLiteral("s"), QStringLiteral("s.bin"), 10,
                                           QStringLiteral("application/x-test"));
            form.appendPartWithHeaders({{QStringLiteral("X-One"), QStringLiteral("1")}}, QByteArray());
        });
    auto stream = std::dynamic_pointer_cast<CVMultipartBodyStream>(request.HTTPBodyStream());
    auto copy = stream->copy();
    ASSERT_TRUE(stream->open(QIODevice::ReadOnly));
    const QByteArray large = readAll(*stream, 1 << 24);
    ASSERT_TRUE(copy->open(QIODevice::ReadOnly));
    const QByteArray small = readAll(*copy, 1);
    EXPECT_EQ(large.size(), stream->contentLength());
    EXPECT_EQ(small, large);
    // The file part got the name of the file and the type of its extension;
    // the stream part exactly its declared length.
    EXPECT_TRUE(
        large.contains("name=\"file\"; filename=\"data.bin\"\r\nContent-Type: application/octet-stream\r\n"));
    EXPECT_TRUE(large.contains("Content-Type: application/x-test\r\n\r\n0123456789\r\n--"));
    EXPECT_TRUE(large.contains("X-One: 1\r\n\r\n\r\n--"));
}

TEST_F(MultipartTest, PacketSizeLimitsEachRead) {
    const KCURLRequest request = multipart(std::nullopt, [&](CVStreamingMultipartFormData &form) {
        form.appendPartWithFormData(patternBytes(1000), QStringLiteral("a"));
        form.throttleBandwidthWithPacketSize(100, 0);
    });
    auto stream = request.HTTPBodyStream();
    ASSERT_TRUE(stream->open(QIODevice::ReadOnly));
    QByteArray buffer(4096, '\0');
    EXPECT_EQ(stream->read(buffer.data(), buffer.size()), 100);
}

TEST_F(MultipartTest, FileURLErrors) {
    CVStreamingMultipartFormData form(KCURLRequest(QUrl(QStringLiteral("https://h.test/"))),
                                      KCStringEncoding::UTF8);
    KCError error;
    EXPECT_FALSE(form.appendPartWithFileURL(QUrl(QStringLiteral("https://h.test/a.pdf")), QStringLiteral("f"),
                                            QStringLiteral("a.pdf"), QStringLiteral("application/pdf"),
                                            &error));
    EXPECT_EQ(error.domain(), CVRequestSerializationErrorDomain);
    EXPECT_EQ(error.code(), -1000);
    EXPECT_EQ(error.localizedFailureReason(), QStringLiteral("Expected URL to be a file URL"));

    error = KCError();
    EXPECT_FALSE(form.appendPartWithFileURL(QUrl::fromLocalFile(dir.filePath(QStringLiteral("missing.pdf"))),
                                            QStringLiteral("f"), &error));
    EXPECT_EQ(error.domain(), CVRequestSerializationErrorDomain);
    EXPECT_EQ(error.code(), -1000);
    EXPECT_EQ(error.localizedFailureReason(), QStringLiteral("File URL not reachable."));

    // A folder is refused up front instead of failing in the middle of the upload.
    error = KCError();
    EXPECT_FALSE(form.appendPartWithFileURL(QUrl::fromLocalFile(dir.path()), QStringLiteral("f"), &error));
    EXPECT_FALSE(error.isNull());
    EXPECT_TRUE(form.bodyStream()->isEmpty());

    // No error slot: the failure is still reported by the result.
    EXPECT_FALSE(
        form.appendPartWithFileURL(QUrl(QStringLiteral("https://h.test/a.pdf")), QStringLiteral("f")));
    EXPECT_TRUE(form.bodyStream()->isEmpty());
}

TEST_F(MultipartTest, WithoutPartsTheBaseRequestStays) {
    const KCURLRequest request = multipart(std::nullopt, nullptr);
    EXPECT_EQ(request.HTTPBodyStream(), nullptr);
    EXPECT_TRUE(request.hasHTTPBody());
    EXPECT_EQ(request.HTTPBody(), QByteArray());
    EXPECT_EQ(request.valueForHTTPHeaderField(QStringLiteral("Content-Type")),
              QStringLiteral("application/x-www-form-urlencoded"));
    EXPECT_FALSE(request.hasHeaderField(QStringLiteral("Content-Length")));

    // Default headers of the serializer reach the multipart request.
    serializer.setValue(QStringLiteral("Bearer tok"), QStringLiteral("Authorization"));
    const KCURLRequest withPart = multipart(std::nullopt, [](CVStreamingMultipartFormData &form) {
        form.appendPartWithFormData("x", QStringLiteral("y"));
    });
    EXPECT_EQ(withPart.valueForHTTPHeaderField(QStringLiteral("Authorization")),
              QStringLiteral("Bearer tok"));
    EXPECT_TRUE(withPart.valueForHTTPHeaderField(QStringLiteral("Content-Type"))
                    .startsWith(QStringLiteral("multipart/form-data; boundary=Boundary+")));
}

TEST_F(MultipartTest, AFileThatChangesAfterItWasAddedNeverCorruptsTheBody) {
    // Removed: the read fails with an error instead of ending the body early.
    const QString gone = writeFile(QStringLiteral("gone.bin"), patternBytes(100));
    KCURLRequest request = multipart(std::nullopt, [&](CVStreamingMultipartFormData &form) {
        form.appendPartWithFileURL(QUrl::fromLocalFile(gone), QStringLiteral("f"));
    });
    ASSERT_TRUE(QFile::remove(gone));
    auto stream = std::dynamic_pointer_cast<CVMultipartBodyStream>(request.HTTPBodyStream());
    ASSERT_TRUE(stream->open(QIODevice::ReadOnly));
    QByteArray buffer(1 << 16, '\0');
    const qint64 first = stream->read(buffer.data(), buffer.size());
    EXPECT_GT(first, 0); // boundary and headers
    EXPECT_EQ(stream->read(buffer.data(), buffer.size()), -1);
    EXPECT_FALSE(stream->streamError().isNull());
    EXPECT_FALSE(stream->errorString().isEmpty());

    // Shrunk: also an error, the body would no longer match Content-Length.
    const QString shrunk = writeFile(QStringLiteral("shrunk.bin"), patternBytes(1000));
    request = multipart(std::nullopt, [&](CVStreamingMultipartFormData &form) {
        form.appendPartWithFileURL(QUrl::fromLocalFile(shrunk), QStringLiteral("f"));
    });
    writeFile(QStringLiteral("shrunk.bin"), patternBytes(10));
    stream = std::dynamic_pointer_cast<CVMultipartBodyStream>(request.HTTPBodyStream());
    ASSERT_TRUE(stream->open(QIODevice::ReadOnly));
    QByteArray got;
    qint64 n;
    while ((n = stream->read(buffer.data(), 7)) > 0)
        got.append(buffer.constData(), n);
    EXPECT_EQ(n, -1);
    EXPECT_LT(got.size(), stream->contentLength());
    EXPECT_TRUE(stream->streamError().localizedDescription().contains(QStringLiteral("10 of its 1000 bytes")))
        << stream->streamError().localizedDescription().toStdString();

    // Grown: exactly the announced bytes are sent.
    const QString grown = writeFile(QStringLiteral("grown.bin"), patternBytes(1000));
    request = multipart(std::nullopt, [&](CVStreamingMultipartFormData &form) {
        form.appendPartWithFileURL(QUrl::fromLocalFile(grown), QStringLiteral("f"));
    });
    writeFile(QStringLiteral("grown.bin"), patternBytes(5000));
    stream = std::dynamic_pointer_cast<CVMultipartBodyStream>(request.HTTPBodyStream());
    ASSERT_TRUE(stream->open(QIODevice::ReadOnly));
    const QByteArray body = readAll(*stream, 4096);
    EXPECT_EQ(body.size(), stream->contentLength());
    EXPECT_TRUE(body.contains(patternBytes(1000) + "\r\n--"));
}

TEST_F(MultipartTest, AReaderThreadNeverWaitsForTheMainThread) {
    const QString path = writeFile(QStringLiteral("t.bin"), patternBytes(300000));
    const KCURLRequest request = multipart(std::nullopt, [&](CVStreamingMultipartFormData &form) {
        form.appendPartWithFileURL(QUrl::fromLocalFile(path), QStringLiteral("f"));
    });
    auto stream = request.HTTPBodyStream();
    std::atomic<qint64> total{-1};
    // The main thread blocks in wait() while the other thread reads.
    QThread *reader = QThread::create([&] {
        stream->open(QIODevice::ReadOnly);
        total = readAll(*stream, 1000).size();
    });
    reader->start();
    ASSERT_TRUE(reader->wait(QDeadlineTimer(120000)));
    delete reader;
    EXPECT_EQ(total.load(), stream->size());
}

class MultipartUploadTest : public MultipartTest, public ::testing::WithParamInterface<bool> {};

// Streamed (no buffering of the upload) and buffered by the transport.
INSTANTIATE_TEST_SUITE_P(Transport, MultipartUploadTest, ::testing::Bool());

TEST_P(MultipartUploadTest, QtTransportUploadsTheStreamedBody) {
    const QString path = writeFile(QStringLiteral("scan.pdf"), patternBytes(1 << 20));
    const KCURLRequest request = multipart(
        QVariantMap{{QStringLiteral("documentsubclass"), QStringLiteral("X")}},
        [&](CVStreamingMultipartFormData &form) {
            form.appendPartWithFileURL(QUrl::fromLocalFile(path), QStringLiteral("attachmentcontents"),
                                       QStringLiteral("scan.pdf"), QStringLiteral("application/pdf"));
        });
    auto expectedStream = std::dynamic_pointer_cast<CVMultipartBodyStream>(request.HTTPBodyStream())->copy();
    ASSERT_TRUE(expectedStream->open(QIODevice::ReadOnly));
    const QByteArray expected = readAll(*expectedStream, 65536);

    // A minimal HTTP/1.1 server on the loopback interface.
    QTcpServer server;
    ASSERT_TRUE(server.listen(QHostAddress::LocalHost));
    QByteArray received;
    QTcpSocket *client = nullptr;
    bool answered = false;
    QObject::connect(&server, &QTcpServer::newConnection, [&] {
        client = server.nextPendingConnection();
        QObject::connect(client, &QTcpSocket::readyRead, [&] {
            received += client->readAll();
            const qsizetype end = received.indexOf("\r\n\r\n");
            if (answered || end < 0)
                return;
            const QRegularExpressionMatch m = QRegularExpression(QStringLiteral("Content-Length: (\\d+)"),
                                                                 QRegularExpression::CaseInsensitiveOption)
                                                  .match(QString::fromLatin1(received.left(end)));
            if (m.hasMatch() && received.size() - end - 4 >= m.captured(1).toLongLong()) {
                answered = true;
                client->write("HTTP/1.1 200 OK\r\nContent-Length: 2\r\nConnection: close\r\n\r\nok");
            }
        });
    });

    QNetworkAccessManager manager;
    QUrl url(QStringLiteral("http://127.0.0.1/documents"));
    url.setPort(server.serverPort());
    QNetworkRequest qrequest(url);
    qrequest.setAttribute(QNetworkRequest::DoNotBufferUploadDataAttribute, GetParam());
    for (const auto &header : request.allHTTPHeaderFields())
        qrequest.setRawHeader(header.first.toLatin1(), header.second.toLatin1());
    auto body = request.HTTPBodyStream();
    ASSERT_TRUE(body->open(QIODevice::ReadOnly));
    QNetworkReply *reply = manager.post(qrequest, body.get());
    ASSERT_TRUE(kcWaitFor([&] { return reply->isFinished(); }, 120000))
        << "received " << received.size() << " of " << expected.size() << " body bytes, device at "
        << body->pos() << (body->atEnd() ? " (end)" : "");
    EXPECT_EQ(reply->error(), QNetworkReply::NoError) << reply->errorString().toStdString();
    EXPECT_EQ(reply->readAll(), QByteArray("ok"));
    const qsizetype end = received.indexOf("\r\n\r\n");
    ASSERT_GT(end, 0);
    EXPECT_EQ(received.mid(end + 4).size(), expected.size());
    EXPECT_TRUE(received.mid(end + 4) == expected);
    reply->deleteLater();
}
