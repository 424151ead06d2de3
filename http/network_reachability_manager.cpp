#include "http/network_reachability_manager.h"

#include "platform/core/dispatch.h"
#include "platform/core/notification_center.h"

#include <QCoreApplication>
#include <QThread>

#include <atomic>
#include <mutex>

AFNetworkReachabilityStatus AFNetworkReachabilityStatusForFlags(quint32 flags) {
    const bool reachable = flags & KCReachabilityFlagReachable;
    const bool needsConnection = flags & KCReachabilityFlagConnectionRequired;
    const bool automatic =
        flags & (KCReachabilityFlagConnectionOnTraffic | KCReachabilityFlagConnectionOnDemand);
    const bool withoutIntervention = automatic && !(flags & KCReachabilityFlagInterventionRequired);
    if (!reachable)
        return AFNetworkReachabilityStatusNotReachable;
    if (!needsConnection || withoutIntervention)
        return AFNetworkReachabilityStatusReachableViaWiFi;
    return AFNetworkReachabilityStatusNotReachable;
}

QString AFStringFromNetworkReachabilityStatus(AFNetworkReachabilityStatus status) {
    switch (status) {
    case AFNetworkReachabilityStatusNotReachable:
        return QCoreApplication::translate("AFNetworking", "Not Reachable");
    case AFNetworkReachabilityStatusReachableViaWWAN:
        return QCoreApplication::translate("AFNetworking", "Reachable via WWAN");
    case AFNetworkReachabilityStatusReachableViaWiFi:
        return QCoreApplication::translate("AFNetworking", "Reachable via WiFi");
    case AFNetworkReachabilityStatusUnknown:
        break;
    }
    return QCoreApplication::translate("AFNetworking", "Unknown");
}

struct AFNetworkReachabilityManager::Private {
    std::shared_ptr<KCReachabilityFlagSource> source;
    std::atomic<int> status{AFNetworkReachabilityStatusUnknown};
    std::atomic<quint64> generation{0};
    std::atomic<bool> monitoring{false};
    std::mutex blockMutex;
    StatusBlock block;
};

AFNetworkReachabilityManager::AFNetworkReachabilityManager(std::shared_ptr<KCReachabilityFlagSource> source)
    : d(std::make_unique<Private>()) {
    d->source = std::move(source);
}

AFNetworkReachabilityManager::~AFNetworkReachabilityManager() {
    ++d->generation;
    if (d->source && d->source.use_count() == 1) {
        auto source = d->source;
        if (QCoreApplication::instance() &&
            QThread::currentThread() != QCoreApplication::instance()->thread())
            DispatchQueue::main()->async([source] { source->stopWatching(); });
        else
            source->stopWatching();
    }
}

AFNetworkReachabilityManagerPtr AFNetworkReachabilityManager::sharedManager() {
    static AFNetworkReachabilityManagerPtr shared = managerForAddress(QHostAddress(QHostAddress::AnyIPv4));
    return shared;
}

AFNetworkReachabilityManagerPtr AFNetworkReachabilityManager::managerForDomain(const QString &domain) {
    // Without a name lookup the kernel can only say whether any route leads
    // out: the default route.
    Q_UNUSED(domain);
    return managerWithFlagSource(
        std::make_shared<KCNetlinkRouteFlagSource>(QHostAddress(QHostAddress::AnyIPv4)));
}

AFNetworkReachabilityManagerPtr AFNetworkReachabilityManager::managerForAddress(const QHostAddress &address) {
    return managerWithFlagSource(std::make_shared<KCNetlinkRouteFlagSource>(address));
}

AFNetworkReachabilityManagerPtr
AFNetworkReachabilityManager::managerWithFlagSource(std::shared_ptr<KCReachabilityFlagSource> source) {
    return AFNetworkReachabilityManagerPtr(new AFNetworkReachabilityManager(std::move(source)));
}

AFNetworkReachabilityStatus AFNetworkReachabilityManager::networkReachabilityStatus() const {
    return AFNetworkReachabilityStatus(d->status.load());
}

bool AFNetworkReachabilityManager::isReachable() const {
    return isReachableViaWWAN() || isReachableViaWiFi();
}

bool AFNetworkReachabilityManager::isReachableViaWWAN() const {
    return d->status == AFNetworkReachabilityStatusReachableViaWWAN;
}

bool AFNetworkReachabilityManager::isReachableViaWiFi() const {
    return d->status == AFNetworkReachabilityStatusReachableViaWiFi;
}

QString AFNetworkReachabilityManager::localizedNetworkReachabilityStatusString() const {
    return AFStringFromNetworkReachabilityStatus(networkReachabilityStatus());
}

void AFNetworkReachabilityManager::setReachabilityStatusChangeBlock(StatusBlock block) {
    std::lock_guard lock(d->blockMutex);
    d->block = std::move(block);
}

bool AFNetworkReachabilityManager::isMonitoring() const {
    return d->monitoring;
}

void AFNetworkReachabilityManager::startMonitoring() {
    stopMonitoring();
    if (!d->source)
        return;
    const quint64 generation = ++d->generation;
    d->monitoring = true;
    std::weak_ptr<AFNetworkReachabilityManager> weak = weak_from_this();
    auto source = d->source;
    // Change reports arrive on the main thread's event loop.
    auto watch = [weak, source, generation] {
        auto self = weak.lock();
        if (!self || self->d->generation != generation)
            return;
        source->startWatching([weak, generation](quint32 flags) {
            if (auto s = weak.lock())
                s->report(flags, generation);
        });
    };
    if (DispatchQueue::main()->isCurrent())
        watch();
    else
        DispatchQueue::main()->async(watch);
    // The first report: the current flags, read in the background.
    DispatchQueue::global(DispatchQueue::Priority::Background)->async([weak, source, generation] {
        quint32 flags = 0;
        if (!source->readFlags(&flags))
            return;
        DispatchQueue::main()->async([weak, flags, generation] {
            if (auto s = weak.lock())
                s->report(flags, generation);
        });
    });
}

void AFNetworkReachabilityManager::stopMonitoring() {
    ++d->generation;
    const bool wasMonitoring = d->monitoring.exchange(false);
    if (!wasMonitoring || !d->source)
        return;
    auto source = d->source;
    if (DispatchQueue::main()->isCurrent())
        source->stopWatching();
    else
        DispatchQueue::main()->async([source] { source->stopWatching(); });
}

void AFNetworkReachabilityManager::report(quint32 flags, quint64 generation) {
    // Runs on the main thread. Reports of a stopped or restarted run are dropped.
    if (d->generation != generation)
        return;
    const AFNetworkReachabilityStatus status = AFNetworkReachabilityStatusForFlags(flags);
    d->status = status;
    StatusBlock block;
    {
        std::lock_guard lock(d->blockMutex);
        block = d->block;
    }
    if (block)
        block(status);
    NotificationCenter::defaultCenter().postNotification(
        AFNetworkingReachabilityDidChangeNotification,
        {{AFNetworkingReachabilityNotificationStatusItem, int(status)}});
}
