#pragma once
// Connectivity flags of a reachability target and the sources that report
// them. The flag bits are those of the system reachability service.

#include <QHostAddress>
#include <QString>

#include <functional>
#include <memory>

enum KCReachabilityFlag : quint32 {
    KCReachabilityFlagReachable = 0x2,
    KCReachabilityFlagConnectionRequired = 0x4,
    KCReachabilityFlagConnectionOnTraffic = 0x8,
    KCReachabilityFlagInterventionRequired = 0x10,
    KCReachabilityFlagConnectionOnDemand = 0x20,
};

class KCReachabilityFlagSource {
public:
    virtual ~KCReachabilityFlagSource();
    // Reads the current flags; false when they cannot be read. Called on a
    // background thread.
    virtual bool readFlags(quint32 *flags) = 0;
    // Starts watching: `changed` is called with the new flags after every
    // change, on the thread that called startWatching() (which must run an
    // event loop). Replaces an earlier watch. False when watching failed.
    virtual bool startWatching(std::function<void(quint32 flags)> changed) = 0;
    virtual void stopWatching() = 0;
    virtual bool isWatching() const = 0;
};

// Flags from the kernel's routing table over netlink: reachable when the
// kernel has a route to the target (for 0.0.0.0 or ::, a default route)
// whose output interface is up; no other bit is ever set. Change reports
// follow route and link messages. The netlink sockets are opened in the
// constructor, so they belong to the network namespace of the constructing
// thread.
class KCNetlinkRouteFlagSource : public KCReachabilityFlagSource {
public:
    // `target`: an address; null or 0.0.0.0 stands for the default route.
    explicit KCNetlinkRouteFlagSource(const QHostAddress &target = QHostAddress(QHostAddress::AnyIPv4));
    ~KCNetlinkRouteFlagSource() override;

    bool readFlags(quint32 *flags) override;
    bool startWatching(std::function<void(quint32 flags)> changed) override;
    void stopWatching() override;
    bool isWatching() const override;

    // Text of the last failure, for diagnostics.
    QString lastError() const;

private:
    struct Private;
    std::unique_ptr<Private> d;
};
