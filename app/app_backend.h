#pragma once
// The services the application shell talks to: the clinic web service, the
// keychain and the EMR registry. AppDelegate reaches them only through this
// interface; kcDefaultAppBackend() is the real one, tests may hand in their
// own.

#include "platform/core/error.h"

#include <QString>
#include <QUrl>
#include <QVariant>
#include <QVariantList>
#include <QVariantMap>

#include <functional>
#include <memory>
#include <optional>

class EMRAPIDelegate;

class AppBackend {
public:
    using ResponseCallback = std::function<void(const QVariant &response)>;
    using FailureCallback = std::function<void(const KCError &error)>;

    virtual ~AppBackend() = default;

    // Clinic web service. Callbacks run on a background queue; failures of
    // every request but the sign-in are dropped (no callback).
    virtual void loginKelvraWithUsername(const QString &username, const QString &password,
                                         ResponseCallback callback, FailureCallback failure) = 0;
    virtual void getUserConfigurationWithCallback(ResponseCallback callback) = 0;
    // The configuration as last translated; none before the first answer.
    virtual std::optional<QVariantMap> userPreferences() const = 0;
    virtual void getPatientAssignmentsForToday(ResponseCallback callback) = 0;
    virtual void getImageWithUploadID(const QString &uploadID, qint32 width, qint32 height,
                                      ResponseCallback onSuccess) = 0;
    virtual void retrieveExamRooms(ResponseCallback callback) = 0;
    virtual void logoutKelvraWithCallback(ResponseCallback callback) = 0;
    // `handler` runs (on a background queue) when a silent sign-in with the
    // stored password has failed: the user has to sign in again.
    virtual void setSilentSignInFailedHandler(std::function<void()> handler) { Q_UNUSED(handler); }

    // Keychain (service "KelvraCapture").
    virtual bool setPassword(const QString &password, const QString &service, const QString &account) = 0;
    virtual std::optional<QVariantList> accountsForService(const QString &service) = 0;

    // EMR registry.
    virtual void extensionCheckCurrentEMR(const QVariant &emrData, const QVariant &userPreferences) = 0;
    virtual std::shared_ptr<EMRAPIDelegate> emrDelegate() const = 0;
    // Sign-out: the EMR client drops its token, client secret and the rest
    // of the configuration.
    virtual void forgetEMRCredentials() {}
};

// The backend over KelvraAPIClient, BRKeychain and EMRAPIClient.
std::shared_ptr<AppBackend> kcDefaultAppBackend();
