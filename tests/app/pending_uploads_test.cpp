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
    ASSERT_EQ(menu.actions().size(), 5);
    EXPECT_EQ(menu.actions().first(), status);
    EXPECT_EQ(menu.actions().last(), quit);
    QAction *waiting = menu.actions().at(1);
    QAction *lost = menu.actions().at(2);
    QAction *separator = menu.actions().at(3);
    EXPECT_FALSE(status->isVisible());
    EXPECT_FALSE(status->isEnabled());

    f.queue->change(2, 0);
    EXPECT_TRUE(status->isVisible());
    EXPECT_TRUE(separator->isVisible());
    EXPECT_FALSE(waiting->isVisible());
    EXPECT_EQ(status->text(), QStringLiteral("2 uploads waiting to be sent"));
    f.queue->change(1, 1);
    EXPECT_EQ(status->text(), QStringLiteral("1 upload failed \u2014 retrying"));
    f.queue->change(3, 1);
    EXPECT_EQ(status->text(), QStringLiteral("3 uploads waiting to be sent, 1 failed \u2014 retrying"));
    // Records of another account, and refused ones.
    f.queue->counts = {3, 1, 1, {"ann"}};
    emit f.queue->pendingChanged(3, 1);
    EXPECT_EQ(status->text(), QStringLiteral("3 uploads waiting, 1 refused \u2014 choose what to do"));
    EXPECT_TRUE(waiting->isVisible());
    EXPECT_EQ(waiting->text(), QStringLiteral("Some uploads are waiting for ann to sign in"));
    EXPECT_FALSE(lost->isVisible());
    // Records that cannot be read, and records that only this run can read
    // (no keyring keeps their key).
    f.queue->counts = {3, 2, 1, {}, 1, 2, "The keyring holding the item is locked."};
    emit f.queue->pendingChanged(3, 2);
    EXPECT_EQ(status->text(),
              QStringLiteral("3 uploads waiting, 1 refused, 1 unreadable \u2014 choose what to do"));
    EXPECT_TRUE(lost->isVisible());
    EXPECT_EQ(lost->text(),
              QStringLiteral("2 uploads lost if KelvraCapture quits now: no keyring keeps them"));
    EXPECT_EQ(lost->toolTip(), QStringLiteral("The keyring holding the item is locked."));
    f.queue->change(0, 0);
    EXPECT_FALSE(status->isVisible());
    EXPECT_FALSE(separator->isVisible());
    EXPECT_FALSE(waiting->isVisible());
    EXPECT_FALSE(lost->isVisible());
}

// Each failed, refused or unreadable record gets a submenu, made when the
// menu opens: Retry, Save image…, and Discard after a confirmation; a record
// that cannot be read can only be discarded. A day's worth of records shows
// the first ones and how many more wait.
TEST(PendingUploads, TheTrayOffersRetrySaveAndDiscardPerRecord) {
    Fixture f;
    QList<KCPendingUploadItem> items{
        {"clinic-A", "Capture of 10:01 for the clinic service", "HTTP 413", true},
        {"emr-B", "Capture of 10:02 for the chart", "HTTP 503", false},
        {"emr-C", "Capture of 10:03 for the chart", "It is damaged.", false, true}};
    QStringList retried, discarded;
    QList<QPair<QString, QString>> saved;
    KCPendingUploadActions actions;
    actions.items = [&] { return items; };
    actions.retry = [&](const QString &key) { retried.append(key); };
    actions.saveImage = [&](const QString &key, const QString &path) {
        saved.append({key, path});
        return QString();
    };
    actions.discard = [&](const QString &key) {
        discarded.append(key);
        items.removeIf([&](const KCPendingUploadItem &i) { return i.key == key; });
    };
    f.uploads.setActions(actions);
    bool confirm = false;
    QStringList asked;
    f.uploads.setDiscardConfirmation([&](const KCPendingUploadItem &item) {
        asked.append(item.title);
        return confirm;
    });
    f.uploads.setImagePathChooser([](const KCPendingUploadItem &) { return QStringLiteral("/tmp/x.png"); });

    QMenu menu;
    menu.addAction(QStringLiteral("Quit"));
    f.uploads.attachToMenu(&menu);
    f.queue->counts = {3, 3, 1, {}, 1, 2, "The keyring holding the item is locked."};
    emit f.queue->pendingChanged(3, 3);
    auto submenus = [&menu] {
        emit menu.aboutToShow();
        QList<QMenu *> subs;
        for (QAction *a : menu.actions())
            if (a->menu())
                subs.append(a->menu());
        return subs;
    };
    const QList<QMenu *> subs = submenus();
    ASSERT_EQ(subs.size(), 3);
    if (const QByteArray shot = qgetenv("KC_MENU_SHOT"); !shot.isEmpty()) {
        menu.popup(QPoint(0, 0));
        subs[0]->popup(QPoint(0, 0));
        menu.grab().save(QString::fromLocal8Bit(shot) + "-menu.png");
        subs[0]->grab().save(QString::fromLocal8Bit(shot) + "-record.png");
        subs[0]->hide();
        subs[2]->popup(QPoint(0, 0));
        subs[2]->grab().save(QString::fromLocal8Bit(shot) + "-unreadable.png");
        subs[2]->hide();
        menu.hide();
    }
    EXPECT_EQ(subs[0]->title(), QStringLiteral("Capture of 10:01 for the clinic service \u2014 refused"));
    EXPECT_EQ(subs[1]->title(), QStringLiteral("Capture of 10:02 for the chart \u2014 failed"));
    EXPECT_EQ(subs[2]->title(), QStringLiteral("Capture of 10:03 for the chart \u2014 cannot be read"));
    auto action = [](QMenu *m, const QString &text) -> QAction * {
        for (QAction *a : m->actions())
            if (a->text() == text)
                return a;
        return nullptr;
    };
    ASSERT_TRUE(action(subs[0], "HTTP 413")) << "the reason is shown";
    ASSERT_TRUE(action(subs[0], "Retry"));
    ASSERT_TRUE(action(subs[0], "Save image\u2026"));
    ASSERT_TRUE(action(subs[0], "Discard\u2026"));
    EXPECT_TRUE(action(subs[0], "Retry")->isEnabled());
    EXPECT_FALSE(action(subs[2], "Retry")->isEnabled());
    EXPECT_FALSE(action(subs[2], "Save image\u2026")->isEnabled());
    EXPECT_TRUE(action(subs[2], "Discard\u2026")->isEnabled());
    action(subs[0], "Retry")->trigger();
    EXPECT_EQ(retried, QStringList{"clinic-A"});
    action(subs[0], "Save image\u2026")->trigger();
    ASSERT_EQ(saved.size(), 1);
    EXPECT_EQ(saved[0], qMakePair(QStringLiteral("clinic-A"), QStringLiteral("/tmp/x.png")));
    action(subs[1], "Discard\u2026")->trigger();
    EXPECT_EQ(asked, QStringList{"Capture of 10:02 for the chart"});
    EXPECT_TRUE(discarded.isEmpty()) << "kept when the user says Keep";
    confirm = true;
    action(subs[1], "Discard\u2026")->trigger();
    EXPECT_EQ(discarded, QStringList{"emr-B"});

    // The menu follows when it opens: two records left.
    f.queue->counts = {2, 2, 1, {}, 1};
    emit f.queue->pendingChanged(2, 2);
    EXPECT_EQ(submenus().size(), 2);
    // Many: the first ones, and how many more.
    for (int i = 0; i < 30; ++i)
        items.append(
            {QStringLiteral("clinic-%1").arg(i), QStringLiteral("Capture %1").arg(i), "offline", false});
    EXPECT_EQ(submenus().size(), KCPendingUploads::kMenuRecords);
    EXPECT_EQ(menu.actions().at(menu.actions().size() - 3)->text(), QStringLiteral("\u2026 and 12 more"));
    // Quitting still asks while it is there.
    EXPECT_FALSE(f.uploads.requestQuit());
    EXPECT_EQ(f.asked.size(), 1);
}

TEST(PendingUploads, FailuresAreAnnouncedOncePerEpisode) {
    Fixture f;
    QSignalSpy spy(&f.uploads, &KCPendingUploads::uploadsStartedFailing);
    f.queue->change(1, 1);
    // An error text may quote a patient's record number: the notification
    // (seen on a locked screen, kept in the desktop's history) never does.
    const QString withPatient = QStringLiteral("HTTP 400: patient MRN 4471-22 (Ann Smith) not found");
    f.queue->fail(QStringLiteral("clinic"), withPatient);
    f.queue->fail(QStringLiteral("clinic"), QStringLiteral("HTTP 503"));
    f.queue->change(2, 2);
    f.queue->fail(QStringLiteral("emr"), QStringLiteral("timed out"));
    ASSERT_EQ(spy.size(), 1);
    EXPECT_TRUE(spy[0][1].toString().contains(QStringLiteral("clinic service")));
    EXPECT_FALSE(spy[0][1].toString().contains(QStringLiteral("4471")) ||
                 spy[0][1].toString().contains(QStringLiteral("Smith")))
        << spy[0][1].toString().toStdString();

    // Everything went through; a later failure is news again.
    f.queue->change(0, 0);
    f.queue->change(1, 1);
    f.queue->fail(QStringLiteral("emr"), QString());
    ASSERT_EQ(spy.size(), 2);
    EXPECT_TRUE(spy[1][1].toString().contains(QStringLiteral("chart")));
}

#include "pending_uploads_test.moc"
