// Builds multipart bodies from arbitrary parts and reads them back with
// arbitrary read sizes. Checks the bytes against an independently written
// body, the content length against the bytes, and a copy of the stream
// against the first reading.

#include "http/multipart.h"
#include "http/request_serializer.h"

#include <QBuffer>
#include <QCoreApplication>
#include <cstdint>
#include <cstdlib>

namespace {

struct Input {
    const uint8_t *data;
    size_t size;
    size_t at = 0;
    uint8_t byte() { return at < size ? data[at++] : 0; }
    QByteArray bytes(size_t n) {
        n = std::min(n, size - at);
        QByteArray out(reinterpret_cast<const char *>(data + at), qsizetype(n));
        at += n;
        return out;
    }
    bool done() const { return at >= size; }
};

QByteArray readWithSizes(QIODevice &stream, Input &sizes) {
    QByteArray out;
    QByteArray buffer(1024, '\0');
    while (true) {
        const qint64 want = 1 + sizes.byte() * 4;
        const qint64 n = stream.read(buffer.data(), want);
        if (n < 0)
            std::abort(); // no part source can fail here
        if (n == 0)
            break;
        if (n > want)
            std::abort();
        out.append(buffer.constData(), n);
        if (out.size() > (1 << 22))
            std::abort(); // the body never runs on past its parts
    }
    return out;
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int *argc, char ***argv) {
    static QCoreApplication app(*argc, *argv);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    Input in{data, size};
    KCURLRequest base(QUrl(QStringLiteral("https://h.test/upload")));
    base.setHTTPMethod(QStringLiteral("POST"));
    CVStreamingMultipartFormData form(base, KCStringEncoding::UTF8);
    const QByteArray boundary = form.boundary().toUtf8();

    QByteArray expected;
    int parts = 0;
    while (!in.done() && parts < 16) {
        const uint8_t kind = in.byte();
        const QByteArray name = in.bytes(in.byte() % 8);
        const QByteArray content = in.bytes(in.byte() * 2);
        const QString nameText = QString::fromLatin1(name);
        QByteArray headerText;
        switch (kind % 4) {
        case 0:
            form.appendPartWithFormData(content, nameText);
            headerText = "Content-Disposition: form-data; name=\"" + nameText.toUtf8() + "\"\r\n";
            break;
        case 1:
            form.appendPartWithFileData(content, nameText, QStringLiteral("f.bin"), QStringLiteral("a/b"));
            headerText = "Content-Disposition: form-data; name=\"" + nameText.toUtf8() +
                         "\"; filename=\"f.bin\"\r\nContent-Type: a/b\r\n";
            break;
        case 2: {
            auto buffer = std::make_shared<QBuffer>();
            buffer->setData(content + "tail");
            form.appendPartWithInputStream(buffer, nameText, QStringLiteral("s"), content.size(),
                                           QStringLiteral("c/d"));
            headerText = "Content-Disposition: form-data; name=\"" + nameText.toUtf8() +
                         "\"; filename=\"s\"\r\nContent-Type: c/d\r\n";
            break;
        }
        default:
            form.appendPartWithHeaders({{nameText, QString::fromLatin1(content.left(8))}}, content);
            headerText = nameText.toUtf8() + ": " + QString::fromLatin1(content.left(8)).toUtf8() + "\r\n";
            break;
        }
        expected += (parts == 0 ? QByteArray() : QByteArray("\r\n")) + "--" + boundary + "\r\n" + headerText +
                    "\r\n" + content;
        ++parts;
    }
    const KCURLRequest request = form.requestByFinalizingMultipartFormData();
    if (parts == 0) {
        if (request.HTTPBodyStream())
            std::abort();
        return 0;
    }
    expected += "\r\n--" + boundary + "--\r\n";

    auto stream = std::dynamic_pointer_cast<CVMultipartBodyStream>(request.HTTPBodyStream());
    if (!stream || stream->contentLength() != expected.size() ||
        request.valueForHTTPHeaderField(QStringLiteral("Content-Length")).toLongLong() != expected.size())
        std::abort();
    auto copy = stream->copy();
    stream->open(QIODevice::ReadOnly);
    Input sizes{data, size};
    if (readWithSizes(*stream, sizes) != expected)
        std::abort();
    char c;
    if (stream->read(&c, 1) != 0)
        std::abort();
    copy->open(QIODevice::ReadOnly);
    Input other{data, size, size / 2};
    if (readWithSizes(*copy, other) != expected)
        std::abort();
    return 0;
}
