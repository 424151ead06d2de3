#include "capture/window_capture.h"

#include <algorithm>

#include "capture/image_preparation.h"
#include "capture/page_text.h"
#include "capture/screen_coordinates.h"
#include "capture/text_recognition.h"
#include "capture/text_recognizer.h"
#include "capture/window_region.h"

#include <QMetaObject>
#include <QThreadPool>

#include <chrono>
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

WindowCaptureImages captureImages(const WindowCaptureRequest &request, CaptureTimings *timings,
                                  const std::function<void(const WindowCaptureImages &)> &windowFound) {
    WindowCaptureImages result;
    if (!request.server)
        return result;
    const double ratio = request.pixelRatio > 0 ? request.pixelRatio : 1.0;
    QElapsedTimer clock;
    clock.start();
    const QRectF flipped = flippedRect(request.selection, request.primaryScreenHeight);
    QList<QRectF> bounds;
    QList<QRectF> wholeScreens;
    const QList<WindowServerWindow> windows = request.server->windowsBelowAll(request.excludedWindows);
    for (const WindowServerWindow &w : windows) {
        const QRect &b = w.bounds;
        bounds.append(QRectF(b.x() / ratio, b.y() / ratio, b.width() / ratio, b.height() / ratio));
        // As windowRectBasedOnSubrect() gives bounds back.
        if (w.wholeScreen)
            wholeScreens.append(singlePrecision(bounds.last()));
    }
    result.windowRect = windowRectBasedOnSubrect(flipped, bounds);
    for (qsizetype i = 0; i < bounds.size(); ++i) {
        if (singlePrecision(bounds.at(i)) == result.windowRect) {
            result.window = windows.at(i);
            break;
        }
    }
    if (result.windowRect.width() > 0 && result.windowRect.height() > 0) {
        result.windowPixels = devicePixels(result.windowRect, ratio);
        if (windowFound)
            windowFound(result);
    }
    const QRect selectionPixels = devicePixels(normalizedRect(flipped), ratio);
    result.screenshot = request.server->imageOfRectBelowAll(selectionPixels, request.excludedWindows);
    if (!result.screenshot.isNull())
        result.screenshot.setDevicePixelRatio(ratio);
    if (timings)
        timings->selectionCapture = clock.restart();
    if (result.windowRect.width() > 0 && result.windowRect.height() > 0) {
        result.windowImage =
            request.server->imageOfRectBelowAll(result.windowPixels, request.excludedWindows);
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
            result.windowPixels = devicePixels(result.windowRect, ratio);
        }
    }
    if (timings)
        timings->windowCapture = clock.elapsed();
    return result;
}

static qint64 steadyMs() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

std::shared_future<AccessibleWindow> startPageTextRead(const WindowCaptureRequest &request,
                                                       const WindowCaptureImages &images) {
    if (!request.accessibility || !request.server || images.window.wholeScreen ||
        images.windowPixels.isEmpty())
        return {};
    AccessibleWindowRequest read;
    read.pid =
        images.window.pid > 0 ? images.window.pid : request.server->windowProcess(images.window.windowID);
    if (read.pid <= 0)
        return {};
    read.windowBounds = images.windowPixels;
    read.area = images.windowPixels;
    // Where the compositor hands out one picture of the screens (Wayland),
    // programs cannot tell where they are on screen: their positions are
    // taken from the window's corner.
    read.windowRelative = request.server->capabilities().testFlag(WindowServerCapability::FrozenPicture);
    read.timeBudgetMs = request.pageTextBudgetMs;
    return request.accessibility->read(read);
}

// Recognises `input` into `screen` with the request's engines; false when
// nothing could be read.
static bool recognise(const WindowCaptureRequest &request, const QImage &input, CaptureTimings &timings,
                      const std::function<void(const ScreenText &)> &topBandRead, ScreenText *screen) {
    if (request.recognize) {
        const std::optional<QString> text = request.recognize(input);
        if (text)
            *screen = ScreenText::fromText(*text);
        return text.has_value();
    }
    if (request.recognizer)
        return request.recognizer->read(input, nullptr, &timings.recognitionSteps, 0, topBandRead, screen)
            .has_value();
    const std::optional<QString> text = wordsFromImage(input, {}, nullptr, &timings.recognitionSteps);
    if (text)
        *screen = ScreenText::fromText(*text);
    return text.has_value();
}

std::optional<ScreenText> readWindowText(const WindowCaptureRequest &request,
                                         const WindowCaptureImages &images,
                                         const std::shared_future<AccessibleWindow> &pageText, qint64 started,
                                         CaptureTimings *timingsOut,
                                         const std::function<void(const ScreenText &)> &topBandRead) {
    CaptureTimings ignored;
    CaptureTimings &timings = timingsOut ? *timingsOut : ignored;
    if (images.windowImage.isNull())
        return std::nullopt;
    QElapsedTimer clock;
    clock.start();
    // Twice the window's size in points: the window image has pixelRatio
    // device pixels per point, or says so itself when it was cut from a
    // picture in device pixels.
    const double scale = std::max(request.pixelRatio, images.windowImage.devicePixelRatio());
    const double toInput = 2.0 / scale;
    std::optional<ScreenText> page;
    QList<QRect> unread;
    if (pageText.valid()) {
        // The tree is waited for a little past its budget: a read running
        // longer is dropped.
        const qint64 deadline = started + request.pageTextBudgetMs + 50;
        if (pageText.wait_for(std::chrono::milliseconds(std::max<qint64>(0, deadline - steadyMs()))) ==
            std::future_status::ready) {
            const AccessibleWindow &tree = pageText.get();
            timings.pageText = tree.elapsedMs;
            timings.pageTextStatus = accessibleStatusText(tree.status);
            if (tree.status == AccessibleWindow::Status::Read && tree.hasText()) {
                const int height = int(std::lround(images.windowImage.height() * toInput));
                const double pixelScale = toInput * images.windowImage.width() / images.windowPixels.width();
                ScreenText read =
                    screenTextFromPage(tree, images.windowPixels, pixelScale, height, images.windowImage);
                if (read.words.size() >= 2) {
                    page = std::move(read);
                    unread = areasWithoutPageText(tree, images.windowPixels, images.windowImage);
                }
            }
        } else {
            timings.pageTextStatus = accessibleStatusText(AccessibleWindow::Status::TooSlow);
        }
    }
    if (page && unread.isEmpty())
        return page;
    QRect crop;
    for (const QRect &area : unread)
        crop |= area;
    const QImage input = recognitionInput(page ? images.windowImage.copy(crop) : images.windowImage, scale);
    timings.enlarge = clock.restart();
    ScreenText recognised;
    const bool read = recognise(request, input, timings,
                                page ? std::function<void(const ScreenText &)>() : topBandRead, &recognised);
    timings.recognition = clock.elapsed();
    if (!page)
        return read ? std::optional<ScreenText>(std::move(recognised)) : std::nullopt;
    if (!read)
        return page;
    // The recognised words placed in the whole window's input, and merged
    // where the tree had no text.
    const QPoint offset = QPointF(QPointF(crop.topLeft()) * toInput).toPoint();
    for (ScreenWord &w : recognised.words)
        w.box.translate(offset);
    QList<QRect> areas;
    for (const QRect &area : unread)
        areas.append(QRectF(QPointF(area.topLeft()) * toInput, QSizeF(area.size()) * toInput).toRect());
    return mergedWithRecognised(*page, recognised, areas);
}

void startWindowCapture(WindowCaptureRequest request, QObject *context, WindowCaptureHandlers handlers) {
    QPointer<QObject> guard(context);
    QThreadPool::globalInstance()->start([request = std::move(request), guard,
                                          handlers = std::move(handlers)] {
        QElapsedTimer total;
        total.start();
        const qint64 started = steadyMs();
        CaptureTimings timings;
        // The page's text is asked for as soon as the window is known,
        // and read while the images are taken.
        std::shared_future<AccessibleWindow> pageText;
        // Both images are taken before anything is posted, so the overlay is
        // still where the captures expect it.
        WindowCaptureImages images = captureImages(request, &timings, [&](const WindowCaptureImages &found) {
            pageText = startPageTextRead(request, found);
        });
        if (guard) {
            QMetaObject::invokeMethod(
                guard.data(),
                [handlers, screenshot = images.screenshot] {
                    if (handlers.selectionCaptured)
                        handlers.selectionCaptured(screenshot);
                },
                Qt::QueuedConnection);
        }
        std::function<void(const ScreenText &)> topBandRead;
        if (handlers.topTextRead) {
            topBandRead = [guard, handlers, &total, &timings](const ScreenText &top) {
                timings.topBand = total.elapsed();
                if (!guard)
                    return;
                QMetaObject::invokeMethod(
                    guard.data(),
                    [handlers, top, elapsed = timings.topBand] { handlers.topTextRead(top, elapsed); },
                    Qt::QueuedConnection);
            };
        }
        const std::optional<ScreenText> screen =
            readWindowText(request, images, pageText, started, &timings, topBandRead);
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
