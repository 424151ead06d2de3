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
        Band *band = nullptr;
        {
            std::unique_lock lock(m_mutex);
            worker->ready = true;
            m_changed.notify_all();
            m_changed.wait(lock, [&] { return m_stopping || worker->band; });
            if (!worker->band) {
                worker->ready = false;
                return;
            }
            band = worker->band;
        }
        RecognitionTimings timings;
        std::optional<QString> text;
        if (engine)
            text = engine->read(band->image, &failure, &timings);
        {
            std::lock_guard lock(m_mutex);
            band->text = std::move(text);
            band->failure = failure;
            band->timings = timings;
            band->done = true;
            worker->band = nullptr;
            worker->ready = false;
            worker->retired = m_lifetime == Engines::OneRead;
        }
        m_changed.notify_all();
        // Unloaded after the text is handed over, off the capture's path.
        engine.reset();
        std::lock_guard lock(m_mutex);
        if (m_stopping || worker->retired)
            return;
    }
}

bool TextRecognizer::waitUntilReady(int timeoutMs) {
    std::unique_lock lock(m_mutex);
    return m_changed.wait_for(lock, std::chrono::milliseconds(timeoutMs), [this] {
        return std::all_of(m_workers.begin(), m_workers.end(),
                           [](const std::unique_ptr<Worker> &w) { return w->ready && !w->band; });
    });
}

std::optional<QString> TextRecognizer::read(const QImage &image, QString *failure,
                                            RecognitionTimings *timings, int bands) {
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
    const QList<int> cuts = wanted > 1 ? bandCuts(image, wanted) : QList<int>();
    std::vector<Band> parts(size_t(cuts.size()) + 1);
    int top = 0;
    for (size_t i = 0; i < parts.size(); ++i) {
        const int bottom = i < size_t(cuts.size()) ? cuts[qsizetype(i)] : image.height();
        parts[i].image = bandOf(image, top, bottom);
        top = bottom;
    }
    t.bands = int(parts.size());
    t.split = clock.restart();

    {
        std::unique_lock lock(m_mutex);
        const auto idle = [this] {
            return size_t(
                std::count_if(m_workers.begin(), m_workers.end(),
                              [](const std::unique_ptr<Worker> &w) { return w->ready && !w->band; }));
        };
        m_changed.wait(lock, [&] { return idle() >= parts.size(); });
        t.engineStart = clock.restart();
        size_t next = 0;
        for (const std::unique_ptr<Worker> &worker : m_workers) {
            if (next < parts.size() && worker->ready && !worker->band)
                worker->band = &parts[next++];
        }
        m_changed.notify_all();
        m_changed.wait(lock, [&] {
            return std::all_of(parts.begin(), parts.end(), [](const Band &b) { return b.done; });
        });
    }

    QString text;
    t.cpu = 0;
    for (const Band &part : parts) {
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
    }
    t.total = total.elapsed();
    return text;
}
