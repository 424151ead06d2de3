#include "http/request_serializer.h"
#include "tests/http/qstring_printer.h"

#include <QBuffer>
#include <QCoreApplication>
#include <QImage>
#include <QRegularExpression>
#include <gtest/gtest.h>

#include <cmath>

namespace {

QString queryOf(const KCURLRequest &request) {
    return request.URL().toString(QUrl::FullyEncoded);
}

KCURLRequest build(const CVHTTPRequestSerializer &serializer, const QString &method, const QString &url,
                   const KCParameters &parameters) {
    KCError error;
    const auto request = serializer.requestWithMethod(method, url, parameters, &error);
    EXPECT_TRUE(request.has_value());
    EXPECT_TRUE(error.isNull()) << error.localizedDescription().toStdString();
    return request.value_or(KCURLRequest());
}

} // namespace

TEST(RequestRecord, HeaderFieldsAreCaseInsensitiveAndRemovable) {
    KCURLRequest request(QUrl(QStringLiteral("https://example.test/a")));
    EXPECT_EQ(request.HTTPMethod(), QStringLiteral("GET"));
    EXPECT_DOUBLE_EQ(request.timeoutInterval(), 60.0);
    request.setValue(QStringLiteral("text/plain"), QStringLiteral("Content-Type"));
    request.setValue(QStringLiteral("application/json"), QStringLiteral("content-type"));
    EXPECT_EQ(request.valueForHTTPHeaderField(QStringLiteral("CONTENT-TYPE")),
              QStringLiteral("application/json"));
    ASSERT_EQ(request.allHTTPHeaderFields().size(), 1);
    EXPECT_EQ(request.allHTTPHeaderFields().front().first, QStringLiteral("Content-Type"));
    request.setValue(QString(), QStringLiteral("CONTENT-type"));
    EXPECT_TRUE(request.valueForHTTPHeaderField(QStringLiteral("Content-Type")).isNull());

    // Copies are independent values.
    KCURLRequest copy = request;
    copy.setTimeoutInterval(20);
    copy.setValue(QStringLiteral("x"), QStringLiteral("X-Test"));
    EXPECT_DOUBLE_EQ(request.timeoutInterval(), 60.0);
    EXPECT_FALSE(request.hasHeaderField(QStringLiteral("X-Test")));

    // Body bytes and body stream exclude each other.
    request.setHTTPBody("abc");
    EXPECT_TRUE(request.hasHTTPBody());
    request.setHTTPBodyStream(std::make_shared<QBuffer>());
    EXPECT_FALSE(request.hasHTTPBody());
    request.setHTTPBody("x");
    EXPECT_EQ(request.HTTPBodyStream(), nullptr);
    EXPECT_EQ(request.copyHTTPBodyStream(), nullptr);
}

TEST(QueryEncoding, EscapesEverythingOutsideTheAllowedSet) {
    EXPECT_EQ(CVPercentEscapedStringFromString(QStringLiteral("x y")), QStringLiteral("x%20y"));
    EXPECT_EQ(CVPercentEscapedStringFromString(QStringLiteral("a&b=c+d/e?f")),
              QStringLiteral("a%26b%3Dc%2Bd/e?f"));
    EXPECT_EQ(CVPercentEscapedStringFromString(QStringLiteral("[]@:#!$'()*,;")),
              QStringLiteral("%5B%5D%40%3A%23%21%24%27%28%29%2A%2C%3B"));
    EXPECT_EQ(CVPercentEscapedStringFromString(QStringLiteral("-._~AZaz09")), QStringLiteral("-._~AZaz09"));
    EXPECT_EQ(CVPercentEscapedStringFromString(QStringLiteral("é")), QStringLiteral("%C3%A9"));
    // Long texts with surrogate pairs and combining marks across the 50-unit
    // runs escape exactly as their UTF-8 bytes.
    QString longText;
    for (int i = 0; i < 40; ++i)
        longText += QStringLiteral("ab\U0001F600e\u0301 ");
    QString expected;
    for (char c : longText.toUtf8()) {
        const auto b = static_cast<unsigned char>(c);
        if (QByteArray("-._~/?").contains(c) || std::isalnum(b))
            expected += QLatin1Char(c);
        else
            expected += QStringLiteral("%%1").arg(b, 2, 16, QLatin1Char('0')).toUpper();
    }
    EXPECT_EQ(CVPercentEscapedStringFromString(longText), expected);
}

TEST(QueryEncoding, FlattensNestedValuesInSortedOrder) {
    QVariantMap user{{QStringLiteral("name"), QStringLiteral("A")},
                     {QStringLiteral("tags"), QVariantList{QStringLiteral("x"), QStringLiteral("y")}}};
    EXPECT_EQ(CVQueryStringFromParameters({{QStringLiteral("user"), user}}),
              QStringLiteral("user%5Bname%5D=A&user%5Btags%5D%5B%5D=x&user%5Btags%5D%5B%5D=y"));
    // Case-sensitive order by character value.
    EXPECT_EQ(CVQueryStringFromParameters(
                  {{QStringLiteral("a"), 1}, {QStringLiteral("B"), 2}, {QStringLiteral("b"), 3}}),
              QStringLiteral("B=2&a=1&b=3"));
    // Sets: sorted, same key, no brackets.
    KCVariantSet set{{QStringLiteral("z"), QStringLiteral("m"), QStringLiteral("a")}};
    EXPECT_EQ(CVQueryStringFromParameters({{QStringLiteral("s"), QVariant::fromValue(set)}}),
              QStringLiteral("s=a&s=m&s=z"));
    // Null marker: the bare key. Booleans and numbers: plain decimal.
    EXPECT_EQ(CVQueryStringFromParameters({{QStringLiteral("a"), KCNullMarker()},
                                           {QStringLiteral("b"), true},
                                           {QStringLiteral("c"), false},
                                           {QStringLiteral("d"), 2.5},
                                           {QStringLiteral("e"), qlonglong(-7)}}),
              QStringLiteral("a&b=1&c=0&d=2.5&e=-7"));
    EXPECT_EQ(CVQueryStringFromParameters({{QStringLiteral("v"), QStringLiteral("a&b=c+d/e")}}),
              QStringLiteral("v=a%26b%3Dc%2Bd/e"));
}

TEST(HTTPRequestSerializer, GETPutsParametersIntoTheQuery) {
    CVHTTPRequestSerializer serializer;
    const KCParameters parameters =
        QVariantMap{{QStringLiteral("b"), 1}, {QStringLiteral("a"), QStringLiteral("x y")}};
    EXPECT_EQ(
        queryOf(build(serializer, QStringLiteral("GET"), QStringLiteral("https://h.test/p"), parameters)),
        QStringLiteral("https://h.test/p?a=x%20y&b=1"));
    EXPECT_EQ(
        queryOf(build(serializer, QStringLiteral("GET"), QStringLiteral("https://h.test/p?z=0"), parameters)),
        QStringLiteral("https://h.test/p?z=0&a=x%20y&b=1"));
    // An empty dictionary appends a lone "?"; no parameters leave the URL alone.
    EXPECT_EQ(
        queryOf(build(serializer, QStringLiteral("GET"), QStringLiteral("https://h.test/p"), QVariantMap())),
        QStringLiteral("https://h.test/p?"));
    EXPECT_EQ(
        queryOf(build(serializer, QStringLiteral("GET"), QStringLiteral("https://h.test/p"), std::nullopt)),
        QStringLiteral("https://h.test/p"));
    // Escaped delimiters survive in the URL.
    EXPECT_EQ(queryOf(build(serializer, QStringLiteral("GET"), QStringLiteral("https://h.test/p"),
                            QVariantMap{{QStringLiteral("v[]"), QStringLiteral("a&b=c+d/e?f %")}})),
              QStringLiteral("https://h.test/p?v%5B%5D=a%26b%3Dc%2Bd/e?f%20%25"));
    const KCURLRequest del =
        build(serializer, QStringLiteral("delete"), QStringLiteral("https://h.test/p"), parameters);
    EXPECT_EQ(queryOf(del), QStringLiteral("https://h.test/p?a=x%20y&b=1"));
    EXPECT_EQ(del.HTTPMethod(), QStringLiteral("delete"));
    EXPECT_FALSE(del.hasHTTPBody());
    EXPECT_FALSE(del.hasHeaderField(QStringLiteral("Content-Type")));
}

TEST(HTTPRequestSerializer, POSTSendsAFormBody) {
    CVHTTPRequestSerializer serializer;
    KCURLRequest request =
        build(serializer, QStringLiteral("POST"), QStringLiteral("https://h.test/token"),
              QVariantMap{{QStringLiteral("grant_type"), QStringLiteral("client_credentials")}});
    EXPECT_EQ(request.HTTPBody(), QByteArray("grant_type=client_credentials"));
    EXPECT_EQ(request.valueForHTTPHeaderField(QStringLiteral("Content-Type")),
              QStringLiteral("application/x-www-form-urlencoded"));
    EXPECT_EQ(queryOf(request), QStringLiteral("https://h.test/token"));

    request = build(serializer, QStringLiteral("POST"), QStringLiteral("https://h.test/token"), std::nullopt);
    EXPECT_TRUE(request.hasHTTPBody());
    EXPECT_EQ(request.HTTPBody(), QByteArray());
    EXPECT_EQ(request.valueForHTTPHeaderField(QStringLiteral("Content-Type")),
              QStringLiteral("application/x-www-form-urlencoded"));
}

TEST(HTTPRequestSerializer, HeadersOnTheRequestWinOverDefaults) {
    CVHTTPRequestSerializer serializer;
    serializer.setValue(QStringLiteral("Bearer T"), QStringLiteral("Authorization"));
    serializer.setValue(QStringLiteral("text/plain"), QStringLiteral("Content-Type"));
    KCURLRequest base(QUrl(QStringLiteral("https://h.test/x")));
    base.setHTTPMethod(QStringLiteral("POST"));
    base.setValue(QStringLiteral("Basic abc"), QStringLiteral("authorization"));
    base.setValue(QStringLiteral("application/xml"), QStringLiteral("content-type"));
    KCError error;
    const auto request =
        serializer.requestBySerializingRequest(base, QVariantMap{{QStringLiteral("a"), 1}}, &error);
    ASSERT_TRUE(request);
    EXPECT_EQ(request->valueForHTTPHeaderField(QStringLiteral("Authorization")), QStringLiteral("Basic abc"));
    EXPECT_EQ(request->valueForHTTPHeaderField(QStringLiteral("Content-Type")),
              QStringLiteral("application/xml"));
    EXPECT_EQ(request->HTTPBody(), QByteArray("a=1"));

    // Default headers: set, read back, copy, remove.
    EXPECT_EQ(serializer.valueForHTTPHeaderField(QStringLiteral("authorization")),
              QStringLiteral("Bearer T"));
    KCHeaderList headers = serializer.HTTPRequestHeaders();
    serializer.setValue(QString(), QStringLiteral("Authorization"));
    EXPECT_TRUE(serializer.valueForHTTPHeaderField(QStringLiteral("Authorization")).isNull());
    EXPECT_EQ(headers.size(), serializer.HTTPRequestHeaders().size() + 1);
}

TEST(HTTPRequestSerializer, BasicAuthorization) {
    CVHTTPRequestSerializer serializer;
    serializer.setAuthorizationHeaderFieldWithUsername(QStringLiteral("user"), QStringLiteral("pass"));
    EXPECT_EQ(serializer.valueForHTTPHeaderField(QStringLiteral("Authorization")),
              QStringLiteral("Basic dXNlcjpwYXNz"));
    serializer.setAuthorizationHeaderFieldWithUsername(QStringLiteral("user"), QLatin1String(""));
    EXPECT_EQ(serializer.valueForHTTPHeaderField(QStringLiteral("Authorization")),
              QStringLiteral("Basic dXNlcjo="));
    serializer.setAuthorizationHeaderFieldWithUsername(QStringLiteral("ü"), QStringLiteral("p"));
    EXPECT_EQ(serializer.valueForHTTPHeaderField(QStringLiteral("Authorization")),
              QStringLiteral("Basic w7w6cA=="));
    serializer.clearAuthorizationHeader();
    EXPECT_TRUE(serializer.valueForHTTPHeaderField(QStringLiteral("Authorization")).isNull());
}

TEST(HTTPRequestSerializer, AcceptLanguageAndUserAgent) {
    const QStringList eight{QStringLiteral("en-US"), QStringLiteral("fr"), QStringLiteral("de"),
                            QStringLiteral("es"),    QStringLiteral("it"), QStringLiteral("nl"),
                            QStringLiteral("pt"),    QStringLiteral("sv")};
    EXPECT_EQ(CVHTTPRequestSerializer::acceptLanguageHeaderValue(eight),
              QStringLiteral("en-US;q=1, fr;q=0.9, de;q=0.8, es;q=0.7, it;q=0.6, nl;q=0.5"));
    EXPECT_EQ(CVHTTPRequestSerializer::acceptLanguageHeaderValue(eight.mid(0, 2)),
              QStringLiteral("en-US;q=1, fr;q=0.9"));
    EXPECT_EQ(CVHTTPRequestSerializer::acceptLanguageHeaderValue({}), QString());

    EXPECT_EQ(CVHTTPRequestSerializer::userAgentHeaderValue(
                  QStringLiteral("KelvraCapture"), QStringLiteral("1.2"),
                  QStringLiteral("X11; Linux x86_64; Debian GNU/Linux 12 (bookworm)")),
              QStringLiteral("KelvraCapture/1.2 (X11; Linux x86_64; Debian GNU/Linux 12 (bookworm))"));
    // Non-ASCII text is transliterated, the rest removed.
    EXPECT_EQ(CVHTTPRequestSerializer::userAgentHeaderValue(
                  QStringLiteral("Café Straße"), QStringLiteral("1"), QStringLiteral("Système 日本")),
              QStringLiteral("Cafe Strasse/1 (Systeme )"));

    // The defaults of a new serializer come from the running application and
    // the desktop session it runs in.
    QCoreApplication::setApplicationName(QStringLiteral("KelvraCapture"));
    QCoreApplication::setApplicationVersion(QStringLiteral("3.4"));
    const QByteArray session =
        qEnvironmentVariableIsSet("XDG_SESSION_TYPE") ? qgetenv("XDG_SESSION_TYPE") : QByteArray();
    qputenv("XDG_SESSION_TYPE", "wayland");
    CVHTTPRequestSerializer serializer;
    const QString agent = serializer.valueForHTTPHeaderField(QStringLiteral("User-Agent"));
    EXPECT_TRUE(agent.startsWith(QStringLiteral("KelvraCapture/3.4 (Wayland; Linux ")))
        << agent.toStdString();
    qputenv("XDG_SESSION_TYPE", "x11");
    EXPECT_TRUE(CVHTTPRequestSerializer::userAgentPlatformText().startsWith(QStringLiteral("X11; Linux ")));
    if (session.isNull())
        qunsetenv("XDG_SESSION_TYPE");
    else
        qputenv("XDG_SESSION_TYPE", session);
    for (QChar c : agent)
        EXPECT_LT(c.unicode(), 0x80);
    const QString languages = serializer.valueForHTTPHeaderField(QStringLiteral("Accept-Language"));
    EXPECT_TRUE(QRegularExpression(
                    QStringLiteral("^[A-Za-z]{1,8}(-[A-Za-z0-9]{1,8})*;q=1(, [A-Za-z0-9-]+;q=0\\.[5-9])*$"))
                    .match(languages)
                    .hasMatch())
        << languages.toStdString();
    EXPECT_FALSE(languages.contains(QStringLiteral("-Latn-")));
}

TEST(HTTPRequestSerializer, OnlyPropertiesSetOnTheSerializerReachRequests) {
    CVHTTPRequestSerializer serializer;
    KCURLRequest request =
        build(serializer, QStringLiteral("GET"), QStringLiteral("https://h.test/"), std::nullopt);
    EXPECT_DOUBLE_EQ(request.timeoutInterval(), 60.0);
    EXPECT_TRUE(request.HTTPShouldHandleCookies());
    EXPECT_TRUE(serializer.mutableObservedChangedKeyPaths().isEmpty());

    serializer.setTimeoutInterval(20);
    serializer.setHTTPShouldHandleCookies(false);
    serializer.setCachePolicy(NSURLRequestCachePolicy::ReloadIgnoringLocalCacheData);
    serializer.setAllowsCellularAccess(false);
    serializer.setHTTPShouldUsePipelining(true);
    serializer.setNetworkServiceType(NSURLRequestNetworkServiceType::Background);
    EXPECT_EQ(serializer.mutableObservedChangedKeyPaths().size(), 6);
    request = build(serializer, QStringLiteral("GET"), QStringLiteral("https://h.test/"), std::nullopt);
    EXPECT_DOUBLE_EQ(request.timeoutInterval(), 20.0);
    EXPECT_FALSE(request.HTTPShouldHandleCookies());
    EXPECT_EQ(request.cachePolicy(), NSURLRequestCachePolicy::ReloadIgnoringLocalCacheData);
    EXPECT_FALSE(request.allowsCellularAccess());
    EXPECT_TRUE(request.HTTPShouldUsePipelining());
    EXPECT_EQ(request.networkServiceType(), NSURLRequestNetworkServiceType::Background);

    // Copies carry the configuration.
    const auto copy = serializer.copy();
    EXPECT_DOUBLE_EQ(copy->timeoutInterval(), 20.0);
    EXPECT_EQ(copy->mutableObservedChangedKeyPaths(), serializer.mutableObservedChangedKeyPaths());
}

TEST(HTTPRequestSerializer, CustomQueryFunction) {
    CVHTTPRequestSerializer serializer;
    serializer.setQueryStringSerializationWithBlock(
        [](const KCURLRequest &, const QVariantMap &parameters, KCError *) {
            return QStringLiteral("n=%1").arg(parameters.size());
        });
    KCURLRequest request = build(serializer, QStringLiteral("GET"), QStringLiteral("https://h.test/"),
                                 QVariantMap{{QStringLiteral("a"), 1}, {QStringLiteral("b"), 2}});
    EXPECT_EQ(queryOf(request), QStringLiteral("https://h.test/?n=2"));

    serializer.setQueryStringSerializationWithBlock(
        [](const KCURLRequest &, const QVariantMap &, KCError *error) {
            *error = KCError(QStringLiteral("test"), 7);
            return QString();
        });
    KCError error;
    EXPECT_FALSE(serializer.requestWithMethod(QStringLiteral("POST"), QStringLiteral("https://h.test/"),
                                              QVariantMap{{QStringLiteral("a"), 1}}, &error));
    EXPECT_EQ(error.domain(), QStringLiteral("test"));
    EXPECT_EQ(error.code(), 7);

    serializer.setQueryStringSerializationWithStyle(
        CVHTTPRequestQueryStringSerializationStyle::CVHTTPRequestQueryStringDefaultStyle);
    request = build(serializer, QStringLiteral("GET"), QStringLiteral("https://h.test/"),
                    QVariantMap{{QStringLiteral("a"), 1}});
    EXPECT_EQ(queryOf(request), QStringLiteral("https://h.test/?a=1"));
}

TEST(HTTPRequestSerializer, BadURLTextsAndMethods) {
    CVHTTPRequestSerializer serializer;
    KCURLRequest request =
        build(serializer, QStringLiteral("GET"), QStringLiteral("relative/path"), std::nullopt);
    EXPECT_TRUE(request.URL().isEmpty());
    KCError error;
    EXPECT_FALSE(
        serializer.requestWithMethod(QString(), QStringLiteral("https://h.test/"), std::nullopt, &error));
    EXPECT_EQ(error.domain(), CVRequestSerializationErrorDomain);
}

TEST(JSONRequestSerializer, PostsAJSONBody) {
    auto serializer = CVJSONRequestSerializer::serializer();
    KCURLRequest request = build(*serializer, QStringLiteral("POST"), QStringLiteral("https://h.test/api/x"),
                                 QVariantMap{{QStringLiteral("a"), 1}});
    EXPECT_EQ(request.HTTPBody(), QByteArray("{\"a\":1}"));
    EXPECT_EQ(request.valueForHTTPHeaderField(QStringLiteral("Content-Type")),
              QStringLiteral("application/json"));

    // Methods with parameters in the URI use the query instead.
    request = build(*serializer, QStringLiteral("DELETE"), QStringLiteral("https://h.test/api/x"),
                    QVariantMap{{QStringLiteral("a"), 1}});
    EXPECT_EQ(queryOf(request), QStringLiteral("https://h.test/api/x?a=1"));
    EXPECT_FALSE(request.hasHTTPBody());

    // Without parameters: neither body nor Content-Type.
    request =
        build(*serializer, QStringLiteral("POST"), QStringLiteral("https://h.test/api/x"), std::nullopt);
    EXPECT_FALSE(request.hasHTTPBody());
    EXPECT_FALSE(request.hasHeaderField(QStringLiteral("Content-Type")));

    // The subclass is reached through the base class.
    std::shared_ptr<CVHTTPRequestSerializer> base = serializer->copy();
    request = build(*base, QStringLiteral("PUT"), QStringLiteral("https://h.test/api/x"),
                    QVariantMap{{QStringLiteral("b"),
                                 QVariantList{1, 2.5, true, KCNullMarker(), QStringLiteral("s/t")}}});
    EXPECT_EQ(request.HTTPBody(), QByteArray(R"({"b":[1,2.5,true,null,"s\/t"]})"));
}

TEST(JSONRequestSerializer, WriterOptionsAndEscapes) {
    const QVariantMap value{{QStringLiteral("k"), QStringLiteral("q\"\\\n\t\x01é/")},
                            {QStringLiteral("n"), QVariantMap{{QStringLiteral("x"), QVariantList()}}}};
    KCError error;
    EXPECT_EQ(KCJSONDataWithObject(value, 0, &error).value_or("failed"),
              QByteArray("{\"k\":\"q\\\"\\\\\\n\\t\\u0001\xC3\xA9\\/\",\"n\":{\"x\":[]}}"));
    EXPECT_EQ(KCJSONDataWithObject(value, NSJSONWritingWithoutEscapingSlashes, &error).value_or("failed"),
              QByteArray("{\"k\":\"q\\\"\\\\\\n\\t\\u0001\xC3\xA9/\",\"n\":{\"x\":[]}}"));
    EXPECT_EQ(KCJSONDataWithObject(QVariantMap{{QStringLiteral("a"), QVariantList{1}}},
                                   NSJSONWritingPrettyPrinted, &error)
                  .value_or("failed"),
              QByteArray("{\n  \"a\" : [\n    1\n  ]\n}"));
    EXPECT_EQ(
        KCJSONDataWithObject(QStringLiteral("x"), NSJSONWritingFragmentsAllowed, &error).value_or("failed"),
        QByteArray("\"x\""));
    EXPECT_FALSE(KCJSONDataWithObject(QStringLiteral("x"), 0, &error));
    EXPECT_EQ(error.domain(), NSCocoaErrorDomain);
}

TEST(JSONRequestSerializer, UnencodableParametersGiveAnErrorAndNoBody) {
    auto serializer = CVJSONRequestSerializer::serializer();
    for (const QVariant &bad :
         {QVariant(std::nan("")), QVariant(INFINITY), QVariant(QByteArray("raw")),
          QVariant(QImage(1, 1, QImage::Format_RGB32)), QVariant(QString(QChar(0xD800)))}) {
        KCError error;
        const auto request =
            serializer->requestWithMethod(QStringLiteral("POST"), QStringLiteral("https://h.test/"),
                                          QVariantMap{{QStringLiteral("v"), bad}}, &error);
        ASSERT_TRUE(request.has_value());
        EXPECT_FALSE(error.isNull()) << bad.typeName();
        EXPECT_EQ(error.domain(), NSCocoaErrorDomain);
        EXPECT_FALSE(error.localizedDescription().isEmpty());
        EXPECT_TRUE(request->HTTPBody().isEmpty());
    }
}
