#include "Murmex/Audio/TaskCancellation.h"

#include "HalvexCore/External/Hub/CancellationError.h"

#include <utility>

namespace murmex {

namespace {

thread_local std::stop_token currentTask;

}  // namespace

TaskCancellation::Scope::Scope(std::stop_token token) : previous_(std::exchange(currentTask, std::move(token))) {}

TaskCancellation::Scope::~Scope() { currentTask = std::move(previous_); }

bool TaskCancellation::isCancelled() { return currentTask.stop_requested(); }

void TaskCancellation::checkCancellation() {
    if (isCancelled()) {
        throw halvex::CancellationError();
    }
}

}  // namespace murmex
