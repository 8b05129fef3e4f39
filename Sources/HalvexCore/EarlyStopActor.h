#pragma once

#include "HalvexCore/UUID.h"

#include <mutex>
#include <optional>
#include <unordered_map>

namespace halvex {

// One stop flag per decoding request. Operations run one at a time.
class EarlyStopActor {
public:
    EarlyStopActor() = default;
    EarlyStopActor(const EarlyStopActor&) = delete;
    EarlyStopActor& operator=(const EarlyStopActor&) = delete;

    // Stores the flag under the identifier, replacing any earlier one.
    void set(bool value, const UUID& id);
    // The flag stored under the identifier, false when there is none.
    bool get(const UUID& id) const;
    // Removes the identifier's flag and returns it; nothing when there was none.
    std::optional<bool> remove(const UUID& id);

    // A copy of the whole table.
    std::unordered_map<UUID, bool> shouldStop() const;

private:
    mutable std::mutex mutex_;
    std::unordered_map<UUID, bool> shouldStop_;
};

}  // namespace halvex
