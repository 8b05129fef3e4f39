#include "HalvexCore/External/Hub/HubLogger.h"

#include <syslog.h>

namespace halvex {

void HubLogger::error(const std::string& message) {
    Sink sink;
    {
        std::lock_guard lock(mutex_);
        sink = sink_;
    }
    if (sink) {
        sink(message);
        return;
    }
    openlog("com.halvex.halvexcore", LOG_PID, LOG_USER);
    syslog(LOG_ERR, "[HubApi] %s", message.c_str());
}

void HubLogger::setSink(Sink sink) {
    std::lock_guard lock(mutex_);
    sink_ = std::move(sink);
}

}  // namespace halvex
