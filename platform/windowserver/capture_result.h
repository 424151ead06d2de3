#pragma once
// The outcome of asking the desktop for a picture: a picture, a failure the
// user must be told about (with what to do), or the user's own cancel (no
// message). A null image never stands for all three.

#include <QImage>
#include <QString>

struct CaptureResult {
    enum class Status { Captured, Failed, Cancelled };
    Status status = Status::Failed;
    QImage image;
    QString message;

    static CaptureResult captured(QImage image) { return {Status::Captured, std::move(image), QString()}; }
    static CaptureResult failed(QString message) { return {Status::Failed, QImage(), std::move(message)}; }
    static CaptureResult cancelled() { return {Status::Cancelled, QImage(), QString()}; }
    bool ok() const { return status == Status::Captured; }
};
