#pragma once
// Text recognition with engines made ahead of time, reading an image in
// horizontal bands on several engines at once.
//
// A TextRecognizer keeps one recognition thread per engine. Each thread loads
// a fresh engine as soon as it starts, and again right after every image it
// has read, so a capture never waits for the trained data to load and no
// engine reads two captures. read() cuts the image at blank rows (never
// through a line of text), hands one band to each engine, and joins the
// bands' texts in order.

#include "capture/text_recognition.h"

#include <QImage>
#include <QString>
#include <condition_variable>
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

    // The text of `image` (already at recognition size). `bands` 0 chooses:
    // one band per engine for images of kMinimumBandedPixels and more, else
    // the whole image; 1 reads the whole image on one engine. None when the
    // image has no pixels or an engine could not be loaded (`failure` tells
    // why). One read at a time: concurrent calls wait for each other.
    std::optional<QString> read(const QImage &image, QString *failure = nullptr,
                                RecognitionTimings *timings = nullptr, int bands = 0);

    // Blocks until every engine is loaded (or failed to load); false after
    // `timeoutMs`. For measurements.
    bool waitUntilReady(int timeoutMs);

private:
    struct Band {
        QImage image;
        std::optional<QString> text;
        QString failure;
        RecognitionTimings timings;
        bool done = false;
    };
    struct Worker {
        std::thread thread;
        // Guarded by m_mutex.
        bool ready = false;   // an engine is loaded (or failed to load) and waits
        bool retired = false; // read once and stopped (Engines::OneRead)
        Band *band = nullptr;
    };
    void run(Worker *worker);

    const TextRecognitionSettings m_settings;
    const Engines m_lifetime;
    std::mutex m_readMutex; // one read() at a time
    std::mutex m_mutex;
    std::condition_variable m_changed;
    bool m_stopping = false;
    std::vector<std::unique_ptr<Worker>> m_workers;
};
