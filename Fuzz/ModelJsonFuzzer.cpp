// model.json: the program, its hyper-parameters and the feature description of a model.

#include "Platform/ML/Runtime/ModelManifest.h"

#include <cstddef>
#include <cstdint>
#include <exception>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string text(reinterpret_cast<const char*>(data), size);
    try {
        const auto manifest = platform::runtime::ModelManifest::parse(text, "model.json");
        // What was accepted must be written and read back as the same program.
        const auto again = platform::runtime::ModelManifest::parse(manifest.serialize(), "model.json");
        if (again.kind != manifest.kind) {
            __builtin_trap();
        }
    } catch (const std::exception&) {
        // A malformed manifest is refused with an error; only crashes and hangs are findings.
    }
    return 0;
}
