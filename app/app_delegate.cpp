#include "app/app_delegate.h"
#include "app/pending_uploads.h"

#include "app/app_frameworks.h"
#include "app/patient_list.h"
#include "clinic/kelvra_api_client.h"
#include "emr/emr_api_delegate.h"
#include "emr/emr_document_file.h"
#include "platform/core/dispatch.h"
#include "platform/core/notification_center.h"

#include <QCoreApplication>
#include <QMutex>
#include <QSettings>

#include <atomic>

// What the background answers work on. Every answer holds it, so it outlives
// the delegate while requests are still out; `owner` is read on the main
// thread only.
struct AppDelegate::Session {
    std::shared_ptr<AppBackend> backend;
    QPointer<AppDelegate> owner;
    std::atomic<bool> loggedIn{false};
    // Raised when a session ends: answers to requests made before carry an
    // older value and are dropped (a patient list arriving after sign-out is
    // not kept).
    std::atomic<quint64> generation{0};

    mutable QMutex lock;
    QString userID;
    QVariantList appointmentArray;
    std::optional<QVariantList> parsedPtArray;
    QVariantList examRoomArray;
    QHash<QString, QImage> downloadedImages;
};

static AppDelegate *g_sharedDelegate = nullptr;

AppDelegate::AppDelegate(std::shared_ptr<AppBackend> backend, QObject *parent)
    : CapturePanelSession(parent), m_backend(backend ? std::move(backend) : kcDefaultAppBackend()),
      m_session(std::make_shared<Session>()) {
    m_session->backend = m_backend;
    m_session->owner = this;
    m_logoutMenuItem = new QAction(tr("Sign Out"), this);
    m_logoutMenuItem->setEnabled(false);
    m_quitMenuItem = new QAction(tr("Quit"), this);
    // Quitting asks first while captures are still waiting to upload.
    connect(
        m_quitMenuItem, &QAction::triggered, KCPendingUploads::shared(),
        [] { KCPendingUploads::shared()->requestQuit(); }, Qt::QueuedConnection);
    if (!g_sharedDelegate)
        g_sharedDelegate = this;
    // A failed silent sign-in ends the session here as well: the login
    // window comes back and nothing retries the stored password.
    const std::weak_ptr<Session> weakSession = m_session;
    m_backend->setSilentSignInFailedHandler([weakSession] {
        DispatchQueue::main()->async([weakSession] {
            const std::shared_ptr<Session> session = weakSession.lock();
            AppDelegate *self = session ? session->owner.data() : nullptr;
            if (self && session->loggedIn)
                self->endSessionHere();
        });
    });
}

AppDelegate::~AppDelegate() {
    if (g_sharedDelegate == this)
        g_sharedDelegate = nullptr;
    m_backend->setSilentSignInFailedHandler(nullptr);
    stopPatientListTimer();
}

AppDelegate *AppDelegate::sharedDelegate() {
    return g_sharedDelegate;
}

void AppDelegate::applicationDidFinishLaunching() {
    // 1-2. Update settings and the updater.
    const QUrl feed = kcUpdateFeedURL();
    {
        QSettings settings;
        settings.setValue(SUFeedURLKey, feed.toString());
        settings.setValue(SUScheduledCheckIntervalKey, 3600);
        settings.setValue(SUEnableAutomaticChecksKey, true);
    }
    SUUpdater *updater = SUUpdater::sharedUpdater();
    updater->setFeedURL(feed);
    updater->setAutomaticallyChecksForUpdates(true);
    updater->setUpdateCheckInterval(3600);

    // 3. Loggers.
    DDLog::addLogger(DDTTYLogger::sharedInstance());
    DDLog::addLogger(DDASLLogger::sharedInstance());

    // 4-5. Accessibility and the key monitor (nothing to do on X11).
    AXIsProcessTrustedWithOptions(true);
    kcAddGlobalMonitorForKeyDownEvents([](unsigned long modifierFlags) { Q_UNUSED(modifierFlags); });

    // Chart PDFs an earlier run left when it ended before the EMR answered
    // (no upload runs yet).
    emrSweepDocumentFiles();

    // 6. Session state.
    {
        QMutexLocker lock(&m_session->lock);
        m_session->downloadedImages.clear();
    }
    connect(m_logoutMenuItem, &QAction::triggered, this, &AppDelegate::logout, Qt::UniqueConnection);
    m_session->loggedIn = false;
    m_logoutMenuItem->setEnabled(false);

    // 7. Crash reports.
    BITHockeyManager *crashReporter = BITHockeyManager::sharedHockeyManager();
    crashReporter->configureWithIdentifier(KCApplicationIdentifier);
    crashReporter->setAutoSubmitCrashReport(true);
    crashReporter->startManager();
}

void AppDelegate::applicationWillTerminate() {}

bool AppDelegate::loggedIn() const {
    return m_session->loggedIn;
}

QString AppDelegate::userID() const {
    QMutexLocker lock(&m_session->lock);
    return m_session->userID;
}

QVariantList AppDelegate::appointmentArray() const {
    QMutexLocker lock(&m_session->lock);
    return m_session->appointmentArray;
}

std::optional<QVariantList> AppDelegate::parsedPtArray() const {
    QMutexLocker lock(&m_session->lock);
    return m_session->parsedPtArray;
}

QVariantList AppDelegate::examRoomArray() const {
    QMutexLocker lock(&m_session->lock);
    return m_session->examRoomArray;
}

QHash<QString, QImage> AppDelegate::downloadedImages() const {
    QMutexLocker lock(&m_session->lock);
    return m_session->downloadedImages;
}

QImage AppDelegate::downloadedImage(const QString &uploadID) const {
    QMutexLocker lock(&m_session->lock);
    return m_session->downloadedImages.value(uploadID);
}

void AppDelegate::setPatientListRefreshIntervalForTesting(int ms) {
    m_refreshIntervalMs = ms;
}

// ---------------------------------------------------------------------------
// Sign-in and sign-out

void AppDelegate::loginWithUsername(const QString &username, const QString &password, LoginCallback callback,
                                    LoginFailure failure) {
    const std::shared_ptr<Session> session = m_session;
    const quint64 generation = session->generation;
    m_backend->loginKelvraWithUsername(
        username, password,
        [session, generation, username, password, callback, failure](const QVariant &response) {
            const QVariantMap answer = response.toMap();
            const QVariant login = answer.value(QStringLiteral("login"));
            // Only "pass" signs in: "fail", a missing value or anything else
            // the service might send is a refusal, and nothing is stored.
            // So is an answer that arrives after the user signed out.
            if (login.metaType().id() != QMetaType::QString || login.toString() != QLatin1String("pass") ||
                session->generation != generation) {
                if (failure)
                    failure(KCError());
                return;
            }
            session->backend->setPassword(password, KelvraKeychainService, username);
            session->loggedIn = true;
            session->backend->getUserConfigurationWithCallback(
                [session, generation](const QVariant &) { configurationDidArrive(session, generation); });
            DispatchQueue::main()->async([session] {
                if (AppDelegate *self = session->owner.data(); self && self->m_logoutMenuItem)
                    self->m_logoutMenuItem->setEnabled(true);
            });
            if (callback)
                callback();
            {
                QMutexLocker lock(&session->lock);
                session->userID = kcValueText(answer.value(QStringLiteral("user_id")));
            }
            fetchExamRooms(session);
            DispatchQueue::main()->async([session, generation] {
                AppDelegate *self = session->owner.data();
                if (!self || session->generation != generation)
                    return;
                self->startPatientListTimer();
                KCPendingUploads::shared()->setUploadsPaused(false);
            });
        },
        [failure](const KCError &error) {
            if (failure)
                failure(error);
        });
}

void AppDelegate::configurationDidArrive(const std::shared_ptr<Session> &session, quint64 generation) {
    // The configuration carries the EMR's credentials: none are handed to
    // the EMR client once the session has ended.
    if (session->generation != generation)
        return;
    const QVariantMap preferences = session->backend->userPreferences().value_or(QVariantMap());
    const QVariant emrData = preferences.value(QStringLiteral("emrData"));
    session->backend->extensionCheckCurrentEMR(emrData, preferences);
    if (const std::shared_ptr<EMRAPIDelegate> client = session->backend->emrDelegate()) {
        const QString baseURL = kcValueText(emrData.toMap().value(QStringLiteral("base_url")));
        client->initWithBaseURL(baseURL.isEmpty() ? QUrl() : QUrl(baseURL));
    }
    // A sign-out during the hand-over forgot the credentials before they
    // arrived.
    if (session->generation != generation)
        session->backend->forgetEMRCredentials();
}

void AppDelegate::logout() {
    // Everything of the session here ends first; the service is told after,
    // and whether it answers changes nothing.
    endSessionHere();
    m_backend->logoutKelvraWithCallback([](const QVariant &) {});
}

void AppDelegate::endSessionHere() {
    ++m_session->generation;
    m_session->loggedIn = false;
    stopPatientListTimer();
    if (m_logoutMenuItem)
        m_logoutMenuItem->setEnabled(false);
    KCPendingUploads::shared()->setUploadsPaused(true);
    m_backend->forgetEMRCredentials();
    {
        QMutexLocker lock(&m_session->lock);
        m_session->userID.clear();
        m_session->appointmentArray.clear();
        m_session->parsedPtArray.reset();
        m_session->examRoomArray.clear();
        m_session->downloadedImages.clear();
    }
    emit patientListUpdated();
    NotificationCenter::defaultCenter().postNotification(KCLogoutNotification);
}

void AppDelegate::startPatientListTimer() {
    if (m_scheduleUpdateTimer)
        return;
    auto *timer = new QTimer(this);
    timer->setInterval(m_refreshIntervalMs);
    connect(timer, &QTimer::timeout, this, &AppDelegate::retrievePatientList);
    m_scheduleUpdateTimer = timer;
    timer->start();
    // The first list is wanted now, not in 30 seconds.
    retrievePatientList();
}

void AppDelegate::stopPatientListTimer() {
    if (!m_scheduleUpdateTimer)
        return;
    m_scheduleUpdateTimer->stop();
    delete m_scheduleUpdateTimer.data();
    m_scheduleUpdateTimer = nullptr;
}

// ---------------------------------------------------------------------------
// Patient list

void AppDelegate::retrieveExamRoomList() {
    fetchExamRooms(m_session);
}

void AppDelegate::fetchExamRooms(const std::shared_ptr<Session> &session) {
    const quint64 generation = session->generation;
    session->backend->retrieveExamRooms([session, generation](const QVariant &rooms) {
        const QVariant data = rooms.toMap().value(QStringLiteral("data"));
        if (data.metaType().id() != QMetaType::QVariantList)
            return;
        QMutexLocker lock(&session->lock);
        if (session->generation != generation)
            return;
        session->examRoomArray = data.toList();
    });
}

std::optional<QString> AppDelegate::examRoomNameForID(const QVariant &roomID) const {
    return kcExamRoomNameForID(examRoomArray(), roomID);
}

void AppDelegate::retrievePatientList() {
    const std::shared_ptr<Session> session = m_session;
    const quint64 generation = session->generation;
    m_backend->getPatientAssignmentsForToday([session, generation](const QVariant &response) {
        if (session->generation == generation)
            rebuildPatientList(session, response, generation);
    });
}

void AppDelegate::rebuildPatientList(const std::shared_ptr<Session> &session, const QVariant &response,
                                     quint64 generation) {
    const QVariant data = response.toMap().value(QStringLiteral("data"));
    // An answer without a list of assignments is not a new list: the
    // previous one stays, as after a failed request.
    if (data.metaType().id() != QMetaType::QVariantList)
        return;
    const QVariantList assignments = data.toList();

    QVariantList examRooms;
    QStringList missingImages;
    {
        QMutexLocker lock(&session->lock);
        if (session->generation != generation)
            return;
        session->appointmentArray = assignments;
        examRooms = session->examRoomArray;
        for (const QVariant &record : assignments) {
            const QString uploadID = kcProfileImageUploadID(record.toMap());
            if (!uploadID.isEmpty() && !session->downloadedImages.contains(uploadID))
                missingImages.append(uploadID);
        }
    }
    const QVariantList entries = kcPatientEntriesFromAssignments(assignments, examRooms);

    for (const QString &uploadID : missingImages) {
        session->backend->getImageWithUploadID(uploadID, kProfileImageSize, kProfileImageSize,
                                               [session, uploadID, generation](const QVariant &answer) {
                                                   if (answer.metaType().id() != QMetaType::QImage)
                                                       return;
                                                   const QImage image = answer.value<QImage>();
                                                   if (image.isNull())
                                                       return;
                                                   {
                                                       QMutexLocker lock(&session->lock);
                                                       if (session->generation != generation)
                                                           return;
                                                       session->downloadedImages.insert(uploadID, image);
                                                   }
                                                   DispatchQueue::main()->async([session, uploadID] {
                                                       if (AppDelegate *self = session->owner.data())
                                                           emit self->profileImageDownloaded(uploadID);
                                                   });
                                               });
    }

    {
        QMutexLocker lock(&session->lock);
        if (session->generation != generation)
            return;
        session->parsedPtArray = entries;
    }
    DispatchQueue::main()->async([session] {
        if (AppDelegate *self = session->owner.data())
            emit self->patientListUpdated();
    });
}
