#include "emr/emr_document_file.h"

#include "platform/core/private_files.h"

#include <QBuffer>
#include <QDir>
#include <QFile>
#include <QPageSize>
#include <QPainter>
#include <QPdfWriter>
#include <QStandardPaths>

KCError makeEMRError(int code, const QString &description) {
    return KCError(KCEMRErrorDomain, code, {{NSLocalizedDescriptionKey, description}});
}

namespace {

const QString kDocumentsFolderName = QStringLiteral("emr-documents");

} // namespace

QString emrDocumentsDirectory(KCError *error) {
    auto fail = [&](const QString &why) {
        if (error)
            *error = makeEMRError(KCEMRErrorFileNotWritten, why);
        return QString();
    };
    const QString data = QStandardPaths::writableLocation(QStandardPaths::AppDataLocation);
    if (data.isEmpty())
        return fail(QStringLiteral("There is no application data folder to write the EMR document to."));
    const QString dir = data + QLatin1Char('/') + kDocumentsFolderName;
    const QString why = kcMakePrivateFolder(dir);
    if (!why.isEmpty())
        return fail(QStringLiteral("The folder for EMR documents is not usable: %1.").arg(why));
    return dir;
}

void emrRemoveDocumentFile(const QString &path) {
    if (!path.isEmpty())
        QFile::remove(path);
}

int emrSweepDocumentFiles() {
    const QString data = QStandardPaths::writableLocation(QStandardPaths::AppDataLocation);
    if (data.isEmpty())
        return 0;
    // Whatever is in there: finished PDFs, and the half-written ones a crash
    // left under a temporary name. Links are removed, not followed.
    QDir dir(data + QLatin1Char('/') + kDocumentsFolderName);
    int removed = 0;
    for (const QFileInfo &entry :
         dir.entryInfoList(QDir::AllEntries | QDir::System | QDir::Hidden | QDir::NoDotAndDotDot)) {
        if ((entry.isSymLink() || !entry.isDir()) && dir.remove(entry.fileName()))
            ++removed;
    }
    return removed;
}

QString emrDocumentFileNameForID(const QString &id, KCError *error) {
    auto refuse = [&](const QString &why) {
        if (error)
            *error = makeEMRError(KCEMRErrorInvalidDocumentID, why);
        return QString();
    };
    if (id.size() < 10)
        return refuse(QStringLiteral("The document id \"%1\" is shorter than 10 characters.").arg(id));
    const QString stem = id.right(10);
    bool unsafe = stem.contains(QLatin1String(".."));
    for (const QChar c : stem) {
        if (c == u'/' || c == u'\\' || c == u'"' || c.unicode() < 0x20 || c.unicode() == 0x7f)
            unsafe = true;
    }
    if (unsafe)
        return refuse(QStringLiteral("The document id \"%1\" cannot be used as a file name.").arg(id));
    return stem + QStringLiteral(".pdf");
}

QSizeF emrImageSizeInPoints(const QImage &image) {
    // Image resolutions are unreliable (decoders default to 72 or 96 dpi):
    // one pixel is one point, as the screen shows it.
    return QSizeF(image.size());
}

QByteArray emrRenderImagePDF(const QImage &image, KCError *error) {
    if (image.isNull()) {
        if (error)
            *error =
                makeEMRError(KCEMRErrorUndecodableContent, QStringLiteral("The document image is empty."));
        return {};
    }
    const QSizeF size = emrImageSizeInPoints(image);
    QByteArray pdf;
    QBuffer buffer(&pdf);
    buffer.open(QIODevice::WriteOnly);
    {
        QPdfWriter writer(&buffer);
        writer.setCreator(QStringLiteral("KelvraCapture"));
        // One device unit per point, no margins: the page is exactly the image.
        writer.setResolution(72);
        writer.setPageSize(QPageSize(size, QPageSize::Point, QString(), QPageSize::ExactMatch));
        writer.setPageMargins(QMarginsF(0, 0, 0, 0), QPageLayout::Point);
        QPainter painter(&writer);
        painter.setRenderHint(QPainter::SmoothPixmapTransform);
        // Without this hint the PDF engine stores colour images as JPEG.
        painter.setRenderHint(QPainter::LosslessImageRendering);
        painter.drawImage(QRectF(QPointF(0, 0), size), image);
    }
    buffer.close();
    return pdf;
}

KCError emrWriteDocumentFile(const QString &path, const QByteArray &bytes) {
    // The document holds patient data: owner read and write only.
    const QString why = kcWriteFileDurably(path, bytes);
    if (!why.isEmpty())
        return makeEMRError(KCEMRErrorFileNotWritten,
                            QStringLiteral("The EMR document could not be written to %1: %2").arg(path, why));
    return {};
}
