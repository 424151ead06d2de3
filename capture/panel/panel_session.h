#pragma once
// What the capture panel needs of the signed-in session: whether someone is
// signed in and who, today's patient list with its profile images, and word
// when a new list is published. The application's delegate provides it.

#include <QImage>
#include <QObject>
#include <QString>
#include <QVariantList>

#include <optional>

class CapturePanelSession : public QObject {
    Q_OBJECT
public:
    using QObject::QObject;

    virtual bool loggedIn() const = 0;
    virtual QString userID() const = 0;
    // Today's patient entries; none before the first answer after launch.
    virtual std::optional<QVariantList> parsedPtArray() const = 0;
    // The profile image under `uploadID`, or a null image.
    virtual QImage downloadedImage(const QString &uploadID) const = 0;

signals:
    // A new patient list has been published (main thread).
    void patientListUpdated();
};
