#pragma once
// Text recognition with engines made ahead of time, reading an image in
// horizontal bands on several engines at once.
//
// A TextRecognizer keeps one recognition thread per engine. Each thread loads
// a fresh engine as soon as it starts, and again right after every image it
// has read, so a capture never waits for the trained data to load and no
// engine reads two captures. read() cuts the image at blank rows (never
// through a line of text) and queues the bands in order; every ready engine
// takes the next band until none is left, and the bands' texts are joined in
// order. Asked for the top band's text early, read() makes the top of the
// image a band of its own, read first, and hands its text over as soon as it
// is read.

#include "capture/text_recognition.h"

#include <QImage>
#include <QString>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <thread>
#include <vector>

class TextRecognizer {
public:
    enum class Engines {
        KeptReady, // a fresh engine is loaded right after every read
        OneRead,   // each engine reads once; later reads fail (one-off commands)
    };

    // `engines` recognition threads (0: one per processor core). The engines
    // start loading at once.
    explicit TextRecognizer(TextRecognitionSettings settings = {}, int engines = 0,
                            Engines lifetime = Engines::KeptReady);
    // Stops the threads and deletes the engines; waits for an engine that is
    // loading. Must not run while read() does.
    ~TextRecognizer();
    TextRecognizer(const TextRecognizer &) = delete;
    TextRecognizer &operator=(const TextRecognizer &) = delete;

    int engineCount() const { return int(m_workers.size()); }

    // Images with fewer pixels than this are read whole: their bands would
    // save less than starting a band costs.
    static constexpr qint64 kMinimumBandedPixels = 600'000;

    // The share of the rows the top band covers at least, when it is read
    // first: record banners (name, date of birth) sit in the top of a window.
    static constexpr double kLeadingShare = 1.0 / 6.0;

    // The text of `image` (already at recognition size). `bands` 0 chooses:
    // one band per engine for images of kMinimumBandedPixels and more, else
    // the whole image; 1 reads the whole image on one engine. None when the
    // image has no pixels or an engine could not be loaded (`failure` tells
    // why). One read at a time: concurrent calls wait for each other.
    //
    // With `topBandRead`, a banded image (bands 0 or more than 1) gets a top
    // band of its own (leadingBandCuts()), read first; its text and words are
    // handed to `topBandRead` on a recognition thread as soon as it is read,
    // while the other bands are still being read. Not called when the image
    // is read whole or the top band fails.
    //
    // With `screen`, also the words with their places in `image` (bands
    // joined: blocks and lines numbered on over the bands).
    std::optional<QString> read(const QImage &image, QString *failure = nullptr,
                                RecognitionTimings *timings = nullptr, int bands = 0,
                                const std::function<void(const ScreenText &)> &topBandRead = {},
                                ScreenText *screen = nullptr);

    // Blocks until every engine is loaded (or failed to load); false after
    // `timeoutMs`. For measurements.
    bool waitUntilReady(int timeoutMs);

private:
    struct Band {
        QImage image;
        int top = 0; // the band's first row in the image
        std::optional<QString> text;
        QList<ScreenWord> words;
        QString failure;
        RecognitionTimings timings;
        bool done = false;
    };
    // The bands of the read in progress, in order; guarded by m_mutex.
    struct Job {
        std::vector<Band> bands;
        size_t next = 0; // the first band no engine has taken
        std::function<void(const ScreenText &)> topBandRead;
        int imageHeight = 0;
    };
    struct Worker {
        std::thread thread;
        // Guarded by m_mutex.
        bool ready = false;   // an engine is loaded (or failed to load) and waits for an image
        bool retired = false; // read once and stopped (Engines::OneRead)
    };
    void run(Worker *worker);

    const TextRecognitionSettings m_settings;
    const Engines m_lifetime;
    std::mutex m_readMutex; // one read() at a time
    std::mutex m_mutex;
    std::condition_variable m_changed;
    bool m_stopping = false;
    Job *m_job = nullptr;
    std::vector<std::unique_ptr<Worker>> m_workers;
};
