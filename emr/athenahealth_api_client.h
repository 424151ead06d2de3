#pragma once
// QDAthenahealthAPIClientForExtension: the client of the athenahealth REST
// interface. It obtains access tokens with the OAuth 2.0 client-credentials
// grant, sends them as Bearer tokens, renews them when an answer is 401 or
// 403, and files captures into a patient's chart as one-page PDF documents.
//
// One instance per process (sharedClient()); its callbacks run on the main
// thread. Its state may be read and changed from any thread.

#include <QDate>
#include <QMutex>
#include <QRecursiveMutex>
#include <QString>
#include <QStringList>
#include <QUrl>
#include <QVariant>
#include <QVariantList>
#include <QVariantMap>
#include <atomic>
#include <functional>
#include <memory>

#include "emr/emr_api_delegate.h"
#include "http/http_session_manager.h"

// The read-only settings scope shared with the other programs of the clinic
// application group, and the key of the user configuration stored there.
inline const QString QDKelvraClinicSettingsScope = QStringLiteral("group.com.QDInc.Kelvra-Clinic");
inline const QString QDUserPreferencesSettingsKey = QStringLiteral("userPreferences");

// Notification with the fraction of a document upload that has been sent.
inline const QString QDUploadProgressNotification = QStringLiteral("uploadProgress");
inline const QString QDAthenaUploadProgressKey = QStringLiteral("athenaUploadProgress");

// The mark that a filed document carries in its "internalnote", which the
// chart's document list returns: "[KelvraCapture <upload entry id>]".
QString QDAthenaCaptureMark(const QString &entryID);

class QDAthenahealthAPIClientForExtension
    : public CVHTTPSessionManager,
      public EMRAPIDelegate,
      public std::enable_shared_from_this<QDAthenahealthAPIClientForExtension> {
public:
    using AnswerCallback = std::function<void(const QVariant &answer)>;
    using TokenCallback = std::function<void(const QVariantMap &answer)>;
    using PatientsCallback = std::function<void(const QVariantList &patients)>;

    // The single instance, created on first call from the configuration in
    // the shared settings scope (usually absent) and then asked to renew its
    // token.
    static std::shared_ptr<QDAthenahealthAPIClientForExtension> sharedClient();
    // Lets the next sharedClient() call create and set up a new instance.
    static void triggerReset();

    // A client for `baseURL`; use through std::shared_ptr (callbacks hold it
    // weakly). sharedClient() is the way the program makes one.
    explicit QDAthenahealthAPIClientForExtension(const QUrl &baseURL = QUrl());
    ~QDAthenahealthAPIClientForExtension() override;

    // Rebuilds the HTTP state (session, serializers, photo list) for
    // `baseURL`; configuration and token are kept.
    void initWithBaseURL(const QUrl &baseURL) override;

    // Configuration.
    void setEmrData(const QVariantMap &emrData) override;
    void setKelvraKeychain(const QVariantMap &kelvraKeychain) override;
    QVariantMap emrData() const;
    QVariantMap kelvraKeychain() const;
    QString athenaAPIURLString() const;
    QString athenaOAuthURLString() const;
    QString kAthenaAPIKey() const;
    QString kAthenaAPISecret() const;
    QString practiceID() const override;
    QString selectedDepartmentID() const;
    QStringList selectedProviderIDs() const;
    QVariantList allProvidersArray() const;
    QVariantList emrRoomDatasource() const;
    // Known patient photos: {"emr_patient_id", "image"}.
    QVariantList ptImageArray() const;
    void setPtImageArray(const QVariantList &photos);

    // Token state.
    QString authToken() const;
    QString refreshToken() const;
    bool refreshTokenInProgress() const { return m_refreshTokenInProgress; }

    // Sign-out: drops token, refresh token, client id and secret, the
    // configuration and the Authorization default. Token answers that arrive
    // afterwards are not kept (their callers get KCEMRErrorSignedOut).
    void forgetCredentials() override;

    // Reads the configuration into the properties above and requests a new
    // access token. Does nothing without "emrData".
    void updateAuthStatus() override;
    // POSTs "grant_type=client_credentials" with the client's Basic
    // credentials to the token URL (refused, without sending anything, when
    // the token URL or the base URL is plain http to another computer; never
    // following a redirect to another origin); `callback` gets the decoded answer (which
    // holds "access_token"), `error` any failure. The caller stores the token
    // (storeTokenAnswer()).
    void refreshAthenaAccessToken(TokenCallback callback, EMRErrorCallback error);
    // The same with a success callback only.
    void getAthenaAccessToken(TokenCallback callback);
    // Takes "access_token" and "refresh_token" of a token answer, clears
    // refreshTokenInProgress and sends the token as "Bearer" from now on.
    void storeTokenAnswer(const QVariantMap &answer);

    // Every request of the client but the token request and the document
    // upload comes through here: a 401 or 403 renews the token once and
    // repeats the request. Every request completes: a failed renewal hands
    // the caller the refusal, a 503 reaches it as an error.
    KCURLSessionTaskPtr dataTaskWithRequest(const KCURLRequest &request,
                                            CVURLSessionTaskCompletionHandler completionHandler) override;

    // Posts "uploadProgress" for a change of an upload's "fractionCompleted".
    void observeValueForKeyPath(const QString &keyPath, const KCProgress &progress);

    // Chart operations, all relative to the practice.
    bool respondsToUploadDocumentation() const override { return true; }
    void uploadDocumentation(const QVariantList &documents, const QVariantMap &appointmentInfo,
                             const QString &fileType, EMRUploadCallback callback,
                             EMRErrorCallback error) override;
    bool respondsToFileDocument() const override { return true; }
    EMRFilingCancel fileDocument(const QVariantMap &record, const QVariantMap &appointmentInfo,
                                 const QString &fileType, bool lookFirst, EMRFilingCallback done) override;
    // Today's encounters of a patient with a provider in the selected
    // department; the whole answer goes to `callback`.
    void getEncounterIDForPatient(const QString &patientID, const QString &providerID,
                                  AnswerCallback callback, EMRErrorCallback error);
    // Patients matching `term`, as {"pt_firstname", "pt_lastname", "pt_dob",
    // "emr_patient_id", "department_id"[, "pt_profile_image"]}.
    void searchForPatient(const QString &term, PatientsCallback callback, EMRErrorCallback error);
    // The patient's photo: decoded JSON, or the raw bytes of an image answer.
    void getProfilePictureForPatient(const QString &patientID, AnswerCallback callback,
                                     EMRErrorCallback error);

    // "<practice>/chart/<patient>/encounters?<query>" for `day`.
    QString encounterPathForPatient(const QString &patientID, const QString &providerID,
                                    const QDate &day) const;

private:
    struct UploadJob;
    struct FilingAttempt;

    void configureHTTP();
    // GET through the answer interception; the decoded answer or the error
    // goes to the callbacks.
    void getAnswer(const QString &path, const KCParameters &parameters, AnswerCallback callback,
                   EMRErrorCallback error);
    void setBearerToken(const QString &token);
    // Fails `error` asynchronously on the main thread; true when the practice
    // is not configured.
    bool failWithoutPractice(const EMRErrorCallback &error) const;
    // The PDF file and form fields of one upload entry; null (and `error`)
    // when the entry cannot be filed.
    std::shared_ptr<UploadJob> prepareUpload(const QVariantMap &documentation, const QVariantMap &entry,
                                             const QVariantMap &appointmentInfo, const QString &fileType,
                                             KCError *error) const;
    // Pages through the patient's documents for the attempt's mark; files the
    // document when it is not there.
    void lookForFiledDocument(const std::shared_ptr<FilingAttempt> &attempt, const QString &token,
                              int offset);
    void startUpload(const std::shared_ptr<UploadJob> &job);
    void sendUpload(const std::shared_ptr<UploadJob> &job, const QString &token);

    // Guards every property below and the request serializer's headers.
    mutable QRecursiveMutex m_lock;
    QVariantMap m_emrData;
    QVariantMap m_kelvraKeychain;
    QString m_athenaAPIURLString;
    QString m_athenaOAuthURLString;
    QString m_apiKey;
    QString m_apiSecret;
    QString m_practiceID;
    QString m_selectedDepartmentID;
    QStringList m_selectedProviderIDs;
    QVariantList m_allProvidersArray;
    QVariantList m_emrRoomDatasource;
    QVariantList m_ptImageArray;
    QString m_authToken;
    QString m_refreshToken;
    std::atomic<bool> m_refreshTokenInProgress{false};
    // Raised by forgetCredentials(): token answers of an older value are
    // not kept.
    std::atomic<quint64> m_credentialEpoch{0};
};
