#include "http/url_request.h"

#include "http/multipart.h"

namespace {
qsizetype headerIndex(const KCHeaderList &headers, const QString &field) {
    for (qsizetype i = 0; i < headers.size(); ++i) {
        if (headers[i].first.compare(field, Qt::CaseInsensitive) == 0)
            return i;
    }
    return -1;
}
} // namespace

QString KCHeaderValue(const KCHeaderList &headers, const QString &field) {
    const qsizetype i = headerIndex(headers, field);
    return i < 0 ? QString() : headers[i].second;
}

void KCSetHeaderValue(KCHeaderList &headers, const QString &value, const QString &field) {
    const qsizetype i = headerIndex(headers, field);
    if (value.isNull()) {
        if (i >= 0)
            headers.removeAt(i);
    } else if (i >= 0) {
        headers[i].second = value;
    } else {
        headers.append({field, value});
    }
}

QString KCURLRequest::valueForHTTPHeaderField(const QString &field) const {
    return KCHeaderValue(m_headers, field);
}

void KCURLRequest::setValue(const QString &value, const QString &field) {
    KCSetHeaderValue(m_headers, value, field);
}

void KCURLRequest::setHTTPBody(const QByteArray &body) {
    m_body = body;
    m_bodyStream.reset();
}

void KCURLRequest::setHTTPBodyStream(std::shared_ptr<QIODevice> stream) {
    m_bodyStream = std::move(stream);
    if (m_bodyStream)
        m_body.reset();
}

std::shared_ptr<QIODevice> KCURLRequest::copyHTTPBodyStream() const {
    if (auto multipart = std::dynamic_pointer_cast<CVMultipartBodyStream>(m_bodyStream))
        return multipart->copy();
    return nullptr;
}
