#pragma once
// ViewController: the capture panel. At rest a 52 by 52 capture button; it
// runs the overlay and the window capture, spins its icon while recognition
// works, grows to a 200 by 119 card with the proposed patient (200 by 360
// with the searchable table), and files the accepted capture through the
// upload queue, which keeps every record until its service acknowledged it.

#include "capture/capture_window.h"
#include "capture/identification/card_decision.h"
#include "capture/outbox/upload_queue.h"
#include "capture/panel/capture_controls.h"
#include "capture/panel/panel_session.h"
#include "capture/screenshot_view.h"
#include "capture/window_capture.h"

#include <QElapsedTimer>
#include <QImage>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QPointer>
#include <QVariantAnimation>
#include <QVariantMap>
#include <QWidget>

#include <optional>

class MainThreadStallWatch;

// "name CONTAINS[cd] text": ignoring case and diacritics.
bool nameContainsIgnoringCaseAndDiacritics(const QString &name, const QString &text);

class ViewController : public QWidget, public captureMainButtonDelegate, public screenShotDelegate {
    Q_OBJECT
public:
    // `session` (not owned; may be null: nobody signed in) gives the patient
    // list and the signed-in user.
    ViewController(CaptureMainWindow *window, CapturePanelSession *session, QWidget *parent = nullptr);
    ~ViewController() override;

    // State (main thread).
    bool snapshotMode = false;
    bool shouldCancelSnapshot = false;
    bool captureAllowed = true;
    bool shouldFinishIconAniamtion = false;
    bool patientListTableShown = false;
    bool moveBacktoOriginalPosition = false;
    QRect originalFrame;
    double startingWidthConstraint = 52;
    double startingHeightConstraint = 52;
    QImage screenshot;
    std::optional<QVariantMap> matchedPatient;
    QVariantList filteredDataSource;
    QPointer<captureWindow> snapshotWindow;
    QPointer<screenshotView> snapshotView;

    // Views.
    captureMainView *mainView = nullptr;
    captureMainButton *captureButton = nullptr;
    QLabel *buttonImage = nullptr;
    QWidget *buttonView = nullptr;
    QWidget *patientInfoView = nullptr;
    QLabel *patientProfileImageView = nullptr;
    QLabel *patientNameLabel = nullptr;
    QLabel *patientDOBLabel = nullptr;
    QLabel *patientExamRoomLabel = nullptr;
    QLabel *identificationLabel = nullptr; // "DOB on screen ✓" / "DOB not on screen"
    QLabel *textSourceLabel = nullptr;     // "text from the page" / "text recognised"
    QLabel *screnshotPreview = nullptr;
    QLineEdit *imageCaptionTextField = nullptr;
    QLabel *successImageView = nullptr;
    ::captureButton *cancelButton = nullptr;
    ::captureButton *acceptButton = nullptr;
    ::captureButton *otherButton = nullptr;
    QPointer<QLineEdit> filterPatientTextField;
    QPointer<QListWidget> patientListTableView;
    QLabel *pendingBadge = nullptr;
    // Shown on the card when Accept could not store the capture.
    QWidget *acceptErrorView = nullptr;
    QLabel *acceptErrorLabel = nullptr;
    ::captureButton *saveImageButton = nullptr;
    // Asks where to save the image ("" to cancel); a file dialog unless set.
    std::function<QString()> chooseImagePath;

    double widthConstraint() const { return m_width; }
    double heightConstraint() const { return m_height; }
    DocumentationUploadQueue *uploadQueue() const { return m_uploads; }

    // Overlay.
    void setSnapshotForCurrentPosition();
    // Capture button.
    void snapshotButtonPressedDown() override;
    void snapshotButtonDragged() override;
    void snapshotButtonPressedUp() override;
    void progActivateScreenshot();
    void detectIfClick();
    void programaticallyCancelSnapshot();
    void snapImage();
    void cancelSnapshot() override;
    // Window capture.
    void screenCaptureRectangleFinished(const QRectF &rect) override;
    void captureDidFinish(const std::optional<ScreenText> &screen);
    // The top of the window was read first: a patient proposed by name with
    // the date of birth on screen shows at once, Accept waiting for the
    // whole text to confirm the patient.
    void topOfWindowRead(const ScreenText &top, qint64 elapsedMs);
    // Card.
    void showMatchedPatientView();
    void showPatientTableView();
    void showPatientDetails();
    void animateToStart();
    void animateToSuccess();
    void setButtonStateHidden(bool hidden);
    void startIconAnimation();
    void continueIconAnimation();
    void finishIconAnimation();
    void cancelButtonPressed();
    void otherButtonPressed();
    void acceptButtonPressed();
    void controlTextDidChange();
    int numberOfRowsInTableView() const;
    int heightOfRow(int row) const;
    QWidget *rowViewForRow(int row) const; // a new row view, owned by the caller
    void tableViewSelectionDidChange();
    void uploadImage(const QImage &image, const QVariant &patientID, const QVariant &interactionID,
                     const QString &note);
    void uploadimageToEMR();
    // Accept could not store the capture: the card stays with `message` and
    // "Save image…"; nothing is sent.
    void showAcceptError(const QString &message);
    void hideAcceptError();
    // Writes the captured image where the user chooses; false when not saved.
    bool saveImageFromCard();

    // The last capture's timings (for measurements).
    CaptureTimings lastTimings;
    qint64 lastReleaseToCardMs = -1;
    qint64 lastMatchingMs = -1;

signals:
    void cardShown();
    void captureReturnedToRest();

protected:
    void showEvent(QShowEvent *event) override;
    void hideEvent(QHideEvent *event) override;

private:
    void animateSize(double width, double height, std::function<void()> done);
    void animateAlpha(QWidget *view, double alpha);
    void spin(QEasingCurve curve, std::function<void()> done);
    void fillPatient(const QVariantMap &patient, bool formatDOB);
    void showCheck(const CardDecision &card);
    void openOnPatientTable(const CardDecision &card);
    // The decision of the capture in progress (made at its start; for one
    // shown without a capture, from today's list).
    CardDecider &decider();
    QPixmap profileImageFor(const QVariantMap &patient) const;
    void reloadTable();
    void moveWindowAnimated(const QPoint &topLeft);
    void showOverlay(const QImage &backdrop, const QImage &veiled = QImage());
    // Reports the card (and emits cardShown) once it is up and settled.
    void reportCardShown();
    // Wayland: one picture of the screens first, then the overlay over it
    // (frozen_selection.cpp).
    void freezeScreenThenSelect(std::shared_ptr<WindowServer> server, quint64 selection);
    void applySize();
    void updateBadge(int pending, int failed);
    void observeWindowActivation(bool on);
    bool activationStartsCapture(QWindow *focus) const;
    void bringPanelToFront();
    QRect panelScreenFrame() const;
    void observeCommands(bool on);
    bool signedIn() const;
    QVariantList patients() const;

    CaptureMainWindow *m_window = nullptr;
    QPointer<CapturePanelSession> m_session;
    DocumentationUploadQueue *m_uploads = nullptr;
    QList<DocumentationUploadQueue::NewRecord> m_acceptRecords; // built by one Accept
    bool m_storingAccept = false;                               // an Accept's capture is being stored
    void makeAcceptErrorView();
    double m_width = 52, m_height = 52;
    double m_iconAngle = 0;
    QMetaObject::Connection m_activationWatch;
    quint64 m_escapeToken = 0, m_commandToken = 0;
    QElapsedTimer m_releaseClock;
    QElapsedTimer m_clickClock; // from the start of a selection to its overlay
    QElapsedTimer m_ownActivation;
    quint64 m_selectionGeneration = 0; // counts selections started and cancelled
    quint64 m_captureGeneration = 0;   // counts captures started and cards closed
    // A card shown from the top of the window: Accept waits for the whole text.
    bool m_cardShownEarly = false;
    bool m_awaitingWholeText = false;
    bool m_cardAnimating = false;
    bool m_cardReported = false; // the card on screen was reported (cardShown)
    bool m_buttonHeld = false;   // between the capture button's press and release
    static constexpr qint64 kOwnActivationMs = 1000;
    static constexpr int kAnimationMs = 500;  // every change of the panel's size and alpha
    static constexpr int kWindowMoveMs = 200; // the window's move away from the screen edge and back
    static constexpr int kIconTurnMs = 4000;  // one turn of the icon
    static constexpr int kFlyAwayMs = 800;    // the selection flying into the button
    QPointer<QVariantAnimation> m_sizeAnimation;
    QPointer<QVariantAnimation> m_flyAway;
    MainThreadStallWatch *m_stallWatch = nullptr;
    std::unique_ptr<CardDecider> m_decider;
    QString m_identificationReason;
    // Recognition engines loaded ahead of time (from the panel's start on).
    std::shared_ptr<TextRecognizer> m_recognizer;
};
