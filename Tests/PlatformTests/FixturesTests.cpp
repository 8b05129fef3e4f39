#include "Support/Fixtures.h"

#include <gtest/gtest.h>

#include <fstream>

namespace {

using norvel::test::fixture;
using norvel::test::TemporaryDirectory;

TEST(Fixtures, SharedFixturesAreFoundAndMissingOnesFailLoudly) {
    auto clip = fixture("audio/jfk.flac");
    EXPECT_TRUE(clip.is_absolute());
    EXPECT_GT(std::filesystem::file_size(clip), 1'000'000u);
    EXPECT_THROW(fixture("audio/no-such-clip.flac"), std::runtime_error);
}

TEST(Fixtures, TemporaryDirectoryIsRemovedWithItsContents) {
    std::filesystem::path kept;
    {
        TemporaryDirectory dir;
        kept = dir.path();
        std::ofstream(dir / "file.txt") << "data";
        ASSERT_TRUE(std::filesystem::exists(dir / "file.txt"));
    }
    EXPECT_FALSE(std::filesystem::exists(kept));
}

}  // namespace
