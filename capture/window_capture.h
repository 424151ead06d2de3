#pragma once
// Window capture for a finished selection: the selection image, the image of
// the whole window under the selection's centre, and that window's text.
//
// The captures are composites of the windows below both the capture panel's
// window and the overlay window, so neither (nor anything above them) shows
// in an image, whichever of the two the window manager stacked higher.

#include "capture/text_recognition.h"
#include "platform/accessibility/accessibility_reader.h"
#include "platform/windowserver/window_server.h"

#include <QElapsedTimer>
#include <QImage>
#include <QList>
#include <QObject>
#include <QPointer>
#include <QRectF>
#include <QString>

class TextRecognizer;

#include <functional>
#include <memory>
#include <optional>

// True when `point` lies in `rect` with the right and bottom edges excluded
// (a point on those edges is outside).
bool rectContainsPoint(const QRectF &rect, const QPointF &point);

// The bounds of the first window (front to back) whose bounds contain the
// centre of `rect`; the zero rectangle when none does. All in window-server
// coordinates; `rect` may have a negative height.
QRectF windowRectBasedOnSubrect(const QRectF &rect, const QList<QRectF> &windowBoundsFrontToBack);

// Milliseconds spent in each step of one capture (-1: not reached).
struct CaptureTimings {
    qint64 selectionCapture = -1;
    qint64 windowCapture = -1;
    // Scaling the window image to twice its size in points (none on a
    // screen of scale 2).
    qint64 enlarge = -1;
    // The whole of the text recognition, and its steps.
    qint64 recognition = -1;
    RecognitionTimings recognitionSteps;
    // From the start of the job to the top band's text (large windows only).
    qint64 topBand = -1;
    // Reading the page's own text (the accessibility tree), and how it went
    // (accessibleStatusText(), "" when not asked).
    qint64 pageText = -1;
    QString pageTextStatus;
    qint64 total = -1;
};

struct WindowCaptureRequest {
    // The selection as the overlay reports it (screen coordinates).
    QRectF selection;
    // Height of the primary screen.
    double primaryScreenHeight = 0;
    // Device pixels per point.
    double pixelRatio = 1.0;
    // Window ids the captures must stay below (panel, overlay).
    QList<quint32> excludedWindows;
    std::shared_ptr<WindowServer> server;
    // Reads the window image (engines loaded ahead of time, bands); without
    // one, wordsFromImage() loads an engine on the capture's path.
    std::shared_ptr<TextRecognizer> recognizer;
    // Replaces text recognition (tests).
    std::function<std::optional<QString>(const QImage &)> recognize;
    // Reads the page's own text from the window's accessibility tree first;
    // recognition reads only what the tree has no text for, or everything
    // when the window has no tree (none: recognition alone).
    std::shared_ptr<AccessibilityReader> accessibility;
    // How long the tree may take, from the start of the capture.
    int pageTextBudgetMs = 150;
};

struct WindowCaptureHandlers {
    // Main thread, before recognition: the selection image.
    std::function<void(const QImage &screenshot)> selectionCaptured;
    // Main thread: the recognised text, with the words' places when the
    // recognizer read it (none without a window or text).
    std::function<void(const std::optional<ScreenText> &screen, const CaptureTimings &timings)> finished;
    // Main thread, before finished: the text of the top of the window, read
    // first when the window is read in bands (record banners sit there).
    // Only asked for when set; `elapsedMs` counts from the start of the job.
    std::function<void(const ScreenText &top, qint64 elapsedMs)> topTextRead = {};
};

// Runs one capture job on the process's background pool; the handlers run on
// the thread of `context` (skipped once it is gone).
void startWindowCapture(WindowCaptureRequest request, QObject *context, WindowCaptureHandlers handlers);

// The steps of the job, synchronous (any thread).
struct WindowCaptureImages {
    QImage screenshot;
    QRectF windowRect; // window-server coordinates (points)
    QImage windowImage;
    // The window under the selection, and the area of the window image in
    // the window server's device pixels.
    WindowServerWindow window;
    QRect windowPixels;
};
// `windowFound` runs once the window under the selection is known, before
// its image is taken.
WindowCaptureImages captureImages(const WindowCaptureRequest &request, CaptureTimings *timings = nullptr,
                                  const std::function<void(const WindowCaptureImages &)> &windowFound = {});

// Starts reading the page's text of `images.window` with the request's
// reader (an invalid future without a reader or a known process).
std::shared_future<AccessibleWindow> startPageTextRead(const WindowCaptureRequest &request,
                                                       const WindowCaptureImages &images);

// The text of the captured window: the page's own text from `pageText`
// when it has some (waiting at most until the request's budget from
// `started`, a steady-clock time in ms), with recognition of the areas it
// has no text for; else recognition of the whole window image. None without
// a window image or text.
std::optional<ScreenText> readWindowText(const WindowCaptureRequest &request,
                                         const WindowCaptureImages &images,
                                         const std::shared_future<AccessibleWindow> &pageText, qint64 started,
                                         CaptureTimings *timings,
                                         const std::function<void(const ScreenText &)> &topBandRead = {});
