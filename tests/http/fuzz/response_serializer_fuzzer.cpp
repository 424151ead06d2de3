// Feeds arbitrary response bodies, content types and charsets to the
// response serializers and the JSON reader. Besides crashes and sanitizer
// reports it checks that every value the JSON reader accepts is written back
// by the JSON writer and read again unchanged.

#include "http/request_serializer.h"
#include "http/response_serializer.h"

#include <QCoreApplication>
#include <QImage>
#include <cstdint>
#include <cstdlib>

namespace {

const char *const kContentTypes[] = {
    "application/json",
    "application/json; charset=utf-8",
    "application/json; charset=iso-8859-1",
    "application/json; charset=us-ascii",
    "application/json; charset=utf-16",
    "application/json; charset=UTF-16LE",
    "application/json; charset=utf-16be",
    "text/json; charset=utf-32",
    "text/javascript; charset=windows-1252",
    "text/html",
    "image/png",
    nullptr,
};
constexpr int kContentTypeCount = sizeof(kContentTypes) / sizeof(kContentTypes[0]);
const qint64 kStatuses[] = {200, 204, 299, 301, 401, 403, 404, 500, 503, 0};

void checkRoundTrip(const QByteArray &json, unsigned options) {
    KCError error;
    const QVariant value = KCJSONObjectWithData(json, options, &error);
    if (!value.isValid()) {
        if (error.isNull() || error.code() != 3840)
            std::abort(); // a failure must always come with the reader's error
        return;
    }
    KCError writeError;
    const std::optional<QByteArray> written =
        KCJSONDataWithObject(value, NSJSONWritingFragmentsAllowed, &writeError);
    if (!written)
        std::abort(); // everything the reader makes can be written
    KCError again;
    const QVariant reread = KCJSONObjectWithData(*written, NSJSONReadingFragmentsAllowed, &again);
    if (!(reread == value))
        std::abort();
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int *argc, char ***argv) {
    static QCoreApplication app(*argc, *argv);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size < 2)
        return 0;
    const uint8_t selector = data[0];
    const uint8_t flags = data[1];
    const QByteArray body(reinterpret_cast<const char *>(data + 2), qsizetype(size - 2));

    checkRoundTrip(body, flags & 7);

    QList<QPair<QByteArray, QByteArray>> headers;
    if (const char *type = kContentTypes[selector % kContentTypeCount])
        headers.append(qMakePair(QByteArray("Content-Type"), QByteArray(type)));
    const KCHTTPURLResponse response(QUrl(QStringLiteral("https://h.test/x")),
                                     kStatuses[(selector / 16) % 10], headers);
    const KCHTTPURLResponse *responsePointer = (flags & 0x80) ? nullptr : &response;

    auto json = CVJSONResponseSerializer::serializerWithReadingOptions(flags & 7);
    json->removesKeysWithNullValues = flags & 8;
    KCError error;
    json->responseObjectForResponse(responsePointer, body, (flags & 0x10) ? nullptr : &error);

    // Both compounds of the service clients; the image decoder only sees
    // small bodies to keep the run fast.
    QList<std::shared_ptr<CVHTTPResponseSerializer>> members{json};
    if (body.size() <= 4096 && (flags & 0x20))
        members.append(CVImageResponseSerializer::serializer());
    else
        members.append(CVHTTPResponseSerializer::serializer());
    auto compound = CVCompoundResponseSerializer::compoundSerializerWithResponseSerializers(members);
    error = KCError();
    const QVariant result = compound->responseObjectForResponse(responsePointer, body, &error);
    if (!result.isValid())
        std::abort(); // a compound always has a result: at least the body bytes
    return 0;
}
