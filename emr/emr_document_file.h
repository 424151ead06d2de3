#pragma once
// The files behind EMR document uploads: each upload entry is written to a
// private folder of the application (mode 0700) as "<last 10 characters of
// its id>.pdf", readable by the user only; the upload reads it from there and
// removes it once the EMR has answered.

#include <QByteArray>
#include <QImage>
#include <QString>

#include "platform/core/error.h"

// Error domain of the EMR clients' own errors.
inline const QString KCEMRErrorDomain = QStringLiteral("com.kelvra.emr");

enum KCEMRErrorCode {
    KCEMRErrorInvalidDocumentID = 1,    // id too short, or unsafe as a file name
    KCEMRErrorUndecodableContent = 2,   // content is not Base64, or not an image
    KCEMRErrorFileNotWritten = 3,       // the document file could not be written
    KCEMRErrorMissingDocumentField = 4, // a document field has no value (department, ...)
    KCEMRErrorNotConfigured = 5,        // the client lacks its configuration
    KCEMRErrorInsecureURL = 6,          // plain http to another computer
    KCEMRErrorSignedOut = 7,            // the user signed out meanwhile
};

KCError makeEMRError(int code, const QString &description);

// The folder the document files are written to: "emr-documents" in the
// application's data folder, created when missing and kept at mode 0700
// (a folder found with wider permissions is narrowed). An empty text with
// `error` set when there is none or it cannot be made private. Patient images
// never go to the Documents folder, which is often synchronised elsewhere.
QString emrDocumentsDirectory(KCError *error = nullptr);

// Removes a document file written for an upload (a missing file is fine).
void emrRemoveDocumentFile(const QString &path);

// Removes every file left in the folder by an earlier run (a crash, or a quit
// while a chart upload was under way): for the application's start, before
// any upload. Returns how many were removed; a missing folder is not made.
int emrSweepDocumentFiles();

// "<last 10 characters of id>.pdf". Refuses (empty text, `error` set) an id
// shorter than 10 characters and a name that could leave the folder or break
// the upload's part header: "/", "\", "..", a double quote or a control
// character.
QString emrDocumentFileNameForID(const QString &id, KCError *error = nullptr);

// The page size of `image` in points: one point per pixel.
QSizeF emrImageSizeInPoints(const QImage &image);

// A one-page PDF whose page is the image's size in points, showing the image
// over the whole page. The image is embedded losslessly (Flate, never JPEG):
// the chart keeps every pixel the clinician saw.
QByteArray emrRenderImagePDF(const QImage &image, KCError *error = nullptr);

// Writes `bytes` to `path`, replacing any file there, with mode 0600. The
// file appears whole or not at all.
KCError emrWriteDocumentFile(const QString &path, const QByteArray &bytes);
