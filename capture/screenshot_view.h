#pragma once
// The selection view of the capture overlay. It veils its screen in
// translucent white, shows a crosshair, and lets the user drag a rectangle,
// outlined by marching orange dashes and cut clear out of the veil. On
// release it clears itself and, 0.1 s later, reports the rectangle in screen
// coordinates to its delegate. Escape, or the application losing its active
// window while the veil is shown, cancels.
//
// Points handed to mouseDown()/mouseDragged()/mouseUp() and the geometry
// properties use view coordinates with the origin at the view's bottom-left
// corner and y growing upwards; Qt's own mouse events are converted.

#include <QColor>
#include <QImage>
#include <QList>
#include <QMetaObject>
#include <QPainterPath>
#include <QPointF>
#include <QPointer>
#include <QRectF>
#include <QVariantAnimation>
#include <QWidget>
#include <QWindow>

#include <atomic>
#include <functional>

class screenShotDelegate {
public:
    virtual ~screenShotDelegate() = default;
    // The selected rectangle in screen coordinates (origin at the bottom-left
    // corner of the primary screen, y upwards, points).
    virtual void screenCaptureRectangleFinished(const QRectF &rect) = 0;
    // The selection was abandoned.
    virtual void cancelSnapshot() = 0;
};

// The dashed outline of a drag: a path stroked with a dash pattern whose
// phase may be animated.
class KCShapeLayer : public QObject {
    Q_OBJECT
    Q_PROPERTY(qreal lineDashPhase READ lineDashPhase WRITE setLineDashPhase)
public:
    using QObject::QObject;

    QPainterPath path;
    qreal lineWidth = 1.0;
    QColor strokeColor = Qt::black;
    QColor fillColor = Qt::transparent;
    QList<qreal> lineDashPattern;

    qreal lineDashPhase() const { return m_phase; }
    void setLineDashPhase(qreal phase);

    // Animations by key; a new one under a used key replaces the old one.
    void addAnimation(QVariantAnimation *animation, const QString &key);
    QVariantAnimation *animationForKey(const QString &key) const;
    void removeAllAnimations();

    // Strokes the path; `flipHeight` turns the layer's y-up coordinates into
    // the painter's y-down ones.
    void paint(QPainter &painter, qreal flipHeight) const;

signals:
    void changed();

private:
    qreal m_phase = 0.0;
    QHash<QString, QPointer<QVariantAnimation>> m_animations;
};

class screenshotView : public QWidget {
    Q_OBJECT
public:
    explicit screenshotView(QWidget *parent = nullptr);
    ~screenshotView() override;

    bool screenshotMode = false;
    QPointer<KCShapeLayer> shapeLayer;
    QPointF startPoint;
    QRectF selectedRect;

    // The delegate is not owned (the panel owns the overlay); read and
    // written atomically.
    screenShotDelegate *ssDelegate() const { return m_delegate.load(); }
    void setSsDelegate(screenShotDelegate *delegate) { m_delegate.store(delegate); }

    // Whether the user is signed in; losing the active window cancels only
    // then. Unset means signed out.
    std::function<bool()> isSignedIn;
    // Windows that may take the focus during a selection without ending it
    // (the capture panel floating above the overlay).
    std::function<bool(QWindow *)> keepsSelection;

    // A picture of the screen under the view, painted under the veil. Used
    // where no compositing manager makes translucent windows translucent.
    // `veiled` is veiledBackdrop(image) when the caller made it already (off
    // the main thread: a whole screen of pixels); else it is made here.
    void setBackdrop(const QImage &image, const QImage &veiled = QImage());
    QImage backdrop() const { return m_backdrop; }
    // `image` as the veil shows it, in a format painted without conversion.
    static QImage veiledBackdrop(const QImage &image);
    // A picture of the screen ready for setBackdrop(): itself in the format
    // painted without conversion, and veiled. For callers off the main thread.
    struct PreparedBackdrop {
        QImage picture, veiled;
    };
    static PreparedBackdrop prepareBackdrop(const QImage &image);

    bool acceptsFirstResponder() const { return true; }

    // Starts a selection: veil, crosshair, loss-of-focus watch.
    void prepareForScreenshot();

    void mouseDown(const QPointF &location);
    void mouseDragged(const QPointF &location);
    void mouseUp(const QPointF &location);
    // Escape cancels; true when the key was used.
    bool keyDown(int key);
    // Another window than the overlay became the active one (or none is).
    void windowDidResignKey();
    // Stops the loss-of-focus watch.
    void removeFromAllNotifications();

    // The rectangle in this view's coordinates as screen coordinates (the
    // zero rectangle when the view is not in an overlay window).
    QRectF convertRectToScreen(const QRectF &viewRect) const;

    static constexpr double kDashPeriod = 15.0;
    static constexpr int kDashPhaseDurationMs = 750;
    static constexpr int kReportDelayMs = 100;
    static constexpr int kFocusSettleMs = 150;

protected:
    void paintEvent(QPaintEvent *event) override;
    void mousePressEvent(QMouseEvent *event) override;
    void mouseMoveEvent(QMouseEvent *event) override;
    void mouseReleaseEvent(QMouseEvent *event) override;
    void keyPressEvent(QKeyEvent *event) override;

private:
    QPointF viewPoint(const QPointF &qtPoint) const { return QPointF(qtPoint.x(), height() - qtPoint.y()); }
    QRectF qtRect(const QRectF &viewRect) const;
    QRectF selectionFrom(const QPointF &location) const;

    std::atomic<screenShotDelegate *> m_delegate{nullptr};
    QImage m_backdrop, m_veiled;
    QMetaObject::Connection m_focusWatch;
    // Whether the overlay has held the keyboard focus since the selection
    // began; until it has, a focus change to no window is focus on its way.
    bool m_overlayWasKey = false;
};
