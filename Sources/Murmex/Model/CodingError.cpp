#include "Murmex/Model/CodingError.h"

#include <utility>

namespace murmex {

namespace {

std::string joinPath(const std::vector<std::string>& path) {
    std::string joined;
    for (const auto& component : path) {
        if (!joined.empty()) joined += '.';
        joined += component;
    }
    return joined;
}

}  // namespace

DecodingError::DecodingError(Kind kind, std::string debugDescription, std::vector<std::string> codingPath)
    : std::runtime_error(debugDescription),
      kind_(kind),
      debugDescription_(std::move(debugDescription)),
      codingPath_(std::move(codingPath)) {
    rebuildMessage();
}

void DecodingError::prependPath(const std::string& component) {
    codingPath_.insert(codingPath_.begin(), component);
    rebuildMessage();
}

void DecodingError::rebuildMessage() {
    message_ = debugDescription_;
    if (!codingPath_.empty()) message_ += " (at " + joinPath(codingPath_) + ")";
}

EncodingError::EncodingError(std::string debugDescription, std::vector<std::string> codingPath)
    : std::runtime_error(debugDescription),
      debugDescription_(std::move(debugDescription)),
      codingPath_(std::move(codingPath)) {
    rebuildMessage();
}

void EncodingError::prependPath(const std::string& component) {
    codingPath_.insert(codingPath_.begin(), component);
    rebuildMessage();
}

void EncodingError::rebuildMessage() {
    message_ = debugDescription_;
    if (!codingPath_.empty()) message_ += " (at " + joinPath(codingPath_) + ")";
}

}  // namespace murmex
