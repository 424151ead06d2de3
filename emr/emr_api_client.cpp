#include "emr/emr_api_client.h"

#include <QDate>
#include <QMutexLocker>
#include <QVariantList>

#include "emr/athenahealth_api_client.h"
#include "emr/fhir_api_client.h"

namespace {

QVariantMap entry(const QString &enabled, const QString &delegateClass, const QString &iconGray,
                  const QVariant &authParameters, bool withAuthParameters) {
    QVariantMap e;
    e.insert(QStringLiteral("enabled"), enabled);
    if (!delegateClass.isEmpty())
        e.insert(QStringLiteral("delegate_class"), delegateClass);
    e.insert(QStringLiteral("icon_gray"), iconGray);
    if (withAuthParameters)
        e.insert(QStringLiteral("auth_parameters"), authParameters);
    return e;
}

QVariant nullValue() {
    return QVariant::fromValue(nullptr);
}

bool isNullOrAbsent(const QVariant &v) {
    return !v.isValid() || v.isNull() || v.metaType().id() == QMetaType::Nullptr;
}

} // namespace

EMRAPIClient &EMRAPIClient::sharedEMRAPIClient() {
    // Created once, under the lock of the function-local static; kept to the
    // end of the process so that its client is never torn down during exit.
    static EMRAPIClient *instance = new EMRAPIClient;
    return *instance;
}

EMRAPIClient::EMRAPIClient() {
    // drchrono's hosts and OAuth client id belong to a deployment; these are
    // placeholders that no real service answers.
    QVariantMap drchronoAuth;
    drchronoAuth.insert(
        QStringLiteral("initial_URL"),
        QStringLiteral("https://drchrono.example.invalid/o/authorize/"
                       "?redirect_uri=http://www.kelvra.example.invalid/&response_type=code&client_id="
                       "PLACEHOLDERCLIENTID000000000000000000000000000000000000000000000"));
    drchronoAuth.insert(QStringLiteral("final_URL"), QStringLiteral("https://www.kelvra.example.invalid/"));

    supportedEMRs.insert(QStringLiteral("drchrono"),
                         entry(QStringLiteral("true"), QStringLiteral("QDdrchronoAPIClient"),
                               QStringLiteral("drchrono-bw"), drchronoAuth, true));
    supportedEMRs.insert(QStringLiteral("athenahealth"),
                         entry(QStringLiteral("true"), QStringLiteral("QDAthenahealthAPIClient"),
                               QStringLiteral("athenahealth-bw"), nullValue(), true));
    supportedEMRs.insert(QStringLiteral("kelvrademoemr"),
                         entry(QStringLiteral("true"), QStringLiteral("QDKelvraDemoEMRAPIClient"),
                               QStringLiteral("KelvraDemoEMR-bw"), nullValue(), true));
    supportedEMRs.insert(QStringLiteral("greenway"),
                         entry(QStringLiteral("false"), {}, QStringLiteral("greenway-bw"), {}, false));
    supportedEMRs.insert(QStringLiteral("epic"),
                         entry(QStringLiteral("false"), {}, QStringLiteral("epic-bw"), {}, false));
    supportedEMRs.insert(QStringLiteral("allscripts"),
                         entry(QStringLiteral("false"), {}, QStringLiteral("allScripts-bw"), {}, false));
    // Any EHR with the FHIR R4 API (SMART Backend Services).
    supportedEMRs.insert(QStringLiteral("fhir"),
                         entry(QStringLiteral("true"), QStringLiteral("QDFHIRAPIClient"),
                               QStringLiteral("fhir-bw"), nullValue(), true));

    m_factories.insert(QStringLiteral("QDAthenahealthAPIClientForExtension"),
                       []() -> std::shared_ptr<EMRAPIDelegate> {
                           return QDAthenahealthAPIClientForExtension::sharedClient();
                       });
    m_factories.insert(
        QStringLiteral("QDFHIRAPIClientForExtension"),
        []() -> std::shared_ptr<EMRAPIDelegate> { return QDFHIRAPIClientForExtension::sharedClient(); });
    checkCurrentEMR();
}

std::shared_ptr<EMRAPIDelegate> EMRAPIClient::delegate() const {
    QMutexLocker locker(&m_delegateLock);
    return m_delegate;
}

void EMRAPIClient::setDelegate(std::shared_ptr<EMRAPIDelegate> delegate) {
    QMutexLocker locker(&m_delegateLock);
    m_delegate = std::move(delegate);
}

void EMRAPIClient::checkCurrentEMR() {}

void EMRAPIClient::extensionCheckCurrentEMR(const QVariant &emrData, const QVariant &userPreferences) {
    if (emrData.toMap().isEmpty())
        return;
    const QVariantMap preferences = userPreferences.toMap();
    const QVariant choice = preferences.value(QStringLiteral("kelvraKeychain"));
    if (isNullOrAbsent(choice) || choice.toMap().isEmpty()) {
        if (auto current = delegate())
            current->setKelvraKeychain(QVariantMap());
        return;
    }
    kelvraKeychain = choice;

    const QVariant enabledEMR = choice.toMap().value(QStringLiteral("enabledEMR"));
    if (!isNullOrAbsent(enabledEMR)) {
        const QString delegateClass = supportedEMRs.value(enabledEMR.toString())
                                          .toMap()
                                          .value(QStringLiteral("delegate_class"))
                                          .toString();
        std::shared_ptr<EMRAPIDelegate> client;
        if (!delegateClass.isEmpty()) {
            if (ClientFactory factory =
                    clientFactoryForClassName(delegateClass + QStringLiteral("ForExtension")))
                client = factory();
        }
        setDelegate(client);
        if (client) {
            client->setKelvraKeychain(preferences.value(QStringLiteral("kelvraKeychain")).toMap());
            client->setEmrData(preferences.value(QStringLiteral("emrData")).toMap());
        }
    }
    if (auto current = delegate())
        current->updateAuthStatus();
}

QVariant EMRAPIClient::deepMutableCopy(const QVariant &object) {
    return object;
}

bool EMRAPIClient::isDateToday(const QDateTime &date) {
    if (!date.isValid())
        return false;
    return date.toLocalTime().date() == QDate::currentDate();
}

void EMRAPIClient::registerClientFactory(const QString &className, ClientFactory factory) {
    QMutexLocker locker(&m_factoryLock);
    if (factory)
        m_factories.insert(className, std::move(factory));
    else
        m_factories.remove(className);
}

EMRAPIClient::ClientFactory EMRAPIClient::clientFactoryForClassName(const QString &className) const {
    QMutexLocker locker(&m_factoryLock);
    return m_factories.value(className);
}
