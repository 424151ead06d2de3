#pragma once
// What someone who copies the outbox folder (a lost laptop, a backup) could
// read without the key.

#include <QByteArray>
#include <QList>
#include <QString>

// "" when every file in `folder` is sealed under a random name and its bytes
// show none of `clear` (texts such as ids, names and notes, also as Base64;
// five bytes or more, so that they do not turn up in sealed bytes by chance)
// nor an image; otherwise what shows.
QString kcOutboxExposure(const QString &folder, const QList<QByteArray> &clear);
