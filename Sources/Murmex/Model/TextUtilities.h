#pragma once

#include <string>
#include <vector>

namespace murmex {

struct TextUtilities {
    // The raw DEFLATE level of the compression ratio.
    static constexpr int compressionLevel = 5;

    // Bytes of the ids as 32-bit little-endian integers divided by the bytes of their raw
    // DEFLATE compression. A compression failure logs "Compression error: …" and gives +inf;
    // no ids give 0.
    static float compressionRatio(const std::vector<int>& tokens);
    // The same over the text's UTF-8 bytes; an empty text gives +inf.
    static float compressionRatio(const std::string& text);
};

}  // namespace murmex
