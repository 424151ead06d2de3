#pragma once
// Text recognition of window images with the Tesseract engine (English).
//
// wordsFromImage() encodes the image as PNG, decodes it with Leptonica from an
// in-memory stream and reads it with a fresh engine, returning the engine's
// whole text: words separated by single spaces, lines by line feeds. Despite
// the name it is one string, not a list of words.

#include <QImage>
#include <QString>
#include <optional>

struct Pix;

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
};

// The folder of the English trained data: $KELVRA_TESSDATA when set, else
// the application's own <prefix>/share/kelvra-capture/tessdata when it holds
// eng.traineddata, else Debian's /usr/share/tesseract-ocr/5/tessdata.
QString recognitionDataPath();

// Milliseconds spent in each step of one recognition (-1: not reached).
struct RecognitionTimings {
    qint64 encode = -1;      // the image to PNG bytes
    qint64 decode = -1;      // PNG bytes to Leptonica's image, through the stream
    qint64 engineStart = -1; // a fresh engine with the trained data loaded
    qint64 recognition = -1; // the engine reading the image, to its text
};

// The recognised text, or none when the image has no pixels, the trained data
// cannot be loaded or the engine fails. `failure`, when given, receives a
// one-line reason on the none paths. Safe to call from any thread.
std::optional<QString> wordsFromImage(const QImage &image, const TextRecognitionSettings &settings = {},
                                      QString *failure = nullptr, RecognitionTimings *timings = nullptr);

// Decodes PNG bytes through an in-memory stream with Leptonica. Null, and
// quiet, for bytes that are not a well-formed PNG. The caller owns the result
// (pixDestroy).
Pix *pixFromPngData(const QByteArray &png);
