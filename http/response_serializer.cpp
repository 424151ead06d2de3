#include "http/response_serializer.h"

#include "http/request_serializer.h"

#include <QImage>
#include <QVariantList>
#include <QVariantMap>

namespace {

KCError decodingError(const QString &reason) {
    return KCError(CVResponseSerializationErrorDomain, NSURLErrorCannotDecodeContentData,
                   {{NSLocalizedDescriptionKey, QStringLiteral("Data failed decoding as a UTF-8 string")},
                    {NSLocalizedFailureReasonErrorKey, reason}});
}

KCError validationError(qint64 code, const QString &description, const KCHTTPURLResponse &response,
                        const QByteArray &data) {
    return KCError(CVResponseSerializationErrorDomain, code,
                   {{NSLocalizedDescriptionKey, description},
                    {NSURLErrorFailingURLErrorKey, response.URL()},
                    {CVFailingResponseErrorKey, QVariant::fromValue(response)},
                    {CVFailingResponseDataErrorKey, data}});
}

QVariant removingNulls(const QVariant &object) {
    if (object.metaType() == QMetaType::fromType<QVariantMap>()) {
        QVariantMap map = object.toMap();
        for (auto it = map.begin(); it != map.end();) {
            if (!it.value().isValid() || KCIsNullMarker(it.value())) {
                it = map.erase(it);
            } else {
                *it = removingNulls(*it);
                ++it;
            }
        }
        return map;
    }
    if (object.metaType() == QMetaType::fromType<QVariantList>()) {
        QVariantList list = object.toList();
        for (QVariant &element : list)
            element = removingNulls(element);
        return list;
    }
    return object;
}

} // namespace

// --- KCHTTPURLResponse ---------------------------------------------------------

KCHTTPURLResponse::KCHTTPURLResponse(const QUrl &url, qint64 statusCode,
                                     const QList<QPair<QByteArray, QByteArray>> &rawHeaders)
    : m_url(url), m_statusCode(statusCode) {
    for (const auto &header : rawHeaders)
        setValue(QString::fromLatin1(header.second), QString::fromLatin1(header.first));
}

QString KCHTTPURLResponse::valueForHTTPHeaderField(const QString &field) const {
    return KCHeaderValue(m_headers, field);
}

void KCHTTPURLResponse::setValue(const QString &value, const QString &field) {
    KCSetHeaderValue(m_headers, value, field);
    if (field.compare(QLatin1String("Content-Type"), Qt::CaseInsensitive) == 0) {
        m_mimeType.clear();
        m_textEncodingName.clear();
        if (!value.isNull())
            parseContentType(value, &m_mimeType, &m_textEncodingName);
    }
}

void KCHTTPURLResponse::parseContentType(const QString &value, QString *mimeType, QString *charset) {
    const QStringList fields = value.split(u';');
    const QString type = fields.value(0).trimmed().toLower();
    *mimeType = type.isEmpty() ? QString() : type;
    *charset = QString();
    for (qsizetype i = 1; i < fields.size(); ++i) {
        const QString parameter = fields[i].trimmed();
        const qsizetype eq = parameter.indexOf(u'=');
        if (eq <= 0 ||
            parameter.left(eq).trimmed().compare(QLatin1String("charset"), Qt::CaseInsensitive) != 0)
            continue;
        QString name = parameter.mid(eq + 1).trimmed();
        if (name.size() >= 2 && name.startsWith(u'"') && name.endsWith(u'"'))
            name = name.mid(1, name.size() - 2);
        if (!name.isEmpty())
            *charset = name;
        break;
    }
}

bool KCHTTPURLResponse::operator==(const KCHTTPURLResponse &other) const {
    return m_url == other.m_url && m_statusCode == other.m_statusCode && m_mimeType == other.m_mimeType &&
           m_textEncodingName == other.m_textEncodingName && m_headers == other.m_headers;
}

KCError CVErrorWithUnderlyingError(const KCError &error, const KCError &underlying) {
    if (error.isNull())
        return underlying;
    if (underlying.isNull() || !error.underlyingError().isNull())
        return error;
    KCError joined = error;
    joined.setUserInfoValue(NSUnderlyingErrorKey, QVariant::fromValue(underlying));
    return joined;
}

QVariant CVJSONObjectByRemovingKeysWithNullValues(const QVariant &object) {
    return removingNulls(object);
}

// --- CVHTTPResponseSerializer ----------------------------------------------------

CVHTTPResponseSerializer::CVHTTPResponseSerializer()
    : acceptableStatusCodes(indexSetWithIndexesInRange(200, 100)) {}

CVHTTPResponseSerializer::~CVHTTPResponseSerializer() = default;

std::shared_ptr<CVHTTPResponseSerializer> CVHTTPResponseSerializer::serializer() {
    return std::make_shared<CVHTTPResponseSerializer>();
}

QSet<qint64> CVHTTPResponseSerializer::indexSetWithIndexesInRange(qint64 first, qint64 count) {
    QSet<qint64> set;
    for (qint64 i = 0; i < count; ++i)
        set.insert(first + i);
    return set;
}

bool CVHTTPResponseSerializer::validateResponse(const KCHTTPURLResponse *response, const QByteArray &data,
                                                KCError *error) const {
    if (!response)
        return true;
    bool valid = true;
    KCError made;
    if (acceptableContentTypes &&
        (response->MIMEType().isNull() || !acceptableContentTypes->contains(response->MIMEType()))) {
        if (!data.isEmpty() && !response->URL().isEmpty()) {
            const QString type =
                response->MIMEType().isNull() ? QStringLiteral("(null)") : response->MIMEType();
            made = validationError(NSURLErrorCannotDecodeContentData,
                                   QStringLiteral("Request failed: unacceptable content-type: %1").arg(type),
                                   *response, data);
        }
        valid = false;
    }
    if (acceptableStatusCodes && !acceptableStatusCodes->contains(response->statusCode()) &&
        !response->URL().isEmpty()) {
        const KCError statusError =
            validationError(NSURLErrorBadServerResponse,
                            QStringLiteral("Request failed: %1 (%2)")
                                .arg(KCHTTPURLResponse::localizedStringForStatusCode(response->statusCode()))
                                .arg(response->statusCode()),
                            *response, data);
        made = CVErrorWithUnderlyingError(statusError, made);
        valid = false;
    }
    if (!valid && error)
        *error = made;
    return valid;
}

bool CVHTTPResponseSerializer::validateForDecoding(const KCHTTPURLResponse *response, const QByteArray &data,
                                                   KCError *error, KCError &validation) const {
    validation = KCError();
    if (validateResponse(response, data, &validation))
        return true;
    if (error)
        *error = validation;
    return error &&
           !validation.hasCodeInDomain(NSURLErrorCannotDecodeContentData, CVResponseSerializationErrorDomain);
}

QVariant CVHTTPResponseSerializer::responseObjectForResponse(const KCHTTPURLResponse *response,
                                                             const QByteArray &data, KCError *error) const {
    validateResponse(response, data, error);
    return QVariant(data);
}

// --- CVJSONResponseSerializer ----------------------------------------------------

CVJSONResponseSerializer::CVJSONResponseSerializer() {
    acceptableContentTypes = QSet<QString>{QStringLiteral("application/json"), QStringLiteral("text/json"),
                                           QStringLiteral("text/javascript")};
}

std::shared_ptr<CVJSONResponseSerializer> CVJSONResponseSerializer::serializer() {
    return serializerWithReadingOptions(0);
}

std::shared_ptr<CVJSONResponseSerializer>
CVJSONResponseSerializer::serializerWithReadingOptions(unsigned options) {
    auto s = std::make_shared<CVJSONResponseSerializer>();
    s->readingOptions = options;
    return s;
}

QVariant CVJSONResponseSerializer::responseObjectForResponse(const KCHTTPURLResponse *response,
                                                             const QByteArray &data, KCError *error) const {
    KCError validation;
    if (!validateForDecoding(response, data, error, validation))
        return QVariant();
    auto finish = [&](const QVariant &result, const KCError &newError) {
        if (error)
            *error = CVErrorWithUnderlyingError(newError, validation);
        return result;
    };

    KCStringEncoding encoding = stringEncoding;
    if (response && !response->textEncodingName().isEmpty()) {
        if (const auto named = KCStringEncodingForIANACharsetName(response->textEncodingName()))
            encoding = *named;
    }

    const KCError undecodable = decodingError(QStringLiteral("Could not decode the response body as %1 text.")
                                                  .arg(KCIANACharsetNameForStringEncoding(encoding)));
    QByteArray utf8;
    if (encoding == KCStringEncoding::UTF8) {
        // Already UTF-8: check it instead of decoding and encoding again.
        if (!KCIsValidUTF8(data))
            return finish(QVariant(), undecodable);
        if (data == " ")
            return finish(QVariant(), KCError());
        utf8 = data;
    } else {
        const std::optional<QString> text = KCDecodeText(data, encoding);
        if (!text)
            return finish(QVariant(), undecodable);
        if (*text == QLatin1String(" "))
            return finish(QVariant(), KCError());
        const std::optional<QByteArray> reencoded = KCEncodeText(*text, KCStringEncoding::UTF8);
        if (!reencoded)
            return finish(QVariant(),
                          decodingError(QStringLiteral("Could not decode string: %1").arg(*text)));
        utf8 = *reencoded;
    }
    if (utf8.isEmpty())
        return QVariant();

    KCError parseError;
    QVariant result = KCJSONObjectWithData(utf8, readingOptions, &parseError);
    if (removesKeysWithNullValues && result.isValid())
        result = removingNulls(result);
    return finish(result, parseError);
}

// --- CVImageResponseSerializer ---------------------------------------------------

CVImageResponseSerializer::CVImageResponseSerializer() {
    acceptableContentTypes = QSet<QString>{
        QStringLiteral("image/tiff"),      QStringLiteral("image/jpeg"),
        QStringLiteral("image/gif"),       QStringLiteral("image/png"),
        QStringLiteral("image/ico"),       QStringLiteral("image/x-icon"),
        QStringLiteral("image/bmp"),       QStringLiteral("image/x-bmp"),
        QStringLiteral("image/x-xbitmap"), QStringLiteral("image/x-win-bitmap"),
    };
}

std::shared_ptr<CVImageResponseSerializer> CVImageResponseSerializer::serializer() {
    return std::make_shared<CVImageResponseSerializer>();
}

QVariant CVImageResponseSerializer::responseObjectForResponse(const KCHTTPURLResponse *response,
                                                              const QByteArray &data, KCError *error) const {
    KCError validation;
    if (!validateForDecoding(response, data, error, validation))
        return QVariant();
    if (data.isEmpty())
        return QVariant(QImage());
    return QVariant(QImage::fromData(data));
}

// --- CVCompoundResponseSerializer ------------------------------------------------

std::shared_ptr<CVCompoundResponseSerializer>
CVCompoundResponseSerializer::compoundSerializerWithResponseSerializers(
    const QList<std::shared_ptr<CVHTTPResponseSerializer>> &serializers) {
    auto s = std::make_shared<CVCompoundResponseSerializer>();
    s->responseSerializers = serializers;
    return s;
}

QVariant CVCompoundResponseSerializer::responseObjectForResponse(const KCHTTPURLResponse *response,
                                                                 const QByteArray &data,
                                                                 KCError *error) const {
    for (const auto &member : responseSerializers) {
        if (!member)
            continue;
        KCError memberError;
        const QVariant result = member->responseObjectForResponse(response, data, &memberError);
        if (result.isValid()) {
            if (error)
                *error = CVErrorWithUnderlyingError(memberError, *error);
            return result;
        }
    }
    return CVHTTPResponseSerializer::responseObjectForResponse(response, data, error);
}
