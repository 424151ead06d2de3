#include "app/app_delegate.h"
#include "app/pending_uploads.h"

#include "app/app_frameworks.h"
#include "app/patient_list.h"
#include "clinic/kelvra_api_client.h"
#include "emr/emr_api_delegate.h"
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

    mutable QMutex lock;
    QString userID;
    QVariantList appointmentArray;
    std::optional<QVariantList> parsedPtArray;
    QVariantList examRoomArray;
    QHash<QString, QImage> downloadedImages;
};

static AppDelegate *g_sharedDelegate = nullptr;

AppDelegate::AppDelegate(std::shared_ptr<AppBackend> backend, QObject *parent)
    : QObject(parent), m_backend(backend ? std::move(backend) : kcDefaultAppBackend()),
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
}

AppDelegate::~AppDelegate() {
    if (g_sharedDelegate == this)
        g_sharedDelegate = nullptr;
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
    m_backend->loginKelvraWithUsername(
        username, password,
        [session, username, password, callback, failure](const QVariant &response) {
            const QVariantMap answer = response.toMap();
            const QVariant login = answer.value(QStringLiteral("login"));
            if (login.metaType().id() == QMetaType::QString && login.toString() == QLatin1String("fail")) {
                if (failure)
                    failure(KCError());
                return;
            }
            session->backend->setPassword(password, KelvraKeychainService, username);
            session->loggedIn = true;
            session->backend->getUserConfigurationWithCallback(
                [session](const QVariant &) { configurationDidArrive(session); });
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
            DispatchQueue::main()->async([session] {
                if (AppDelegate *self = session->owner.data())
                    self->startPatientListTimer();
            });
        },
        [failure](const KCError &error) {
            if (failure)
                failure(error);
        });
}

void AppDelegate::configurationDidArrive(const std::shared_ptr<Session> &session) {
    const QVariantMap preferences = session->backend->userPreferences().value_or(QVariantMap());
    const QVariant emrData = preferences.value(QStringLiteral("emrData"));
    session->backend->extensionCheckCurrentEMR(emrData, preferences);
    if (const std::shared_ptr<EMRAPIDelegate> client = session->backend->emrDelegate()) {
        const QString baseURL = kcValueText(emrData.toMap().value(QStringLiteral("base_url")));
        client->initWithBaseURL(baseURL.isEmpty() ? QUrl() : QUrl(baseURL));
    }
}

void AppDelegate::logout() {
    const std::shared_ptr<Session> session = m_session;
    m_backend->logoutKelvraWithCallback([session](const QVariant &) {
        session->loggedIn = false;
        DispatchQueue::main()->async([session] {
            if (AppDelegate *self = session->owner.data()) {
                self->stopPatientListTimer();
                if (self->m_logoutMenuItem)
                    self->m_logoutMenuItem->setEnabled(false);
            }
            NotificationCenter::defaultCenter().postNotification(KCLogoutNotification);
        });
    });
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
    session->backend->retrieveExamRooms([session](const QVariant &rooms) {
        const QVariant data = rooms.toMap().value(QStringLiteral("data"));
        if (data.metaType().id() != QMetaType::QVariantList)
            return;
        QMutexLocker lock(&session->lock);
        session->examRoomArray = data.toList();
    });
}

std::optional<QString> AppDelegate::examRoomNameForID(const QVariant &roomID) const {
    return kcExamRoomNameForID(examRoomArray(), roomID);
}

void AppDelegate::retrievePatientList() {
    const std::shared_ptr<Session> session = m_session;
    m_backend->getPatientAssignmentsForToday(
        [session](const QVariant &response) { rebuildPatientList(session, response); });
}

void AppDelegate::rebuildPatientList(const std::shared_ptr<Session> &session, const QVariant &response) {
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
                                               [session, uploadID](const QVariant &answer) {
                                                   if (answer.metaType().id() != QMetaType::QImage)
                                                       return;
                                                   const QImage image = answer.value<QImage>();
                                                   if (image.isNull())
                                                       return;
                                                   {
                                                       QMutexLocker lock(&session->lock);
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
        session->parsedPtArray = entries;
    }
    DispatchQueue::main()->async([session] {
        if (AppDelegate *self = session->owner.data())
            emit self->patientListUpdated();
    });
}
