#include "capture/text_recognition.h"

#include "capture/data_stream.h"
#include "capture/image_preparation.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QtGlobal>
#include <dlfcn.h>
#include <leptonica/allheaders.h>
#include <mutex>
#include <tesseract/capi.h>
#include <time.h>

namespace {

const char kLanguage[] = "eng";
const char kTrainedDataFile[] = "eng.traineddata";

bool holdsTrainedData(const QString &folder) {
    return QFileInfo(QDir(folder).filePath(QLatin1String(kTrainedDataFile))).isFile();
}

void discardLeptonicaMessage(const char *) {}

// Leptonica prints its warnings and errors to stderr; a capture must not.
void quietLeptonica() {
    static std::once_flag once;
    std::call_once(once, [] { leptSetStderrHandler(&discardLeptonicaMessage); });
}

// The OpenMP runtime's setting of nested parallelism, looked up at run time:
// an engine built without OpenMP simply has nothing to limit.
struct OpenMPRuntime {
    using SetLevels = void (*)(int);
    using GetLevels = int (*)();
    SetLevels setMaxActiveLevels =
        reinterpret_cast<SetLevels>(dlsym(RTLD_DEFAULT, "omp_set_max_active_levels"));
    GetLevels getMaxActiveLevels =
        reinterpret_cast<GetLevels>(dlsym(RTLD_DEFAULT, "omp_get_max_active_levels"));
    bool available() const { return setMaxActiveLevels && getMaxActiveLevels; }
    static const OpenMPRuntime &instance() {
        static const OpenMPRuntime runtime;
        return runtime;
    }
};

// This thread's nesting of EngineThreadLimit and the level it found.
thread_local int t_limitDepth = 0;
thread_local int t_previousLevels = 0;

} // namespace

// The maximum number of active levels is a setting of each thread (of its
// data environment) in current OpenMP runtimes: every thread that runs an
// engine sets its own, and restores it when its outermost limit ends.
EngineThreadLimit::EngineThreadLimit(bool active)
    : m_active(active && OpenMPRuntime::instance().available()) {
    if (!m_active)
        return;
    const OpenMPRuntime &rt = OpenMPRuntime::instance();
    if (t_limitDepth++ == 0) {
        t_previousLevels = rt.getMaxActiveLevels();
        rt.setMaxActiveLevels(0);
    }
}

EngineThreadLimit::~EngineThreadLimit() {
    if (!m_active)
        return;
    if (--t_limitDepth == 0)
        OpenMPRuntime::instance().setMaxActiveLevels(t_previousLevels);
}

namespace {

struct PixOwner {
    Pix *pix = nullptr;
    ~PixOwner() {
        if (pix)
            pixDestroy(&pix);
    }
};

std::optional<QString> fail(QString *failure, const QString &reason) {
    if (failure)
        *failure = reason;
    return std::nullopt;
}

} // namespace

qint64 threadCpuMilliseconds() {
    timespec now{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
    return qint64(now.tv_sec) * 1000 + now.tv_nsec / 1000000;
}

QString recognitionDataPath() {
    const QString overridden = qEnvironmentVariable("KELVRA_TESSDATA");
    if (!overridden.isEmpty())
        return overridden;
    const QString executable = QFileInfo(QStringLiteral("/proc/self/exe")).symLinkTarget();
    if (!executable.isEmpty()) {
        const QString bundled = QDir(QFileInfo(executable).absolutePath())
                                    .filePath(QStringLiteral("../share/kelvra-capture/tessdata"));
        if (holdsTrainedData(bundled))
            return QDir::cleanPath(bundled);
    }
    return QStringLiteral("/usr/share/tesseract-ocr/5/tessdata");
}

Pix *pixFromPngData(const QByteArray &png) {
    if (!isWellFormedPng(png))
        return nullptr;
    quietLeptonica();
    FILE *stream = CKOpenDataStream(png);
    if (!stream)
        return nullptr;
    Pix *pix = pixReadStreamPng(stream);
    fclose(stream);
    return pix;
}

std::unique_ptr<RecognitionEngine> RecognitionEngine::start(const TextRecognitionSettings &settings,
                                                            QString *failure) {
    const EngineThreadLimit threadLimit(settings.singleThreaded);
    // The data folder goes to the engine directly rather than through
    // TESSDATA_PREFIX: changing the environment of a running multi-threaded
    // process races with every reader of it.
    const QString dataPath = settings.dataPath.isEmpty() ? recognitionDataPath() : settings.dataPath;
    if (!holdsTrainedData(dataPath)) {
        fail(failure, QStringLiteral("no English trained data in %1").arg(dataPath));
        return nullptr;
    }
    TessBaseAPI *handle = TessBaseAPICreate();
    if (!handle) {
        fail(failure, QStringLiteral("the recognition engine could not be created"));
        return nullptr;
    }
    // Owned from here on: ended and deleted on every path.
    std::unique_ptr<RecognitionEngine> engine(new RecognitionEngine(handle, settings));
    const QByteArray dataPathBytes = QFile::encodeName(QDir(dataPath).absolutePath() + QLatin1Char('/'));
    if (TessBaseAPIInit3(handle, dataPathBytes.constData(), kLanguage) != 0) {
        fail(failure, QStringLiteral("the English trained data in %1 could not be loaded").arg(dataPath));
        return nullptr;
    }
    // The engine's notes ("Estimating resolution as ...") would go to stderr.
    TessBaseAPISetVariable(handle, "debug_file", "/dev/null");
    // Not known to Tesseract 5 (it returns false); harmless, kept for older engines.
    TessBaseAPISetVariable(handle, "enable_new_segsearch", "1");
    TessBaseAPISetVariable(handle, "language_model_penalty_non_dict_word", "0");
    TessBaseAPISetVariable(handle, "language_model_penalty_non_freq_dict_word", "0");
    TessBaseAPISetVariable(handle, "tessedit_char_whitelist", kRecognitionWhitelist);
    return engine;
}

RecognitionEngine::RecognitionEngine(TessBaseAPI *handle, const TextRecognitionSettings &settings)
    : m_handle(handle), m_settings(settings) {}

RecognitionEngine::~RecognitionEngine() {
    TessBaseAPIEnd(m_handle);
    TessBaseAPIDelete(m_handle);
}

namespace {

// The engine's words with where they stand, after a recognition.
QList<ScreenWord> wordsWithLayout(TessBaseAPI *handle) {
    QList<ScreenWord> words;
    TessResultIterator *it = TessBaseAPIGetIterator(handle);
    if (!it)
        return words;
    const TessPageIterator *page = TessResultIteratorGetPageIterator(it);
    int block = -1, line = -1;
    do {
        if (TessPageIteratorIsAtBeginningOf(page, tesseract::RIL_BLOCK))
            ++block;
        if (TessPageIteratorIsAtBeginningOf(page, tesseract::RIL_TEXTLINE))
            ++line;
        char *text = TessResultIteratorGetUTF8Text(it, tesseract::RIL_WORD);
        if (!text)
            continue;
        int left = 0, top = 0, right = 0, bottom = 0;
        TessPageIteratorBoundingBox(page, tesseract::RIL_WORD, &left, &top, &right, &bottom);
        const QString word = QString::fromUtf8(text).trimmed();
        TessDeleteText(text);
        if (!word.isEmpty())
            words.append({word, QRect(QPoint(left, top), QPoint(right - 1, bottom - 1)), std::max(block, 0),
                          std::max(line, 0), TessResultIteratorConfidence(it, tesseract::RIL_WORD), -1});
    } while (TessResultIteratorNext(it, tesseract::RIL_WORD));
    TessResultIteratorDelete(it);
    return words;
}

} // namespace

std::optional<QString> RecognitionEngine::read(const QImage &image, QString *failure,
                                               RecognitionTimings *timings, QList<ScreenWord> *words) {
    RecognitionTimings ignored;
    RecognitionTimings &t = timings ? *timings : ignored;
    const qint64 cpuStart = threadCpuMilliseconds();
    QElapsedTimer clock;
    clock.start();
    const QByteArray png = pngDataFromImage(image, m_settings.pngCompressionLevel);
    t.encode = clock.restart();
    if (png.isEmpty())
        return fail(failure, QStringLiteral("the image has no pixels"));
    PixOwner decoded{pixFromPngData(png)};
    t.decode = clock.restart();
    if (!decoded.pix)
        return fail(failure, QStringLiteral("the image could not be decoded"));

    const EngineThreadLimit threadLimit(m_settings.singleThreaded);
    TessBaseAPISetImage2(m_handle, decoded.pix);
    const bool recognised = TessBaseAPIRecognize(m_handle, nullptr) == 0;
    char *text = recognised ? TessBaseAPIGetUTF8Text(m_handle) : nullptr;
    if (text && words)
        *words = wordsWithLayout(m_handle);
    // The engine keeps a reference to the image until it is told to let go.
    TessBaseAPIClear(m_handle);
    if (!recognised)
        return fail(failure, QStringLiteral("recognition failed"));
    if (!text)
        return fail(failure, QStringLiteral("the engine returned no text"));
    const QString result = QString::fromUtf8(text);
    TessDeleteText(text);
    t.recognition = clock.elapsed();
    t.cpu = threadCpuMilliseconds() - cpuStart;
    return result;
}

std::optional<QString> wordsFromImage(const QImage &image, const TextRecognitionSettings &settings,
                                      QString *failure, RecognitionTimings *timings) {
    RecognitionTimings ignored;
    RecognitionTimings &t = timings ? *timings : ignored;
    QElapsedTimer total;
    total.start();
    const qint64 cpuStart = threadCpuMilliseconds();
    if (image.isNull() || image.width() <= 0 || image.height() <= 0)
        return fail(failure, QStringLiteral("the image has no pixels"));
    QElapsedTimer clock;
    clock.start();
    const std::unique_ptr<RecognitionEngine> engine = RecognitionEngine::start(settings, failure);
    const qint64 engineStart = clock.elapsed();
    if (!engine)
        return std::nullopt;
    std::optional<QString> text = engine->read(image, failure, &t);
    t.engineStart = engineStart;
    t.total = total.elapsed();
    t.cpu = threadCpuMilliseconds() - cpuStart;
    return text;
}
