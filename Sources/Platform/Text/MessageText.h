#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace platform::messagetext {

// The longest piece of a value that a message quotes.
constexpr std::size_t quotedLength = 80;

// `text` as a message may quote it: at most `limit` bytes, cut at a character boundary and
// ended with "…" when it was longer, so that a value read from a hostile file (a name of
// megabytes) never makes a message of megabytes.
std::string shortened(std::string_view text, std::size_t limit = quotedLength);

}  // namespace platform::messagetext
