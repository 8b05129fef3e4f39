// History documents: the stored JSON form of a finished transcript, read back at start-up.

#include "App/Model/TranscriptDocument.h"

#include <cstddef>
#include <cstdint>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const QByteArray json(reinterpret_cast<const char*>(data), static_cast<qsizetype>(size));
    try {
        const auto document = norvel::TranscriptDocument::fromJson(json);
        // A document that was read is saved again unchanged.
        const auto again = norvel::TranscriptDocument::fromJson(document.toJson());
        if (!(again == document)) {
            __builtin_trap();
        }
    } catch (const norvel::DocumentFormatError&) {
        // A malformed document is skipped with an error; only crashes and hangs are findings.
    }
    return 0;
}
