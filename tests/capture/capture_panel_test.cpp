// The capture panel without a signed-in session: the click threshold, the
// return to rest, the search predicate and the records of an Accept.
#include "capture/panel/view_controller.h"

#include "tests/support/qt_wait.h"

#include <QDir>
#include <QStandardPaths>

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
    std::unique_ptr<CaptureMainWindow> window;
    ViewController *panel = nullptr;
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
    int rests = 0;
    QObject::connect(panel, &ViewController::captureReturnedToRest, [&] { ++rests; });
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

} // namespace
