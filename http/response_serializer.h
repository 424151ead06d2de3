#pragma once
// Response serializers: validate the HTTP response record and body bytes of
// a finished request and turn them into a result value, an error, or both.

#include "http/string_encoding.h"
#include "platform/core/error.h"

#include <QByteArray>
#include <QList>
#include <QMetaType>
#include <QPair>
#include <QSet>
#include <QString>
#include <QUrl>
#include <QVariant>
#include <memory>
#include <optional>

inline const QString CVResponseSerializationErrorDomain =
    QStringLiteral("com.corvane.error.serialization.response");
inline const QString CVFailingResponseErrorKey =
    QStringLiteral("com.corvane.serialization.response.error.response");
inline const QString CVFailingResponseDataErrorKey =
    QStringLiteral("com.corvane.serialization.response.error.data");

inline constexpr qint64 NSURLErrorBadServerResponse = -1011;
inline constexpr qint64 NSURLErrorCannotDecodeContentData = -1016;

// The HTTP response record.
class KCHTTPURLResponse {
public:
    KCHTTPURLResponse() = default;
    // Builds the record from the raw header fields of a response; MIMEType
    // and textEncodingName come from "Content-Type".
    KCHTTPURLResponse(const QUrl &url, qint64 statusCode,
                      const QList<QPair<QByteArray, QByteArray>> &rawHeaders);

    qint64 statusCode() const { return m_statusCode; }
    void setStatusCode(qint64 code) { m_statusCode = code; }
    QUrl URL() const { return m_url; }
    void setURL(const QUrl &url) { m_url = url; }
    // Media type of "Content-Type" without parameters, lower case; null when absent.
    QString MIMEType() const { return m_mimeType; }
    void setMIMEType(const QString &type) { m_mimeType = type; }
    // The "charset" parameter of "Content-Type"; null when absent.
    QString textEncodingName() const { return m_textEncodingName; }
    void setTextEncodingName(const QString &name) { m_textEncodingName = name; }
    // Header fields in arrival order; lookup is case-insensitive.
    QList<QPair<QString, QString>> allHeaderFields() const { return m_headers; }
    QString valueForHTTPHeaderField(const QString &field) const;
    // Sets a header field (null removes it); setting "Content-Type" also
    // updates MIMEType and textEncodingName.
    void setValue(const QString &value, const QString &field);

    // The reason phrase of a status code, lower case ("not found").
    static QString localizedStringForStatusCode(qint64 statusCode);
    // Splits a Content-Type value into media type (lower case) and charset.
    static void parseContentType(const QString &value, QString *mimeType, QString *charset);

    bool operator==(const KCHTTPURLResponse &other) const;

private:
    QUrl m_url;
    qint64 m_statusCode = 0;
    QString m_mimeType;
    QString m_textEncodingName;
    QList<QPair<QString, QString>> m_headers;
};
Q_DECLARE_METATYPE(KCHTTPURLResponse)

// Joins error `error` with an earlier error `underlying`: `underlying` when
// `error` is null; `error` when `underlying` is null or `error` already has
// an underlying error; else `error` with `underlying` under NSUnderlyingErrorKey.
KCError CVErrorWithUnderlyingError(const KCError &error, const KCError &underlying);

// Flags of the JSON reader. Containers are always QVariantMap/QVariantList,
// so the mutability flags only exist for callers that pass them on.
enum NSJSONReadingOptions : unsigned {
    NSJSONReadingMutableContainers = 1,
    NSJSONReadingMutableLeaves = 2,
    NSJSONReadingFragmentsAllowed = 4,
};

// Most nested arrays and objects the JSON reader accepts.
inline constexpr int KCJSONMaximumNestingDepth = 512;

// Parses UTF-8 JSON text (an optional UTF-8 byte-order mark is skipped).
// Objects become QVariantMap, arrays QVariantList, strings QString, integers
// qlonglong (or qulonglong above the signed range, double beyond that),
// other numbers double, true/false bool, null the null marker. A top-level
// value that is not an array or object needs NSJSONReadingFragmentsAllowed.
// On failure returns an invalid QVariant and sets *error (NSCocoaErrorDomain,
// code 3840).
QVariant KCJSONObjectWithData(const QByteArray &data, unsigned readingOptions, KCError *error);

// Response record or none (nullptr), body bytes, out error or none (nullptr).
// Results are QVariant: invalid for none.
class CVHTTPResponseSerializer {
public:
    CVHTTPResponseSerializer();
    virtual ~CVHTTPResponseSerializer();
    static std::shared_ptr<CVHTTPResponseSerializer> serializer();

    KCStringEncoding stringEncoding = KCStringEncoding::UTF8;
    // Both: none accepts anything.
    std::optional<QSet<qint64>> acceptableStatusCodes;
    std::optional<QSet<QString>> acceptableContentTypes;

    virtual bool validateResponse(const KCHTTPURLResponse *response, const QByteArray &data,
                                  KCError *error) const;
    // The body bytes, after validation.
    virtual QVariant responseObjectForResponse(const KCHTTPURLResponse *response, const QByteArray &data,
                                               KCError *error) const;

    static QSet<qint64> indexSetWithIndexesInRange(qint64 first, qint64 count);

protected:
    // Validates; returns false when the caller should get no result (invalid
    // and no error slot, or an unacceptable content type). The error made by
    // validation (or none) goes to `validationError`, and to `*error` when
    // the response is invalid.
    bool validateForDecoding(const KCHTTPURLResponse *response, const QByteArray &data, KCError *error,
                             KCError &validationError) const;
};

class CVJSONResponseSerializer : public CVHTTPResponseSerializer {
public:
    CVJSONResponseSerializer();
    static std::shared_ptr<CVJSONResponseSerializer> serializer();
    static std::shared_ptr<CVJSONResponseSerializer> serializerWithReadingOptions(unsigned readingOptions);

    unsigned readingOptions = 0;
    bool removesKeysWithNullValues = false;

    QVariant responseObjectForResponse(const KCHTTPURLResponse *response, const QByteArray &data,
                                       KCError *error) const override;
};

// Removes, recursively through lists and maps, every map entry whose value is
// invalid or the null marker.
QVariant CVJSONObjectByRemovingKeysWithNullValues(const QVariant &object);

class CVImageResponseSerializer : public CVHTTPResponseSerializer {
public:
    CVImageResponseSerializer();
    static std::shared_ptr<CVImageResponseSerializer> serializer();

    // A QImage; a null (0 by 0) image when the bytes do not decode.
    QVariant responseObjectForResponse(const KCHTTPURLResponse *response, const QByteArray &data,
                                       KCError *error) const override;
};

class CVCompoundResponseSerializer : public CVHTTPResponseSerializer {
public:
    CVCompoundResponseSerializer() = default;
    static std::shared_ptr<CVCompoundResponseSerializer> compoundSerializerWithResponseSerializers(
        const QList<std::shared_ptr<CVHTTPResponseSerializer>> &serializers);

    QList<std::shared_ptr<CVHTTPResponseSerializer>> responseSerializers;

    // The first member's result, else the body bytes as a plain serializer.
    QVariant responseObjectForResponse(const KCHTTPURLResponse *response, const QByteArray &data,
                                       KCError *error) const override;
};
