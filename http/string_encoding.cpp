#include "http/string_encoding.h"

#include <QHash>

namespace {

// Windows-1252 code points for bytes 0x80..0x9F; 0 marks an unassigned byte.
constexpr char16_t kCP1252High[32] = {
    0x20AC, 0,      0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021, 0x02C6, 0x2030, 0x0160,
    0x2039, 0x0152, 0,      0x017D, 0,      0,      0x2018, 0x2019, 0x201C, 0x201D, 0x2022,
    0x2013, 0x2014, 0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0,      0x017E, 0x0178,
};

// Length of the UTF-8 sequence starting at p[i], or 0 when it is malformed.
int utf8SequenceLength(const unsigned char *p, qsizetype i, qsizetype n) {
    const unsigned char c = p[i];
    if (c < 0x80)
        return 1;
    int extra;
    char32_t cp, min;
    if ((c & 0xE0) == 0xC0)
        extra = 1, cp = c & 0x1F, min = 0x80;
    else if ((c & 0xF0) == 0xE0)
        extra = 2, cp = c & 0x0F, min = 0x800;
    else if ((c & 0xF8) == 0xF0)
        extra = 3, cp = c & 0x07, min = 0x10000;
    else
        return 0;
    if (i + extra >= n)
        return 0;
    for (int k = 1; k <= extra; ++k) {
        if ((p[i + k] & 0xC0) != 0x80)
            return 0;
        cp = (cp << 6) | (p[i + k] & 0x3F);
    }
    if (cp < min || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF))
        return 0;
    return extra + 1;
}

std::optional<QString> decodeUTF16(const QByteArray &bytes, bool bigEndian, bool detectBOM) {
    if (bytes.size() % 2 != 0)
        return std::nullopt;
    const auto *p = reinterpret_cast<const unsigned char *>(bytes.constData());
    qsizetype i = 0;
    if (detectBOM && bytes.size() >= 2) {
        if (p[0] == 0xFE && p[1] == 0xFF)
            bigEndian = true, i = 2;
        else if (p[0] == 0xFF && p[1] == 0xFE)
            bigEndian = false, i = 2;
    }
    QString out;
    out.reserve((bytes.size() - i) / 2);
    for (; i < bytes.size(); i += 2)
        out.append(QChar(char16_t(bigEndian ? (p[i] << 8) | p[i + 1] : (p[i + 1] << 8) | p[i])));
    return out;
}

std::optional<QString> decodeUTF32(const QByteArray &bytes, bool bigEndian, bool detectBOM) {
    if (bytes.size() % 4 != 0)
        return std::nullopt;
    const auto *p = reinterpret_cast<const unsigned char *>(bytes.constData());
    qsizetype i = 0;
    if (detectBOM && bytes.size() >= 4) {
        if (p[0] == 0 && p[1] == 0 && p[2] == 0xFE && p[3] == 0xFF)
            bigEndian = true, i = 4;
        else if (p[0] == 0xFF && p[1] == 0xFE && p[2] == 0 && p[3] == 0)
            bigEndian = false, i = 4;
    }
    QString out;
    for (; i < bytes.size(); i += 4) {
        const char32_t cp = bigEndian
                                ? (char32_t(p[i]) << 24) | (p[i + 1] << 16) | (p[i + 2] << 8) | p[i + 3]
                                : (char32_t(p[i + 3]) << 24) | (p[i + 2] << 16) | (p[i + 1] << 8) | p[i];
        if (cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF))
            return std::nullopt;
        out.append(QString::fromUcs4(&cp, 1));
    }
    return out;
}

bool hasUnpairedSurrogate(const QString &text) {
    const qsizetype n = text.size();
    for (qsizetype i = 0; i < n; ++i) {
        const QChar c = text.at(i);
        if (c.isHighSurrogate()) {
            if (i + 1 >= n || !text.at(i + 1).isLowSurrogate())
                return true;
            ++i;
        } else if (c.isLowSurrogate()) {
            return true;
        }
    }
    return false;
}

QByteArray encodeUTF16(const QString &text, bool bigEndian) {
    QByteArray out;
    out.reserve(text.size() * 2);
    for (QChar c : text) {
        const char16_t u = c.unicode();
        const char hi = char(u >> 8), lo = char(u & 0xFF);
        out.append(bigEndian ? hi : lo);
        out.append(bigEndian ? lo : hi);
    }
    return out;
}

} // namespace

bool KCIsValidUTF8(const QByteArray &bytes) {
    const auto *p = reinterpret_cast<const unsigned char *>(bytes.constData());
    const qsizetype n = bytes.size();
    qsizetype i = 0;
    while (i < n) {
        // Fast path over ASCII.
        while (i < n && p[i] < 0x80)
            ++i;
        if (i >= n)
            break;
        const int len = utf8SequenceLength(p, i, n);
        if (len == 0)
            return false;
        i += len;
    }
    return true;
}

std::optional<KCStringEncoding> KCStringEncodingForIANACharsetName(const QString &name) {
    static const QHash<QString, KCStringEncoding> table = {
        {QStringLiteral("utf-8"), KCStringEncoding::UTF8},
        {QStringLiteral("utf8"), KCStringEncoding::UTF8},
        {QStringLiteral("unicode-1-1-utf-8"), KCStringEncoding::UTF8},
        {QStringLiteral("us-ascii"), KCStringEncoding::ASCII},
        {QStringLiteral("ascii"), KCStringEncoding::ASCII},
        {QStringLiteral("us"), KCStringEncoding::ASCII},
        {QStringLiteral("ansi_x3.4-1968"), KCStringEncoding::ASCII},
        {QStringLiteral("iso646-us"), KCStringEncoding::ASCII},
        {QStringLiteral("iso-ir-6"), KCStringEncoding::ASCII},
        {QStringLiteral("cp367"), KCStringEncoding::ASCII},
        {QStringLiteral("ibm367"), KCStringEncoding::ASCII},
        {QStringLiteral("csascii"), KCStringEncoding::ASCII},
        {QStringLiteral("iso-8859-1"), KCStringEncoding::ISOLatin1},
        {QStringLiteral("iso_8859-1"), KCStringEncoding::ISOLatin1},
        {QStringLiteral("iso_8859-1:1987"), KCStringEncoding::ISOLatin1},
        {QStringLiteral("iso8859-1"), KCStringEncoding::ISOLatin1},
        {QStringLiteral("latin1"), KCStringEncoding::ISOLatin1},
        {QStringLiteral("latin-1"), KCStringEncoding::ISOLatin1},
        {QStringLiteral("l1"), KCStringEncoding::ISOLatin1},
        {QStringLiteral("iso-ir-100"), KCStringEncoding::ISOLatin1},
        {QStringLiteral("ibm819"), KCStringEncoding::ISOLatin1},
        {QStringLiteral("cp819"), KCStringEncoding::ISOLatin1},
        {QStringLiteral("csisolatin1"), KCStringEncoding::ISOLatin1},
        {QStringLiteral("windows-1252"), KCStringEncoding::WindowsCP1252},
        {QStringLiteral("cp1252"), KCStringEncoding::WindowsCP1252},
        {QStringLiteral("x-cp1252"), KCStringEncoding::WindowsCP1252},
        {QStringLiteral("utf-16"), KCStringEncoding::UTF16},
        {QStringLiteral("utf16"), KCStringEncoding::UTF16},
        {QStringLiteral("utf-16be"), KCStringEncoding::UTF16BE},
        {QStringLiteral("utf-16le"), KCStringEncoding::UTF16LE},
        {QStringLiteral("utf-32"), KCStringEncoding::UTF32},
        {QStringLiteral("utf32"), KCStringEncoding::UTF32},
        {QStringLiteral("utf-32be"), KCStringEncoding::UTF32BE},
        {QStringLiteral("utf-32le"), KCStringEncoding::UTF32LE},
    };
    QString key = name.trimmed();
    if (key.size() >= 2 && (key.startsWith(u'"') || key.startsWith(u'\'')) && key.endsWith(key.front()))
        key = key.mid(1, key.size() - 2).trimmed();
    const auto it = table.constFind(key.toLower());
    if (it == table.constEnd())
        return std::nullopt;
    return it.value();
}

QString KCIANACharsetNameForStringEncoding(KCStringEncoding encoding) {
    switch (encoding) {
    case KCStringEncoding::UTF8:
        return QStringLiteral("UTF-8");
    case KCStringEncoding::ASCII:
        return QStringLiteral("US-ASCII");
    case KCStringEncoding::ISOLatin1:
        return QStringLiteral("ISO-8859-1");
    case KCStringEncoding::WindowsCP1252:
        return QStringLiteral("windows-1252");
    case KCStringEncoding::UTF16:
        return QStringLiteral("UTF-16");
    case KCStringEncoding::UTF16BE:
        return QStringLiteral("UTF-16BE");
    case KCStringEncoding::UTF16LE:
        return QStringLiteral("UTF-16LE");
    case KCStringEncoding::UTF32:
        return QStringLiteral("UTF-32");
    case KCStringEncoding::UTF32BE:
        return QStringLiteral("UTF-32BE");
    case KCStringEncoding::UTF32LE:
        return QStringLiteral("UTF-32LE");
    }
    return QString();
}

std::optional<QString> KCDecodeText(const QByteArray &bytes, KCStringEncoding encoding) {
    switch (encoding) {
    case KCStringEncoding::UTF8:
        if (!KCIsValidUTF8(bytes))
            return std::nullopt;
        return QString::fromUtf8(bytes);
    case KCStringEncoding::ASCII:
        for (char c : bytes) {
            if (static_cast<unsigned char>(c) > 0x7F)
                return std::nullopt;
        }
        return QString::fromLatin1(bytes);
    case KCStringEncoding::ISOLatin1:
        return QString::fromLatin1(bytes);
    case KCStringEncoding::WindowsCP1252: {
        QString out;
        out.reserve(bytes.size());
        for (char ch : bytes) {
            const auto c = static_cast<unsigned char>(ch);
            if (c >= 0x80 && c <= 0x9F) {
                if (kCP1252High[c - 0x80] == 0)
                    return std::nullopt;
                out.append(QChar(kCP1252High[c - 0x80]));
            } else {
                out.append(QChar(c));
            }
        }
        return out;
    }
    case KCStringEncoding::UTF16:
        return decodeUTF16(bytes, true, true);
    case KCStringEncoding::UTF16BE:
        return decodeUTF16(bytes, true, false);
    case KCStringEncoding::UTF16LE:
        return decodeUTF16(bytes, false, false);
    case KCStringEncoding::UTF32:
        return decodeUTF32(bytes, true, true);
    case KCStringEncoding::UTF32BE:
        return decodeUTF32(bytes, true, false);
    case KCStringEncoding::UTF32LE:
        return decodeUTF32(bytes, false, false);
    }
    return std::nullopt;
}

std::optional<QByteArray> KCEncodeText(const QString &text, KCStringEncoding encoding) {
    switch (encoding) {
    case KCStringEncoding::UTF8:
        if (hasUnpairedSurrogate(text))
            return std::nullopt;
        return text.toUtf8();
    case KCStringEncoding::ASCII:
    case KCStringEncoding::ISOLatin1: {
        const char16_t limit = encoding == KCStringEncoding::ASCII ? 0x7F : 0xFF;
        QByteArray out;
        out.reserve(text.size());
        for (QChar c : text) {
            if (c.unicode() > limit)
                return std::nullopt;
            out.append(char(c.unicode()));
        }
        return out;
    }
    case KCStringEncoding::WindowsCP1252: {
        QByteArray out;
        out.reserve(text.size());
        for (QChar c : text) {
            const char16_t u = c.unicode();
            if (u < 0x80 || (u >= 0xA0 && u <= 0xFF)) {
                out.append(char(u));
                continue;
            }
            int found = -1;
            for (int k = 0; k < 32; ++k) {
                if (kCP1252High[k] != 0 && kCP1252High[k] == u)
                    found = k;
            }
            if (found < 0)
                return std::nullopt;
            out.append(char(0x80 + found));
        }
        return out;
    }
    case KCStringEncoding::UTF16:
    case KCStringEncoding::UTF16BE:
    case KCStringEncoding::UTF16LE: {
        if (hasUnpairedSurrogate(text))
            return std::nullopt;
        const bool le = encoding == KCStringEncoding::UTF16LE;
        QByteArray out = encoding == KCStringEncoding::UTF16 ? QByteArray("\xFE\xFF", 2) : QByteArray();
        return out + encodeUTF16(text, !le);
    }
    case KCStringEncoding::UTF32:
    case KCStringEncoding::UTF32BE:
    case KCStringEncoding::UTF32LE: {
        if (hasUnpairedSurrogate(text))
            return std::nullopt;
        const bool le = encoding == KCStringEncoding::UTF32LE;
        QByteArray out =
            encoding == KCStringEncoding::UTF32 ? QByteArray("\x00\x00\xFE\xFF", 4) : QByteArray();
        for (char32_t cp : text.toUcs4()) {
            const char b[4] = {char(cp >> 24), char((cp >> 16) & 0xFF), char((cp >> 8) & 0xFF),
                               char(cp & 0xFF)};
            for (int k = 0; k < 4; ++k)
                out.append(le ? b[3 - k] : b[k]);
        }
        return out;
    }
    }
    return std::nullopt;
}
