#pragma once

#include "Platform/IO/FileHandle.h"

#include <atomic>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

namespace halvex {

// The last known state of the network path. Until the first update arrives it reads as
// connected, so a client never starts out offline by mistake.
class NetworkStateActor {
public:
    bool isConnected() const noexcept { return isConnected_.load(); }
    bool isExpensive() const noexcept { return isExpensive_.load(); }
    bool isConstrained() const noexcept { return isConstrained_.load(); }

    void update(bool connected, bool expensive, bool constrained) noexcept;

    // False when CI_DISABLE_NETWORK_MONITOR is exactly "1" (read at every call); otherwise
    // whether the path is down. Expensive and constrained paths count as online.
    bool shouldUseOfflineMode() const;

private:
    std::atomic<bool> isConnected_{true};
    std::atomic<bool> isExpensive_{false};
    std::atomic<bool> isConstrained_{false};
};

// Watches the kernel's routing table over a netlink socket. The path is satisfied when a
// default route leaves through an interface that is up, running and not a loopback.
class NetworkMonitor {
public:
    // An interface as the kernel reports it.
    struct Link {
        int index = 0;
        unsigned flags = 0;  // IFF_* flags
    };
    // A route as the kernel reports it; only the fields the decision needs.
    struct Route {
        int destinationLength = 0;
        unsigned table = 0;
        unsigned type = 0;
        std::vector<int> outputInterfaces;  // the route's device, or each next hop's
    };

    // Creates the state and starts monitoring at once.
    NetworkMonitor();
    ~NetworkMonitor();
    NetworkMonitor(const NetworkMonitor&) = delete;
    NetworkMonitor& operator=(const NetworkMonitor&) = delete;

    // The process-wide monitor, created on first use; it lives until the process ends.
    static NetworkMonitor& shared();

    // Starts the watcher thread when it is not running already.
    void startMonitoring();

    NetworkStateActor& state() noexcept { return state_; }
    const NetworkStateActor& state() const noexcept { return state_; }

    // The decision rule over a snapshot of links and routes.
    static bool pathIsSatisfied(const std::vector<Link>& links, const std::vector<Route>& routes);

    // Asks the kernel once, now. Returns true when it cannot be asked, so that failures of the
    // monitor itself never force offline mode.
    static bool currentPathIsSatisfied();

private:
    void run();

    NetworkStateActor state_;
    std::mutex mutex_;
    std::thread thread_;
    platform::FileHandle wakeFd_;
};

}  // namespace halvex
