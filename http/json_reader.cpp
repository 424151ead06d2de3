// A strict JSON reader producing QVariant values. Unlike QJsonDocument it
// accepts top-level scalars on request, keeps integers apart from reals and
// bounds nesting so that hostile input cannot exhaust the stack.

#include "http/request_serializer.h"
#include "http/response_serializer.h"

#include <QVariantList>
#include <QVariantMap>
#include <charconv>
#include <cmath>
#include <cstring>

namespace {

constexpr qint64 kJSONReadCorruptError = 3840;

class JSONReader {
public:
    JSONReader(const QByteArray &data, unsigned options)
        : m_p(data.constData()), m_n(data.size()), m_options(options) {
        if (m_n >= 3 && static_cast<unsigned char>(m_p[0]) == 0xEF &&
            static_cast<unsigned char>(m_p[1]) == 0xBB && static_cast<unsigned char>(m_p[2]) == 0xBF)
            m_i = 3;
    }

    QVariant parse() {
        skipWhitespace();
        if (m_i >= m_n)
            return fail(QStringLiteral("No value."));
        const char c = m_p[m_i];
        if (c != '{' && c != '[' && !(m_options & NSJSONReadingFragmentsAllowed))
            return fail(
                QStringLiteral("JSON text did not start with array or object and option to allow fragments "
                               "not set."));
        QVariant value = parseValue(0);
        if (!m_error.isEmpty())
            return QVariant();
        skipWhitespace();
        if (m_i < m_n)
            return fail(QStringLiteral("Garbage at end."));
        return value;
    }

    KCError error() const {
        if (m_error.isEmpty())
            return KCError();
        // Line and column of the failure, counted from 1 and 0.
        qsizetype line = 1, column = 0;
        for (qsizetype k = 0; k < m_errorOffset && k < m_n; ++k) {
            if (m_p[k] == '\n')
                ++line, column = 0;
            else
                ++column;
        }
        const QString debug = QStringLiteral("%1 around line %2, column %3.")
                                  .arg(m_error.endsWith(u'.') ? m_error.chopped(1) : m_error)
                                  .arg(line)
                                  .arg(column);
        return KCError(
            NSCocoaErrorDomain, kJSONReadCorruptError,
            {{NSLocalizedDescriptionKey,
              QStringLiteral("The data couldn\u2019t be read because it isn\u2019t in the correct format.")},
             {NSDebugDescriptionErrorKey, debug}});
    }

private:
    QVariant fail(const QString &message) {
        if (m_error.isEmpty()) {
            m_error = message;
            m_errorOffset = m_i;
        }
        return QVariant();
    }

    void skipWhitespace() {
        while (m_i < m_n) {
            const char c = m_p[m_i];
            if (c != ' ' && c != '\t' && c != '\n' && c != '\r')
                break;
            ++m_i;
        }
    }

    bool consumeLiteral(const char *literal, qsizetype length) {
        if (m_n - m_i < length || std::memcmp(m_p + m_i, literal, size_t(length)) != 0)
            return false;
        m_i += length;
        return true;
    }

    QVariant parseValue(int depth) {
        skipWhitespace();
        if (m_i >= m_n)
            return fail(QStringLiteral("Unexpected end of file while parsing a value."));
        const char c = m_p[m_i];
        switch (c) {
        case '{':
        case '[':
            if (depth >= KCJSONMaximumNestingDepth)
                return fail(QStringLiteral("Too many nested arrays or dictionaries."));
            return c == '{' ? parseObject(depth + 1) : parseArray(depth + 1);
        case '"':
            return parseString();
        case 't':
            if (consumeLiteral("true", 4))
                return QVariant(true);
            return fail(QStringLiteral("Invalid value."));
        case 'f':
            if (consumeLiteral("false", 5))
                return QVariant(false);
            return fail(QStringLiteral("Invalid value."));
        case 'n':
            if (consumeLiteral("null", 4))
                return KCNullMarker();
            return fail(QStringLiteral("Invalid value."));
        default:
            if (c == '-' || (c >= '0' && c <= '9'))
                return parseNumber();
            return fail(QStringLiteral("Invalid value."));
        }
    }

    QVariant parseObject(int depth) {
        ++m_i; // '{'
        QVariantMap map;
        skipWhitespace();
        if (m_i < m_n && m_p[m_i] == '}') {
            ++m_i;
            return map;
        }
        while (true) {
            skipWhitespace();
            if (m_i >= m_n || m_p[m_i] != '"')
                return fail(QStringLiteral("No string key for value in object."));
            const QVariant key = parseString();
            if (!m_error.isEmpty())
                return QVariant();
            skipWhitespace();
            if (m_i >= m_n || m_p[m_i] != ':')
                return fail(QStringLiteral("No ':' after key in object."));
            ++m_i;
            QVariant value = parseValue(depth);
            if (!m_error.isEmpty())
                return QVariant();
            map.insert(key.toString(), std::move(value));
            skipWhitespace();
            if (m_i >= m_n)
                return fail(QStringLiteral("Unexpected end of file during object."));
            if (m_p[m_i] == ',') {
                ++m_i;
                continue;
            }
            if (m_p[m_i] == '}') {
                ++m_i;
                return map;
            }
            return fail(QStringLiteral("Badly formed object."));
        }
    }

    QVariant parseArray(int depth) {
        ++m_i; // '['
        QVariantList list;
        skipWhitespace();
        if (m_i < m_n && m_p[m_i] == ']') {
            ++m_i;
            return list;
        }
        while (true) {
            QVariant value = parseValue(depth);
            if (!m_error.isEmpty())
                return QVariant();
            list.append(std::move(value));
            skipWhitespace();
            if (m_i >= m_n)
                return fail(QStringLiteral("Unexpected end of file during array."));
            if (m_p[m_i] == ',') {
                ++m_i;
                continue;
            }
            if (m_p[m_i] == ']') {
                ++m_i;
                return list;
            }
            return fail(QStringLiteral("Badly formed array."));
        }
    }

    int hexValue(char c) const {
        if (c >= '0' && c <= '9')
            return c - '0';
        if (c >= 'a' && c <= 'f')
            return c - 'a' + 10;
        if (c >= 'A' && c <= 'F')
            return c - 'A' + 10;
        return -1;
    }

    bool parseHex4(char16_t *out) {
        if (m_n - m_i < 4)
            return false;
        char16_t v = 0;
        for (int k = 0; k < 4; ++k) {
            const int h = hexValue(m_p[m_i + k]);
            if (h < 0)
                return false;
            v = char16_t((v << 4) | h);
        }
        m_i += 4;
        *out = v;
        return true;
    }

    QVariant parseString() {
        ++m_i; // opening quote
        QString out;
        qsizetype runStart = m_i;
        auto flushRun = [&] {
            if (m_i > runStart) {
                const QByteArray run = QByteArray::fromRawData(m_p + runStart, m_i - runStart);
                if (!KCIsValidUTF8(run))
                    return false;
                out += QString::fromUtf8(run);
            }
            return true;
        };
        while (true) {
            if (m_i >= m_n)
                return fail(QStringLiteral("Unterminated string."));
            const auto c = static_cast<unsigned char>(m_p[m_i]);
            if (c == '"') {
                if (!flushRun())
                    return fail(QStringLiteral("Unable to convert data to string."));
                ++m_i;
                return out;
            }
            if (c < 0x20)
                return fail(QStringLiteral("Unescaped control character."));
            if (c != '\\') {
                ++m_i;
                continue;
            }
            if (!flushRun())
                return fail(QStringLiteral("Unable to convert data to string."));
            ++m_i; // backslash
            if (m_i >= m_n)
                return fail(QStringLiteral("Unterminated string."));
            const char e = m_p[m_i++];
            switch (e) {
            case '"':
                out += u'"';
                break;
            case '\\':
                out += u'\\';
                break;
            case '/':
                out += u'/';
                break;
            case 'b':
                out += u'\b';
                break;
            case 'f':
                out += u'\f';
                break;
            case 'n':
                out += u'\n';
                break;
            case 'r':
                out += u'\r';
                break;
            case 't':
                out += u'\t';
                break;
            case 'u': {
                char16_t unit;
                if (!parseHex4(&unit))
                    return fail(QStringLiteral("Invalid hex escape sequence."));
                if (QChar::isHighSurrogate(unit)) {
                    char16_t low;
                    if (m_n - m_i < 2 || m_p[m_i] != '\\' || m_p[m_i + 1] != 'u')
                        return fail(
                            QStringLiteral("Unable to convert hex escape sequence (no low surrogate) to "
                                           "UTF8-encoded character."));
                    m_i += 2;
                    if (!parseHex4(&low) || !QChar::isLowSurrogate(low))
                        return fail(
                            QStringLiteral("Unable to convert hex escape sequence (invalid low surrogate) "
                                           "to UTF8-encoded character."));
                    out += QChar(unit);
                    out += QChar(low);
                } else if (QChar::isLowSurrogate(unit)) {
                    return fail(
                        QStringLiteral("Unable to convert hex escape sequence (unexpected low surrogate) "
                                       "to UTF8-encoded character."));
                } else {
                    out += QChar(unit);
                }
                break;
            }
            default:
                --m_i;
                return fail(QStringLiteral("Invalid escape sequence."));
            }
            runStart = m_i;
        }
    }

    // Roughly log10 of a well-formed JSON number's absolute value: negative
    // for numbers below 1, positive for numbers of 1 or more.
    static long long decimalMagnitude(const char *first, const char *last) {
        const char *p = first;
        if (*p == '-')
            ++p;
        long long intDigits = 0, leadingFractionZeros = 0;
        bool seenNonZero = false;
        for (; p < last && *p >= '0' && *p <= '9'; ++p) {
            if (*p != '0' || seenNonZero) {
                seenNonZero = true;
                ++intDigits;
            }
        }
        if (p < last && *p == '.') {
            for (++p; p < last && *p >= '0' && *p <= '9'; ++p) {
                if (!seenNonZero && *p == '0')
                    ++leadingFractionZeros;
                else
                    seenNonZero = true;
            }
        }
        long long exponent = 0;
        if (p < last && (*p == 'e' || *p == 'E')) {
            ++p;
            const bool negative = *p == '-';
            if (*p == '+' || *p == '-')
                ++p;
            auto [ptr, ec] = std::from_chars(p, last, exponent);
            if (ec != std::errc())
                exponent = 1000000000LL; // beyond any double either way
            if (negative)
                exponent = -exponent;
        }
        return (intDigits > 0 ? intDigits : -leadingFractionZeros) + exponent;
    }

    QVariant parseNumber() {
        const qsizetype start = m_i;
        auto digit = [&](qsizetype k) { return k < m_n && m_p[k] >= '0' && m_p[k] <= '9'; };
        if (m_p[m_i] == '-')
            ++m_i;
        if (!digit(m_i))
            return fail(QStringLiteral("Invalid number."));
        if (m_p[m_i] == '0') {
            ++m_i;
            if (digit(m_i))
                return fail(QStringLiteral("Leading zeros are not allowed."));
        } else {
            while (digit(m_i))
                ++m_i;
        }
        bool real = false;
        if (m_i < m_n && m_p[m_i] == '.') {
            real = true;
            ++m_i;
            if (!digit(m_i))
                return fail(QStringLiteral("Invalid number: no digits after the decimal point."));
            while (digit(m_i))
                ++m_i;
        }
        if (m_i < m_n && (m_p[m_i] == 'e' || m_p[m_i] == 'E')) {
            real = true;
            ++m_i;
            if (m_i < m_n && (m_p[m_i] == '+' || m_p[m_i] == '-'))
                ++m_i;
            if (!digit(m_i))
                return fail(QStringLiteral("Invalid number: no digits in the exponent."));
            while (digit(m_i))
                ++m_i;
        }
        const char *first = m_p + start;
        const char *last = m_p + m_i;
        if (!real) {
            qlonglong v = 0;
            auto [ptr, ec] = std::from_chars(first, last, v);
            if (ec == std::errc() && ptr == last)
                return QVariant(v);
            if (*first != '-') {
                qulonglong u = 0;
                auto [uptr, uec] = std::from_chars(first, last, u);
                if (uec == std::errc() && uptr == last)
                    return QVariant(u);
            }
        }
        double d = 0;
        auto [ptr, ec] = std::from_chars(first, last, d);
        if (ec == std::errc::result_out_of_range) {
            // Underflow is a zero; overflow cannot be represented.
            if (decimalMagnitude(first, last) < 0)
                return QVariant(*first == '-' ? -0.0 : 0.0);
            m_i = start;
            return fail(QStringLiteral("Number out of range."));
        }
        if (ec != std::errc() || ptr != last || !std::isfinite(d)) {
            m_i = start;
            return fail(QStringLiteral("Number out of range."));
        }
        return QVariant(d);
    }

    const char *m_p;
    qsizetype m_n;
    qsizetype m_i = 0;
    unsigned m_options;
    QString m_error;
    qsizetype m_errorOffset = 0;
};

} // namespace

QVariant KCJSONObjectWithData(const QByteArray &data, unsigned readingOptions, KCError *error) {
    JSONReader reader(data, readingOptions);
    QVariant value = reader.parse();
    if (!value.isValid() && error)
        *error = reader.error();
    return value;
}
