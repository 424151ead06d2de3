#pragma once
// Conversions between the coordinate systems of a capture.
//
// Screen coordinates: points, origin at the bottom-left corner of the primary
// screen, y growing upwards (what the overlay reports). Window-server
// coordinates: origin at the top-left corner of the primary screen, y growing
// downwards (Qt's global coordinates). View coordinates of the overlay: origin
// at the view's bottom-left corner, y upwards.

#include <QRect>
#include <QRectF>

// Height of the primary screen (H0); 0 without screens.
double primaryScreenHeight();

// The selection flipped into window-server coordinates: (x, H0 - y, w, -h),
// negative height kept.
QRectF flippedRect(const QRectF &screenRect, double h0);

// A rectangle with a negative width or height turned positive by moving its
// origin.
QRectF normalizedRect(const QRectF &rect);

// Centre of a rectangle, either form.
QPointF rectCentre(const QRectF &rect);

// Screen coordinates <-> Qt's global (top-left) coordinates.
QRectF globalRectFromScreenRect(const QRectF &screenRect, double h0);
QRectF screenRectFromGlobalRect(const QRectF &globalRect, double h0);

// A rectangle in Qt's global (logical) coordinates as device pixels of the
// window server, scaled by the ratio of the screen that holds its centre;
// rounded outwards.
QRect devicePixelRect(const QRectF &globalRect);
// The reverse, for window bounds reported by the window server.
QRectF logicalRectFromDevicePixels(const QRect &deviceRect);
