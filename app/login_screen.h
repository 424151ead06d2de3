#pragma once
// The login window: a small white panel with the logo, user-name and password
// fields, a failure label and the orange sign-in button. Signing in spins
// the logo; on success the capture window takes the panel's place, and the
// notification "logout" brings the panel back.

#include "app/main_window_controller.h"
#include "platform/core/error.h"
#include "platform/core/notification_center.h"

#include <QAbstractButton>
#include <QEasingCurve>
#include <QHash>
#include <QLabel>
#include <QLineEdit>
#include <QPixmap>
#include <QPointF>
#include <QPointer>
#include <QVariantAnimation>
#include <QWidget>

#include <memory>

class AppDelegate;

// The login panel: white, light grey border 0.5 wide, corner radius 4,
// clipped to its rounded bounds. Dragging it moves its window.
class captureLoginView : public QWidget {
    Q_OBJECT
public:
    explicit captureLoginView(QWidget *parent = nullptr);
    // Where the last mouse press on the panel began, in window coordinates.
    QPointF touchDownPoint;

protected:
    void mousePressEvent(QMouseEvent *event) override;
    void mouseMoveEvent(QMouseEvent *event) override;
    void paintEvent(QPaintEvent *event) override;
};

// Places the sign-in button's title: the bounds moved by -1 vertically.
class captureLoginButtonCell {
public:
    static QRectF titleRectForBounds(const QRectF &bounds);
};

// The sign-in button: orange when enabled, light grey when disabled, orange
// at half alpha while pressed; white title "Login", or "Logging In..." while
// disabled. The action fires on every release that followed a press.
class captureLoginButton : public QAbstractButton {
    Q_OBJECT
public:
    explicit captureLoginButton(QWidget *parent = nullptr);
    QColor layerBackgroundColor() const { return m_background; }
    QSize sizeHint() const override { return QSize(192, 30); }

protected:
    void mousePressEvent(QMouseEvent *event) override;
    void mouseMoveEvent(QMouseEvent *event) override;
    void mouseReleaseEvent(QMouseEvent *event) override;
    void paintEvent(QPaintEvent *event) override;
    void changeEvent(QEvent *event) override;

private:
    void restyle();
    QColor m_background;
};

// An image that can be turned about its centre.
class KCRotatingImageView : public QWidget {
    Q_OBJECT
public:
    explicit KCRotatingImageView(const QString &imageName, const QSize &size, QWidget *parent = nullptr);
    // Rotation in radians, counter-clockwise as on screen.
    double rotation() const { return m_rotation; }
    void setRotation(double radians);
    QSize sizeHint() const override { return m_size; }

protected:
    void paintEvent(QPaintEvent *event) override;

private:
    QString m_imageName;
    QSize m_size;
    QPixmap m_pixmap;
    double m_rotation = 0.0;
};

class captureLoginViewController : public QObject {
    Q_OBJECT
public:
    // Full turn of the logo, in milliseconds.
    static constexpr int kIconTurnMs = 4000;

    explicit captureLoginViewController(AppDelegate *delegate, QObject *parent = nullptr);
    ~captureLoginViewController() override;

    // The login window and its panel (this controller's view).
    QWidget *window() const { return m_window; }
    captureLoginView *view() const { return m_view; }
    // Shows the login window (the view appears and lays out).
    void showWindow();

    captureLoginButton *loginButton = nullptr;
    QLineEdit *usernameTextfield = nullptr;
    QLineEdit *passwordTextfield = nullptr;
    QLabel *loginFailedLabel = nullptr;
    KCRotatingImageView *kelvraLogoImage = nullptr;
    // The capture window's controller: made at the first successful sign-in
    // and kept.
    std::unique_ptr<CaptureMainWindowController> mainWindow;
    bool animationShouldStop = false;

    void viewDidLoad();
    void viewWillAppear();
    void viewDidLayout();

    void loginButtonPressed();
    void animateToPrimaryView();
    void animateToLoginView();

    void startIconAnimation();
    void continueIconAnimation();
    void finishIconAniamtion();
    void animationDidStop(bool finished);

    // Keys of the logo turns started so far ("rotateStart", "rotateContinue",
    // "rotateFinish"), oldest first.
    QStringList iconAnimationLog;
    bool isIconSpinning() const { return !m_iconAnimations.isEmpty(); }

signals:
    // The sign-in has ended (on the main thread): `succeeded` false after a
    // failure.
    void loginFinished(bool succeeded);

private:
    void addIconTurn(const QString &key, const QEasingCurve &curve, bool informController);
    void setFieldsEnabled(bool enabled);
    void loginDidFail(const KCError &error);

    AppDelegate *m_delegate = nullptr;
    QPointer<QWidget> m_window;
    captureLoginView *m_view = nullptr;
    QHash<QString, QVariantAnimation *> m_iconAnimations;
    NotificationCenter::ObserverToken m_logoutObserver = 0;
};
