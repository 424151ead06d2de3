#include "app/login_screen.h"
#include "app/pending_uploads.h"

#include "app/app_delegate.h"
#include "capture/panel/style.h"
#include "clinic/kelvra_api_client.h"
#include "platform/core/dispatch.h"

#include <QApplication>
#include <QGuiApplication>
#include <QHBoxLayout>
#include <QMouseEvent>
#include <QPainter>
#include <QPainterPath>
#include <QScreen>
#include <QVBoxLayout>

#include <cmath>

// ---------------------------------------------------------------------------
// captureLoginView

captureLoginView::captureLoginView(QWidget *parent) : QWidget(parent) {
    setAttribute(Qt::WA_TranslucentBackground);
}

void captureLoginView::mousePressEvent(QMouseEvent *event) {
    touchDownPoint = event->scenePosition();
    event->accept();
}

void captureLoginView::mouseMoveEvent(QMouseEvent *event) {
    if (!(event->buttons() & Qt::LeftButton))
        return;
    window()->move((event->globalPosition() - touchDownPoint).toPoint());
    event->accept();
}

void captureLoginView::paintEvent(QPaintEvent *) {
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    QPainterPath panel;
    panel.addRoundedRect(QRectF(rect()), 4.0, 4.0);
    painter.fillPath(panel, Qt::white);
    QPainterPath border;
    border.addRoundedRect(QRectF(rect()).adjusted(0.25, 0.25, -0.25, -0.25), 3.75, 3.75);
    painter.strokePath(border, QPen(kcLightGrayColor(), 0.5));
}

// ---------------------------------------------------------------------------
// captureLoginButton

QRectF captureLoginButtonCell::titleRectForBounds(const QRectF &bounds) {
    return kcButtonTitleRectForBounds(bounds);
}

captureLoginButton::captureLoginButton(QWidget *parent) : QAbstractButton(parent) {
    setFont(kcRalewayFont(11));
    setFocusPolicy(Qt::NoFocus);
    setCursor(Qt::PointingHandCursor);
    restyle();
}

void captureLoginButton::restyle() {
    m_background = isEnabled() ? kcOrangeColor() : kcLightGrayColor();
    setText(isEnabled() ? tr("Login") : tr("Logging In..."));
    update();
}

void captureLoginButton::changeEvent(QEvent *event) {
    QAbstractButton::changeEvent(event);
    if (event->type() == QEvent::EnabledChange)
        restyle();
}

void captureLoginButton::mousePressEvent(QMouseEvent *event) {
    event->accept();
    if (!isEnabled())
        return;
    QColor pressed = kcOrangeColor();
    pressed.setAlphaF(0.5f);
    m_background = pressed;
    update();
}

void captureLoginButton::mouseMoveEvent(QMouseEvent *event) {
    event->accept();
}

void captureLoginButton::mouseReleaseEvent(QMouseEvent *event) {
    event->accept();
    if (!isEnabled())
        return;
    m_background = kcOrangeColor();
    update();
    emit clicked(false);
}

void captureLoginButton::paintEvent(QPaintEvent *) {
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    QPainterPath path;
    path.addRoundedRect(QRectF(rect()), 3.0, 3.0);
    painter.fillPath(path, m_background);
    painter.setPen(Qt::white);
    painter.setFont(font());
    painter.drawText(captureLoginButtonCell::titleRectForBounds(QRectF(rect())), Qt::AlignCenter, text());
}

// ---------------------------------------------------------------------------
// KCRotatingImageView

KCRotatingImageView::KCRotatingImageView(const QString &imageName, const QSize &size, QWidget *parent)
    : QWidget(parent), m_imageName(imageName), m_size(size) {
    setFixedSize(size);
    setAttribute(Qt::WA_TranslucentBackground);
}

void KCRotatingImageView::setRotation(double radians) {
    m_rotation = radians;
    update();
}

void KCRotatingImageView::paintEvent(QPaintEvent *) {
    const qreal dpr = devicePixelRatioF();
    if (m_pixmap.isNull() || !qFuzzyCompare(m_pixmap.devicePixelRatio(), dpr))
        m_pixmap = kcImageResource(m_imageName, m_size, dpr);
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    painter.setRenderHint(QPainter::SmoothPixmapTransform);
    // Turn about the centre; positive angles turn counter-clockwise.
    painter.translate(width() / 2.0, height() / 2.0);
    painter.rotate(-m_rotation * 180.0 / M_PI);
    painter.translate(-m_size.width() / 2.0, -m_size.height() / 2.0);
    painter.drawPixmap(0, 0, m_pixmap);
}

// ---------------------------------------------------------------------------
// captureLoginViewController

captureLoginViewController::captureLoginViewController(AppDelegate *delegate, QObject *parent)
    : QObject(parent), m_delegate(delegate) {
    kcInitAppResources();
    auto *window = new QWidget(nullptr, Qt::Window | Qt::FramelessWindowHint);
    window->setAttribute(Qt::WA_TranslucentBackground);
    window->setWindowTitle(tr("KelvraCapture Sign In"));
    window->setWindowIcon(kcIconResource(QStringLiteral("kelvraLogo")));
    m_window = window;
    m_view = new captureLoginView(window);
    auto *windowLayout = new QVBoxLayout(window);
    windowLayout->setContentsMargins(0, 0, 0, 0);
    windowLayout->addWidget(m_view);

    kelvraLogoImage = new KCRotatingImageView(QStringLiteral("kelvraLogo"), QSize(64, 64), m_view);
    auto *title = new QLabel(QStringLiteral("KelvraCapture"), m_view);
    title->setFont(kcRalewayFont(15));
    title->setAlignment(Qt::AlignCenter);
    QPalette titlePalette = title->palette();
    titlePalette.setColor(QPalette::WindowText, kcGrayColor());
    title->setPalette(titlePalette);

    usernameTextfield = new QLineEdit(m_view);
    usernameTextfield->setPlaceholderText(tr("User name"));
    usernameTextfield->setObjectName(QStringLiteral("usernameTextfield"));
    passwordTextfield = new QLineEdit(m_view);
    passwordTextfield->setPlaceholderText(tr("Password"));
    passwordTextfield->setEchoMode(QLineEdit::Password);
    passwordTextfield->setObjectName(QStringLiteral("passwordTextfield"));
    for (QLineEdit *field : {usernameTextfield, passwordTextfield}) {
        field->setFont(kcRalewayFont(13));
        field->setFixedHeight(28);
    }

    loginFailedLabel = new QLabel(m_view);
    loginFailedLabel->setFont(kcRalewayFont(11));
    loginFailedLabel->setAlignment(Qt::AlignCenter);
    loginFailedLabel->setWordWrap(true);
    QPalette failPalette = loginFailedLabel->palette();
    failPalette.setColor(QPalette::WindowText, QColor(0xc0, 0x39, 0x2b));
    loginFailedLabel->setPalette(failPalette);
    QSizePolicy keepPlace = loginFailedLabel->sizePolicy();
    keepPlace.setRetainSizeWhenHidden(true);
    loginFailedLabel->setSizePolicy(keepPlace);
    loginFailedLabel->setMinimumHeight(30);

    loginButton = new captureLoginButton(m_view);
    loginButton->setFixedHeight(30);

    auto *closeButton = new captureButton(m_view);
    closeButton->setText(QStringLiteral("\u00d7"));
    closeButton->setFont(kcRalewayFont(16));
    closeButton->setTitleColor(kcGrayColor());
    closeButton->setFixedSize(22, 22);
    closeButton->setToolTip(tr("Quit KelvraCapture"));
    connect(
        closeButton, &QAbstractButton::clicked, KCPendingUploads::shared(),
        [] { KCPendingUploads::shared()->requestQuit(); }, Qt::QueuedConnection);

    auto *top = new QHBoxLayout;
    top->setContentsMargins(0, 0, 0, 0);
    top->addStretch(1);
    top->addWidget(closeButton);
    auto *layout = new QVBoxLayout(m_view);
    layout->setContentsMargins(24, 6, 24, 22);
    layout->setSpacing(8);
    layout->addLayout(top);
    layout->addWidget(kelvraLogoImage, 0, Qt::AlignHCenter);
    layout->addWidget(title);
    layout->addSpacing(6);
    layout->addWidget(usernameTextfield);
    layout->addWidget(passwordTextfield);
    layout->addWidget(loginFailedLabel);
    layout->addWidget(loginButton);
    window->setFixedSize(240, 330);

    connect(usernameTextfield, &QLineEdit::returnPressed, passwordTextfield,
            [this] { passwordTextfield->setFocus(Qt::OtherFocusReason); });
    viewDidLoad();
}

captureLoginViewController::~captureLoginViewController() {
    if (m_logoutObserver)
        NotificationCenter::defaultCenter().removeObserver(m_logoutObserver);
    for (QVariantAnimation *animation : std::as_const(m_iconAnimations))
        animation->stop();
    mainWindow.reset();
    delete m_window.data();
}

void captureLoginViewController::viewDidLoad() {
    animationShouldStop = false;
    loginFailedLabel->hide();
    connect(passwordTextfield, &QLineEdit::returnPressed, this,
            &captureLoginViewController::loginButtonPressed);
}

void captureLoginViewController::viewWillAppear() {
    connect(loginButton, &QAbstractButton::clicked, this, &captureLoginViewController::loginButtonPressed,
            Qt::UniqueConnection);
    if (m_delegate) {
        const std::optional<QVariantList> accounts =
            m_delegate->backend().accountsForService(KelvraKeychainService);
        if (accounts && !accounts->isEmpty())
            usernameTextfield->setText(accounts->last().toMap().value(QStringLiteral("acct")).toString());
    }
    if (QScreen *screen = QGuiApplication::primaryScreen()) {
        QRect frame = m_window->frameGeometry();
        frame.moveCenter(screen->availableGeometry().center());
        m_window->move(frame.topLeft());
    }
    if (!m_logoutObserver) {
        QPointer<captureLoginViewController> self(this);
        m_logoutObserver = NotificationCenter::defaultCenter().addObserver(
            KCLogoutNotification, DispatchQueue::main(), [self](const Notification &) {
                if (self)
                    self->animateToLoginView();
            });
    }
}

void captureLoginViewController::viewDidLayout() {
    // The logo view turns about its own centre; nothing to anchor.
}

void captureLoginViewController::showWindow() {
    viewWillAppear();
    m_window->show();
    viewDidLayout();
    m_window->raise();
    m_window->activateWindow();
    (usernameTextfield->text().isEmpty() ? usernameTextfield : passwordTextfield)
        ->setFocus(Qt::OtherFocusReason);
}

void captureLoginViewController::setFieldsEnabled(bool enabled) {
    usernameTextfield->setEnabled(enabled);
    passwordTextfield->setEnabled(enabled);
    loginButton->setEnabled(enabled);
}

void captureLoginViewController::loginButtonPressed() {
    if (!loginButton->isEnabled())
        return;
    loginFailedLabel->hide();
    setFieldsEnabled(false);
    startIconAnimation();
    if (!m_delegate)
        return;
    QPointer<captureLoginViewController> self(this);
    m_delegate->loginWithUsername(
        usernameTextfield->text(), passwordTextfield->text(),
        [self] {
            DispatchQueue::main()->async([self] {
                if (!self)
                    return;
                self->passwordTextfield->clear();
                self->animateToPrimaryView();
                self->animationShouldStop = true;
                self->loginFailedLabel->hide();
                self->setFieldsEnabled(true);
                emit self->loginFinished(true);
            });
        },
        [self](const KCError &error) {
            DispatchQueue::main()->async([self, error] {
                if (self)
                    self->loginDidFail(error);
            });
        });
}

void captureLoginViewController::loginDidFail(const KCError &error) {
    animationShouldStop = true;
    if (error.isNull())
        loginFailedLabel->setText(tr("Incorrect user name or password."));
    else
        loginFailedLabel->setText(tr("Could not sign in: %1").arg(error.localizedDescription()));
    loginFailedLabel->show();
    setFieldsEnabled(true);
    passwordTextfield->setFocus(Qt::OtherFocusReason);
    emit loginFinished(false);
}

// ---------------------------------------------------------------------------
// Windows

static QPoint clampedToScreen(const QRect &frame) {
    QScreen *screen = QGuiApplication::screenAt(frame.center());
    if (!screen)
        screen = QGuiApplication::primaryScreen();
    if (!screen)
        return frame.topLeft();
    const QRect area = screen->availableGeometry();
    QPoint p = frame.topLeft();
    p.setX(qBound(area.left(), p.x(), qMax(area.left(), area.right() - frame.width() + 1)));
    p.setY(qBound(area.top(), p.y(), qMax(area.top(), area.bottom() - frame.height() + 1)));
    return p;
}

void captureLoginViewController::animateToPrimaryView() {
    if (!mainWindow)
        mainWindow = std::make_unique<CaptureMainWindowController>(m_delegate);
    CaptureMainWindow *main = mainWindow->window();
    kcSetViewAlpha(mainWindow->contentView(), 1.0);
    // Tops and left edges line up with the login window.
    const QPoint topLeft = m_window->frameGeometry().topLeft();
    main->move(topLeft);
    main->show();
    main->move(topLeft);
    main->update();
    kcSetViewAlpha(m_view, 0.0);
    // An invisible window would still take clicks (and shows black where no
    // compositor blends it away), so the login window steps aside as well.
    m_window->hide();
    main->raise();
    main->activateWindow();
}

void captureLoginViewController::animateToLoginView() {
    if (mainWindow) {
        CaptureMainWindow *main = mainWindow->window();
        if (main->isVisible()) {
            // Back where the capture window was, which may have been dragged.
            QRect frame = m_window->frameGeometry();
            frame.moveTopLeft(main->frameGeometry().topLeft());
            m_window->move(clampedToScreen(frame));
        }
        kcSetViewAlpha(mainWindow->contentView(), 0.0);
        main->close();
    }
    kcSetViewAlpha(m_view, 1.0);
    m_window->show();
    m_window->raise();
    m_window->activateWindow();
    (usernameTextfield->text().isEmpty() ? usernameTextfield : passwordTextfield)
        ->setFocus(Qt::OtherFocusReason);
}

// ---------------------------------------------------------------------------
// Logo spin

static QEasingCurve caEaseIn() {
    QEasingCurve curve(QEasingCurve::BezierSpline);
    curve.addCubicBezierSegment(QPointF(0.42, 0.0), QPointF(1.0, 1.0), QPointF(1.0, 1.0));
    return curve;
}

static QEasingCurve caEaseOut() {
    QEasingCurve curve(QEasingCurve::BezierSpline);
    curve.addCubicBezierSegment(QPointF(0.0, 0.0), QPointF(0.58, 1.0), QPointF(1.0, 1.0));
    return curve;
}

void captureLoginViewController::addIconTurn(const QString &key, const QEasingCurve &curve,
                                             bool informController) {
    if (QVariantAnimation *previous = m_iconAnimations.take(key)) {
        previous->stop();
        previous->deleteLater();
    }
    auto *animation = new QVariantAnimation(this);
    animation->setStartValue(0.0);
    animation->setEndValue(double(6.2831855f));
    animation->setDuration(kIconTurnMs);
    animation->setEasingCurve(curve);
    connect(animation, &QVariantAnimation::valueChanged, kelvraLogoImage,
            [this](const QVariant &value) { kelvraLogoImage->setRotation(value.toDouble()); });
    connect(animation, &QAbstractAnimation::finished, this, [this, key, animation, informController] {
        if (m_iconAnimations.value(key) == animation)
            m_iconAnimations.remove(key);
        animation->deleteLater();
        kelvraLogoImage->setRotation(0.0);
        if (informController)
            animationDidStop(true);
    });
    m_iconAnimations.insert(key, animation);
    iconAnimationLog.append(key);
    animation->start();
}

void captureLoginViewController::startIconAnimation() {
    // A new sign-in takes over the logo from a turn that is still finishing.
    for (auto it = m_iconAnimations.begin(); it != m_iconAnimations.end(); it = m_iconAnimations.erase(it)) {
        it.value()->stop();
        it.value()->deleteLater();
    }
    addIconTurn(QStringLiteral("rotateStart"), caEaseIn(), true);
}

void captureLoginViewController::continueIconAnimation() {
    addIconTurn(QStringLiteral("rotateContinue"), QEasingCurve(QEasingCurve::Linear), true);
}

void captureLoginViewController::finishIconAniamtion() {
    addIconTurn(QStringLiteral("rotateFinish"), caEaseOut(), false);
}

void captureLoginViewController::animationDidStop(bool finished) {
    Q_UNUSED(finished);
    if (!animationShouldStop) {
        continueIconAnimation();
    } else {
        animationShouldStop = false;
        finishIconAniamtion();
    }
}
