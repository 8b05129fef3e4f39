#pragma once

// Small helpers shared by the tokenizer tests.

#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <vector>

#include "HalvexCore/External/Hub/Config.h"
#include "HalvexCore/External/Hub/Extensions/JSONSerialization.h"
#include "HalvexCore/External/Tokenizers/TextOperations.h"
#include "HalvexCore/External/Tokenizers/TokenizerError.h"

namespace tokenizer_test {

inline halvex::Config json(const std::string& text) { return halvex::JSONSerialization::bomPreservingConfig(text); }

inline std::vector<std::string> utf8(const std::vector<halvex::text::Text>& pieces) {
    std::vector<std::string> out;
    for (const auto& piece : pieces) out.push_back(halvex::text::toUtf8(piece));
    return out;
}

inline std::vector<halvex::text::Text> utf16(const std::vector<std::string>& pieces) {
    std::vector<halvex::text::Text> out;
    for (const auto& piece : pieces) out.push_back(halvex::text::fromUtf8(piece));
    return out;
}

// The text of the TokenizerFileError that `f` throws, or a note that it threw none.
template <typename F>
std::string fileFault(F&& f) {
    try {
        f();
    } catch (const halvex::TokenizerFileError& e) {
        return e.what();
    }
    return "<no fault>";
}

// Runs `f` and fails the test when it takes longer than `limit`. Only for input on which a
// return to quadratic time would take minutes: the limit stays a hundred times above what the
// linear code needs, also on a loaded machine.
template <typename F>
void expectLinearTime(const char* what, std::chrono::seconds limit, F&& f) {
    const auto start = std::chrono::steady_clock::now();
    f();
    const auto taken = std::chrono::steady_clock::now() - start;
    EXPECT_LT(taken, limit) << what << " took " << std::chrono::duration_cast<std::chrono::milliseconds>(taken).count()
                            << " ms";
}

}  // namespace tokenizer_test
