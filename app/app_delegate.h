#pragma once
// AppDelegate: the application's delegate and the owner of the signed-in
// session. It configures the outside services at launch, signs the clinician
// in and out, hands the user configuration to the EMR registry and keeps
// today's patient list, refreshed every 30 seconds while signed in.
//
// Threads: the clinic service answers on a background queue. The patient
// list, the exam rooms, the profile images and the user id are kept under a
// lock, so they may be read from any thread; readers get their own copies.
// Timers, menu items and notifications are handled on the main thread.

#include "app/app_backend.h"
#include "capture/panel/panel_session.h"

#include <QAction>
#include <QHash>
#include <QImage>
#include <QObject>
#include <QPointer>
#include <QString>
#include <QTimer>
#include <QVariant>
#include <QVariantList>

#include <functional>
#include <memory>
#include <optional>

// Posted on the main thread when sign-out has completed.
inline const QString KCLogoutNotification = QStringLiteral("logout");

// The capture panel sees the delegate as its session (CapturePanelSession,
// whose patientListUpdated() is emitted on each new patient list).
class AppDelegate : public CapturePanelSession {
    Q_OBJECT
public:
    using LoginCallback = std::function<void()>;
    // A null error when the service refused the user name or password.
    using LoginFailure = std::function<void(const KCError &error)>;

    // Width and height of the profile images requested from the service.
    static constexpr qint32 kProfileImageSize = 250;
    static constexpr int kPatientListRefreshMs = 30000;

    // Without a backend the real clinic client, keychain and EMR registry are
    // used. The first delegate made becomes the application's delegate.
    explicit AppDelegate(std::shared_ptr<AppBackend> backend = nullptr, QObject *parent = nullptr);
    ~AppDelegate() override;

    // The application's delegate (null before one exists).
    static AppDelegate *sharedDelegate();

    // Launch: update settings, loggers, accessibility check, key monitor,
    // session state, crash reporter.
    void applicationDidFinishLaunching();
    void applicationWillTerminate();

    // Signs in; exactly one of `callback` and `failure` is called, on a
    // background queue.
    void loginWithUsername(const QString &username, const QString &password, LoginCallback callback,
                           LoginFailure failure);
    // Signs out: the session ends here at once (timer stopped, uploads held,
    // EMR credentials, user id and patient list dropped, "logout" posted),
    // then the clinic service is told, best effort.
    void logout();

    // Requests today's assignments and rebuilds the patient list.
    void retrievePatientList();
    // Requests the clinic's exam rooms.
    void retrieveExamRoomList();
    // The name of the exam room with that id (LIKE comparison); none when no
    // room matches or no rooms have arrived.
    std::optional<QString> examRoomNameForID(const QVariant &roomID) const;

    bool loggedIn() const override;
    QString userID() const override;

    // The sign-out menu item ("Sign Out"): enabled only while signed in.
    QAction *logoutMenuItem() const { return m_logoutMenuItem; }
    // The menu item that quits the application ("Quit").
    QAction *quitMenuItem() const { return m_quitMenuItem; }
    // The repeating patient-list timer; null while signed out.
    QTimer *scheduleUpdateTimer() const { return m_scheduleUpdateTimer; }

    // The "data" of the last assignments answer.
    QVariantList appointmentArray() const;
    // Today's patient entries; none before the first answer after launch.
    std::optional<QVariantList> parsedPtArray() const override;
    // The "data" of the exam-room answer.
    QVariantList examRoomArray() const;
    // Profile images by upload id.
    QHash<QString, QImage> downloadedImages() const;
    // The image under `uploadID`, or a null image.
    QImage downloadedImage(const QString &uploadID) const override;

    AppBackend &backend() const { return *m_backend; }

    // Changes the refresh interval of timers made from now on (tests).
    void setPatientListRefreshIntervalForTesting(int ms);

signals:
    // A profile image has been stored (main thread).
    void profileImageDownloaded(const QString &uploadID);

private:
    struct Session;
    static void rebuildPatientList(const std::shared_ptr<Session> &session, const QVariant &response,
                                   quint64 generation);
    // Ends the signed-in state here (main thread).
    void endSessionHere();
    static void fetchExamRooms(const std::shared_ptr<Session> &session);
    static void configurationDidArrive(const std::shared_ptr<Session> &session, quint64 generation);
    void startPatientListTimer();
    void stopPatientListTimer();

    std::shared_ptr<AppBackend> m_backend;
    std::shared_ptr<Session> m_session;
    QPointer<QAction> m_logoutMenuItem;
    QPointer<QAction> m_quitMenuItem;
    QPointer<QTimer> m_scheduleUpdateTimer;
    int m_refreshIntervalMs = kPatientListRefreshMs;
};
