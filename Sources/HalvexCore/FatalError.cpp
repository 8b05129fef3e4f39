#include "HalvexCore/FatalError.h"

#include <syslog.h>
#include <cstdio>
#include <cstdlib>
#include <string>

namespace halvex {

void fatalError(std::string_view message) {
    std::string text(message);
    std::fprintf(stderr, "Fatal error: %s\n", text.c_str());
    std::fflush(stderr);
    syslog(LOG_CRIT, "Fatal error: %s", text.c_str());
    std::abort();
}

}  // namespace halvex
