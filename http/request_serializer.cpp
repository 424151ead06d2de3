#include "http/request_serializer.h"

#include <QCoreApplication>
#include <QDate>
#include <QDateTime>
#include <QFileInfo>
#include <QLocale>
#include <QSysInfo>
#include <QUrl>
#include <algorithm>
#include <cmath>
#include <cstdio>

namespace {

const QString kAllowsCellularAccess = QStringLiteral("allowsCellularAccess");
const QString kCachePolicy = QStringLiteral("cachePolicy");
const QString kHTTPShouldHandleCookies = QStringLiteral("HTTPShouldHandleCookies");
const QString kHTTPShouldUsePipelining = QStringLiteral("HTTPShouldUsePipelining");
const QString kNetworkServiceType = QStringLiteral("networkServiceType");
const QString kTimeoutInterval = QStringLiteral("timeoutInterval");

bool isUnescaped(char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-' ||
           c == '.' || c == '_' || c == '~' || c == '/' || c == '?';
}

QVariantList sortedByDescription(const QVariantList &elements) {
    QVariantList sorted = elements;
    std::stable_sort(sorted.begin(), sorted.end(), [](const QVariant &a, const QVariant &b) {
        return KCDescriptionOfValue(a) < KCDescriptionOfValue(b);
    });
    return sorted;
}

void appendPairs(QList<CVQueryStringPair> &out, const QString *key, const QVariant &value) {
    const QMetaType type = value.metaType();
    if (type == QMetaType::fromType<QVariantMap>()) {
        // QVariantMap iterates in key order, which is the order we want.
        const QVariantMap map = value.toMap();
        for (auto it = map.cbegin(); it != map.cend(); ++it) {
            if (!it.value().isValid())
                continue;
            const QString nested = key ? QStringLiteral("%1[%2]").arg(*key, it.key()) : it.key();
            appendPairs(out, &nested, it.value());
        }
    } else if (type == QMetaType::fromType<QVariantHash>()) {
        const QVariantHash hash = value.toHash();
        QStringList keys = hash.keys();
        std::sort(keys.begin(), keys.end());
        for (const QString &k : keys) {
            const QVariant &v = hash[k];
            if (!v.isValid())
                continue;
            const QString nested = key ? QStringLiteral("%1[%2]").arg(*key, k) : k;
            appendPairs(out, &nested, v);
        }
    } else if (type == QMetaType::fromType<QVariantList>() || type == QMetaType::fromType<QStringList>()) {
        const QString nested = QStringLiteral("%1[]").arg(key ? *key : QString());
        for (const QVariant &element : value.toList())
            appendPairs(out, &nested, element);
    } else if (type == QMetaType::fromType<KCVariantSet>()) {
        for (const QVariant &element : sortedByDescription(value.value<KCVariantSet>().elements))
            appendPairs(out, key, element);
    } else {
        out.append(CVQueryStringPair(key ? QVariant(*key) : QVariant(), value));
    }
}

// Latin letters without a canonical decomposition, spelled in ASCII.
QString asciiSpelling(char32_t c) {
    switch (c) {
    case U'ß':
        return QStringLiteral("ss");
    case U'Æ':
        return QStringLiteral("AE");
    case U'æ':
        return QStringLiteral("ae");
    case U'Ø':
        return QStringLiteral("O");
    case U'ø':
        return QStringLiteral("o");
    case U'Œ':
        return QStringLiteral("OE");
    case U'œ':
        return QStringLiteral("oe");
    case U'Ł':
        return QStringLiteral("L");
    case U'ł':
        return QStringLiteral("l");
    case U'Đ':
        return QStringLiteral("D");
    case U'đ':
        return QStringLiteral("d");
    case U'Þ':
        return QStringLiteral("TH");
    case U'þ':
        return QStringLiteral("th");
    case U'ı':
        return QStringLiteral("i");
    default:
        return QString();
    }
}

// Latin transliteration, then removal of everything that is not ASCII.
QString transliteratedToASCII(const QString &text) {
    QString out;
    for (char32_t c : text.toUcs4()) {
        if (c < 0x80) {
            out.append(QChar(char16_t(c)));
            continue;
        }
        const QString spelled = asciiSpelling(c);
        if (!spelled.isEmpty()) {
            out += spelled;
            continue;
        }
        const QString decomposed = QString::fromUcs4(&c, 1).normalized(QString::NormalizationForm_KD);
        for (QChar d : decomposed) {
            if (d.unicode() < 0x80)
                out.append(d);
        }
    }
    return out;
}

// The user's languages in order of preference. Qt lists each language also
// with its likely script ("de-Latn-DE" next to "de-DE"); those spellings add
// nothing for servers and would crowd real languages out of the six entries,
// so they are left out. The C locale stands for English.
QStringList preferredLanguages() {
    const QStringList ui = QLocale::system().uiLanguages();
    QStringList out;
    for (const QString &language : ui) {
        QString tag = language;
        if (tag == QLatin1String("C") || tag == QLatin1String("POSIX"))
            tag = QStringLiteral("en");
        const QStringList parts = tag.split(u'-');
        if (parts.size() == 3 && parts[1].size() == 4 &&
            ui.contains(QStringLiteral("%1-%2").arg(parts[0], parts[2]), Qt::CaseInsensitive))
            continue;
        if (!out.contains(tag, Qt::CaseInsensitive))
            out.append(tag);
    }
    return out;
}

bool isASCII(const QString &text) {
    return std::all_of(text.cbegin(), text.cend(), [](QChar c) { return c.unicode() < 0x80; });
}

// JSON writing -------------------------------------------------------------

constexpr qint64 kJSONWriteInvalidError = 3852;
constexpr int kJSONWriteMaximumDepth = 512;

KCError jsonWriteError(const QString &text) {
    return KCError(NSCocoaErrorDomain, kJSONWriteInvalidError,
                   {{NSLocalizedDescriptionKey, text}, {NSDebugDescriptionErrorKey, text}});
}

struct JSONWriter {
    unsigned options;
    QByteArray out;
    KCError error;

    bool pretty() const { return options & NSJSONWritingPrettyPrinted; }

    void newline(int depth) {
        if (!pretty())
            return;
        out.append('\n');
        out.append(QByteArray(depth * 2, ' '));
    }

    bool writeString(const QString &s) {
        out.append('"');
        const qsizetype n = s.size();
        for (qsizetype i = 0; i < n; ++i) {
            const QChar c = s.at(i);
            const char16_t u = c.unicode();
            if (c.isHighSurrogate()) {
                if (i + 1 >= n || !s.at(i + 1).isLowSurrogate()) {
                    error = jsonWriteError(QStringLiteral("Unable to convert string to UTF-8 in JSON write"));
                    return false;
                }
                out.append(s.mid(i, 2).toUtf8());
                ++i;
                continue;
            }
            if (c.isLowSurrogate()) {
                error = jsonWriteError(QStringLiteral("Unable to convert string to UTF-8 in JSON write"));
                return false;
            }
            switch (u) {
            case u'"':
                out.append("\\\"");
                break;
            case u'\\':
                out.append("\\\\");
                break;
            case u'/':
                out.append((options & NSJSONWritingWithoutEscapingSlashes) ? "/" : "\\/");
                break;
            case u'\b':
                out.append("\\b");
                break;
            case u'\f':
                out.append("\\f");
                break;
            case u'\n':
                out.append("\\n");
                break;
            case u'\r':
                out.append("\\r");
                break;
            case u'\t':
                out.append("\\t");
                break;
            default:
                if (u < 0x20) {
                    char buf[8];
                    std::snprintf(buf, sizeof buf, "\\u%04x", unsigned(u));
                    out.append(buf);
                } else if (u < 0x80) {
                    out.append(char(u));
                } else {
                    out.append(QString(c).toUtf8());
                }
            }
        }
        out.append('"');
        return true;
    }

    bool writeDouble(double d) {
        if (std::isnan(d)) {
            error = jsonWriteError(QStringLiteral("Invalid number value (NaN) in JSON write"));
            return false;
        }
        if (std::isinf(d)) {
            error = jsonWriteError(QStringLiteral("Invalid number value (infinite) in JSON write"));
            return false;
        }
        out.append(QByteArray::number(d, 'g', QLocale::FloatingPointShortest));
        return true;
    }

    bool write(const QVariant &v, int depth) {
        if (depth > kJSONWriteMaximumDepth) {
            error = jsonWriteError(QStringLiteral("Too many nested arrays or dictionaries in JSON write"));
            return false;
        }
        if (KCIsNullMarker(v)) {
            out.append("null");
            return true;
        }
        switch (v.metaType().id()) {
        case QMetaType::QString:
            return writeString(v.toString());
        case QMetaType::Bool:
            out.append(v.toBool() ? "true" : "false");
            return true;
        case QMetaType::Int:
        case QMetaType::Long:
        case QMetaType::LongLong:
        case QMetaType::Short:
        case QMetaType::SChar:
            out.append(QByteArray::number(v.toLongLong()));
            return true;
        case QMetaType::UInt:
        case QMetaType::ULong:
        case QMetaType::ULongLong:
        case QMetaType::UShort:
        case QMetaType::UChar:
            out.append(QByteArray::number(v.toULongLong()));
            return true;
        case QMetaType::Float:
            if (!std::isfinite(v.toFloat()))
                return writeDouble(v.toFloat());
            out.append(QByteArray::number(v.toFloat(), 'g', QLocale::FloatingPointShortest));
            return true;
        case QMetaType::Double:
            return writeDouble(v.toDouble());
        case QMetaType::QVariantMap:
        case QMetaType::QVariantHash: {
            QVariantMap map = v.toMap();
            if (map.isEmpty()) {
                out.append("{}");
                return true;
            }
            out.append('{');
            bool first = true;
            for (auto it = map.cbegin(); it != map.cend(); ++it) {
                if (!first)
                    out.append(',');
                first = false;
                newline(depth + 1);
                if (!writeString(it.key()))
                    return false;
                out.append(pretty() ? " : " : ":");
                if (!write(it.value(), depth + 1))
                    return false;
            }
            newline(depth);
            out.append('}');
            return true;
        }
        case QMetaType::QVariantList:
        case QMetaType::QStringList: {
            const QVariantList list = v.toList();
            if (list.isEmpty()) {
                out.append("[]");
                return true;
            }
            out.append('[');
            bool first = true;
            for (const QVariant &element : list) {
                if (!first)
                    out.append(',');
                first = false;
                newline(depth + 1);
                if (!write(element, depth + 1))
                    return false;
            }
            newline(depth);
            out.append(']');
            return true;
        }
        default:
            error = jsonWriteError(
                QStringLiteral("Invalid type in JSON write (%1)")
                    .arg(v.isValid() ? QString::fromLatin1(v.typeName()) : QStringLiteral("none")));
            return false;
        }
    }
};

} // namespace

QString KCDescriptionOfValue(const QVariant &value) {
    if (KCIsNullMarker(value))
        return QStringLiteral("<null>");
    switch (value.metaType().id()) {
    case QMetaType::UnknownType:
        return QStringLiteral("(null)");
    case QMetaType::QString:
        return value.toString();
    case QMetaType::Bool:
        return value.toBool() ? QStringLiteral("1") : QStringLiteral("0");
    case QMetaType::Double:
        return QString::number(value.toDouble(), 'g', QLocale::FloatingPointShortest);
    case QMetaType::Float:
        return QString::number(value.toFloat(), 'g', QLocale::FloatingPointShortest);
    case QMetaType::QByteArray:
        return QString::fromUtf8(value.toByteArray());
    case QMetaType::QUrl:
        return value.toUrl().toString(QUrl::FullyEncoded);
    case QMetaType::QDateTime:
        return value.toDateTime().toString(Qt::ISODate);
    case QMetaType::QDate:
        return value.toDate().toString(Qt::ISODate);
    default:
        break;
    }
    if (value.canConvert<QString>())
        return value.toString();
    return QString::fromLatin1(value.typeName());
}

QString CVPercentEscapedStringFromString(const QString &string) {
    const QByteArray utf8 = string.toUtf8();
    QString out;
    out.reserve(utf8.size());
    static const char hex[] = "0123456789ABCDEF";
    for (char c : utf8) {
        if (isUnescaped(c)) {
            out.append(QLatin1Char(c));
        } else {
            const auto b = static_cast<unsigned char>(c);
            out.append(QLatin1Char('%'));
            out.append(QLatin1Char(hex[b >> 4]));
            out.append(QLatin1Char(hex[b & 0xF]));
        }
    }
    return out;
}

QString CVQueryStringPair::URLEncodedStringValue() const {
    const QString escapedField = CVPercentEscapedStringFromString(KCDescriptionOfValue(field));
    if (!value.isValid() || KCIsNullMarker(value))
        return escapedField;
    return escapedField + QLatin1Char('=') + CVPercentEscapedStringFromString(KCDescriptionOfValue(value));
}

QList<CVQueryStringPair> CVQueryStringPairsFromDictionary(const QVariantMap &dictionary) {
    QList<CVQueryStringPair> out;
    appendPairs(out, nullptr, QVariant(dictionary));
    return out;
}

QList<CVQueryStringPair> CVQueryStringPairsFromKeyAndValue(const QString &key, const QVariant &value) {
    QList<CVQueryStringPair> out;
    appendPairs(out, key.isNull() ? nullptr : &key, value);
    return out;
}

QString CVQueryStringFromParameters(const QVariantMap &parameters) {
    QStringList parts;
    for (const CVQueryStringPair &pair : CVQueryStringPairsFromDictionary(parameters))
        parts.append(pair.URLEncodedStringValue());
    return parts.join(QLatin1Char('&'));
}

std::optional<QByteArray> KCJSONDataWithObject(const QVariant &object, unsigned writingOptions,
                                               KCError *error) {
    const int type = object.metaType().id();
    const bool container = type == QMetaType::QVariantMap || type == QMetaType::QVariantHash ||
                           type == QMetaType::QVariantList || type == QMetaType::QStringList;
    if (!container && !(writingOptions & NSJSONWritingFragmentsAllowed)) {
        if (error)
            *error = jsonWriteError(QStringLiteral("Invalid top-level type in JSON write"));
        return std::nullopt;
    }
    JSONWriter writer{writingOptions, {}, {}};
    if (!writer.write(object, 0)) {
        if (error)
            *error = writer.error;
        return std::nullopt;
    }
    return writer.out;
}

// --- CVHTTPRequestSerializer ------------------------------------------------

QString CVHTTPRequestSerializer::acceptLanguageHeaderValue(const QStringList &preferredLanguages) {
    QStringList entries;
    for (qsizetype i = 0; i < preferredLanguages.size(); ++i) {
        const float q = 1.0f - 0.1f * float(i);
        char buf[32];
        std::snprintf(buf, sizeof buf, "%0.1g", double(q));
        entries.append(QStringLiteral("%1;q=%2").arg(preferredLanguages[i], QString::fromLatin1(buf)));
        if (q <= 0.5f)
            break;
    }
    return entries.join(QStringLiteral(", "));
}

QString CVHTTPRequestSerializer::userAgentHeaderValue(const QString &name, const QString &version,
                                                      const QString &platformText) {
    const QString agent = QStringLiteral("%1/%2 (%3)").arg(name, version, platformText);
    return isASCII(agent) ? agent : transliteratedToASCII(agent);
}

QString CVHTTPRequestSerializer::userAgentPlatformText() {
    QStringList parts;
    const QString session = qEnvironmentVariable("XDG_SESSION_TYPE").toLower();
    if (session == QLatin1String("wayland") ||
        (session != QLatin1String("x11") && !qEnvironmentVariableIsEmpty("WAYLAND_DISPLAY")))
        parts.append(QStringLiteral("Wayland"));
    else if (session == QLatin1String("x11") || !qEnvironmentVariableIsEmpty("DISPLAY"))
        parts.append(QStringLiteral("X11"));
    QString kernel = QSysInfo::kernelType();
    if (kernel == QLatin1String("linux"))
        kernel = QStringLiteral("Linux");
    parts.append(kernel + QLatin1Char(' ') + QSysInfo::currentCpuArchitecture());
    const QString product = QSysInfo::prettyProductName();
    if (!product.isEmpty())
        parts.append(product);
    return parts.join(QStringLiteral("; "));
}

CVHTTPRequestSerializer::CVHTTPRequestSerializer() {
    setValue(acceptLanguageHeaderValue(preferredLanguages()), QStringLiteral("Accept-Language"));

    QString name = QCoreApplication::applicationName();
    if (name.isEmpty())
        name = QFileInfo(QCoreApplication::applicationFilePath()).fileName();
    if (name.isEmpty())
        name = QCoreApplication::organizationDomain();
    const QString userAgent =
        userAgentHeaderValue(name, QCoreApplication::applicationVersion(), userAgentPlatformText());
    if (!userAgent.isEmpty())
        setValue(userAgent, QStringLiteral("User-Agent"));
}

CVHTTPRequestSerializer::~CVHTTPRequestSerializer() = default;

std::shared_ptr<CVHTTPRequestSerializer> CVHTTPRequestSerializer::serializer() {
    return std::make_shared<CVHTTPRequestSerializer>();
}

std::shared_ptr<CVHTTPRequestSerializer> CVHTTPRequestSerializer::copy() const {
    return std::make_shared<CVHTTPRequestSerializer>(*this);
}

void CVHTTPRequestSerializer::setValue(const QString &value, const QString &field) {
    KCSetHeaderValue(m_headers, value, field);
}

QString CVHTTPRequestSerializer::valueForHTTPHeaderField(const QString &field) const {
    return KCHeaderValue(m_headers, field);
}

void CVHTTPRequestSerializer::setAuthorizationHeaderFieldWithUsername(const QString &username,
                                                                      const QString &password) {
    const QString pair = QStringLiteral("%1:%2").arg(username.isNull() ? QStringLiteral("(null)") : username,
                                                     password.isNull() ? QStringLiteral("(null)") : password);
    setValue(QStringLiteral("Basic %1").arg(QString::fromLatin1(pair.toUtf8().toBase64())),
             QStringLiteral("Authorization"));
}

void CVHTTPRequestSerializer::clearAuthorizationHeader() {
    setValue(QString(), QStringLiteral("Authorization"));
}

void CVHTTPRequestSerializer::setAllowsCellularAccess(bool on) {
    m_allowsCellularAccess = on;
    m_observed.insert(kAllowsCellularAccess);
}

void CVHTTPRequestSerializer::setCachePolicy(NSURLRequestCachePolicy policy) {
    m_cachePolicy = policy;
    m_observed.insert(kCachePolicy);
}

void CVHTTPRequestSerializer::setHTTPShouldHandleCookies(bool on) {
    m_shouldHandleCookies = on;
    m_observed.insert(kHTTPShouldHandleCookies);
}

void CVHTTPRequestSerializer::setHTTPShouldUsePipelining(bool on) {
    m_shouldUsePipelining = on;
    m_observed.insert(kHTTPShouldUsePipelining);
}

void CVHTTPRequestSerializer::setNetworkServiceType(NSURLRequestNetworkServiceType type) {
    m_networkServiceType = type;
    m_observed.insert(kNetworkServiceType);
}

void CVHTTPRequestSerializer::setTimeoutInterval(double seconds) {
    m_timeoutInterval = seconds;
    m_observed.insert(kTimeoutInterval);
}

void CVHTTPRequestSerializer::setQueryStringSerializationWithStyle(
    CVHTTPRequestQueryStringSerializationStyle style) {
    m_queryStyle = style;
    m_queryBlock = nullptr;
}

void CVHTTPRequestSerializer::setQueryStringSerializationWithBlock(CVQueryStringSerializationBlock block) {
    m_queryBlock = std::move(block);
}

void CVHTTPRequestSerializer::applyDefaultHeaders(KCURLRequest &request) const {
    for (const auto &header : m_headers) {
        if (!request.hasHeaderField(header.first))
            request.setValue(header.second, header.first);
    }
}

std::optional<KCURLRequest> CVHTTPRequestSerializer::requestWithMethod(const QString &method,
                                                                       const QString &URLString,
                                                                       const KCParameters &parameters,
                                                                       KCError *error) const {
    if (method.isEmpty()) {
        if (error)
            *error =
                KCError(CVRequestSerializationErrorDomain, -1000,
                        {{NSLocalizedDescriptionKey, QStringLiteral("The request has no HTTP method.")}});
        return std::nullopt;
    }
    QUrl url(URLString, QUrl::TolerantMode);
    if (!url.isValid() || url.isRelative())
        url = QUrl();
    KCURLRequest request(url);
    request.setHTTPMethod(method);

    // Only properties set on the serializer override the request's own defaults.
    if (m_observed.contains(kAllowsCellularAccess))
        request.setAllowsCellularAccess(m_allowsCellularAccess);
    if (m_observed.contains(kCachePolicy))
        request.setCachePolicy(m_cachePolicy);
    if (m_observed.contains(kHTTPShouldHandleCookies))
        request.setHTTPShouldHandleCookies(m_shouldHandleCookies);
    if (m_observed.contains(kHTTPShouldUsePipelining))
        request.setHTTPShouldUsePipelining(m_shouldUsePipelining);
    if (m_observed.contains(kNetworkServiceType))
        request.setNetworkServiceType(m_networkServiceType);
    if (m_observed.contains(kTimeoutInterval))
        request.setTimeoutInterval(m_timeoutInterval);

    return requestBySerializingRequest(request, parameters, error);
}

std::optional<KCURLRequest>
CVHTTPRequestSerializer::requestBySerializingRequest(const KCURLRequest &request,
                                                     const KCParameters &parameters, KCError *error) const {
    KCURLRequest mutableRequest = request;
    applyDefaultHeaders(mutableRequest);

    QString query;
    bool hasQuery = false;
    if (parameters) {
        hasQuery = true;
        if (m_queryBlock) {
            KCError queryError;
            query = m_queryBlock(request, *parameters, &queryError);
            if (queryError) {
                if (error)
                    *error = queryError;
                return std::nullopt;
            }
        } else {
            query = CVQueryStringFromParameters(*parameters);
        }
    }

    if (HTTPMethodsEncodingParametersInURI.contains(request.HTTPMethod().toUpper())) {
        if (hasQuery && !mutableRequest.URL().isEmpty()) {
            const QUrl url = mutableRequest.URL();
            const QString text = url.toString(QUrl::FullyEncoded) +
                                 (url.hasQuery() ? QStringLiteral("&%1") : QStringLiteral("?%1")).arg(query);
            mutableRequest.setURL(QUrl(text, QUrl::TolerantMode));
        }
    } else {
        const std::optional<QByteArray> body = KCEncodeText(query, stringEncoding);
        if (!body) {
            if (error)
                *error = KCError(CVRequestSerializationErrorDomain, -1000,
                                 {{NSLocalizedDescriptionKey,
                                   QStringLiteral("The parameters could not be encoded as %1.")
                                       .arg(KCIANACharsetNameForStringEncoding(stringEncoding))}});
            return std::nullopt;
        }
        if (!mutableRequest.hasHeaderField(QStringLiteral("Content-Type")))
            mutableRequest.setValue(QStringLiteral("application/x-www-form-urlencoded"),
                                    QStringLiteral("Content-Type"));
        mutableRequest.setHTTPBody(*body);
    }
    return mutableRequest;
}

// --- CVJSONRequestSerializer ------------------------------------------------

std::shared_ptr<CVJSONRequestSerializer> CVJSONRequestSerializer::serializer() {
    return serializerWithWritingOptions(0);
}

std::shared_ptr<CVJSONRequestSerializer>
CVJSONRequestSerializer::serializerWithWritingOptions(unsigned options) {
    auto s = std::make_shared<CVJSONRequestSerializer>();
    s->writingOptions = options;
    return s;
}

std::shared_ptr<CVHTTPRequestSerializer> CVJSONRequestSerializer::copy() const {
    return std::make_shared<CVJSONRequestSerializer>(*this);
}

std::optional<KCURLRequest>
CVJSONRequestSerializer::requestBySerializingRequest(const KCURLRequest &request,
                                                     const KCParameters &parameters, KCError *error) const {
    if (HTTPMethodsEncodingParametersInURI.contains(request.HTTPMethod().toUpper()))
        return CVHTTPRequestSerializer::requestBySerializingRequest(request, parameters, error);

    KCURLRequest mutableRequest = request;
    applyDefaultHeaders(mutableRequest);
    if (parameters) {
        if (!mutableRequest.hasHeaderField(QStringLiteral("Content-Type")))
            mutableRequest.setValue(QStringLiteral("application/json"), QStringLiteral("Content-Type"));
        KCError writeError;
        const std::optional<QByteArray> body =
            KCJSONDataWithObject(QVariant(*parameters), writingOptions, &writeError);
        if (body) {
            mutableRequest.setHTTPBody(*body);
        } else {
            mutableRequest.setHTTPBody(QByteArray());
            if (error)
                *error = writeError;
        }
    }
    return mutableRequest;
}
