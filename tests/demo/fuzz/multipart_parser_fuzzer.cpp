// Feeds arbitrary bodies to the demo EMR's multipart parser. The first byte
// chooses the boundary length. A body that parses must give parts whose
// bytes lie inside the body, and a body rebuilt from those parts in the
// standard layout must parse to the same parts.

#include "demo/multipart.h"

#include <cstdint>
#include <cstdlib>

namespace {

bool plain(const QString &text) {
    for (const QChar c : text)
        if (c == QLatin1Char('"') || c == QLatin1Char(';') || c == QLatin1Char('\r') ||
            c == QLatin1Char('\n'))
            return false;
    return true;
}

QByteArray rebuild(const MultipartBody &parsed, const QByteArray &boundary) {
    QByteArray body;
    for (qsizetype i = 0; i < parsed.parts.size(); ++i) {
        const MultipartPart &p = parsed.parts[i];
        body += (i == 0 ? QByteArray() : QByteArray("\r\n")) + "--" + boundary + "\r\n";
        body += "Content-Disposition: form-data; name=\"" + p.name.toUtf8() + "\"";
        if (p.hasFileName)
            body += "; filename=\"" + p.fileName.toUtf8() + "\"";
        body += "\r\n";
        if (!p.contentType.isEmpty())
            body += "Content-Type: " + p.contentType + "\r\n";
        body += "\r\n" + p.data;
    }
    return body + "\r\n--" + boundary + "--\r\n";
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size < 1)
        return 0;
    const size_t boundaryLength = std::min<size_t>(1 + data[0] % 24, size - 1);
    const QByteArray boundary(reinterpret_cast<const char *>(data + 1), qsizetype(boundaryLength));
    const QByteArray body(reinterpret_cast<const char *>(data + 1 + boundaryLength),
                          qsizetype(size - 1 - boundaryLength));
    const MultipartBody parsed = parseMultipart(body, boundary);
    if (!parsed.ok())
        return 0;
    if (parsed.parts.isEmpty())
        std::abort();
    bool rebuildable = !boundary.contains('\r') && !boundary.contains('\n');
    for (const MultipartPart &p : parsed.parts) {
        if (!p.data.isEmpty() && !body.contains(p.data))
            std::abort();
        rebuildable = rebuildable && plain(p.name) && plain(p.fileName) && !p.contentType.contains('\r') &&
                      !p.contentType.contains('\n') && p.contentType == p.contentType.trimmed() &&
                      !p.data.contains("\r\n--" + boundary);
    }
    if (!rebuildable)
        return 0;
    const MultipartBody again = parseMultipart(rebuild(parsed, boundary), boundary);
    if (!again.ok() || again.parts.size() != parsed.parts.size())
        std::abort();
    for (qsizetype i = 0; i < parsed.parts.size(); ++i)
        if (again.parts[i].name != parsed.parts[i].name || again.parts[i].data != parsed.parts[i].data ||
            again.parts[i].fileName != parsed.parts[i].fileName)
            std::abort();
    return 0;
}
