#include "Platform/ML/Runtime/NumpyFile.h"

#include "Platform/IO/RegularFile.h"
#include "Platform/ML/MLError.h"
#include "Platform/Text/MessageText.h"
#include "Platform/Text/NumberText.h"

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <fstream>
#include <limits>
#include <string_view>

namespace platform::runtime {

namespace {

// NumPy's own limit.
constexpr std::size_t maximumRank = 32;
// Arrays of a prediction's inputs are a few megabytes.
constexpr std::size_t maximumFileBytes = std::size_t{1} << 30;

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

// The header of a .npy file is the text of a Python dict literal with three entries. It is read
// by a small scanner of its own: a value of any length costs time in proportion to it, never
// stack or memory beyond the text itself.
class HeaderScanner {
public:
    HeaderScanner(std::string_view text, const std::filesystem::path& path) : text_(text), path_(path) {}

    // The value of the entry `key`, from after the colon to the end of the value (a quoted
    // string, a parenthesised tuple or a bare word), blanks trimmed.
    std::string_view value(std::string_view key) const {
        std::string quoted(1, '\'');
        quoted.append(key).push_back('\'');
        std::size_t at = 0;
        while (true) {
            at = text_.find(quoted, at);
            if (at == std::string_view::npos) invalid(path_, "no " + std::string(key));
            std::size_t colon = skipBlanks(at + quoted.size());
            if (colon < text_.size() && text_[colon] == ':') {
                const std::size_t begin = skipBlanks(colon + 1);
                return text_.substr(begin, valueEnd(begin) - begin);
            }
            at += quoted.size();
        }
    }

private:
    std::size_t skipBlanks(std::size_t at) const {
        while (at < text_.size() && (text_[at] == ' ' || text_[at] == '\t')) ++at;
        return at;
    }
    std::size_t valueEnd(std::size_t begin) const {
        if (begin >= text_.size()) return begin;
        const char open = text_[begin];
        if (open == '\'' || open == '(') {
            const char close = open == '(' ? ')' : '\'';
            const std::size_t end = text_.find(close, begin + 1);
            if (end == std::string_view::npos) invalid(path_, "an unterminated value in the header");
            return end + 1;
        }
        std::size_t end = begin;
        while (end < text_.size() && text_[end] != ',' && text_[end] != '}' && text_[end] != ' ') ++end;
        return end;
    }

    std::string_view text_;
    const std::filesystem::path& path_;
};

}  // namespace

MultiArray readNumpyFile(const std::filesystem::path& path) {
    std::string content;
    try {
        content = readRegularFile(path, maximumFileBytes);
    } catch (const RegularFileError& error) {
        invalid(path, error.reason() == RegularFileError::Reason::tooLarge
                          ? "larger than " + std::to_string(maximumFileBytes >> 20) + " MiB"
                          : std::string(error.what()));
    }
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
    if (headerLength > content.size() - headerStart) invalid(path, "truncated header");
    const HeaderScanner header(std::string_view(content).substr(headerStart, headerLength), path);

    const std::string_view descrValue = header.value("descr");
    if (descrValue.size() < 2 || descrValue.front() != '\'') invalid(path, "no descr");
    const std::string_view descr = descrValue.substr(1, descrValue.size() - 2);
    const std::string_view fortran = header.value("fortran_order");
    if (fortran == "True") invalid(path, "Fortran order is not supported");
    if (fortran != "False") invalid(path, "no fortran_order");
    const std::string_view shapeValue = header.value("shape");
    if (shapeValue.size() < 2 || shapeValue.front() != '(') invalid(path, "no shape");
    Shape shape;
    std::uint64_t count = 1;
    std::string_view dims = shapeValue.substr(1, shapeValue.size() - 2);
    while (!dims.empty()) {
        const std::size_t comma = std::min(dims.find(','), dims.size());
        std::string_view item = dims.substr(0, comma);
        dims.remove_prefix(std::min(comma + 1, dims.size()));
        while (!item.empty() && (item.front() == ' ' || item.front() == '\t')) item.remove_prefix(1);
        while (!item.empty() && (item.back() == ' ' || item.back() == '\t')) item.remove_suffix(1);
        if (item.empty()) continue;
        // Other blanks before the digits are read past, as strtoll does.
        const auto digits = std::min(item.find_first_not_of(" \t\n\v\f\r"), item.size());
        const auto value = numbertext::parseInteger(item.substr(digits));
        if (!value || *value < 0 || *value > std::numeric_limits<int>::max())
            invalid(path, "bad dimension " + messagetext::shortened(item));
        if (shape.size() == maximumRank) invalid(path, "more than " + std::to_string(maximumRank) + " dimensions");
        if (__builtin_mul_overflow(count, static_cast<std::uint64_t>(*value), &count))
            invalid(path, "a shape of more elements than memory holds");
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
        invalid(path, "unsupported element type " + messagetext::shortened(descr));

    // The data must all be there before an array of its size is made.
    const std::size_t size = wide ? 8 : elementSize(type);
    const std::size_t dataStart = headerStart + headerLength;
    std::uint64_t needed = 0;
    if (__builtin_mul_overflow(count, size, &needed) || content.size() - dataStart < needed)
        invalid(path, "data shorter than its shape");
    MultiArray array(shape, type);
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
