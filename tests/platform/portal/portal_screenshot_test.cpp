// The portal screenshot client against a fake portal on a private session
// bus: the picture arrives or the failure is told, and the picture file
// never stays behind.
#include "fake_portal.h"
#include "platform/portal/portal_screenshot.h"
#include "platform/portal/screenshot_file.h"
#include "tests/support/qt_wait.h"

#include <QDBusConnection>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QImage>
#include <QTemporaryDir>
#include <QTemporaryFile>

#include <gtest/gtest.h>

#include <functional>
#include <future>
#include <optional>
#include <sys/inotify.h>
#include <sys/stat.h>
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
        const QDateTime asked = QDateTime::currentDateTimeUtc();
        callPortalScreenshot(QDBusConnection::sessionBus(), options,
                             [&](const PortalScreenshotAnswer &answer) {
                                 result = capturePortalAnswer(answer, asked);
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

TEST_F(PortalScreenshotTest, UndecodableFilesAreRefusedAndRemoved) {
    portal->answer = FakePortal::Answer::NotAPicture;
    const auto result = request();
    ASSERT_TRUE(result.has_value());
    EXPECT_EQ(result->status, CaptureResult::Status::Failed);
    EXPECT_TRUE(result->image.isNull());
    EXPECT_TRUE(filesGone());
}

TEST_F(PortalScreenshotTest, NoPortalIsAFailureAndTheProbeSaysSo) {
    PortalScreenshotOptions options;
    options.service = QStringLiteral("org.kelvra.test.NoSuchPortal");
    std::optional<CaptureResult> result;
    callPortalScreenshot(QDBusConnection::sessionBus(), options, [&](const PortalScreenshotAnswer &answer) {
        result = capturePortalAnswer(answer, QDateTime::currentDateTimeUtc());
    });
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

// Whether anything opened the file at `path` while `action` ran.
bool opensDuring(const QString &path, const std::function<void()> &action) {
    const int watch = ::inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    ::inotify_add_watch(watch, QFile::encodeName(path).constData(), IN_OPEN | IN_ACCESS);
    action();
    alignas(inotify_event) char events[4096];
    bool opened = false;
    ssize_t n;
    while ((n = ::read(watch, events, sizeof events)) > 0)
        for (char *e = events; e < events + n;
             e += sizeof(inotify_event) + reinterpret_cast<inotify_event *>(e)->len)
            opened = opened || (reinterpret_cast<inotify_event *>(e)->mask & (IN_OPEN | IN_ACCESS));
    ::close(watch);
    return opened;
}

// A picture is read only where no other account could have read or
// replaced it, and only when it was made after the request; anything else
// is refused unopened, and removed where this user may.
TEST(ScreenshotFileTest, OnlyPrivateNewPicturesAreOpened) {
    struct Case {
        const char *name;
        mode_t above, folder, file; // the folder above the picture's folder
        qint64 askedAfterMs;
        const char *refusal; // nullptr: read
    };
    const Case cases[] = {
        {"a private folder", 0755, 0700, 0644, 0, nullptr},
        {"an open folder inside a closed one (Pictures in a private home)", 0700, 0755, 0644, 0, nullptr},
        {"a private file in a folder others may list", 0755, 0755, 0600, 0, "can read"},
        {"a file others may read", 0755, 0711, 0644, 0, "can read"},
        {"a folder the group may write to", 0700, 0770, 0600, 0, "put or replace"},
        {"a picture made before the request", 0755, 0700, 0600, 3600 * 1000, "older"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        QTemporaryDir above;
        const QString folder = above.filePath("pictures");
        ASSERT_TRUE(QDir().mkdir(folder));
        const QString path = folder + "/shot.png";
        QImage image(8, 8, QImage::Format_RGB32);
        image.fill(Qt::red);
        ASSERT_TRUE(image.save(path, "PNG"));
        ASSERT_EQ(::chmod(QFile::encodeName(path).constData(), c.file), 0);
        ASSERT_EQ(::chmod(QFile::encodeName(folder).constData(), c.folder), 0);
        ASSERT_EQ(::chmod(QFile::encodeName(above.path()).constData(), c.above), 0);
        ScreenshotFileContents contents;
        const bool opened = opensDuring(path, [&] {
            contents = takeScreenshotFile(path, QDateTime::currentDateTimeUtc().addMSecs(c.askedAfterMs));
        });
        EXPECT_FALSE(QFile::exists(path));
        if (!c.refusal) {
            EXPECT_TRUE(contents.problem.isEmpty()) << contents.problem.toStdString();
            EXPECT_FALSE(contents.bytes.isEmpty());
            continue;
        }
        EXPECT_FALSE(opened);
        EXPECT_TRUE(contents.bytes.isEmpty());
        EXPECT_TRUE(contents.problem.contains(c.refusal)) << contents.problem.toStdString();
        EXPECT_EQ(contents.exposed, std::string(c.refusal) != "older");
    }

    // Shared temporary folders (the wlroots portal's fixed /tmp/out.png).
    for (const char *shared : {"/tmp", "/dev/shm"}) {
        QTemporaryFile planted(QString::fromLatin1(shared) + "/kc-shot-XXXXXX.png");
        planted.setAutoRemove(false);
        ASSERT_TRUE(planted.open());
        planted.write("\x89PNG");
        planted.close();
        ScreenshotFileContents contents;
        EXPECT_FALSE(opensDuring(planted.fileName(), [&] {
            contents = takeScreenshotFile(planted.fileName(), QDateTime::currentDateTimeUtc());
        }));
        EXPECT_TRUE(contents.exposed);
        EXPECT_TRUE(contents.problem.contains("every account")) << contents.problem.toStdString();
        EXPECT_TRUE(contents.problem.contains("screencopy"));
        EXPECT_FALSE(QFile::exists(planted.fileName()));
    }

    // Another account's file.
    if (::geteuid() == 0) {
        QTemporaryDir dir;
        const QString path = dir.filePath("theirs.png");
        QFile file(path);
        ASSERT_TRUE(file.open(QIODevice::WriteOnly));
        file.write("\x89PNG");
        file.close();
        ASSERT_EQ(::chown(QFile::encodeName(path).constData(), 65534, 65534), 0);
        ScreenshotFileContents contents;
        EXPECT_FALSE(opensDuring(path, [&] { contents = takeScreenshotFile(path, QDateTime()); }));
        EXPECT_TRUE(contents.problem.contains("another account")) << contents.problem.toStdString();
    }
}

} // namespace
