#include "capture/panel/capture_controls.h"

#include "capture/panel/style.h"
#include "platform/core/notification_center.h"

#include <QAction>
#include <QApplication>
#include <QContextMenuEvent>
#include <QHBoxLayout>
#include <QKeyEvent>
#include <QLabel>
#include <QMenu>
#include <QMouseEvent>
#include <QPainter>
#include <QPainterPath>
#include <QVBoxLayout>

// ---------------------------------------------------------------------------
// CaptureMainWindow

CaptureWindowKeyAction kcCaptureWindowKeyAction(int key, Qt::KeyboardModifiers modifiers,
                                                const QString &text) {
    if (modifiers & (Qt::ShiftModifier | Qt::MetaModifier)) {
        // The characters of the key ignoring every modifier but Shift. For
        // letters they follow from the key and Shift alone (the event's text
        // may have been changed by other modifiers or the keyboard state).
        QString characters = text;
        if (key >= Qt::Key_A && key <= Qt::Key_Z) {
            const QChar letter = QLatin1Char(char('a' + (key - Qt::Key_A)));
            characters = (modifiers & Qt::ShiftModifier) ? letter.toUpper() : letter;
        }
        if (characters == QLatin1String("M"))
            return CaptureWindowKeyAction::SnapshotCommand;
    }
    if (key == Qt::Key_Escape)
        return CaptureWindowKeyAction::Escape;
    return CaptureWindowKeyAction::PassOn;
}

CaptureMainWindow::CaptureMainWindow(const QRect &contentRect, QWidget *parent)
    : QWidget(parent, Qt::Window | Qt::FramelessWindowHint | Qt::WindowStaysOnTopHint) {
    setAttribute(Qt::WA_TranslucentBackground);
    setAutoFillBackground(false);
    setWindowOpacity(1.0);
    setFocusPolicy(Qt::StrongFocus);
    setWindowTitle(QStringLiteral("KelvraCapture"));
    setWindowIcon(kcIconResource(QStringLiteral("kelvraLogo")));
    if (contentRect.isValid())
        setGeometry(contentRect);
}

void CaptureMainWindow::setContextMenuActions(const QList<QAction *> &actions) {
    m_contextActions.clear();
    for (QAction *a : actions)
        m_contextActions.append(a);
}

QList<QAction *> CaptureMainWindow::contextMenuActions() const {
    QList<QAction *> actions;
    for (const QPointer<QAction> &a : m_contextActions)
        if (a)
            actions.append(a);
    return actions;
}

void CaptureMainWindow::keyPressEvent(QKeyEvent *event) {
    switch (kcCaptureWindowKeyAction(event->key(), event->modifiers(), event->text())) {
    case CaptureWindowKeyAction::SnapshotCommand:
        NotificationCenter::defaultCenter().postNotification(KCSnapshotCommandPressedNotification);
        event->accept();
        return;
    case CaptureWindowKeyAction::Escape:
        NotificationCenter::defaultCenter().postNotification(KCEscapePressedNotification);
        event->accept();
        return;
    case CaptureWindowKeyAction::PassOn:
        passKeyOn(event);
        return;
    }
}

void CaptureMainWindow::passKeyOn(QKeyEvent *event) {
    QWidget::keyPressEvent(event);
}

void CaptureMainWindow::contextMenuEvent(QContextMenuEvent *event) {
    const QList<QAction *> actions = contextMenuActions();
    if (actions.isEmpty()) {
        QWidget::contextMenuEvent(event);
        return;
    }
    QMenu menu(this);
    menu.addActions(actions);
    menu.exec(event->globalPos());
    emit contextMenuClosed();
}

// ---------------------------------------------------------------------------
// captureMainView

captureMainView::captureMainView(QWidget *parent) : QWidget(parent) {
    setAttribute(Qt::WA_TranslucentBackground);
    // Set before the view observes itself: the first restyle is the first
    // change made by the panel.
    m_captureEnabled = false;
    connect(this, &captureMainView::captureEnabledChanged, this, &captureMainView::captureEnabledDidChange);
}

void captureMainView::setCaptureEnabled(bool enabled) {
    m_captureEnabled = enabled;
    emit captureEnabledChanged(enabled);
}

void captureMainView::captureEnabledDidChange(bool enabled) {
    if (enabled)
        setBorder(2.0, kcOrangeColor());
    else
        setBorder(0.5, kcLightGrayColor());
}

void captureMainView::setBorder(qreal width, const QColor &color) {
    m_borderWidth = width;
    m_borderColor = color;
    update();
}

void captureMainView::setBackgroundColor(const QColor &color) {
    m_backgroundColor = color;
    update();
}

void captureMainView::setCornerRadius(qreal radius) {
    m_cornerRadius = radius;
    update();
}

void captureMainView::mousePressEvent(QMouseEvent *event) {
    QWidget::mousePressEvent(event);
    touchDownPoint = event->scenePosition();
    event->accept();
}

void captureMainView::mouseMoveEvent(QMouseEvent *event) {
    QWidget::mouseMoveEvent(event);
    if (!(event->buttons() & Qt::LeftButton))
        return;
    QWidget *w = window();
    w->move((event->globalPosition() - touchDownPoint).toPoint());
    w->update();
    event->accept();
}

static void paintLayer(QWidget *widget, const QColor &background, qreal borderWidth,
                       const QColor &borderColor, qreal cornerRadius) {
    QPainter painter(widget);
    painter.setRenderHint(QPainter::Antialiasing);
    const QRectF bounds = QRectF(widget->rect());
    QPainterPath path;
    path.addRoundedRect(bounds, cornerRadius, cornerRadius);
    painter.fillPath(path, background);
    if (borderWidth > 0.0 && borderColor.alpha() > 0) {
        // The border lies inside the bounds, like a layer's.
        const qreal inset = borderWidth / 2.0;
        QPainterPath border;
        const qreal r = qMax(0.0, cornerRadius - inset);
        border.addRoundedRect(bounds.adjusted(inset, inset, -inset, -inset), r, r);
        painter.strokePath(border, QPen(borderColor, borderWidth));
    }
}

void captureMainView::paintEvent(QPaintEvent *) {
    paintLayer(this, m_backgroundColor, m_borderWidth, m_borderColor, m_cornerRadius);
}

// ---------------------------------------------------------------------------
// captureMainButton

captureMainButton::captureMainButton(QWidget *parent) : QAbstractButton(parent) {
    setFocusPolicy(Qt::NoFocus);
    setIconSize(QSize(28, 28));
}

void captureMainButton::forwardToSuperview(QMouseEvent *event) {
    QWidget *superview = parentWidget();
    if (!superview)
        return;
    QMouseEvent forwarded(event->type(), superview->mapFromGlobal(event->globalPosition()),
                          event->scenePosition(), event->globalPosition(), event->button(), event->buttons(),
                          event->modifiers(), event->pointingDevice());
    QCoreApplication::sendEvent(superview, &forwarded);
}

// Only the primary button captures. Other buttons are left to the views
// below: a right click opens the window's menu (which takes the pointer, so
// the button would never see that release) and a middle click does nothing.
static bool capturesWith(const QMouseEvent *event) {
    return event->button() == Qt::LeftButton;
}

void captureMainButton::mousePressEvent(QMouseEvent *event) {
    if (!capturesWith(event)) {
        event->ignore();
        return;
    }
    m_pressed = true;
    touchDownPoint = event->scenePosition();
    wasDragged = false;
    if (delegate)
        delegate->snapshotButtonPressedDown();
    forwardToSuperview(event);
    event->accept();
}

void captureMainButton::mouseMoveEvent(QMouseEvent *event) {
    if (!m_pressed || !(event->buttons() & Qt::LeftButton))
        return;
    wasDragged = true;
    if (delegate)
        delegate->snapshotButtonDragged();
    // The window follows the pointer, as a drag on its background would.
    forwardToSuperview(event);
    event->accept();
}

void captureMainButton::mouseReleaseEvent(QMouseEvent *event) {
    if (!capturesWith(event) || !m_pressed) {
        event->ignore();
        return;
    }
    m_pressed = false;
    if (delegate)
        delegate->snapshotButtonPressedUp();
    event->accept();
    if (!wasDragged && isEnabled())
        emit clicked(isChecked());
}

void captureMainButton::paintEvent(QPaintEvent *) {
    QPainter painter(this);
    painter.setRenderHint(QPainter::SmoothPixmapTransform);
    if (icon().isNull())
        return;
    const QSize size = iconSize();
    const QRect target(QPoint((width() - size.width()) / 2, (height() - size.height()) / 2), size);
    icon().paint(&painter, target, Qt::AlignCenter, isEnabled() ? QIcon::Normal : QIcon::Disabled);
}

// ---------------------------------------------------------------------------
// captureButton

QRectF captureButtonCell::titleRectForBounds(const QRectF &bounds) {
    return kcButtonTitleRectForBounds(bounds);
}

captureButton::captureButton(QWidget *parent) : QAbstractButton(parent) {
    setFocusPolicy(Qt::NoFocus);
    setFont(kcRalewayFont(11));
}

void captureButton::updateLayer() {
    m_layerBackground = Qt::transparent;
    update();
}

void captureButton::setTitleColor(const QColor &color) {
    m_titleColor = color;
    update();
}

void captureButton::setBorder(qreal width, const QColor &color) {
    m_borderWidth = width;
    m_borderColor = color;
    update();
}

void captureButton::setCornerRadius(qreal radius) {
    m_cornerRadius = radius;
    update();
}

QSize captureButton::sizeHint() const {
    const QFontMetrics fm(font());
    return QSize(fm.horizontalAdvance(text()) + 16, qMax(22, fm.height() + 8));
}

void captureButton::mousePressEvent(QMouseEvent *event) {
    m_layerBackground = QColor::fromRgbF(0.9f, 0.9f, 0.9f, 1.0f);
    update();
    event->accept();
}

void captureButton::mouseMoveEvent(QMouseEvent *event) {
    event->accept();
}

void captureButton::mouseReleaseEvent(QMouseEvent *event) {
    m_layerBackground = Qt::white;
    update();
    event->accept();
    emit clicked(isChecked());
}

void captureButton::changeEvent(QEvent *event) {
    QAbstractButton::changeEvent(event);
    if (event->type() == QEvent::EnabledChange)
        updateLayer();
}

void captureButton::paintEvent(QPaintEvent *) {
    paintLayer(this, m_layerBackground, m_borderWidth, m_borderColor, m_cornerRadius);
    QPainter painter(this);
    painter.setFont(font());
    painter.setPen(m_titleColor);
    painter.drawText(captureButtonCell::titleRectForBounds(QRectF(rect())), Qt::AlignCenter, text());
}

// ---------------------------------------------------------------------------
// QDCapturePatientTableRowView

QDCapturePatientTableRowView::QDCapturePatientTableRowView(QWidget *parent) : QWidget(parent) {
    setObjectName(identifier);
    ptProfileImageView = new QLabel(this);
    ptProfileImageView->setFixedSize(30, 30);
    ptProfileImageView->setScaledContents(true);
    // Texts from the service, never read as markup.
    ptNameLabel = new QLabel(this);
    ptNameLabel->setTextFormat(Qt::PlainText);
    ptNameLabel->setFont(kcRalewayFont(12));
    examRoomNameLabel = new QLabel(this);
    examRoomNameLabel->setTextFormat(Qt::PlainText);
    examRoomNameLabel->setFont(kcRalewayFont(10));
    QPalette grey = examRoomNameLabel->palette();
    grey.setColor(QPalette::WindowText, kcGrayColor());
    examRoomNameLabel->setPalette(grey);
    auto *line = new QWidget(this);
    line->setFixedHeight(1);
    bottomLineView = line;

    auto *texts = new QVBoxLayout;
    texts->setContentsMargins(0, 0, 0, 0);
    texts->setSpacing(0);
    texts->addWidget(ptNameLabel);
    texts->addWidget(examRoomNameLabel);
    auto *row = new QHBoxLayout;
    row->setContentsMargins(6, 4, 6, 4);
    row->setSpacing(8);
    row->addWidget(ptProfileImageView);
    row->addLayout(texts, 1);
    auto *outer = new QVBoxLayout(this);
    outer->setContentsMargins(0, 0, 0, 0);
    outer->setSpacing(0);
    outer->addLayout(row, 1);
    outer->addWidget(line);
}

void QDCapturePatientTableRowView::paintEvent(QPaintEvent *event) {
    QWidget::paintEvent(event);
    if (!bottomLineView)
        return;
    const QColor separator = QColor::fromRgbF(0.0f, 0.0f, 0.0f, 0.07f);
    if (bottomLineView->autoFillBackground() &&
        bottomLineView->palette().color(QPalette::Window) == separator)
        return;
    QPalette palette = bottomLineView->palette();
    palette.setColor(QPalette::Window, separator);
    bottomLineView->setPalette(palette);
    bottomLineView->setAutoFillBackground(true);
}
