#pragma once
// One picture of every screen, taken at one moment, and where each screen
// lies in it. Screens are given in Qt's global (logical) coordinates; the
// picture is in device pixels, each screen at its own scale (which may be
// fractional, and differ between screens).

#include <QImage>
#include <QList>
#include <QRect>
#include <QRectF>

struct FrozenScreen {
    QRect logical;   // the screen in global coordinates
    QRect inPicture; // the same screen in the picture's pixels
};

class FrozenFrame {
public:
    FrozenFrame() = default;
    FrozenFrame(QImage picture, QList<FrozenScreen> screens);

    // A picture of the whole area `logicalScreens` span, at one scale (how
    // desktop screenshot services compose several screens): each screen's
    // place in the picture follows from the picture's size. When the picture
    // has the size of one screen only, it is taken as the first screen.
    static FrozenFrame fromCombinedPicture(QImage picture, const QList<QRect> &logicalScreens);

    bool isNull() const { return m_picture.isNull(); }
    const QImage &picture() const { return m_picture; }
    const QList<FrozenScreen> &screens() const { return m_screens; }

    // The picture's pixels of `rect` (global coordinates), at the scale of the
    // screen that holds the rectangle's centre and clipped to that screen.
    // Null when the centre lies on no screen or nothing is left. The image's
    // device pixel ratio is that screen's scale.
    QImage crop(const QRectF &rect) const;
    // The rectangle in the picture's pixels that `crop()` would cut out.
    QRect pictureRectOf(const QRectF &rect) const;

private:
    QImage m_picture;
    QList<FrozenScreen> m_screens;
};
