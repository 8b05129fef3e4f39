#pragma once

#include <ostream>
#include <string>

namespace halvex {

// The lifecycle state of a set of models.
enum class ModelState { unloading, unloaded, loading, loaded, prewarming, prewarmed, downloading, downloaded };

// "Unloading", "Unloaded", "Loading", "Loaded", "Specializing", "Specialized",
// "Downloading", "Downloaded".
std::string description(ModelState state);
// True for the states that describe work in progress.
bool isBusy(ModelState state);

std::ostream& operator<<(std::ostream& os, ModelState state);

}  // namespace halvex
