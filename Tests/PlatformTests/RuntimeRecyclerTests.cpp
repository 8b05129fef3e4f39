#include "Platform/ML/Runtime/OutputRecycler.h"

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
