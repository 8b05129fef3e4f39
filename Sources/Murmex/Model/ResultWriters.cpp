#include "Murmex/Model/ResultWriters.h"

#include "HalvexCore/FileContents.h"

#include <fcntl.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <random>
#include <system_error>

namespace murmex {

namespace fs = std::filesystem;

namespace {

std::string printf2(const char* format, int a, int b, int c = 0, int d = 0) {
    char buffer[128];
    std::snprintf(buffer, sizeof buffer, format, a, b, c, d);
    return buffer;
}

std::string fileURL(const fs::path& path) {
    static const char* hex = "0123456789ABCDEF";
    std::string url = "file://";
    for (unsigned char c : fs::absolute(path).lexically_normal().string()) {
        if (std::isalnum(c) || std::strchr("/-._~!$&'()*+,;=:@", c) != nullptr) {
            url += static_cast<char>(c);
        } else {
            url += '%';
            url += hex[c >> 4];
            url += hex[c & 15];
        }
    }
    return url;
}

template <class Build>
ResultWriteOutcome writeFile(const std::string& outputDir, const std::string& file, const char* extension,
                             Build build) {
    try {
        const fs::path path = fs::path(outputDir) / (file + extension);
        halvex::writeFileAtomically(path, build());
        return fileURL(path);
    } catch (...) {
        return std::current_exception();
    }
}

}  // namespace

std::string ResultWriting::formatTime(float seconds, bool alwaysIncludeHours, const std::string& decimalMarker) {
    const int hours = static_cast<int>(seconds / 3600.0f);
    const int minutes = static_cast<int>(std::fmod(seconds, 3600.0f) / 60.0f);
    const int secs = static_cast<int>(std::fmod(seconds, 60.0f));
    const int milliseconds = static_cast<int>((seconds - std::floor(seconds)) * 1000.0f);
    if (alwaysIncludeHours || hours >= 1) {
        return printf2("%02d:%02d:%02d", hours, minutes, secs)
            .append(decimalMarker)
            .append(printf2("%03d", milliseconds, 0));
    }
    return printf2("%02d:%02d", minutes, secs).append(decimalMarker).append(printf2("%03d", milliseconds, 0));
}

std::string ResultWriting::formatSegment(int index, float start, float end, const std::string& text) {
    std::string entry = std::to_string(index);
    entry.append("\n").append(formatTime(start, true, ",")).append(" --> ").append(formatTime(end, true, ","));
    entry.append("\n").append(text).append("\n\n");
    return entry;
}

std::string ResultWriting::formatTiming(float start, float end, const std::string& text) {
    std::string cue = formatTime(start, false, ".");
    cue.append(" --> ").append(formatTime(end, false, ".")).append("\n").append(text).append("\n\n");
    return cue;
}

ResultWriteOutcome WriteJSON::write(const TranscriptionResult& result, const std::string& file,
                                    const std::optional<ResultWriterOptions>&) {
    return writeFile(outputDir_, file, ".json", [&] { return result.encode().dump(2); });
}

ResultWriteOutcome WriteSRT::write(const TranscriptionResult& result, const std::string& file,
                                   const std::optional<ResultWriterOptions>&) {
    return writeFile(outputDir_, file, ".srt", [&] {
        std::string text;
        int index = 1;
        for (const auto& segment : result.segments()) {
            if (segment.words && !segment.words->empty()) {
                for (const auto& word : *segment.words) text += formatSegment(index++, word.start, word.end, word.word);
            } else {
                text += formatSegment(index++, segment.start, segment.end, segment.text);
            }
        }
        return text;
    });
}

ResultWriteOutcome WriteVTT::write(const TranscriptionResult& result, const std::string& file,
                                   const std::optional<ResultWriterOptions>&) {
    return writeFile(outputDir_, file, ".vtt", [&] {
        std::string text = "WEBVTT\n\n";
        for (const auto& segment : result.segments()) {
            if (segment.words && !segment.words->empty()) {
                for (const auto& word : *segment.words) text += formatTiming(word.start, word.end, word.word);
            } else {
                text += formatTiming(segment.start, segment.end, segment.text);
            }
        }
        return text;
    });
}

}  // namespace murmex
