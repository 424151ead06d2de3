#include "platform/netlink/reachability_flags.h"

#include <QPointer>
#include <QSocketNotifier>
#include <QThread>
#include <QtEndian>

#include <atomic>
#include <memory>

#include <linux/netlink.h>
#include <linux/rtnetlink.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <mutex>

KCReachabilityFlagSource::~KCReachabilityFlagSource() = default;

namespace {

// NLMSG_OK with the signs spelled out: `remaining` may go negative after the
// last message, which must end the walk.
bool messageFits(const nlmsghdr *h, int remaining) {
    return remaining >= int(sizeof(nlmsghdr)) && h->nlmsg_len >= sizeof(nlmsghdr) &&
           h->nlmsg_len <= unsigned(remaining);
}

constexpr size_t kBufferSize = 32768;

// Sends one request on `fd` and calls `onMessage` for every answer message
// until the kernel is done. Returns false on a socket error; an error
// message from the kernel is passed as `*kernelError`.
bool transact(int fd, quint32 seq, const void *request, size_t length,
              const std::function<void(const nlmsghdr *)> &onMessage, int *kernelError) {
    sockaddr_nl kernel{};
    kernel.nl_family = AF_NETLINK;
    if (sendto(fd, request, length, 0, reinterpret_cast<sockaddr *>(&kernel), sizeof kernel) < 0)
        return false;
    std::vector<char> buffer(kBufferSize);
    for (;;) {
        const ssize_t n = recv(fd, buffer.data(), buffer.size(), 0);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            return false;
        }
        int remaining = int(n);
        for (auto *h = reinterpret_cast<nlmsghdr *>(buffer.data()); messageFits(h, remaining);
             h = NLMSG_NEXT(h, remaining)) {
            if (h->nlmsg_seq != seq)
                continue;
            if (h->nlmsg_type == NLMSG_DONE)
                return true;
            if (h->nlmsg_type == NLMSG_ERROR) {
                const auto *e = static_cast<const nlmsgerr *>(NLMSG_DATA(h));
                if (kernelError)
                    *kernelError = -e->error;
                return true; // an acknowledgement (error 0) or a refusal
            }
            onMessage(h);
            if (!(h->nlmsg_flags & NLM_F_MULTI))
                return true;
        }
    }
}

// A usable route: unicast (or local), in the main table, not on a link that
// is down or dead.
bool usableRoute(const nlmsghdr *h, bool requireDefault) {
    if (h->nlmsg_type != RTM_NEWROUTE)
        return false;
    const auto *rt = static_cast<const rtmsg *>(NLMSG_DATA(h));
    if (rt->rtm_type != RTN_UNICAST && rt->rtm_type != RTN_LOCAL)
        return false;
    if (requireDefault && rt->rtm_dst_len != 0)
        return false;
    if (rt->rtm_flags & (RTNH_F_LINKDOWN | RTNH_F_DEAD))
        return false;
    quint32 table = rt->rtm_table;
    int len = int(RTM_PAYLOAD(h));
    for (auto *a = RTM_RTA(rt); RTA_OK(a, len); a = RTA_NEXT(a, len)) {
        if (a->rta_type == RTA_TABLE)
            std::memcpy(&table, RTA_DATA(a), sizeof table);
    }
    return !requireDefault || table == RT_TABLE_MAIN;
}

} // namespace

struct KCNetlinkRouteFlagSource::Private {
    QHostAddress target;
    bool defaultRoute = true;
    int querySocket = -1;
    int watchSocket = -1;
    quint32 seq = 1;
    std::mutex queryMutex;
    mutable std::mutex errorMutex;
    QString lastError;
    QPointer<QSocketNotifier> notifier;
    std::shared_ptr<std::atomic<bool>> active;
    std::function<void(quint32)> changed;

    void setError(const QString &e) {
        std::lock_guard lock(errorMutex);
        lastError = e;
    }

    bool hasDefaultRoute(int family, bool *found) {
        struct {
            nlmsghdr h;
            rtmsg r;
        } req{};
        req.h.nlmsg_len = NLMSG_LENGTH(sizeof(rtmsg));
        req.h.nlmsg_type = RTM_GETROUTE;
        req.h.nlmsg_flags = NLM_F_REQUEST | NLM_F_DUMP;
        req.h.nlmsg_seq = ++seq;
        req.r.rtm_family = static_cast<unsigned char>(family);
        int kernelError = 0;
        const bool ok = transact(
            querySocket, req.h.nlmsg_seq, &req, req.h.nlmsg_len,
            [&](const nlmsghdr *h) {
                if (usableRoute(h, true))
                    *found = true;
            },
            &kernelError);
        if (!ok)
            setError(
                QStringLiteral("netlink route dump failed: %1").arg(QString::fromLocal8Bit(strerror(errno))));
        return ok && kernelError == 0;
    }

    bool hasRouteTo(const QHostAddress &address, bool *found) {
        struct {
            nlmsghdr h;
            rtmsg r;
            char attrs[64];
        } req{};
        const bool v6 = address.protocol() == QAbstractSocket::IPv6Protocol;
        req.h.nlmsg_len = NLMSG_LENGTH(sizeof(rtmsg));
        req.h.nlmsg_type = RTM_GETROUTE;
        req.h.nlmsg_flags = NLM_F_REQUEST;
        req.h.nlmsg_seq = ++seq;
        req.r.rtm_family = v6 ? AF_INET6 : AF_INET;
        req.r.rtm_dst_len = v6 ? 128 : 32;
        auto *rta = reinterpret_cast<rtattr *>(reinterpret_cast<char *>(&req) + NLMSG_ALIGN(req.h.nlmsg_len));
        rta->rta_type = RTA_DST;
        if (v6) {
            const Q_IPV6ADDR a = address.toIPv6Address();
            rta->rta_len = RTA_LENGTH(16);
            std::memcpy(RTA_DATA(rta), a.c, 16);
        } else {
            const quint32 a = qToBigEndian(address.toIPv4Address());
            rta->rta_len = RTA_LENGTH(4);
            std::memcpy(RTA_DATA(rta), &a, 4);
        }
        req.h.nlmsg_len = NLMSG_ALIGN(req.h.nlmsg_len) + RTA_ALIGN(rta->rta_len);
        int kernelError = 0;
        const bool ok = transact(
            querySocket, req.h.nlmsg_seq, &req, req.h.nlmsg_len,
            [&](const nlmsghdr *h) {
                if (usableRoute(h, false))
                    *found = true;
            },
            &kernelError);
        if (!ok) {
            setError(QStringLiteral("netlink route query failed: %1")
                         .arg(QString::fromLocal8Bit(strerror(errno))));
            return false;
        }
        // "Network unreachable" and the like are answers, not failures.
        return true;
    }
};

KCNetlinkRouteFlagSource::KCNetlinkRouteFlagSource(const QHostAddress &target)
    : d(std::make_unique<Private>()) {
    d->target = target;
    d->defaultRoute = target.isNull() || target == QHostAddress(QHostAddress::AnyIPv4) ||
                      target == QHostAddress(QHostAddress::AnyIPv6);
    d->querySocket = socket(AF_NETLINK, SOCK_RAW | SOCK_CLOEXEC, NETLINK_ROUTE);
    d->watchSocket = socket(AF_NETLINK, SOCK_RAW | SOCK_CLOEXEC | SOCK_NONBLOCK, NETLINK_ROUTE);
    if (d->querySocket < 0 || d->watchSocket < 0) {
        d->setError(
            QStringLiteral("cannot open a netlink socket: %1").arg(QString::fromLocal8Bit(strerror(errno))));
        return;
    }
    timeval tv{5, 0}; // a kernel that does not answer must not hang a reader
    setsockopt(d->querySocket, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
    sockaddr_nl local{};
    local.nl_family = AF_NETLINK;
    local.nl_groups = RTMGRP_IPV4_ROUTE | RTMGRP_IPV6_ROUTE | RTMGRP_LINK;
    if (bind(d->watchSocket, reinterpret_cast<sockaddr *>(&local), sizeof local) < 0) {
        d->setError(QStringLiteral("cannot subscribe to route changes: %1")
                        .arg(QString::fromLocal8Bit(strerror(errno))));
        close(d->watchSocket);
        d->watchSocket = -1;
    }
}

KCNetlinkRouteFlagSource::~KCNetlinkRouteFlagSource() {
    stopWatching();
    if (d->querySocket >= 0)
        close(d->querySocket);
    if (d->watchSocket >= 0)
        close(d->watchSocket);
}

bool KCNetlinkRouteFlagSource::readFlags(quint32 *flags) {
    std::lock_guard lock(d->queryMutex);
    if (d->querySocket < 0)
        return false;
    bool found = false;
    if (d->defaultRoute) {
        if (!d->hasDefaultRoute(AF_INET, &found))
            return false;
        if (!found && !d->hasDefaultRoute(AF_INET6, &found))
            return false;
    } else if (!d->hasRouteTo(d->target, &found)) {
        return false;
    }
    *flags = found ? quint32(KCReachabilityFlagReachable) : 0u;
    return true;
}

bool KCNetlinkRouteFlagSource::startWatching(std::function<void(quint32 flags)> changed) {
    stopWatching();
    if (d->watchSocket < 0)
        return false;
    d->changed = std::move(changed);
    auto *notifier = new QSocketNotifier(d->watchSocket, QSocketNotifier::Read);
    d->notifier = notifier;
    auto active = std::make_shared<std::atomic<bool>>(true);
    d->active = active;
    QObject::connect(notifier, &QSocketNotifier::activated, notifier, [this, active] {
        if (!*active)
            return;
        // Drain every pending message, then report the state once.
        std::vector<char> buffer(kBufferSize);
        bool relevant = false;
        for (;;) {
            const ssize_t n = recv(d->watchSocket, buffer.data(), buffer.size(), MSG_DONTWAIT);
            if (n < 0) {
                if (errno == EINTR)
                    continue;
                if (errno == ENOBUFS) // messages were lost: re-read the state
                    relevant = true;
                break;
            }
            if (n == 0)
                break;
            int remaining = int(n);
            for (auto *h = reinterpret_cast<nlmsghdr *>(buffer.data()); messageFits(h, remaining);
                 h = NLMSG_NEXT(h, remaining)) {
                if (h->nlmsg_type == RTM_NEWROUTE || h->nlmsg_type == RTM_DELROUTE ||
                    h->nlmsg_type == RTM_NEWLINK || h->nlmsg_type == RTM_DELLINK)
                    relevant = true;
            }
        }
        quint32 flags = 0;
        if (relevant && d->changed && readFlags(&flags))
            d->changed(flags);
    });
    return true;
}

void KCNetlinkRouteFlagSource::stopWatching() {
    if (d->active)
        *d->active = false;
    d->active.reset();
    if (d->notifier) {
        QSocketNotifier *n = d->notifier;
        if (n->thread() == QThread::currentThread())
            delete n;
        else
            n->deleteLater();
    }
    d->notifier = nullptr;
    d->changed = nullptr;
}

bool KCNetlinkRouteFlagSource::isWatching() const {
    return !d->notifier.isNull();
}

QString KCNetlinkRouteFlagSource::lastError() const {
    std::lock_guard lock(d->errorMutex);
    return d->lastError;
}
