#include "Platform/ML/Runtime/OutputRecycler.h"
#include "Platform/ML/Runtime/Workspace.h"

#include <gtest/gtest.h>

#include <atomic>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

namespace {

using platform::FeatureValue;
using platform::MultiArray;
using platform::MultiArrayDataType;
using platform::runtime::ArrayRecycler;
using platform::runtime::ProviderRecycler;
using platform::runtime::Workspace;

// Decoders on several threads take outputs from shared recyclers and let go of them on their
// own threads. Each holder fills what it took with its own mark and finds the mark intact: an
// array or provider is never handed to a second holder while the first still uses it, and,
// once the first has let go, the reuse comes after its last access (which ThreadSanitizer
// checks when the suite runs under it). Reuse keeps the set of arrays small.
TEST(RuntimeRecycler, OutputsGoToOneHolderAtATimeAndAreReused) {
    ArrayRecycler arrays({257}, MultiArrayDataType::float32);
    ProviderRecycler providers;
    static const std::string name = "logits";
    constexpr int threadCount = 4;
    constexpr int rounds = 3000;
    std::atomic<int> clashes{0};
    std::mutex mutex;
    std::set<const void*> storages;
    {
        std::vector<std::jthread> threads;
        for (int t = 0; t < threadCount; ++t) {
            threads.emplace_back([&, t] {
                std::set<const void*> seen;
                for (int round = 0; round < rounds; ++round) {
                    const auto mark = static_cast<std::int64_t>(t) * rounds + round;
                    MultiArray array = arrays.take();
                    auto* data = array.data<float>();
                    for (std::int64_t i = 0; i < array.count(); ++i) data[i] = static_cast<float>(mark);
                    auto provider = providers.take();
                    if (!provider->featureNames().empty()) ++clashes;  // handed out cleared
                    provider->add(name, FeatureValue(mark));
                    for (std::int64_t i = 0; i < array.count(); ++i) {
                        if (data[i] != static_cast<float>(mark)) ++clashes;
                    }
                    const auto value = provider->featureValue(name);
                    if (!value || value->int64Value() != mark) ++clashes;
                    seen.insert(data);
                }
                std::lock_guard lock(mutex);
                storages.insert(seen.begin(), seen.end());
            });
        }
    }
    EXPECT_EQ(clashes.load(), 0);
    // At most one array per thread is held at a time, so the eight the recycler keeps suffice.
    EXPECT_LE(storages.size(), 8u);
}

}  // namespace

namespace {

// Scratch buffers of every size class (below a page, pages, huge pages and beyond) keep what
// was written while they last, are usable over their whole length, grow without losing their
// slot's neighbours, and read as zero once asked zeroed or mapped afresh after a release.
TEST(RuntimeWorkspace, BuffersKeepTheirContentsUntilReleasedAndComeBackZeroed) {
    const std::vector<std::size_t> sizes = {1, 1000, std::size_t{1} << 19, (std::size_t{3} << 19) + 7};
    Workspace workspace;
    for (int round = 0; round < 2; ++round) {
        for (std::size_t slot = 0; slot < sizes.size(); ++slot) {
            float* data = workspace.floats(slot, sizes[slot], false);
            if (round == 0) {
                for (std::size_t i = 0; i < sizes[slot]; ++i) data[i] = static_cast<float>(slot + 1);
            } else {
                // Mapped afresh after the release below.
                for (std::size_t i = 0; i < sizes[slot]; ++i) ASSERT_EQ(data[i], 0.0f) << slot << " " << i;
            }
        }
        for (std::size_t slot = 0; round == 0 && slot < sizes.size(); ++slot) {
            const float* again = workspace.floats(slot, sizes[slot], false);
            EXPECT_EQ(again[0], static_cast<float>(slot + 1));
            EXPECT_EQ(again[sizes[slot] - 1], static_cast<float>(slot + 1));
        }
        if (round == 0) {
            // Growing one slot leaves the others alone; asking zeroed clears a kept buffer.
            float* grown = workspace.floats(0, 5000, false);
            grown[4999] = 1.0f;
            EXPECT_EQ(workspace.floats(1, sizes[1], false)[999], 2.0f);
            const float* cleared = workspace.floats(2, sizes[2]);
            EXPECT_EQ(cleared[0], 0.0f);
            EXPECT_EQ(cleared[sizes[2] - 1], 0.0f);
            workspace.release();
        }
    }
}

}  // namespace
