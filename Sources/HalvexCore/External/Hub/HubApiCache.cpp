#include "HalvexCore/External/Hub/ConfinedFolder.h"
#include "HalvexCore/External/Hub/HubApi.h"
#include "HalvexCore/External/Hub/Sha256.h"
#include "Platform/IO/FileHandle.h"
#include "Platform/Text/NumberText.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <charconv>
#include <cstdlib>
#include <system_error>

namespace halvex {

namespace {

// The next code point of well-formed UTF-8 at `position`, advancing it; nullopt when the
// bytes there are not well-formed.
std::optional<char32_t> nextCodePoint(std::string_view text, std::size_t& position) {
    auto byte = [&](std::size_t i) { return static_cast<unsigned char>(text[i]); };
    unsigned char lead = byte(position);
    int length = lead < 0x80 ? 1 : (lead >> 5) == 0x6 ? 2 : (lead >> 4) == 0xE ? 3 : (lead >> 3) == 0x1E ? 4 : 0;
    if (length == 0 || position + static_cast<std::size_t>(length) > text.size()) {
        return std::nullopt;
    }
    char32_t value = length == 1 ? lead : lead & (0x7F >> length);
    for (int i = 1; i < length; ++i) {
        unsigned char next = byte(position + static_cast<std::size_t>(i));
        if ((next & 0xC0) != 0x80) {
            return std::nullopt;
        }
        value = (value << 6) | (next & 0x3F);
    }
    static constexpr std::array<char32_t, 5> smallest = {0, 0, 0x80, 0x800, 0x10000};
    if (value < smallest[static_cast<std::size_t>(length)] || value > 0x10FFFF ||
        (value >= 0xD800 && value <= 0xDFFF)) {
        return std::nullopt;
    }
    position += static_cast<std::size_t>(length);
    return value;
}

bool isLineSeparator(char32_t c) {
    return c == 0x0A || c == 0x0B || c == 0x0C || c == 0x0D || c == 0x85 || c == 0x2028 || c == 0x2029;
}

bool isWhitespaceOrNewline(char32_t c) {
    return c == ' ' || c == '\t' || isLineSeparator(c) || c == 0xA0 || c == 0x1680 || (c >= 0x2000 && c <= 0x200A) ||
           c == 0x202F || c == 0x205F || c == 0x3000;
}

struct DecodedText {
    std::u32string codePoints;
    std::vector<std::size_t> offsets;  // byte offset of each code point, plus the end
};

std::optional<DecodedText> decodeUtf8(std::string_view text) {
    DecodedText decoded;
    std::size_t position = 0;
    while (position < text.size()) {
        decoded.offsets.push_back(position);
        auto codePoint = nextCodePoint(text, position);
        if (!codePoint) {
            return std::nullopt;
        }
        decoded.codePoints.push_back(*codePoint);
    }
    decoded.offsets.push_back(position);
    return decoded;
}

// Lines split at every newline character (each one a separator of its own, so "\r\n" makes
// an empty line), trimmed of white space at both ends.
std::vector<std::string> trimmedLines(std::string_view text, const DecodedText& decoded) {
    std::vector<std::string> lines;
    std::size_t start = 0;
    auto finishLine = [&](std::size_t end) {
        std::size_t first = start;
        std::size_t last = end;
        while (first < last && isWhitespaceOrNewline(decoded.codePoints[first])) ++first;
        while (last > first && isWhitespaceOrNewline(decoded.codePoints[last - 1])) --last;
        lines.emplace_back(text.substr(decoded.offsets[first], decoded.offsets[last] - decoded.offsets[first]));
    };
    for (std::size_t i = 0; i < decoded.codePoints.size(); ++i) {
        if (isLineSeparator(decoded.codePoints[i])) {
            finishLine(i);
            start = i + 1;
        }
    }
    finishLine(decoded.codePoints.size());
    return lines;
}

std::string fileURLText(const std::filesystem::path& path) {
    return "file://" + std::filesystem::absolute(path).lexically_normal().string();
}

// The shortest decimal text that reads back to `seconds`, always with a fractional part.
std::string timestampText(double seconds) {
    char buffer[64];
    auto [end, error] = std::to_chars(buffer, buffer + sizeof buffer, seconds, std::chars_format::fixed);
    std::string text(buffer, error == std::errc() ? end : buffer);
    if (text.find('.') == std::string::npos) {
        text += ".0";
    }
    return text;
}

// A record is a few lines; anything much larger is not one.
constexpr std::size_t maximumRecordSize = 64 * 1024;

// Where a record lives: the folder it is confined to and its path below that folder. Records
// of the cache layout are confined to their repository folder (what precedes
// ".cache/huggingface/download"), so that no link inside the repository, ".cache" included,
// leads a record outside it; any other record is confined to its own folder.
struct RecordLocation {
    std::filesystem::path root;
    std::filesystem::path relative;
};

RecordLocation locateRecord(const std::filesystem::path& metadataPath) {
    const std::vector<std::filesystem::path> parts(metadataPath.begin(), metadataPath.end());
    for (std::size_t i = parts.size() >= 4 ? parts.size() - 4 + 1 : 0; i-- > 0;) {
        if (parts[i] == ".cache" && parts[i + 1] == "huggingface" && parts[i + 2] == "download") {
            RecordLocation location;
            for (std::size_t k = 0; k < parts.size(); ++k) {
                (k < i ? location.root : location.relative) /= parts[k];
            }
            if (location.root.empty()) {
                location.root = ".";
            }
            return location;
        }
    }
    auto parent = metadataPath.parent_path();
    return {parent.empty() ? std::filesystem::path(".") : parent, metadataPath.filename()};
}

}  // namespace

void HubApi::writeDownloadMetadata(const std::string& commitHash, const std::string& etag,
                                   const std::filesystem::path& metadataPath) const {
    double now = std::chrono::duration<double>(std::chrono::system_clock::now().time_since_epoch()).count();
    std::string content = commitHash + "\n" + etag + "\n" + timestampText(now) + "\n";
    try {
        const auto location = locateRecord(metadataPath);
        ConfinedFolder::open(location.root, true)
            .folder(location.relative.parent_path(), true)
            .writeAtomically(location.relative.filename().string(), content);
    } catch (const std::exception& error) {
        throw EnvironmentError::fileWriteError("Failed to write metadata to " + metadataPath.string() + ": " +
                                               error.what());
    }
}

std::optional<HubApi::LocalDownloadFileMetadata> HubApi::readDownloadMetadata(
    const std::filesystem::path& metadataPath) const {
    // The record is reached without following links: a link where the record belongs is a
    // damaged record (removed, never its target), and a folder on the way that leads out of
    // the repository is refused.
    const auto location = locateRecord(metadataPath);
    const std::string recordName = location.relative.filename().string();
    std::optional<ConfinedFolder> recordFolder;
    try {
        recordFolder = ConfinedFolder::open(location.root, false).folder(location.relative.parent_path(), false);
    } catch (const std::filesystem::filesystem_error& error) {
        if (error.code() == std::errc::no_such_file_or_directory || error.code() == std::errc::not_a_directory) {
            return std::nullopt;
        }
        throw;
    }
    if (!recordFolder->status(recordName)) {
        return std::nullopt;
    }
    std::string logEntry;
    try {
        std::string data = recordFolder->readFile(recordName, maximumRecordSize);
        auto decoded = decodeUtf8(data);
        if (!decoded) {
            throw std::runtime_error("The file couldn't be opened because it isn't in the correct format.");
        }
        auto lines = trimmedLines(data, *decoded);
        if (lines.size() < 3) {
            throw EnvironmentError::invalidMetadataError("Metadata file is missing required fields");
        }
        const std::string& timestampLine = lines[2];
        const auto seconds = platform::numbertext::parseDouble(timestampLine);
        if (!seconds) {
            throw EnvironmentError::invalidMetadataError("Invalid timestamp format");
        }
        std::string filename = metadataPath.filename().string();
        for (auto found = filename.find(".metadata"); found != std::string::npos; found = filename.find(".metadata")) {
            filename.erase(found, std::string(".metadata").size());
        }
        return LocalDownloadFileMetadata{lines[0], lines[1], filename,
                                         Timestamp(std::chrono::duration<double>(*seconds))};
    } catch (const EnvironmentError& error) {
        logEntry = "Invalid metadata file " + fileURLText(metadataPath) + ": " + error.what() +
                   ". Removing it from disk and continuing.";
    } catch (const std::exception& error) {
        logEntry = "Error reading metadata file " + fileURLText(metadataPath) + ": " + error.what() +
                   ". Removing it from disk and continuing.";
    }
    logger().error(logEntry);
    try {
        recordFolder->remove(recordName);
    } catch (const std::filesystem::filesystem_error& error) {
        throw EnvironmentError::invalidMetadataError("Could not remove corrupted metadata file: " +
                                                     error.code().message());
    }
    return std::nullopt;
}

std::string HubApi::computeFileHash(const std::filesystem::path& file) const {
    const platform::FileHandle handle(::open(file.c_str(), O_RDONLY | O_CLOEXEC));
    if (!handle) {
        throw Hub::HubClientError::fileNotFound(file.filename().string());
    }
    return Sha256::hexDigestOfDescriptor(handle.get(), file);
}

}  // namespace halvex
