#pragma once

#include <exception>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <variant>
#include <vector>

#include "HalvexCore/PropertyLock.h"
#include "Murmex/Model/JSONCoding.h"
#include "Murmex/Model/TranscriptionSegment.h"
#include "Murmex/Model/TranscriptionTimings.h"

namespace murmex {

// The result of transcribing one input: the whole text, the timed segments, the language, the
// timings of the run and, for one chunk of a longer input, where the chunk begins (seconds).
// Several tasks fill and shift one result, so each field sits behind its own lock: every read
// and write of one field is atomic by itself; no lock covers two fields. A `modify…` call
// reads the field, lets the caller change the copy and writes it back, each step under the
// lock but not as one atomic step.
class TranscriptionResult {
public:
    explicit TranscriptionResult(std::string text = {}, std::vector<TranscriptionSegment> segments = {},
                                 std::string language = {}, TranscriptionTimings timings = {},
                                 std::optional<float> seekTime = std::nullopt);
    virtual ~TranscriptionResult() = default;

    virtual std::string text() const { return text_.get(); }
    virtual void setText(std::string value) { text_.set(std::move(value)); }
    virtual void modifyText(const std::function<void(std::string&)>& change);

    virtual std::vector<TranscriptionSegment> segments() const { return segments_.get(); }
    virtual void setSegments(std::vector<TranscriptionSegment> value) { segments_.set(std::move(value)); }
    virtual void modifySegments(const std::function<void(std::vector<TranscriptionSegment>&)>& change);

    virtual std::string language() const { return language_.get(); }
    virtual void setLanguage(std::string value) { language_.set(std::move(value)); }
    virtual void modifyLanguage(const std::function<void(std::string&)>& change);

    virtual TranscriptionTimings timings() const { return timings_.get(); }
    virtual void setTimings(TranscriptionTimings value) { timings_.set(value); }
    virtual void modifyTimings(const std::function<void(TranscriptionTimings&)>& change);

    virtual std::optional<float> seekTime() const { return seekTime_.get(); }
    virtual void setSeekTime(std::optional<float> value) { seekTime_.set(value); }
    virtual void modifySeekTime(const std::function<void(std::optional<float>&)>& change);

    // The words of every segment, in order; segments without words contribute nothing.
    std::vector<WordTiming> allWords() const;

    // One debug line per segment: "[Segment i] [start --> end] text".
    virtual void logSegments() const;
    // The timings report, as one info line.
    virtual void logTimings() const;

    // {"text", "segments", "language", "timings", "seekTime"}; "seekTime" is null when absent.
    // Writing fails with `EncodingError` on a non-finite number.
    virtual Json encode() const;
    // All five keys are required ("seekTime" may be null).
    static std::shared_ptr<TranscriptionResult> decode(const Json& json);

private:
    halvex::PropertyLock<std::string> text_;
    halvex::PropertyLock<std::vector<TranscriptionSegment>> segments_;
    halvex::PropertyLock<std::string> language_;
    halvex::PropertyLock<TranscriptionTimings> timings_;
    halvex::PropertyLock<std::optional<float>> seekTime_;
};

// The fixed-layout report of a run's timings and segments, as `logTimings()` writes it.
std::string timingsReport(const TranscriptionTimings& timings, const std::vector<TranscriptionSegment>& segments);

// A plain copyable value with the fields of `TranscriptionResult`.
struct TranscriptionResultStruct {
    std::string text;
    std::vector<TranscriptionSegment> segments;
    std::string language;
    TranscriptionTimings timings;
    std::optional<float> seekTime;

    friend bool operator==(const TranscriptionResultStruct&, const TranscriptionResultStruct&) = default;
};

// Like a result, but "seekTime" is left out when absent and may be missing when read.
void to_json(Json& json, const TranscriptionResultStruct& result);
void from_json(const Json& json, TranscriptionResultStruct& result);

// The outcome of one input of a batch: its results, or the error it failed with.
using TranscriptionResultsOrError = std::variant<std::vector<std::shared_ptr<TranscriptionResult>>, std::exception_ptr>;

// Each success replaced by its results and each failure by no value, in the same order.
std::vector<std::optional<std::vector<std::shared_ptr<TranscriptionResult>>>> toOptionalArrays(
    const std::vector<TranscriptionResultsOrError>& outcomes);

}  // namespace murmex
