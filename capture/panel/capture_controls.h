#pragma once
// The floating capture window and the controls the capture panel is built
// from: the window with its capture and cancel keys, the panel's root view
// (capture-state border, window dragging), the capture button that reports
// press, drag and release to its delegate, a plain layer-drawn action button
// and the row view of the patient table.

#include <QAbstractButton>
#include <QColor>
#include <QList>
#include <QPointF>
#include <QPointer>
#include <QRect>
#include <QWidget>

class QAction;
class QLabel;

// Posted (no user info, on the main thread) by the capture window.
inline const QString KCSnapshotCommandPressedNotification = QStringLiteral("snapshotCommandPressed");
inline const QString KCEscapePressedNotification = QStringLiteral("escapePressed");

// What the capture window does with a key press.
enum class CaptureWindowKeyAction { SnapshotCommand, Escape, PassOn };

// Shift or Command (Super) together with a key whose characters, ignoring
// every modifier but Shift, are exactly "M" is the capture command; Escape
// cancels; everything else goes on to the standard handling.
CaptureWindowKeyAction kcCaptureWindowKeyAction(int key, Qt::KeyboardModifiers modifiers,
                                                const QString &text);

// The small borderless window that carries the capture panel. Translucent,
// above ordinary windows, can take the keyboard focus and be dragged by its
// background (the panel's root view does the dragging).
class CaptureMainWindow : public QWidget {
    Q_OBJECT
public:
    // The geometry is taken from `contentRect`; the window style is always
    // borderless and floating, whatever the caller would like.
    explicit CaptureMainWindow(const QRect &contentRect = QRect(), QWidget *parent = nullptr);

    bool canBecomeKeyWindow() const { return true; }
    bool canBecomeMainWindow() const { return true; }
    bool acceptsFirstResponder() const { return true; }
    bool isMovableByWindowBackground() const { return true; }

    // The actions of the window's context menu (e.g. "Sign Out", "Quit");
    // not owned.
    void setContextMenuActions(const QList<QAction *> &actions);
    QList<QAction *> contextMenuActions() const;

signals:
    // The context menu was dismissed (the window gets the focus back).
    void contextMenuClosed();

protected:
    void keyPressEvent(QKeyEvent *event) override;
    void contextMenuEvent(QContextMenuEvent *event) override;
    // The standard handling of keys the window does not use itself.
    virtual void passKeyOn(QKeyEvent *event);

private:
    QList<QPointer<QAction>> m_contextActions;
};

// Root view of the capture panel. Its border shows whether a capture is
// enabled (orange, 2 wide) or not (light grey, 0.5 wide); it is restyled on
// every set, also when the value does not change. Dragging it moves the
// window.
class captureMainView : public QWidget {
    Q_OBJECT
    Q_PROPERTY(bool captureEnabled READ captureEnabled WRITE setCaptureEnabled NOTIFY captureEnabledChanged)
public:
    explicit captureMainView(QWidget *parent = nullptr);

    bool captureEnabled() const { return m_captureEnabled; }
    void setCaptureEnabled(bool enabled);

    // Where the last mouse press began, in window coordinates.
    QPointF touchDownPoint;

    bool acceptsFirstResponder() const { return true; }
    bool canBecomeKeyView() const { return true; }
    bool wantsDefaultClipping() const { return true; }

    qreal borderWidth() const { return m_borderWidth; }
    QColor borderColor() const { return m_borderColor; }
    void setBorder(qreal width, const QColor &color);
    QColor backgroundColor() const { return m_backgroundColor; }
    void setBackgroundColor(const QColor &color);
    qreal cornerRadius() const { return m_cornerRadius; }
    void setCornerRadius(qreal radius);

signals:
    // Every set of captureEnabled, with the new value.
    void captureEnabledChanged(bool captureEnabled);

protected:
    void mousePressEvent(QMouseEvent *event) override;
    void mouseMoveEvent(QMouseEvent *event) override;
    void paintEvent(QPaintEvent *event) override;

private:
    void captureEnabledDidChange(bool enabled);

    bool m_captureEnabled = false;
    qreal m_borderWidth = 0.0;
    QColor m_borderColor = Qt::transparent;
    QColor m_backgroundColor = Qt::transparent;
    qreal m_cornerRadius = 0.0;
};

// Receives the capture button's press, drag and release, in that order.
class captureMainButtonDelegate {
public:
    virtual ~captureMainButtonDelegate() = default;
    virtual void snapshotButtonPressedDown() = 0;
    virtual void snapshotButtonDragged() = 0;
    virtual void snapshotButtonPressedUp() = 0;
};

// The capture button. It tracks the primary (left) mouse button itself: the
// delegate hears every press, drag and release of it; other buttons pass
// through to the views below. The action (clicked()) fires on a release only
// when the mouse did not move during the press and the button is enabled.
// Presses and drags also reach the view below, so dragging the button drags
// the window.
class captureMainButton : public QAbstractButton {
    Q_OBJECT
public:
    explicit captureMainButton(QWidget *parent = nullptr);

    // Not owned: the panel that implements it owns the button.
    captureMainButtonDelegate *delegate = nullptr;
    bool wasDragged = false;
    // Where the last press began, in window coordinates.
    QPointF touchDownPoint;

    QSize sizeHint() const override { return QSize(52, 52); }

protected:
    void mousePressEvent(QMouseEvent *event) override;
    void mouseMoveEvent(QMouseEvent *event) override;
    void mouseReleaseEvent(QMouseEvent *event) override;
    void paintEvent(QPaintEvent *event) override;

private:
    void forwardToSuperview(QMouseEvent *event);
    // Between a press of the primary button and its release.
    bool m_pressed = false;
};

// Places a button title: the bounds moved by -1 on the vertical axis.
class captureButtonCell {
public:
    static QRectF titleRectForBounds(const QRectF &bounds);
};

// A plain action button drawn by its layer: clear at rest, grey 0.9 while
// pressed, white after the release until the next layer update. The action
// fires on every release.
class captureButton : public QAbstractButton {
    Q_OBJECT
public:
    explicit captureButton(QWidget *parent = nullptr);

    bool wantsUpdateLayer() const { return true; }
    // Restores the resting (clear) background.
    void updateLayer();
    QColor layerBackgroundColor() const { return m_layerBackground; }

    void setTitleColor(const QColor &color);
    QColor titleColor() const { return m_titleColor; }
    void setBorder(qreal width, const QColor &color);
    void setCornerRadius(qreal radius);

    QSize sizeHint() const override;

protected:
    void mousePressEvent(QMouseEvent *event) override;
    void mouseMoveEvent(QMouseEvent *event) override;
    void mouseReleaseEvent(QMouseEvent *event) override;
    void paintEvent(QPaintEvent *event) override;
    void changeEvent(QEvent *event) override;

private:
    QColor m_layerBackground = Qt::transparent;
    QColor m_titleColor = Qt::black;
    qreal m_borderWidth = 0.0;
    QColor m_borderColor = Qt::transparent;
    qreal m_cornerRadius = 0.0;
};

// One row of the patient table: photo, name and exam room over a faint
// separator line. Rows are made under the identifier "capturePtTableRow".
class QDCapturePatientTableRowView : public QWidget {
    Q_OBJECT
public:
    static inline const QString identifier = QStringLiteral("capturePtTableRow");

    explicit QDCapturePatientTableRowView(QWidget *parent = nullptr);

    QLabel *ptNameLabel = nullptr;
    QLabel *examRoomNameLabel = nullptr;
    QLabel *ptProfileImageView = nullptr;
    QPointer<QWidget> bottomLineView;

    QSize sizeHint() const override { return QSize(200, 40); }

protected:
    void paintEvent(QPaintEvent *event) override;
};
