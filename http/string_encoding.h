#pragma once
// Text encodings used by the HTTP layer for form bodies, multipart header text
// and response bodies, with lookup by IANA charset name.

#include <QByteArray>
#include <QString>
#include <optional>

enum class KCStringEncoding {
    UTF8,
    ASCII,
    ISOLatin1,
    WindowsCP1252,
    UTF16, // byte order from a BOM, big-endian without one
    UTF16BE,
    UTF16LE,
    UTF32, // byte order from a BOM, big-endian without one
    UTF32BE,
    UTF32LE,
};

// The encoding named by an IANA charset name ("utf-8", "ISO-8859-1",
// "us-ascii", "UTF-16LE", ...; case-insensitive, surrounding quotes ignored),
// or nothing when the name is unknown.
std::optional<KCStringEncoding> KCStringEncodingForIANACharsetName(const QString &name);

// The canonical IANA name of an encoding ("UTF-8", "ISO-8859-1", ...).
QString KCIANACharsetNameForStringEncoding(KCStringEncoding encoding);

// Decodes bytes as text. Returns nothing when the bytes are not valid in the
// encoding (malformed UTF-8, a byte above 127 in ASCII, an odd length in
// UTF-16, ...). UTF-16 text may contain unpaired surrogates; such text cannot
// be re-encoded as UTF-8 (see KCEncodeText).
std::optional<QString> KCDecodeText(const QByteArray &bytes, KCStringEncoding encoding);

// True when the bytes are well-formed UTF-8 (no overlong forms, no encoded
// surrogates, nothing above U+10FFFF).
bool KCIsValidUTF8(const QByteArray &bytes);

// Encodes text. Returns nothing when the text cannot be represented without
// loss (a character outside the encoding, an unpaired surrogate).
std::optional<QByteArray> KCEncodeText(const QString &text, KCStringEncoding encoding);
