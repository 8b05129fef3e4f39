#include "HalvexCore/CollectionHelpers.h"

#include <fnmatch.h>

namespace halvex {

bool matchesGlob(const std::string& name, const std::string& glob) {
    return fnmatch(glob.c_str(), name.c_str(), 0) == 0;
}

std::vector<std::string> matching(const std::vector<std::string>& elements, const std::string& glob) {
    std::vector<std::string> result;
    for (const auto& element : elements) {
        if (matchesGlob(element, glob)) result.push_back(element);
    }
    return result;
}

}  // namespace halvex
