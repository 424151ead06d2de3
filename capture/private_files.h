#pragma once
// Files that hold patient data: written for the user alone (0600, in folders
// of mode 0700), flushed to the disk and renamed into place, and the one
// "Save image…" of the application (the capture card and the tray both use
// it), which offers a private folder rather than Pictures (often
// synchronised to other machines).

#include <QByteArray>
#include <QString>

class QWidget;

// Makes `path` (and missing parents) and gives it mode 0700; an error text,
// empty on success.
QString kcMakePrivateFolder(const QString &path);

// Writes `bytes` to a new file (mode 0600) next to `path`, flushes it to the
// disk, renames it into place and flushes the folder; an error text, empty on
// success. Nothing is left behind on failure. The temporary file is `path`
// with ".tmp" appended.
QString kcWriteFileDurably(const QString &path, const QByteArray &bytes);
// Makes a rename or removal in `folder` survive a power cut; an error text.
QString kcSyncFolder(const QString &folder);

// The folder "Save image…" offers first:
// ~/.local/share/Kelvra/KelvraCapture/saved-images, mode 0700.
QString kcSavedImagesFolder();
// Asks where to save a capture's image (a file dialog opening in
// kcSavedImagesFolder()); "" when cancelled.
QString kcChooseSavedImagePath(QWidget *parent);
// Writes the PNG bytes of a capture to `path`, readable by the user alone; a
// message for the user, empty on success.
QString kcSaveImageFile(const QString &path, const QByteArray &png);
