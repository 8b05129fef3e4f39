#include "HalvexCore/FileContents.h"

#include "Support/Fixtures.h"

#include <gtest/gtest.h>

#include <fstream>

namespace {

namespace fs = std::filesystem;
using norvel::test::TemporaryDirectory;

std::size_t entryCount(const fs::path& folder) {
    return static_cast<std::size_t>(std::distance(fs::directory_iterator(folder), fs::directory_iterator()));
}

TEST(CoreFileContents, AtomicWriteReplacesTheFileWholeAndLeavesNothingElse) {
    TemporaryDirectory dir;
    const auto path = dir / "record.json";
    std::ofstream(path) << "old and longer content";

    std::string binary("a\0b\xff", 4);
    halvex::writeFileAtomically(path, binary);

    EXPECT_EQ(halvex::readFileContents(path), binary);
    EXPECT_EQ(entryCount(dir.path()), 1u);
    EXPECT_EQ(fs::status(path).permissions() & fs::perms::all,
              fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read | fs::perms::others_read);
}

TEST(CoreFileContents, FailuresThrowAndLeaveNoTemporaryFile) {
    TemporaryDirectory dir;
    EXPECT_THROW(halvex::writeFileAtomically(dir / "missing-folder" / "file", "x"), fs::filesystem_error);
    // Renaming over a non-empty folder fails after the bytes were written.
    fs::create_directories(dir / "occupied" / "inside");
    EXPECT_THROW(halvex::writeFileAtomically(dir / "occupied", "x"), fs::filesystem_error);
    EXPECT_EQ(entryCount(dir.path()), 1u);

    EXPECT_THROW(halvex::readFileContents(dir / "absent"), fs::filesystem_error);
    // A folder opens but every read fails: that is an error, not an empty file.
    EXPECT_THROW(halvex::readFileContents(dir.path()), fs::filesystem_error);
}

}  // namespace
