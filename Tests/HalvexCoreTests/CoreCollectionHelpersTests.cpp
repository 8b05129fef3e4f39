#include "HalvexCore/CollectionHelpers.h"
#include "HalvexCore/HalvexCoreError.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

TEST(CoreCollectionHelpers, MatchesGlobsLikeFnmatchWithoutFlags) {
    const std::vector<std::string> names = {
        "config.json", "sub/tokenizer.json", "model.bin", ".hidden.json", "AudioEncoder.mlmodelc/weights.safetensors",
        "a[1].txt"};
    struct Case {
        std::string glob;
        std::vector<std::string> expected;
    };
    const std::vector<Case> cases = {
        {"*.json", {"config.json", "sub/tokenizer.json", ".hidden.json"}},
        {"*", names},
        {"AudioEncoder.mlmodelc/*", {"AudioEncoder.mlmodelc/weights.safetensors"}},
        {"sub?tokenizer.json", {"sub/tokenizer.json"}},
        {"model.[ab]in", {"model.bin"}},
        {"a\\[1\\].txt", {"a[1].txt"}},
        {"[", {}},
        {"", {}},
        {"nothing*", {}},
    };
    for (const auto& c : cases) EXPECT_EQ(halvex::matching(names, c.glob), c.expected) << c.glob;
}

TEST(CoreCollectionHelpers, BatchesInOrder) {
    const std::vector<int> five = {1, 2, 3, 4, 5};
    using Batches = std::vector<std::vector<int>>;
    EXPECT_EQ(halvex::batched(five, 2), (Batches{{1, 2}, {3, 4}, {5}}));
    EXPECT_EQ(halvex::batched(five, 5), (Batches{{1, 2, 3, 4, 5}}));
    EXPECT_EQ(halvex::batched(five, 7), (Batches{{1, 2, 3, 4, 5}}));
    EXPECT_EQ(halvex::batched(five, 1).size(), 5u);
    EXPECT_EQ(halvex::batched(std::vector<int>{}, 3), Batches{});
    EXPECT_EQ(halvex::batched(five, -1), Batches{});
}

TEST(CoreCollectionHelpersDeathTest, ZeroBatchSizeStopsTheProcess) {
    EXPECT_DEATH(halvex::batched(std::vector<int>{1}, 0), "Stride size must not be zero");
}

TEST(CoreCollectionHelpers, OrderedSetKeepsFirstOccurrences) {
    EXPECT_EQ(halvex::orderedSet(std::vector<std::string>{"b", "a", "b", "c", "a"}),
              (std::vector<std::string>{"b", "a", "c"}));
    EXPECT_EQ(halvex::orderedSet(std::vector<int>{}), std::vector<int>{});
}

TEST(CoreHalvexCoreError, CarriesItsMessage) {
    try {
        throw halvex::HalvexCoreError::invalidConfiguration("Model folder is not configured");
    } catch (const std::exception& error) {
        EXPECT_STREQ(error.what(), "Model folder is not configured");
        const auto& core = dynamic_cast<const halvex::HalvexCoreError&>(error);
        EXPECT_EQ(core.kind(), halvex::HalvexCoreError::Kind::invalidConfiguration);
        EXPECT_EQ(core.errorDescription(), "Model folder is not configured");
        EXPECT_EQ(core.failureReason(), std::nullopt);
        EXPECT_EQ(core.recoverySuggestion(), std::nullopt);
        EXPECT_EQ(core.helpAnchor(), std::nullopt);
    }
}

}  // namespace
