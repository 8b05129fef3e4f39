#include "HalvexCore/ProcessInfo.h"

#include "HalvexCore/External/Hub/BinaryDistinctString.h"

#include <sys/utsname.h>
#include <fstream>
#include <sstream>

namespace halvex {
namespace {

std::string readAll(const char* path) {
    std::ifstream file(path, std::ios::binary);
    if (!file) return std::string();
    std::ostringstream contents;
    contents << file.rdbuf();
    return contents.str();
}

std::string_view trimmed(std::string_view text) {
    const char* blanks = " \t\r\n\v\f";
    const auto first = text.find_first_not_of(blanks);
    if (first == std::string_view::npos) return std::string_view();
    const auto last = text.find_last_not_of(blanks);
    return text.substr(first, last - first + 1);
}

const std::string& cpuInfo() {
    static const std::string text = readAll("/proc/cpuinfo");
    return text;
}

std::string firstOf(std::string_view cpuinfo, std::initializer_list<std::string_view> keys) {
    for (auto key : keys) {
        std::string value = ProcessInfo::cpuInfoValue(cpuinfo, key);
        if (!value.empty()) return value;
    }
    return std::string();
}

}  // namespace

std::string ProcessInfo::kernelText(std::string_view bytes) {
    const auto zero = bytes.find('\0');
    if (zero != std::string_view::npos) bytes = bytes.substr(0, zero);
    // Decoding repairs ill-formed UTF-8.
    return utf8FromUtf16(utf16FromUtf8(trimmed(bytes)));
}

std::string ProcessInfo::cpuInfoValue(std::string_view cpuinfo, std::string_view key) {
    std::size_t start = 0;
    while (start < cpuinfo.size()) {
        std::size_t end = cpuinfo.find('\n', start);
        if (end == std::string_view::npos) end = cpuinfo.size();
        std::string_view line = cpuinfo.substr(start, end - start);
        start = end + 1;
        const auto colon = line.find(':');
        if (colon == std::string_view::npos) continue;
        if (trimmed(line.substr(0, colon)) == key) return kernelText(line.substr(colon + 1));
    }
    return std::string();
}

int ProcessInfo::cpuInfoProcessorCount(std::string_view cpuinfo) {
    int count = 0;
    std::size_t start = 0;
    while (start < cpuinfo.size()) {
        std::size_t end = cpuinfo.find('\n', start);
        if (end == std::string_view::npos) end = cpuinfo.size();
        std::string_view line = cpuinfo.substr(start, end - start);
        start = end + 1;
        const auto colon = line.find(':');
        if (colon != std::string_view::npos && trimmed(line.substr(0, colon)) == "processor") ++count;
    }
    return count;
}

std::string ProcessInfo::stringFromSysctl(std::string_view name) {
    if (name == "hw.model") {
        std::string model = kernelText(readAll("/sys/devices/virtual/dmi/id/product_name"));
        if (model.empty()) model = kernelText(readAll("/proc/device-tree/model"));
        if (model.empty()) {
            // Machines without firmware tables still have an architecture name.
            utsname system{};
            if (uname(&system) == 0) model = kernelText(system.machine);
        }
        return model;
    }
    if (name == "machdep.cpu.brand_string") return firstOf(cpuInfo(), {"model name", "Model", "Hardware", "cpu model"});
    if (name == "machdep.cpu.core_count") {
        std::string cores = firstOf(cpuInfo(), {"cpu cores"});
        if (cores.empty()) {
            int count = cpuInfoProcessorCount(cpuInfo());
            if (count > 0) cores = std::to_string(count);
        }
        return cores;
    }
    if (name == "machdep.cpu.thread_count") {
        int count = cpuInfoProcessorCount(cpuInfo());
        return count > 0 ? std::to_string(count) : std::string();
    }
    if (name == "machdep.cpu.vendor") return firstOf(cpuInfo(), {"vendor_id", "CPU implementer"});
    if (name == "machdep.cpu.family") return firstOf(cpuInfo(), {"cpu family", "CPU architecture"});
    return std::string();
}

const std::string& ProcessInfo::hwModel() {
    static const std::string value = stringFromSysctl("hw.model");
    return value;
}

const std::string& ProcessInfo::processor() {
    static const std::string value = stringFromSysctl("machdep.cpu.brand_string");
    return value;
}

const std::string& ProcessInfo::cores() {
    static const std::string value = stringFromSysctl("machdep.cpu.core_count");
    return value;
}

const std::string& ProcessInfo::threads() {
    static const std::string value = stringFromSysctl("machdep.cpu.thread_count");
    return value;
}

const std::string& ProcessInfo::vendor() {
    static const std::string value = stringFromSysctl("machdep.cpu.vendor");
    return value;
}

const std::string& ProcessInfo::family() {
    static const std::string value = stringFromSysctl("machdep.cpu.family");
    return value;
}

}  // namespace halvex
