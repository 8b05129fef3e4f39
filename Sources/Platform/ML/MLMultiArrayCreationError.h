#pragma once

#include <cstddef>
#include <exception>
#include <functional>

namespace platform {

// Creating a half-precision array whose pixel buffer could not be made.
class MLMultiArrayCreationError : public std::exception {
public:
    enum class Case { pixelBufferFailed };

    static MLMultiArrayCreationError pixelBufferFailed() { return MLMultiArrayCreationError(Case::pixelBufferFailed); }

    explicit MLMultiArrayCreationError(Case value = Case::pixelBufferFailed) : case_(value) {}
    Case errorCase() const { return case_; }

    const char* what() const noexcept override {
        return "Failed to create IOSurface-backed pixel buffer for MLMultiArray";
    }
    const char* description() const noexcept { return what(); }

    friend bool operator==(const MLMultiArrayCreationError&, const MLMultiArrayCreationError&) { return true; }

private:
    Case case_;
};

}  // namespace platform

template <>
struct std::hash<platform::MLMultiArrayCreationError> {
    std::size_t operator()(const platform::MLMultiArrayCreationError&) const noexcept { return 0; }
};
