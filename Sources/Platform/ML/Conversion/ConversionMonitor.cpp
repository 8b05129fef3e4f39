#include "Platform/ML/Conversion/ConversionMonitor.h"

#include <algorithm>

namespace platform::conversion {

void ConversionMonitor::setTotalBytes(std::size_t bytes) { totalBytes_ = std::max<std::size_t>(bytes, 1); }

void ConversionMonitor::checkCancelled() const {
    if (options_.stop.stop_requested()) throw ConversionCancelled();
}

void ConversionMonitor::tensorRead(std::size_t bytes) {
    readBytes_ = std::min(totalBytes_, readBytes_ + bytes);
    report();
}

void ConversionMonitor::modelWriting(std::size_t written, std::size_t total) {
    checkCancelled();
    modelPart_ = total == 0 ? 1.0 : static_cast<double>(written) / static_cast<double>(total);
    report();
}

void ConversionMonitor::modelWritten() {
    ++modelsWritten_;
    modelPart_ = 0;
    report();
}

void ConversionMonitor::finished() {
    if (options_.progress && lastReported_ < 1.0) options_.progress(1.0);
    lastReported_ = 1.0;
}

void ConversionMonitor::report() {
    const double fraction = std::min(0.99, 0.8 * static_cast<double>(readBytes_) / static_cast<double>(totalBytes_) +
                                               0.2 * (modelsWritten_ + std::min(modelPart_, 1.0)) / 3.0);
    if (fraction < lastReported_ + 0.001) return;
    lastReported_ = fraction;
    if (options_.progress) options_.progress(fraction);
}

}  // namespace platform::conversion
