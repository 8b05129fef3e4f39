#pragma once

#include <stdexcept>
#include <string>
#include <vector>

namespace murmex {

// A JSON document that does not fit the record being read. The coding path names where
// the fault was found, outermost key first ("segments", "Index 2", "words", …).
class DecodingError : public std::runtime_error {
public:
    enum class Kind { keyNotFound, typeMismatch, valueNotFound, dataCorrupted };

    DecodingError(Kind kind, std::string debugDescription, std::vector<std::string> codingPath = {});

    Kind kind() const { return kind_; }
    const std::vector<std::string>& codingPath() const { return codingPath_; }
    // The fault alone, without the path ("Invalid number of keys found, expected one.").
    const std::string& debugDescription() const { return debugDescription_; }

    // Records that the fault happened inside `component`; used while unwinding nested reads.
    void prependPath(const std::string& component);

    const char* what() const noexcept override { return message_.c_str(); }

private:
    void rebuildMessage();

    Kind kind_;
    std::string debugDescription_;
    std::vector<std::string> codingPath_;
    std::string message_;
};

// A value that has no JSON form (a NaN or infinite float); writing fails instead of
// producing null.
class EncodingError : public std::runtime_error {
public:
    EncodingError(std::string debugDescription, std::vector<std::string> codingPath = {});

    const std::vector<std::string>& codingPath() const { return codingPath_; }
    const std::string& debugDescription() const { return debugDescription_; }
    void prependPath(const std::string& component);

    const char* what() const noexcept override { return message_.c_str(); }

private:
    void rebuildMessage();

    std::string debugDescription_;
    std::vector<std::string> codingPath_;
    std::string message_;
};

}  // namespace murmex
