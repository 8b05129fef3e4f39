// The speech session: progress fractions, the text kept after a cancel, the download rate,
// the fixed decoding options, and loading and running a generated model.
#include "App/Model/NorvelError.h"
#include "App/Services/AudioPrep.h"
#include "App/Services/WhisperSession.h"
#include "AppTestSupport.h"
#include "Support/Fixtures.h"
#include "Support/GeneratedModel.h"

#include <gtest/gtest.h>

#include <QFile>

#include <atomic>
#include <filesystem>
#include <optional>
#include <vector>

namespace norvel {
namespace {

TEST(WhisperSession, ProgressFractions) {
    const struct {
        std::size_t tokens;
        int window;
        double duration;
        double fraction;
    } cases[] = {
        {100, 2, 300, 0.25},
        {300, 2, 300, 0.295},
        {190, 2, 300, 0.295},
        {200, 0, 20, 0.99},
        {0, 0, 300, 0.0},
        {20, 0, 0.5, 0.99},
        {2, 0, 0.5, 0.3},
        {10, 1, 600, (0.05 + 1) * 30 / 600},
        {50, 3, std::nan(""), 0.99},
    };
    for (const auto& c : cases) {
        EXPECT_NEAR(WhisperSession::progressFraction(c.tokens, c.window, c.duration), c.fraction, 1e-12)
            << c.tokens << " tokens, window " << c.window << ", " << c.duration << " s";
    }
}

TEST(WhisperSession, WindowTextsAfterACancel) {
    WindowTexts texts;
    texts.store(3, QStringLiteral(" last words "));
    texts.store(0, QStringLiteral("first"));
    texts.store(1, QStringLiteral(" \n "));
    texts.store(2, QStringLiteral("old"));
    texts.store(2, QStringLiteral("middle"));  // the latest text of a window counts
    EXPECT_EQ(WhisperSession::fromWindows(texts, 100),
              (std::vector<EngineSegment>{{0, 30, QStringLiteral("first")},
                                          {60, 90, QStringLiteral("middle")},
                                          {90, 100, QStringLiteral("last words")}}));
    // Unknown length: whole windows.
    EXPECT_EQ(WhisperSession::fromWindows(texts, 0).back(), (EngineSegment{90, 120, QStringLiteral("last words")}));
    // Windows advance less than 30 s, so a late window may lie beyond the audio's end: its text
    // is kept at the end, never in a segment that runs backwards.
    EXPECT_EQ(WhisperSession::fromWindows(texts, 70),
              (std::vector<EngineSegment>{{0, 30, QStringLiteral("first")},
                                          {60, 70, QStringLiteral("middle")},
                                          {70, 70, QStringLiteral("last words")}}));
}

TEST(WhisperSession, SpeedMeterSmoothsOverHalfSecondsFromTheFirstCountItSees) {
    struct Step {
        double advance;  // seconds since the step before (the first: since the meter was made)
        std::int64_t bytes;
        std::optional<double> rate;
    };
    const struct {
        const char* name;
        std::vector<Step> steps;
    } cases[] = {
        {"a fresh download",
         {{0, 500, std::nullopt},    // where the meter starts
          {0.4, 400, std::nullopt},  // under half a second
          {0.6, 1500, 1000.0},       // 1000 bytes in 1 s
          {1, 3500, 1400.0},         // 0.4 × 2000 + 0.6 × 1000
          {1, 2000, 1400.0},         // went backwards: unchanged
          {0.5, 2500, 0.4 * 1000 + 0.6 * 1400}}},
        // 60 MB were on disk before; the first count comes after the hub was asked.
        {"a resumed download", {{0.6, 60'000'000, std::nullopt}, {1, 100'000'000, 40e6}, {1, 140'000'000, 40e6}}},
    };
    for (const auto& c : cases) {
        double now = 100;
        SpeedMeter meter([&] { return now; });
        for (const Step& step : c.steps) {
            now += step.advance;
            const std::optional<double> rate = meter.update(step.bytes);
            ASSERT_EQ(rate.has_value(), step.rate.has_value()) << c.name << " at " << step.bytes;
            EXPECT_NEAR(rate.value_or(0), step.rate.value_or(0), 1e-6) << c.name << " at " << step.bytes;
        }
    }
}

TEST(WhisperSession, DecodingOptionsOfEveryRun) {
    const murmex::DecodingOptions detect = WhisperSession::decodingOptions(std::nullopt, false);
    EXPECT_EQ(detect.task, murmex::DecodingTask::transcribe);
    EXPECT_EQ(detect.language, std::nullopt);
    EXPECT_TRUE(detect.detectLanguage);
    EXPECT_TRUE(detect.skipSpecialTokens);
    EXPECT_EQ(detect.chunkingStrategy, std::nullopt);
    EXPECT_EQ(detect.sampleLength, 224);
    EXPECT_FALSE(detect.wordTimestamps);
    EXPECT_TRUE(detect.usePrefillPrompt);
    EXPECT_EQ(detect.concurrentWorkerCount, 16);

    // Apart from the four the session sets, every option is the library's default.
    murmex::DecodingOptions expected;
    expected.task = murmex::DecodingTask::translate;
    expected.language = "de";
    expected.detectLanguage = false;
    expected.skipSpecialTokens = true;
    EXPECT_EQ(WhisperSession::decodingOptions(QStringLiteral("de"), true), expected);
}

TEST(WhisperSession, RunBeforeLoadFails) {
    WhisperSession session;
    try {
        session.run(QStringLiteral("/nothing.wav"), std::nullopt, false, 1, {}, std::make_shared<CancelFlag>());
        ADD_FAILURE() << "run did not fail";
    } catch (const NorvelError& error) {
        EXPECT_EQ(error.kind(), NorvelError::Kind::general);
        EXPECT_EQ(error.message(), QStringLiteral("The model is not loaded."));
        EXPECT_EQ(error.details(), QStringLiteral("run() was called before load()."));
    }
}

class WhisperSessionModelTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        folder_ = new test::TemporaryDirectory();
        test::generateModelFolder(folder_->path() / "model");
        const QString wav = AudioPrep::prepare(QString::fromStdString(test::fixture("audio/jfk.flac").string()), {}, {},
                                               QString::fromStdString(folder_->path().string()))
                                .url;
        audio_ = new QString(wav);
    }
    static void TearDownTestSuite() {
        delete folder_;
        delete audio_;
    }

    static QString model() { return QString::fromStdString((folder_->path() / "model").string()); }
    static QString base() { return QString::fromStdString(folder_->path().string()); }

    static test::TemporaryDirectory* folder_;
    static QString* audio_;
};

test::TemporaryDirectory* WhisperSessionModelTest::folder_ = nullptr;
QString* WhisperSessionModelTest::audio_ = nullptr;

TEST_F(WhisperSessionModelTest, LoadsOnceRunsAndStopsWhenCancelled) {
    WhisperSession session;
    session.load(model(), base());
    EXPECT_EQ(session.loadedFolder(), model());
    // The same folder again is not loaded again: even with its files gone for a moment.
    const std::filesystem::path path = model().toStdString();
    std::filesystem::rename(path, path.string() + ".away");
    EXPECT_NO_THROW(session.load(model(), base()));
    std::filesystem::rename(path.string() + ".away", path);
    EXPECT_EQ(session.loadedFolder(), model());

    std::atomic<int> reports{0};
    std::atomic<double> last{-1};
    const EngineOutput output = session.run(
        *audio_, QStringLiteral("en"), false, 11.0,
        [&](double fraction, const QString&) {
            ++reports;
            EXPECT_GE(fraction, 0.0);
            EXPECT_LE(fraction, 0.99);
            last = fraction;
        },
        std::make_shared<CancelFlag>());
    EXPECT_GT(reports.load(), 0);
    EXPECT_FALSE(output.cancelled);
    EXPECT_EQ(output.language, QStringLiteral("en"));
    for (const auto& segment : output.segments) {
        EXPECT_GE(segment.start, 0.0);
        EXPECT_LE(segment.start, segment.end);
    }

    // A flag set from the first report on stops the run; what was decoded is kept.
    auto flag = std::make_shared<CancelFlag>();
    std::atomic<int> cancelledReports{0};
    const EngineOutput cancelled = session.run(
        *audio_, std::nullopt, false, 11.0,
        [&](double, const QString&) {
            ++cancelledReports;
            flag->set();
        },
        flag);
    EXPECT_TRUE(cancelled.cancelled);
    EXPECT_LT(cancelledReports.load(), reports.load());
}

TEST_F(WhisperSessionModelTest, AFailedLoadLeavesTheSessionEmpty) {
    WhisperSession session;
    session.load(model(), base());
    test::TemporaryDirectory broken;
    std::filesystem::create_directories(broken.path() / "MelSpectrogram.mlmodelc");
    EXPECT_ANY_THROW(session.load(QString::fromStdString(broken.path().string()), base()));
    EXPECT_TRUE(session.loadedFolder().isEmpty());
    EXPECT_THROW(session.run(*audio_, std::nullopt, false, 11.0, {}, std::make_shared<CancelFlag>()), NorvelError);
}

}  // namespace
}  // namespace norvel
