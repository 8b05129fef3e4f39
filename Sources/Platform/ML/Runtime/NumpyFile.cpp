#include "Platform/ML/Runtime/NumpyFile.h"

#include "Platform/ML/MLError.h"
#include "Platform/Text/NumberText.h"

#include <cstring>
#include <fstream>
#include <limits>
#include <regex>
#include <sstream>

namespace platform::runtime {

namespace {

[[noreturn]] void invalid(const std::filesystem::path& path, const std::string& why) {
    throw MLError(MLError::Code::invalidArgument, "Invalid .npy file " + path.string() + ": " + why);
}

const char* descriptor(MultiArrayDataType type) {
    switch (type) {
        case MultiArrayDataType::float16: return "<f2";
        case MultiArrayDataType::float32: return "<f4";
        case MultiArrayDataType::float64: return "<f8";
        case MultiArrayDataType::int32: return "<i4";
        case MultiArrayDataType::int8: return "|i1";
    }
    return "?";
}

}  // namespace

MultiArray readNumpyFile(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) invalid(path, "cannot be opened");
    std::string content((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    if (content.size() < 10 || content.compare(0, 6, "\x93NUMPY") != 0) invalid(path, "no .npy signature");
    const int major = static_cast<unsigned char>(content[6]);
    std::size_t headerLength, headerStart;
    if (major == 1) {
        headerLength = static_cast<unsigned char>(content[8]) |
                       (static_cast<std::size_t>(static_cast<unsigned char>(content[9])) << 8);
        headerStart = 10;
    } else if (major == 2 || major == 3) {
        if (content.size() < 12) invalid(path, "truncated header");
        headerLength = 0;
        for (int i = 3; i >= 0; --i)
            headerLength = (headerLength << 8) | static_cast<unsigned char>(content[8 + static_cast<std::size_t>(i)]);
        headerStart = 12;
    } else {
        invalid(path, "unsupported version");
    }
    if (headerStart + headerLength > content.size()) invalid(path, "truncated header");
    const std::string header = content.substr(headerStart, headerLength);

    std::smatch match;
    if (!std::regex_search(header, match, std::regex("'descr'\\s*:\\s*'([^']*)'"))) invalid(path, "no descr");
    const std::string descr = match[1];
    if (!std::regex_search(header, match, std::regex("'fortran_order'\\s*:\\s*(True|False)")))
        invalid(path, "no fortran_order");
    if (match[1] == "True") invalid(path, "Fortran order is not supported");
    if (!std::regex_search(header, match, std::regex("'shape'\\s*:\\s*\\(([^)]*)\\)"))) invalid(path, "no shape");
    Shape shape;
    std::stringstream dims(match[1].str());
    std::string item;
    while (std::getline(dims, item, ',')) {
        item.erase(0, item.find_first_not_of(" \t"));
        item.erase(item.find_last_not_of(" \t") + 1);
        if (item.empty()) continue;
        // Other blanks before the digits are read past, as strtoll does.
        const auto digits = std::min(item.find_first_not_of(" \t\n\v\f\r"), item.size());
        const auto value = numbertext::parseInteger(std::string_view(item).substr(digits));
        if (!value || *value < 0 || *value > std::numeric_limits<int>::max()) invalid(path, "bad dimension " + item);
        shape.push_back(static_cast<int>(*value));
    }
    if (shape.empty()) shape.push_back(1);  // a scalar

    MultiArrayDataType type;
    bool wide = false;
    if (descr == "<f2")
        type = MultiArrayDataType::float16;
    else if (descr == "<f4")
        type = MultiArrayDataType::float32;
    else if (descr == "<f8")
        type = MultiArrayDataType::float64;
    else if (descr == "<i4")
        type = MultiArrayDataType::int32;
    else if (descr == "|i1" || descr == "<i1")
        type = MultiArrayDataType::int8;
    else if (descr == "<i8") {
        type = MultiArrayDataType::int32;
        wide = true;
    } else
        invalid(path, "unsupported element type " + descr);

    MultiArray array(shape, type);
    const std::size_t count = static_cast<std::size_t>(array.count());
    const std::size_t size = wide ? 8 : elementSize(type);
    const std::size_t dataStart = headerStart + headerLength;
    if (content.size() - dataStart < count * size) invalid(path, "data shorter than its shape");
    if (wide) {
        auto* out = array.data<std::int32_t>();
        for (std::size_t i = 0; i < count; ++i) {
            std::int64_t v;
            std::memcpy(&v, content.data() + dataStart + i * 8, 8);
            if (v < std::numeric_limits<std::int32_t>::min() || v > std::numeric_limits<std::int32_t>::max())
                invalid(path, "integer does not fit in 32 bits");
            out[i] = static_cast<std::int32_t>(v);
        }
    } else if (count > 0) {
        std::memcpy(array.dataPointer(), content.data() + dataStart, count * size);
    }
    return array;
}

void writeNumpyFile(const std::filesystem::path& path, const MultiArray& source) {
    const MultiArray array = source.isContiguous() ? source : source.copy();
    std::string shape = "(";
    for (std::size_t i = 0; i < array.shape().size(); ++i) shape += std::to_string(array.shape()[i]) + ",";
    if (array.shape().size() > 1) shape.pop_back();
    shape += ")";
    std::string header = std::string("{'descr': '") + descriptor(array.dataType()) +
                         "', 'fortran_order': False, 'shape': " + shape + ", }";
    while ((10 + header.size() + 1) % 64 != 0) header.push_back(' ');
    header.push_back('\n');
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    if (!out) throw MLError(MLError::Code::invalidArgument, "Cannot write " + path.string());
    out.write("\x93NUMPY\x01\x00", 8);
    const char length[2] = {static_cast<char>(header.size() & 0xFF), static_cast<char>(header.size() >> 8)};
    out.write(length, 2);
    out.write(header.data(), static_cast<std::streamsize>(header.size()));
    out.write(static_cast<const char*>(array.dataPointer()),
              static_cast<std::streamsize>(static_cast<std::size_t>(array.count()) * elementSize(array.dataType())));
    if (!out) throw MLError(MLError::Code::invalidArgument, "Cannot write " + path.string());
}

}  // namespace platform::runtime
