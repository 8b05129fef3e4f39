#pragma once

#include <cstddef>
#include <limits>
#include <string>

namespace platform {

// Writes all `size` bytes at `data` to the open file `descriptor`, going on after short writes
// and interrupted calls. Returns 0, or the error number of the write that failed.
int writeAll(int descriptor, const void* data, std::size_t size);

// Appends what the open file `descriptor` holds from its position to its end to `content`, going
// on after interrupted calls; a failed read is never taken for the end of the file. Returns 0,
// the error number of the read that failed, or EFBIG as soon as more than `limit` bytes would be
// read (having read at most one block past the limit).
int readAll(int descriptor, std::string& content, std::size_t limit = std::numeric_limits<std::size_t>::max());

}  // namespace platform
