#include "capture/panel/view_controller.h"

#include "capture/documentation_upload.h"
#include "capture/identification/patient_identification.h"
#include "capture/outbox/outbox_lock.h"
#include "capture/outbox/upload_senders.h"
#include "capture/panel/card_placement.h"
#include "capture/panel/frozen_selection.h"
#include "capture/panel/style.h"
#include "capture/patient_matching.h"
#include "capture/screen_coordinates.h"
#include "capture/string_score.h"
#include "capture/text_recognizer.h"
#include "emr/emr_api_client.h"
#include "platform/accessibility/accessibility_reader.h"
#include "platform/core/notification_center.h"
#include "platform/windowserver/window_server.h"

#include <QApplication>
#include <QCursor>
#include <QDir>
#include <QGuiApplication>
#include <QPainter>
#include <QParallelAnimationGroup>
#include <QScreen>
#include <QStandardPaths>
#include <QThreadPool>
#include <QTimer>
#include <QVBoxLayout>
#include <QWindow>

#include <cmath>
#include <cstdio>

// With KELVRA_REPORT_CAPTURE set, the panel tells on stderr what each capture
// proposed and how long it took (for scripted runs and measurements).
static bool reportingCaptures() {
    static const bool enabled = qEnvironmentVariableIsSet("KELVRA_REPORT_CAPTURE");
    return enabled;
}

static void reportCapture(const QString &line) {
    if (!reportingCaptures())
        return;
    std::fprintf(stderr, "kelvra-capture: %s\n", line.toUtf8().constData());
    std::fflush(stderr);
}

// A patient as the report names it: by ids only, never by name (the report
// may end up in logs that are not meant to hold patient data).
static QString reportedPatient(const QVariantMap &patient) {
    auto id = [](const QVariant &v) {
        const QString text = v.toString();
        return text.isEmpty() ? QStringLiteral("-") : text;
    };
    return QStringLiteral("%1 interaction %2")
        .arg(id(patient.value("kelvraID")), id(patient.value("interaction_id")));
}

static QString timingsText(const CaptureTimings &t, qint64 matching, const QString &longestStall) {
    const RecognitionTimings &r = t.recognitionSteps;
    return QStringLiteral(
               "selection capture %1 ms, window capture %2 ms, page text %13 ms (%14), enlarge %3 ms, "
               "recognition %4 ms "
               "(encode %5 ms, decode %6 ms, engine start %7 ms, reading %8 ms, top band %12 ms), "
               "matching %9 ms, capture total %10 ms; longest main-thread stall %11")
        .arg(t.selectionCapture)
        .arg(t.windowCapture)
        .arg(t.enlarge)
        .arg(t.recognition)
        .arg(r.encode)
        .arg(r.decode)
        .arg(r.engineStart)
        .arg(r.recognition)
        .arg(matching)
        .arg(t.total)
        .arg(longestStall)
        .arg(t.topBand)
        .arg(t.pageText)
        .arg(t.pageTextStatus.isEmpty() ? QStringLiteral("not asked") : t.pageTextStatus);
}

// Measures, while running, the longest time the main thread's event loop did
// not get round to a 5 ms timer: the longest stall the user could notice.
class MainThreadStallWatch : public QObject {
public:
    explicit MainThreadStallWatch(QObject *parent) : QObject(parent) {
        m_timer.setTimerType(Qt::PreciseTimer);
        m_timer.setInterval(kTickMs);
        connect(&m_timer, &QTimer::timeout, this, [this] {
            const qint64 stall = m_sinceTick.restart() - kTickMs;
            if (stall > m_longest) {
                m_longest = stall;
                m_longestEnd = m_sinceStart.elapsed();
            }
        });
    }
    void start() {
        m_longest = 0;
        m_longestEnd = 0;
        m_sinceStart.start();
        m_sinceTick.start();
        m_timer.start();
    }
    // The longest stall and when it ended, counted from the start.
    QString describe() const {
        if (!m_timer.isActive())
            return QStringLiteral("-1 ms");
        const qint64 current = m_sinceTick.elapsed() - kTickMs;
        return current > m_longest
                   ? QStringLiteral("%1 ms, now").arg(current)
                   : QStringLiteral("%1 ms, ending %2 ms after the click").arg(m_longest).arg(m_longestEnd);
    }
    void stop() { m_timer.stop(); }

private:
    static constexpr qint64 kTickMs = 5;
    QTimer m_timer;
    QElapsedTimer m_sinceTick, m_sinceStart;
    qint64 m_longest = 0, m_longestEnd = 0;
};

bool nameContainsIgnoringCaseAndDiacritics(const QString &name, const QString &text) {
    auto fold = [](const QString &s) {
        QString out;
        for (QChar c : s.normalized(QString::NormalizationForm_D))
            if (c.category() != QChar::Mark_NonSpacing)
                out.append(c);
        return out.toCaseFolded();
    };
    return fold(name).contains(fold(text));
}

static void post(QObject *context, std::function<void()> f) {
    QMetaObject::invokeMethod(context, std::move(f), Qt::QueuedConnection);
}

// An animation owned by `owner` from `from` to `to`, handing each value to
// `step` (in `owner`'s thread, only while it lives). Not started: callers may
// still connect to its end.
static QVariantAnimation *makeAnimation(QObject *owner, const QVariant &from, const QVariant &to, int ms,
                                        QEasingCurve curve, std::function<void(const QVariant &)> step) {
    auto *animation = new QVariantAnimation(owner);
    animation->setStartValue(from);
    animation->setEndValue(to);
    animation->setDuration(ms);
    animation->setEasingCurve(curve);
    QObject::connect(animation, &QVariantAnimation::valueChanged, owner, std::move(step));
    return animation;
}

// A fully transparent view must not take the clicks meant for what lies below
// it (the capture button under the faded card); decorations (the icon on the
// button, the check mark, the badge) never take clicks.
static const char *const kDecoration = "kcDecoration";

static void markAsDecoration(QWidget *view) {
    view->setProperty(kDecoration, true);
    view->setAttribute(Qt::WA_TransparentForMouseEvents);
}

static void setClickThrough(QWidget *view, double alpha) {
    view->setAttribute(Qt::WA_TransparentForMouseEvents,
                       alpha <= 0.0 || view->property(kDecoration).toBool());
}

namespace {
// An image view inside a view that fades as a whole (the card's patient
// block) fades by painting, not by a second opacity effect: Qt cannot paint
// nested widget effects.
class FadingImageView : public QLabel {
public:
    using QLabel::QLabel;
    double alpha() const { return m_alpha; }
    void setAlpha(double alpha) {
        m_alpha = alpha;
        update();
    }

protected:
    void paintEvent(QPaintEvent *) override {
        const QPixmap image = pixmap();
        if (image.isNull() || m_alpha <= 0)
            return;
        QPainter painter(this);
        painter.setOpacity(m_alpha);
        painter.setRenderHint(QPainter::SmoothPixmapTransform);
        painter.drawPixmap(contentsRect(), image);
    }

private:
    double m_alpha = 1;
};
} // namespace

// Paints `view` at `alpha` without changing whether it takes clicks.
static void applyAlpha(QWidget *view, double alpha) {
    if (auto *fading = dynamic_cast<FadingImageView *>(view))
        fading->setAlpha(alpha);
    else
        kcSetViewAlpha(view, alpha);
}

static double currentAlpha(const QWidget *view) {
    if (auto *fading = dynamic_cast<const FadingImageView *>(view))
        return fading->alpha();
    return kcViewAlpha(view);
}

static void setAlpha(QWidget *view, double alpha) {
    applyAlpha(view, alpha);
    setClickThrough(view, alpha);
}

// Accept is orange while it files for a patient, grey while none is chosen.
static void enableAccept(captureButton *accept, bool enabled) {
    accept->setEnabled(enabled);
    accept->setTitleColor(enabled ? QColor(255, 165, 0) : QColor(211, 211, 211));
}

ViewController::ViewController(CaptureMainWindow *window, CapturePanelSession *session, QWidget *parent)
    : QWidget(parent), m_window(window), m_session(session) {
    mainView = new captureMainView(this);
    mainView->setBackgroundColor(Qt::white);
    mainView->setBorder(0.5, QColor(211, 211, 211));
    mainView->setCornerRadius(4);

    captureButton = new captureMainButton(mainView);
    captureButton->setGeometry(0, 0, 52, 52);
    captureButton->delegate = this;
    buttonImage = new QLabel(mainView);
    buttonImage->setGeometry(11, 11, 30, 30);
    markAsDecoration(buttonImage);
    buttonImage->setStyleSheet(QStringLiteral("background: white"));

    patientInfoView = new QWidget(mainView);
    patientInfoView->setGeometry(0, 0, 200, 90);
    patientProfileImageView = new FadingImageView(patientInfoView);
    patientProfileImageView->setGeometry(6, 6, 40, 40);
    patientProfileImageView->setScaledContents(true);
    // Names and rooms come from the service: shown as they are, never read
    // as markup.
    patientNameLabel = new QLabel(patientInfoView);
    patientNameLabel->setTextFormat(Qt::PlainText);
    patientNameLabel->setGeometry(52, 4, 144, 16);
    patientNameLabel->setFont(kcRalewayFont(12));
    patientDOBLabel = new QLabel(patientInfoView);
    patientDOBLabel->setTextFormat(Qt::PlainText);
    patientDOBLabel->setGeometry(52, 20, 144, 14);
    patientDOBLabel->setFont(kcRalewayFont(10));
    patientExamRoomLabel = new QLabel(patientInfoView);
    patientExamRoomLabel->setTextFormat(Qt::PlainText);
    patientExamRoomLabel->setGeometry(52, 34, 144, 14);
    patientExamRoomLabel->setFont(kcRalewayFont(10));
    identificationLabel = new QLabel(patientInfoView);
    identificationLabel->setGeometry(52, 46, 144, 13);
    identificationLabel->setFont(kcRalewayFont(9));
    textSourceLabel = new QLabel(patientInfoView);
    textSourceLabel->setGeometry(52, 58, 144, 11);
    textSourceLabel->setFont(kcRalewayFont(8));
    textSourceLabel->setStyleSheet(QStringLiteral("color: #6b7785"));
    screnshotPreview = new QLabel(patientInfoView);
    screnshotPreview->setGeometry(6, 50, 40, 36);
    screnshotPreview->setScaledContents(true);
    imageCaptionTextField = new QLineEdit(patientInfoView);
    imageCaptionTextField->setGeometry(52, 69, 144, 20);
    imageCaptionTextField->setPlaceholderText(KCOptionalImageCaption);
    setAlpha(patientInfoView, 0);

    successImageView = new QLabel(mainView);
    successImageView->setGeometry(76, 2, 48, 48);
    successImageView->setPixmap(QIcon(QStringLiteral(":/kelvra/successImage.svg")).pixmap(48, 48));
    markAsDecoration(successImageView);
    setAlpha(successImageView, 0);

    buttonView = new QWidget(mainView);
    buttonView->setGeometry(0, 90, 200, 29);
    auto *row = new QHBoxLayout(buttonView);
    row->setContentsMargins(0, 0, 0, 0);
    row->setSpacing(0);
    auto makeButton = [&](const QString &title, const QColor &colour, void (ViewController::*action)()) {
        auto *b = new ::captureButton(buttonView);
        b->setText(title);
        b->setFont(kcRalewayFont(11));
        b->setTitleColor(colour);
        b->setBorder(0.5, QColor(211, 211, 211));
        connect(b, &QAbstractButton::clicked, this, action);
        row->addWidget(b);
        return b;
    };
    cancelButton = makeButton(QStringLiteral("Cancel"), Qt::gray, &ViewController::cancelButtonPressed);
    acceptButton =
        makeButton(QStringLiteral("Accept"), QColor(255, 165, 0), &ViewController::acceptButtonPressed);
    otherButton =
        makeButton(QStringLiteral("Other"), QColor(211, 211, 211), &ViewController::otherButtonPressed);

    filterPatientTextField = new QLineEdit(mainView);
    filterPatientTextField->setGeometry(4, 123, 192, 24);
    filterPatientTextField->setPlaceholderText(QStringLiteral("Search"));
    connect(filterPatientTextField, &QLineEdit::textChanged, this, &ViewController::controlTextDidChange);
    patientListTableView = new QListWidget(mainView);
    patientListTableView->setGeometry(0, 150, 200, 208);
    // No selection highlight: the card above shows the chosen patient.
    patientListTableView->setStyleSheet(QStringLiteral(
        "QListWidget { show-decoration-selected: 0; }"
        "QListWidget::item:selected, QListWidget::item:hover, QListWidget::item:selected:!active"
        " { background: transparent; border: none; }"));
    patientListTableView->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    connect(patientListTableView, &QListWidget::currentRowChanged, this,
            &ViewController::tableViewSelectionDidChange);

    pendingBadge = new QLabel(mainView);
    pendingBadge->setGeometry(36, 0, 16, 16);
    pendingBadge->setAlignment(Qt::AlignCenter);
    markAsDecoration(pendingBadge);
    pendingBadge->hide();
    makeAcceptErrorView();

    m_stallWatch = new MainThreadStallWatch(this);
    // Closing the window's menu gives the panel the focus back: that is not
    // a request to capture.
    if (m_window)
        connect(m_window, &CaptureMainWindow::contextMenuClosed, this, [this] { m_ownActivation.start(); });
    m_recognizer = std::make_shared<TextRecognizer>();
    // The accessibility bus is joined ahead of the first capture.
    sharedAccessibilityReader();

    // The rest state.
    const QPixmap icon = QIcon(QStringLiteral(":/kelvra/captureIcon.svg")).pixmap(30, 30);
    buttonImage->setPixmap(icon);
    applySize();
    setButtonStateHidden(true);

    m_uploads = new DocumentationUploadQueue(kcPendingUploadsFolder(), this);
    m_uploads->setSender(DocumentationUploadQueue::kClinic, clinicDocumentationSender());
    m_uploads->setSender(DocumentationUploadQueue::kEMR, emrDocumentationSender([session = m_session] {
                             return session ? session->parsedPtArray() : std::nullopt;
                         }));
    m_uploads->setAccountSource([this] { return kcCurrentUploadAccount(signedIn()); });
    kcRetryUploadsWhenReachable(m_uploads);
    if (m_session)
        connect(m_session, &CapturePanelSession::patientListUpdated, m_uploads,
                &DocumentationUploadQueue::accountChanged);
    connect(m_uploads, &DocumentationUploadQueue::pendingChanged, this, &ViewController::updateBadge);
    QTimer::singleShot(0, m_uploads, &DocumentationUploadQueue::resumeStored);

    connect(qApp, &QGuiApplication::screenAdded, this, [this] { setSnapshotForCurrentPosition(); });
    setSnapshotForCurrentPosition();
}

ViewController::~ViewController() {
    observeWindowActivation(false);
    observeCommands(false);
    delete snapshotWindow.data();
}

bool ViewController::signedIn() const {
    return m_session && m_session->loggedIn();
}

QVariantList ViewController::patients() const {
    if (!m_session)
        return {};
    return m_session->parsedPtArray().value_or(QVariantList());
}

void ViewController::applySize() {
    setFixedSize(int(m_width), int(m_height));
    mainView->setGeometry(0, 0, int(m_width), int(m_height));
    if (m_window)
        m_window->resize(int(m_width), int(m_height));
}

void ViewController::updateBadge(int pending, int failed) {
    pendingBadge->setVisible(pending > 0);
    pendingBadge->setText(QString::number(pending));
    pendingBadge->setStyleSheet(
        QStringLiteral("border-radius: 8px; color: white; font-size: 9px; background: %1")
            .arg(failed > 0 ? "#d0342c" : "#f0a000"));
    pendingBadge->setToolTip(failed > 0 ? tr("%n capture(s) not yet filed; retrying", nullptr, pending)
                                        : tr("%n capture(s) being filed", nullptr, pending));
    pendingBadge->raise();
    reportCapture(QStringLiteral("uploads: %1 pending, %2 failed").arg(pending).arg(failed));
}

void ViewController::showEvent(QShowEvent *event) {
    QWidget::showEvent(event);
    // The panel is activated as it appears (after signing in): that is not a
    // request to capture.
    m_ownActivation.start();
    setSnapshotForCurrentPosition();
    observeWindowActivation(true);
    observeCommands(true);
}

void ViewController::hideEvent(QHideEvent *event) {
    QWidget::hideEvent(event);
    observeWindowActivation(false);
    observeCommands(false);
}

void ViewController::observeCommands(bool on) {
    auto &center = NotificationCenter::defaultCenter();
    for (auto token : {m_escapeToken, m_commandToken})
        if (token)
            center.removeObserver(token);
    m_escapeToken = m_commandToken = 0;
    if (!on)
        return;
    QPointer<ViewController> self(this);
    m_escapeToken = center.addObserver(KCEscapePressedNotification, nullptr, [self](const Notification &) {
        if (self)
            self->programaticallyCancelSnapshot();
    });
    m_commandToken =
        center.addObserver(KCSnapshotCommandPressedNotification, nullptr, [self](const Notification &) {
            if (self)
                self->progActivateScreenshot();
        });
}

void ViewController::observeWindowActivation(bool on) {
    if (m_activationWatch)
        disconnect(m_activationWatch);
    m_activationWatch = {};
    if (on) {
        m_activationWatch = connect(qApp, &QGuiApplication::focusWindowChanged, this, [this](QWindow *focus) {
            if (activationStartsCapture(focus))
                detectIfClick();
        });
    }
}

bool ViewController::activationStartsCapture(QWindow *focus) const {
    if (!focus || !m_window || focus != m_window->windowHandle())
        return false;
    // Our own request to bring the panel forward is not the user's.
    if (m_ownActivation.isValid() && m_ownActivation.elapsed() < kOwnActivationMs)
        return false;
    // X delivers a click on the capture button to the button itself, also
    // when the click activates the panel, and the focus can follow the
    // pointer: activation with the pointer over the panel is either that
    // click (the button starts the capture) or a mere hover.
    if (m_window->frameGeometry().contains(QCursor::pos()))
        return false;
    return true;
}

void ViewController::bringPanelToFront() {
    if (!m_window)
        return;
    m_ownActivation.start();
    m_window->raise();
    m_window->activateWindow();
}

QRect ViewController::panelScreenFrame() const {
    QScreen *screen = m_window ? QGuiApplication::screenAt(m_window->geometry().center()) : nullptr;
    if (!screen && m_window && m_window->windowHandle())
        screen = m_window->windowHandle()->screen();
    return screen ? screen->geometry() : QRect();
}

void ViewController::setSnapshotForCurrentPosition() {
    const QRect frame = panelScreenFrame();
    delete snapshotWindow.data();
    snapshotWindow = new captureWindow(frame, 0, 2, false);
    snapshotView = new screenshotView(snapshotWindow->contentView());
    snapshotView->setGeometry(snapshotWindow->contentView()->rect());
    snapshotView->setSsDelegate(this);
    snapshotView->isSignedIn = [this] { return signedIn(); };
    snapshotView->keepsSelection = [this](QWindow *focus) {
        return m_window && m_window->windowHandle() == focus;
    };
}

void ViewController::snapshotButtonPressedDown() {
    m_buttonHeld = true;
    if (snapshotMode) {
        shouldCancelSnapshot = true;
        cancelSnapshot();
    } else if (captureButton->isEnabled()) {
        mainView->setCaptureEnabled(true);
    }
}

void ViewController::snapshotButtonPressedUp() {
    m_buttonHeld = false;
    if (!captureButton->wasDragged && !shouldCancelSnapshot && captureButton->isEnabled() && signedIn()) {
        observeWindowActivation(false);
        post(this, [this] { snapImage(); });
    } else {
        shouldCancelSnapshot = false;
        post(this, [this] { setSnapshotForCurrentPosition(); });
    }
}

void ViewController::snapshotButtonDragged() {
    post(this, [this] { cancelSnapshot(); });
}

void ViewController::progActivateScreenshot() {
    if (!snapshotMode && captureAllowed && signedIn()) {
        mainView->setCaptureEnabled(true);
        snapImage();
    }
}

void ViewController::detectIfClick() {
    progActivateScreenshot();
}

void ViewController::programaticallyCancelSnapshot() {
    post(this, [this] {
        if (snapshotMode) {
            shouldCancelSnapshot = true;
            cancelSnapshot();
        }
    });
}

void ViewController::snapImage() {
    post(this, [this] {
        if (shouldCancelSnapshot) {
            cancelSnapshot();
            shouldCancelSnapshot = false;
            return;
        }
        // The overlay covers the panel's screen: made anew when the panel now
        // stands on another one (moved by the window manager, say).
        if (!snapshotView || !snapshotWindow || snapshotWindow->geometry() != panelScreenFrame())
            setSnapshotForCurrentPosition();
        // A new selection may start while the last one still flies into the
        // button (no patient was proposed): that flight ends here, and does
        // not take the new overlay off the screen when it would have ended.
        if (m_flyAway) {
            delete m_flyAway->parent();
            shouldFinishIconAniamtion = false;
        }
        snapshotMode = true;
        const quint64 selection = ++m_selectionGeneration;
        if (reportingCaptures())
            m_stallWatch->start();
        mainView->setCaptureEnabled(true);
        // Without a compositing manager translucent windows show black: the
        // overlay shows the screen's own picture under its veil instead. The
        // picture is taken off the main thread (a whole screen of pixels);
        // the overlay comes up when it is there.
        std::shared_ptr<WindowServer> server = sharedWindowServer();
        m_clickClock.start();
        if (server && !server->unavailableReason().isEmpty()) {
            showCaptureProblem(server->unavailableReason(), m_window);
            cancelSnapshot();
            return;
        }
        if (server && server->capabilities().testFlag(WindowServerCapability::FrozenPicture)) {
            freezeScreenThenSelect(server, selection);
            return;
        }
        if (!server || server->compositingManagerRunning()) {
            showOverlay(QImage());
            return;
        }
        const QRect pixels = devicePixelRect(snapshotWindow->geometry());
        const quint32 below = quint32(m_window->winId());
        QPointer<ViewController> self(this);
        QThreadPool::globalInstance()->start([self, server, pixels, below, selection] {
            screenshotView::PreparedBackdrop backdrop =
                screenshotView::prepareBackdrop(server->imageOfRectBelow(pixels, below));
            if (!self)
                return;
            QMetaObject::invokeMethod(
                self.data(),
                [self, selection, backdrop = std::move(backdrop)] {
                    // A cancel (or a new selection) in the meantime wins.
                    if (self && self->snapshotMode && self->m_selectionGeneration == selection)
                        self->showOverlay(backdrop.picture, backdrop.veiled);
                },
                Qt::QueuedConnection);
        });
    });
}

void ViewController::showOverlay(const QImage &backdrop, const QImage &veiled) {
    if (!snapshotView || !snapshotWindow)
        return;
    snapshotView->setBackdrop(backdrop, veiled);
    snapshotView->prepareForScreenshot();
    snapshotWindow->makeKeyAndOrderFront();
    reportCapture(QStringLiteral("selecting (click to overlay %1 ms)")
                      .arg(m_clickClock.isValid() ? m_clickClock.elapsed() : -1));
    // The panel floats above the overlay also where no window manager keeps
    // it there.
    m_window->raise();
}

void ViewController::cancelSnapshot() {
    post(this, [this] {
        bringPanelToFront();
        snapshotMode = false;
        ++m_selectionGeneration;
        captureAllowed = true;
        mainView->setCaptureEnabled(false);
        captureButton->setEnabled(true);
        if (snapshotView)
            snapshotView->removeFromAllNotifications();
        if (snapshotWindow)
            snapshotWindow->orderOut();
        // A press on the button that cancelled keeps the flag until its
        // release, which must not start a new selection.
        if (!m_buttonHeld)
            shouldCancelSnapshot = false;
        patientListTableShown = false;
        observeWindowActivation(true);
        m_stallWatch->stop();
        reportCapture(QStringLiteral("capture cancelled; ready"));
        emit captureReturnedToRest();
    });
}

void ViewController::screenCaptureRectangleFinished(const QRectF &rect) {
    if (!snapshotMode)
        return;
    m_releaseClock.start();
    snapshotMode = false;
    mainView->setCaptureEnabled(false);
    captureAllowed = false;
    captureButton->setEnabled(false);
    if (rect.width() < 10 && rect.height() < 10) {
        cancelSnapshot();
        return;
    }
    WindowCaptureRequest request;
    request.selection = rect;
    request.primaryScreenHeight = primaryScreenHeight();
    const QScreen *screen = QGuiApplication::screenAt(
        globalRectFromScreenRect(rect, request.primaryScreenHeight).center().toPoint());
    request.server = sharedWindowServer();
    request.pixelRatio = screen ? screen->devicePixelRatio() : 1.0;
    if (request.server && request.server->capabilities().testFlag(WindowServerCapability::PointCoordinates))
        request.pixelRatio = 1.0;
    request.excludedWindows = {quint32(m_window->winId())};
    if (snapshotWindow && snapshotWindow->isVisible())
        request.excludedWindows.append(quint32(snapshotWindow->winId()));
    request.recognizer = m_recognizer;
    request.accessibility = sharedAccessibilityReader();
    const quint64 capture = ++m_captureGeneration;
    m_cardShownEarly = m_awaitingWholeText = false;
    m_decider = std::make_unique<CardDecider>(patients());
    const QRectF flyRect = snapshotWindow ? snapshotWindow->convertRectFromScreen(rect) : QRectF();
    startWindowCapture(
        request, this,
        {[this, flyRect](const QImage &image) {
             screenshot = image;
             screnshotPreview->setPixmap(QPixmap::fromImage(image));
             // The selection flies into the button, then the icon spins.
             if (!snapshotWindow || !snapshotView || image.isNull()) {
                 if (snapshotWindow)
                     snapshotWindow->orderOut();
                 startIconAnimation();
                 return;
             }
             auto *flying = new QLabel(snapshotView);
             const QRect qtRect(int(flyRect.x()),
                                int(snapshotView->height() - flyRect.y() - flyRect.height()),
                                int(flyRect.width()), int(flyRect.height()));
             flying->setGeometry(qtRect);
             flying->setScaledContents(true);
             flying->setPixmap(QPixmap::fromImage(image));
             flying->show();
             const QPoint target =
                 snapshotView->mapFromGlobal(mainView->mapToGlobal(mainView->rect().center()));
             auto *animation = makeAnimation(
                 flying, 0.0, 1.0, 800, QEasingCurve::Linear, [flying, qtRect, target](const QVariant &v) {
                     const double t = v.toDouble();
                     const double scale = 1.0 - QEasingCurve(QEasingCurve::OutQuad).valueForProgress(t);
                     const double move = QEasingCurve(QEasingCurve::InOutQuad).valueForProgress(t);
                     const QPointF centre =
                         QPointF(qtRect.center()) + (QPointF(target) - QPointF(qtRect.center())) * move;
                     const QSizeF size = QSizeF(qtRect.size()) * scale;
                     flying->setGeometry(
                         QRectF(centre - QPointF(size.width() / 2, size.height() / 2), size).toRect());
                 });
             connect(animation, &QVariantAnimation::finished, this, [this, flying] {
                 flying->deleteLater();
                 if (snapshotWindow)
                     snapshotWindow->orderOut();
                 startIconAnimation();
             });
             m_flyAway = animation;
             animation->start(QAbstractAnimation::DeleteWhenStopped);
         },
         [this, capture](const std::optional<ScreenText> &screen, const CaptureTimings &timings) {
             if (capture != m_captureGeneration)
                 return; // the early card was closed meanwhile
             lastTimings = timings;
             captureDidFinish(screen);
         },
         [this, capture](const ScreenText &top, qint64 elapsedMs) {
             if (capture == m_captureGeneration)
                 topOfWindowRead(top, elapsedMs);
         }});
}

CardDecider &ViewController::decider() {
    if (!m_decider)
        m_decider = std::make_unique<CardDecider>(patients());
    return *m_decider;
}

void ViewController::captureDidFinish(const std::optional<ScreenText> &screen) {
    bringPanelToFront();
    // Which text the decision rests on: the page's own, or recognised.
    textSourceLabel->setText(screen ? textSourceText(screen->source) : QString());
    const bool early = m_cardShownEarly;
    m_cardShownEarly = false;
    QElapsedTimer matching;
    matching.start();
    const CardDecision card = decider().wholeWindowRead(screen);
    lastMatchingMs = matching.elapsed();
    m_identificationReason = identificationReasonText(card.identification.reason);
    if (early && !m_awaitingWholeText) {
        // A patient was chosen meanwhile: the choice stands.
        reportCardShown();
        return;
    }
    m_awaitingWholeText = false;
    if (early && !decider().replacesEarly()) {
        showCheck(card);
        enableAccept(acceptButton, true);
        reportCardShown();
        return;
    }
    if (early) {
        // The rest of the window changes the decision: Accept never filed
        // for the early proposal.
        reportCapture(QStringLiteral("the whole window does not confirm patient %1")
                          .arg(reportedPatient(matchedPatient.value_or(QVariantMap()))));
        matchedPatient.reset();
    }
    switch (card.show) {
    case CardDecision::Show::Patient:
        matchedPatient = decider().patients().at(*card.patient).toMap();
        fillPatient(*matchedPatient, true);
        showCheck(card);
        enableAccept(acceptButton, true);
        showMatchedPatientView();
        return;
    case CardDecision::Show::Table:
        openOnPatientTable(card);
        return;
    case CardDecision::Show::Rest:
        break;
    }
    reportCapture(QStringLiteral("no patient proposed (%1)")
                      .arg(timingsText(lastTimings, lastMatchingMs, m_stallWatch->describe())));
    m_stallWatch->stop();
    mainView->setCaptureEnabled(true);
    captureAllowed = true;
    captureButton->setEnabled(true);
    shouldFinishIconAniamtion = true;
    emit captureReturnedToRest();
}

void ViewController::topOfWindowRead(const ScreenText &top, qint64 elapsedMs) {
    if (m_cardShownEarly)
        return;
    // No card is up: a row the closing table selected on its way out was
    // not chosen for this capture.
    if (m_height == startingHeightConstraint)
        m_decider.reset();
    const std::optional<CardDecision> card = decider().topBandRead(top);
    if (!card)
        return;
    textSourceLabel->setText(textSourceText(top.source));
    bringPanelToFront();
    m_cardShownEarly = m_awaitingWholeText = true;
    m_identificationReason = identificationReasonText(card->identification.reason);
    matchedPatient = decider().patients().at(*card->patient).toMap();
    fillPatient(*matchedPatient, true);
    showCheck(*card);
    enableAccept(acceptButton, false);
    reportCapture(QStringLiteral("card from the top of the window for patient %1 at %2 ms")
                      .arg(reportedPatient(*matchedPatient))
                      .arg(elapsedMs));
    showMatchedPatientView();
}

QPixmap ViewController::profileImageFor(const QVariantMap &patient) const {
    const QImage image =
        m_session ? m_session->downloadedImage(patient.value("profile_image_id").toString()) : QImage();
    if (!image.isNull())
        return QPixmap::fromImage(image);
    return QIcon(QStringLiteral(":/kelvra/profilePlaceholderOrange.svg")).pixmap(80, 80);
}

void ViewController::fillPatient(const QVariantMap &patient, bool formatDOB) {
    patientNameLabel->setText(patient.value("name").toString());
    const QString dob = patient.value("dob").toString();
    patientDOBLabel->setText(formatDOB ? QStringLiteral("DOB: %1").arg(dob) : dob);
    patientProfileImageView->setPixmap(profileImageFor(patient));
    patientExamRoomLabel->setText(patient.value("exam_room_name").toString());
}

void ViewController::showCheck(const CardDecision &card) {
    // One line on the card; the whole of it on hovering.
    identificationLabel->setText(identificationLabel->fontMetrics().elidedText(card.check, Qt::ElideRight,
                                                                               identificationLabel->width()));
    identificationLabel->setToolTip(card.check);
    identificationLabel->setStyleSheet(card.checkPassed ? QStringLiteral("color: #2e7d32")
                                                        : QStringLiteral("color: #b26a00"));
}

void ViewController::openOnPatientTable(const CardDecision &card) {
    matchedPatient.reset();
    const QVariantList &list = decider().patients();
    // A record of someone not on today's list, or marked deceased: who it
    // is for, as the screen names them.
    const PatientIdentification &identification = card.identification;
    const bool notBooked = identification.reason == IdentificationReason::NotBooked;
    if ((notBooked || identification.reason == IdentificationReason::Deceased) && identification.subject) {
        patientNameLabel->setText(identification.subject->name.asRead);
        patientDOBLabel->setText(notBooked ? QStringLiteral("not on today's list \u2014 choose one")
                                           : QStringLiteral("marked deceased \u2014 choose one"));
    } else {
        patientNameLabel->setText(QStringLiteral("No patient recognised"));
        patientDOBLabel->setText(QStringLiteral("\u2014 choose one"));
    }
    patientExamRoomLabel->setText(card.firstRows.isEmpty() ? QString()
                                                           : QStringLiteral("Likely ones listed first"));
    showCheck(card);
    patientProfileImageView->setPixmap(profileImageFor(QVariantMap()));
    enableAccept(acceptButton, false);
    filteredDataSource.clear();
    for (qsizetype i : card.firstRows)
        filteredDataSource << list.at(i);
    for (qsizetype i = 0; i < list.size(); ++i)
        if (!card.firstRows.contains(i))
            filteredDataSource << list.at(i);
    {
        const QSignalBlocker blocker(filterPatientTextField);
        filterPatientTextField->clear();
    }
    reloadTable();
    patientListTableShown = true;
    showMatchedPatientView();
}

void ViewController::animateSize(double width, double height, std::function<void()> done) {
    if (m_sizeAnimation)
        m_sizeAnimation->stop();
    auto *animation = makeAnimation(this, QSizeF(m_width, m_height), QSizeF(width, height), kAnimationMs,
                                    QEasingCurve::InOutQuad, [this](const QVariant &v) {
                                        const QSizeF s = v.toSizeF();
                                        m_width = s.width();
                                        m_height = s.height();
                                        applySize();
                                    });
    connect(animation, &QVariantAnimation::finished, this, [this, width, height, done] {
        m_width = width;
        m_height = height;
        applySize();
        if (done)
            done();
    });
    m_sizeAnimation = animation;
    animation->start(QAbstractAnimation::DeleteWhenStopped);
}

void ViewController::animateAlpha(QWidget *view, double alpha) {
    auto *animation = makeAnimation(view, currentAlpha(view), alpha, kAnimationMs, QEasingCurve::InOutQuad,
                                    [view](const QVariant &v) { applyAlpha(view, v.toDouble()); });
    setClickThrough(view, alpha);
    animation->start(QAbstractAnimation::DeleteWhenStopped);
}

void ViewController::moveWindowAnimated(const QPoint &topLeft) {
    if (!m_window)
        return;
    auto *animation = makeAnimation(this, m_window->pos(), topLeft, kWindowMoveMs, QEasingCurve::InOutQuad,
                                    [this](const QVariant &v) {
                                        if (m_window)
                                            m_window->move(v.toPoint());
                                    });
    animation->start(QAbstractAnimation::DeleteWhenStopped);
}

void ViewController::showMatchedPatientView() {
    if (m_window) {
        // The edge that matters is that of the screen the panel is on.
        QList<QRect> screens;
        for (const QScreen *screen : QGuiApplication::screens())
            screens.append(screen->geometry());
        const QRect frame = m_window->geometry();
        const std::optional<QPoint> moved = kcCardWindowOrigin(frame, kcScreenOfWindow(frame, screens), 200);
        moveBacktoOriginalPosition = moved.has_value();
        if (moved) {
            originalFrame = frame;
            moveWindowAnimated(*moved);
        }
    }
    lastReleaseToCardMs = m_releaseClock.isValid() ? m_releaseClock.elapsed() : -1;
    m_cardAnimating = true;
    m_cardReported = false;
    animateSize(200, patientListTableShown ? 360 : 119, [this] {
        m_cardAnimating = false;
        showPatientDetails();
        setButtonStateHidden(false);
        reportCardShown();
    });
}

void ViewController::reportCardShown() {
    if (m_cardAnimating || m_awaitingWholeText || m_cardReported)
        return; // the card reports once, when it is up and its patient confirmed
    m_cardReported = true;
    if (!matchedPatient) {
        post(this, [this] { filterPatientTextField->setFocus(Qt::OtherFocusReason); });
        reportCapture(QStringLiteral("no patient proposed (%1); the table is open (%2)")
                          .arg(m_identificationReason,
                               timingsText(lastTimings, lastMatchingMs, m_stallWatch->describe())));
        m_stallWatch->stop();
        emit cardShown();
        return;
    }
    const QVariantMap patient = matchedPatient.value_or(QVariantMap());
    reportCapture(QStringLiteral("proposed patient %1; release to card %2 ms (%3)")
                      .arg(reportedPatient(patient))
                      .arg(lastReleaseToCardMs)
                      .arg(timingsText(lastTimings, lastMatchingMs, m_stallWatch->describe())));
    m_stallWatch->stop();
    emit cardShown();
}

void ViewController::showPatientTableView() {
    patientListTableShown = !patientListTableShown;
    animateSize(200, patientListTableShown ? 360 : 119, [this] {
        showPatientDetails();
        setButtonStateHidden(false);
    });
}

void ViewController::showPatientDetails() {
    animateAlpha(patientInfoView, 1);
    animateAlpha(buttonImage, 0);
    QTimer::singleShot(kAnimationMs, this, [this] { shouldFinishIconAniamtion = true; });
}

void ViewController::animateToStart() {
    ++m_captureGeneration;
    m_cardShownEarly = m_awaitingWholeText = false;
    m_decider.reset();
    hideAcceptError();
    setButtonStateHidden(true);
    animateAlpha(patientInfoView, 0);
    animateAlpha(successImageView, 0);
    animateAlpha(buttonImage, 1);
    animateSize(startingWidthConstraint, startingHeightConstraint, [this] {
        if (moveBacktoOriginalPosition) {
            moveBacktoOriginalPosition = false;
            moveWindowAnimated(originalFrame.topLeft());
        }
        captureButton->setEnabled(true);
        captureAllowed = true;
        // The table closed with the card: the next "Other" opens it again.
        patientListTableShown = false;
        setAlpha(patientProfileImageView, 1);
        post(this, [this] { imageCaptionTextField->setText(QString("")); });
        reportCapture(QStringLiteral("ready"));
        emit captureReturnedToRest();
    });
}

void ViewController::animateToSuccess() {
    animateAlpha(patientProfileImageView, 0);
    animateAlpha(successImageView, 1);
    animateSize(m_width, startingHeightConstraint,
                [this] { QTimer::singleShot(1000, this, [this] { animateToStart(); }); });
}

void ViewController::setButtonStateHidden(bool hidden) {
    post(this, [this, hidden] {
        buttonView->setHidden(hidden);
        filterPatientTextField->setHidden(hidden || !patientListTableShown);
        patientListTableView->setHidden(hidden || !patientListTableShown);
    });
}

void ViewController::spin(QEasingCurve curve, std::function<void()> done) {
    const QPixmap icon = QIcon(QStringLiteral(":/kelvra/captureIcon.svg")).pixmap(30, 30);
    auto *animation = makeAnimation(this, 0.0, 360.0, kIconTurnMs, curve, [this, icon](const QVariant &v) {
        QPixmap turned(icon.size());
        turned.fill(Qt::white);
        QPainter p(&turned);
        p.setRenderHint(QPainter::SmoothPixmapTransform);
        p.translate(turned.width() / 2.0, turned.height() / 2.0);
        p.rotate(m_iconAngle + v.toDouble());
        p.translate(-turned.width() / 2.0, -turned.height() / 2.0);
        p.drawPixmap(0, 0, icon);
        p.end();
        buttonImage->setPixmap(turned);
    });
    connect(animation, &QVariantAnimation::finished, this, std::move(done));
    m_iconAngle = std::fmod(m_iconAngle + 90.0, 360.0);
    animation->start(QAbstractAnimation::DeleteWhenStopped);
}

void ViewController::startIconAnimation() {
    spin(QEasingCurve::InQuad,
         [this] { shouldFinishIconAniamtion ? finishIconAnimation() : continueIconAnimation(); });
}

void ViewController::continueIconAnimation() {
    spin(QEasingCurve::Linear,
         [this] { shouldFinishIconAniamtion ? finishIconAnimation() : continueIconAnimation(); });
}

void ViewController::finishIconAnimation() {
    spin(QEasingCurve::OutQuad, [this] {
        shouldFinishIconAniamtion = false;
        mainView->setCaptureEnabled(false);
    });
}

void ViewController::cancelButtonPressed() {
    animateToStart();
}

void ViewController::otherButtonPressed() {
    filteredDataSource = patients();
    reloadTable();
    showPatientTableView();
}

void ViewController::acceptButtonPressed() {
    if (!matchedPatient || m_awaitingWholeText || m_storingAccept)
        return; // nobody proposed or chosen yet, the proposal not yet confirmed, or stored right now
    const QVariantMap patient = matchedPatient.value_or(QVariantMap());
    reportCapture(QStringLiteral("accepted for patient %1").arg(reportedPatient(patient)));
    m_acceptRecords.clear();
    uploadImage(screenshot, patient.value("kelvraID"), patient.value("interaction_id"),
                imageCaptionTextField->text());
    uploadimageToEMR();
    if (m_acceptRecords.isEmpty()) {
        hideAcceptError();
        animateToSuccess();
        return;
    }
    // Success only once the capture is safely on disk; the card's buttons
    // wait meanwhile (the image is encoded and stored in the background).
    m_storingAccept = true;
    buttonView->setEnabled(false);
    const quint64 generation = m_captureGeneration;
    m_uploads->enqueueCapture(screenshot, m_acceptRecords, [this, generation](const QString &error) {
        m_storingAccept = false;
        buttonView->setEnabled(true);
        if (!error.isEmpty()) {
            reportCapture(QStringLiteral("accept failed: %1").arg(error));
            showAcceptError(error);
            return;
        }
        if (generation != m_captureGeneration)
            return; // the card closed meanwhile
        hideAcceptError();
        animateToSuccess();
    });
}

void ViewController::uploadImage(const QImage &image, const QVariant &patientID,
                                 const QVariant &interactionID, const QString &note) {
    Q_UNUSED(patientID);
    if (image.isNull())
        return;
    const QString user = m_session ? m_session->userID() : QString();
    m_acceptRecords.append(
        {DocumentationUploadQueue::kClinic,
         clinicDocumentationRecord(interactionID, note, user.isEmpty() ? QVariant() : user)});
}

void ViewController::uploadimageToEMR() {
    if (!matchedPatient || screenshot.isNull())
        return;
    const std::shared_ptr<EMRAPIDelegate> emr = EMRAPIClient::sharedEMRAPIClient().delegate();
    if (!emr || !emr->respondsToFileDocument())
        return;
    m_acceptRecords.append({DocumentationUploadQueue::kEMR,
                            emrDocumentationRecord(*matchedPatient, imageCaptionTextField->text()),
                            *matchedPatient});
}

void ViewController::controlTextDidChange() {
    const QString t = filterPatientTextField->text();
    const QVariantList all = patients();
    if (t.isEmpty()) {
        filteredDataSource = all;
    } else {
        filteredDataSource.clear();
        for (const QVariant &p : all)
            if (nameContainsIgnoringCaseAndDiacritics(p.toMap().value("name").toString(), t))
                filteredDataSource.append(p);
    }
    reloadTable();
}

int ViewController::numberOfRowsInTableView() const {
    return int(filteredDataSource.size());
}

int ViewController::heightOfRow(int) const {
    return 40;
}

QWidget *ViewController::rowViewForRow(int row) const {
    const QVariantMap patient = filteredDataSource.value(row).toMap();
    auto *rowView = new QDCapturePatientTableRowView;
    rowView->setObjectName(QDCapturePatientTableRowView::identifier);
    rowView->ptNameLabel->setText(patient.value("name").toString());
    // Two identifiers on every row: the date of birth first, where a long
    // room name cannot push it out of the narrow row, then the room.
    const QString room = patient.value("exam_room_name").toString();
    const QString dob = patient.value("dob").toString();
    rowView->examRoomNameLabel->setText(dob.isEmpty()    ? room
                                        : room.isEmpty() ? QStringLiteral("DOB %1").arg(dob)
                                                         : QStringLiteral("DOB %1 \u00b7 %2").arg(dob, room));
    rowView->ptProfileImageView->setPixmap(profileImageFor(patient));
    return rowView;
}

void ViewController::reloadTable() {
    const QSignalBlocker blocker(patientListTableView);
    patientListTableView->clear();
    for (int row = 0; row < numberOfRowsInTableView(); ++row) {
        auto *item = new QListWidgetItem(patientListTableView);
        item->setSizeHint(QSize(200, heightOfRow(row)));
        patientListTableView->setItemWidget(item, rowViewForRow(row));
    }
}

void ViewController::tableViewSelectionDidChange() {
    const int row = patientListTableView->currentRow();
    if (row < 0 || row >= filteredDataSource.size())
        return;
    const QVariantMap patient = filteredDataSource.at(row).toMap();
    fillPatient(patient, false);
    showCheck(decider().chosen(patient));
    enableAccept(acceptButton, true);
    matchedPatient = patient;
    // The clinician's choice stands, whatever the rest of the window says.
    m_awaitingWholeText = false;
    reportCapture(QStringLiteral("chosen patient %1").arg(reportedPatient(patient)));
}
