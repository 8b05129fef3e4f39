#pragma once

#include <stdexcept>
#include <string>

namespace halvex {

// The tokenizers' loading and configuration error. `what()` is the description shown to the
// user.
class TokenizerError : public std::runtime_error {
public:
    enum class Kind {
        unsupportedTokenizer,
        tooLong,
        mismatchedConfig,
        missingConfig,
        missingTokenizerClassInConfig,
        missingVocab,
        malformedVocab,
    };

    static TokenizerError unsupportedTokenizer(const std::string& className);
    static TokenizerError tooLong(const std::string& detail);
    static TokenizerError mismatchedConfig(const std::string& detail);
    static TokenizerError missingConfig();
    static TokenizerError missingTokenizerClassInConfig();
    static TokenizerError missingVocab();
    static TokenizerError malformedVocab();

    Kind kind() const { return kind_; }
    // The class name or detail text the case carries; empty for the cases without one.
    const std::string& payload() const { return payload_; }
    std::string localizedDescription() const { return what(); }

private:
    TokenizerError(Kind kind, std::string payload, const std::string& description);
    Kind kind_;
    std::string payload_;
};

// A malformed section of the tokenizer files (an unsupported component type, a missing required
// member, an expression that does not compile). `what()` is the fault's fixed text. The tokenizer
// is not built from such files.
class TokenizerFileError : public std::runtime_error {
public:
    explicit TokenizerFileError(const std::string& message) : std::runtime_error(message) {}
};

}  // namespace halvex
