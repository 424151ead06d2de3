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

// Keeps Tesseract's OpenMP parallel regions on the calling thread while
// alive. The engine asks for fixed thread counts (num_threads clauses), which
// omp_set_num_threads() does not override; with the maximum number of active
// levels at 0 every parallel region runs on the encountering thread alone.
// The OpenMP runtime is looked up at run time, so an engine built without it
// simply has nothing to limit. Nested and concurrent users share one
// adjustment: the first sets it, the last restores the previous value.
class EngineThreadLimit {
public:
    explicit EngineThreadLimit(bool active) : m_active(active && runtime().available()) {
        if (!m_active)
            return;
        Runtime &rt = runtime();
        std::lock_guard lock(rt.mutex);
        if (rt.users++ == 0) {
            rt.previousLevels = rt.getMaxActiveLevels();
            rt.setMaxActiveLevels(0);
        }
    }
    ~EngineThreadLimit() {
        if (!m_active)
            return;
        Runtime &rt = runtime();
        std::lock_guard lock(rt.mutex);
        if (--rt.users == 0)
            rt.setMaxActiveLevels(rt.previousLevels);
    }
    EngineThreadLimit(const EngineThreadLimit &) = delete;
    EngineThreadLimit &operator=(const EngineThreadLimit &) = delete;

private:
    struct Runtime {
        using SetLevels = void (*)(int);
        using GetLevels = int (*)();
        SetLevels setMaxActiveLevels =
            reinterpret_cast<SetLevels>(dlsym(RTLD_DEFAULT, "omp_set_max_active_levels"));
        GetLevels getMaxActiveLevels =
            reinterpret_cast<GetLevels>(dlsym(RTLD_DEFAULT, "omp_get_max_active_levels"));
        std::mutex mutex;
        int users = 0;
        int previousLevels = 0;
        bool available() const { return setMaxActiveLevels && getMaxActiveLevels; }
    };
    static Runtime &runtime() {
        static Runtime instance;
        return instance;
    }
    bool m_active;
};

// One engine for one call: ended and deleted on every path.
struct Engine {
    TessBaseAPI *handle = TessBaseAPICreate();
    ~Engine() {
        if (handle) {
            TessBaseAPIEnd(handle);
            TessBaseAPIDelete(handle);
        }
    }
};

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

std::optional<QString> wordsFromImage(const QImage &image, const TextRecognitionSettings &settings,
                                      QString *failure, RecognitionTimings *timings) {
    RecognitionTimings ignored;
    RecognitionTimings &t = timings ? *timings : ignored;
    QElapsedTimer clock;
    clock.start();
    const QByteArray png = pngDataFromImage(image);
    t.encode = clock.restart();
    if (png.isEmpty())
        return fail(failure, QStringLiteral("the image has no pixels"));
    PixOwner decoded{pixFromPngData(png)};
    t.decode = clock.restart();
    if (!decoded.pix)
        return fail(failure, QStringLiteral("the image could not be decoded"));

    const EngineThreadLimit threadLimit(settings.singleThreaded);
    Engine engine;
    if (!engine.handle)
        return fail(failure, QStringLiteral("the recognition engine could not be created"));
    // The data folder goes to the engine directly rather than through
    // TESSDATA_PREFIX: changing the environment of a running multi-threaded
    // process races with every reader of it.
    const QString dataPath = settings.dataPath.isEmpty() ? recognitionDataPath() : settings.dataPath;
    if (!holdsTrainedData(dataPath))
        return fail(failure, QStringLiteral("no English trained data in %1").arg(dataPath));
    const QByteArray dataPathBytes = QFile::encodeName(QDir(dataPath).absolutePath() + QLatin1Char('/'));
    if (TessBaseAPIInit3(engine.handle, dataPathBytes.constData(), kLanguage) != 0)
        return fail(failure,
                    QStringLiteral("the English trained data in %1 could not be loaded").arg(dataPath));

    // The engine's notes ("Estimating resolution as ...") would go to stderr.
    TessBaseAPISetVariable(engine.handle, "debug_file", "/dev/null");
    // Not known to Tesseract 5 (it returns false); harmless, kept for older engines.
    TessBaseAPISetVariable(engine.handle, "enable_new_segsearch", "1");
    TessBaseAPISetVariable(engine.handle, "language_model_penalty_non_dict_word", "0");
    TessBaseAPISetVariable(engine.handle, "language_model_penalty_non_freq_dict_word", "0");
    TessBaseAPISetVariable(engine.handle, "tessedit_char_whitelist", kRecognitionWhitelist);
    t.engineStart = clock.restart();

    TessBaseAPISetImage2(engine.handle, decoded.pix);
    if (TessBaseAPIRecognize(engine.handle, nullptr) != 0)
        return fail(failure, QStringLiteral("recognition failed"));
    char *text = TessBaseAPIGetUTF8Text(engine.handle);
    if (!text)
        return fail(failure, QStringLiteral("the engine returned no text"));
    const QString result = QString::fromUtf8(text);
    TessDeleteText(text);
    t.recognition = clock.elapsed();
    return result;
}
