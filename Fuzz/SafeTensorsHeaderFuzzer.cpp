// safetensors files: the header length, the JSON header and the tensor ranges it names are
// checked when the file is opened; tensors that pass are read.

#include "Platform/ML/Runtime/SafeTensors.h"

#include <sys/mman.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <exception>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static const int fd = ::memfd_create("weights.safetensors", MFD_CLOEXEC);
    if (fd < 0 || ::ftruncate(fd, 0) != 0 || ::pwrite(fd, data, size, 0) != static_cast<ssize_t>(size)) {
        std::abort();
    }
    try {
        auto file = platform::runtime::SafeTensorsFile::open("/proc/self/fd/" + std::to_string(fd));
        for (const auto& [name, tensor] : file->tensors()) {
            if (tensor.byteCount <= (std::size_t{1} << 20)) {
                try {
                    (void)tensor.toFloat();
                } catch (const std::exception&) {}
            }
            (void)file->find(name);
        }
        (void)file->metadata();
    } catch (const std::exception&) {
        // A malformed file is refused with an error; only crashes and hangs are findings.
    }
    return 0;
}
