#include "platform/windowserver/frozen_frame.h"

#include <cmath>

FrozenFrame::FrozenFrame(QImage picture, QList<FrozenScreen> screens)
    : m_picture(std::move(picture)), m_screens(std::move(screens)) {}

FrozenFrame FrozenFrame::fromCombinedPicture(QImage picture, const QList<QRect> &logicalScreens) {
    QRect span;
    for (const QRect &s : logicalScreens)
        span = span.united(s);
    if (picture.isNull() || span.isEmpty())
        return FrozenFrame(std::move(picture), {});
    QList<FrozenScreen> screens;
    const double sx = double(picture.width()) / span.width();
    const double sy = double(picture.height()) / span.height();
    const QRect &first = logicalScreens.first();
    if (logicalScreens.size() > 1 && std::abs(sx - sy) > 0.02) {
        // The picture of one screen only.
        screens.append({first, picture.rect()});
        return FrozenFrame(std::move(picture), screens);
    }
    for (const QRect &s : logicalScreens) {
        const int left = int(std::lround((s.x() - span.x()) * sx));
        const int top = int(std::lround((s.y() - span.y()) * sy));
        const int right = int(std::lround((s.x() + s.width() - span.x()) * sx));
        const int bottom = int(std::lround((s.y() + s.height() - span.y()) * sy));
        screens.append({s, QRect(left, top, right - left, bottom - top)});
    }
    return FrozenFrame(std::move(picture), screens);
}

QRect FrozenFrame::pictureRectOf(const QRectF &rect) const {
    const QRectF r = rect.normalized();
    const QPointF centre = r.center();
    for (const FrozenScreen &s : m_screens) {
        const QRectF logical(s.logical);
        if (!(centre.x() >= logical.left() && centre.x() < logical.left() + logical.width() &&
              centre.y() >= logical.top() && centre.y() < logical.top() + logical.height()))
            continue;
        const QRectF clipped = r.intersected(logical);
        if (clipped.isEmpty())
            return QRect();
        const double sx = double(s.inPicture.width()) / s.logical.width();
        const double sy = double(s.inPicture.height()) / s.logical.height();
        // Rounded outwards, so a selection never loses a partly covered pixel.
        const double left = std::floor((clipped.left() - logical.left()) * sx + 1e-9);
        const double top = std::floor((clipped.top() - logical.top()) * sy + 1e-9);
        const double right = std::ceil((clipped.left() + clipped.width() - logical.left()) * sx - 1e-9);
        const double bottom = std::ceil((clipped.top() + clipped.height() - logical.top()) * sy - 1e-9);
        const QRect inScreen(int(left), int(top), int(right - left), int(bottom - top));
        return inScreen.translated(s.inPicture.topLeft())
            .intersected(s.inPicture)
            .intersected(m_picture.rect());
    }
    return QRect();
}

QImage FrozenFrame::crop(const QRectF &rect) const {
    const QRect pixels = pictureRectOf(rect);
    if (pixels.isEmpty())
        return QImage();
    QImage image = m_picture.copy(pixels);
    // Device pixels per point of the screen it was cut from.
    for (const FrozenScreen &s : m_screens) {
        if (s.inPicture.contains(pixels.center()) && s.logical.width() > 0) {
            image.setDevicePixelRatio(double(s.inPicture.width()) / s.logical.width());
            break;
        }
    }
    return image;
}
