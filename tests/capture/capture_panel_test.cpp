// The capture panel without a signed-in session: the click threshold, the
// return to rest, the search predicate and the records of an Accept.
#include "capture/panel/view_controller.h"

#include "app/app_delegate.h"
#include "tests/app/fake_backend.h"
#include "tests/support/qt_wait.h"

#include <QCursor>
#include <QGuiApplication>
#include <QScreen>
#include <QWindow>

#include <QDir>
#include <QFile>
#include <QStandardPaths>
#include <QTemporaryDir>

#include <gtest/gtest.h>

namespace {

TEST(PatientSearch, ContainsIgnoringCaseAndDiacritics) {
    EXPECT_TRUE(nameContainsIgnoringCaseAndDiacritics("Anna Smith", "smi"));
    EXPECT_TRUE(nameContainsIgnoringCaseAndDiacritics("JOHN SMITH", "smi"));
    EXPECT_TRUE(nameContainsIgnoringCaseAndDiacritics("Zoë Smíth", "smi"));
    EXPECT_TRUE(nameContainsIgnoringCaseAndDiacritics("Zoe Smith", "zoë"));
    EXPECT_FALSE(nameContainsIgnoringCaseAndDiacritics("Jane Doe", "smi"));
    EXPECT_TRUE(nameContainsIgnoringCaseAndDiacritics("Jane Doe", ""));
}

class PanelTest : public ::testing::Test {
protected:
    void SetUp() override {
        QStandardPaths::setTestModeEnabled(true);
        window = std::make_unique<CaptureMainWindow>(QRect(100, 100, 52, 52));
        panel = new ViewController(window.get(), nullptr, window.get());
    }
    void TearDown() override {
        // Leave no test records behind.
        const QString dir = panel->uploadQueue()->directory();
        window.reset();
        QDir(dir).removeRecursively();
    }
    // Counts the cards shown and the returns to rest from now on.
    void countCardsAndRests() {
        QObject::connect(panel, &ViewController::cardShown, [this] { ++cards; });
        QObject::connect(panel, &ViewController::captureReturnedToRest, [this] { ++rests; });
    }
    // Shows the card for a proposed patient and waits until it stands.
    void showCard() {
        panel->matchedPatient = QVariantMap{{"name", "Ann Smith"}, {"dob", "1970-01-01"}};
        const int before = cards;
        panel->showMatchedPatientView();
        ASSERT_TRUE(kcWaitFor([&] { return cards == before + 1; }, 10000));
    }
    std::unique_ptr<CaptureMainWindow> window;
    ViewController *panel = nullptr;
    int cards = 0, rests = 0;
};

TEST_F(PanelTest, RestsAsA52By52Button) {
    EXPECT_EQ(panel->widthConstraint(), 52);
    EXPECT_EQ(panel->heightConstraint(), 52);
    EXPECT_TRUE(panel->captureAllowed);
    EXPECT_FALSE(panel->snapshotMode);
    EXPECT_TRUE(panel->snapshotWindow);
    EXPECT_TRUE(panel->snapshotView);
}

TEST_F(PanelTest, SmallSelectionsAreClicksLargerOnesAreCaptured) {
    countCardsAndRests();
    panel->snapshotMode = true;
    panel->screenCaptureRectangleFinished(QRectF(10, 10, 9, 9));
    EXPECT_FALSE(panel->captureAllowed) << "blocked at once";
    ASSERT_TRUE(kcWaitFor([&] { return rests == 1; }, 10000));
    EXPECT_TRUE(panel->captureAllowed);
    EXPECT_TRUE(panel->screenshot.isNull()) << "nothing captured";

    panel->snapshotMode = true;
    panel->screenCaptureRectangleFinished(QRectF(10, 10, 9, 10));
    EXPECT_FALSE(panel->captureAllowed);
    ASSERT_TRUE(kcWaitFor([&] { return rests == 2; }, 30000));
    EXPECT_TRUE(panel->captureAllowed) << "no patients: back to capturing";
    EXPECT_EQ(panel->screenshot.size(), QSize(9, 10));

    // Outside snapshot mode a report changes nothing.
    panel->screenCaptureRectangleFinished(QRectF(10, 10, 100, 100));
    EXPECT_TRUE(panel->captureAllowed);
}

TEST_F(PanelTest, AcceptQueuesTheClinicRecordAndShowsSuccess) {
    QImage image(30, 20, QImage::Format_ARGB32_Premultiplied);
    image.fill(Qt::red);
    panel->screenshot = image;
    panel->matchedPatient = QVariantMap{{"name", "Ann Smith"}, {"kelvraID", "4"}, {"interaction_id", "88"}};
    panel->imageCaptionTextField->setText("left arm");
    panel->acceptButtonPressed();
    const auto entries = panel->uploadQueue()->entries();
    ASSERT_EQ(entries.size(), 1) << "no EMR connected: the clinic record only";
    EXPECT_EQ(entries.first().destination, DocumentationUploadQueue::kClinic);
    EXPECT_EQ(entries.first().record.value("interaction_id").toString(), "88");
    EXPECT_EQ(entries.first().record.value("encounter_note").toString(), "left arm");
    EXPECT_TRUE(panel->pendingBadge->isVisibleTo(panel));
    // Success, then back at rest with an empty caption.
    ASSERT_TRUE(kcWaitFor([&] { return panel->imageCaptionTextField->text().isEmpty(); }, 10000));
    EXPECT_TRUE(panel->captureAllowed);
}

// When the capture cannot be stored on this computer, Accept shows no success:
// the card stays with the reason and "Save image…", and nothing is queued.
TEST_F(PanelTest, AnAcceptThatCannotStoreTheCaptureKeepsTheCardAndOffersTheImage) {
    QImage image(30, 20, QImage::Format_ARGB32_Premultiplied);
    image.fill(Qt::red);
    countCardsAndRests();
    showCard();
    panel->screenshot = image;
    // The queue's folder is gone and a file stands in its place.
    const QString dir = panel->uploadQueue()->directory();
    ASSERT_TRUE(QDir(dir).removeRecursively());
    {
        QFile blocker(dir);
        ASSERT_TRUE(blocker.open(QIODevice::WriteOnly));
    }
    panel->acceptButtonPressed();
    EXPECT_EQ(panel->uploadQueue()->pendingCount(), 0);
    ASSERT_TRUE(panel->acceptErrorView->isVisibleTo(panel));
    EXPECT_TRUE(panel->acceptErrorView->toolTip().contains(QStringLiteral("could not be stored")));
    kcSpin(1800);
    EXPECT_EQ(rests, 0) << "no success, no return to rest";
    EXPECT_EQ(panel->heightConstraint(), 119) << "the card stays";
    if (const QByteArray shot = qgetenv("KC_PANEL_SHOT"); !shot.isEmpty())
        window->grab().save(QString::fromLocal8Bit(shot));

    QTemporaryDir saved;
    const QString path = saved.filePath(QStringLiteral("capture.png"));
    panel->chooseImagePath = [&] { return path; };
    panel->saveImageButton->click();
    EXPECT_EQ(QImage(path).size(), QSize(30, 20));

    // With its folder back, the next Accept queues and succeeds.
    QFile::remove(dir);
    ASSERT_TRUE(QDir().mkpath(dir));
    panel->acceptButtonPressed();
    EXPECT_EQ(panel->uploadQueue()->pendingCount(), 1);
    EXPECT_FALSE(panel->acceptErrorView->isVisibleTo(panel));
    ASSERT_TRUE(kcWaitFor([&] { return rests == 1; }, 10000));
}

// After a card has come and gone, a click on the middle of the button (where
// the icon sits) still reaches the capture button.
TEST_F(PanelTest, TheButtonTakesClicksAfterACardRoundTrip) {
    auto buttonAt = [&](QPoint p) { return panel->mainView->childAt(p) == panel->captureButton; };
    ASSERT_TRUE(buttonAt({26, 26}));
    countCardsAndRests();
    showCard();
    kcSpin(600);
    panel->cancelButtonPressed();
    ASSERT_TRUE(kcWaitFor([&] { return rests == 1; }, 10000));
    kcSpin(100);
    EXPECT_EQ(panel->widthConstraint(), 52);
    for (QPoint p : {QPoint(26, 26), QPoint(12, 12), QPoint(40, 40), QPoint(3, 3)})
        EXPECT_TRUE(buttonAt(p)) << p.x() << "," << p.y() << " goes to "
                                 << (panel->mainView->childAt(p)
                                         ? panel->mainView->childAt(p)->metaObject()->className()
                                         : "the background");
}

// A card that would cross the right edge of the screen moves left, and back
// when the panel returns to rest; the table opens with "Other" every time.
TEST_F(PanelTest, CardNearTheRightEdgeMovesLeftAndBackAndOtherOpensTheTable) {
    const QRect screen = QGuiApplication::primaryScreen()->geometry();
    const QPoint home(screen.right() - 100, 300);
    window->move(home);
    countCardsAndRests();
    showCard();
    EXPECT_EQ(window->pos(), QPoint(screen.x() + screen.width() - 205, 300));
    EXPECT_EQ(panel->heightConstraint(), 119);

    for (int round = 0; round < 2; ++round) {
        if (round == 1)
            showCard();
        panel->otherButtonPressed();
        EXPECT_TRUE(kcWaitFor([&] { return panel->heightConstraint() == 360; }, 5000)) << "round " << round;
        kcSpin(100);
        panel->cancelButtonPressed();
        ASSERT_TRUE(kcWaitFor([&] { return rests == round + 1; }, 10000));
        EXPECT_TRUE(kcWaitFor([&] { return window->pos() == home; }, 5000)) << "back where it stood";
    }
}

// Activation of the panel: by the application itself (as it appears, or when
// a capture ends) it starts nothing; by the user from elsewhere (the keyboard,
// the window manager) it starts a selection as a click would.
// A panel of a signed-in session (a service answering from memory), shown
// with the pointer away from it.
class SignedInPanelTest : public ::testing::Test {
protected:
    void SetUp() override {
        QStandardPaths::setTestModeEnabled(true);
        backend = std::make_shared<FakeBackend>();
        backend->setAssignments({assignment(1, "Mary", "Smith", "1982-11-20"),
                                 assignment(2, "Emma", "Smith", "2015-06-03"),
                                 assignment(3, "Patricia", "Van der Berg", "1958-12-01")});
        delegate = std::make_unique<AppDelegate>(backend);
        std::atomic<bool> signedIn{false};
        delegate->loginWithUsername(
            "demo", "capture", [&] { signedIn = true; }, [](const KCError &) {});
        ASSERT_TRUE(kcWaitFor([&] { return signedIn.load(); }, 10000));
        ASSERT_TRUE(kcWaitFor([&] { return delegate->loggedIn(); }, 10000));
        QCursor::setPos(900, 700);
        window = std::make_unique<CaptureMainWindow>(QRect(100, 100, 52, 52));
        panel = new ViewController(window.get(), delegate.get(), window.get());
        pending = panel->uploadQueue()->directory();
        window->show();
        window->raise();
        window->activateWindow();
        ASSERT_TRUE(
            kcWaitFor([&] { return QGuiApplication::focusWindow() == window->windowHandle(); }, 5000));
        kcSpin(300);
    }
    void TearDown() override {
        if (panel)
            panel->cancelSnapshot();
        kcSpin(300);
        window.reset();
        delegate.reset();
        QDir(pending).removeRecursively();
    }
    static QVariantMap assignment(int n, const QString &first, const QString &last, const QString &dob) {
        return QVariantMap{
            {"ClinicPatientDeviceAssignment", QVariantMap{{"patient_id", QString::number(n)}}},
            {"Patient", QVariantMap{{"first_name", first}, {"last_name", last}, {"dob", dob}}},
            {"Interaction", QVariantMap{{"id", QString::number(100 + n)}}},
        };
    }
    // The capture ends with `text`; waits for the card.
    void finishCaptureWith(const QString &text) {
        ASSERT_TRUE(
            kcWaitFor([&] { return delegate->parsedPtArray().value_or(QVariantList()).size() == 3; }, 10000));
        int shown = 0;
        const auto connection = QObject::connect(panel, &ViewController::cardShown, [&] { ++shown; });
        panel->captureDidFinish(text);
        ASSERT_TRUE(kcWaitFor([&] { return shown == 1; }, 10000));
        QObject::disconnect(connection);
        kcSpin(100);
    }
    QString tableRow(int row) const {
        return panel->filteredDataSource.value(row).toMap().value("name").toString();
    }
    std::shared_ptr<FakeBackend> backend;
    std::unique_ptr<AppDelegate> delegate;
    std::unique_ptr<CaptureMainWindow> window;
    ViewController *panel = nullptr;
    QString pending;
};

// A screen that names nobody opens the card on the table, search field
// focused, Accept disabled until a patient is chosen.
TEST_F(SignedInPanelTest, NobodyRecognisedOpensTheTable) {
    finishCaptureWith("Laboratory results\nHemoglobin 13.5 g/dL\nSodium 140 mmol/L");
    EXPECT_EQ(panel->heightConstraint(), 360);
    EXPECT_FALSE(panel->matchedPatient);
    EXPECT_EQ(panel->patientNameLabel->text(), "No patient recognised");
    EXPECT_FALSE(panel->acceptButton->isEnabled());
    EXPECT_TRUE(panel->patientListTableView->isVisibleTo(panel));
    EXPECT_TRUE(kcWaitFor([&] { return panel->filterPatientTextField->hasFocus(); }, 5000));
    EXPECT_EQ(panel->numberOfRowsInTableView(), 3);
    panel->acceptButtonPressed();
    EXPECT_TRUE(panel->uploadQueue()->entries().isEmpty()) << "nothing filed without a patient";

    panel->patientListTableView->setCurrentRow(2);
    ASSERT_TRUE(panel->matchedPatient);
    EXPECT_EQ(panel->matchedPatient->value("name").toString(), "Patricia Van der Berg");
    EXPECT_TRUE(panel->acceptButton->isEnabled());
    EXPECT_EQ(panel->identificationLabel->text(), "DOB not on screen");
}

// Two of one family on screen: the date of birth decides, and the card says
// so; without it the two are offered first.
TEST_F(SignedInPanelTest, TheDateOfBirthDecidesOrTheCandidatesComeFirst) {
    finishCaptureWith("Patient: Smith, Emma  DOB: 06/03/2015\nGuardian: Smith, Mary");
    ASSERT_TRUE(panel->matchedPatient);
    EXPECT_EQ(panel->matchedPatient->value("name").toString(), "Emma Smith");
    EXPECT_EQ(panel->heightConstraint(), 119);
    EXPECT_TRUE(panel->acceptButton->isEnabled());
    EXPECT_EQ(panel->identificationLabel->text(), QString::fromUtf8("DOB on screen \u2713"));
    panel->cancelButtonPressed();
    kcSpin(800);

    finishCaptureWith("Guardian: Smith, Mary\nPatient: Smith, Emma\nVisit: Follow-up");
    EXPECT_FALSE(panel->matchedPatient);
    EXPECT_EQ(panel->heightConstraint(), 360);
    EXPECT_FALSE(panel->acceptButton->isEnabled());
    QStringList firstTwo = {tableRow(0), tableRow(1)};
    firstTwo.sort();
    EXPECT_EQ(firstTwo, QStringList({"Emma Smith", "Mary Smith"}));
}

TEST_F(SignedInPanelTest, OnlyTheUsersActivationStartsACapture) {
    EXPECT_FALSE(panel->snapshotMode) << "appearing is not a request to capture";
    panel->cancelSnapshot();
    kcSpin(400);
    EXPECT_FALSE(panel->snapshotMode) << "a cancel stays cancelled";
    EXPECT_FALSE(panel->snapshotWindow && panel->snapshotWindow->isVisible());

    // The user brings the panel forward from another window, later.
    QWidget other;
    other.setGeometry(600, 100, 100, 100);
    other.show();
    other.activateWindow();
    ASSERT_TRUE(kcWaitFor([&] { return QGuiApplication::focusWindow() == other.windowHandle(); }, 5000));
    kcSpin(1100);
    window->windowHandle()->requestActivate();
    EXPECT_TRUE(kcWaitFor([&] { return panel->snapshotMode; }, 5000));
}

// Pressing the capture button while the veil is up cancels; releasing it a
// moment later (the event loop ran in between) starts no new selection.
TEST_F(SignedInPanelTest, ASecondPressCancelsAndItsReleaseStartsNothing) {
    panel->snapshotButtonPressedDown();
    panel->snapshotButtonPressedUp();
    ASSERT_TRUE(kcWaitFor([&] { return panel->snapshotMode; }, 5000));
    panel->snapshotButtonPressedDown();
    kcSpin(250);
    EXPECT_FALSE(panel->snapshotMode);
    panel->snapshotButtonPressedUp();
    kcSpin(300);
    EXPECT_FALSE(panel->snapshotMode) << "the release started a new selection";
    EXPECT_FALSE(panel->shouldCancelSnapshot);
    // The next click captures again.
    panel->snapshotButtonPressedDown();
    panel->snapshotButtonPressedUp();
    EXPECT_TRUE(kcWaitFor([&] { return panel->snapshotMode; }, 5000));
}

} // namespace
