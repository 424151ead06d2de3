#pragma once
// Folders and files that hold patient data: for the user alone (files 0600
// in folders of mode 0700), flushed to the disk and renamed into place.

#include <QByteArray>
#include <QString>

// Makes `path` (and missing parents) and gives it mode 0700; an error text,
// empty on success. A link, or a folder of another user, in its place is
// refused, and so is a folder above it (up to the home folder) that is a
// link, belongs to another user or is writable by others: whoever can write
// there can put a folder of theirs in the place of ours.
QString kcMakePrivateFolder(const QString &path);

// Writes `bytes` to a new file (mode 0600) next to `path`, flushes it to the
// disk, renames it into place and flushes the folder; an error text, empty on
// success. Nothing is left behind on failure. The temporary file is `path`
// with ".tmp" appended.
QString kcWriteFileDurably(const QString &path, const QByteArray &bytes);
// Makes a rename or removal in `folder` survive a power cut; an error text.
QString kcSyncFolder(const QString &folder);
