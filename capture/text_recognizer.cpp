#include "capture/text_recognizer.h"

#include "capture/image_preparation.h"

#include <QElapsedTimer>
#include <QThread>
#include <algorithm>

TextRecognizer::TextRecognizer(TextRecognitionSettings settings, int engines, Engines lifetime)
    : m_settings(std::move(settings)), m_lifetime(lifetime) {
    if (engines <= 0)
        engines = std::max(1, QThread::idealThreadCount());
    for (int i = 0; i < engines; ++i)
        m_workers.push_back(std::make_unique<Worker>());
    for (const std::unique_ptr<Worker> &worker : m_workers)
        worker->thread = std::thread(&TextRecognizer::run, this, worker.get());
}

TextRecognizer::~TextRecognizer() {
    {
        std::lock_guard lock(m_mutex);
        m_stopping = true;
    }
    m_changed.notify_all();
    for (const std::unique_ptr<Worker> &worker : m_workers) {
        if (worker->thread.joinable())
            worker->thread.join();
    }
}

void TextRecognizer::run(Worker *worker) {
    // For the thread's whole life: its engines load and read on it alone.
    const EngineThreadLimit threadLimit(m_settings.singleThreaded);
    for (;;) {
        // A fresh engine for every image: nothing read before carries over.
        QString failure;
        std::unique_ptr<RecognitionEngine> engine = RecognitionEngine::start(m_settings, &failure);
        std::unique_lock lock(m_mutex);
        worker->ready = true;
        m_changed.notify_all();
        m_changed.wait(lock, [&] { return m_stopping || (m_job && m_job->next < m_job->bands.size()); });
        if (!m_job || m_job->next >= m_job->bands.size()) {
            worker->ready = false;
            return;
        }
        // The bands of this one image, as long as some are left.
        Job *const job = m_job;
        worker->ready = false; // its engine is taken by this image
        while (job->next < job->bands.size()) {
            const size_t index = job->next++;
            Band &band = job->bands[index];
            lock.unlock();
            RecognitionTimings timings;
            std::optional<QString> text;
            QList<ScreenWord> words;
            QString bandFailure = failure;
            if (engine)
                text = engine->read(band.image, &bandFailure, &timings, &words);
            if (index == 0 && text && job->topBandRead && job->bands.size() > 1)
                job->topBandRead(
                    {*text, words, job->imageHeight, band.image.height(), TextSource::Recognised, {}});
            lock.lock();
            band.text = std::move(text);
            band.words = std::move(words);
            band.failure = bandFailure;
            band.timings = timings;
            band.done = true;
            m_changed.notify_all();
            if (!engine) {
                // Nothing of this image can be read: fail the bands left.
                for (; job->next < job->bands.size(); ++job->next) {
                    job->bands[job->next].failure = failure;
                    job->bands[job->next].done = true;
                }
            }
        }
        worker->retired = m_lifetime == Engines::OneRead;
        m_changed.notify_all();
        lock.unlock();
        // Unloaded after the text is handed over, off the capture's path.
        engine.reset();
        lock.lock();
        if (m_stopping || worker->retired)
            return;
    }
}

bool TextRecognizer::waitUntilReady(int timeoutMs) {
    std::unique_lock lock(m_mutex);
    return m_changed.wait_for(lock, std::chrono::milliseconds(timeoutMs), [this] {
        return std::all_of(m_workers.begin(), m_workers.end(),
                           [](const std::unique_ptr<Worker> &w) { return w->ready; });
    });
}

std::optional<QString> TextRecognizer::read(const QImage &image, QString *failure,
                                            RecognitionTimings *timings, int bands,
                                            const std::function<void(const ScreenText &)> &topBandRead,
                                            ScreenText *screen) {
    std::lock_guard readLock(m_readMutex);
    RecognitionTimings ignored;
    RecognitionTimings &t = timings ? *timings : ignored;
    t = RecognitionTimings();
    QElapsedTimer total;
    total.start();
    if (image.isNull() || image.width() <= 0 || image.height() <= 0) {
        if (failure)
            *failure = QStringLiteral("the image has no pixels");
        return std::nullopt;
    }

    int engines = 0;
    {
        std::lock_guard lock(m_mutex);
        engines = int(std::count_if(m_workers.begin(), m_workers.end(),
                                    [](const std::unique_ptr<Worker> &w) { return !w->retired; }));
    }
    if (engines == 0) {
        if (failure)
            *failure = QStringLiteral("the recognition engines have been used");
        return std::nullopt;
    }
    QElapsedTimer clock;
    clock.start();
    int wanted = bands > 0                                                        ? bands
                 : qint64(image.width()) * image.height() >= kMinimumBandedPixels ? engines
                                                                                  : 1;
    wanted = std::clamp(wanted, 1, engines);
    const bool topFirst = topBandRead && (bands == 0 ? wanted > 1 : bands > 1);
    const QList<int> cuts = topFirst     ? leadingBandCuts(image, wanted, kLeadingShare)
                            : wanted > 1 ? bandCuts(image, wanted)
                                         : QList<int>();
    Job job;
    job.bands.resize(size_t(cuts.size()) + 1);
    if (topFirst)
        job.topBandRead = topBandRead;
    job.imageHeight = image.height();
    int top = 0;
    for (size_t i = 0; i < job.bands.size(); ++i) {
        const int bottom = i < size_t(cuts.size()) ? cuts[qsizetype(i)] : image.height();
        job.bands[i].image = bandOf(image, top, bottom);
        job.bands[i].top = top;
        top = bottom;
    }
    t.bands = int(job.bands.size());
    t.split = clock.restart();

    {
        std::unique_lock lock(m_mutex);
        // Waiting for an engine only when none is loaded yet.
        m_changed.wait(lock, [&] {
            return std::any_of(m_workers.begin(), m_workers.end(),
                               [](const std::unique_ptr<Worker> &w) { return w->ready; });
        });
        t.engineStart = clock.restart();
        m_job = &job;
        m_changed.notify_all();
        m_changed.wait(lock, [&] {
            return std::all_of(job.bands.begin(), job.bands.end(), [](const Band &b) { return b.done; });
        });
        m_job = nullptr;
    }

    QString text;
    if (screen) {
        *screen = ScreenText();
        screen->imageHeight = image.height();
        screen->topBandBottom = topFirst && !cuts.isEmpty() ? cuts.first() : 0;
    }
    int blocks = 0, lines = 0;
    // Each engine's processor time is the sum of its bands'; bands read one
    // after another on one engine are not told apart here, so the slowest
    // band stands for an engine.
    t.cpu = 0;
    for (const Band &part : job.bands) {
        t.cpu = std::max(t.cpu, part.timings.cpu);
        t.encode = std::max(t.encode, part.timings.encode);
        t.decode = std::max(t.decode, part.timings.decode);
        t.recognition = std::max(t.recognition, part.timings.recognition);
        if (!part.text) {
            if (failure)
                *failure = part.failure;
            t.total = total.elapsed();
            return std::nullopt;
        }
        text += *part.text;
        if (!screen)
            continue;
        int lastBlock = -1, lastLine = -1;
        for (ScreenWord word : part.words) {
            word.box.translate(0, part.top);
            lastBlock = std::max(lastBlock, word.block);
            lastLine = std::max(lastLine, word.line);
            word.block += blocks;
            word.line += lines;
            screen->words.append(word);
        }
        blocks += lastBlock + 1;
        lines += lastLine + 1;
    }
    if (screen)
        screen->text = text;
    t.total = total.elapsed();
    return text;
}
