#include "Murmex/Model/Signposter.h"

#include <atomic>
#include <mutex>
#include <utility>

#include "Murmex/Model/LoggingCategories.h"

namespace murmex {

namespace {

std::mutex& sinkMutex() {
    static std::mutex mutex;
    return mutex;
}

std::shared_ptr<const Signposter::TracingSink>& sinkStorage() {
    static std::shared_ptr<const Signposter::TracingSink> sink;
    return sink;
}

std::shared_ptr<const Signposter::TracingSink> currentSink() {
    std::lock_guard<std::mutex> guard(sinkMutex());
    return sinkStorage();
}

}  // namespace

Signposter::Signposter(std::string subsystem, std::string category)
    : subsystem_(std::move(subsystem)), category_(std::move(category)) {}

bool Signposter::isEnabled() const { return currentSink() != nullptr; }

void Signposter::setTracingSink(TracingSink sink) {
    std::lock_guard<std::mutex> guard(sinkMutex());
    sinkStorage() = sink ? std::make_shared<const TracingSink>(std::move(sink)) : nullptr;
}

std::uint64_t Signposter::makeSignpostID() const {
    static std::atomic<std::uint64_t> next{1};
    return next.fetch_add(1);
}

void Signposter::emit(SignpostEvent::Kind kind, std::string_view name, std::uint64_t identifier,
                      std::string_view message) const {
    auto sink = currentSink();
    if (!sink) return;
    (*sink)(SignpostEvent{kind, subsystem_, category_, name, identifier, message});
}

SignpostInterval::SignpostInterval(const Signposter& signposter, std::string_view name)
    : signposter_(signposter), name_(name), state_(Logging::beginSignpost(name, signposter)) {}

SignpostInterval::~SignpostInterval() { Logging::endSignpost(name_, state_, signposter_); }

}  // namespace murmex
