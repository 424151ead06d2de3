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

enum AFNetworkReachabilityStatus : int {
    AFNetworkReachabilityStatusUnknown = -1,
    AFNetworkReachabilityStatusNotReachable = 0,
    AFNetworkReachabilityStatusReachableViaWWAN = 1,
    AFNetworkReachabilityStatusReachableViaWiFi = 2,
};

inline const QString AFNetworkingReachabilityDidChangeNotification =
    QStringLiteral("com.corvane.networking.reachability.change");
inline const QString AFNetworkingReachabilityNotificationStatusItem =
    QStringLiteral("CorvaneReachabilityNotificationStatusItem");

// The status of a set of flags.
AFNetworkReachabilityStatus AFNetworkReachabilityStatusForFlags(quint32 flags);
// "Unknown", "Not Reachable", "Reachable via WWAN", "Reachable via WiFi".
QString AFStringFromNetworkReachabilityStatus(AFNetworkReachabilityStatus status);

class AFNetworkReachabilityManager;
using AFNetworkReachabilityManagerPtr = std::shared_ptr<AFNetworkReachabilityManager>;

class AFNetworkReachabilityManager : public std::enable_shared_from_this<AFNetworkReachabilityManager> {
public:
    using StatusBlock = std::function<void(AFNetworkReachabilityStatus status)>;

    // The process-wide monitor of the default route (IPv4 0.0.0.0).
    static AFNetworkReachabilityManagerPtr sharedManager();
    static AFNetworkReachabilityManagerPtr managerForDomain(const QString &domain);
    static AFNetworkReachabilityManagerPtr managerForAddress(const QHostAddress &address);
    // A monitor over any flag source (tests inject their own).
    static AFNetworkReachabilityManagerPtr
    managerWithFlagSource(std::shared_ptr<KCReachabilityFlagSource> source);

    ~AFNetworkReachabilityManager();

    AFNetworkReachabilityStatus networkReachabilityStatus() const;
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
    explicit AFNetworkReachabilityManager(std::shared_ptr<KCReachabilityFlagSource> source);
    void report(quint32 flags, quint64 generation);

    struct Private;
    std::unique_ptr<Private> d;
};
