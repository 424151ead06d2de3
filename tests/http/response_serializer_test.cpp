#include "http/request_serializer.h"
#include "http/response_serializer.h"
#include "tests/http/qstring_printer.h"

#include <QBuffer>
#include <QImage>
#include <gtest/gtest.h>

namespace {

KCHTTPURLResponse response(qint64 status, const QByteArray &contentType = QByteArray()) {
    QList<QPair<QByteArray, QByteArray>> headers;
    if (!contentType.isNull())
        headers.append({"Content-Type", contentType});
    return KCHTTPURLResponse(QUrl(QStringLiteral("https://h.test/api/x")), status, headers);
}

std::shared_ptr<CVCompoundResponseSerializer> clinicSerializer() {
    return CVCompoundResponseSerializer::compoundSerializerWithResponseSerializers(
        {CVJSONResponseSerializer::serializerWithReadingOptions(NSJSONReadingMutableContainers |
                                                                NSJSONReadingFragmentsAllowed),
         CVImageResponseSerializer::serializer()});
}

std::shared_ptr<CVCompoundResponseSerializer> athenaSerializer() {
    return CVCompoundResponseSerializer::compoundSerializerWithResponseSerializers(
        {CVJSONResponseSerializer::serializerWithReadingOptions(NSJSONReadingFragmentsAllowed),
         CVHTTPResponseSerializer::serializer()});
}

QVariant parse(const QByteArray &json, unsigned options = NSJSONReadingFragmentsAllowed,
               KCError *error = nullptr) {
    KCError local;
    return KCJSONObjectWithData(json, options, error ? error : &local);
}

QByteArray pngBytes(int w, int h) {
    QImage image(w, h, QImage::Format_RGB32);
    image.fill(Qt::red);
    QByteArray bytes;
    QBuffer buffer(&bytes);
    buffer.open(QIODevice::WriteOnly);
    image.save(&buffer, "PNG");
    return bytes;
}

} // namespace

TEST(ResponseRecord, ContentTypeAndHeaders) {
    const KCHTTPURLResponse r = response(200, "Application/JSON ; Charset=\"UTF-8\"; q=1");
    EXPECT_EQ(r.MIMEType(), QStringLiteral("application/json"));
    EXPECT_EQ(r.textEncodingName(), QStringLiteral("UTF-8"));
    EXPECT_EQ(r.valueForHTTPHeaderField(QStringLiteral("content-type")),
              QStringLiteral("Application/JSON ; Charset=\"UTF-8\"; q=1"));
    const KCHTTPURLResponse none = response(204);
    EXPECT_TRUE(none.MIMEType().isNull());
    EXPECT_TRUE(none.textEncodingName().isNull());
    EXPECT_EQ(KCHTTPURLResponse::localizedStringForStatusCode(401), QStringLiteral("unauthorized"));
    EXPECT_EQ(KCHTTPURLResponse::localizedStringForStatusCode(404), QStringLiteral("not found"));
    EXPECT_EQ(KCHTTPURLResponse::localizedStringForStatusCode(503), QStringLiteral("service unavailable"));
    EXPECT_EQ(KCHTTPURLResponse::localizedStringForStatusCode(599), QStringLiteral("server error"));
    EXPECT_EQ(KCHTTPURLResponse::localizedStringForStatusCode(42), QStringLiteral("unknown status"));
}

TEST(ErrorJoin, UnderlyingErrorRule) {
    const KCError e(QStringLiteral("E"), 1), u(QStringLiteral("U"), 2), v(QStringLiteral("V"), 3);
    EXPECT_EQ(CVErrorWithUnderlyingError(KCError(), u), u);
    EXPECT_EQ(CVErrorWithUnderlyingError(e, KCError()), e);
    const KCError joined = CVErrorWithUnderlyingError(e, u);
    EXPECT_EQ(joined.domain(), QStringLiteral("E"));
    EXPECT_EQ(joined.underlyingError(), u);
    EXPECT_TRUE(joined.hasCodeInDomain(2, QStringLiteral("U")));
    // An error that already has an underlying error is kept as it is.
    EXPECT_EQ(CVErrorWithUnderlyingError(joined, v), joined);
}

TEST(Validation, StatusAndContentTypeErrors) {
    const CVHTTPResponseSerializer plain;
    KCError error;
    const KCHTTPURLResponse notFound = response(404, "text/html");
    EXPECT_FALSE(plain.validateResponse(&notFound, "<html/>", &error));
    EXPECT_EQ(error.domain(), CVResponseSerializationErrorDomain);
    EXPECT_EQ(error.code(), -1011);
    EXPECT_EQ(error.localizedDescription(), QStringLiteral("Request failed: not found (404)"));
    EXPECT_EQ(error.userInfo().value(NSURLErrorFailingURLErrorKey).toUrl(), notFound.URL());
    EXPECT_EQ(error.userInfo().value(CVFailingResponseErrorKey).value<KCHTTPURLResponse>().statusCode(), 404);
    EXPECT_EQ(error.userInfo().value(CVFailingResponseDataErrorKey).toByteArray(), QByteArray("<html/>"));
    EXPECT_TRUE(error.underlyingError().isNull());

    const CVJSONResponseSerializer json;
    error = KCError();
    const KCHTTPURLResponse html = response(200, "text/html");
    EXPECT_FALSE(json.validateResponse(&html, "x", &error));
    EXPECT_EQ(error.code(), -1016);
    EXPECT_EQ(error.localizedDescription(),
              QStringLiteral("Request failed: unacceptable content-type: text/html"));
    // A missing content type is never acceptable.
    error = KCError();
    const KCHTTPURLResponse untyped = response(200);
    EXPECT_FALSE(json.validateResponse(&untyped, "x", &error));
    EXPECT_EQ(error.localizedDescription(),
              QStringLiteral("Request failed: unacceptable content-type: (null)"));
    // An empty body or a response without URL makes no error, but is invalid.
    error = KCError();
    EXPECT_FALSE(json.validateResponse(&html, QByteArray(), &error));
    EXPECT_TRUE(error.isNull());
    KCHTTPURLResponse noURL = response(500, "application/json");
    noURL.setURL(QUrl());
    EXPECT_TRUE(json.validateResponse(&noURL, "{}", &error));
    // No response at all is never rejected.
    EXPECT_TRUE(json.validateResponse(nullptr, "x", &error));
    EXPECT_EQ(json.responseObjectForResponse(nullptr, "[1]", &error), QVariant(QVariantList{qlonglong(1)}));
}

TEST(JSONResponse, ClinicCompoundDecodesJSONIntoAMap) {
    KCError error;
    const KCHTTPURLResponse r = response(200, "application/json; charset=utf-8");
    const QVariant result = clinicSerializer()->responseObjectForResponse(&r, R"({"login":"pass"})", &error);
    EXPECT_TRUE(error.isNull());
    EXPECT_EQ(result, QVariant(QVariantMap{{QStringLiteral("login"), QStringLiteral("pass")}}));
}

TEST(JSONResponse, StatusErrorWithJSONBodyGivesResultAndError) {
    KCError error;
    const KCHTTPURLResponse r = response(401, "application/json");
    const QVariant result = CVJSONResponseSerializer::serializer()->responseObjectForResponse(
        &r, R"({"error":"invalid_token"})", &error);
    EXPECT_EQ(result.toMap().value(QStringLiteral("error")), QStringLiteral("invalid_token"));
    EXPECT_EQ(error.code(), -1011);
    EXPECT_EQ(error.localizedDescription(), QStringLiteral("Request failed: unauthorized (401)"));
    EXPECT_EQ(error.userInfo().value(CVFailingResponseErrorKey).value<KCHTTPURLResponse>().statusCode(), 401);

    // Without an error slot there is no result.
    EXPECT_FALSE(
        CVJSONResponseSerializer::serializer()->responseObjectForResponse(&r, "{}", nullptr).isValid());
}

TEST(JSONResponse, ServerErrorPageThroughTheSerializersAndCompounds) {
    const KCHTTPURLResponse r = response(500, "text/html");
    const QByteArray page = "<html>oops</html>";
    KCError error;
    EXPECT_FALSE(
        CVJSONResponseSerializer::serializer()->responseObjectForResponse(&r, page, &error).isValid());
    EXPECT_EQ(error.code(), -1011);
    EXPECT_EQ(error.localizedDescription(), QStringLiteral("Request failed: internal server error (500)"));
    EXPECT_EQ(error.underlyingError().code(), -1016);
    EXPECT_TRUE(error.hasCodeInDomain(-1016, CVResponseSerializationErrorDomain));

    error = KCError();
    const QVariant bytes = athenaSerializer()->responseObjectForResponse(&r, page, &error);
    EXPECT_EQ(bytes, QVariant(page));
    EXPECT_EQ(error.code(), -1011);
    EXPECT_TRUE(error.underlyingError().isNull());

    // 2xx HTML through the clinic compound: both members refuse the type, the
    // fallback returns the bytes without error.
    const KCHTTPURLResponse ok = response(200, "text/html");
    error = KCError();
    EXPECT_EQ(clinicSerializer()->responseObjectForResponse(&ok, page, &error), QVariant(page));
    EXPECT_TRUE(error.isNull());
}

TEST(JSONResponse, EmptyAndSingleSpaceBodies) {
    const KCHTTPURLResponse r = response(200, "application/json");
    KCError error;
    EXPECT_FALSE(CVJSONResponseSerializer::serializer()
                     ->responseObjectForResponse(&r, QByteArray(), &error)
                     .isValid());
    EXPECT_TRUE(error.isNull());
    EXPECT_FALSE(
        CVJSONResponseSerializer::serializer()->responseObjectForResponse(&r, " ", &error).isValid());
    EXPECT_TRUE(error.isNull());

    const QVariant image = clinicSerializer()->responseObjectForResponse(&r, QByteArray(), &error);
    ASSERT_EQ(image.metaType(), QMetaType::fromType<QImage>());
    EXPECT_TRUE(image.value<QImage>().isNull());
    EXPECT_TRUE(error.isNull());

    const QVariant bytes = athenaSerializer()->responseObjectForResponse(&r, QByteArray(), &error);
    ASSERT_EQ(bytes.metaType(), QMetaType::fromType<QByteArray>());
    EXPECT_TRUE(bytes.toByteArray().isEmpty());
    EXPECT_TRUE(error.isNull());
}

TEST(JSONResponse, CharsetsOfTheResponseAreHonoured) {
    auto json = CVJSONResponseSerializer::serializer();
    KCError error;
    const QString jose = QStringLiteral("Jos\u00E9");
    const QVariant expected = QVariantMap{{QStringLiteral("n"), jose}};

    KCHTTPURLResponse r = response(200, "application/json; charset=iso-8859-1");
    EXPECT_EQ(json->responseObjectForResponse(&r, "{\"n\":\"Jos\xE9\"}", &error), expected);
    r = response(200, "application/json; charset=windows-1252");
    EXPECT_EQ(json->responseObjectForResponse(&r, "{\"n\":\"\x80\"}", &error),
              QVariant(QVariantMap{{QStringLiteral("n"), QStringLiteral("\u20AC")}}));
    r = response(200, "application/json; charset=UTF-16LE");
    EXPECT_EQ(json->responseObjectForResponse(
                  &r, *KCEncodeText(QStringLiteral("{\"n\":\"José\"}"), KCStringEncoding::UTF16LE), &error),
              expected);
    r = response(200, "application/json; charset=utf-16");
    EXPECT_EQ(json->responseObjectForResponse(
                  &r, *KCEncodeText(QStringLiteral("{\"n\":\"José\"}"), KCStringEncoding::UTF16), &error),
              expected);
    r = response(200, "application/json; charset=utf-32le");
    EXPECT_EQ(json->responseObjectForResponse(
                  &r, *KCEncodeText(QStringLiteral("{\"n\":\"José\"}"), KCStringEncoding::UTF32LE), &error),
              expected);
    EXPECT_TRUE(error.isNull());
    // An unknown charset name falls back to the serializer's encoding.
    r = response(200, "application/json; charset=x-unknown");
    EXPECT_EQ(json->responseObjectForResponse(&r, "{\"n\":\"Jos\xC3\xA9\"}", &error), expected);

    // UTF-16 with an unpaired surrogate cannot become UTF-8.
    r = response(200, "application/json; charset=utf-16be");
    error = KCError();
    EXPECT_FALSE(
        json->responseObjectForResponse(&r, QByteArray("\x00\"\xD8\x00\x00\"", 6), &error).isValid());
    EXPECT_EQ(error.code(), -1016);
    EXPECT_EQ(error.localizedDescription(), QStringLiteral("Data failed decoding as a UTF-8 string"));
    EXPECT_TRUE(error.localizedFailureReason().startsWith(QStringLiteral("Could not decode string: ")));
}

TEST(JSONResponse, UndecodableTextIsAnErrorNotAnEmptySuccess) {
    auto json = CVJSONResponseSerializer::serializer();
    for (const QByteArray &bad :
         {QByteArray("{\"a\":\"\xC3\"}"), QByteArray("\xFF\xFE\x00"), QByteArray("[\"\xE2\x82\"]")}) {
        KCError error;
        const KCHTTPURLResponse r = response(200, "application/json");
        EXPECT_FALSE(json->responseObjectForResponse(&r, bad, &error).isValid());
        EXPECT_EQ(error.domain(), CVResponseSerializationErrorDomain);
        EXPECT_EQ(error.code(), -1016);
        EXPECT_EQ(error.localizedDescription(), QStringLiteral("Data failed decoding as a UTF-8 string"));
        // The compounds still fall back to the raw bytes.
        error = KCError();
        EXPECT_EQ(athenaSerializer()->responseObjectForResponse(&r, bad, &error), QVariant(bad));
        EXPECT_TRUE(error.isNull());
    }
    KCError error;
    const KCHTTPURLResponse ascii = response(200, "application/json; charset=us-ascii");
    EXPECT_FALSE(json->responseObjectForResponse(&ascii, "[\"\xE9\"]", &error).isValid());
    EXPECT_EQ(error.code(), -1016);
}

TEST(JSONResponse, RemovesKeysWithNullValues) {
    auto json = CVJSONResponseSerializer::serializer();
    json->removesKeysWithNullValues = true;
    KCError error;
    const KCHTTPURLResponse r = response(200, "text/json");
    const QVariant result =
        json->responseObjectForResponse(&r, R"({"a":null,"b":[{"c":null,"d":1},null],"e":{}})", &error);
    EXPECT_EQ(result, QVariant(QVariantMap{
                          {QStringLiteral("b"),
                           QVariantList{QVariantMap{{QStringLiteral("d"), qlonglong(1)}}, KCNullMarker()}},
                          {QStringLiteral("e"), QVariantMap()}}));
}

TEST(JSONReader, ValuesAndNumberTypes) {
    const QVariantList values = parse(R"([1, -0, 1.0, 1e2, 2.5E-1, 9223372036854775807, -9223372036854775808,
        18446744073709551615, 18446744073709551616, 1e-400, true, false, null, "a\u00e9\ud83d\ude00\n\/"])")
                                    .toList();
    ASSERT_EQ(values.size(), 14);
    EXPECT_EQ(values[0].metaType().id(), QMetaType::LongLong);
    EXPECT_EQ(values[1].metaType().id(), QMetaType::LongLong);
    EXPECT_EQ(values[2].metaType().id(), QMetaType::Double);
    EXPECT_EQ(values[3], QVariant(100.0));
    EXPECT_EQ(values[4], QVariant(0.25));
    EXPECT_EQ(values[5], QVariant(std::numeric_limits<qlonglong>::max()));
    EXPECT_EQ(values[6], QVariant(std::numeric_limits<qlonglong>::min()));
    EXPECT_EQ(values[7], QVariant(std::numeric_limits<qulonglong>::max()));
    EXPECT_EQ(values[8].metaType().id(), QMetaType::Double);
    EXPECT_EQ(values[9], QVariant(0.0));
    EXPECT_EQ(values[10], QVariant(true));
    EXPECT_EQ(values[11], QVariant(false));
    EXPECT_TRUE(KCIsNullMarker(values[12]));
    EXPECT_EQ(values[13], QVariant(QStringLiteral("a\u00e9\U0001F600\n/")));

    // Fragments only with the option; UTF-8 byte-order mark skipped.
    EXPECT_EQ(parse("\"abc\""), QVariant(QStringLiteral("abc")));
    EXPECT_EQ(parse(" 12 "), QVariant(qlonglong(12)));
    EXPECT_EQ(parse("\xEF\xBB\xBF{}"), QVariant(QVariantMap()));
    KCError error;
    EXPECT_FALSE(parse("12", 0, &error).isValid());
    EXPECT_EQ(error.domain(), NSCocoaErrorDomain);
    EXPECT_EQ(error.code(), 3840);
    EXPECT_FALSE(error.userInfo().value(NSDebugDescriptionErrorKey).toString().isEmpty());
}

TEST(JSONReader, MalformedInputIsRejected) {
    for (const char *bad :
         {"",           "[",         "[1,]",          "{\"a\":1,}",    "{a:1}",
          "[01]",       "[1.]",      "[.5]",          "[1e]",          "[+1]",
          "[\"\x01\"]", "[\"\\x\"]", "[\"\\ud800\"]", "[\"\\udc00\"]", "[\"\\ud800\\u0041\"]",
          "[\"abc]",    "[1] x",     "[1e400]",       "[-1e400]",      "[tru]",
          "[nul]",      "NaN",       "[Infinity]",    "{\"a\" 1}",     "[1 2]",
          "\"\\u12\""}) {
        KCError error;
        EXPECT_FALSE(parse(bad, NSJSONReadingFragmentsAllowed, &error).isValid()) << bad;
        EXPECT_EQ(error.code(), 3840) << bad;
    }
}

TEST(JSONReader, NestingIsBounded) {
    const QByteArray ok =
        QByteArray(KCJSONMaximumNestingDepth, '[') + QByteArray(KCJSONMaximumNestingDepth, ']');
    EXPECT_TRUE(parse(ok).isValid());
    const QByteArray tooDeep =
        QByteArray(KCJSONMaximumNestingDepth + 1, '[') + QByteArray(KCJSONMaximumNestingDepth + 1, ']');
    EXPECT_FALSE(parse(tooDeep).isValid());

    // 100,000 levels through the serializer: an error, no crash.
    const int depth = 100000;
    QByteArray hostile;
    for (int i = 0; i < depth; ++i)
        hostile += "{\"a\":[";
    KCError error;
    const KCHTTPURLResponse r = response(200, "application/json");
    EXPECT_FALSE(
        CVJSONResponseSerializer::serializer()->responseObjectForResponse(&r, hostile, &error).isValid());
    EXPECT_EQ(error.domain(), NSCocoaErrorDomain);
    EXPECT_TRUE(
        error.userInfo().value(NSDebugDescriptionErrorKey).toString().contains(QStringLiteral("nested")));
}

TEST(JSONResponse, HundredMegabyteBodiesFailCleanly) {
    QByteArray body(100 * 1024 * 1024, 'x');
    body[0] = '[';
    const KCHTTPURLResponse r = response(200, "application/json");
    KCError error;
    EXPECT_FALSE(
        CVJSONResponseSerializer::serializer()->responseObjectForResponse(&r, body, &error).isValid());
    EXPECT_EQ(error.code(), 3840);
    body[1] = '\xC3'; // and truncated UTF-8
    error = KCError();
    EXPECT_FALSE(
        CVJSONResponseSerializer::serializer()->responseObjectForResponse(&r, body, &error).isValid());
    EXPECT_EQ(error.code(), -1016);
}

TEST(ImageResponse, DecodesImagesAndRefusesOtherTypes) {
    auto images = CVImageResponseSerializer::serializer();
    KCError error;
    const KCHTTPURLResponse png = response(200, "image/png");
    const QVariant image = images->responseObjectForResponse(&png, pngBytes(7, 3), &error);
    EXPECT_TRUE(error.isNull());
    EXPECT_EQ(image.value<QImage>().size(), QSize(7, 3));

    const QVariant garbage = images->responseObjectForResponse(&png, "not an image", &error);
    ASSERT_EQ(garbage.metaType(), QMetaType::fromType<QImage>());
    EXPECT_TRUE(garbage.value<QImage>().isNull());

    const KCHTTPURLResponse json = response(200, "application/json");
    EXPECT_FALSE(images->responseObjectForResponse(&json, pngBytes(1, 1), &error).isValid());
    EXPECT_EQ(error.code(), -1016);

    // A profile picture through the clinic compound.
    error = KCError();
    const QVariant viaCompound = clinicSerializer()->responseObjectForResponse(&png, pngBytes(4, 4), &error);
    EXPECT_EQ(viaCompound.value<QImage>().size(), QSize(4, 4));
    EXPECT_TRUE(error.isNull());
}

TEST(CompoundResponse, JoinsTheMemberErrorWithTheCallersError) {
    const KCHTTPURLResponse r = response(404, "application/json");
    KCError error(QStringLiteral("caller"), 9);
    const QVariant result = athenaSerializer()->responseObjectForResponse(&r, "{\"x\":1}", &error);
    EXPECT_EQ(result.toMap().value(QStringLiteral("x")), QVariant(qlonglong(1)));
    EXPECT_EQ(error.code(), -1011);
    EXPECT_EQ(error.underlyingError().domain(), QStringLiteral("caller"));

    // No members: a plain serializer with status 200 to 299 and any type.
    const CVCompoundResponseSerializer empty;
    error = KCError();
    EXPECT_EQ(empty.responseObjectForResponse(&r, "b", &error), QVariant(QByteArray("b")));
    EXPECT_EQ(error.code(), -1011);
}
