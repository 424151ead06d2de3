// The clinic client against the real demo service (a child process on a
// free loopback port), inside a throw-away keyring.
#include "clinic/kelvra_api_client.h"
#include "clinic/today_window.h"
#include "demo_service.h"
#include "http/transport.h"
#include "keychain/brkeychain.h"
#include "tests/support/qt_wait.h"
#include "tests/support/test_image.h"

#include <QImage>
#include <QJsonDocument>
#include <QJsonObject>
#include <QMutex>
#include <QSettings>
#include <QTemporaryDir>
#include <QUrlQuery>
#include <QUuid>
#include <gtest/gtest.h>

#include <atomic>

namespace {

constexpr int kWaitMs = 60000;

// The demo service shared by every test of this process: the client is a
// single instance, so its service URL is fixed at first use.
class DemoEnvironment : public ::testing::Environment {
public:
    static DemoService &demo() {
        static DemoService *service = [] {
            auto *s = new DemoService;
            if (!s->start(QStringLiteral(KC_DEMO_SERVICE)))
                ADD_FAILURE() << s->error().toStdString();
            return s;
        }();
        started = true;
        return *service;
    }
    static KelvraAPIClient *client() {
        DemoService &service = demo();
        KelvraAPIClient::setServiceURLForFirstUse(service.url());
        return KelvraAPIClient::sharedKelvraAPIClient();
    }
    void SetUp() override {
        // Keep the user's own settings out of the test.
        QSettings::setPath(QSettings::NativeFormat, QSettings::UserScope, settingsDir.path());
        QSettings::setPath(QSettings::IniFormat, QSettings::UserScope, settingsDir.path());
    }
    void TearDown() override {
        if (started)
            demo().stop();
    }
    static inline bool started = false;
    QTemporaryDir settingsDir;
};
const auto *const environment = ::testing::AddGlobalTestEnvironment(new DemoEnvironment);

// Collects what a callback received on the client's background queue.
struct Probe {
    std::atomic<int> calls{0};
    std::atomic<bool> onMainThread{false};
    QMutex mutex;
    QVariant response;
    KCError error;

    KelvraAPIClient::ResponseCallback callback() {
        return [this](const QVariant &r) {
            QMutexLocker locker(&mutex);
            response = r;
            if (QThread::currentThread() == QCoreApplication::instance()->thread())
                onMainThread = true;
            ++calls;
        };
    }
    KelvraAPIClient::FailureCallback failure() {
        return [this](const KCError &e) {
            QMutexLocker locker(&mutex);
            error = e;
            ++calls;
        };
    }
    bool wait() {
        return kcWaitFor([this] { return calls.load() > 0; }, kWaitMs);
    }
    QVariantMap map() {
        QMutexLocker locker(&mutex);
        return response.toMap();
    }
};

int countWithStatus(const QVariantList &requests, int status) {
    int n = 0;
    for (const QVariant &r : requests)
        n += r.toMap().value("status").toInt() == status;
    return n;
}

// Waits until the service has logged `count` requests whose path contains
// `pathPart`.
bool waitForRequests(const QString &pathPart, int count) {
    return kcWaitFor([&] { return DemoEnvironment::demo().requestsTo(pathPart).size() >= count; }, kWaitMs);
}

QVariantMap signIn(KelvraAPIClient *client) {
    Probe probe;
    client->loginKelvraWithUsername("demo", "capture", probe.callback(), probe.failure());
    EXPECT_TRUE(probe.wait());
    return probe.map();
}

QString newId() {
    return QUuid::createUuid().toString(QUuid::WithoutBraces);
}

// The status code of the response inside an error of the HTTP layer.
qint64 failingStatus(const KCError &error) {
    const QVariant response = error.userInfo().value(CVFailingResponseErrorKey);
    return response.canConvert<KCHTTPURLResponse>() ? response.value<KCHTTPURLResponse>().statusCode() : 0;
}

} // namespace

class ClinicClient : public ::testing::Test {
protected:
    void SetUp() override {
        client = DemoEnvironment::client();
        ASSERT_TRUE(DemoEnvironment::demo().url().isValid());
        ASSERT_TRUE(DemoEnvironment::demo().faults({{"reset_log", true}}));
    }
    KelvraAPIClient *client = nullptr;
};

TEST(ClinicClientInstance, OneInstanceOnTheDemoService) {
    KelvraAPIClient *client = DemoEnvironment::client();
    EXPECT_EQ(client, KelvraAPIClient::sharedKelvraAPIClient());
    EXPECT_FALSE(KelvraAPIClient::setServiceURLForFirstUse(QUrl("http://127.0.0.1:1/")));
    EXPECT_EQ(client->baseURL(), DemoEnvironment::demo().url().resolved(QUrl("api/")));
    // Every request gets the 20-second timeout, whatever the caller set.
    KCURLRequest request(client->baseURL().resolved(QUrl("clinic_exam_rooms")));
    request.setTimeoutInterval(300);
    const KCURLSessionTaskPtr task = client->dataTaskWithRequest(request, nullptr);
    ASSERT_TRUE(task);
    EXPECT_EQ(task->originalRequest().timeoutInterval(), 20.0);
    task->cancel();
}

TEST_F(ClinicClient, SignInWithCookieSessionAndEveryRequest) {
    const QVariantMap answer = signIn(client);
    EXPECT_EQ(answer.value("login"), "pass");
    EXPECT_EQ(answer.value("user_id").toString(), "17");
    EXPECT_EQ(client->loggedInUserUsername(), "demo");
    EXPECT_EQ(BRKeychain::passwordForService("KelvraCapture", "demo").value_or(QString()), "capture");
    const QVariantMap login = DemoEnvironment::demo().requestsTo("users/clinicLogin").value(0).toMap();
    EXPECT_EQ(login.value("method"), "POST");

    Probe configuration;
    client->getUserConfigurationWithCallback(configuration.callback());
    ASSERT_TRUE(configuration.wait());
    EXPECT_FALSE(configuration.onMainThread);
    const std::optional<QVariantMap> preferences = client->userPreferences();
    ASSERT_TRUE(preferences);
    EXPECT_EQ(preferences->value("emrData").typeId(), QMetaType::QVariantMap);
    EXPECT_EQ(preferences->value("kelvraKeychain").toMap().value("enabledEMR"), "athenahealth");

    Probe rooms;
    client->retrieveExamRooms(rooms.callback());
    ASSERT_TRUE(rooms.wait());
    const QVariantList roomList = rooms.map().value("data").toList();
    ASSERT_FALSE(roomList.isEmpty());
    EXPECT_FALSE(roomList.first().toMap().value("ClinicExamRoom").toMap().value("name").toString().isEmpty());

    Probe assignments;
    client->getPatientAssignmentsForToday(assignments.callback());
    ASSERT_TRUE(assignments.wait());
    const QVariantList data = assignments.map().value("data").toList();
    EXPECT_GE(data.size(), 15);

    // Every request after the sign-in travelled with the session cookie.
    const QVariantList requests = DemoEnvironment::demo().state().value("requests").toList();
    for (const QVariant &r : requests) {
        const QVariantMap entry = r.toMap();
        if (entry.value("path").toString().startsWith("/api/") &&
            !entry.value("path").toString().contains("Login")) {
            EXPECT_TRUE(entry.value("had_session").toBool()) << entry.value("path").toString().toStdString();
        }
        EXPECT_TRUE(entry.value("authorization").toString().isEmpty());
    }

    // A profile image, as an image.
    QString uploadId;
    QVariant interactionId;
    for (const QVariant &a : data) {
        const QVariantMap patient = a.toMap().value("Patient").toMap();
        if (uploadId.isEmpty() && !KCIsNullMarker(patient.value("profile_image__upload_id")))
            uploadId = patient.value("profile_image__upload_id").toString();
        if (!interactionId.isValid())
            interactionId = a.toMap().value("Interaction").toMap().value("id");
    }
    ASSERT_FALSE(uploadId.isEmpty());
    Probe image;
    client->getImageWithUploadID(uploadId, 250, 250, image.callback());
    ASSERT_TRUE(image.wait());
    QImage picture;
    {
        QMutexLocker locker(&image.mutex);
        picture = image.response.value<QImage>();
    }
    EXPECT_FALSE(picture.isNull());
    EXPECT_FALSE(DemoEnvironment::demo()
                     .requestsTo(QStringLiteral("/api/uploads/getFile/%1/250/250").arg(uploadId))
                     .isEmpty());

    // Three documentation records in one envelope.
    QVariantList records;
    QStringList ids;
    for (int i = 0; i < 3; ++i) {
        ids.append(newId());
        records.append(QVariantMap{
            {"encounter_note", QStringLiteral("note %1 – ünïcode").arg(i)},
            {"interaction_id", interactionId},
            {"id", ids.last()},
            {"Upload", QVariantList{QVariantMap{{"id", newId()},
                                                {"content", kcTestImageBase64("PNG", Qt::darkCyan)},
                                                {"user_id", answer.value("user_id")},
                                                {"file_type", "image/png"}}}}});
    }
    Probe documentation;
    client->updateDocumentation(records, documentation.callback());
    ASSERT_TRUE(documentation.wait());
    EXPECT_EQ(documentation.map().value("saved").toInt(), 3);
    QStringList stored;
    for (const QVariant &d : DemoEnvironment::demo().state().value("documentations").toList())
        stored.append(d.toMap().value("id").toString());
    for (const QString &id : ids)
        EXPECT_TRUE(stored.contains(id)) << id.toStdString();
    // The envelope: keys "0", "1", "2", each wrapping its record.
    const QVariantMap posted = DemoEnvironment::demo().requestsTo("documentations").value(0).toMap();
    EXPECT_EQ(posted.value("method"), "POST");
    EXPECT_TRUE(posted.value("content_type").toString().startsWith("application/json"));
    const QJsonObject envelope = QJsonDocument::fromJson(posted.value("body").toString().toUtf8()).object();
    ASSERT_EQ(envelope.keys(), (QStringList{"0", "1", "2"}));
    for (int i = 0; i < 3; ++i) {
        const QJsonObject wrapper = envelope.value(QString::number(i)).toObject();
        EXPECT_EQ(wrapper.keys(), QStringList{"Documentation"});
        EXPECT_EQ(wrapper.value("Documentation").toObject().value("id").toString(), ids[i]);
    }

    Probe logout;
    client->logoutKelvraWithCallback(logout.callback());
    ASSERT_TRUE(logout.wait());
    EXPECT_TRUE(client->loggedInUserUsername().isEmpty());
}

TEST_F(ClinicClient, ImageIdIsOnePathSegment) {
    signIn(client);
    Probe image;
    client->getImageWithUploadID("a/b?c#d%", 250, 250, image.callback());
    ASSERT_TRUE(waitForRequests("uploads/getFile", 1));
    const QVariantMap request = DemoEnvironment::demo().requestsTo("uploads/getFile").value(0).toMap();
    EXPECT_EQ(request.value("path").toString(), "/api/uploads/getFile/a%2Fb%3Fc%23d%25/250/250");
    EXPECT_EQ(request.value("query").toString(), "");
    EXPECT_EQ(request.value("status").toInt(), 404);
}

TEST_F(ClinicClient, AssignmentsForTheLocalDayAsUtcWallClock) {
    signIn(client);
    const QList<QDateTime> today = KelvraAPIClient::generateBeginningAndEndOfToday();
    Probe assignments;
    client->getPatientAssignmentsForToday(assignments.callback());
    ASSERT_TRUE(assignments.wait());
    const QVariantMap request =
        DemoEnvironment::demo().requestsTo("clinic_patient_device_assignments").value(0).toMap();
    EXPECT_EQ(request.value("path"), "/api/clinic_patient_device_assignments/capture/");
    const QString query = request.value("query").toString();
    EXPECT_EQ(query, QStringLiteral("begin_date=%1&end_date=%2")
                         .arg(kcServiceDateTimeText(today[0]).replace(' ', "%20"),
                              kcServiceDateTimeText(today[1]).replace(' ', "%20")));
    EXPECT_FALSE(assignments.map().value("data").toList().isEmpty());

    const QDate localDay = today[0].toLocalTime().date();
    const QUrlQuery parsed(query);
    const QString begin = parsed.queryItemValue("begin_date", QUrl::FullyDecoded);
    const QString end = parsed.queryItemValue("end_date", QUrl::FullyDecoded);
    if (today[0].offsetFromUtc() < 0) {
        // West of UTC the local day begins on the same UTC date and ends on
        // the next one.
        EXPECT_EQ(begin.left(10), localDay.toString(Qt::ISODate));
        EXPECT_EQ(end.left(10), localDay.addDays(1).toString(Qt::ISODate));
        EXPECT_EQ(begin.mid(11), QTime(0, 0).addSecs(-today[0].offsetFromUtc()).toString("HH:mm:ss"));
    }
}

TEST_F(ClinicClient, WrongPasswordIsAnsweredFailAndNothingIsStored) {
    signIn(client);
    Probe probe;
    client->loginKelvraWithUsername("demo", "not the password", probe.callback(), probe.failure());
    ASSERT_TRUE(probe.wait());
    EXPECT_EQ(probe.map().value("login"), "fail");
    EXPECT_TRUE(probe.error.isNull());
    EXPECT_EQ(BRKeychain::passwordForService("KelvraCapture", "demo").value_or(QString()), "capture");
}

TEST_F(ClinicClient, ExpiredSessionSignsInOnceAndRepeatsOnce) {
    signIn(client);
    ASSERT_TRUE(DemoEnvironment::demo().faults({{"expire_sessions", true}, {"reset_log", true}}));
    Probe rooms;
    client->retrieveExamRooms(rooms.callback());
    ASSERT_TRUE(rooms.wait());
    EXPECT_FALSE(rooms.map().value("data").toList().isEmpty());
    const QVariantList requests = DemoEnvironment::demo().state().value("requests").toList();
    ASSERT_EQ(requests.size(), 3);
    EXPECT_EQ(requests[0].toMap().value("path"), "/api/clinic_exam_rooms");
    EXPECT_EQ(requests[0].toMap().value("status").toInt(), 403);
    EXPECT_EQ(requests[1].toMap().value("path"), "/api/users/clinicLogin");
    EXPECT_EQ(requests[1].toMap().value("method"), "POST");
    EXPECT_EQ(requests[2].toMap().value("path"), "/api/clinic_exam_rooms");
    EXPECT_EQ(requests[2].toMap().value("status").toInt(), 200);
}

TEST_F(ClinicClient, SecondForbiddenGoesToTheCallerAsAnError) {
    signIn(client);
    ASSERT_TRUE(DemoEnvironment::demo().faults(
        {{"fail", 2}, {"status", 403}, {"path", "clinic_exam_rooms"}, {"reset_log", true}}));
    std::atomic<int> successes{0};
    Probe failure;
    client->GET(
        "clinic_exam_rooms", std::nullopt,
        [&](const KCURLSessionTaskPtr &, const QVariant &) { ++successes; },
        [&](const KCURLSessionTaskPtr &, const KCError &error) { failure.failure()(error); });
    ASSERT_TRUE(failure.wait());
    EXPECT_EQ(failingStatus(failure.error), 403);
    EXPECT_EQ(successes.load(), 0);
    const QVariantList rooms = DemoEnvironment::demo().requestsTo("clinic_exam_rooms");
    EXPECT_EQ(rooms.size(), 2);
    EXPECT_EQ(countWithStatus(rooms, 403), 2);
    EXPECT_EQ(DemoEnvironment::demo().requestsTo("users/clinicLogin").size(), 1);
}

TEST_F(ClinicClient, ForbiddenSignInIsNotAnsweredWithAnotherSignIn) {
    ASSERT_TRUE(
        DemoEnvironment::demo().faults({{"fail", 1}, {"status", 403}, {"path", "users/clinicLogin"}}));
    Probe probe;
    client->loginKelvraWithUsername("demo", "capture", probe.callback(), probe.failure());
    ASSERT_TRUE(probe.wait());
    EXPECT_FALSE(probe.error.isNull());
    EXPECT_EQ(failingStatus(probe.error), 403);
    EXPECT_EQ(DemoEnvironment::demo().requestsTo("users/clinicLogin").size(), 1);
}

TEST_F(ClinicClient, ServerErrorsOfOtherRequestsAreDroppedAndSignInErrorsReported) {
    signIn(client);
    ASSERT_TRUE(
        DemoEnvironment::demo().faults({{"fail", 1}, {"status", 500}, {"path", "clinic_exam_rooms"}}));
    Probe dropped;
    client->retrieveExamRooms(dropped.callback());
    ASSERT_TRUE(waitForRequests("clinic_exam_rooms", 1));
    ASSERT_TRUE(
        DemoEnvironment::demo().faults({{"fail", 1}, {"status", 503}, {"path", "users/clinicLogin"}}));
    Probe login;
    client->loginKelvraWithUsername("demo", "capture", login.callback(), login.failure());
    ASSERT_TRUE(login.wait());
    EXPECT_EQ(failingStatus(login.error), 503);
    // The sign-in answer came after the dropped failure was handled on the
    // same queue machinery; give stragglers a moment anyway.
    kcSpin(500);
    EXPECT_EQ(dropped.calls.load(), 0);
    EXPECT_EQ(DemoEnvironment::demo().requestsTo("clinic_exam_rooms").size(), 1);
}

// A GET of `path` whose outcome (success or error) lands in `probe`.
void getInto(KelvraAPIClient *client, const QString &path, Probe &probe) {
    client->GET(
        path, std::nullopt, [&probe](const KCURLSessionTaskPtr &, const QVariant &r) { probe.callback()(r); },
        [&probe](const KCURLSessionTaskPtr &, const KCError &e) { probe.failure()(e); });
}

TEST_F(ClinicClient, WithoutStoredPasswordA403CompletesWithItsError) {
    signIn(client);
    ASSERT_TRUE(BRKeychain::deletePasswordForService("KelvraCapture", "demo"));
    ASSERT_TRUE(DemoEnvironment::demo().faults({{"expire_sessions", true}, {"reset_log", true}}));
    Probe rooms;
    getInto(client, "clinic_exam_rooms", rooms);
    ASSERT_TRUE(rooms.wait());
    EXPECT_EQ(failingStatus(rooms.error), 403);
    EXPECT_TRUE(DemoEnvironment::demo().requestsTo("users/clinicLogin").isEmpty());
    EXPECT_FALSE(client->silentSignInAllowed());
    signIn(client); // stores the password again
    EXPECT_TRUE(client->silentSignInAllowed());
}

// Many requests refused at once share one silent sign-in and are all
// repeated once it succeeds.
TEST_F(ClinicClient, OneSilentSignInServesEveryRefusedRequest) {
    signIn(client);
    ASSERT_TRUE(DemoEnvironment::demo().faults({{"expire_sessions", true}, {"reset_log", true}}));
    Probe probes[5];
    for (Probe &probe : probes)
        getInto(client, "clinic_exam_rooms", probe);
    for (Probe &probe : probes) {
        ASSERT_TRUE(probe.wait());
        EXPECT_TRUE(probe.error.isNull()) << probe.error.localizedDescription().toStdString();
    }
    EXPECT_EQ(DemoEnvironment::demo().requestsTo("users/clinicLogin").size(), 1);
}

// After the password changed elsewhere: one silent sign-in, refused; every
// waiting request completes with its 403, the application hears of it once,
// and the stored password is not tried again until the user signs in.
TEST_F(ClinicClient, FailedSilentSignInIsNotRepeated) {
    signIn(client);
    std::atomic<int> failedReports{0};
    client->setSilentSignInFailedHandler([&] { ++failedReports; });
    ASSERT_TRUE(BRKeychain::setPassword("an old password", "KelvraCapture", "demo"));
    ASSERT_TRUE(DemoEnvironment::demo().faults({{"expire_sessions", true}, {"reset_log", true}}));
    Probe probes[4];
    for (Probe &probe : probes)
        getInto(client, "clinic_exam_rooms", probe);
    for (Probe &probe : probes) {
        ASSERT_TRUE(probe.wait());
        EXPECT_EQ(failingStatus(probe.error), 403);
    }
    EXPECT_EQ(DemoEnvironment::demo().requestsTo("users/clinicLogin").size(), 1);
    EXPECT_TRUE(kcWaitFor([&] { return failedReports == 1; }, kWaitMs));
    EXPECT_FALSE(client->silentSignInAllowed());

    // The 30-second refresh keeps asking: no more sign-ins.
    for (int i = 0; i < 3; ++i) {
        Probe again;
        getInto(client, "clinic_patient_device_assignments/capture/", again);
        ASSERT_TRUE(again.wait());
        EXPECT_EQ(failingStatus(again.error), 403);
    }
    EXPECT_EQ(DemoEnvironment::demo().requestsTo("users/clinicLogin").size(), 1);
    EXPECT_EQ(failedReports, 1);
    client->setSilentSignInFailedHandler(nullptr);
    signIn(client);
    EXPECT_TRUE(client->silentSignInAllowed());
}

// Sign-out ends the session here before the service hears of it: even when
// the logout request fails, no cookie, user name or silent sign-in is left.
TEST_F(ClinicClient, SignOutEndsTheSessionHereEvenWhenTheServiceFails) {
    signIn(client);
    const QUrl api = DemoEnvironment::demo().url().resolved(QUrl("api/"));
    ASSERT_FALSE(client->cookieStorage()->cookiesForURL(api).isEmpty());
    ASSERT_TRUE(DemoEnvironment::demo().faults(
        {{"fail", 1}, {"status", 500}, {"path", "users/logout"}, {"reset_log", true}}));
    Probe logout;
    client->logoutKelvraWithCallback(logout.callback());
    EXPECT_TRUE(client->loggedInUserUsername().isEmpty());
    EXPECT_FALSE(client->silentSignInAllowed());
    EXPECT_TRUE(client->cookieStorage()->cookiesForURL(api).isEmpty());
    ASSERT_TRUE(logout.wait());
    EXPECT_FALSE(logout.response.isValid());

    // A request now is refused and stays refused: the stored password is
    // not used to sign the old user back in.
    Probe rooms;
    getInto(client, "clinic_exam_rooms", rooms);
    ASSERT_TRUE(rooms.wait());
    EXPECT_EQ(failingStatus(rooms.error), 403);
    EXPECT_TRUE(DemoEnvironment::demo().requestsTo("users/clinicLogin").isEmpty());

    // A sign-out that reaches the service ends its session there too: the
    // request carried the old session cookie.
    signIn(client);
    const int sessions = DemoEnvironment::demo().state().value("active_sessions").toInt();
    Probe second;
    client->logoutKelvraWithCallback(second.callback());
    ASSERT_TRUE(second.wait());
    EXPECT_EQ(second.map().value("logout"), "ok");
    EXPECT_EQ(DemoEnvironment::demo().state().value("active_sessions").toInt(), sessions - 1);
    EXPECT_TRUE(
        DemoEnvironment::demo().requestsTo("users/logout").last().toMap().value("had_session").toBool());
    signIn(client);
}

// The configuration holds the EMR's client secret: sign-out drops it, and a
// configuration still on its way then is not kept.
TEST_F(ClinicClient, SignOutDropsTheConfigurationAndOneStillOnItsWay) {
    signIn(client);
    Probe configuration;
    client->getUserConfigurationWithCallback(configuration.callback());
    ASSERT_TRUE(configuration.wait());
    ASSERT_FALSE(client->userPreferences()
                     .value_or(QVariantMap())
                     .value("emrData")
                     .toMap()
                     .value("api_secret")
                     .isNull());
    Probe logout;
    client->logoutKelvraWithCallback(logout.callback());
    EXPECT_FALSE(client->userPreferences().has_value());
    ASSERT_TRUE(logout.wait());

    signIn(client);
    // Both answers are held back; the configuration was asked for first.
    ASSERT_TRUE(DemoEnvironment::demo().faults({{"delay_ms", 1000}, {"reset_log", true}}));
    Probe late;
    client->getUserConfigurationWithCallback(late.callback());
    ASSERT_TRUE(waitForRequests("updateConfig", 1));
    Probe second;
    client->logoutKelvraWithCallback(second.callback());
    ASSERT_TRUE(second.wait());
    ASSERT_TRUE(DemoEnvironment::demo().faults({{"delay_ms", 0}}));
    kcSpin(300);
    EXPECT_EQ(late.calls.load(), 0);
    EXPECT_FALSE(client->userPreferences().has_value());
    signIn(client);
}

TEST_F(ClinicClient, HeldWhileTheNetworkIsNotReachable) {
    signIn(client);
    // Let the monitor's own first report pass before taking over.
    kcWaitFor(
        [] {
            return CVNetworkReachabilityManager::sharedManager()->networkReachabilityStatus() !=
                   CVNetworkReachabilityStatusUnknown;
        },
        10000);
    client->reachabilityStatusDidChange(CVNetworkReachabilityStatusNotReachable);
    client->reachabilityStatusDidChange(CVNetworkReachabilityStatusNotReachable);
    EXPECT_TRUE(client->isHoldingForReachability());
    Probe rooms;
    client->retrieveExamRooms(rooms.callback());
    // The service has answered, but the answer is held back.
    ASSERT_TRUE(waitForRequests("clinic_exam_rooms", 1));
    kcSpin(500);
    EXPECT_EQ(rooms.calls.load(), 0);
    client->reachabilityStatusDidChange(CVNetworkReachabilityStatusReachableViaWiFi);
    EXPECT_FALSE(client->isHoldingForReachability());
    ASSERT_TRUE(rooms.wait());
    // More reports of the same status release nothing twice.
    client->reachabilityStatusDidChange(CVNetworkReachabilityStatusReachableViaWiFi);
    client->reachabilityStatusDidChange(CVNetworkReachabilityStatusReachableViaWWAN);
    Probe again;
    client->retrieveExamRooms(again.callback());
    ASSERT_TRUE(again.wait());
}

// Run in a process of its own: nobody has signed in through this client.
TEST(FreshClient, ForbiddenBeforeAnySignInEndsWithItsErrorAndNoSignIn) {
    KelvraAPIClient *client = DemoEnvironment::client();
    ASSERT_TRUE(client->loggedInUserUsername().isEmpty());
    ASSERT_TRUE(BRKeychain::setPassword("capture", "KelvraCapture", "demo"));
    ASSERT_TRUE(DemoEnvironment::demo().faults({{"reset_log", true}}));
    Probe rooms;
    getInto(client, "clinic_exam_rooms", rooms);
    ASSERT_TRUE(rooms.wait());
    EXPECT_EQ(failingStatus(rooms.error), 403);
    const QVariantList requests = DemoEnvironment::demo().state().value("requests").toList();
    ASSERT_EQ(requests.size(), 1);
    EXPECT_EQ(requests[0].toMap().value("status").toInt(), 403);
    EXPECT_FALSE(client->userPreferences().has_value());
}
