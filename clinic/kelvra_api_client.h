#pragma once
// KelvraAPIClient: the one client of the clinic web service. It signs the
// clinician in and out, fetches the user configuration, today's
// patient-device assignments, the exam rooms and profile images, and posts
// documentation records.
//
// Every request runs with a 20-second timeout. The service keeps the
// signed-in state in cookies; when it answers 403 to anything but the
// sign-in, the client signs in again with the last user name and the
// password from the keychain and repeats the request once.
//
// Callbacks run on the process-wide concurrent queue of default priority,
// never on the main thread, possibly several at once. Only the sign-in
// reports failures; every other request drops its failures silently (the
// caller's callback is simply not called). Answers that callers read as
// dictionaries (sign-in, configuration, assignments, exam rooms) reach them
// only when they are JSON objects: any other answer to those requests is
// handled like a failed request.
//
// There is one instance per process (sharedKelvraAPIClient()). It talks to
// the service URL chosen on first use (see clinic/service_url.h) unless
// setServiceURLForFirstUse() named another one before that.

#include "http/http_session_manager.h"
#include "http/network_reachability_manager.h"

#include <QDateTime>
#include <QList>
#include <QMutex>
#include <QString>
#include <QUrl>
#include <QVariant>
#include <QVariantList>
#include <QVariantMap>

#include <functional>
#include <optional>

// The keychain service under which the clinic password is kept (account:
// the clinic user name).
inline const QString KelvraKeychainService = QStringLiteral("KelvraCapture");

class KelvraAPIClient : public CVHTTPSessionManager {
public:
    using ResponseCallback = std::function<void(const QVariant &response)>;
    using FailureCallback = std::function<void(const KCError &error)>;

    // The single instance, created on first use and kept for the life of the
    // process. Safe to call from any thread.
    static KelvraAPIClient *sharedKelvraAPIClient();
    // Chooses the service URL (the API base is URL + "api/") instead of the
    // settings, command line and environment. Only before the instance
    // exists: afterwards it changes nothing and returns false. An URL that is
    // not an absolute http(s) URL is refused (false, with a warning); an
    // empty one removes an earlier choice.
    static bool setServiceURLForFirstUse(const QUrl &serviceURL);

    KelvraAPIClient(const KelvraAPIClient &) = delete;
    KelvraAPIClient &operator=(const KelvraAPIClient &) = delete;

    // The user name of the last sign-in answered "pass"; empty until then.
    QString loggedInUserUsername() const;
    // The preferences dictionary (see clinic/user_configuration.h); none
    // until the first configuration answer. Readers get their own copy.
    std::optional<QVariantMap> userPreferences() const;
    void setUserPreferences(const QVariantMap &preferences);

    // POST "users/clinicLogin". `callback` receives every answer that is a
    // JSON object (whatever its "login" says); on "pass" the user name is
    // remembered and the password stored in the keychain. Transport and HTTP
    // errors, and answers that are not JSON objects, go to `failure`.
    void loginKelvraWithUsername(const QString &username, const QString &password, ResponseCallback callback,
                                 FailureCallback failure);
    // GET "clinic_active_ios_users/updateConfig"; the answer's "data" becomes
    // userPreferences before `callback` runs.
    void getUserConfigurationWithCallback(ResponseCallback callback);
    // GET today's assignments (the local day, sent as UTC wall-clock times).
    void getPatientAssignmentsForToday(ResponseCallback callback);
    // POST the documentation records to "documentations/", each wrapped as
    // {"<index>": {"Documentation": record}}.
    void updateDocumentation(const QVariantList &documentations, ResponseCallback callback);
    // GET "uploads/getFile/<id>/<width>/<height>"; an image answer arrives
    // as a QImage. The id is escaped as one path segment.
    void getImageWithUploadID(const QString &uploadID, qint32 width, qint32 height,
                              ResponseCallback onSuccess);
    // GET "clinic_exam_rooms".
    void retrieveExamRooms(ResponseCallback callback);
    // GET "users/logout"; `callback` receives whatever the service answers.
    void logoutKelvraWithCallback(ResponseCallback callback);

    // [start, end] of the current local day: 00:00:00 and 23:59:59.
    static QList<QDateTime> generateBeginningAndEndOfToday();
    // Sets userPreferences from the "data" value of a configuration answer.
    void translateResponseObjectToPreferenceDictionary(const QVariant &value);
    static QVariant deepMutableCopy(const QVariant &object);

    // Every request of this client passes through here: a 20-second timeout,
    // and on a 403 (except to the sign-in itself) one silent sign-in and one
    // repetition of the request, whose outcome goes to `completionHandler`.
    // Without a remembered user name or a stored password, or when that
    // sign-in fails, `completionHandler` is not called.
    KCURLSessionTaskPtr dataTaskWithRequest(const KCURLRequest &request,
                                            CVURLSessionTaskCompletionHandler completionHandler) override;

    // What the shared reachability monitor calls on each report: the event
    // queue is held while the network is not reachable and let go when it
    // is reachable again. Repeated reports of one status change nothing.
    void reachabilityStatusDidChange(CVNetworkReachabilityStatus status);
    // True while the event queue is held back for lack of network.
    bool isHoldingForReachability() const;

    // The timeout of every request, in seconds.
    static constexpr double kRequestTimeoutSeconds = 20.0;

private:
    explicit KelvraAPIClient(const QUrl &apiBaseURL);
    ~KelvraAPIClient() override;

    void renewSessionAndRepeat(const KCURLRequest &request, const CVURLSessionTaskCompletionHandler &handler);
    // A success block that passes the answer on only when it is a JSON object.
    static SuccessBlock whenDictionary(ResponseCallback callback);
    static SuccessBlock always(ResponseCallback callback);
    static FailureBlock ignored();

    mutable QMutex m_stateMutex;
    QString m_loggedInUserUsername;
    std::optional<QVariantMap> m_userPreferences;
    bool m_holdingForReachability = false;
};
