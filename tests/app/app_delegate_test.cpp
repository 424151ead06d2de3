// The session of AppDelegate against a clinic service that answers from
// memory on the background queue: sign-in and sign-out, the refresh timer,
// the configuration hand-over and the patient list.
#include "app/app_delegate.h"
#include "app/app_frameworks.h"
#include "app/app_shell.h"
#include "app/pending_uploads.h"
#include "emr/emr_document_file.h"
#include "fake_backend.h"
#include "platform/core/notification_center.h"
#include "tests/support/qt_wait.h"

#include <QFileInfo>
#include <QSettings>
#include <QTemporaryDir>
#include <gtest/gtest.h>

#include <atomic>

namespace {

QVariantMap assignment(int n, const QVariant &imageID, const QVariant &roomID = QStringLiteral("1")) {
    return QVariantMap{
        {QStringLiteral("ClinicPatientDeviceAssignment"),
         QVariantMap{{QStringLiteral("patient_id"), QString::number(n)},
                     {QStringLiteral("emr_appointment_id"), QVariant::fromValue(nullptr)},
                     {QStringLiteral("clinic_exam_room_id"), roomID}}},
        {QStringLiteral("Patient"),
         QVariantMap{{QStringLiteral("first_name"), QStringLiteral("First%1").arg(n)},
                     {QStringLiteral("last_name"), QStringLiteral("Last")},
                     {QStringLiteral("dob"), QVariant::fromValue(nullptr)},
                     {QStringLiteral("profile_image__upload_id"), imageID},
                     {QStringLiteral("EmrPatientLink"), QVariantList()}}},
        {QStringLiteral("Interaction"), QVariantMap{{QStringLiteral("id"), QString::number(1000 + n)}}},
    };
}

QVariantList rooms() {
    return {QVariantMap{
        {QStringLiteral("ClinicExamRoom"), QVariantMap{{QStringLiteral("id"), QStringLiteral("1")},
                                                       {QStringLiteral("name"), QStringLiteral("Room A")}}}}};
}

class Session : public ::testing::Test {
protected:
    void SetUp() override {
        backend = std::make_shared<FakeBackend>();
        delegate = std::make_unique<AppDelegate>(backend);
        delegate->setPatientListRefreshIntervalForTesting(60);
    }
    void TearDown() override {
        delegate.reset();
        // Let answers that are still out run against the released session.
        kcSpin(100);
    }

    // Signs in and waits for the outcome; true on success.
    bool signIn() {
        std::atomic<int> outcome{0};
        delegate->loginWithUsername(
            "ann", "secret", [&] { outcome = 1; }, [&](const KCError &) { outcome = 2; });
        kcWaitFor([&] { return outcome != 0; }, 10000);
        return outcome == 1;
    }

    std::shared_ptr<FakeBackend> backend;
    std::unique_ptr<AppDelegate> delegate;
};

} // namespace

TEST(Launch, ConfiguresTheOutsideServicesAndStartsSignedOut) {
    QTemporaryDir settingsDir;
    QSettings::setPath(QSettings::NativeFormat, QSettings::UserScope, settingsDir.path());
    QCoreApplication::setOrganizationName("KelvraTest");
    QCoreApplication::setApplicationName("LaunchTest");
    // A chart PDF that a crash left behind.
    qputenv("XDG_DATA_HOME", settingsDir.filePath("data").toUtf8());
    const QString leftover = emrDocumentsDirectory() + "/C04FC964FF.pdf";
    ASSERT_TRUE(emrWriteDocumentFile(leftover, "%PDF-1.4").isNull());
    auto backend = std::make_shared<FakeBackend>();
    AppDelegate delegate(backend);
    delegate.applicationDidFinishLaunching();
    EXPECT_FALSE(QFileInfo::exists(leftover)) << "swept at start";

    QSettings settings;
    const QString feed = settings.value("SUFeedURL").toString();
    EXPECT_TRUE(feed.startsWith("https://")) << feed.toStdString();
    EXPECT_TRUE(QRegularExpression("/api/2/apps/[0-9a-f]{32}$").match(feed).hasMatch()) << feed.toStdString();
    EXPECT_EQ(settings.value("SUScheduledCheckInterval").toInt(), 3600);
    EXPECT_TRUE(settings.value("SUEnableAutomaticChecks").toBool());
    EXPECT_EQ(SUUpdater::sharedUpdater()->feedURL().toString(), feed);
    EXPECT_EQ(SUUpdater::sharedUpdater()->updateCheckInterval(), 3600);
    EXPECT_TRUE(SUUpdater::sharedUpdater()->automaticallyChecksForUpdates());
    EXPECT_EQ(DDLog::allLoggers().size(), 2u);
    EXPECT_TRUE(feed.endsWith(BITHockeyManager::sharedHockeyManager()->identifier()));
    EXPECT_TRUE(BITHockeyManager::sharedHockeyManager()->autoSubmitCrashReport());
    EXPECT_TRUE(BITHockeyManager::sharedHockeyManager()->isStarted());

    EXPECT_FALSE(delegate.loggedIn());
    EXPECT_FALSE(delegate.logoutMenuItem()->isEnabled());
    EXPECT_EQ(delegate.scheduleUpdateTimer(), nullptr);
    EXPECT_FALSE(delegate.parsedPtArray().has_value());
    EXPECT_TRUE(delegate.downloadedImages().isEmpty());
    EXPECT_EQ(AppDelegate::sharedDelegate(), &delegate);

    // The menu item signs out.
    delegate.logoutMenuItem()->setEnabled(true);
    delegate.logoutMenuItem()->trigger();
    EXPECT_TRUE(kcWaitFor([&] { return backend->logouts == 1; }));
}

TEST_F(Session, WrongPasswordFailsWithoutErrorAndStoresNothing) {
    backend->loginAnswer = {{"login", "fail"}};
    std::atomic<int> failures{0}, successes{0};
    std::atomic<bool> errorWasNull{false};
    delegate->loginWithUsername(
        "ann", "wrong", [&] { ++successes; },
        [&](const KCError &error) {
            errorWasNull = error.isNull();
            ++failures;
        });
    ASSERT_TRUE(kcWaitFor([&] { return failures == 1; }));
    kcSpin(200);
    EXPECT_EQ(successes, 0);
    EXPECT_TRUE(errorWasNull);
    EXPECT_FALSE(delegate->loggedIn());
    EXPECT_TRUE(backend->storedPasswords().isEmpty());
    EXPECT_EQ(backend->configurations, 0);
    EXPECT_EQ(delegate->scheduleUpdateTimer(), nullptr);
}

TEST_F(Session, TransportErrorReachesTheCaller) {
    backend->loginError = KCError("com.corvane.error.serialization.response", -1011);
    std::atomic<qint64> code{0};
    delegate->loginWithUsername(
        "ann", "secret", [] {}, [&](const KCError &error) { code = error.code(); });
    ASSERT_TRUE(kcWaitFor([&] { return code != 0; }));
    EXPECT_EQ(code, -1011);
    EXPECT_FALSE(delegate->loggedIn());
    EXPECT_TRUE(backend->storedPasswords().isEmpty());
}

// Only "login": "pass" signs in; any other answer is a refusal that stores
// nothing (a proxy's or a changed service's answer must not save the
// password).
TEST_F(Session, OnlyAPassAnswerSignsIn) {
    const QList<QVariantMap> answers = {{{"user_id", "u-7"}},
                                        {{"login", "ok"}, {"user_id", "u-7"}},
                                        {{"login", true}},
                                        {{"login", "PASS"}},
                                        {{"login", QVariant::fromValue(nullptr)}}};
    for (const QVariantMap &answer : answers) {
        backend->loginAnswer = answer;
        EXPECT_FALSE(signIn());
        EXPECT_FALSE(delegate->loggedIn());
    }
    kcSpin(200);
    EXPECT_TRUE(backend->storedPasswords().isEmpty());
    EXPECT_EQ(backend->configurations, 0);
    EXPECT_EQ(delegate->scheduleUpdateTimer(), nullptr);

    backend->loginAnswer = {{"login", "pass"}, {"user_id", "u-7"}};
    ASSERT_TRUE(signIn());
    EXPECT_TRUE(delegate->loggedIn());
    EXPECT_EQ(backend->storedPasswords(), QStringList{"KelvraCapture/ann=secret"});
    ASSERT_TRUE(kcWaitFor([&] { return delegate->scheduleUpdateTimer() != nullptr; }));
    EXPECT_EQ(delegate->userID(), "u-7");
}

TEST_F(Session, FirstPatientListIsRequestedAtOnceAndOneTimerSurvivesTwoSignIns) {
    delegate->setPatientListRefreshIntervalForTesting(AppDelegate::kPatientListRefreshMs);
    ASSERT_TRUE(signIn());
    ASSERT_TRUE(kcWaitFor([&] { return delegate->scheduleUpdateTimer() != nullptr; }));
    QTimer *first = delegate->scheduleUpdateTimer();
    EXPECT_EQ(first->interval(), 30000);
    EXPECT_TRUE(first->isActive());
    // Requested at once, not after 30 seconds.
    EXPECT_EQ(backend->assignmentRequests, 1);

    ASSERT_TRUE(signIn());
    kcWaitFor([&] { return backend->examRoomRequests == 2; });
    kcSpin(200);
    EXPECT_EQ(delegate->scheduleUpdateTimer(), first);
    EXPECT_EQ(delegate->findChildren<QTimer *>().size(), 1);
    EXPECT_EQ(backend->assignmentRequests, 1);
    EXPECT_EQ(backend->configurations, 2);
}

TEST_F(Session, SignOutStopsTheRefreshesAndPostsLogout) {
    std::atomic<int> logoutNotes{0};
    const auto token = NotificationCenter::defaultCenter().addObserver(
        "logout", nullptr, [&](const Notification &) { ++logoutNotes; });
    ASSERT_TRUE(signIn());
    // The timer refreshes (60 ms here).
    ASSERT_TRUE(kcWaitFor([&] { return backend->assignmentRequests >= 3; }));
    ASSERT_TRUE(kcWaitFor([&] { return delegate->parsedPtArray().has_value(); }));
    // The service never answers the sign-out: the session ends here anyway.
    backend->logoutFails = true;
    delegate->logout();
    EXPECT_EQ(logoutNotes, 1) << "signed out at once, not when the service answers";
    EXPECT_FALSE(delegate->loggedIn());
    EXPECT_EQ(delegate->scheduleUpdateTimer(), nullptr);
    EXPECT_FALSE(delegate->logoutMenuItem()->isEnabled());
    EXPECT_EQ(backend->emrForgets, 1);
    EXPECT_TRUE(KCPendingUploads::shared()->uploadsPaused());
    EXPECT_TRUE(kcWaitFor([&] { return backend->logouts == 1; })) << "the service is still told";
    const int requests = backend->assignmentRequests;
    kcSpin(600);
    EXPECT_EQ(backend->assignmentRequests, requests);
    EXPECT_FALSE(delegate->loggedIn());
    // The password stays in the keychain; the user id and the patient list
    // of the session are gone.
    EXPECT_EQ(backend->storedPasswords().size(), 1);
    EXPECT_TRUE(delegate->userID().isEmpty());
    EXPECT_FALSE(delegate->parsedPtArray().has_value());

    // The next sign-in asks for the list at once again and lets the
    // uploads go.
    ASSERT_TRUE(signIn());
    EXPECT_TRUE(kcWaitFor([&] { return backend->assignmentRequests > requests; }));
    EXPECT_TRUE(kcWaitFor([&] { return !KCPendingUploads::shared()->uploadsPaused(); }));
    NotificationCenter::defaultCenter().removeObserver(token);
}

TEST_F(Session, AnswersArrivingAfterSignOutAreNotKept) {
    backend->setAssignments({assignment(1, QVariant::fromValue(nullptr))});
    ASSERT_TRUE(signIn());
    ASSERT_TRUE(kcWaitFor([&] { return delegate->parsedPtArray().has_value(); }));
    // A refresh is under way when the user signs out.
    delegate->retrievePatientList();
    delegate->logout();
    kcSpin(400);
    EXPECT_FALSE(delegate->parsedPtArray().has_value());
    EXPECT_TRUE(delegate->appointmentArray().isEmpty());
}

// The configuration carries the EMR's credentials: one that arrives after
// sign-out reaches no EMR client.
TEST(SessionEnd, ConfigurationArrivingAfterSignOutReachesNoEMRClient) {
    class HeldConfiguration : public FakeBackend {
    public:
        void getUserConfigurationWithCallback(ResponseCallback callback) override {
            QMutexLocker lock(&heldMutex);
            held = std::move(callback);
            ++configurations;
        }
        ResponseCallback take() {
            QMutexLocker lock(&heldMutex);
            return std::exchange(held, nullptr);
        }

    private:
        QMutex heldMutex;
        ResponseCallback held;
    };
    auto backend = std::make_shared<HeldConfiguration>();
    backend->emrClient = std::make_shared<FakeEMRClient>();
    backend->preferences = {
        {"emrData", QVariantMap{{"base_url", "https://emr.example/v1/"}, {"api_secret", "s3cret"}}},
        {"kelvraKeychain", QVariantMap{{"enabledEMR", "athenahealth"}}}};
    AppDelegate delegate(backend);
    std::atomic<bool> signedIn{false};
    delegate.loginWithUsername(
        "ann", "secret", [&] { signedIn = true; }, [](const KCError &) {});
    ASSERT_TRUE(kcWaitFor([&] { return signedIn && backend->configurations == 1; }));
    delegate.logout();
    const AppBackend::ResponseCallback configuration = backend->take();
    ASSERT_TRUE(configuration);
    configuration(QVariantMap{{"data", QVariant::fromValue(nullptr)}});
    EXPECT_EQ(backend->emrChecks, 0);
    EXPECT_TRUE(backend->emrClient->initialisedWith().isEmpty());
}

TEST_F(Session, FailedSilentSignInEndsTheSession) {
    std::atomic<int> logoutNotes{0};
    const auto token = NotificationCenter::defaultCenter().addObserver(
        "logout", nullptr, [&](const Notification &) { ++logoutNotes; });
    ASSERT_TRUE(signIn());
    ASSERT_TRUE(kcWaitFor([&] { return delegate->scheduleUpdateTimer() != nullptr; }));
    backend->failSilentSignIn();
    ASSERT_TRUE(kcWaitFor([&] { return logoutNotes == 1; })) << "the login window comes back";
    EXPECT_FALSE(delegate->loggedIn());
    EXPECT_EQ(delegate->scheduleUpdateTimer(), nullptr);
    // Another report changes nothing more.
    backend->failSilentSignIn();
    kcSpin(300);
    EXPECT_EQ(logoutNotes, 1);
    NotificationCenter::defaultCenter().removeObserver(token);
}

TEST_F(Session, ConfigurationGoesToTheRegistryAndReinitialisesItsClient) {
    // No EMR data and no client: nothing to re-initialise.
    ASSERT_TRUE(signIn());
    ASSERT_TRUE(kcWaitFor([&] { return backend->emrChecks == 1; }));
    EXPECT_FALSE(backend->lastEMRData().isValid());

    backend->emrClient = std::make_shared<FakeEMRClient>();
    backend->preferences = {{"emrData", QVariantMap{{"base_url", "https://emr.example/v1/"}}},
                            {"kelvraKeychain", QVariantMap{{"enabledEMR", "athenahealth"}}}};
    ASSERT_TRUE(signIn());
    ASSERT_TRUE(kcWaitFor([&] { return backend->emrClient->initialisedWith().size() == 1; }));
    EXPECT_EQ(backend->emrClient->initialisedWith().first(), QUrl("https://emr.example/v1/"));
    EXPECT_EQ(backend->lastEMRData().toMap().value("base_url"), "https://emr.example/v1/");

    // A client chosen before is re-initialised without a base URL.
    backend->preferences = {};
    ASSERT_TRUE(signIn());
    ASSERT_TRUE(kcWaitFor([&] { return backend->emrClient->initialisedWith().size() == 2; }));
    EXPECT_TRUE(backend->emrClient->initialisedWith().last().isEmpty());
}

TEST_F(Session, PatientListEntriesRoomsAndImages) {
    backend->setExamRooms(rooms());
    backend->setAssignments({assignment(1, "img-1"), assignment(2, "img-1"),
                             assignment(3, QVariant::fromValue(nullptr)), assignment(4, "img-4", "9")});
    delegate->setPatientListRefreshIntervalForTesting(AppDelegate::kPatientListRefreshMs);
    ASSERT_TRUE(signIn());
    ASSERT_TRUE(kcWaitFor([&] { return delegate->parsedPtArray().has_value(); }));
    // The first list may have been built before the rooms arrived; the next
    // refresh names them.
    ASSERT_TRUE(kcWaitFor([&] { return !delegate->examRoomArray().isEmpty(); }));
    delegate->retrievePatientList();
    ASSERT_TRUE(kcWaitFor([&] {
        const auto list = delegate->parsedPtArray();
        return list && list->size() == 4 && list->first().toMap()["exam_room_name"] == "Room A";
    }));
    const QVariantList list = *delegate->parsedPtArray();
    for (const QVariant &e : list) {
        EXPECT_EQ(e.toMap().size(), 10); // eight, plus first_name and last_name
        EXPECT_EQ(e.toMap()["dob"], QString());
        EXPECT_EQ(e.toMap()["emr_patient_id"], QString());
        EXPECT_EQ(e.toMap()["emr_appointment_id"], QString());
    }
    EXPECT_EQ(list[2].toMap()["profile_image_id"], QString());
    EXPECT_EQ(list[3].toMap()["exam_room_name"], QString());
    EXPECT_EQ(delegate->examRoomNameForID("1"), QString("Room A"));
    EXPECT_EQ(delegate->examRoomNameForID("9"), std::nullopt);
    EXPECT_EQ(delegate->appointmentArray().size(), 4);

    ASSERT_TRUE(kcWaitFor([&] { return delegate->downloadedImages().size() == 2; }));
    EXPECT_FALSE(delegate->downloadedImage("img-4").isNull());
    // Only missing images are asked for, at 250 by 250; the shared one may be
    // asked for twice in one rebuild, but never once it is cached.
    const QStringList before = backend->imageRequests();
    for (const QString &r : before)
        EXPECT_TRUE(r.endsWith("/250/250")) << r.toStdString();
    delegate->retrievePatientList();
    ASSERT_TRUE(kcWaitFor([&] { return backend->assignmentRequests == 3; }));
    kcSpin(200);
    EXPECT_EQ(backend->imageRequests(), before);
}

TEST_F(Session, FailedImagesAreAskedForAgainAndEmptyDataEmptiesTheList) {
    backend->imagesFail = true;
    backend->setAssignments({assignment(1, "img-1")});
    delegate->setPatientListRefreshIntervalForTesting(AppDelegate::kPatientListRefreshMs);
    ASSERT_TRUE(signIn());
    ASSERT_TRUE(kcWaitFor([&] { return backend->imageRequests().size() == 1; }));
    delegate->retrievePatientList();
    ASSERT_TRUE(kcWaitFor([&] { return backend->imageRequests().size() == 2; }));
    EXPECT_TRUE(delegate->downloadedImages().isEmpty());

    backend->setAssignments({});
    delegate->retrievePatientList();
    ASSERT_TRUE(kcWaitFor([&] { return delegate->parsedPtArray() && delegate->parsedPtArray()->isEmpty(); }));
}

// The list and the images are written on the background queue while the
// main thread reads them; run under ThreadSanitizer this shows the hand-over
// is free of data races.
TEST_F(Session, ListAndImagesCanBeReadWhileTheyAreRebuilt) {
    QVariantList data;
    for (int i = 0; i < 40; ++i)
        data.append(assignment(i, QStringLiteral("img-%1").arg(i % 25)));
    backend->setAssignments(data);
    backend->setExamRooms(rooms());
    delegate->setPatientListRefreshIntervalForTesting(1);
    std::atomic<int> updates{0};
    QObject::connect(delegate.get(), &AppDelegate::patientListUpdated, [&] { ++updates; });
    ASSERT_TRUE(signIn());

    // Extra rebuilds from several background threads at once.
    for (int i = 0; i < 40; ++i)
        DispatchQueue::global()->async([d = delegate.get()] { d->examRoomNameForID("1"); });
    int reads = 0;
    QElapsedTimer clock;
    clock.start();
    while ((updates < 50 || delegate->downloadedImages().size() < 25) && clock.elapsed() < 60000) {
        const auto list = delegate->parsedPtArray();
        if (list) {
            for (const QVariant &entry : *list) {
                const QString id = entry.toMap().value("profile_image_id").toString();
                (void)delegate->downloadedImage(id).size();
            }
        }
        (void)delegate->downloadedImages().size();
        ++reads;
        QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
    }
    EXPECT_GE(updates, 50);
    EXPECT_EQ(delegate->downloadedImages().size(), 25);
    EXPECT_EQ(delegate->parsedPtArray()->size(), 40);
    EXPECT_GT(reads, 0);
    delegate->logout();
    kcWaitFor([&] { return delegate->scheduleUpdateTimer() == nullptr; });
}

TEST(Arguments, ServiceURLOptionIsChecked) {
    EXPECT_EQ(kcCheckApplicationArguments({"kelvra-capture"}), QString());
    EXPECT_EQ(kcCheckApplicationArguments({"kelvra-capture", "--service-url", "http://127.0.0.1:1234/"}),
              QString());
    EXPECT_EQ(kcCheckApplicationArguments({"kelvra-capture", "--service-url=https://clinic.example/"}),
              QString());
    EXPECT_TRUE(kcCheckApplicationArguments({"kelvra-capture", "--service-url"}).contains("needs a URL"));
    EXPECT_TRUE(
        kcCheckApplicationArguments({"kelvra-capture", "--service-url", "ftp://x/"}).contains("not an http"));
    EXPECT_TRUE(
        kcCheckApplicationArguments({"kelvra-capture", "--service-url=127.0.0.1"}).contains("not an http"));
    EXPECT_TRUE(kcCheckApplicationArguments({"kelvra-capture", "--verbose"}).contains("unknown option"));
}
