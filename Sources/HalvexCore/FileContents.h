#pragma once

#include <cerrno>
#include <cstddef>
#include <filesystem>
#include <limits>
#include <string>
#include <string_view>

namespace halvex {

// Throws std::filesystem::filesystem_error with `what`, `path` and the error number `error`
// (by default the current errno).
[[noreturn]] void throwFileError(const char* what, const std::filesystem::path& path, int error = errno);

// Reads the open file `descriptor` from its position to the end; `path` names it in errors.
// Throws std::filesystem::filesystem_error when a read fails, and with EFBIG once the content
// would grow past `limit` bytes.
std::string readToEnd(int descriptor, const std::filesystem::path& path,
                      std::size_t limit = std::numeric_limits<std::size_t>::max());

// The whole content of a file. Throws std::filesystem::filesystem_error when the file cannot be
// opened or a read fails part-way (a failed read is never taken for the end of the file).
std::string readFileContents(const std::filesystem::path& path);

// Replaces `path` with `content` so that the file is either whole or untouched: the bytes go to
// a fresh hidden file beside it (mode 0644), are flushed to disk, then renamed into place.
// Throws std::filesystem::filesystem_error, leaving no temporary file behind.
void writeFileAtomically(const std::filesystem::path& path, std::string_view content);

// Writes all of `content` to the open file `descriptor`, gives it mode 0644 and flushes it to
// disk: the steps every atomic replacement takes before its rename. Returns 0, or the error
// number of the step that failed.
int writeWholeAndSync(int descriptor, std::string_view content);

}  // namespace halvex
