#pragma once

#include <string>

namespace platform {

// Where a model may run. This runtime computes on the CPU whatever the choice; the value
// is kept with the loaded model and printed.
enum class ComputeUnits { cpuOnly = 0, cpuAndGPU = 1, all = 2, cpuAndNeuralEngine = 3 };

// "cpuOnly", "cpuAndGPU", "all", "cpuAndNeuralEngine"; "unknown" for any other value.
std::string description(ComputeUnits units);
// "CPU", "GPU", "All", "Neural Engine"; "Unknown" for any other value.
std::string displayName(ComputeUnits units);

}  // namespace platform
