#include "Platform/Text/MessageText.h"

namespace platform::messagetext {

std::string shortened(std::string_view text, std::size_t limit) {
    if (text.size() <= limit) return std::string(text);
    std::size_t end = limit;
    // Back up over continuation bytes, so a multi-byte character is never cut in two.
    while (end > 0 && (static_cast<unsigned char>(text[end]) & 0xC0) == 0x80) --end;
    return std::string(text.substr(0, end)) + "…";
}

}  // namespace platform::messagetext
