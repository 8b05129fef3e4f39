#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace murmex {

// An image whose pixels are the raw bytes of a sample array: 8 bits per component, 32 bits per
// pixel, RGB with the alpha component premultiplied and first, in 32-bit little-endian order
// (so the bytes of a pixel read B, G, R, A). Nothing is drawn; each sample supplies one pixel.
struct WaveformImage {
    // The platform's bitmap description of that layout: premultiplied alpha first (2) with
    // 32-bit little-endian order (8192).
    static constexpr std::uint32_t littleEndianPremultipliedFirst = 8194;

    int width = 0;
    int height = 0;
    int bitsPerComponent = 8;
    int bitsPerPixel = 32;
    std::size_t bytesPerRow = 0;
    std::uint32_t bitmapInfo = littleEndianPremultipliedFirst;
    // height rows of bytesPerRow bytes.
    std::vector<std::uint8_t> pixels;
};

}  // namespace murmex
