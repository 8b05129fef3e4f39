// Forced into every file of the thread-sanitizer build (see the tsan preset). Functions with
// several clones are chosen by resolvers that run while the program is being loaded, before the
// sanitizer's runtime is ready, and instrumented resolvers crash there; this build keeps one
// default clone of each.
#pragma once
#define target_clones(...) __used__
