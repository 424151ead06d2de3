#pragma once
// Parsing of multipart/form-data request bodies.

#include <QByteArray>
#include <QList>
#include <QMap>
#include <QString>

struct MultipartPart {
    QMap<QByteArray, QByteArray> headers; // names in lower case
    QString name;                         // from Content-Disposition
    QString fileName;                     // empty when the part is not a file
    bool hasFileName = false;
    QByteArray contentType;
    QByteArray data;
};

struct MultipartBody {
    QList<MultipartPart> parts;
    QString error; // empty when the body parsed
    bool ok() const { return error.isEmpty(); }
    const MultipartPart *part(const QString &name) const;
};

// The boundary parameter of a "multipart/form-data; boundary=..." content
// type, or an empty array when the type is something else.
QByteArray multipartBoundary(const QByteArray &contentType);

// Splits `body` into its parts. Everything that does not follow the
// multipart layout is reported in `error` rather than guessed at.
MultipartBody parseMultipart(const QByteArray &body, const QByteArray &boundary);
