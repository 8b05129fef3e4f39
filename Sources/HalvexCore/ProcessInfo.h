#pragma once

#include <string>
#include <string_view>

namespace halvex {

// Descriptions of the machine, each read once from the kernel and kept for the life of the
// process. On Linux they come from /sys/devices/virtual/dmi/id/product_name (or the device
// tree's model, else the machine architecture) and /proc/cpuinfo; a value the kernel does not give is an empty text.
struct ProcessInfo {
    static const std::string& hwModel();    // "hw.model"
    static const std::string& processor();  // "machdep.cpu.brand_string"
    static const std::string& cores();      // "machdep.cpu.core_count"
    static const std::string& threads();    // "machdep.cpu.thread_count"
    static const std::string& vendor();     // "machdep.cpu.vendor"
    static const std::string& family();     // "machdep.cpu.family"

    // Reads the named value from its kernel source (the names above); empty for an unknown
    // name or an unreadable source.
    static std::string stringFromSysctl(std::string_view name);

    // The value of the first "key : value" line of /proc/cpuinfo-format text with that key;
    // empty when there is none.
    static std::string cpuInfoValue(std::string_view cpuinfo, std::string_view key);
    // The number of "processor" entries of /proc/cpuinfo-format text.
    static int cpuInfoProcessorCount(std::string_view cpuinfo);
    // A DMI or device-tree text: up to its first zero byte, surrounding white space removed,
    // ill-formed UTF-8 replaced.
    static std::string kernelText(std::string_view bytes);
};

}  // namespace halvex
