#include "demo/multipart.h"

namespace {

// Splits `text` at `separator` outside double-quoted stretches.
QList<QByteArray> splitOutsideQuotes(const QByteArray &text, char separator) {
    QList<QByteArray> items;
    QByteArray current;
    bool quoted = false;
    for (char c : text) {
        if (c == '"')
            quoted = !quoted;
        if (c == separator && !quoted) {
            items.append(current);
            current.clear();
        } else {
            current.append(c);
        }
    }
    items.append(current);
    return items;
}

QByteArray unquote(QByteArray value) {
    value = value.trimmed();
    if (value.size() >= 2 && value.startsWith('"') && value.endsWith('"'))
        return value.mid(1, value.size() - 2);
    return value;
}

// Parameters of a header value such as `form-data; name="a"; filename="b"`,
// keys in lower case; the leading value is stored under the empty key.
QMap<QByteArray, QByteArray> headerParameters(const QByteArray &value) {
    QMap<QByteArray, QByteArray> result;
    const QList<QByteArray> items = splitOutsideQuotes(value, ';');
    for (qsizetype i = 0; i < items.size(); ++i) {
        const QByteArray item = items[i].trimmed();
        const qsizetype eq = item.indexOf('=');
        if (i == 0 && eq < 0) {
            result.insert(QByteArray(), item.toLower());
            continue;
        }
        if (eq <= 0)
            continue;
        result.insert(item.left(eq).trimmed().toLower(), unquote(item.mid(eq + 1)));
    }
    return result;
}

} // namespace

const MultipartPart *MultipartBody::part(const QString &name) const {
    for (const MultipartPart &p : parts)
        if (p.name == name)
            return &p;
    return nullptr;
}

QByteArray multipartBoundary(const QByteArray &contentType) {
    const auto params = headerParameters(contentType);
    if (params.value(QByteArray()) != "multipart/form-data")
        return {};
    return params.value("boundary");
}

MultipartBody parseMultipart(const QByteArray &body, const QByteArray &boundary) {
    MultipartBody result;
    if (boundary.isEmpty() || boundary.size() > 200) {
        result.error = QStringLiteral("the multipart boundary is missing or too long");
        return result;
    }
    const QByteArray delimiter = "--" + boundary;
    if (!body.startsWith(delimiter)) {
        result.error = QStringLiteral("the body does not start with the multipart boundary");
        return result;
    }
    const QByteArray nextDelimiter = "\r\n" + delimiter;
    qsizetype pos = delimiter.size();
    for (;;) {
        // After a delimiter: "--" ends the body, CR LF starts a part.
        if (body.mid(pos, 2) == "--")
            break;
        if (body.mid(pos, 2) != "\r\n") {
            result.error = QStringLiteral("a multipart boundary is not followed by a line break");
            return result;
        }
        pos += 2;
        const qsizetype headerEnd = body.indexOf("\r\n\r\n", pos);
        const qsizetype bodyEnd = body.indexOf(nextDelimiter, pos);
        if (bodyEnd < 0) {
            result.error = QStringLiteral("part %1 is not closed by a boundary").arg(result.parts.size() + 1);
            return result;
        }
        MultipartPart part;
        qsizetype dataStart = 0;
        if (body.mid(pos, 2) == "\r\n") {
            dataStart = pos + 2; // a part without headers
        } else if (headerEnd >= 0 && headerEnd < bodyEnd) {
            for (const QByteArray &line : body.mid(pos, headerEnd - pos).split('\n')) {
                const QByteArray l = line.endsWith('\r') ? line.chopped(1) : line;
                const qsizetype colon = l.indexOf(':');
                if (colon <= 0) {
                    result.error =
                        QStringLiteral("part %1 has a malformed header line").arg(result.parts.size() + 1);
                    return result;
                }
                part.headers.insert(l.left(colon).trimmed().toLower(), l.mid(colon + 1).trimmed());
            }
            dataStart = headerEnd + 4;
        } else {
            result.error = QStringLiteral("part %1 has no end of headers").arg(result.parts.size() + 1);
            return result;
        }
        if (dataStart > bodyEnd) {
            result.error = QStringLiteral("part %1 is truncated").arg(result.parts.size() + 1);
            return result;
        }
        const auto disposition = headerParameters(part.headers.value("content-disposition"));
        if (disposition.value(QByteArray()) != "form-data" || !disposition.contains("name")) {
            result.error = QStringLiteral("part %1 has no Content-Disposition form-data name")
                               .arg(result.parts.size() + 1);
            return result;
        }
        part.name = QString::fromUtf8(disposition.value("name"));
        part.hasFileName = disposition.contains("filename");
        part.fileName = QString::fromUtf8(disposition.value("filename"));
        part.contentType = part.headers.value("content-type");
        part.data = body.mid(dataStart, bodyEnd - dataStart);
        result.parts.append(part);
        pos = bodyEnd + nextDelimiter.size();
    }
    if (result.parts.isEmpty())
        result.error = QStringLiteral("the multipart body has no parts");
    return result;
}
