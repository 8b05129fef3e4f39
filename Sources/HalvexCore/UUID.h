#pragma once

#include <array>
#include <compare>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <ostream>
#include <string>
#include <string_view>

namespace halvex {

// A 128-bit universally unique identifier. `UUID()` makes a random (version 4) one.
class UUID {
public:
    using Bytes = std::array<std::uint8_t, 16>;

    UUID();
    explicit UUID(const Bytes& bytes) : bytes_(bytes) {}

    // Parses "E621E1F8-C36C-495A-93FC-0C247A3E6E5F" (any case); nothing for other text.
    static std::optional<UUID> fromString(std::string_view text);

    const Bytes& bytes() const { return bytes_; }
    // Upper-case text in the 8-4-4-4-12 form.
    std::string uuidString() const;
    std::string description() const { return uuidString(); }

    bool operator==(const UUID&) const = default;
    std::strong_ordering operator<=>(const UUID&) const = default;

    std::size_t hash() const noexcept;

private:
    Bytes bytes_{};
};

std::ostream& operator<<(std::ostream& os, const UUID& uuid);

}  // namespace halvex

template <>
struct std::hash<halvex::UUID> {
    std::size_t operator()(const halvex::UUID& uuid) const noexcept { return uuid.hash(); }
};
