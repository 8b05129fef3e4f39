#include "HalvexCore/ConcurrencyUtilities.h"
#include "HalvexCore/EarlyStopActor.h"
#include "HalvexCore/PropertyLock.h"
#include "HalvexCore/Protected.h"
#include "HalvexCore/UUID.h"
#include "HalvexCore/UnfairLock.h"
#include "HalvexCore/WeakSendableWrapper.h"

#include <gtest/gtest.h>
#include <sys/sysinfo.h>
#include <nlohmann/json.hpp>

#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <thread>
#include <unordered_set>
#include <vector>

namespace {

template <typename Body>
void onThreads(int threadCount, Body body) {
    std::vector<std::thread> threads;
    for (int t = 0; t < threadCount; ++t) threads.emplace_back(body);
    for (auto& thread : threads) thread.join();
}

TEST(CoreUnfairLock, ReleasesWhenTheBodyThrows) {
    halvex::UnfairLock lock;
    EXPECT_THROW(lock.withLock([]() -> int { throw std::runtime_error("inside"); }), std::runtime_error);
    EXPECT_EQ(lock.withLock([] { return 42; }), 42);
    EXPECT_TRUE(lock.try_lock());
    lock.unlock();
}

TEST(CorePropertyLock, ConcurrentChangesLoseNoUpdate) {
    halvex::PropertyLock<std::vector<int>> values;
    halvex::PropertyLock<int> counter(0);
    onThreads(8, [&] {
        for (int i = 0; i < 500; ++i) {
            values.modify([i](std::vector<int>& v) { v.push_back(i); });
            counter.modify([](int& c) { ++c; });
        }
    });
    EXPECT_EQ(values.get().size(), 4000u);
    EXPECT_EQ(counter.get(), 4000);
    EXPECT_EQ(counter.modify([](int& c) { return c * 2; }), 8000);
}

struct Record {
    halvex::PropertyLock<std::vector<int>> tokens;
    halvex::PropertyLock<std::string> text;
};

void to_json(nlohmann::json& json, const Record& record) {
    json["tokens"] = record.tokens;
    json["text"] = record.text;
}

void from_json(const nlohmann::json& json, Record& record) {
    json.at("tokens").get_to(record.tokens);
    json.at("text").get_to(record.text);
}

TEST(CorePropertyLock, SerializesAsTheBareValue) {
    Record record;
    record.tokens = std::vector<int>{1, 2, 3};
    record.text = std::string("hi");
    const nlohmann::json json = record;
    EXPECT_EQ(json.dump(), R"({"text":"hi","tokens":[1,2,3]})");

    Record back = nlohmann::json::parse(json.dump()).get<Record>();
    EXPECT_EQ(back.tokens.get(), (std::vector<int>{1, 2, 3}));
    EXPECT_EQ(back.text.get(), "hi");
    EXPECT_THROW(nlohmann::json::parse(R"({"tokens":"x","text":"y"})").get<Record>(), nlohmann::json::type_error);

    // A copy is independent of its source.
    halvex::PropertyLock<int> original(1);
    halvex::PropertyLock<int> copy = original;
    copy.set(2);
    EXPECT_EQ(original.get(), 1);
}

TEST(CoreProtected, CopiesShareOneValue) {
    halvex::Protected<std::optional<std::string>> model;
    EXPECT_EQ(model.get(), std::nullopt);
    auto shared = model;
    shared.set("loaded");
    EXPECT_EQ(model.get(), "loaded");

    halvex::Protected<int> counter(0);
    auto other = counter;
    onThreads(8, [&] {
        for (int i = 0; i < 500; ++i) other.modify([](int& c) { ++c; });
    });
    EXPECT_EQ(counter.get(), 4000);
}

TEST(CoreProtected, ReleasesTheOldValueOnWrite) {
    auto object = std::make_shared<int>(7);
    std::weak_ptr<int> watch = object;
    halvex::Protected<std::shared_ptr<int>> holder(std::move(object));
    holder.set(nullptr);
    EXPECT_TRUE(watch.expired());
}

TEST(CoreWeakSendableWrapper, GivesNothingOnceReleased) {
    auto object = std::make_shared<std::string>("alive");
    halvex::WeakSendableWrapper<std::string> wrapper(object);
    ASSERT_NE(wrapper.value(), nullptr);
    EXPECT_EQ(*wrapper.value(), "alive");
    object.reset();
    EXPECT_EQ(wrapper.value(), nullptr);

    halvex::WeakSendableWrapper<std::string> empty;
    EXPECT_EQ(empty.value(), nullptr);
    auto next = std::make_shared<std::string>("next");
    empty.setValue(next);
    EXPECT_EQ(empty.value(), next);
}

TEST(CoreEarlyStopActor, KeepsOneFlagPerRequest) {
    halvex::EarlyStopActor actor;
    const halvex::UUID first;
    const halvex::UUID second;
    EXPECT_FALSE(actor.get(first));
    EXPECT_EQ(actor.remove(first), std::nullopt);

    actor.set(false, first);
    actor.set(true, second);
    EXPECT_FALSE(actor.get(first));
    EXPECT_TRUE(actor.get(second));
    actor.set(true, first);
    EXPECT_TRUE(actor.get(first));

    EXPECT_EQ(actor.remove(second), true);
    EXPECT_EQ(actor.remove(second), std::nullopt);
    EXPECT_FALSE(actor.get(second));
    EXPECT_EQ(actor.shouldStop().size(), 1u);
}

TEST(CoreEarlyStopActor, ServesConcurrentDecoders) {
    halvex::EarlyStopActor actor;
    onThreads(8, [&] {
        for (int i = 0; i < 200; ++i) {
            halvex::UUID id;
            actor.set(false, id);
            actor.set(true, id);
            EXPECT_TRUE(actor.get(id));
            EXPECT_EQ(actor.remove(id), true);
        }
    });
    EXPECT_TRUE(actor.shouldStop().empty());
}

TEST(CoreUUID, IsRandomVersionFourAndRoundTripsItsText) {
    std::unordered_set<halvex::UUID> seen;
    for (int i = 0; i < 1000; ++i) {
        halvex::UUID id;
        const std::string text = id.uuidString();
        ASSERT_EQ(text.size(), 36u);
        EXPECT_EQ(text[14], '4');
        EXPECT_NE(std::string("89AB").find(text[19]), std::string::npos) << text;
        EXPECT_EQ(halvex::UUID::fromString(text), id);
        seen.insert(id);
    }
    EXPECT_EQ(seen.size(), 1000u);
    auto parsed = halvex::UUID::fromString("e621e1f8-c36c-495a-93fc-0c247a3e6e5f");
    ASSERT_TRUE(parsed);
    EXPECT_EQ(parsed->uuidString(), "E621E1F8-C36C-495A-93FC-0C247A3E6E5F");
    for (const char* bad : {"", "E621E1F8C36C495A93FC0C247A3E6E5F", "E621E1F8-C36C-495A-93FC-0C247A3E6E5G",
                            "E621E1F8-C36C-495A-93FC_0C247A3E6E5F"}) {
        EXPECT_EQ(halvex::UUID::fromString(bad), std::nullopt) << bad;
    }
}

TEST(CoreConcurrencyUtilities, CountsActiveProcessors) {
    const int count = halvex::ConcurrencyUtilities::activeProcessorCount();
    EXPECT_GE(count, 1);
    EXPECT_EQ(count, get_nprocs());
}

}  // namespace
