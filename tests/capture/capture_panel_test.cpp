// The capture panel without a signed-in session: the click threshold, the
// return to rest, the search predicate and the records of an Accept.
#include "capture/panel/view_controller.h"

#include "capture/panel/card_placement.h"

#include "app/app_delegate.h"
#include "tests/app/fake_backend.h"
#include "tests/support/qt_wait.h"

#include <QAction>
#include <QApplication>
#include <QCursor>
#include <QFontMetrics>
#include <QGuiApplication>
#include <QLabel>
#include <QMenu>
#include <QScreen>
#include <QTest>
#include <QTimer>
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
    ASSERT_TRUE(kcWaitFor([&] { return panel->uploadQueue()->pendingCount() > 0; }, 10000)) << "stored";
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
    ASSERT_TRUE(kcWaitFor([&] { return panel->acceptErrorView->isVisibleTo(panel); }, 10000));
    EXPECT_EQ(panel->uploadQueue()->pendingCount(), 0);
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
    EXPECT_EQ(QFile(path).permissions() & (QFile::ReadGroup | QFile::ReadOther), QFile::Permissions())
        << "for the user alone";

    // With its folder back, the next Accept queues and succeeds.
    QFile::remove(dir);
    ASSERT_TRUE(QDir().mkpath(dir));
    panel->acceptButtonPressed();
    ASSERT_TRUE(kcWaitFor([&] { return panel->uploadQueue()->pendingCount() == 1; }, 10000));
    EXPECT_FALSE(panel->acceptErrorView->isVisibleTo(panel));
    ASSERT_TRUE(kcWaitFor([&] { return rests == 1; }, 10000));
}

// Names and rooms from the service are text, not markup, on the card and in
// the table; the capture report names patients by their ids only.
TEST_F(PanelTest, PatientTextsArePlainAndTheReportHoldsIdsOnly) {
    const QString name = "<b>Ann</b> <img src=\"x\"> Smith &amp; Co";
    const QVariantMap patient{{"name", name},
                              {"dob", "<i>1970-01-01</i>"},
                              {"exam_room_name", "<u>Exam 3</u>"},
                              {"kelvraID", "4711"},
                              {"interaction_id", "88"}};
    panel->filteredDataSource = {patient};
    std::unique_ptr<QWidget> row(panel->rowViewForRow(0));
    auto *rowView = qobject_cast<QDCapturePatientTableRowView *>(row.get());
    ASSERT_NE(rowView, nullptr);
    for (QLabel *label : {rowView->ptNameLabel, rowView->examRoomNameLabel}) {
        EXPECT_EQ(label->textFormat(), Qt::PlainText);
        // Every character is drawn: as wide as the text itself, tags included.
        EXPECT_GE(label->sizeHint().width(), QFontMetrics(label->font()).horizontalAdvance(label->text()));
    }
    EXPECT_EQ(rowView->ptNameLabel->text(), name);

    testing::internal::CaptureStderr();
    panel->patientListTableView->addItem(QStringLiteral("row"));
    panel->patientListTableView->setCurrentRow(0);
    ASSERT_TRUE(panel->matchedPatient);
    QImage image(30, 20, QImage::Format_ARGB32_Premultiplied);
    image.fill(Qt::red);
    panel->screenshot = image;
    panel->acceptButtonPressed();
    const QString report = QString::fromStdString(testing::internal::GetCapturedStderr());
    for (QLabel *label : {panel->patientNameLabel, panel->patientDOBLabel, panel->patientExamRoomLabel}) {
        EXPECT_EQ(label->textFormat(), Qt::PlainText);
        EXPECT_GE(label->sizeHint().width(), QFontMetrics(label->font()).horizontalAdvance(label->text()));
    }
    EXPECT_EQ(panel->patientNameLabel->text(), name);
    if (!qEnvironmentVariableIsSet("KELVRA_REPORT_CAPTURE"))
        GTEST_SKIP() << "the capture report is off";
    EXPECT_TRUE(report.contains("chosen patient 4711 interaction 88")) << report.toStdString();
    EXPECT_TRUE(report.contains("accepted for patient 4711 interaction 88")) << report.toStdString();
    EXPECT_FALSE(report.contains("Ann")) << report.toStdString();
    EXPECT_FALSE(report.contains("Smith")) << report.toStdString();
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

// The edge that counts is the right edge of the screen the window is on.
TEST(CardPlacement, TheWindowsOwnScreenDecides) {
    const QList<QRect> screens{QRect(0, 0, 1280, 800), QRect(1280, 0, 1024, 768)};
    EXPECT_EQ(kcScreenOfWindow(QRect(1400, 300, 52, 52), screens), screens[1]);
    EXPECT_EQ(kcScreenOfWindow(QRect(100, 300, 52, 52), screens), screens[0]);
    // Centre off every screen: the one it overlaps most.
    EXPECT_EQ(kcScreenOfWindow(QRect(1250, 780, 52, 52), screens), screens[0]);
    EXPECT_EQ(kcScreenOfWindow(QRect(100, 300, 52, 52), {}), QRect());
    // On the right-hand screen, far from its edge: stays.
    EXPECT_EQ(kcCardWindowOrigin(QRect(1400, 300, 52, 52), screens[1], 200), std::nullopt);
    // Near its edge: moves 5 clear of it.
    EXPECT_EQ(kcCardWindowOrigin(QRect(2200, 300, 52, 52), screens[1], 200), QPoint(2099, 300));
    // Exactly fitting stays.
    EXPECT_EQ(kcCardWindowOrigin(QRect(1080, 300, 52, 52), screens[0], 200), std::nullopt);
    EXPECT_EQ(kcCardWindowOrigin(QRect(1081, 300, 52, 52), screens[0], 200), QPoint(1075, 300));
}

// With a screen right of the primary one, a card on it moves only near its
// own right edge (run with two screens by capture_panel_two_screens_test).
TEST_F(PanelTest, OnASecondScreenOnlyItsOwnEdgeMovesTheCard) {
    const QList<QScreen *> screens = QGuiApplication::screens();
    if (screens.size() < 2)
        GTEST_SKIP() << "one screen";
    const QRect primary = screens.first()->geometry();
    QRect right;
    for (QScreen *screen : screens)
        if (screen->geometry().x() >= primary.x() + primary.width())
            right = screen->geometry();
    if (right.isNull())
        GTEST_SKIP() << "no screen right of the primary";
    countCardsAndRests();
    const QPoint away(right.x() + 100, right.y() + 200);
    window->move(away);
    showCard();
    EXPECT_EQ(window->pos(), away) << "the card fits on its own screen";
    panel->cancelButtonPressed();
    ASSERT_TRUE(kcWaitFor([&] { return rests == 1; }, 10000));

    const QPoint edge(right.x() + right.width() - 100, right.y() + 200);
    window->move(edge);
    showCard();
    EXPECT_EQ(window->pos(), QPoint(right.x() + right.width() - 205, edge.y()));
    panel->cancelButtonPressed();
    ASSERT_TRUE(kcWaitFor([&] { return rests == 2; }, 10000));
    EXPECT_TRUE(kcWaitFor([&] { return window->pos() == edge; }, 5000)) << "back where it stood";
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
        panel->captureDidFinish(ScreenText::fromText(text));
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

// The record of someone not on today's list says whose it is, in full on
// hovering, and opens the table.
TEST_F(SignedInPanelTest, TheRecordOfSomeoneNotBookedSaysWhoseItIs) {
    finishCaptureWith("Patient: ORTEGA, SAMUEL  DOB 04/04/1966\nVisit: Follow-up");
    EXPECT_EQ(panel->heightConstraint(), 360);
    EXPECT_FALSE(panel->matchedPatient);
    EXPECT_EQ(panel->patientNameLabel->text(), "ORTEGA, SAMUEL");
    EXPECT_EQ(panel->patientDOBLabel->text(), QString::fromUtf8("not on today's list \u2014 choose one"));
    EXPECT_EQ(panel->identificationLabel->toolTip(),
              "The record on screen is for ORTEGA, SAMUEL, who is not on today's list");
    EXPECT_FALSE(panel->acceptButton->isEnabled());
}

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
    // Every row shows the date of birth beside the room.
    for (int row = 0; row < 3; ++row) {
        std::unique_ptr<QWidget> view(panel->rowViewForRow(row));
        const QString dob = panel->filteredDataSource.value(row).toMap().value("dob").toString();
        ASSERT_FALSE(dob.isEmpty());
        EXPECT_TRUE(
            static_cast<QDCapturePatientTableRowView *>(view.get())->examRoomNameLabel->text().contains(dob));
    }
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

    finishCaptureWith("Smith, Emma 06/03/2015  Smith, Mary 11/20/1982\nVisit: Follow-up");
    EXPECT_FALSE(panel->matchedPatient);
    EXPECT_EQ(panel->heightConstraint(), 360);
    EXPECT_FALSE(panel->acceptButton->isEnabled());
    QStringList firstTwo = {tableRow(0), tableRow(1)};
    firstTwo.sort();
    EXPECT_EQ(firstTwo, QStringList({"Emma Smith", "Mary Smith"}));
}

// The top of the window names a patient with the date of birth: the card
// shows then, but Accept files only once the whole window confirms the
// patient; a whole window that names a second patient with hers decides
// afresh, and the early proposal never files.
TEST_F(SignedInPanelTest, ACardFromTheTopOfTheWindowFilesOnlyOnceTheWholeWindowConfirmsIt) {
    ASSERT_TRUE(
        kcWaitFor([&] { return delegate->parsedPtArray().value_or(QVariantList()).size() == 3; }, 10000));
    int shown = 0;
    QObject::connect(panel, &ViewController::cardShown, [&] { ++shown; });

    panel->topOfWindowRead(ScreenText::fromText("Patient: Smith, Emma  DOB: 06/03/2015"), 250);
    ASSERT_TRUE(panel->matchedPatient);
    EXPECT_EQ(panel->matchedPatient->value("name").toString(), "Emma Smith");
    ASSERT_TRUE(kcWaitFor([&] { return panel->heightConstraint() == 119; }, 5000));
    kcSpin(700);
    EXPECT_EQ(shown, 0) << "the card is reported once its patient is confirmed";
    if (const QString dir = qEnvironmentVariable("KC_SCREENSHOT_DIR"); !dir.isEmpty() && QDir().mkpath(dir))
        window->grab().save(QDir(dir).filePath("card-checking-the-rest.png"));
    EXPECT_FALSE(panel->acceptButton->isEnabled());
    panel->acceptButtonPressed();
    EXPECT_TRUE(panel->uploadQueue()->entries().isEmpty());

    panel->captureDidFinish(
        ScreenText::fromText("Patient: Smith, Emma  DOB: 06/03/2015\nVisit: Follow-up\nNotes"));
    ASSERT_TRUE(kcWaitFor([&] { return shown == 1; }, 5000));
    ASSERT_TRUE(panel->matchedPatient);
    EXPECT_EQ(panel->matchedPatient->value("name").toString(), "Emma Smith");
    EXPECT_TRUE(panel->acceptButton->isEnabled());
    EXPECT_EQ(panel->identificationLabel->text(), QString::fromUtf8("DOB on screen \u2713"));
    panel->cancelButtonPressed();
    kcSpin(800);

    // The rest of the window shows a second record, with its date of birth.
    panel->topOfWindowRead(ScreenText::fromText("Patient: Smith, Emma  DOB: 06/03/2015"), 250);
    ASSERT_TRUE(panel->matchedPatient);
    panel->captureDidFinish(
        ScreenText::fromText("Patient: Smith, Emma  DOB: 06/03/2015\nPatient: Smith, Mary  DOB: 11/20/1982"));
    ASSERT_TRUE(kcWaitFor([&] { return shown == 2; }, 5000));
    EXPECT_FALSE(panel->matchedPatient);
    EXPECT_EQ(panel->heightConstraint(), 360);
    EXPECT_FALSE(panel->acceptButton->isEnabled());
    panel->acceptButtonPressed();
    EXPECT_TRUE(panel->uploadQueue()->entries().isEmpty());
    panel->cancelButtonPressed();
    kcSpin(800);

    // A patient chosen from the table while the rest is read stays chosen.
    panel->topOfWindowRead(ScreenText::fromText("Patient: Smith, Emma  DOB: 06/03/2015"), 250);
    ASSERT_TRUE(kcWaitFor([&] { return panel->heightConstraint() == 119; }, 5000));
    kcSpin(200);
    panel->otherButtonPressed();
    ASSERT_TRUE(kcWaitFor([&] { return panel->heightConstraint() == 360; }, 5000));
    for (int row = 0; row < panel->numberOfRowsInTableView(); ++row)
        if (tableRow(row) == "Patricia Van der Berg")
            panel->patientListTableView->setCurrentRow(row);
    panel->captureDidFinish(ScreenText::fromText("Patient: Smith, Emma  DOB: 06/03/2015"));
    ASSERT_TRUE(kcWaitFor([&] { return shown == 3; }, 5000));
    ASSERT_TRUE(panel->matchedPatient);
    EXPECT_EQ(panel->matchedPatient->value("name").toString(), "Patricia Van der Berg");
    EXPECT_TRUE(panel->acceptButton->isEnabled());
    kcSpin(300);
    EXPECT_EQ(shown, 3) << "reported once";
    panel->cancelButtonPressed();
    kcSpin(800);

    // The rest of the window cannot be read: the card stays, on the table.
    panel->topOfWindowRead(ScreenText::fromText("Patient: Smith, Emma  DOB: 06/03/2015"), 250);
    ASSERT_TRUE(panel->matchedPatient);
    panel->captureDidFinish(std::nullopt);
    ASSERT_TRUE(kcWaitFor([&] { return shown == 4; }, 5000));
    EXPECT_FALSE(panel->matchedPatient);
    EXPECT_EQ(panel->heightConstraint(), 360);
    EXPECT_FALSE(panel->acceptButton->isEnabled());
    panel->cancelButtonPressed();
    kcSpin(800);

    // A top without the date of birth shows nothing early.
    panel->topOfWindowRead(ScreenText::fromText("Patient: Smith, Emma"), 250);
    kcSpin(300);
    EXPECT_EQ(panel->heightConstraint(), 52);
    EXPECT_EQ(shown, 4);
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

// Only the left button captures. A right click opens the window's menu and
// leaves the panel at rest, without the orange capture border, also once the
// menu is gone; a middle click does nothing at all.
TEST_F(SignedInPanelTest, OnlyTheLeftButtonCapturesARightClickOpensTheMenu) {
    QAction signOut("Sign Out"), quit("Quit");
    window->setContextMenuActions({&signOut, &quit});
    const auto border =
        QObject::connect(panel->mainView, &captureMainView::captureEnabledChanged, [&](bool on) {
            if (on)
                ADD_FAILURE() << "capture border shown";
        });
    const QPoint middle = panel->captureButton->mapTo(window.get(), QPoint(26, 26));

    // Clicks through the window, as the display server delivers them.
    QWindow *handle = window->windowHandle();
    QTest::mouseClick(handle, Qt::MiddleButton, Qt::NoModifier, middle);
    kcSpin(400);
    EXPECT_FALSE(panel->snapshotMode) << "a middle click started a capture";

    // The menu runs its own event loop inside the click: look at it, then
    // dismiss it as a user would.
    QStringList shown;
    QTimer poll;
    poll.setInterval(20);
    QObject::connect(&poll, &QTimer::timeout, [&] {
        auto *menu = qobject_cast<QMenu *>(QApplication::activePopupWidget());
        if (!menu || !menu->isVisible())
            return;
        poll.stop();
        kcSpin(200);
        for (QAction *a : menu->actions())
            shown << a->text();
        const QString dir = qEnvironmentVariable("KC_SCREENSHOT_DIR");
        if (!dir.isEmpty() && QDir().mkpath(dir))
            QGuiApplication::primaryScreen()->grabWindow(0).save(QDir(dir).filePath("panel-right-click.png"));
        QTest::keyClick(menu, Qt::Key_Escape);
    });
    poll.start();
    QTest::mouseClick(handle, Qt::RightButton, Qt::NoModifier, middle);
    poll.stop();
    EXPECT_EQ(shown, QStringList({"Sign Out", "Quit"}));
    kcSpin(1500);
    EXPECT_FALSE(panel->snapshotMode) << "the right click started a capture";
    EXPECT_FALSE(panel->mainView->captureEnabled());
    EXPECT_EQ(panel->mainView->borderWidth(), 0.5);
    EXPECT_FALSE(panel->snapshotWindow && panel->snapshotWindow->isVisible());

    // The left button still captures.
    QObject::disconnect(border);
    QTest::mouseClick(handle, Qt::LeftButton, Qt::NoModifier, middle);
    EXPECT_TRUE(kcWaitFor([&] { return panel->snapshotMode; }, 5000));
}

} // namespace
