#pragma once
// Text recognition of window images with the Tesseract engine (English).
//
// wordsFromImage() encodes the image as PNG, decodes it with Leptonica from an
// in-memory stream and reads it with a fresh engine, returning the engine's
// whole text: words separated by single spaces, lines by line feeds. Despite
// the name it is one string, not a list of words.

#include "capture/screen_text.h"

#include <QImage>
#include <QString>
#include <memory>
#include <optional>

struct Pix;
namespace tesseract {
class TessBaseAPI;
}

// Characters the engine may recognise: letters, digits, . , _ ' - / : and
// the space, without which the engine runs the words of a line together. The
// slash and the colon keep dates and times apart ("04/12/1962", not
// "04121962"); the score drops both, so names score the same.
inline constexpr char kRecognitionWhitelist[] =
    "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz.,_'-/:0123456789 ";

struct TextRecognitionSettings {
    // The folder holding eng.traineddata; empty for recognitionDataPath().
    QString dataPath;
    // Keep the engine to the calling thread. Its OpenMP threading makes
    // recognition several times slower on small machines, for the same text.
    bool singleThreaded = true;
    // zlib level of the in-memory PNG (see pngDataFromImage()).
    int pngCompressionLevel = 0;
};

// The folder of the English trained data: $KELVRA_TESSDATA when set, else
// the application's own <prefix>/share/kelvra-capture/tessdata when it holds
// eng.traineddata, else Debian's /usr/share/tesseract-ocr/5/tessdata.
QString recognitionDataPath();

// Milliseconds spent in each step of one recognition (-1: not reached).
// Read in bands, encode, decode and recognition are those of the slowest
// band (the bands are read at the same time).
struct RecognitionTimings {
    qint64 split = -1;       // finding the rows to cut the image into bands at
    qint64 encode = -1;      // the image to PNG bytes
    qint64 decode = -1;      // PNG bytes to Leptonica's image, through the stream
    qint64 engineStart = -1; // a fresh engine with the trained data loaded (made
                             // ahead of time: waiting for it to be ready)
    qint64 recognition = -1; // the engine reading the image, to its text
    qint64 total = -1;       // all of it, from the image to the text
    // Processor time of the reading: in bands, the slowest band's encode,
    // decode and reading (what they take on an idle machine with a core per
    // engine); read whole by wordsFromImage(), also the engine's start.
    qint64 cpu = -1;
    int bands = 1; // the number of bands the image was read in
};

// Processor time of the calling thread, in milliseconds.
qint64 threadCpuMilliseconds();

// The recognised text, or none when the image has no pixels, the trained data
// cannot be loaded or the engine fails. `failure`, when given, receives a
// one-line reason on the none paths. Safe to call from any thread.
std::optional<QString> wordsFromImage(const QImage &image, const TextRecognitionSettings &settings = {},
                                      QString *failure = nullptr, RecognitionTimings *timings = nullptr);

// While alive (and `active`), keeps the engine's OpenMP parallel regions on
// the calling thread. The engine asks for fixed thread counts (num_threads
// clauses), which omp_set_num_threads() does not override; with the maximum
// number of active levels at 0 every parallel region runs on the thread that
// meets it. Its OpenMP threading makes recognition several times slower on
// small machines, for the same text, and engines on several threads would
// each start a team. Nests on one thread.
class EngineThreadLimit {
public:
    explicit EngineThreadLimit(bool active);
    ~EngineThreadLimit();
    EngineThreadLimit(const EngineThreadLimit &) = delete;
    EngineThreadLimit &operator=(const EngineThreadLimit &) = delete;

private:
    bool m_active;
};

// One engine with the English trained data loaded and the fixed variables
// set. An engine reads any number of images, one at a time, on any thread.
class RecognitionEngine {
public:
    // A new engine, or null with `failure` telling why (missing or unusable
    // trained data).
    static std::unique_ptr<RecognitionEngine> start(const TextRecognitionSettings &settings,
                                                    QString *failure = nullptr);
    ~RecognitionEngine();
    RecognitionEngine(const RecognitionEngine &) = delete;
    RecognitionEngine &operator=(const RecognitionEngine &) = delete;

    // The text of `image`, through PNG bytes and Leptonica as wordsFromImage()
    // does. Sets timings.encode, .decode and .recognition. With `words`, also
    // the words with their boxes (in pixels of `image`), blocks and lines
    // (numbered from 0 in this image).
    std::optional<QString> read(const QImage &image, QString *failure = nullptr,
                                RecognitionTimings *timings = nullptr, QList<ScreenWord> *words = nullptr);

private:
    RecognitionEngine(tesseract::TessBaseAPI *handle, const TextRecognitionSettings &settings);
    tesseract::TessBaseAPI *m_handle;
    TextRecognitionSettings m_settings;
};

// Decodes PNG bytes through an in-memory stream with Leptonica. Null, and
// quiet, for bytes that are not a well-formed PNG. The caller owns the result
// (pixDestroy).
Pix *pixFromPngData(const QByteArray &png);
