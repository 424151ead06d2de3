#pragma once
// Watches whether the machine can reach the network and reports each change
// as a status: to a change callback, then as the notification
// "com.corvane.networking.reachability.change", both on the main thread.
//
// The connectivity flags come from a KCReachabilityFlagSource; on Linux the
// kernel's routing table (netlink): a route to the target (for the shared
// monitor, a default route) makes the target reachable.

#include "platform/netlink/reachability_flags.h"

#include <QHostAddress>
#include <QString>

#include <functional>
#include <memory>

enum CVNetworkReachabilityStatus : int {
    CVNetworkReachabilityStatusUnknown = -1,
    CVNetworkReachabilityStatusNotReachable = 0,
    CVNetworkReachabilityStatusReachableViaWWAN = 1,
    CVNetworkReachabilityStatusReachableViaWiFi = 2,
};

inline const QString CVReachabilityDidChangeNotification =
    QStringLiteral("com.corvane.networking.reachability.change");
inline const QString CVReachabilityNotificationStatusItem =
    QStringLiteral("CorvaneReachabilityNotificationStatusItem");

// The status of a set of flags.
CVNetworkReachabilityStatus CVNetworkReachabilityStatusForFlags(quint32 flags);
// "Unknown", "Not Reachable", "Reachable via WWAN", "Reachable via WiFi".
QString CVStringFromNetworkReachabilityStatus(CVNetworkReachabilityStatus status);

class CVNetworkReachabilityManager;
using CVNetworkReachabilityManagerPtr = std::shared_ptr<CVNetworkReachabilityManager>;

class CVNetworkReachabilityManager : public std::enable_shared_from_this<CVNetworkReachabilityManager> {
public:
    using StatusBlock = std::function<void(CVNetworkReachabilityStatus status)>;

    // The process-wide monitor of the default route (IPv4 0.0.0.0).
    static CVNetworkReachabilityManagerPtr sharedManager();
    static CVNetworkReachabilityManagerPtr managerForDomain(const QString &domain);
    static CVNetworkReachabilityManagerPtr managerForAddress(const QHostAddress &address);
    // A monitor over any flag source (tests inject their own).
    static CVNetworkReachabilityManagerPtr
    managerWithFlagSource(std::shared_ptr<KCReachabilityFlagSource> source);

    ~CVNetworkReachabilityManager();

    CVNetworkReachabilityStatus networkReachabilityStatus() const;
    bool isReachable() const;
    bool isReachableViaWWAN() const;
    bool isReachableViaWiFi() const;
    QString localizedNetworkReachabilityStatusString() const;

    // Replaces the change callback (null removes it). Called on the main thread.
    void setReachabilityStatusChangeBlock(StatusBlock block);

    // Restarts monitoring: registers for changes, then reads the current
    // flags once in the background and reports them on the main thread.
    void startMonitoring();
    // Stops reporting; the status keeps its last value.
    void stopMonitoring();
    bool isMonitoring() const;

private:
    explicit CVNetworkReachabilityManager(std::shared_ptr<KCReachabilityFlagSource> source);
    void report(quint32 flags, quint64 generation);

    struct Private;
    std::unique_ptr<Private> d;
};
