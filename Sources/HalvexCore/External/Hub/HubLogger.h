#pragma once

#include <functional>
#include <mutex>
#include <string>

namespace halvex {

// The hub client's own system logger. Entries go to syslog at error level under the
// identifier "com.halvex.halvexcore", unless a sink is installed (tests install one).
class HubLogger {
public:
    using Sink = std::function<void(const std::string&)>;

    void error(const std::string& message);
    // Installs a sink that receives every entry instead of the system log; an empty function
    // restores the system log.
    void setSink(Sink sink);

private:
    std::mutex mutex_;
    Sink sink_;
};

}  // namespace halvex
