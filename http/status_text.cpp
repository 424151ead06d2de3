#include "http/response_serializer.h"

#include <QHash>

QString KCHTTPURLResponse::localizedStringForStatusCode(qint64 statusCode) {
    static const QHash<qint64, QString> phrases = {
        {100, QStringLiteral("continue")},
        {101, QStringLiteral("switching protocols")},
        {102, QStringLiteral("processing")},
        {103, QStringLiteral("early hints")},
        {200, QStringLiteral("ok")},
        {201, QStringLiteral("created")},
        {202, QStringLiteral("accepted")},
        {203, QStringLiteral("non-authoritative information")},
        {204, QStringLiteral("no content")},
        {205, QStringLiteral("reset content")},
        {206, QStringLiteral("partial content")},
        {207, QStringLiteral("multi-status")},
        {208, QStringLiteral("already reported")},
        {226, QStringLiteral("im used")},
        {300, QStringLiteral("multiple choices")},
        {301, QStringLiteral("moved permanently")},
        {302, QStringLiteral("found")},
        {303, QStringLiteral("see other")},
        {304, QStringLiteral("not modified")},
        {305, QStringLiteral("use proxy")},
        {307, QStringLiteral("temporary redirect")},
        {308, QStringLiteral("permanent redirect")},
        {400, QStringLiteral("bad request")},
        {401, QStringLiteral("unauthorized")},
        {402, QStringLiteral("payment required")},
        {403, QStringLiteral("forbidden")},
        {404, QStringLiteral("not found")},
        {405, QStringLiteral("method not allowed")},
        {406, QStringLiteral("not acceptable")},
        {407, QStringLiteral("proxy authentication required")},
        {408, QStringLiteral("request timeout")},
        {409, QStringLiteral("conflict")},
        {410, QStringLiteral("gone")},
        {411, QStringLiteral("length required")},
        {412, QStringLiteral("precondition failed")},
        {413, QStringLiteral("content too large")},
        {414, QStringLiteral("uri too long")},
        {415, QStringLiteral("unsupported media type")},
        {416, QStringLiteral("range not satisfiable")},
        {417, QStringLiteral("expectation failed")},
        {418, QStringLiteral("i'm a teapot")},
        {421, QStringLiteral("misdirected request")},
        {422, QStringLiteral("unprocessable content")},
        {423, QStringLiteral("locked")},
        {424, QStringLiteral("failed dependency")},
        {425, QStringLiteral("too early")},
        {426, QStringLiteral("upgrade required")},
        {428, QStringLiteral("precondition required")},
        {429, QStringLiteral("too many requests")},
        {431, QStringLiteral("request header fields too large")},
        {451, QStringLiteral("unavailable for legal reasons")},
        {500, QStringLiteral("internal server error")},
        {501, QStringLiteral("not implemented")},
        {502, QStringLiteral("bad gateway")},
        {503, QStringLiteral("service unavailable")},
        {504, QStringLiteral("gateway timeout")},
        {505, QStringLiteral("http version not supported")},
        {506, QStringLiteral("variant also negotiates")},
        {507, QStringLiteral("insufficient storage")},
        {508, QStringLiteral("loop detected")},
        {510, QStringLiteral("not extended")},
        {511, QStringLiteral("network authentication required")},
    };
    const auto it = phrases.constFind(statusCode);
    if (it != phrases.constEnd())
        return it.value();
    // Codes without a registered phrase are named by their class.
    switch (statusCode / 100) {
    case 1:
        return QStringLiteral("informational");
    case 2:
        return QStringLiteral("success");
    case 3:
        return QStringLiteral("redirected");
    case 4:
        return QStringLiteral("client error");
    case 5:
        return QStringLiteral("server error");
    default:
        return QStringLiteral("unknown status");
    }
}
