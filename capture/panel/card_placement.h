#pragma once
// Where the capture window stands while the card is shown. The card grows to
// the right of the button; a card that would cross the right edge of the
// screen the window is on moves the window left, 5 points clear of that edge.

#include <QList>
#include <QPoint>
#include <QRect>

#include <optional>

// The screen (of `screens`, in the desktop's coordinates) that holds the
// centre of `windowFrame`; else the one it overlaps most; else the first.
// The empty rectangle when there are no screens.
QRect kcScreenOfWindow(const QRect &windowFrame, const QList<QRect> &screens);

// The window's new top-left corner when a card `cardWidth` wide, growing
// from the window's left edge, would cross the right edge of `screen`;
// none when it fits.
std::optional<QPoint> kcCardWindowOrigin(const QRect &windowFrame, const QRect &screen, int cardWidth);
