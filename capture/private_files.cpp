#include "capture/private_files.h"

#include <QDateTime>
#include <QFileDialog>
#include <QStandardPaths>

QString kcSavedImagesFolder() {
    const QString folder =
        QStandardPaths::writableLocation(QStandardPaths::AppDataLocation) + QStringLiteral("/saved-images");
    kcMakePrivateFolder(folder);
    return folder;
}

QString kcChooseSavedImagePath(QWidget *parent) {
    const QString name = QStringLiteral("capture-%1.png")
                             .arg(QDateTime::currentDateTime().toString(QStringLiteral("yyyyMMdd-HHmmss")));
    return QFileDialog::getSaveFileName(parent, QObject::tr("Save image"), kcSavedImagesFolder() + '/' + name,
                                        QObject::tr("PNG image (*.png)"));
}

QString kcSaveImageFile(const QString &path, const QByteArray &png) {
    if (png.isEmpty())
        return QObject::tr("The capture holds no image.");
    const QString error = kcWriteFileDurably(path, png);
    if (!error.isEmpty())
        return QObject::tr("The image could not be written to %1 (%2).").arg(path, error);
    return QString();
}
