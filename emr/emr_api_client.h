#pragma once
// EMRAPIClient: the registry of the EMR systems this program can talk to. It
// reads the clinic's EMR choice from the user configuration and keeps the
// client of the chosen EMR as its delegate.

#include <QDateTime>
#include <QHash>
#include <QMutex>
#include <QString>
#include <QVariant>
#include <QVariantMap>
#include <functional>
#include <memory>

#include "emr/emr_api_delegate.h"

class EMRAPIClient {
public:
    // Makes (or returns) the single client instance of one EMR client class.
    using ClientFactory = std::function<std::shared_ptr<EMRAPIDelegate>()>;

    // The single registry; created on first use.
    static EMRAPIClient &sharedEMRAPIClient();

    EMRAPIClient(const EMRAPIClient &) = delete;
    EMRAPIClient &operator=(const EMRAPIClient &) = delete;

    // The client of the clinic's EMR, or null. Reads and writes are atomic.
    std::shared_ptr<EMRAPIDelegate> delegate() const;
    void setDelegate(std::shared_ptr<EMRAPIDelegate> delegate);

    // EMR key -> entry ("enabled", "delegate_class", "icon_gray",
    // "auth_parameters"), filled once at creation.
    QVariantMap supportedEMRs;
    // The configuration's "kelvraKeychain" as last accepted (invalid until then).
    QVariant kelvraKeychain;
    // Not used by this program; stays invalid.
    QVariant authorizationStatus;

    // Does nothing; kept as the hook that creation calls last.
    void checkCurrentEMR();
    // Applies the clinic's EMR choice from the configuration: `emrData` is the
    // configuration's "emrData", `userPreferences` the whole configuration.
    void extensionCheckCurrentEMR(const QVariant &emrData, const QVariant &userPreferences);

    // Containers are values here, so a copy is already independent at every
    // depth; this returns the value unchanged.
    static QVariant deepMutableCopy(const QVariant &object);
    // True when `date` falls on today's local calendar date.
    static bool isDateToday(const QDateTime &date);

    // Client factories by class name ("delegate_class" + "ForExtension").
    // "QDAthenahealthAPIClientForExtension" and "QDFHIRAPIClientForExtension"
    // are registered from the start;
    // registering a name again replaces its factory, a null factory removes it.
    void registerClientFactory(const QString &className, ClientFactory factory);
    ClientFactory clientFactoryForClassName(const QString &className) const;

private:
    EMRAPIClient();

    mutable QMutex m_delegateLock;
    std::shared_ptr<EMRAPIDelegate> m_delegate;
    mutable QMutex m_factoryLock;
    QHash<QString, ClientFactory> m_factories;
};
