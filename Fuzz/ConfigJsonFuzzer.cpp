// Configuration and JSON reading: the byte-order-mark preserving reader that turns
// configuration and tokenizer files into Config trees, and the lookups made on them.

#include "HalvexCore/External/Hub/Config.h"
#include "HalvexCore/External/Hub/Extensions/JSONSerialization.h"

#include <cstddef>
#include <cstdint>
#include <string_view>

namespace {

// Walks the tree the way readers of configurations do: typed accessors, member lookups with
// both spellings of a name, descriptions and hashes.
void visit(const halvex::Config& config, int depth) {
    (void)config.string();
    (void)config.integer();
    (void)config.floating();
    (void)config.boolean();
    (void)config.token();
    (void)config.get();
    (void)config.hash();
    if (depth > 64) {
        return;
    }
    if (const auto* array = config.array()) {
        for (const auto& element : *array) {
            visit(element, depth + 1);
        }
    }
    if (const auto* dictionary = config.dictionary()) {
        for (const auto& [key, value] : *dictionary) {
            (void)config[key];
            (void)halvex::Config::uncamelCase(key);
            visit(value, depth + 1);
        }
        (void)config["modelType"];
        (void)config["tokenizer_class"];
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    try {
        const halvex::Config config = halvex::JSONSerialization::bomPreservingConfig(text);
        visit(config, 0);
        if (size < 4096) {
            (void)config.description();
        }
        const halvex::Config copy = config;
        if (!(copy == config)) {
            __builtin_trap();  // a copy must equal its original
        }
    } catch (const std::exception&) {
        // Malformed input is refused with an error; only crashes and hangs are findings.
    }
    return 0;
}
