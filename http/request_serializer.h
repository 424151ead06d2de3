#pragma once
// Request serializers: turn a method, an absolute URL text and a parameters
// dictionary into a request record. CVHTTPRequestSerializer encodes the
// parameters as a URL query or as an application/x-www-form-urlencoded body;
// CVJSONRequestSerializer sends them as a JSON body for methods with a body.

#include "http/string_encoding.h"
#include "http/url_request.h"
#include "platform/core/error.h"

#include <QMetaType>
#include <QSet>
#include <QString>
#include <QStringList>
#include <QVariant>
#include <QVariantList>
#include <QVariantMap>
#include <functional>
#include <memory>
#include <optional>

class CVStreamingMultipartFormData;

inline const QString CVRequestSerializationErrorDomain =
    QStringLiteral("com.corvane.error.serialization.request");
// The domain of JSON reader and writer errors.
inline const QString NSCocoaErrorDomain = QStringLiteral("NSCocoaErrorDomain");
inline const QString NSDebugDescriptionErrorKey = QStringLiteral("NSDebugDescription");

// An unordered collection of values for the query encoding. Its elements are
// encoded in sorted order, under the same key (no brackets added).
struct KCVariantSet {
    QVariantList elements;
    bool operator==(const KCVariantSet &other) const { return elements == other.elements; }
};
Q_DECLARE_METATYPE(KCVariantSet)

// The marker for a JSON null / absent value inside QVariant containers.
inline QVariant KCNullMarker() {
    return QVariant::fromValue(nullptr);
}
inline bool KCIsNullMarker(const QVariant &v) {
    return v.metaType() == QMetaType::fromType<std::nullptr_t>();
}

// Text form of a key or value: strings as they are, numbers in plain decimal
// (booleans as 1 and 0), bytes as UTF-8 text, other values their description.
QString KCDescriptionOfValue(const QVariant &value);

// Percent-escapes a field or value of a query string: letters, digits and
// "-._~/?" stay, every other character is written as %XX per UTF-8 byte.
QString CVPercentEscapedStringFromString(const QString &string);

class CVQueryStringPair {
public:
    CVQueryStringPair(const QVariant &field, const QVariant &value) : field(field), value(value) {}
    // "field=value" escaped, or the escaped field alone when the value is
    // absent (invalid QVariant) or the null marker.
    QString URLEncodedStringValue() const;

    QVariant field;
    QVariant value;
};

// Flattens a parameters dictionary into pairs: keys sorted by their text
// (case-sensitive, by character value), "key[sub]" for nested dictionaries,
// "key[]" for array elements, the same key for set elements.
QList<CVQueryStringPair> CVQueryStringPairsFromDictionary(const QVariantMap &dictionary);
QList<CVQueryStringPair> CVQueryStringPairsFromKeyAndValue(const QString &key, const QVariant &value);
// The pairs above, encoded and joined with "&".
QString CVQueryStringFromParameters(const QVariantMap &parameters);

enum class CVHTTPRequestQueryStringSerializationStyle : unsigned {
    CVHTTPRequestQueryStringDefaultStyle = 0,
};

// A custom query encoding: returns the query text; on failure sets *error
// (never null when called by the serializer) and the request is not built.
using CVQueryStringSerializationBlock =
    std::function<QString(const KCURLRequest &request, const QVariantMap &parameters, KCError *error)>;

// Parameters dictionary, or none (std::nullopt). An empty dictionary is not
// the same as none: GET with an empty dictionary appends a lone "?".
using KCParameters = std::optional<QVariantMap>;

class CVHTTPRequestSerializer {
public:
    CVHTTPRequestSerializer();
    virtual ~CVHTTPRequestSerializer();

    static std::shared_ptr<CVHTTPRequestSerializer> serializer();
    // A copy carrying the headers, properties, query style and options.
    virtual std::shared_ptr<CVHTTPRequestSerializer> copy() const;

    KCStringEncoding stringEncoding = KCStringEncoding::UTF8;
    // Methods (upper case) whose parameters go into the URL query.
    QSet<QString> HTTPMethodsEncodingParametersInURI{QStringLiteral("GET"), QStringLiteral("HEAD"),
                                                     QStringLiteral("DELETE")};

    // Default headers added to every request that does not carry the field.
    void setValue(const QString &value, const QString &field); // null value removes
    QString valueForHTTPHeaderField(const QString &field) const;
    KCHeaderList HTTPRequestHeaders() const { return m_headers; }
    void setAuthorizationHeaderFieldWithUsername(const QString &username, const QString &password);
    void clearAuthorizationHeader();

    // Request properties; applied to requests only once they were set here.
    void setAllowsCellularAccess(bool on);
    void setCachePolicy(NSURLRequestCachePolicy policy);
    void setHTTPShouldHandleCookies(bool on);
    void setHTTPShouldUsePipelining(bool on);
    void setNetworkServiceType(NSURLRequestNetworkServiceType type);
    void setTimeoutInterval(double seconds);
    bool allowsCellularAccess() const { return m_allowsCellularAccess; }
    NSURLRequestCachePolicy cachePolicy() const { return m_cachePolicy; }
    bool HTTPShouldHandleCookies() const { return m_shouldHandleCookies; }
    bool HTTPShouldUsePipelining() const { return m_shouldUsePipelining; }
    NSURLRequestNetworkServiceType networkServiceType() const { return m_networkServiceType; }
    double timeoutInterval() const { return m_timeoutInterval; }
    // Names of the properties above that were set explicitly.
    QSet<QString> mutableObservedChangedKeyPaths() const { return m_observed; }

    CVHTTPRequestQueryStringSerializationStyle queryStringSerializationStyle() const { return m_queryStyle; }
    void setQueryStringSerializationWithStyle(CVHTTPRequestQueryStringSerializationStyle style);
    void setQueryStringSerializationWithBlock(CVQueryStringSerializationBlock block);

    // A new request for `URLString` (absolute), or none with *error set.
    std::optional<KCURLRequest> requestWithMethod(const QString &method, const QString &URLString,
                                                  const KCParameters &parameters,
                                                  KCError *error = nullptr) const;

    // A multipart/form-data request whose body streams the parts added by
    // `block` after the parameters. None with *error set when the base
    // request could not be built.
    std::optional<KCURLRequest>
    multipartFormRequestWithMethod(const QString &method, const QString &URLString,
                                   const KCParameters &parameters,
                                   const std::function<void(CVStreamingMultipartFormData &formData)> &block,
                                   KCError *error = nullptr) const;

    // A copy of `request` with default headers and encoded parameters.
    virtual std::optional<KCURLRequest> requestBySerializingRequest(const KCURLRequest &request,
                                                                    const KCParameters &parameters,
                                                                    KCError *error) const;

    // The default header texts, exposed for inspection. The serializer's
    // Accept-Language is built from QLocale::system().uiLanguages() without
    // Qt's added script variants ("de-Latn-DE" when "de-DE" is listed), with
    // the C locale read as "en".
    static QString acceptLanguageHeaderValue(const QStringList &preferredLanguages);
    // "name/version (platform)", transliterated to ASCII when needed.
    static QString userAgentHeaderValue(const QString &name, const QString &version,
                                        const QString &platformText);
    // This computer for the User-Agent: the desktop session's window system
    // ("Wayland" or "X11", left out without one), the kernel and processor
    // ("Linux x86_64") and the distribution's name, joined by "; ".
    static QString userAgentPlatformText();

protected:
    // Copies the default headers onto `request` where it lacks the field.
    void applyDefaultHeaders(KCURLRequest &request) const;

private:
    KCHeaderList m_headers;
    QSet<QString> m_observed;
    bool m_allowsCellularAccess = true;
    NSURLRequestCachePolicy m_cachePolicy = NSURLRequestCachePolicy::UseProtocolCachePolicy;
    bool m_shouldHandleCookies = true;
    bool m_shouldUsePipelining = false;
    NSURLRequestNetworkServiceType m_networkServiceType = NSURLRequestNetworkServiceType::Default;
    double m_timeoutInterval = KCURLRequest::kDefaultTimeoutInterval;
    CVHTTPRequestQueryStringSerializationStyle m_queryStyle =
        CVHTTPRequestQueryStringSerializationStyle::CVHTTPRequestQueryStringDefaultStyle;
    CVQueryStringSerializationBlock m_queryBlock;
};

// Flags of the JSON writer.
enum NSJSONWritingOptions : unsigned {
    NSJSONWritingPrettyPrinted = 1,
    NSJSONWritingSortedKeys = 2,
    NSJSONWritingFragmentsAllowed = 4,
    NSJSONWritingWithoutEscapingSlashes = 8,
};

class CVJSONRequestSerializer : public CVHTTPRequestSerializer {
public:
    CVJSONRequestSerializer() = default;
    static std::shared_ptr<CVJSONRequestSerializer> serializer();
    static std::shared_ptr<CVJSONRequestSerializer> serializerWithWritingOptions(unsigned writingOptions);
    std::shared_ptr<CVHTTPRequestSerializer> copy() const override;

    unsigned writingOptions = 0;

    std::optional<KCURLRequest> requestBySerializingRequest(const KCURLRequest &request,
                                                            const KCParameters &parameters,
                                                            KCError *error) const override;
};

// JSON text of a value (dictionaries, lists, strings, numbers, booleans and
// the null marker). Keys are written in sorted order. Slashes are escaped as
// "\/" unless NSJSONWritingWithoutEscapingSlashes is set. Returns nothing and
// sets *error (domain NSCocoaErrorDomain) for values JSON cannot hold (bytes,
// images, NaN, infinities, ...) and for a top-level scalar without
// NSJSONWritingFragmentsAllowed.
std::optional<QByteArray> KCJSONDataWithObject(const QVariant &object, unsigned writingOptions,
                                               KCError *error);
