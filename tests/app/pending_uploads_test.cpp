// The shell's view of uploads still waiting: tray menu entry, the first
// failure announced once per episode, and the question before quitting.

#include "app/app_delegate.h"
#include "app/pending_uploads.h"
#include "tests/app/fake_backend.h"

#include <QAction>
#include <QMenu>
#include <QSignalSpy>

#include <gtest/gtest.h>

#include <memory>

namespace {

// Stands in for the upload queue: the same signals, counts set by the test.
class FakeQueue : public QObject {
    Q_OBJECT
public:
    KCPendingUploadCounts counts;
    void change(int pending, int failed) {
        counts = {pending, failed};
        emit pendingChanged(pending, failed);
    }
    void fail(const QString &destination, const QString &error) { emit uploadFailed(destination, error); }
signals:
    void pendingChanged(int pending, int failed);
    void uploadFailed(const QString &destination, const QString &error);
};

struct Fixture {
    KCPendingUploads uploads;
    std::unique_ptr<FakeQueue> queue = std::make_unique<FakeQueue>();
    QList<KCPendingUploadCounts> asked;
    bool answer = false;
    int quits = 0;
    Fixture() {
        uploads.setSource(queue.get(), [q = queue.get()] { return q->counts; });
        uploads.setQuitConfirmation([this](const KCPendingUploadCounts &c) {
            asked.append(c);
            return answer;
        });
        uploads.setQuitHandler([this] { ++quits; });
    }
};

} // namespace

TEST(PendingUploads, QuitsWithoutAskingOnlyWhenNothingWaits) {
    Fixture f;
    EXPECT_TRUE(f.uploads.requestQuit());
    EXPECT_EQ(f.quits, 1);
    EXPECT_TRUE(f.asked.isEmpty());

    // Waiting uploads: the user is asked with the counts; "Keep Running"
    // keeps the application, "Quit Anyway" quits.
    f.queue->change(2, 1);
    EXPECT_FALSE(f.uploads.requestQuit());
    EXPECT_EQ(f.quits, 1);
    ASSERT_EQ(f.asked.size(), 1);
    EXPECT_EQ(f.asked[0].pending, 2);
    EXPECT_EQ(f.asked[0].failed, 1);
    f.answer = true;
    EXPECT_TRUE(f.uploads.requestQuit());
    EXPECT_EQ(f.quits, 2);
    EXPECT_EQ(f.asked.size(), 2);

    // A quit requested while the question is open is refused, not stacked.
    f.uploads.setQuitConfirmation([&f](const KCPendingUploadCounts &) {
        EXPECT_FALSE(f.uploads.requestQuit());
        return false;
    });
    EXPECT_FALSE(f.uploads.requestQuit());
    EXPECT_EQ(f.quits, 2);

    // Once the queue is gone there is nothing to ask about.
    f.queue.reset();
    EXPECT_EQ(f.uploads.counts().pending, 0);
    EXPECT_TRUE(f.uploads.requestQuit());
    EXPECT_EQ(f.quits, 3);
}

TEST(PendingUploads, EveryQuitMenuItemAsksFirst) {
    // The delegate's "Quit" (tray and context menu) goes through the shared
    // instance.
    auto *shared = KCPendingUploads::shared();
    FakeQueue queue;
    queue.counts = {1, 0};
    shared->setSource(&queue, [&queue] { return queue.counts; });
    int asked = 0, quits = 0;
    shared->setQuitConfirmation([&asked](const KCPendingUploadCounts &) {
        ++asked;
        return false;
    });
    shared->setQuitHandler([&quits] { ++quits; });
    {
        AppDelegate delegate(std::make_shared<FakeBackend>());
        delegate.quitMenuItem()->trigger();
        QCoreApplication::processEvents();
        QCoreApplication::processEvents();
    }
    EXPECT_EQ(asked, 1);
    EXPECT_EQ(quits, 0);
    shared->setSource(nullptr, nullptr);
    shared->setQuitConfirmation(nullptr);
}

TEST(PendingUploads, MenuEntryFollowsTheCounts) {
    Fixture f;
    QMenu menu;
    QAction *quit = menu.addAction(QStringLiteral("Quit"));
    QAction *status = f.uploads.attachToMenu(&menu);
    ASSERT_EQ(menu.actions().size(), 3);
    EXPECT_EQ(menu.actions().first(), status);
    EXPECT_EQ(menu.actions().last(), quit);
    EXPECT_FALSE(status->isVisible());
    EXPECT_FALSE(status->isEnabled());

    f.queue->change(2, 0);
    EXPECT_TRUE(status->isVisible());
    EXPECT_TRUE(menu.actions().at(1)->isVisible());
    EXPECT_EQ(status->text(), QStringLiteral("2 uploads waiting to be sent"));
    f.queue->change(1, 1);
    EXPECT_EQ(status->text(), QStringLiteral("1 upload failed \u2014 retrying"));
    f.queue->change(3, 1);
    EXPECT_EQ(status->text(), QStringLiteral("3 uploads waiting to be sent, 1 failed \u2014 retrying"));
    f.queue->change(0, 0);
    EXPECT_FALSE(status->isVisible());
    EXPECT_FALSE(menu.actions().at(1)->isVisible());
}

TEST(PendingUploads, FailuresAreAnnouncedOncePerEpisode) {
    Fixture f;
    QSignalSpy spy(&f.uploads, &KCPendingUploads::uploadsStartedFailing);
    f.queue->change(1, 1);
    f.queue->fail(QStringLiteral("clinic"), QStringLiteral("HTTP 503"));
    f.queue->fail(QStringLiteral("clinic"), QStringLiteral("HTTP 503"));
    f.queue->change(2, 2);
    f.queue->fail(QStringLiteral("emr"), QStringLiteral("timed out"));
    ASSERT_EQ(spy.size(), 1);
    EXPECT_TRUE(spy[0][1].toString().contains(QStringLiteral("clinic service")));
    EXPECT_TRUE(spy[0][1].toString().contains(QStringLiteral("HTTP 503")));

    // Everything went through; a later failure is news again.
    f.queue->change(0, 0);
    f.queue->change(1, 1);
    f.queue->fail(QStringLiteral("emr"), QString());
    ASSERT_EQ(spy.size(), 2);
    EXPECT_TRUE(spy[1][1].toString().contains(QStringLiteral("chart")));
}

#include "pending_uploads_test.moc"
