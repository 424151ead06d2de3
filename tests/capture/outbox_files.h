#pragma once
// What someone who copies the outbox folder (a lost laptop, a backup) could
// read without the key.

#include <QByteArray>
#include <QList>
#include <QString>

// "" when every file in `folder` is sealed and neither the files' names nor
// their bytes show any of `clear` (texts such as ids, names and notes, also
// as Base64) or an image; otherwise what shows.
QString kcOutboxExposure(const QString &folder, const QList<QByteArray> &clear);
