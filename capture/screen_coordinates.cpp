#include "capture/screen_coordinates.h"

#include <QGuiApplication>
#include <QScreen>

#include <cmath>

double primaryScreenHeight() {
    const QScreen *screen = QGuiApplication::primaryScreen();
    return screen ? screen->geometry().height() : 0.0;
}

QRectF flippedRect(const QRectF &r, double h0) {
    return QRectF(r.x(), h0 - r.y(), r.width(), -r.height());
}

QRectF normalizedRect(const QRectF &r) {
    QRectF n = r;
    if (n.width() < 0) {
        n.setX(r.x() + r.width());
        n.setWidth(-r.width());
    }
    if (n.height() < 0) {
        n.setY(r.y() + r.height());
        n.setHeight(-r.height());
    }
    return n;
}

QPointF rectCentre(const QRectF &r) {
    return QPointF(r.x() + 0.5 * r.width(), r.y() + 0.5 * r.height());
}

QRectF globalRectFromScreenRect(const QRectF &r, double h0) {
    return QRectF(r.x(), h0 - r.y() - r.height(), r.width(), r.height());
}

QRectF screenRectFromGlobalRect(const QRectF &r, double h0) {
    return QRectF(r.x(), h0 - r.y() - r.height(), r.width(), r.height());
}

static qreal ratioAt(const QPointF &point) {
    const QScreen *screen = QGuiApplication::screenAt(point.toPoint());
    if (!screen)
        screen = QGuiApplication::primaryScreen();
    return screen ? screen->devicePixelRatio() : 1.0;
}

QRect devicePixelRect(const QRectF &globalRect) {
    const qreal ratio = ratioAt(globalRect.center());
    const double left = std::floor(globalRect.left() * ratio), top = std::floor(globalRect.top() * ratio);
    const double right = std::ceil(globalRect.right() * ratio),
                 bottom = std::ceil(globalRect.bottom() * ratio);
    return QRect(int(left), int(top), int(right - left), int(bottom - top));
}

QRectF logicalRectFromDevicePixels(const QRect &r) {
    const qreal ratio = ratioAt(QPointF(r.center()) / 1.0);
    return QRectF(r.x() / ratio, r.y() / ratio, r.width() / ratio, r.height() / ratio);
}
