// Text recognition on rendered window images, through the whole path a
// capture takes: window image, enlarged 2x, PNG, in-memory stream,
// Leptonica, Tesseract; then the patient matching on the result.

#include "capture/image_preparation.h"
#include "capture/patient_identification.h"
#include "capture/patient_matching.h"
#include "capture/text_recognition.h"
#include "window_rendering.h"

#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>
#include <gtest/gtest.h>
#include <thread>

namespace {

std::optional<QString> recognise(const QImage &window, const TextRecognitionSettings &settings = {}) {
    return wordsFromImage(resizeImage(window, window.size() * 2), settings);
}

QVariantList todaysPatients() {
    const QStringList names = {
        "John Smith",     "Jane Smith",    "Joan Smyth",    "Johan Smithers", "Jon Schmidt",  "Mary Johnson",
        "Peter Novak",    "Olga Ivanova",  "Miguel Garcia", "Sophie Dubois",  "Ali Okafor",   "Emily Brown",
        "Sven Lindqvist", "Marta Rossi",   "Aisha Khan",    "Tomas Kowalski", "Renee Martin", "Ingrid Berg",
        "Noel Fontaine",  "Chloe Lefevre", "David Kim",     "Laura Chen",     "Hans Weber",   "Grace Adams"};
    QVariantList list;
    for (const QString &name : names)
        list << QVariantMap{{"name", name},
                            {"dob", "03/14/1961"},
                            {"emr_patient_id", ""},
                            {"emr_appointment_id", ""},
                            {"profile_image_id", ""},
                            {"kelvraID", list.size()},
                            {"interaction_id", list.size()},
                            {"exam_room_name", "Room 4"}};
    return list;
}

struct Case {
    QString family;
    int pixelSize;
};

// Several fonts and sizes, the name shown both ways; the right patient must
// be proposed among 24 with similar names.
TEST(TextRecognition, ProposesThePatientShownInTheWindow) {
    const QList<Case> cases = {{"DejaVu Sans", 13}, {"DejaVu Sans", 18},      {"DejaVu Serif", 14},
                               {"Lato", 15},        {"DejaVu Sans Mono", 13}, {"DejaVu Sans Condensed", 16}};
    const QVariantList patients = todaysPatients();
    const QList<QPair<QString, QString>> shown = {{"Smith, John", "John Smith"},
                                                  {"Marta Rossi", "Marta Rossi"},
                                                  {"SMYTH, JOAN", "Joan Smyth"},
                                                  {"Emily Brown", "Emily Brown"}};
    int index = 0;
    for (const Case &c : cases) {
        for (int form = 0; form < 2; ++form) {
            const auto &[onScreen, expected] = shown[(index++) % shown.size()];
            SCOPED_TRACE(
                qPrintable(QStringLiteral("%1 %2px \"%3\"").arg(c.family).arg(c.pixelSize).arg(onScreen)));
            const std::optional<QString> text =
                recognise(renderRecordWindow(c.family, c.pixelSize, onScreen));
            ASSERT_TRUE(text.has_value());
            const std::optional<QVariantMap> proposed = determinePatientFromList(patients, text);
            ASSERT_TRUE(proposed.has_value());
            EXPECT_EQ(proposed->value("name").toString(), expected) << "recognised: " << qPrintable(*text);
            // The identification, on top, proposes the same patient.
            const PatientIdentification identification = identifyPatient(patients, text);
            ASSERT_TRUE(identification.proposed)
                << qPrintable(identificationReasonText(identification.reason));
            EXPECT_EQ(patients[*identification.proposed].toMap().value("name").toString(), expected);
        }
    }
}

TEST(TextRecognition, WordsComeBackSeparatedAndWithinTheCharacterSet) {
    const std::optional<QString> text = recognise(renderRecordWindow("DejaVu Sans", 16, "Smith, John"));
    ASSERT_TRUE(text.has_value());
    EXPECT_TRUE(text->contains("Smith, John")) << qPrintable(*text);
    EXPECT_TRUE(text->contains('\n'));
    const QString allowed = QString::fromLatin1(kRecognitionWhitelist) + "\n";
    for (QChar c : *text)
        EXPECT_TRUE(allowed.contains(c)) << "unexpected character U+" << std::hex << int(c.unicode());
    // The date is on screen as 03/14/1961 and comes back with its slashes.
    EXPECT_TRUE(text->contains("03/14/1961")) << qPrintable(*text);
}

TEST(TextRecognition, ImagesWithoutTextOrPixels) {
    QImage blank(400, 200, QImage::Format_RGB32);
    blank.fill(Qt::white);
    const std::optional<QString> fromBlank = recognise(blank);
    EXPECT_TRUE(!fromBlank || fromBlank->trimmed().isEmpty());

    QString failure;
    EXPECT_FALSE(wordsFromImage(QImage(), {}, &failure));
    EXPECT_FALSE(failure.isEmpty());
    EXPECT_FALSE(wordsFromImage(QImage(0, 10, QImage::Format_RGB32)));
    EXPECT_TRUE(resizeImage(QImage(), QSize(10, 10)).isNull());
}

TEST(TextRecognition, MissingTrainedDataGivesNone) {
    QTemporaryDir empty;
    ASSERT_TRUE(empty.isValid());
    TextRecognitionSettings settings;
    settings.dataPath = empty.path();
    QString failure;
    EXPECT_FALSE(wordsFromImage(renderRecordWindow("DejaVu Sans", 16, "Smith, John"), settings, &failure));
    EXPECT_TRUE(failure.contains(empty.path())) << qPrintable(failure);

    // A file that is not trained data at all.
    QFile bogus(empty.filePath("eng.traineddata"));
    ASSERT_TRUE(bogus.open(QIODevice::WriteOnly));
    bogus.write("not a model");
    bogus.close();
    EXPECT_FALSE(wordsFromImage(renderRecordWindow("DejaVu Sans", 16, "Smith, John"), settings));
}

TEST(TextRecognition, TrainedDataLookup) {
    qputenv("KELVRA_TESSDATA", "/somewhere/tessdata");
    EXPECT_EQ(recognitionDataPath(), "/somewhere/tessdata");
    qunsetenv("KELVRA_TESSDATA");
    EXPECT_TRUE(QFileInfo(recognitionDataPath() + "/eng.traineddata").isFile())
        << qPrintable(recognitionDataPath());
}

// The same text from another thread, and with the engine's own threading
// left alone; the calling thread's OpenMP settings are restored afterwards.
TEST(TextRecognition, SameTextOnAnyThreadAndThreading) {
    const QImage window = renderRecordWindow("DejaVu Serif", 15, "Rossi, Marta", QSize(520, 160));
    const std::optional<QString> here = recognise(window);
    ASSERT_TRUE(here.has_value());
    std::optional<QString> there;
    std::thread worker([&] { there = recognise(window); });
    worker.join();
    EXPECT_EQ(here, there);

    TextRecognitionSettings threaded;
    threaded.singleThreaded = false;
    EXPECT_EQ(recognise(window, threaded), here);
}

TEST(TextRecognition, ResizeDoublesTheWindowImage) {
    QImage window(400, 300, QImage::Format_RGB32);
    window.fill(Qt::black);
    const QImage enlarged = resizeImage(window, window.size() * 2);
    EXPECT_EQ(enlarged.size(), QSize(800, 600));
    EXPECT_EQ(enlarged.pixelColor(799, 599), QColor(Qt::black));
    EXPECT_EQ(enlarged.pixelColor(0, 0), QColor(Qt::black));
}

} // namespace
