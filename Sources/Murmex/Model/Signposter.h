#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <utility>

namespace murmex {

// One signpost event as a tracing sink receives it.
struct SignpostEvent {
    enum class Kind { intervalBegin, intervalEnd };
    Kind kind;
    std::string_view subsystem;
    std::string_view category;
    std::string_view name;
    std::uint64_t identifier;
    // Empty, or "[Error] Interval already ended" for an interval ended twice.
    std::string_view message;
};

// The state of one begun interval, owned by the operation that began it.
class SignpostIntervalState {
public:
    explicit SignpostIntervalState(std::uint64_t identifier) : identifier_(identifier) {}
    std::uint64_t identifier() const { return identifier_; }
    bool isOpen() const { return open_; }
    // Marks the interval ended; false when it had been ended already.
    bool consume() { return std::exchange(open_, false); }

private:
    std::uint64_t identifier_;
    bool open_ = true;
};

// Marks intervals of work under a subsystem and category. Nothing is emitted unless a tracing
// sink is installed; the process-wide log level has no effect on signposts.
class Signposter {
public:
    using TracingSink = std::function<void(const SignpostEvent&)>;

    Signposter(std::string subsystem, std::string category);

    const std::string& subsystem() const { return subsystem_; }
    const std::string& category() const { return category_; }
    bool isEnabled() const;

    // Installs the process-wide sink (an empty function removes it). The sink may be called from
    // any thread and must not install another sink.
    static void setTracingSink(TracingSink sink);

    std::uint64_t makeSignpostID() const;
    void emit(SignpostEvent::Kind kind, std::string_view name, std::uint64_t identifier,
              std::string_view message) const;

private:
    std::string subsystem_;
    std::string category_;
};

// An interval that begins when constructed and ends when it goes out of scope, so that every
// exit of an operation ends it.
class SignpostInterval {
public:
    SignpostInterval(const Signposter& signposter, std::string_view name);
    ~SignpostInterval();
    SignpostInterval(const SignpostInterval&) = delete;
    SignpostInterval& operator=(const SignpostInterval&) = delete;

    SignpostIntervalState& state() { return state_; }

private:
    const Signposter& signposter_;
    std::string_view name_;
    SignpostIntervalState state_;
};

}  // namespace murmex
