#pragma once

#include "Murmex/Model/AudioProcessing.h"
#include "Murmex/Model/HashCombine.h"

#include <cstddef>
#include <functional>
#include <string>

namespace murmex {

// An audio input device: the identifier the capture operations take, and its name (empty when
// it cannot be read). Two devices are equal when both the identifier and the name are.
struct AudioDevice {
    AudioDeviceID id = 0;
    std::string name;

    friend bool operator==(const AudioDevice&, const AudioDevice&) = default;
};

}  // namespace murmex

template <>
struct std::hash<murmex::AudioDevice> {
    std::size_t operator()(const murmex::AudioDevice& device) const {
        std::size_t seed = std::hash<murmex::AudioDeviceID>()(device.id);
        murmex::detail::hashCombine(seed, std::hash<std::string>()(device.name));
        return seed;
    }
};
