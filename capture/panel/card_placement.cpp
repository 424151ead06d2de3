#include "capture/panel/card_placement.h"

QRect kcScreenOfWindow(const QRect &windowFrame, const QList<QRect> &screens) {
    if (screens.isEmpty())
        return QRect();
    const QPoint centre = windowFrame.center();
    for (const QRect &screen : screens)
        if (screen.contains(centre))
            return screen;
    QRect best = screens.first();
    qint64 bestArea = 0;
    for (const QRect &screen : screens) {
        const QRect overlap = screen.intersected(windowFrame);
        const qint64 area = overlap.isEmpty() ? 0 : qint64(overlap.width()) * overlap.height();
        if (area > bestArea) {
            bestArea = area;
            best = screen;
        }
    }
    return best;
}

std::optional<QPoint> kcCardWindowOrigin(const QRect &windowFrame, const QRect &screen, int cardWidth) {
    if (screen.isEmpty())
        return std::nullopt;
    if (windowFrame.x() - screen.x() + cardWidth <= screen.width())
        return std::nullopt;
    return QPoint(screen.x() + screen.width() - cardWidth - 5, windowFrame.y());
}
