// The outbox's key in a real gnome-keyring (with-keyring): an item of its
// own, made on first use, that the login screen does not offer as a user
// name; a later run reads the captures with it. Then the keyring locked (as a
// screen lock does; no prompt can be shown here): captures are still
// accepted, kept for this run only, and said to be lost at quit; those of
// the earlier run wait, unreadable, for the keyring.

#include "capture/documentation_upload.h"
#include "capture/outbox/upload_queue.h"
#include "keychain/brkeychain.h"
#include "platform/secretstore/secret_service_store.h"

#include "outbox_files.h"
#include "tests/support/qt_wait.h"

#include <QDir>
#include <QProcess>
#include <QTemporaryDir>

#include <gtest/gtest.h>

namespace {

using Queue = DocumentationUploadQueue;

QTemporaryDir &folder() {
    static QTemporaryDir dir;
    return dir;
}

bool accept(Queue &queue) {
    QImage image(60, 40, QImage::Format_RGB32);
    image.fill(Qt::darkCyan);
    const QVariantMap patient{{"name", "Ann Smith"}, {"dob", "1970-01-01"}, {"emr_patient_id", "31007"}};
    std::optional<QString> error;
    queue.enqueueCapture(image,
                         {{Queue::kClinic, clinicDocumentationRecord("88", "left forearm", "17")},
                          {Queue::kEMR, emrDocumentationRecord(patient, "left forearm"), patient}},
                         [&](const QString &e) { error = e; });
    return kcWaitFor([&] { return error.has_value(); }, 30000) && error->isEmpty();
}

void resume(Queue &queue) {
    bool loaded = false;
    QObject::connect(&queue, &Queue::loaded, [&loaded] { loaded = true; });
    queue.resumeStored();
    ASSERT_TRUE(kcWaitFor([&] { return loaded; }, 30000));
}

TEST(OutboxKeyring, TheKeyIsAnItemOfItsOwnMadeOnFirstUseAndReadByTheNextRun) {
    ASSERT_TRUE(BRKeychain::setPassword("secret", "KelvraCapture", "jdoe"));
    {
        Queue queue(folder().path());
        queue.setPaused(true);
        ASSERT_TRUE(accept(queue));
        EXPECT_EQ(queue.lostAtQuitCount(), 0);
        EXPECT_EQ(queue.keyProblem(), "");
    }
    QList<KCSecretItem> items;
    ASSERT_TRUE(KCSecretServiceStore().list(kcOutboxKeyAttributes(), &items).ok());
    ASSERT_EQ(items.size(), 1);
    EXPECT_EQ(items.first().label, kcOutboxKeyLabel());
    // The login screen offers the last account of "KelvraCapture": still the user.
    const auto accounts = BRKeychain::accountsForService("KelvraCapture");
    ASSERT_TRUE(accounts);
    ASSERT_EQ(accounts->size(), 1);
    EXPECT_EQ(accounts->last().toMap().value("acct"), "jdoe");
    EXPECT_EQ(
        kcOutboxExposure(folder().path(), {"Ann Smith", "1970-01-01", "31007", "left forearm"}).toStdString(),
        "");

    Queue later(folder().path());
    later.setPaused(true);
    resume(later);
    EXPECT_EQ(later.pendingCount(), 2);
    EXPECT_EQ(later.unreadableCount(), 0);
    ASSERT_TRUE(accept(later));
    QList<KCSecretItem> still;
    ASSERT_TRUE(KCSecretServiceStore().list(kcOutboxKeyAttributes(), &still).ok());
    EXPECT_EQ(still.size(), 1) << "one key, made once";
}

TEST(OutboxKeyring, WithTheKeyringLockedCapturesAreKeptForThisRunOnly) {
    ASSERT_TRUE(KCSecretServiceStore().lockDefaultCollection().ok());
    {
        Queue queue(folder().path());
        queue.setPaused(true);
        resume(queue);
        EXPECT_EQ(queue.unreadableCount(), 4) << "the earlier runs' captures wait for the keyring";
        EXPECT_TRUE(queue.entries().first().lastError.contains("unlock"))
            << queue.entries().first().lastError.toStdString();
        ASSERT_TRUE(accept(queue));
        EXPECT_EQ(queue.pendingCount(), 6);
        EXPECT_EQ(queue.lostAtQuitCount(), 2);
        EXPECT_TRUE(queue.keyProblem().contains("locked")) << queue.keyProblem().toStdString();
    }
    EXPECT_EQ(
        kcOutboxExposure(folder().path(), {"Ann Smith", "1970-01-01", "31007", "left forearm"}).toStdString(),
        "");
}

int waitingForKey(const Queue &queue) {
    const QList<KCOutboxEntry> entries = queue.entries();
    return int(
        std::count_if(entries.cbegin(), entries.cend(), [](const auto &e) { return e.waitingForKey; }));
}

int filesIn(const QString &folder) {
    return int(QDir(folder).entryList(QDir::Files).size());
}

// The keyring's moods: after the lock above, its daemon starts anew and
// unlocks (as at the next login); later its item is deleted, then restored.
// Meanwhile the captures wait with a clear message and are never deleted,
// no new key is made while they name the old one, and captures accepted
// meanwhile are sealed in memory. When the key comes back (the Secret
// Service's signals say so) the waiting ones are read and the others sealed
// with it.
TEST(OutboxKeyring, CapturesWaitForTheirKeyWhichIsNeverReplacedAndAreReadWhenItComesBack) {
    {
        Queue queue(folder().path());
        queue.setPaused(true);
        resume(queue);
        EXPECT_EQ(waitingForKey(queue), 4) << "sealed with the kept key";
        EXPECT_EQ(queue.unreadableCount(), 6) << "and two sealed in memory by the run that quit";
        ASSERT_TRUE(accept(queue));
        EXPECT_EQ(queue.lostAtQuitCount(), 2);

        QProcess daemon;
        daemon.start("gnome-keyring-daemon", {"--replace", "--unlock", "--components=secrets"});
        ASSERT_TRUE(daemon.waitForStarted(30000));
        daemon.write("kc-test-password");
        daemon.closeWriteChannel();
        ASSERT_TRUE(daemon.waitForFinished(30000));
        ASSERT_TRUE(
            kcWaitFor([&] { return waitingForKey(queue) == 0 && queue.lostAtQuitCount() == 0; }, 60000))
            << "waiting " << waitingForKey(queue) << ", in memory " << queue.lostAtQuitCount();
        EXPECT_EQ(queue.unreadableCount(), 2);
        for (const KCOutboxEntry &e : queue.entries()) {
            if (e.unreadable) {
                EXPECT_TRUE(e.lastError.contains("quit")) << e.lastError.toStdString();
            }
        }
    }

    KCSecretServiceStore store;
    QByteArray key;
    ASSERT_TRUE(store.find(kcOutboxKeyAttributes(), &key).ok());
    ASSERT_TRUE(store.remove(kcOutboxKeyAttributes()).ok());
    const int files = filesIn(folder().path());
    Queue queue(folder().path());
    queue.setPaused(true);
    resume(queue);
    EXPECT_EQ(waitingForKey(queue), 6);
    const QList<KCOutboxEntry> entries = queue.entries();
    const auto found =
        std::find_if(entries.cbegin(), entries.cend(), [](const auto &e) { return e.waitingForKey; });
    ASSERT_NE(found, entries.cend());
    const KCOutboxEntry waiting = *found;
    EXPECT_TRUE(waiting.lastError.contains("waits for the key") && waiting.lastError.contains("kept"))
        << waiting.lastError.toStdString();
    EXPECT_TRUE(queue.keyProblem().contains("does not hold the key")) << queue.keyProblem().toStdString();
    ASSERT_TRUE(accept(queue));
    EXPECT_EQ(queue.lostAtQuitCount(), 2);
    QList<KCSecretItem> items;
    EXPECT_EQ(store.list(kcOutboxKeyAttributes(), &items).status, KCSecretStatus::NotFound)
        << "no new key while captures name the old one";
    EXPECT_EQ(filesIn(folder().path()), files + 3) << "nothing deleted";

    ASSERT_TRUE(store.add(kcOutboxKeyAttributes(), kcOutboxKeyLabel(), key).ok());
    ASSERT_TRUE(kcWaitFor([&] { return waitingForKey(queue) == 0 && queue.lostAtQuitCount() == 0; }, 60000))
        << "waiting " << waitingForKey(queue) << ", in memory " << queue.lostAtQuitCount();
    EXPECT_EQ(queue.pendingCount(), 10);
    EXPECT_EQ(queue.unreadableCount(), 2);
    ASSERT_TRUE(store.list(kcOutboxKeyAttributes(), &items).ok());
    EXPECT_EQ(items.size(), 1);
}

} // namespace
