#pragma once

#include <any>
#include <exception>
#include <map>
#include <optional>
#include <string>
#include <variant>

#include "Murmex/Model/TranscriptionResult.h"

namespace murmex {

// The written file's absolute file URL, or the error that stopped the write.
using ResultWriteOutcome = std::variant<std::string, std::exception_ptr>;
using ResultWriterOptions = std::map<std::string, std::any>;

// Writes a transcription result as a file in a folder.
class ResultWriting {
public:
    virtual ~ResultWriting() = default;

    virtual const std::string& outputDir() const = 0;
    // Writes `outputDir/<file>.<extension>`; the options are read by none of the writers.
    virtual ResultWriteOutcome write(const TranscriptionResult& result, const std::string& file,
                                     const std::optional<ResultWriterOptions>& options = std::nullopt) = 0;

    // "HH:MM:SS<marker>mmm", hours left out below one hour unless asked for; computed in
    // single precision with every part truncated toward zero.
    static std::string formatTime(float seconds, bool alwaysIncludeHours, const std::string& decimalMarker);
    // One SubRip entry: the index, the times (hours always, ","), the text, a blank line.
    static std::string formatSegment(int index, float start, float end, const std::string& text);
    // One WebVTT cue: the times (hours from one hour on, "."), the text, a blank line.
    static std::string formatTiming(float start, float end, const std::string& text);
};

// Pretty-printed JSON of the whole result.
class WriteJSON : public ResultWriting {
public:
    explicit WriteJSON(std::string outputDir) : outputDir_(std::move(outputDir)) {}
    const std::string& outputDir() const override { return outputDir_; }
    ResultWriteOutcome write(const TranscriptionResult& result, const std::string& file,
                             const std::optional<ResultWriterOptions>& options = std::nullopt) override;

private:
    const std::string outputDir_;
};

// SubRip subtitles: one entry per word where a segment has words, else per segment.
class WriteSRT : public ResultWriting {
public:
    explicit WriteSRT(std::string outputDir) : outputDir_(std::move(outputDir)) {}
    const std::string& outputDir() const override { return outputDir_; }
    ResultWriteOutcome write(const TranscriptionResult& result, const std::string& file,
                             const std::optional<ResultWriterOptions>& options = std::nullopt) override;

private:
    const std::string outputDir_;
};

// WebVTT subtitles: one cue per word where a segment has words, else per segment.
class WriteVTT : public ResultWriting {
public:
    explicit WriteVTT(std::string outputDir) : outputDir_(std::move(outputDir)) {}
    const std::string& outputDir() const override { return outputDir_; }
    ResultWriteOutcome write(const TranscriptionResult& result, const std::string& file,
                             const std::optional<ResultWriterOptions>& options = std::nullopt) override;

private:
    const std::string outputDir_;
};

}  // namespace murmex
