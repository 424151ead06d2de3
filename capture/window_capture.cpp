#include "capture/window_capture.h"

#include <algorithm>

#include "capture/image_preparation.h"
#include "capture/screen_coordinates.h"
#include "capture/text_recognition.h"
#include "capture/text_recognizer.h"
#include "capture/window_region.h"

#include <QMetaObject>
#include <QThreadPool>

#include <cmath>

bool rectContainsPoint(const QRectF &r, const QPointF &p) {
    const QRectF n = normalizedRect(r);
    return n.width() > 0 && n.height() > 0 && p.x() >= n.left() && p.x() < n.left() + n.width() &&
           p.y() >= n.top() && p.y() < n.top() + n.height();
}

// Bounds are read in single precision, as the window list gives them.
static QRectF singlePrecision(const QRectF &b) {
    return QRectF(double(float(b.x())), double(float(b.y())), double(float(b.width())),
                  double(float(b.height())));
}

QRectF windowRectBasedOnSubrect(const QRectF &rect, const QList<QRectF> &bounds) {
    const QPointF centre = rectCentre(rect);
    for (const QRectF &b : bounds) {
        const QRectF single = singlePrecision(b);
        if (rectContainsPoint(single, centre))
            return single;
    }
    return QRectF(0, 0, 0, 0);
}

static QRect devicePixels(const QRectF &points, double ratio) {
    const double left = std::floor(points.left() * ratio), top = std::floor(points.top() * ratio);
    const double right = std::ceil((points.left() + points.width()) * ratio);
    const double bottom = std::ceil((points.top() + points.height()) * ratio);
    return QRect(int(left), int(top), int(right - left), int(bottom - top));
}

WindowCaptureImages captureImages(const WindowCaptureRequest &request, CaptureTimings *timings) {
    WindowCaptureImages result;
    if (!request.server)
        return result;
    const double ratio = request.pixelRatio > 0 ? request.pixelRatio : 1.0;
    QElapsedTimer clock;
    clock.start();
    const QRectF flipped = flippedRect(request.selection, request.primaryScreenHeight);
    QList<QRectF> bounds;
    QList<QRectF> wholeScreens;
    for (const WindowServerWindow &w : request.server->windowsBelowAll(request.excludedWindows)) {
        const QRect &b = w.bounds;
        bounds.append(QRectF(b.x() / ratio, b.y() / ratio, b.width() / ratio, b.height() / ratio));
        // As windowRectBasedOnSubrect() gives bounds back.
        if (w.wholeScreen)
            wholeScreens.append(singlePrecision(bounds.last()));
    }
    result.windowRect = windowRectBasedOnSubrect(flipped, bounds);
    const QRect selectionPixels = devicePixels(normalizedRect(flipped), ratio);
    result.screenshot = request.server->imageOfRectBelowAll(selectionPixels, request.excludedWindows);
    if (!result.screenshot.isNull())
        result.screenshot.setDevicePixelRatio(ratio);
    if (timings)
        timings->selectionCapture = clock.restart();
    if (result.windowRect.width() > 0 && result.windowRect.height() > 0) {
        result.windowImage = request.server->imageOfRectBelowAll(devicePixels(result.windowRect, ratio),
                                                                 request.excludedWindows);
    }
    // Only the screen is known: the window is found in its picture, at the
    // window edges left and right of the selection, so that other windows on
    // the screen (and the patients they show) are not read with it.
    if (wholeScreens.contains(result.windowRect) && !result.windowImage.isNull()) {
        const QRectF screen = result.windowRect;
        const double scale = result.windowImage.width() / screen.width();
        const QRectF selection = normalizedRect(flipped).translated(-screen.topLeft());
        const QRect inPicture(QPointF(selection.topLeft() * scale).toPoint(),
                              QPointF(selection.bottomRight() * scale).toPoint() - QPoint(1, 1));
        const QRect grown = grownWindowRegion(result.windowImage, inPicture);
        if (!grown.isEmpty() && grown != result.windowImage.rect()) {
            result.windowImage = result.windowImage.copy(grown);
            result.windowRect = QRectF(screen.x() + grown.x() / scale, screen.y() + grown.y() / scale,
                                       grown.width() / scale, grown.height() / scale);
        }
    }
    if (timings)
        timings->windowCapture = clock.elapsed();
    return result;
}

void startWindowCapture(WindowCaptureRequest request, QObject *context, WindowCaptureHandlers handlers) {
    QPointer<QObject> guard(context);
    QThreadPool::globalInstance()->start(
        [request = std::move(request), guard, handlers = std::move(handlers)] {
            QElapsedTimer total;
            total.start();
            CaptureTimings timings;
            // Both images are taken before anything is posted, so the overlay is
            // still where the captures expect it.
            WindowCaptureImages images = captureImages(request, &timings);
            if (guard) {
                QMetaObject::invokeMethod(
                    guard.data(),
                    [handlers, screenshot = images.screenshot] {
                        if (handlers.selectionCaptured)
                            handlers.selectionCaptured(screenshot);
                    },
                    Qt::QueuedConnection);
            }
            std::optional<ScreenText> screen;
            if (!images.windowImage.isNull()) {
                QElapsedTimer clock;
                clock.start();
                // Twice the window's size in points: the window image has
                // pixelRatio device pixels per point, or says so itself when
                // it was cut from a picture in device pixels.
                const double scale = std::max(request.pixelRatio, images.windowImage.devicePixelRatio());
                const QImage input = recognitionInput(std::move(images.windowImage), scale);
                timings.enlarge = clock.restart();
                if (request.recognize) {
                    if (const std::optional<QString> text = request.recognize(input))
                        screen = ScreenText::fromText(*text);
                } else if (request.recognizer) {
                    std::function<void(const ScreenText &)> topBandRead;
                    if (handlers.topTextRead) {
                        topBandRead = [guard, handlers, &total, &timings](const ScreenText &top) {
                            timings.topBand = total.elapsed();
                            if (!guard)
                                return;
                            QMetaObject::invokeMethod(
                                guard.data(),
                                [handlers, top, elapsed = timings.topBand] {
                                    handlers.topTextRead(top, elapsed);
                                },
                                Qt::QueuedConnection);
                        };
                    }
                    ScreenText read;
                    if (request.recognizer->read(input, nullptr, &timings.recognitionSteps, 0, topBandRead,
                                                 &read))
                        screen = std::move(read);
                } else if (const std::optional<QString> text =
                               wordsFromImage(input, {}, nullptr, &timings.recognitionSteps)) {
                    screen = ScreenText::fromText(*text);
                }
                timings.recognition = clock.elapsed();
            }
            timings.total = total.elapsed();
            if (guard) {
                QMetaObject::invokeMethod(
                    guard.data(),
                    [handlers, screen, timings] {
                        if (handlers.finished)
                            handlers.finished(screen, timings);
                    },
                    Qt::QueuedConnection);
            }
        });
}
