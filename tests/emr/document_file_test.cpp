#include "emr/emr_document_file.h"

#include <QColor>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QRegularExpression>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <gtest/gtest.h>
#include <sys/stat.h>

namespace {

// Runs a program to its end and returns its standard output.
QByteArray run(const QString &program, const QStringList &args) {
    QProcess p;
    p.start(program, args);
    if (!p.waitForFinished(60000) || p.exitCode() != 0)
        ADD_FAILURE() << program.toStdString() << " failed: " << p.readAllStandardError().toStdString();
    return p.readAllStandardOutput();
}

// The permission bits of a file, as the system reports them.
int fileMode(const QString &path) {
    struct stat st {};
    if (::stat(QFile::encodeName(path).constData(), &st) != 0)
        return -1;
    return int(st.st_mode & 07777);
}

QImage testImage(int w, int h) {
    QImage image(w, h, QImage::Format_RGB32);
    image.fill(QColor(200, 30, 40));
    for (int x = 0; x < w / 2; ++x)
        for (int y = 0; y < h; ++y)
            image.setPixelColor(x, y, QColor(20, 60, 220));
    return image;
}

TEST(EMRDocumentFileName, LastTenCharactersOfTheId) {
    EXPECT_EQ(emrDocumentFileNameForID("6F9619FF-8B86-D011-B42D-00C04FC964FF"), "C04FC964FF.pdf");
    EXPECT_EQ(emrDocumentFileNameForID("0123456789"), "0123456789.pdf");
    EXPECT_EQ(emrDocumentFileNameForID("a.b.c.d.e.f"), ".b.c.d.e.f.pdf");
}

TEST(EMRDocumentFileName, RefusesShortAndUnsafeIds) {
    for (const QString &id : {QString(), QStringLiteral("123456789"), QStringLiteral("x/../../../etc/pw"),
                              QStringLiteral("AAAAAAAAAAA/abcdef"), QStringLiteral("AAAAAAAAA..abcdefgh"),
                              QStringLiteral("AAAAAAAAAA\\abcdef"), QStringLiteral("AAAAAAAAAAabc\"def"),
                              QStringLiteral("AAAAAAAAAAabc\r\ndef")}) {
        SCOPED_TRACE(id.toStdString());
        KCError error;
        EXPECT_TRUE(emrDocumentFileNameForID(id, &error).isEmpty());
        EXPECT_EQ(error.domain(), KCEMRErrorDomain);
        EXPECT_EQ(error.code(), KCEMRErrorInvalidDocumentID);
        EXPECT_TRUE(error.localizedDescription().contains(id));
    }
}

TEST(EMRDocumentFile, PdfIsOnePageOfTheImagesSize) {
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    const QImage image = testImage(123, 45);
    KCError error;
    const QByteArray pdf = emrRenderImagePDF(image, &error);
    ASSERT_TRUE(error.isNull());
    ASSERT_TRUE(pdf.startsWith("%PDF-"));
    const QString path = dir.filePath("doc.pdf");
    ASSERT_TRUE(emrWriteDocumentFile(path, pdf).isNull());

    const QString info = QString::fromUtf8(run("pdfinfo", {path}));
    EXPECT_TRUE(info.contains(QRegularExpression("Pages:\\s+1\\n"))) << info.toStdString();
    EXPECT_TRUE(info.contains(QRegularExpression("Page size:\\s+123 x 45 pts"))) << info.toStdString();

    // Rendered at 72 dpi, one pixel per point: the image comes back.
    run("pdftoppm", {"-r", "72", "-png", path, dir.filePath("page")});
    const QStringList pages = QDir(dir.path()).entryList({"page*.png"});
    ASSERT_EQ(pages.size(), 1);
    const QImage page(dir.filePath(pages.first()));
    EXPECT_EQ(page.size(), QSize(123, 45));
    const QColor left = page.pixelColor(10, 20), right = page.pixelColor(110, 20);
    EXPECT_NEAR(left.blue(), 220, 12);
    EXPECT_NEAR(right.red(), 200, 12);
}

TEST(EMRDocumentFile, PageIgnoresTheImagesResolutionAndRefusesNoImage) {
    QImage image = testImage(200, 100);
    image.setDotsPerMeterX(qRound(144 / 0.0254));
    image.setDotsPerMeterY(qRound(144 / 0.0254));
    EXPECT_EQ(emrImageSizeInPoints(image), QSizeF(200, 100));
    KCError error;
    EXPECT_TRUE(emrRenderImagePDF(QImage(), &error).isEmpty());
    EXPECT_EQ(error.code(), KCEMRErrorUndecodableContent);
}

TEST(EMRDocumentFile, WrittenReadableByTheUserOnly) {
    QTemporaryDir dir;
    const QString path = dir.filePath("C04FC964FF.pdf");
    {
        QFile old(path);
        ASSERT_TRUE(old.open(QIODevice::WriteOnly));
        old.write("an older and longer document");
        old.setPermissions(QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ReadGroup |
                           QFileDevice::ReadOther);
    }
    for (int round = 0; round < 2; ++round) {
        ASSERT_TRUE(emrWriteDocumentFile(path, "%PDF-new").isNull());
        EXPECT_EQ(fileMode(path), 0600);
        QFile f(path);
        ASSERT_TRUE(f.open(QIODevice::ReadOnly));
        EXPECT_EQ(f.readAll(), "%PDF-new");
    }
    EXPECT_EQ(QDir(dir.path()).entryList(QDir::Files | QDir::Hidden).size(), 1) << "no temporary files left";

    KCError error = emrWriteDocumentFile(dir.filePath("missing/x.pdf"), "x");
    EXPECT_EQ(error.code(), KCEMRErrorFileNotWritten);
}

// Points the application data folder at `home` while it lives.
class DataHome {
public:
    explicit DataHome(const QString &home) : m_old(qgetenv("XDG_DATA_HOME")) {
        qputenv("XDG_DATA_HOME", home.toUtf8());
    }
    ~DataHome() {
        if (m_old.isNull())
            qunsetenv("XDG_DATA_HOME");
        else
            qputenv("XDG_DATA_HOME", m_old);
    }

private:
    QByteArray m_old;
};

TEST(EMRDocumentFile, FolderIsPrivateToTheApplicationAndNotDocuments) {
    QTemporaryDir home;
    DataHome data(home.path());
    KCError error;
    const QString folder = emrDocumentsDirectory(&error);
    ASSERT_TRUE(error.isNull()) << error.localizedDescription().toStdString();
    EXPECT_TRUE(folder.startsWith(home.path() + "/")) << folder.toStdString();
    EXPECT_TRUE(folder.endsWith("/emr-documents")) << folder.toStdString();
    EXPECT_FALSE(folder.contains("Documents/"));
    EXPECT_TRUE(QFileInfo(folder).isDir());
    EXPECT_EQ(fileMode(folder), 0700);

    // A folder left readable by others is narrowed again.
    ASSERT_EQ(::chmod(QFile::encodeName(folder).constData(), 0755), 0);
    EXPECT_EQ(emrDocumentsDirectory(&error), folder);
    EXPECT_EQ(fileMode(folder), 0700);

    // A link planted in its place is not written through.
    QTemporaryDir elsewhere;
    ASSERT_TRUE(QDir(folder).removeRecursively());
    ASSERT_TRUE(QFile::link(elsewhere.path(), folder));
    EXPECT_TRUE(emrDocumentsDirectory(&error).isEmpty());
    EXPECT_EQ(error.code(), KCEMRErrorFileNotWritten);
}

TEST(EMRDocumentFile, RemovedFileIsGone) {
    QTemporaryDir dir;
    const QString path = dir.filePath("C04FC964FF.pdf");
    ASSERT_TRUE(emrWriteDocumentFile(path, "%PDF-x").isNull());
    emrRemoveDocumentFile(path);
    EXPECT_FALSE(QFileInfo::exists(path));
    emrRemoveDocumentFile(path); // already gone: nothing happens
}

// What an earlier run left (a crash, a quit while a chart upload was under
// way) goes at the next start; a folder that is not there is not made.
TEST(EMRDocumentFile, LeftoversOfAnEarlierRunAreSwept) {
    QTemporaryDir home;
    DataHome data(home.path());
    EXPECT_EQ(emrSweepDocumentFiles(), 0);
    EXPECT_FALSE(QFileInfo::exists(QStandardPaths::writableLocation(QStandardPaths::AppDataLocation) +
                                   "/emr-documents"));

    const QString folder = emrDocumentsDirectory();
    ASSERT_FALSE(folder.isEmpty());
    ASSERT_TRUE(emrWriteDocumentFile(folder + "/C04FC964FF.pdf", "%PDF-x").isNull());
    QTemporaryDir elsewhere;
    const QString kept = elsewhere.filePath("not-ours.pdf");
    ASSERT_TRUE(emrWriteDocumentFile(kept, "%PDF-y").isNull());
    for (const char *name : {"/0123456789.pdf.aB3dEf", "/.hidden"}) {
        QFile file(folder + name);
        ASSERT_TRUE(file.open(QIODevice::WriteOnly));
    }
    ASSERT_TRUE(QFile::link(kept, folder + "/link.pdf"));
    ASSERT_TRUE(QDir(folder).mkdir("sub"));

    EXPECT_EQ(emrSweepDocumentFiles(), 4);
    EXPECT_EQ(QDir(folder).entryList(QDir::AllEntries | QDir::System | QDir::Hidden | QDir::NoDotAndDotDot),
              QStringList{"sub"});
    EXPECT_TRUE(QFileInfo::exists(kept)) << "a link is removed, not followed";
}

// Screen captures hold thin lines and small print: the chart copy must have
// every pixel, so the image may not be stored as JPEG (DCT).
TEST(EMRDocumentFile, ImageIsEmbeddedLosslessly) {
    QTemporaryDir dir;
    QImage image(97, 61, QImage::Format_RGB32);
    quint32 seed = 12345;
    for (int y = 0; y < image.height(); ++y)
        for (int x = 0; x < image.width(); ++x) {
            seed = seed * 1664525u + 1013904223u;
            image.setPixel(x, y, 0xff000000u | (seed >> 8));
        }
    KCError error;
    const QByteArray pdf = emrRenderImagePDF(image, &error);
    ASSERT_FALSE(pdf.isEmpty());
    EXPECT_FALSE(pdf.contains("DCTDecode"));
    const QString path = dir.filePath("doc.pdf");
    ASSERT_TRUE(emrWriteDocumentFile(path, pdf).isNull());

    const QString list = QString::fromUtf8(run("pdfimages", {"-list", path}));
    EXPECT_FALSE(list.contains(QRegularExpression("\\bjpeg\\b"))) << list.toStdString();
    run("pdfimages", {"-png", path, dir.filePath("img")});
    const QStringList images = QDir(dir.path()).entryList({"img*.png"});
    ASSERT_EQ(images.size(), 1) << list.toStdString();
    const QImage back = QImage(dir.filePath(images.first())).convertToFormat(QImage::Format_RGB32);
    ASSERT_EQ(back.size(), image.size());
    int differing = 0;
    for (int y = 0; y < image.height(); ++y)
        for (int x = 0; x < image.width(); ++x)
            differing += back.pixel(x, y) != image.pixel(x, y);
    EXPECT_EQ(differing, 0);
}

} // namespace
