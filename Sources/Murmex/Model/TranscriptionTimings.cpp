#include "Murmex/Model/TranscriptionTimings.h"

#include <chrono>

namespace murmex {

double absoluteTimeNow() {
    constexpr double secondsFrom1970To2001 = 978307200.0;
    const auto sinceEpoch = std::chrono::system_clock::now().time_since_epoch();
    return std::chrono::duration<double>(sinceEpoch).count() - secondsFrom1970To2001;
}

void to_json(Json& json, const TranscriptionTimings& timings) {
    json = Json::object();
#define MURMEX_ENCODE_FIELD(name) coding::encodeKey(json, #name, timings.name);
    MURMEX_TRANSCRIPTION_TIMINGS_FIELDS(MURMEX_ENCODE_FIELD)
#undef MURMEX_ENCODE_FIELD
}

void from_json(const Json& json, TranscriptionTimings& timings) {
    coding::requireObject(json, "TranscriptionTimings");
    TranscriptionTimings read;
#define MURMEX_DECODE_FIELD(name) read.name = coding::decodeKey<double>(json, #name);
    MURMEX_TRANSCRIPTION_TIMINGS_FIELDS(MURMEX_DECODE_FIELD)
#undef MURMEX_DECODE_FIELD
    timings = read;
}

}  // namespace murmex
