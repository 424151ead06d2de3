#pragma once
// The picture file a screenshot service hands back. It shows patient data
// and may lie in a shared or synced folder (some services write a fixed,
// world-readable path), so it is read once and removed at once.

#include <QByteArray>
#include <QDateTime>
#include <QString>

struct ScreenshotFileContents {
    QByteArray bytes; // empty when refused
    QString problem;  // why it was refused
};

// Reads the file at `path` and removes it, on every path (refused or not).
// Refused: not a regular file (a symbolic link is never followed), not owned
// by this process's user, or last modified before `notBefore` (a picture
// left from an earlier request, or planted there by someone else).
ScreenshotFileContents takeScreenshotFile(const QString &path, const QDateTime &notBefore);
