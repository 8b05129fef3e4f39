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
// Every operation may be called from any thread; a parent may be destroyed while its children
// still report.
class Progress {
public:
    // What a progress of a file operation counts: the transfer of files, or the conversion of
    // files already transferred into another form.
    enum class FileOperationKind { downloading, converting };

    explicit Progress(std::int64_t totalUnitCount = 0);
    ~Progress();
    Progress(const Progress&) = delete;
    Progress& operator=(const Progress&) = delete;

    std::int64_t totalUnitCount() const;
    // A total that the completed units already reach finishes the progress.
    void setTotalUnitCount(std::int64_t units);
    std::int64_t completedUnitCount() const;
    void setCompletedUnitCount(std::int64_t units);
    double fractionCompleted() const;
    // True once the total is positive and the completed units reach it.
    bool isFinished() const;

    // The current transfer speed in bytes per second, when known.
    std::optional<double> throughput() const;
    void setThroughput(double bytesPerSecond);

    // The kind of file operation this progress counts, when it counts one.
    std::optional<FileOperationKind> fileOperationKind() const;
    void setFileOperationKind(FileOperationKind kind);

    // Adds a child of `totalUnitCount` units that stands for `pendingUnitCount` of this one's.
    std::shared_ptr<Progress> addChild(std::int64_t totalUnitCount, std::int64_t pendingUnitCount);

private:
    struct Child {
        std::shared_ptr<Progress> progress;
        std::int64_t pendingUnitCount;
    };
    // The way from the children to their parent; the parent cuts it when it goes, and a child
    // reports through it under its lock, so a report never reaches a parent that is gone.
    struct ParentLink {
        std::mutex mutex;
        Progress* parent = nullptr;
    };

    // Tells the parent when the counts have just reached the total.
    void reportIfFinished(bool finished);
    void childFinished(const Progress* child);

    mutable std::mutex mutex_;
    std::int64_t totalUnitCount_;
    std::int64_t completedUnitCount_ = 0;
    std::optional<double> throughput_;
    std::optional<FileOperationKind> fileOperationKind_;
    std::vector<Child> children_;
    // Shared with every child.
    std::shared_ptr<ParentLink> childrenLink_ = std::make_shared<ParentLink>();
    // To this progress's own parent, when it has one.
    std::shared_ptr<ParentLink> parentLink_;
};

}  // namespace halvex
