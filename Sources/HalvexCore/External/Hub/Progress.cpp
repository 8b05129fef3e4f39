#include "HalvexCore/External/Hub/Progress.h"

#include <algorithm>

namespace halvex {

Progress::Progress(std::int64_t totalUnitCount) : totalUnitCount_(totalUnitCount) { childrenLink_->parent = this; }

Progress::~Progress() {
    std::lock_guard lock(childrenLink_->mutex);
    childrenLink_->parent = nullptr;
}

std::int64_t Progress::totalUnitCount() const {
    std::lock_guard lock(mutex_);
    return totalUnitCount_;
}

void Progress::setTotalUnitCount(std::int64_t units) {
    bool finished = false;
    {
        std::lock_guard lock(mutex_);
        totalUnitCount_ = units;
        finished = totalUnitCount_ > 0 && completedUnitCount_ >= totalUnitCount_;
    }
    reportIfFinished(finished);
}

std::int64_t Progress::completedUnitCount() const {
    std::lock_guard lock(mutex_);
    return completedUnitCount_;
}

void Progress::setCompletedUnitCount(std::int64_t units) {
    bool finished = false;
    {
        std::lock_guard lock(mutex_);
        completedUnitCount_ = units;
        finished = totalUnitCount_ > 0 && units >= totalUnitCount_;
    }
    reportIfFinished(finished);
}

std::optional<Progress::FileOperationKind> Progress::fileOperationKind() const {
    std::lock_guard lock(mutex_);
    return fileOperationKind_;
}

void Progress::setFileOperationKind(FileOperationKind kind) {
    std::lock_guard lock(mutex_);
    fileOperationKind_ = kind;
}

bool Progress::isFinished() const {
    std::lock_guard lock(mutex_);
    return totalUnitCount_ > 0 && completedUnitCount_ >= totalUnitCount_;
}

void Progress::reportIfFinished(bool finished) {
    if (!finished) return;
    std::shared_ptr<ParentLink> link;
    {
        std::lock_guard lock(mutex_);
        link = parentLink_;
    }
    if (!link) return;
    std::lock_guard linkLock(link->mutex);
    if (link->parent != nullptr) link->parent->childFinished(this);
}

double Progress::fractionCompleted() const {
    std::lock_guard lock(mutex_);
    if (totalUnitCount_ <= 0) {
        return 0.0;
    }
    double done = static_cast<double>(completedUnitCount_);
    for (const auto& child : children_) {
        done += child.progress->fractionCompleted() * static_cast<double>(child.pendingUnitCount);
    }
    return done / static_cast<double>(totalUnitCount_);
}

std::optional<double> Progress::throughput() const {
    std::lock_guard lock(mutex_);
    return throughput_;
}

void Progress::setThroughput(double bytesPerSecond) {
    std::lock_guard lock(mutex_);
    throughput_ = bytesPerSecond;
}

std::shared_ptr<Progress> Progress::addChild(std::int64_t totalUnitCount, std::int64_t pendingUnitCount) {
    auto child = std::make_shared<Progress>(totalUnitCount);
    child->parentLink_ = childrenLink_;
    std::lock_guard lock(mutex_);
    children_.push_back({child, pendingUnitCount});
    return child;
}

void Progress::childFinished(const Progress* child) {
    std::lock_guard lock(mutex_);
    auto found = std::find_if(children_.begin(), children_.end(),
                              [&](const Child& entry) { return entry.progress.get() == child; });
    if (found == children_.end()) {
        return;
    }
    completedUnitCount_ += found->pendingUnitCount;
    children_.erase(found);
}

}  // namespace halvex
