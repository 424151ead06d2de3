#include "app/app_backend.h"

#include "clinic/kelvra_api_client.h"
#include "emr/emr_api_client.h"
#include "keychain/brkeychain.h"

namespace {

class DefaultAppBackend : public AppBackend {
public:
    static KelvraAPIClient *client() { return KelvraAPIClient::sharedKelvraAPIClient(); }

    void loginKelvraWithUsername(const QString &username, const QString &password, ResponseCallback callback,
                                 FailureCallback failure) override {
        client()->loginKelvraWithUsername(username, password, std::move(callback), std::move(failure));
    }
    void getUserConfigurationWithCallback(ResponseCallback callback) override {
        client()->getUserConfigurationWithCallback(std::move(callback));
    }
    std::optional<QVariantMap> userPreferences() const override { return client()->userPreferences(); }
    void getPatientAssignmentsForToday(ResponseCallback callback) override {
        client()->getPatientAssignmentsForToday(std::move(callback));
    }
    void getImageWithUploadID(const QString &uploadID, qint32 width, qint32 height,
                              ResponseCallback onSuccess) override {
        client()->getImageWithUploadID(uploadID, width, height, std::move(onSuccess));
    }
    void retrieveExamRooms(ResponseCallback callback) override {
        client()->retrieveExamRooms(std::move(callback));
    }
    void logoutKelvraWithCallback(ResponseCallback callback) override {
        client()->logoutKelvraWithCallback(std::move(callback));
    }
    void setSilentSignInFailedHandler(std::function<void()> handler) override {
        client()->setSilentSignInFailedHandler(std::move(handler));
    }
    void forgetEMRCredentials() override {
        EMRAPIClient &registry = EMRAPIClient::sharedEMRAPIClient();
        if (const std::shared_ptr<EMRAPIDelegate> emr = registry.delegate())
            emr->forgetCredentials();
        // The registry's copy of the EMR settings holds a starting token.
        registry.kelvraKeychain = QVariant();
    }
    bool setPassword(const QString &password, const QString &service, const QString &account) override {
        return BRKeychain::setPassword(password, service, account);
    }
    std::optional<QVariantList> accountsForService(const QString &service) override {
        return BRKeychain::accountsForService(service);
    }
    void extensionCheckCurrentEMR(const QVariant &emrData, const QVariant &userPreferences) override {
        EMRAPIClient::sharedEMRAPIClient().extensionCheckCurrentEMR(emrData, userPreferences);
    }
    std::shared_ptr<EMRAPIDelegate> emrDelegate() const override {
        return EMRAPIClient::sharedEMRAPIClient().delegate();
    }
};

} // namespace

std::shared_ptr<AppBackend> kcDefaultAppBackend() {
    return std::make_shared<DefaultAppBackend>();
}
