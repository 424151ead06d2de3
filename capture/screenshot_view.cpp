#include "capture/screenshot_view.h"

#include "capture/capture_window.h"
#include "capture/screen_coordinates.h"

#include <QGuiApplication>
#include <QKeyEvent>
#include <QMouseEvent>
#include <QPainter>
#include <QTimer>
#include <QWindow>

#include <algorithm>
#include <cmath>

void KCShapeLayer::setLineDashPhase(qreal phase) {
    m_phase = phase;
    emit changed();
}

void KCShapeLayer::addAnimation(QVariantAnimation *animation, const QString &key) {
    if (auto old = m_animations.take(key))
        delete old.data();
    animation->setParent(this);
    m_animations.insert(key, animation);
    animation->start();
}

QVariantAnimation *KCShapeLayer::animationForKey(const QString &key) const {
    return m_animations.value(key);
}

void KCShapeLayer::removeAllAnimations() {
    for (auto &animation : m_animations) {
        if (animation) {
            animation->stop();
            delete animation.data();
        }
    }
    m_animations.clear();
}

void KCShapeLayer::paint(QPainter &painter, qreal flipHeight) const {
    if (path.isEmpty())
        return;
    QTransform flip(1, 0, 0, -1, 0, flipHeight);
    QPen pen(strokeColor, lineWidth);
    if (!lineDashPattern.isEmpty()) {
        // Qt measures dashes in pen widths.
        const qreal unit = lineWidth > 0 ? lineWidth : 1.0;
        QList<qreal> pattern;
        for (qreal length : lineDashPattern)
            pattern.append(length / unit);
        pen.setDashPattern(pattern);
        pen.setDashOffset(m_phase / unit);
    }
    painter.save();
    painter.setPen(pen);
    painter.setBrush(fillColor);
    painter.drawPath(flip.map(path));
    painter.restore();
}

screenshotView::screenshotView(QWidget *parent) : QWidget(parent) {
    setAttribute(Qt::WA_TranslucentBackground);
    setFocusPolicy(Qt::StrongFocus);
    setMouseTracking(false);
}

screenshotView::~screenshotView() {
    removeFromAllNotifications();
}

// The veil over the screen while selecting: white at a quarter.
static const QColor kVeil(255, 255, 255, 64);

QImage screenshotView::veiledBackdrop(const QImage &image) {
    if (image.isNull())
        return QImage();
    QImage veiled = image.convertToFormat(QImage::Format_ARGB32_Premultiplied);
    QPainter painter(&veiled);
    painter.fillRect(QRect(QPoint(0, 0), image.size()), kVeil);
    return veiled;
}

screenshotView::PreparedBackdrop screenshotView::prepareBackdrop(const QImage &image) {
    PreparedBackdrop prepared;
    prepared.picture = image.isNull() || image.format() == QImage::Format_ARGB32_Premultiplied
                           ? image
                           : image.convertToFormat(QImage::Format_ARGB32_Premultiplied);
    prepared.veiled = veiledBackdrop(prepared.picture);
    return prepared;
}

void screenshotView::setBackdrop(const QImage &image, const QImage &veiled) {
    if (veiled.isNull() || veiled.size() != image.size()) {
        PreparedBackdrop prepared = prepareBackdrop(image);
        m_backdrop = std::move(prepared.picture);
        m_veiled = std::move(prepared.veiled);
    } else {
        m_backdrop = image;
        m_veiled = veiled;
    }
    update();
}

void screenshotView::prepareForScreenshot() {
    removeFromAllNotifications();
    // Focus moves in steps (the old window loses it before the new one gets
    // it, often through "no window"), so a loss of focus is judged a moment
    // later, by where the focus has settled.
    auto overlayIsKey = [this] {
        const QWidget *overlay = window();
        QWindow *focus = QGuiApplication::focusWindow();
        return focus && overlay && focus == overlay->windowHandle();
    };
    m_overlayWasKey = overlayIsKey();
    m_focusWatch = connect(qApp, &QGuiApplication::focusWindowChanged, this, [this, overlayIsKey](QWindow *) {
        if (overlayIsKey()) {
            m_overlayWasKey = true;
            return;
        }
        QTimer::singleShot(kFocusSettleMs, this, [this, overlayIsKey] {
            if (!m_focusWatch || overlayIsKey())
                return;
            QWindow *focus = QGuiApplication::focusWindow();
            if (!focus && !m_overlayWasKey)
                return;
            if (focus && keepsSelection && keepsSelection(focus))
                return;
            windowDidResignKey();
        });
    });
    screenshotMode = true;
    selectedRect = QRectF();
    QMetaObject::invokeMethod(
        this, [this] { setCursor(Qt::CrossCursor); }, Qt::QueuedConnection);
    update();
}

void screenshotView::removeFromAllNotifications() {
    if (m_focusWatch)
        disconnect(m_focusWatch);
    m_focusWatch = {};
}

void screenshotView::mouseDown(const QPointF &m) {
    if (!screenshotMode)
        return;
    startPoint = QPointF(std::floor(float(m.x() - 1)), m.y() - 1);
    if (shapeLayer) {
        shapeLayer->removeAllAnimations();
        delete shapeLayer.data();
    }
    auto *layer = new KCShapeLayer(this);
    layer->lineWidth = 0.5;
    layer->strokeColor = QColor(255, 165, 0);
    layer->fillColor = Qt::transparent;
    layer->lineDashPattern = {8, 7};
    connect(layer, &KCShapeLayer::changed, this, qOverload<>(&QWidget::update));
    shapeLayer = layer;
    auto *phase = new QVariantAnimation;
    phase->setStartValue(0.0);
    phase->setEndValue(kDashPeriod);
    phase->setDuration(kDashPhaseDurationMs);
    phase->setLoopCount(-1);
    connect(phase, &QVariantAnimation::valueChanged, layer,
            [layer](const QVariant &value) { layer->setLineDashPhase(value.toDouble()); });
    layer->addAnimation(phase, QStringLiteral("linePhase"));
}

QRectF screenshotView::selectionFrom(const QPointF &p) const {
    // Floors first (single precision), normalising last.
    const QPointF &s = startPoint;
    return normalizedRect(QRectF(std::floor(float(s.x())), std::floor(float(s.y())),
                                 std::floor(float(p.x() - s.x())), std::floor(float(p.y() - s.y()))));
}

void screenshotView::mouseDragged(const QPointF &p) {
    if (!screenshotMode)
        return;
    const QPointF &s = startPoint;
    if (shapeLayer) {
        QPainterPath path;
        path.moveTo(s.x() + 2, s.y() - 2);
        path.lineTo(s.x() + 2, p.y());
        path.lineTo(p.x() - 2, p.y());
        path.lineTo(p.x() - 2, s.y() - 2);
        path.closeSubpath();
        shapeLayer->path = path;
    }
    selectedRect = selectionFrom(p);
    update();
}

void screenshotView::mouseUp(const QPointF &u) {
    if (!screenshotMode)
        return;
    screenshotMode = false;
    selectedRect = selectionFrom(u);
    if (shapeLayer) {
        shapeLayer->removeAllAnimations();
        delete shapeLayer.data();
    }
    shapeLayer = nullptr;
    QMetaObject::invokeMethod(
        this, [this] { setCursor(Qt::ArrowCursor); }, Qt::QueuedConnection);
    update();
    const QRectF screenRect = convertRectToScreen(selectedRect);
    QTimer::singleShot(kReportDelayMs, this, [this, screenRect] {
        if (screenShotDelegate *delegate = ssDelegate())
            delegate->screenCaptureRectangleFinished(screenRect);
    });
}

bool screenshotView::keyDown(int key) {
    if (key != Qt::Key_Escape)
        return false;
    if (screenShotDelegate *delegate = ssDelegate())
        delegate->cancelSnapshot();
    return true;
}

void screenshotView::windowDidResignKey() {
    if (!screenshotMode || !isSignedIn || !isSignedIn())
        return;
    if (screenShotDelegate *delegate = ssDelegate())
        delegate->cancelSnapshot();
}

QRectF screenshotView::convertRectToScreen(const QRectF &r) const {
    auto *overlay = qobject_cast<const captureWindow *>(window());
    if (!overlay)
        return QRectF();
    // View (bottom-left origin) to window (bottom-left origin).
    const QPoint topLeftInWindow = mapTo(overlay, QPoint(0, 0));
    const qreal windowBottomOfView = overlay->height() - (topLeftInWindow.y() + height());
    return overlay->convertRectToScreen(r.translated(topLeftInWindow.x(), windowBottomOfView));
}

QRectF screenshotView::qtRect(const QRectF &r) const {
    return QRectF(r.x(), height() - r.y() - r.height(), r.width(), r.height());
}

void screenshotView::paintEvent(QPaintEvent *event) {
    QPainter painter(this);
    const QRect dirty = event->rect();
    painter.setCompositionMode(QPainter::CompositionMode_Source);
    if (!m_backdrop.isNull()) {
        // No compositing manager: the screen's picture stands in for the
        // translucency. Only the damaged part is drawn, from the picture
        // with the veil made beforehand, and the selection from the plain
        // one: a drag repaints its edges, not the screen.
        const double sx = double(m_backdrop.width()) / std::max(1, width());
        const double sy = double(m_backdrop.height()) / std::max(1, height());
        const auto source = [sx, sy](const QRectF &r) {
            return QRectF(r.x() * sx, r.y() * sy, r.width() * sx, r.height() * sy);
        };
        if (!screenshotMode) {
            painter.drawImage(QRectF(dirty), m_backdrop, source(dirty));
            return;
        }
        painter.drawImage(QRectF(dirty), m_veiled, source(dirty));
        const QRectF clear = qtRect(selectedRect).toAlignedRect().intersected(dirty);
        if (!clear.isEmpty())
            painter.drawImage(clear, m_backdrop, source(clear));
    } else if (!screenshotMode) {
        painter.fillRect(dirty, Qt::transparent);
        return;
    } else {
        painter.fillRect(dirty, kVeil);
        painter.fillRect(qtRect(selectedRect).intersected(QRectF(dirty)), Qt::transparent);
    }
    painter.setCompositionMode(QPainter::CompositionMode_SourceOver);
    if (shapeLayer)
        shapeLayer->paint(painter, height());
}

void screenshotView::mousePressEvent(QMouseEvent *event) {
    if (event->button() == Qt::LeftButton)
        mouseDown(viewPoint(event->position()));
}

void screenshotView::mouseMoveEvent(QMouseEvent *event) {
    if (event->buttons() & Qt::LeftButton)
        mouseDragged(viewPoint(event->position()));
}

void screenshotView::mouseReleaseEvent(QMouseEvent *event) {
    if (event->button() == Qt::LeftButton)
        mouseUp(viewPoint(event->position()));
}

void screenshotView::keyPressEvent(QKeyEvent *event) {
    if (!keyDown(event->key()))
        QWidget::keyPressEvent(event);
}
