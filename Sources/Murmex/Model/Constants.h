#pragma once

#include <map>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "Platform/ML/AudioWindow.h"

namespace murmex {

struct ModelSupportConfig;

// The speech library's fixed values. The tables are built once, on first use, and are safe to
// reach from several threads at once.
struct Constants {
    // Tokens of decoder context.
    static constexpr int maxTokenContext = 224;
    // Samples of one 30-second window at 16 kHz, used when a feature extractor reports no
    // window size.
    static constexpr int defaultWindowSamples = platform::audiowindow::samples;
    // Audio frames read at a time when a file is resampled in pieces.
    static constexpr int defaultAudioReadFrameSize = 1323000;
    static constexpr std::string_view defaultLanguageCode = "en";
    // The characters trimmed from a special token's text: "<", "|" and ">".
    static constexpr std::u32string_view specialTokenCharacters = U"<|>";
    // Characters joined to the following word, and to the preceding word, in word timings.
    static constexpr std::string_view defaultPrependPunctuations = "\"'\u201C\u00A1\u00BF([{-";
    static constexpr std::string_view defaultAppendPunctuations =
        "\"'.\u3002,\uFF0C!\uFF01?\uFF1F:\uFF1A\u201D)]}\u3001";
    // Name of the model support document in the model repository.
    static constexpr std::string_view defaultRemoteConfigName = "config.json";
    // The model hub's address as the hub client takes it: HF_ENDPOINT when it is set (a
    // mirror), otherwise the hub's own base URL. Read at every call.
    static std::string defaultRemoteEndpoint();

    // Lower-case English language name to its code (112 names, 100 codes).
    static const std::map<std::string, std::string>& languages();
    // The distinct codes of `languages()`.
    static const std::set<std::string>& languageCodes();

    // The built-in model support table and its known model folders.
    static const ModelSupportConfig& fallbackModelSupportConfig();
    static const std::vector<std::string>& knownModels();
};

}  // namespace murmex
