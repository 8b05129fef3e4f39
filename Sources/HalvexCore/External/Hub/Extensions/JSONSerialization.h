#pragma once

#include "HalvexCore/External/Hub/Config.h"

#include <string_view>

#include <nlohmann/json.hpp>

namespace halvex {

// The JSON reader behind configuration and tokenizer files. A byte-order mark inside a string
// value or key is kept as U+FEFF; one that opens the document is skipped, as a JSON reader
// does. Malformed input, and a document whose arrays and objects nest deeper than
// Config::maximumNestingDepth, throw nlohmann::json::parse_error.
struct JSONSerialization {
    // The parsed document as a generic JSON value.
    static nlohmann::json bomPreservingJsonObject(std::string_view data);

    // The parsed document as the Config tree the system makes of it (see
    // Config::fromParsedJSON), built in one streaming pass without an intermediate document.
    static Config bomPreservingConfig(std::string_view data);
};

}  // namespace halvex
