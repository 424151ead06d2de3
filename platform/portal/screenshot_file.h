#pragma once
// The picture file a screenshot service hands back. It shows patient data,
// so it is used only where no other account can have seen it, read once, and
// removed at once.

#include <QByteArray>
#include <QDateTime>
#include <QString>

struct ScreenshotFileContents {
    QByteArray bytes; // empty when refused
    QString problem;  // why it was refused
    // Refused because others could have read or replaced it: `problem` says
    // what to change.
    bool exposed = false;
};

// Why no other account could have read or replaced the file at `path` (empty
// when nobody could), judged from the file's metadata alone:
// - its folder is not a shared temporary folder (/tmp, /var/tmp, /dev/shm:
//   any folder others may write to, sticky or not), belongs to this user and
//   only this user may write there;
// - others can neither list the folder nor read the file: they lack the
//   permission, or some folder on the way to it (the home folder, say) lets
//   nobody else through.
// Group permissions count as others'. A symbolic link is never followed.
QString screenshotFilePrivacyProblem(const QString &path);

// Reads the file at `path` and removes it, on every path (refused or not).
// Refused, without the file being opened: a symbolic link or not a regular
// file, not this user's, where others could have read or replaced it (see
// above), or made before `notBefore` (its birth time where the file system
// records it, else its last change): a picture left from an earlier request,
// or planted there by someone else.
ScreenshotFileContents takeScreenshotFile(const QString &path, const QDateTime &notBefore);
