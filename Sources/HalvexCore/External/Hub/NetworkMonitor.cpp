#include "HalvexCore/External/Hub/NetworkMonitor.h"

#include <linux/netlink.h>
#include <linux/rtnetlink.h>
#include <net/if.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <string_view>

namespace halvex {

void NetworkStateActor::update(bool connected, bool expensive, bool constrained) noexcept {
    isConnected_.store(connected);
    isExpensive_.store(expensive);
    isConstrained_.store(constrained);
}

bool NetworkStateActor::shouldUseOfflineMode() const {
    const char* flag = std::getenv("CI_DISABLE_NETWORK_MONITOR");
    if (flag != nullptr && std::string_view(flag) == "1") {
        return false;
    }
    return !isConnected();
}

namespace {

// A netlink route socket, closed on every path.
class NetlinkSocket {
public:
    explicit NetlinkSocket(unsigned groups) {
        fd_ = platform::FileHandle(::socket(AF_NETLINK, SOCK_RAW | SOCK_CLOEXEC, NETLINK_ROUTE));
        if (!fd_) {
            return;
        }
        sockaddr_nl address{};
        address.nl_family = AF_NETLINK;
        address.nl_groups = groups;
        if (::bind(fd_.get(), reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
            fd_.reset();
        }
    }

    bool valid() const { return bool(fd_); }
    int fd() const { return fd_.get(); }

private:
    platform::FileHandle fd_;
};

// Sends one dump request and hands every answer message to `visit`. False on any failure.
template <typename Visit>
bool dump(int type, Visit&& visit) {
    NetlinkSocket socket(0);
    if (!socket.valid()) {
        return false;
    }
    struct {
        nlmsghdr header;
        rtgenmsg body;
    } request{};
    request.header.nlmsg_len = NLMSG_LENGTH(sizeof(rtgenmsg));
    request.header.nlmsg_type = static_cast<unsigned short>(type);
    request.header.nlmsg_flags = NLM_F_REQUEST | NLM_F_DUMP;
    request.header.nlmsg_seq = 1;
    request.body.rtgen_family = AF_UNSPEC;
    if (::send(socket.fd(), &request, request.header.nlmsg_len, 0) < 0) {
        return false;
    }
    std::vector<char> buffer(64 * 1024);
    while (true) {
        ssize_t received = ::recv(socket.fd(), buffer.data(), buffer.size(), 0);
        if (received < 0 && errno == EINTR) {
            continue;
        }
        if (received <= 0) {
            return false;
        }
        auto length = static_cast<unsigned>(received);
        for (auto* message = reinterpret_cast<nlmsghdr*>(buffer.data()); NLMSG_OK(message, length);
             message = NLMSG_NEXT(message, length)) {
            if (message->nlmsg_type == NLMSG_DONE) {
                return true;
            }
            if (message->nlmsg_type == NLMSG_ERROR) {
                return false;
            }
            visit(message);
        }
    }
}

std::optional<bool> queryPath() {
    std::vector<NetworkMonitor::Link> links;
    std::vector<NetworkMonitor::Route> routes;
    bool linksRead = dump(RTM_GETLINK, [&](nlmsghdr* message) {
        if (message->nlmsg_type != RTM_NEWLINK) {
            return;
        }
        auto* info = static_cast<ifinfomsg*>(NLMSG_DATA(message));
        links.push_back({info->ifi_index, info->ifi_flags});
    });
    bool routesRead = dump(RTM_GETROUTE, [&](nlmsghdr* message) {
        if (message->nlmsg_type != RTM_NEWROUTE) {
            return;
        }
        auto* info = static_cast<rtmsg*>(NLMSG_DATA(message));
        NetworkMonitor::Route route;
        route.destinationLength = info->rtm_dst_len;
        route.table = info->rtm_table;
        route.type = info->rtm_type;
        int attributesLength = static_cast<int>(RTM_PAYLOAD(message));
        for (auto* attribute = RTM_RTA(info); RTA_OK(attribute, attributesLength);
             attribute = RTA_NEXT(attribute, attributesLength)) {
            if (attribute->rta_type == RTA_TABLE && RTA_PAYLOAD(attribute) >= sizeof(unsigned)) {
                std::memcpy(&route.table, RTA_DATA(attribute), sizeof(unsigned));
            } else if (attribute->rta_type == RTA_OIF && RTA_PAYLOAD(attribute) >= sizeof(int)) {
                int index = 0;
                std::memcpy(&index, RTA_DATA(attribute), sizeof(int));
                route.outputInterfaces.push_back(index);
            } else if (attribute->rta_type == RTA_MULTIPATH) {
                auto* hop = static_cast<rtnexthop*>(RTA_DATA(attribute));
                int remaining = static_cast<int>(RTA_PAYLOAD(attribute));
                while (remaining >= static_cast<int>(sizeof(rtnexthop)) && hop->rtnh_len >= sizeof(rtnexthop) &&
                       hop->rtnh_len <= remaining) {
                    route.outputInterfaces.push_back(hop->rtnh_ifindex);
                    remaining -= RTNH_ALIGN(hop->rtnh_len);
                    hop = RTNH_NEXT(hop);
                }
            }
        }
        routes.push_back(std::move(route));
    });
    if (!linksRead || !routesRead) {
        return std::nullopt;
    }
    return NetworkMonitor::pathIsSatisfied(links, routes);
}

}  // namespace

bool NetworkMonitor::pathIsSatisfied(const std::vector<Link>& links, const std::vector<Route>& routes) {
    auto usable = [&](int index) {
        for (const auto& link : links) {
            if (link.index == index) {
                return (link.flags & IFF_UP) && (link.flags & IFF_RUNNING) && !(link.flags & IFF_LOOPBACK);
            }
        }
        return false;
    };
    for (const auto& route : routes) {
        if (route.destinationLength != 0 || route.table != RT_TABLE_MAIN || route.type != RTN_UNICAST) {
            continue;
        }
        for (int index : route.outputInterfaces) {
            if (usable(index)) {
                return true;
            }
        }
    }
    return false;
}

bool NetworkMonitor::currentPathIsSatisfied() { return queryPath().value_or(true); }

NetworkMonitor::NetworkMonitor() { startMonitoring(); }

NetworkMonitor::~NetworkMonitor() {
    std::lock_guard lock(mutex_);
    if (thread_.joinable()) {
        std::uint64_t one = 1;
        [[maybe_unused]] auto written = ::write(wakeFd_.get(), &one, sizeof one);
        thread_.join();
    }
}

NetworkMonitor& NetworkMonitor::shared() {
    static NetworkMonitor monitor;
    return monitor;
}

void NetworkMonitor::startMonitoring() {
    std::lock_guard lock(mutex_);
    if (thread_.joinable()) {
        return;
    }
    if (!wakeFd_) {
        wakeFd_ = platform::FileHandle(::eventfd(0, EFD_CLOEXEC));
        if (!wakeFd_) {
            return;
        }
    }
    thread_ = std::thread([this] { run(); });
}

void NetworkMonitor::run() {
    NetlinkSocket events(RTMGRP_LINK | RTMGRP_IPV4_ROUTE | RTMGRP_IPV6_ROUTE | RTMGRP_IPV4_IFADDR | RTMGRP_IPV6_IFADDR);
    if (!events.valid()) {
        return;  // no netlink here: the state stays connected
    }
    auto refresh = [this] {
        if (auto satisfied = queryPath()) {
            state_.update(*satisfied, false, false);
        }
    };
    refresh();
    std::array<pollfd, 2> descriptors{pollfd{events.fd(), POLLIN, 0}, pollfd{wakeFd_.get(), POLLIN, 0}};
    std::vector<char> buffer(64 * 1024);
    while (true) {
        int ready = ::poll(descriptors.data(), descriptors.size(), -1);
        if (ready < 0) {
            if (errno == EINTR) {
                continue;
            }
            return;
        }
        if (descriptors[1].revents != 0) {
            return;
        }
        if (descriptors[0].revents & (POLLHUP | POLLNVAL)) {
            return;
        }
        if (descriptors[0].revents != 0) {
            // Drain every queued notification, then read the table once. An overrun
            // (ENOBUFS) only means notifications were lost: the table is read again anyway.
            while (true) {
                ssize_t received = ::recv(events.fd(), buffer.data(), buffer.size(), MSG_DONTWAIT);
                if (received > 0 || (received < 0 && (errno == ENOBUFS || errno == EINTR))) {
                    continue;
                }
                break;
            }
            refresh();
        }
    }
}

}  // namespace halvex
