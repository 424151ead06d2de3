#include "http/network_reachability_manager.h"

#include "platform/core/dispatch.h"
#include "platform/core/notification_center.h"

#include <QCoreApplication>
#include <QThread>

#include <atomic>
#include <mutex>

CVNetworkReachabilityStatus CVNetworkReachabilityStatusForFlags(quint32 flags) {
    const bool reachable = flags & KCReachabilityFlagReachable;
    const bool needsConnection = flags & KCReachabilityFlagConnectionRequired;
    const bool automatic =
        flags & (KCReachabilityFlagConnectionOnTraffic | KCReachabilityFlagConnectionOnDemand);
    const bool withoutIntervention = automatic && !(flags & KCReachabilityFlagInterventionRequired);
    if (!reachable)
        return CVNetworkReachabilityStatusNotReachable;
    if (!needsConnection || withoutIntervention)
        return CVNetworkReachabilityStatusReachableViaWiFi;
    return CVNetworkReachabilityStatusNotReachable;
}

QString CVStringFromNetworkReachabilityStatus(CVNetworkReachabilityStatus status) {
    switch (status) {
    case CVNetworkReachabilityStatusNotReachable:
        return QCoreApplication::translate("CVNetworkReachabilityManager", "Not Reachable");
    case CVNetworkReachabilityStatusReachableViaWWAN:
        return QCoreApplication::translate("CVNetworkReachabilityManager", "Reachable via WWAN");
    case CVNetworkReachabilityStatusReachableViaWiFi:
        return QCoreApplication::translate("CVNetworkReachabilityManager", "Reachable via WiFi");
    case CVNetworkReachabilityStatusUnknown:
        break;
    }
    return QCoreApplication::translate("CVNetworkReachabilityManager", "Unknown");
}

struct CVNetworkReachabilityManager::Private {
    std::shared_ptr<KCReachabilityFlagSource> source;
    std::atomic<int> status{CVNetworkReachabilityStatusUnknown};
    std::atomic<quint64> generation{0};
    std::atomic<bool> monitoring{false};
    std::mutex blockMutex;
    StatusBlock block;
};

CVNetworkReachabilityManager::CVNetworkReachabilityManager(std::shared_ptr<KCReachabilityFlagSource> source)
    : d(std::make_unique<Private>()) {
    d->source = std::move(source);
}

CVNetworkReachabilityManager::~CVNetworkReachabilityManager() {
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

CVNetworkReachabilityManagerPtr CVNetworkReachabilityManager::sharedManager() {
    static CVNetworkReachabilityManagerPtr shared = managerForAddress(QHostAddress(QHostAddress::AnyIPv4));
    return shared;
}

CVNetworkReachabilityManagerPtr CVNetworkReachabilityManager::managerForDomain(const QString &domain) {
    // Without a name lookup the kernel can only say whether any route leads
    // out: the default route.
    Q_UNUSED(domain);
    return managerWithFlagSource(
        std::make_shared<KCNetlinkRouteFlagSource>(QHostAddress(QHostAddress::AnyIPv4)));
}

CVNetworkReachabilityManagerPtr CVNetworkReachabilityManager::managerForAddress(const QHostAddress &address) {
    return managerWithFlagSource(std::make_shared<KCNetlinkRouteFlagSource>(address));
}

CVNetworkReachabilityManagerPtr
CVNetworkReachabilityManager::managerWithFlagSource(std::shared_ptr<KCReachabilityFlagSource> source) {
    return CVNetworkReachabilityManagerPtr(new CVNetworkReachabilityManager(std::move(source)));
}

CVNetworkReachabilityStatus CVNetworkReachabilityManager::networkReachabilityStatus() const {
    return CVNetworkReachabilityStatus(d->status.load());
}

bool CVNetworkReachabilityManager::isReachable() const {
    return isReachableViaWWAN() || isReachableViaWiFi();
}

bool CVNetworkReachabilityManager::isReachableViaWWAN() const {
    return d->status == CVNetworkReachabilityStatusReachableViaWWAN;
}

bool CVNetworkReachabilityManager::isReachableViaWiFi() const {
    return d->status == CVNetworkReachabilityStatusReachableViaWiFi;
}

QString CVNetworkReachabilityManager::localizedNetworkReachabilityStatusString() const {
    return CVStringFromNetworkReachabilityStatus(networkReachabilityStatus());
}

void CVNetworkReachabilityManager::setReachabilityStatusChangeBlock(StatusBlock block) {
    std::lock_guard lock(d->blockMutex);
    d->block = std::move(block);
}

bool CVNetworkReachabilityManager::isMonitoring() const {
    return d->monitoring;
}

void CVNetworkReachabilityManager::startMonitoring() {
    stopMonitoring();
    if (!d->source)
        return;
    const quint64 generation = ++d->generation;
    d->monitoring = true;
    std::weak_ptr<CVNetworkReachabilityManager> weak = weak_from_this();
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

void CVNetworkReachabilityManager::stopMonitoring() {
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

void CVNetworkReachabilityManager::report(quint32 flags, quint64 generation) {
    // Runs on the main thread. Reports of a stopped or restarted run are dropped.
    if (d->generation != generation)
        return;
    const CVNetworkReachabilityStatus status = CVNetworkReachabilityStatusForFlags(flags);
    d->status = status;
    StatusBlock block;
    {
        std::lock_guard lock(d->blockMutex);
        block = d->block;
    }
    if (block)
        block(status);
    NotificationCenter::defaultCenter().postNotification(
        CVReachabilityDidChangeNotification, {{CVReachabilityNotificationStatusItem, int(status)}});
}
