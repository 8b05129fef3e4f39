#pragma once

#include "Platform/ML/Conversion/ModelConverter.h"

#include <cstddef>

namespace platform::conversion {

// How far a conversion has come, and whether it is to stop: reading the checkpoint's tensors
// is most of the work, writing the three models the rest. Every step of the conversion checks
// the stop request through it.
class ConversionMonitor {
public:
    explicit ConversionMonitor(const ConversionOptions& options) : options_(options) {}

    void setTotalBytes(std::size_t bytes);
    std::size_t totalBytes() const { return totalBytes_; }
    // Throws ConversionCancelled once a stop is requested.
    void checkCancelled() const;
    void tensorRead(std::size_t bytes);
    // A model's weights file is being written: `written` of its `total` tensor bytes so far.
    // Checks for a stop as well.
    void modelWriting(std::size_t written, std::size_t total);
    void modelWritten();
    void finished();

private:
    void report();

    const ConversionOptions& options_;
    std::size_t totalBytes_ = 1;
    std::size_t readBytes_ = 0;
    int modelsWritten_ = 0;
    double modelPart_ = 0;  // of the model being written
    double lastReported_ = 0;
};

}  // namespace platform::conversion
