#pragma once
// The HTTP request record: a plain, copyable value with the URL, method,
// header fields (names compared case-insensitively, one value per name),
// body bytes or a body stream, the timeout and the transfer flags.

#include "http/string_encoding.h"

#include <QByteArray>
#include <QIODevice>
#include <QList>
#include <QMetaType>
#include <QPair>
#include <QString>
#include <QUrl>
#include <memory>
#include <optional>

enum class NSURLRequestCachePolicy : unsigned {
    UseProtocolCachePolicy = 0,
    ReloadIgnoringLocalCacheData = 1,
    ReturnCacheDataElseLoad = 2,
    ReturnCacheDataDontLoad = 3,
};

enum class NSURLRequestNetworkServiceType : unsigned {
    Default = 0,
    VoIP = 1,
    Video = 2,
    Background = 3,
    Voice = 4,
    ResponsiveData = 6,
    CallSignaling = 11,
};

// An ordered list of header name/value pairs.
using KCHeaderList = QList<QPair<QString, QString>>;

// The value of `field` (compared case-insensitively), or a null text.
QString KCHeaderValue(const KCHeaderList &headers, const QString &field);
// Sets `field` to `value`, keeping the spelling and place of an existing
// field; a null `value` removes it.
void KCSetHeaderValue(KCHeaderList &headers, const QString &value, const QString &field);

class KCURLRequest {
public:
    static constexpr double kDefaultTimeoutInterval = 60.0;

    KCURLRequest() = default;
    explicit KCURLRequest(const QUrl &url) : m_url(url) {}

    QUrl URL() const { return m_url; }
    void setURL(const QUrl &url) { m_url = url; }

    // Upper- or mixed-case method text as set; "GET" by default.
    QString HTTPMethod() const { return m_method; }
    void setHTTPMethod(const QString &method) { m_method = method; }

    // Header fields. Lookup is case-insensitive; a field keeps the spelling
    // it was first set with. A null `value` removes the field.
    QString valueForHTTPHeaderField(const QString &field) const;
    void setValue(const QString &value, const QString &field);
    bool hasHeaderField(const QString &field) const { return !valueForHTTPHeaderField(field).isNull(); }
    KCHeaderList allHTTPHeaderFields() const { return m_headers; }

    // Body: either bytes or a stream (never both). Setting one drops the other.
    bool hasHTTPBody() const { return m_body.has_value(); }
    QByteArray HTTPBody() const { return m_body.value_or(QByteArray()); }
    void setHTTPBody(const QByteArray &body);
    void clearHTTPBody() { m_body.reset(); }
    std::shared_ptr<QIODevice> HTTPBodyStream() const { return m_bodyStream; }
    void setHTTPBodyStream(std::shared_ptr<QIODevice> stream);
    // A fresh stream that produces the body stream's bytes again from the
    // start, or null when the body stream cannot be restarted (or is absent).
    std::shared_ptr<QIODevice> copyHTTPBodyStream() const;

    double timeoutInterval() const { return m_timeoutInterval; }
    void setTimeoutInterval(double seconds) { m_timeoutInterval = seconds; }
    NSURLRequestCachePolicy cachePolicy() const { return m_cachePolicy; }
    void setCachePolicy(NSURLRequestCachePolicy policy) { m_cachePolicy = policy; }
    bool HTTPShouldHandleCookies() const { return m_shouldHandleCookies; }
    void setHTTPShouldHandleCookies(bool on) { m_shouldHandleCookies = on; }
    bool HTTPShouldUsePipelining() const { return m_shouldUsePipelining; }
    void setHTTPShouldUsePipelining(bool on) { m_shouldUsePipelining = on; }
    NSURLRequestNetworkServiceType networkServiceType() const { return m_networkServiceType; }
    void setNetworkServiceType(NSURLRequestNetworkServiceType type) { m_networkServiceType = type; }
    bool allowsCellularAccess() const { return m_allowsCellularAccess; }
    void setAllowsCellularAccess(bool on) { m_allowsCellularAccess = on; }

private:
    QUrl m_url;
    QString m_method = QStringLiteral("GET");
    KCHeaderList m_headers;
    std::optional<QByteArray> m_body;
    std::shared_ptr<QIODevice> m_bodyStream;
    double m_timeoutInterval = kDefaultTimeoutInterval;
    NSURLRequestCachePolicy m_cachePolicy = NSURLRequestCachePolicy::UseProtocolCachePolicy;
    bool m_shouldHandleCookies = true;
    bool m_shouldUsePipelining = false;
    NSURLRequestNetworkServiceType m_networkServiceType = NSURLRequestNetworkServiceType::Default;
    bool m_allowsCellularAccess = true;
};

Q_DECLARE_METATYPE(KCURLRequest)
