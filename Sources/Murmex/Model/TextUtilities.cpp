#include "Murmex/Model/TextUtilities.h"

#include <zlib.h>

#include <cstdint>
#include <limits>
#include <stdexcept>

#include "Murmex/Model/MurmexLog.h"

namespace murmex {

namespace {

// The size of the raw DEFLATE stream of `data`.
std::size_t deflatedSize(const unsigned char* data, std::size_t size) {
    z_stream stream{};
    if (deflateInit2(&stream, TextUtilities::compressionLevel, Z_DEFLATED, -15, 8, Z_DEFAULT_STRATEGY) != Z_OK) {
        throw std::runtime_error(stream.msg ? stream.msg : "deflateInit2 failed");
    }
    std::vector<unsigned char> output(deflateBound(&stream, static_cast<uLong>(size)) + 16);
    stream.next_in = const_cast<Bytef*>(data);
    stream.avail_in = static_cast<uInt>(size);
    stream.next_out = output.data();
    stream.avail_out = static_cast<uInt>(output.size());
    const int status = deflate(&stream, Z_FINISH);
    const std::size_t produced = stream.total_out;
    const std::string message = stream.msg ? stream.msg : "";
    deflateEnd(&stream);
    if (status != Z_STREAM_END) throw std::runtime_error(message.empty() ? "deflate did not finish" : message);
    return produced;
}

float ratioOf(const unsigned char* data, std::size_t size) {
    try {
        const std::size_t compressed = deflatedSize(data, size);
        return static_cast<float>(size) / static_cast<float>(compressed);
    } catch (const std::exception& error) {
        log::debug(std::string("Compression error: ") + error.what());
        return std::numeric_limits<float>::infinity();
    }
}

}  // namespace

float TextUtilities::compressionRatio(const std::vector<int>& tokens) {
    std::vector<unsigned char> bytes;
    bytes.reserve(tokens.size() * 4);
    for (int token : tokens) {
        const auto value = static_cast<std::uint32_t>(static_cast<std::int32_t>(token));
        for (int shift = 0; shift < 32; shift += 8) bytes.push_back(static_cast<unsigned char>(value >> shift));
    }
    return ratioOf(bytes.data(), bytes.size());
}

float TextUtilities::compressionRatio(const std::string& text) {
    if (text.empty()) return std::numeric_limits<float>::infinity();
    return ratioOf(reinterpret_cast<const unsigned char*>(text.data()), text.size());
}

}  // namespace murmex
