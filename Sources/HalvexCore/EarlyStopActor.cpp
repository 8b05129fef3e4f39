#include "HalvexCore/EarlyStopActor.h"

namespace halvex {

void EarlyStopActor::set(bool value, const UUID& id) {
    std::lock_guard<std::mutex> guard(mutex_);
    shouldStop_[id] = value;
}

bool EarlyStopActor::get(const UUID& id) const {
    std::lock_guard<std::mutex> guard(mutex_);
    auto found = shouldStop_.find(id);
    return found != shouldStop_.end() && found->second;
}

std::optional<bool> EarlyStopActor::remove(const UUID& id) {
    std::lock_guard<std::mutex> guard(mutex_);
    auto found = shouldStop_.find(id);
    if (found == shouldStop_.end()) return std::nullopt;
    bool value = found->second;
    shouldStop_.erase(found);
    return value;
}

std::unordered_map<UUID, bool> EarlyStopActor::shouldStop() const {
    std::lock_guard<std::mutex> guard(mutex_);
    return shouldStop_;
}

}  // namespace halvex
