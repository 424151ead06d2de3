#pragma once
// KelvraAPIClient: the one client of the clinic web service. It signs the
// clinician in and out, fetches the user configuration, today's
// patient-device assignments, the exam rooms and profile images, and posts
// documentation records.
//
// Every request runs with a 20-second timeout. The service keeps the
// signed-in state in cookies; when it answers 403 to anything but the
// sign-in, the client signs in again with the last user name and the
// password from the keychain and repeats the request once. One such silent
// sign-in runs at a time (requests refused meanwhile wait for it); when it
// fails the stored password is not tried again until the user signs in, and
// every request refused with 403 completes with that error.
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
    // until the first configuration answer, and none again from sign-out on
    // (it holds the EMR's credentials). Readers get their own copy.
    std::optional<QVariantMap> userPreferences() const;
    void setUserPreferences(const QVariantMap &preferences);

    // POST "users/clinicLogin". `callback` receives every answer that is a
    // JSON object (whatever its "login" says); on "pass" the user name is
    // remembered and the password stored in the keychain. Transport and HTTP
    // errors, and answers that are not JSON objects, go to `failure`.
    void loginKelvraWithUsername(const QString &username, const QString &password, ResponseCallback callback,
                                 FailureCallback failure);
    // GET "clinic_active_ios_users/updateConfig"; the answer's "data" becomes
    // userPreferences before `callback` runs. An answer that arrives after a
    // sign-out is dropped.
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
    // Ends the session here first: forgets the user name and the user
    // configuration, turns the silent sign-in off, drops the cookies (so no
    // later request runs under the old session) and completes requests
    // waiting for a silent sign-in with their refusal. Then GETs
    // "users/logout" carrying the old session cookie, best effort: `callback`
    // receives whatever the service answers, or nothing (an invalid QVariant)
    // when the request failed.
    void logoutKelvraWithCallback(ResponseCallback callback);

    // Called on a background queue when a silent sign-in failed (wrong stored
    // password, no password, the service refused or could not be reached):
    // the user must sign in again.
    void setSilentSignInFailedHandler(std::function<void()> handler);
    // Whether a 403 may be answered with a silent sign-in: true after the
    // user's own sign-in answered "pass", false after sign-out and after a
    // failed silent sign-in.
    bool silentSignInAllowed() const;

    // [start, end] of the current local day: 00:00:00 and 23:59:59.
    static QList<QDateTime> generateBeginningAndEndOfToday();
    // Sets userPreferences from the "data" value of a configuration answer.
    void translateResponseObjectToPreferenceDictionary(const QVariant &value);
    static QVariant deepMutableCopy(const QVariant &object);

    // Every request of this client passes through here: a 20-second timeout,
    // and on a 403 (except to the sign-in itself) one silent sign-in and one
    // repetition of the request, whose outcome goes to `completionHandler`.
    // A request refused under a session that has been renewed since it was
    // sent is repeated without another sign-in. Without a remembered user
    // name or a stored password, while the silent sign-in is off, or when it
    // fails, `completionHandler` receives the 403 error.
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

    struct Refused {
        KCURLRequest request;
        CVURLSessionTaskCompletionHandler handler;
        std::optional<KCHTTPURLResponse> response;
        QVariant responseObject;
        KCError error;
    };
    // A 403 on a request sent under session `generation`.
    void requestWasRefused(Refused refused, quint64 generation);
    void finishRenewal(bool renewed);
    // POST "users/clinicLogin"; `answered` gets the JSON object answer.
    void postSignIn(const QString &username, const QString &password, ResponseCallback answered,
                    FailureCallback failure);
    // A success block that passes the answer on only when it is a JSON object.
    static SuccessBlock whenDictionary(ResponseCallback callback);
    static SuccessBlock always(ResponseCallback callback);
    static FailureBlock ignored();

    mutable QMutex m_stateMutex;
    QString m_loggedInUserUsername;
    std::optional<QVariantMap> m_userPreferences;
    bool m_holdingForReachability = false;
    bool m_silentSignInAllowed = false;
    bool m_renewing = false;
    // Counts sign-ins and sign-outs: a request sent under an older value than
    // the current one met a session that has been replaced since.
    quint64 m_sessionGeneration = 0;
    // Counts sign-outs: a configuration asked for before the last one is
    // not kept.
    quint64 m_signOuts = 0;
    QList<Refused> m_waitingForRenewal;
    std::function<void()> m_silentSignInFailed;
};
