#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <vector>

namespace halvex {

// Progress of a unit of work, possibly made of child progresses that each stand for a number
// of the parent's units ("pending units"). fractionCompleted() = (completed units + the
// children's fractions weighted by their pending units) / total units, 0 when the total is 0.
// A child that reaches its total adds its pending units to the parent's completed units.
class Progress {
public:
    explicit Progress(std::int64_t totalUnitCount = 0);
    ~Progress();
    Progress(const Progress&) = delete;
    Progress& operator=(const Progress&) = delete;

    std::int64_t totalUnitCount() const;
    std::int64_t completedUnitCount() const;
    void setCompletedUnitCount(std::int64_t units);
    double fractionCompleted() const;

    // The current transfer speed in bytes per second, when known.
    std::optional<double> throughput() const;
    void setThroughput(double bytesPerSecond);

    // Adds a child of `totalUnitCount` units that stands for `pendingUnitCount` of this one's.
    std::shared_ptr<Progress> addChild(std::int64_t totalUnitCount, std::int64_t pendingUnitCount);

private:
    struct Child {
        std::shared_ptr<Progress> progress;
        std::int64_t pendingUnitCount;
    };

    void childFinished(const Progress* child);

    mutable std::mutex mutex_;
    std::int64_t totalUnitCount_;
    std::int64_t completedUnitCount_ = 0;
    std::optional<double> throughput_;
    std::vector<Child> children_;
    Progress* parent_ = nullptr;
};

}  // namespace halvex
