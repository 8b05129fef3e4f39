// Forced into every file of the fuzz build (see the fuzz preset). clang 14 rejects some of the
// feature names that GCC's __builtin_cpu_supports knows ("f16c"); the fuzz build runs the
// portable code paths instead of asking the processor.
#pragma once
#define __builtin_cpu_supports(feature) 0
