#include "capture/image_preparation.h"

#include <QBuffer>
#include <QImageWriter>
#include <QPainter>
#include <algorithm>
#include <array>
#include <climits>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <unordered_map>
#include <vector>
#include <zlib.h>

namespace {

// True when every pixel is fully opaque (as every pixel of a screen capture
// is, whatever its format says).
bool isOpaque(const QImage &image) {
    if (!image.hasAlphaChannel())
        return true;
    if (image.format() != QImage::Format_ARGB32 && image.format() != QImage::Format_ARGB32_Premultiplied)
        return false;
    for (int y = 0; y < image.height(); ++y) {
        const auto *line = reinterpret_cast<const QRgb *>(image.constScanLine(y));
        for (int x = 0; x < image.width(); ++x) {
            if (qAlpha(line[x]) != 255)
                return false;
        }
    }
    return true;
}

} // namespace

QImage resizeImage(const QImage &image, const QSize &size) {
    if (image.isNull() || size.isEmpty())
        return {};
    const bool opaque = isOpaque(image);
    QImage resized(size, opaque ? QImage::Format_RGB32 : QImage::Format_ARGB32_Premultiplied);
    if (resized.isNull())
        return {};
    resized.fill(opaque ? Qt::white : Qt::transparent);
    QPainter painter(&resized);
    painter.setRenderHint(QPainter::SmoothPixmapTransform);
    painter.drawImage(QRect(QPoint(0, 0), size), image);
    painter.end();
    return resized;
}

QSize recognitionSize(const QSize &windowPixels, double scale) {
    if (windowPixels.isEmpty())
        return windowPixels;
    if (!(scale > 0) || !std::isfinite(scale))
        scale = 1.0;
    return QSize(std::max(1, int(std::lround(windowPixels.width() * 2.0 / scale))),
                 std::max(1, int(std::lround(windowPixels.height() * 2.0 / scale))));
}

namespace {

// Light text on a dark ground (a coloured bar, a "DECEASED" badge, a dark
// theme) made black on white, as the engine reads best, so that a line
// holding a dark name and a light badge is read whole: each dark ground (a
// connected run of dark pixels that fills most of its bounding box and is
// shaped like no letter) is turned over with everything in its box.
void darkGroundsInverted(QImage &image) {
    if (image.format() != QImage::Format_RGB32 && image.format() != QImage::Format_ARGB32 &&
        image.format() != QImage::Format_ARGB32_Premultiplied)
        image = image.convertToFormat(QImage::Format_RGB32);
    const int w = image.width(), h = image.height();
    // Runs of dark pixels, row by row, joined to the runs they touch above.
    struct Run {
        int y, x0, x1; // [x0, x1)
        int parent;
    };
    std::vector<Run> runs;
    std::vector<size_t> rowStart(size_t(h) + 1, 0);
    std::function<int(int)> root = [&](int r) {
        while (runs[size_t(r)].parent != r)
            r = runs[size_t(r)].parent = runs[size_t(runs[size_t(r)].parent)].parent;
        return r;
    };
    for (int y = 0; y < h; ++y) {
        rowStart[size_t(y)] = runs.size();
        const QRgb *line = reinterpret_cast<const QRgb *>(image.constScanLine(y));
        for (int x = 0; x < w;) {
            auto dark = [&](int i) {
                const QRgb c = line[i];
                return qRed(c) * 299 + qGreen(c) * 587 + qBlue(c) * 114 < 100 * 1000;
            };
            if (!dark(x)) {
                ++x;
                continue;
            }
            const int x0 = x;
            while (x < w && dark(x))
                ++x;
            const int id = int(runs.size());
            runs.push_back({y, x0, x, id});
            if (y > 0)
                for (size_t k = rowStart[size_t(y - 1)]; k < rowStart[size_t(y)]; ++k)
                    if (runs[k].x0 < x && x0 < runs[k].x1) {
                        const int a = root(int(k)), b = root(id);
                        if (a != b)
                            runs[size_t(std::max(a, b))].parent = std::min(a, b);
                    }
        }
    }
    rowStart[size_t(h)] = runs.size();
    struct Ground {
        int left = INT_MAX, top = INT_MAX, right = -1, bottom = -1;
        qint64 pixels = 0;
        qint64 luminance = 0; // summed over its pixels, in thousandths
    };
    std::unordered_map<int, Ground> grounds;
    for (size_t k = 0; k < runs.size(); ++k) {
        Ground &g = grounds[root(int(k))];
        g.left = std::min(g.left, runs[k].x0);
        g.right = std::max(g.right, runs[k].x1 - 1);
        g.top = std::min(g.top, runs[k].y);
        g.bottom = std::max(g.bottom, runs[k].y);
        g.pixels += runs[k].x1 - runs[k].x0;
        const QRgb *line = reinterpret_cast<const QRgb *>(image.constScanLine(runs[k].y));
        for (int x = runs[k].x0; x < runs[k].x1; ++x)
            g.luminance += qRed(line[x]) * 299 + qGreen(line[x]) * 587 + qBlue(line[x]) * 114;
    }
    for (const auto &[id, g] : grounds) {
        const int gw = g.right - g.left + 1, gh = g.bottom - g.top + 1;
        // A bar or a badge: wider than twice its height and mostly filled
        // (a bold letter is neither); or a large dark area (a dark theme).
        const bool wide = gh >= 16 && gw >= 2 * gh && g.pixels * 2 >= qint64(gw) * gh;
        const bool area = gh >= 200 && gw >= 200 && g.pixels * 2 >= qint64(gw) * gh;
        if (!wide && !area)
            continue;
        // The ground becomes white and its text black, in grey: a pale
        // colour would sit near the engine's threshold between the two.
        const int ground = int(g.luminance / g.pixels / 1000);
        const int span = std::max(1, 255 - ground);
        for (int y = g.top; y <= g.bottom; ++y) {
            QRgb *line = reinterpret_cast<QRgb *>(image.scanLine(y));
            for (int x = g.left; x <= g.right; ++x) {
                const int lum = (qRed(line[x]) * 299 + qGreen(line[x]) * 587 + qBlue(line[x]) * 114) / 1000;
                const int v = 255 - std::clamp((lum - ground) * 255 / span, 0, 255);
                line[x] = qRgba(v, v, v, qAlpha(line[x]));
            }
        }
    }
}

} // namespace

QImage recognitionInput(QImage window, double scale) {
    if (window.isNull())
        return {};
    const QSize size = recognitionSize(window.size(), scale);
    if (size != window.size()) {
        QImage resized = resizeImage(window, size);
        darkGroundsInverted(resized);
        return resized;
    }
    darkGroundsInverted(window);
    // An opaque image is encoded without its alpha channel: a quarter fewer
    // bytes. Not copied unless the caller still shares it.
    if (window.hasAlphaChannel() && isOpaque(window))
        window.reinterpretAsFormat(QImage::Format_RGB32);
    return window;
}

namespace {

void appendBigEndian32(QByteArray &bytes, quint32 value) {
    const char b[4] = {char(value >> 24), char(value >> 16), char(value >> 8), char(value)};
    bytes.append(b, 4);
}

// Appends a chunk of `type` whose data are the bytes from `start` on (already
// in `bytes`, after room left for the length and type), then its CRC.
void finishChunk(QByteArray &bytes, qsizetype start) {
    const quint32 length = quint32(bytes.size() - start - 8);
    auto *at = reinterpret_cast<uchar *>(bytes.data()) + start;
    at[0] = uchar(length >> 24);
    at[1] = uchar(length >> 16);
    at[2] = uchar(length >> 8);
    at[3] = uchar(length);
    appendBigEndian32(bytes, quint32(::crc32(0, at + 4, uInt(length + 4))));
}

// An opaque image as an RGB PNG without compression and without row filters:
// the pixels are copied, not searched for patterns, and read back as fast.
QByteArray storedRgbPng(const QImage &image) {
    const int width = image.width(), height = image.height();
    const qsizetype rowBytes = 1 + qsizetype(width) * 3; // filter byte, then RGB
    const qsizetype raw = rowBytes * height;
    if (raw / rowBytes != height || raw > (qsizetype(1) << 31) - 65536)
        return {};
    const qsizetype blocks = std::max<qsizetype>(1, (raw + 65534) / 65535);
    QByteArray bytes;
    bytes.reserve(8 + 25 + 12 + 2 + raw + blocks * 5 + 4 + 12);
    bytes.append("\x89PNG\r\n\x1a\n", 8);

    qsizetype start = bytes.size();
    bytes.append(8, '\0');
    std::memcpy(bytes.data() + start + 4, "IHDR", 4);
    appendBigEndian32(bytes, quint32(width));
    appendBigEndian32(bytes, quint32(height));
    const char header[5] = {8, 2, 0, 0, 0}; // 8 bits, RGB, deflate, no filter method, no interlace
    bytes.append(header, 5);
    finishChunk(bytes, start);

    start = bytes.size();
    bytes.append(8, '\0');
    std::memcpy(bytes.data() + start + 4, "IDAT", 4);
    bytes.append("\x78\x01", 2); // zlib header: deflate, 32 KB window, no dictionary
    // Stored deflate blocks of at most 65535 bytes, filled row by row.
    uLong adler = adler32(0, nullptr, 0);
    std::vector<uchar> row(size_t(rowBytes), 0);
    qsizetype remaining = raw, inBlock = 0;
    for (int y = 0; y < height; ++y) {
        const auto *pixels = reinterpret_cast<const QRgb *>(image.constScanLine(y));
        uchar *out = row.data() + 1;
        for (int x = 0; x < width; ++x) {
            *out++ = uchar(qRed(pixels[x]));
            *out++ = uchar(qGreen(pixels[x]));
            *out++ = uchar(qBlue(pixels[x]));
        }
        adler = adler32(adler, row.data(), uInt(rowBytes));
        qsizetype done = 0;
        while (done < rowBytes) {
            if (inBlock == 0) {
                const qsizetype length = std::min<qsizetype>(remaining, 65535);
                const char block[5] = {char(remaining <= 65535 ? 1 : 0), char(length & 0xFF),
                                       char(length >> 8), char(~length & 0xFF), char((~length >> 8) & 0xFF)};
                bytes.append(block, 5);
                inBlock = length;
            }
            const qsizetype take = std::min(inBlock, rowBytes - done);
            bytes.append(reinterpret_cast<const char *>(row.data()) + done, take);
            done += take;
            inBlock -= take;
            remaining -= take;
        }
    }
    appendBigEndian32(bytes, quint32(adler));
    finishChunk(bytes, start);

    start = bytes.size();
    bytes.append(8, '\0');
    std::memcpy(bytes.data() + start + 4, "IEND", 4);
    finishChunk(bytes, start);
    return bytes;
}

} // namespace

QByteArray pngDataFromImage(const QImage &image, int level) {
    if (image.isNull() || image.width() <= 0 || image.height() <= 0)
        return {};
    if (level == 0 &&
        (image.format() == QImage::Format_RGB32 || ((image.format() == QImage::Format_ARGB32 ||
                                                     image.format() == QImage::Format_ARGB32_Premultiplied) &&
                                                    isOpaque(image)))) {
        const QByteArray stored = storedRgbPng(image);
        if (!stored.isEmpty())
            return stored;
    }
    QByteArray bytes;
    QBuffer buffer(&bytes);
    buffer.open(QIODevice::WriteOnly);
    QImageWriter writer(&buffer, "png");
    // Qt's PNG writer takes a quality from 0 to 100 and uses zlib level
    // (100 - quality) * 9 / 91.
    if (level >= 0)
        writer.setQuality(100 - (std::min(level, 9) * 91 + 8) / 9);
    if (!writer.write(image))
        return {};
    return bytes;
}

namespace {

// A blank row has at most this many colour edges, each of them part of a
// vertical edge running kEdgeReach rows up and down: longer than any glyph's
// stem at reading size, so a row through a line of text never qualifies.
constexpr int kMaximumEdges = 16;
constexpr int kEdgeReach = 40;
// A cut needs a gap of at least this many blank rows.
constexpr int kMinimumGap = 3;

} // namespace

bool coloursAlike(QRgb a, QRgb b) {
    // Two pixels differ when a colour channel differs by more than this.
    constexpr int kTolerance = 24;
    return std::abs(qRed(a) - qRed(b)) <= kTolerance && std::abs(qGreen(a) - qGreen(b)) <= kTolerance &&
           std::abs(qBlue(a) - qBlue(b)) <= kTolerance;
}

QImage thirtyTwoBitImage(const QImage &image) {
    const QImage::Format f = image.format();
    return f == QImage::Format_RGB32 || f == QImage::Format_ARGB32 || f == QImage::Format_ARGB32_Premultiplied
               ? image
               : image.convertToFormat(QImage::Format_RGB32);
}

namespace {

// Where an image can be cut, and how its detail is spread over its rows.
struct BandProfile {
    std::vector<qint64> cost; // cumulative: cost[y] is the detail of the rows above y
    QList<int> candidates;    // the middle row of every gap inside the image
    qint64 total() const { return cost.empty() ? 0 : cost.back(); }
};

BandProfile bandProfile(const QImage &source) {
    BandProfile profile;
    if (source.isNull() || source.height() < 2 * kEdgeReach)
        return profile;
    const QImage image = thirtyTwoBitImage(source);
    const int width = image.width(), height = image.height();
    const auto row = [&image](int y) { return reinterpret_cast<const QRgb *>(image.constScanLine(y)); };

    // Per row: its detail (colour edges, plus one for the row itself) and
    // whether it is blank.
    std::vector<qint64> &cost = profile.cost;
    cost.assign(size_t(height) + 1, 0);
    std::vector<char> blank(size_t(height), 0);
    std::vector<int> edges;
    for (int y = 0; y < height; ++y) {
        const QRgb *line = row(y);
        edges.clear();
        for (int x = 1; x < width; ++x) {
            if (line[x - 1] != line[x] && !coloursAlike(line[x - 1], line[x]))
                edges.push_back(x);
        }
        cost[size_t(y) + 1] = cost[size_t(y)] + qint64(edges.size()) + 1;
        bool isBlank = edges.empty();
        if (!isBlank && int(edges.size()) <= kMaximumEdges && y >= kEdgeReach && y + kEdgeReach < height) {
            isBlank = std::all_of(edges.begin(), edges.end(), [&](int x) {
                for (int other = y - kEdgeReach; other <= y + kEdgeReach; ++other) {
                    const QRgb *o = row(other);
                    if (!coloursAlike(o[x - 1], line[x - 1]) || !coloursAlike(o[x], line[x]))
                        return false;
                }
                return true;
            });
        }
        blank[size_t(y)] = isBlank;
    }

    for (int y = 0; y < height;) {
        if (!blank[size_t(y)]) {
            ++y;
            continue;
        }
        const int start = y;
        while (y < height && blank[size_t(y)])
            ++y;
        if (start > 0 && y < height && y - start >= kMinimumGap)
            profile.candidates.append(start + (y - start) / 2);
    }
    return profile;
}

// For each target share of the detail (increasing), the candidate below the
// previous cut that is nearest to it.
QList<int> cutsNearest(const BandProfile &profile, const QList<qint64> &targets, QList<int> cuts = {}) {
    for (qint64 target : targets) {
        int best = -1;
        for (int c : profile.candidates) {
            if (!cuts.isEmpty() && c <= cuts.last())
                continue;
            if (best < 0 || std::llabs(profile.cost[size_t(c)] - target) <
                                std::llabs(profile.cost[size_t(best)] - target))
                best = c;
        }
        if (best < 0)
            break;
        cuts.append(best);
    }
    return cuts;
}

} // namespace

QList<int> bandCuts(const QImage &source, int bands) {
    if (bands < 2)
        return {};
    const BandProfile profile = bandProfile(source);
    QList<qint64> targets;
    for (int k = 1; k < bands; ++k)
        targets.append(profile.total() * k / bands);
    return cutsNearest(profile, targets);
}

QList<int> leadingBandCuts(const QImage &source, int engines, double leadingShare) {
    const BandProfile profile = bandProfile(source);
    const int height = source.height();
    const int leadRows = int(std::ceil(height * std::clamp(leadingShare, 0.0, 1.0)));
    // The first gap at or below the leading share of the rows, within twice
    // that share: further down, the top band would be no quicker to read.
    int lead = -1;
    for (int c : profile.candidates) {
        if (c >= leadRows) {
            if (c <= 2 * leadRows)
                lead = c;
            break;
        }
    }
    if (lead < 0)
        return bandCuts(source, engines);
    // The top band goes to one engine and the next bands to the others at
    // once; the engine done with the top band takes the last band. So every
    // engine reads the same share: the bands after the top one end at the
    // top band's detail plus k shares.
    engines = std::max(engines, 1);
    const qint64 leadCost = profile.cost[size_t(lead)];
    const qint64 share = profile.total() / engines;
    QList<qint64> targets;
    for (int k = 1; k < engines; ++k)
        targets.append(leadCost + share * k);
    return cutsNearest(profile, targets, {lead});
}

QImage bandOf(const QImage &image, int top, int bottom) {
    top = std::clamp(top, 0, image.height());
    bottom = std::clamp(bottom, top, image.height());
    if (image.isNull() || bottom <= top)
        return {};
    return QImage(image.constScanLine(top), image.width(), bottom - top, image.bytesPerLine(),
                  image.format());
}

namespace {

std::array<quint32, 256> makeCrcTable() {
    std::array<quint32, 256> table{};
    for (quint32 n = 0; n < 256; ++n) {
        quint32 c = n;
        for (int k = 0; k < 8; ++k)
            c = (c & 1) ? 0xEDB88320u ^ (c >> 1) : c >> 1;
        table[n] = c;
    }
    return table;
}

quint32 crc32(const uchar *data, qsizetype length) {
    static const std::array<quint32, 256> table = makeCrcTable();
    quint32 c = 0xFFFFFFFFu;
    for (qsizetype i = 0; i < length; ++i)
        c = table[(c ^ data[i]) & 0xFF] ^ (c >> 8);
    return c ^ 0xFFFFFFFFu;
}

quint32 bigEndian32(const uchar *p) {
    return (quint32(p[0]) << 24) | (quint32(p[1]) << 16) | (quint32(p[2]) << 8) | quint32(p[3]);
}

bool validHeader(const uchar *ihdr) {
    const quint32 width = bigEndian32(ihdr);
    const quint32 height = bigEndian32(ihdr + 4);
    const int depth = ihdr[8];
    const int colorType = ihdr[9];
    // Leptonica allocates the whole image at once: refuse absurd sizes.
    if (width == 0 || height == 0 || width > 65535 || height > 65535 ||
        quint64(width) * height > (quint64(1) << 28))
        return false;
    if (ihdr[10] != 0 || ihdr[11] != 0 || ihdr[12] > 1)
        return false;
    switch (colorType) {
    case 0:
        return depth == 1 || depth == 2 || depth == 4 || depth == 8 || depth == 16;
    case 3:
        return depth == 1 || depth == 2 || depth == 4 || depth == 8;
    case 2:
    case 4:
    case 6:
        return depth == 8 || depth == 16;
    default:
        return false;
    }
}

} // namespace

bool isWellFormedPng(const QByteArray &bytes) {
    static const uchar signature[8] = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'};
    const auto *data = reinterpret_cast<const uchar *>(bytes.constData());
    const qsizetype size = bytes.size();
    if (size < 8 || memcmp(data, signature, 8) != 0)
        return false;
    qsizetype at = 8;
    bool first = true;
    bool sawData = false;
    while (size - at >= 12) {
        const quint32 length = bigEndian32(data + at);
        if (length > quint32(size - at - 12))
            return false;
        const uchar *type = data + at + 4;
        const uchar *chunk = type + 4;
        if (crc32(type, qsizetype(length) + 4) != bigEndian32(chunk + length))
            return false;
        const bool isHeader = memcmp(type, "IHDR", 4) == 0;
        if (first != isHeader)
            return false;
        if (isHeader && (length != 13 || !validHeader(chunk)))
            return false;
        if (memcmp(type, "IDAT", 4) == 0)
            sawData = true;
        first = false;
        at += qsizetype(length) + 12;
        if (memcmp(type, "IEND", 4) == 0)
            return sawData;
    }
    return false;
}
