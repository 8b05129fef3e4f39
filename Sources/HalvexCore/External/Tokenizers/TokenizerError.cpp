#include "HalvexCore/External/Tokenizers/TokenizerError.h"

namespace halvex {

TokenizerError::TokenizerError(Kind kind, std::string payload, const std::string& description)
    : std::runtime_error(description), kind_(kind), payload_(std::move(payload)) {}

TokenizerError TokenizerError::unsupportedTokenizer(const std::string& className) {
    return {Kind::unsupportedTokenizer, className, "The tokenizer type '" + className + "' is not supported."};
}

TokenizerError TokenizerError::tooLong(const std::string& detail) {
    return {Kind::tooLong, detail, "Input is too long: " + detail};
}

TokenizerError TokenizerError::mismatchedConfig(const std::string& detail) {
    return {Kind::mismatchedConfig, detail, "Tokenizer configuration mismatch: " + detail};
}

TokenizerError TokenizerError::missingConfig() {
    return {Kind::missingConfig, {}, "Tokenizer configuration is missing."};
}

TokenizerError TokenizerError::missingTokenizerClassInConfig() {
    return {Kind::missingTokenizerClassInConfig, {}, "The tokenizer class is not specified in the configuration."};
}

TokenizerError TokenizerError::missingVocab() {
    return {Kind::missingVocab, {}, "Vocabulary file is missing from the tokenizer configuration."};
}

TokenizerError TokenizerError::malformedVocab() {
    return {Kind::malformedVocab, {}, "The vocabulary file is malformed or corrupted."};
}

}  // namespace halvex
