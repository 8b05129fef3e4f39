// The core library's numbers in files, documents and logs are the same bytes whatever locale
// the process runs in: each piece of work is done in the "C" locale and again in a locale
// with a decimal comma, and the two must agree.

#include "HalvexCore/External/Hub/Config.h"
#include "HalvexCore/External/Hub/Extensions/JSONSerialization.h"
#include "HalvexCore/External/Hub/HubApi.h"
#include "HalvexCore/External/Tokenizers/UnigramTokenizer.h"
#include "HalvexCore/Logging.h"
#include "Support/Files.h"
#include "Support/Fixtures.h"
#include "Support/ScopedLocale.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <chrono>
#include <filesystem>
#include <ostream>
#include <regex>
#include <string>

namespace {

using halvex::Config;
using halvex::HubApi;
using halvex::JSONSerialization;
using norvel::test::commaDecimalLocale;
using norvel::test::inBothLocales;
using norvel::test::ScopedLocale;
using norvel::test::TemporaryDirectory;

class CoreLocaleTest : public ::testing::Test {
protected:
    TemporaryDirectory folder;
    HubApi api{folder.path(), std::string(), std::string("http://127.0.0.1:9"), false, true};
    const std::filesystem::path record = folder / "repo/.cache/huggingface/download/config.json.metadata";
    const std::string commit = std::string(40, 'c');
    const std::string etag = std::string(64, 'e');
};

// A record written in either locale reads back in the other, keeps its decimal point, and is
// not thrown away as damaged (which would make an intact cache download its files again).
TEST_F(CoreLocaleTest, MetadataRecordsReadBackInEitherLocale) {
    SKIP_WITHOUT_COMMA_LOCALE();
    const std::regex layout(commit + "\n" + etag + "\n[0-9]+\\.[0-9]+\n");
    for (bool writeInComma : {false, true}) {
        SCOPED_TRACE(writeInComma ? "written in the comma locale" : "written in the C locale");
        std::string written;
        {
            ScopedLocale writer(writeInComma ? commaDecimalLocale : "C");
            api.writeDownloadMetadata(commit, etag, record);
            written = norvel::test::readText(record);
        }
        EXPECT_TRUE(std::regex_match(written, layout)) << written;
        const auto [plain, comma] = inBothLocales([&] {
            const auto read = api.readDownloadMetadata(record);
            return read ? std::chrono::duration<double>(read->timestamp.time_since_epoch()).count() : -1.0;
        });
        EXPECT_GT(plain, 1.0e9);
        EXPECT_EQ(comma, plain);
        EXPECT_TRUE(std::filesystem::exists(record)) << "an intact record was removed";
    }
}

// Floats are written with their shortest text and read back, whatever the locale.
TEST_F(CoreLocaleTest, ConfigJsonRoundTripsAreTheSameBytes) {
    SKIP_WITHOUT_COMMA_LOCALE();
    const auto config = Config::makeDictionary({
        {"temperature", 0.25f},
        {"ratio", 0.1f},
        {"tiny", -2.5e-5f},
        {"huge", 1.5e20f},
        {"count", 12345},
        {"list", Config::makeArray({0.5f, 3})},
    });
    const std::string document = R"({"a": 0.25, "b": -1.5e-3, "c": [2.5, 1000000], "d": 1.0})";
    const auto [plain, comma] = inBothLocales([&] {
        const std::string written = nlohmann::json(config).dump();
        const Config back = nlohmann::json::parse(written).get<Config>();
        const Config read = JSONSerialization::bomPreservingConfig(document);
        return written + " | " + back.description() + " | " + nlohmann::json(read).dump() + " | " + read.description();
    });
    EXPECT_EQ(comma, plain);
    EXPECT_NE(plain.find(R"("temperature":0.25)"), std::string::npos) << plain;
    EXPECT_NE(plain.find(R"("a":0.25,"b":-0.0015)"), std::string::npos) << plain;
}

struct Streamed {
    double value;
    int count;
};

std::ostream& operator<<(std::ostream& out, const Streamed& item) { return out << item.value << "/" << item.count; }

// Log lines built from numbers: the timing lines, items that print themselves through a
// stream, and a tokenizer lattice node.
TEST_F(CoreLocaleTest, LogTextsAreTheSameBytes) {
    SKIP_WITHOUT_COMMA_LOCALE();
    const auto [plain, comma] = inBothLocales([] {
        halvex::TokenLatticeNode node;
        node.tokenId = 1234;
        node.score = -2.5f;
        node.backtraceScore = 10000.25f;
        return halvex::Logging::formatTimeWithPercentage(0.5, 4, 2000) + " | " +
               halvex::logging_detail::describe(Streamed{1234.5, 5000}) + " | " +
               halvex::logging_detail::describe(0.25f) + " | " + node.description();
    });
    EXPECT_EQ(comma, plain);
    EXPECT_EQ(plain.rfind("  500.00 ms /      4 runs (  125.00 ms/run) 25.00% | ", 0), 0u) << plain;
    EXPECT_NE(plain.find("1234.5/5000 | 0.25 | "), std::string::npos) << plain;
}

}  // namespace
