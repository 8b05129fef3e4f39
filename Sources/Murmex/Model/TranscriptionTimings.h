#pragma once

#include <limits>

#include "Murmex/Model/JSONCoding.h"

// The fields of `TranscriptionTimings` in declaration order, for code that walks all of them.
#define MURMEX_TRANSCRIPTION_TIMINGS_FIELDS(X) \
    X(pipelineStart)                           \
    X(firstTokenTime)                          \
    X(inputAudioSeconds)                       \
    X(modelLoading)                            \
    X(prewarmLoadTime)                         \
    X(encoderLoadTime)                         \
    X(decoderLoadTime)                         \
    X(encoderSpecializationTime)               \
    X(decoderSpecializationTime)               \
    X(tokenizerLoadTime)                       \
    X(audioLoading)                            \
    X(audioProcessing)                         \
    X(logmels)                                 \
    X(encoding)                                \
    X(decodingInit)                            \
    X(decodingLoop)                            \
    X(decodingPredictions)                     \
    X(decodingFiltering)                       \
    X(decodingSampling)                        \
    X(decodingFallback)                        \
    X(decodingWindowing)                       \
    X(decodingKvCaching)                       \
    X(decodingWordTimestamps)                  \
    X(decodingNonPrediction)                   \
    X(totalAudioProcessingRuns)                \
    X(totalLogmelRuns)                         \
    X(totalEncodingRuns)                       \
    X(totalDecodingLoops)                      \
    X(totalKVUpdateRuns)                       \
    X(totalTimestampAlignmentRuns)             \
    X(totalDecodingFallbacks)                  \
    X(totalDecodingWindows)                    \
    X(fullPipeline)

namespace murmex {

// The clock readings, stage durations and run counters of one pipeline run. Points in time are
// seconds on the absolute clock (since 1 January 2001, 00:00 UTC, see `absoluteTimeNow()`);
// durations are seconds summed over all runs of a stage; counters are whole numbers.
struct TranscriptionTimings {
    double pipelineStart = std::numeric_limits<double>::max();
    double firstTokenTime = std::numeric_limits<double>::max();
    double inputAudioSeconds = 0.001;
    double modelLoading = 0;
    double prewarmLoadTime = 0;
    double encoderLoadTime = 0;
    double decoderLoadTime = 0;
    double encoderSpecializationTime = 0;
    double decoderSpecializationTime = 0;
    double tokenizerLoadTime = 0;
    double audioLoading = 0;
    double audioProcessing = 0;
    double logmels = 0;
    double encoding = 0;
    double decodingInit = 0;
    double decodingLoop = 0;
    double decodingPredictions = 0;
    double decodingFiltering = 0;
    double decodingSampling = 0;
    double decodingFallback = 0;
    double decodingWindowing = 0;
    double decodingKvCaching = 0;
    double decodingWordTimestamps = 0;
    double decodingNonPrediction = 0;
    double totalAudioProcessingRuns = 0;
    double totalLogmelRuns = 0;
    double totalEncodingRuns = 0;
    double totalDecodingLoops = 0;
    double totalKVUpdateRuns = 0;
    double totalTimestampAlignmentRuns = 0;
    double totalDecodingFallbacks = 0;
    double totalDecodingWindows = 0;
    double fullPipeline = 0;

    double tokensPerSecond() const { return totalDecodingLoops / fullPipeline; }
    double realTimeFactor() const { return fullPipeline / inputAudioSeconds; }
    double speedFactor() const { return inputAudioSeconds / fullPipeline; }

    friend bool operator==(const TranscriptionTimings&, const TranscriptionTimings&) = default;
};

// Seconds since 1 January 2001, 00:00 UTC: the clock of `pipelineStart` and `firstTokenTime`.
double absoluteTimeNow();

// An object with the 33 field names as keys, in field order; every key is required.
void to_json(Json& json, const TranscriptionTimings& timings);
void from_json(const Json& json, TranscriptionTimings& timings);

}  // namespace murmex
