#pragma once
// The one "Save image…" of the application (the capture card and the tray
// both use it), which offers a private folder rather than Pictures (often
// synchronised to other machines).

#include "platform/core/private_files.h"

#include <QByteArray>
#include <QString>

class QWidget;

// The folder "Save image…" offers first:
// ~/.local/share/Kelvra/KelvraCapture/saved-images, mode 0700.
QString kcSavedImagesFolder();
// Asks where to save a capture's image (a file dialog opening in
// kcSavedImagesFolder()); "" when cancelled.
QString kcChooseSavedImagePath(QWidget *parent);
// Writes the PNG bytes of a capture to `path`, readable by the user alone; a
// message for the user, empty on success.
QString kcSaveImageFile(const QString &path, const QByteArray &png);
