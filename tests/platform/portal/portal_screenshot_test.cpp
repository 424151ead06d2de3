// The portal screenshot client against a fake portal on a private session
// bus: the picture arrives or the failure is told, and the picture file
// never stays behind.
#include "fake_portal.h"
#include "platform/portal/portal_screenshot.h"
#include "platform/portal/screenshot_file.h"
#include "tests/support/qt_wait.h"

#include <QDBusConnection>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <future>
#include <optional>
#include <sys/prctl.h>
#include <unistd.h>

namespace {

const QString kService = QStringLiteral("org.kelvra.test.FakePortal");

class PortalScreenshotTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(QDBusConnection::sessionBus().isConnected()) << "needs a session bus";
        ASSERT_TRUE(directory.isValid());
        portal = std::make_unique<FakePortal>(kService, QStringLiteral("fake-portal"));
        portal->pictureDirectory = directory.path();
    }

    std::optional<CaptureResult> request(int timeoutMs = 10000,
                                         const QString &parent = QStringLiteral("x11:1a2b")) {
        PortalScreenshotOptions options;
        options.service = kService;
        options.parentWindow = parent;
        options.timeoutMs = timeoutMs;
        std::optional<CaptureResult> result;
        int calls = 0;
        QObject context;
        requestPortalScreenshot(QDBusConnection::sessionBus(), options, &context,
                                [&](const CaptureResult &r) {
                                    result = r;
                                    ++calls;
                                });
        kcWaitFor([&] { return result.has_value(); }, timeoutMs + 20000);
        // No second answer arrives later.
        kcSpin(200);
        EXPECT_LE(calls, 1);
        return result;
    }

    bool filesGone() const {
        for (const QString &f : portal->filesHandedOut)
            if (QFile::exists(f))
                return false;
        return true;
    }

    QTemporaryDir directory;
    std::unique_ptr<FakePortal> portal;
};

TEST_F(PortalScreenshotTest, PictureArrivesAndItsFileIsRemoved) {
    for (FakePortal::Answer answer :
         {FakePortal::Answer::PictureBeforeReply, FakePortal::Answer::PictureAfterReply}) {
        portal->answer = answer;
        const auto result = request();
        ASSERT_TRUE(result.has_value());
        EXPECT_EQ(result->status, CaptureResult::Status::Captured) << result->message.toStdString();
        EXPECT_EQ(result->image.size(), QSize(64, 40));
        EXPECT_EQ(result->image.pixelColor(3, 3), QColor(10, 200, 30));
        EXPECT_TRUE(filesGone());
    }
    // What the portal was asked: a parent window, a handle token of its own
    // each time, no dialog.
    ASSERT_EQ(portal->optionsSeen.size(), 2);
    EXPECT_EQ(portal->parentWindows.first(), QStringLiteral("x11:1a2b"));
    EXPECT_NE(portal->optionsSeen[0].value("handle_token"), portal->optionsSeen[1].value("handle_token"));
    EXPECT_FALSE(portal->optionsSeen[0].value("handle_token").toString().isEmpty());
    EXPECT_EQ(portal->optionsSeen[0].value("interactive").toBool(), false);
}

// The application makes itself non-dumpable (no core file may hold a
// patient's image); the portal then cannot read who calls it and refuses.
// While the call is on its way the process is dumpable, and then not again.
TEST_F(PortalScreenshotTest, ANonDumpableCallerIsDumpableOnlyWhileItsCallArrives) {
    ASSERT_EQ(::prctl(PR_SET_DUMPABLE, 0, 0, 0, 0), 0);
    const auto result = request();
    ASSERT_TRUE(result.has_value());
    EXPECT_EQ(result->status, CaptureResult::Status::Captured) << result->message.toStdString();
    EXPECT_EQ(portal->callerDumpable, QList<int>{1});
    EXPECT_EQ(::prctl(PR_GET_DUMPABLE, 0, 0, 0, 0), 0);
    ::prctl(PR_SET_DUMPABLE, 1, 0, 0, 0);
}

TEST_F(PortalScreenshotTest, RefusalIsAFailureWithAdviceAndTheFileIsRemoved) {
    portal->answer = FakePortal::Answer::Refused;
    const auto result = request();
    ASSERT_TRUE(result.has_value());
    EXPECT_EQ(result->status, CaptureResult::Status::Failed);
    EXPECT_TRUE(result->image.isNull());
    EXPECT_TRUE(result->message.contains("refused"));
    EXPECT_TRUE(result->message.contains("xdg-desktop-portal"));
    EXPECT_TRUE(filesGone());
}

TEST_F(PortalScreenshotTest, CancelIsACancelWithoutMessage) {
    portal->answer = FakePortal::Answer::Cancelled;
    const auto result = request();
    ASSERT_TRUE(result.has_value());
    EXPECT_EQ(result->status, CaptureResult::Status::Cancelled);
    EXPECT_TRUE(result->message.isEmpty());
}

TEST_F(PortalScreenshotTest, SilenceTimesOutClosesTheRequestAndALateFileIsStillRemoved) {
    portal->answer = FakePortal::Answer::Silent;
    const auto result = request(1500);
    ASSERT_TRUE(result.has_value());
    EXPECT_EQ(result->status, CaptureResult::Status::Failed);
    EXPECT_TRUE(result->message.contains("did not answer"));
    ASSERT_TRUE(kcWaitFor([&] { return portal->closedRequests.size() == 1; }, 10000));
    portal->answerLastRequestLate();
    EXPECT_TRUE(kcWaitFor([&] { return filesGone(); }, 10000));
}

TEST_F(PortalScreenshotTest, StaleOrUndecodableFilesAreRefusedAndRemoved) {
    for (FakePortal::Answer answer : {FakePortal::Answer::StalePicture, FakePortal::Answer::NotAPicture}) {
        portal->answer = answer;
        const auto result = request();
        ASSERT_TRUE(result.has_value());
        EXPECT_EQ(result->status, CaptureResult::Status::Failed);
        EXPECT_TRUE(result->image.isNull());
        EXPECT_TRUE(filesGone());
    }
}

TEST_F(PortalScreenshotTest, NoPortalIsAFailureAndTheProbeSaysSo) {
    PortalScreenshotOptions options;
    options.service = QStringLiteral("org.kelvra.test.NoSuchPortal");
    std::optional<CaptureResult> result;
    QObject context;
    requestPortalScreenshot(QDBusConnection::sessionBus(), options, &context,
                            [&](const CaptureResult &r) { result = r; });
    ASSERT_TRUE(kcWaitFor([&] { return result.has_value(); }, 20000));
    EXPECT_EQ(result->status, CaptureResult::Status::Failed);
    EXPECT_FALSE(result->message.isEmpty());

    // The probe blocks: it runs beside the thread that serves the fake.
    auto probe = [](const QString &service, QString *problem) {
        auto answer = std::async(std::launch::async, [service, problem] {
            return portalOffersScreenshot(QDBusConnection::sessionBus(), service, 5000, problem);
        });
        kcWaitFor([&] { return answer.wait_for(std::chrono::seconds(0)) == std::future_status::ready; },
                  20000);
        return answer.get();
    };
    QString problem;
    EXPECT_FALSE(probe(options.service, &problem));
    EXPECT_FALSE(problem.isEmpty());
    EXPECT_TRUE(probe(kService, nullptr));
}

TEST(ScreenshotFileTest, SymbolicLinksAreNeverFollowedAndAreRemoved) {
    QTemporaryDir dir;
    const QString target = dir.filePath("target.png");
    QFile file(target);
    ASSERT_TRUE(file.open(QIODevice::WriteOnly));
    file.write("secret");
    file.close();
    const QString link = dir.filePath("link.png");
    ASSERT_EQ(::symlink(QFile::encodeName(target).constData(), QFile::encodeName(link).constData()), 0);
    const ScreenshotFileContents contents = takeScreenshotFile(link, QDateTime());
    EXPECT_TRUE(contents.bytes.isEmpty());
    EXPECT_FALSE(contents.problem.isEmpty());
    EXPECT_FALSE(QFileInfo::exists(link));
    EXPECT_TRUE(QFile::exists(target));
}

} // namespace
