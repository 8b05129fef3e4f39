// The audio player: loading hands the file over, playing clamps the start, the position ticks
// and playback ends by itself, audio that cannot be played says why; the system output reads
// only prepared WAV files.
#include "App/Services/AudioPlayerController.h"
#include "App/Services/AudioPrep.h"
#include "AppTestSupport.h"
#include "Support/Fixtures.h"

#include <gtest/gtest.h>

#include <QAudioDevice>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QMediaDevices>

#include <algorithm>

namespace norvel {
namespace {

// Plays `duration` seconds in real time, silently.
class ClockOutput : public AudioOutput {
public:
    explicit ClockOutput(double duration) : duration_(duration) {}
    double duration() const override { return duration_; }
    double position() const override {
        if (!playing_) return start_;
        return std::min(duration_, start_ + double(clock_.elapsed()) / 1000.0);
    }
    void setPosition(double seconds) override {
        start_ = seconds;
        clock_.restart();
    }
    void play() override {
        playing_ = true;
        clock_.restart();
    }
    void pause() override {
        start_ = position();
        playing_ = false;
    }
    void stop() override { pause(); }
    bool isPlaying() const override { return playing_ && position() < duration_; }

private:
    double duration_;
    double start_ = 0;
    bool playing_ = false;
    QElapsedTimer clock_;
};

class PlayerTest : public ::testing::Test {
protected:
    QString file(const char* name) const {
        const QString path = QString::fromStdString((dir_.path() / name).string());
        QFile(path).open(QIODevice::WriteOnly);
        return path;
    }

    test::TemporaryDirectory dir_;
    AudioPlayerController player_{[](const QString& path) -> std::unique_ptr<AudioOutput> {
        if (path.endsWith(QStringLiteral(".bad"))) return nullptr;
        return std::make_unique<ClockOutput>(0.3);
    }};
};

TEST_F(PlayerTest, NothingPlaysBeforeALoad) {
    player_.play(1);
    EXPECT_FALSE(player_.isPlaying());
    EXPECT_FALSE(player_.hasAudio());
}

TEST_F(PlayerTest, PlaysFromAClampedStartToTheEnd) {
    player_.load(file("a.wav"));
    EXPECT_TRUE(player_.hasAudio());

    player_.play(10);  // beyond the end: starts at the end, and ends at once
    EXPECT_TRUE(player_.isPlaying());
    EXPECT_DOUBLE_EQ(player_.currentTime(), 0.3);
    ASSERT_TRUE(test::waitUntil([&] { return !player_.isPlaying(); }, 1000));
    EXPECT_TRUE(player_.hasAudio());

    player_.play(-5);  // before the start: from 0
    EXPECT_LT(player_.currentTime(), 0.05);
    ASSERT_TRUE(test::waitUntil([&] { return player_.currentTime() > 0.05; }, 1000));  // ticks
    player_.pause();
    const double paused = player_.currentTime();
    EXPECT_FALSE(player_.isPlaying());
    test::waitUntil([] { return false; }, 150);
    EXPECT_EQ(player_.currentTime(), paused);

    // To the end: playing stops by itself within a tick, and can start again.
    player_.play(paused);
    ASSERT_TRUE(test::waitUntil([&] { return !player_.isPlaying(); }, 1000));
    EXPECT_DOUBLE_EQ(player_.currentTime(), 0.3);
    player_.stop();
    EXPECT_EQ(player_.currentTime(), 0.0);
}

TEST_F(PlayerTest, OwnsTheFilesItIsGiven) {
    const QString first = file("first.wav");
    const QString second = file("second.wav");
    player_.load(first);
    player_.load(second);  // the first transcription's audio is gone
    EXPECT_FALSE(QFileInfo::exists(first));
    EXPECT_EQ(player_.currentUrl(), second);

    const QString bad = file("broken.bad");  // cannot be played: dropped and deleted
    player_.load(bad);
    EXPECT_FALSE(player_.hasAudio());
    EXPECT_FALSE(QFileInfo::exists(bad));
    EXPECT_FALSE(QFileInfo::exists(second));

    const QString third = file("third.wav");
    player_.load(third);
    player_.play(0);
    player_.release();  // a stored transcript has no audio
    EXPECT_FALSE(player_.hasAudio());
    EXPECT_FALSE(player_.isPlaying());
    EXPECT_FALSE(QFileInfo::exists(third));
    EXPECT_EQ(player_.currentUrl(), std::nullopt);
}

// An output without a device to play on, as on a computer without speakers.
class DeviceLessOutput : public ClockOutput {
public:
    DeviceLessOutput() : ClockOutput(10) {}
    void play() override {
        if (failing)
            throw NorvelError(NorvelError::Kind::general, QStringLiteral("no sound output"),
                              QStringLiteral("no device"));
        ClockOutput::play();
    }
    static inline bool failing = true;
};

TEST_F(PlayerTest, AudioThatCannotBePlayedSaysWhyInsteadOfDoingNothing) {
    AudioPlayerController player(
        [](const QString&) -> std::unique_ptr<AudioOutput> { return std::make_unique<DeviceLessOutput>(); });
    player.load(file("talk.wav"));
    DeviceLessOutput::failing = true;
    player.play(2.0);
    EXPECT_FALSE(player.isPlaying());
    ASSERT_TRUE(player.issue().has_value());
    EXPECT_EQ(player.issue()->message(), QStringLiteral("no sound output"));
    EXPECT_TRUE(player.hasAudio()) << "the audio stays, to be played once a device is there";

    // A device was connected: playing works again and the problem is gone.
    DeviceLessOutput::failing = false;
    player.play(2.0);
    EXPECT_TRUE(player.isPlaying());
    EXPECT_FALSE(player.issue().has_value());
}

TEST_F(PlayerTest, TheFileGoesWithTheController) {
    const QString wav = file("kept until the end.wav");
    {
        AudioPlayerController player(
            [](const QString&) -> std::unique_ptr<AudioOutput> { return std::make_unique<ClockOutput>(1); });
        player.load(wav);
        ASSERT_TRUE(QFileInfo::exists(wav));
    }
    EXPECT_FALSE(QFileInfo::exists(wav));
}

TEST_F(PlayerTest, TheSystemOutputReadsPreparedWavFilesOnly) {
    const QString folder = QString::fromStdString(dir_.path().string());
    const PreparedAudio prepared =
        AudioPrep::prepare(QString::fromStdString(test::fixture("audio/jfk.flac").string()), {}, {}, folder);
    auto output = AudioPlayerController::makeSystemOutput(prepared.url);
    ASSERT_NE(output, nullptr);
    EXPECT_DOUBLE_EQ(output->duration(), prepared.duration);
    output->setPosition(4);
    EXPECT_DOUBLE_EQ(output->position(), 4.0);
    output->setPosition(100);
    EXPECT_DOUBLE_EQ(output->position(), prepared.duration);
    EXPECT_FALSE(output->isPlaying());
    if (QMediaDevices::defaultAudioOutput().isNull()) {
        // No sound card here: playing says so.
        try {
            output->play();
            ADD_FAILURE() << "playing without an output device did not fail";
        } catch (const NorvelError& error) {
            EXPECT_EQ(error.message(), QStringLiteral("The audio cannot be played because no sound output device was "
                                                      "found. Connect or turn on speakers or headphones, check the "
                                                      "system's sound settings, then press Play again."));
        }
    }

    EXPECT_EQ(AudioPlayerController::makeSystemOutput(QString::fromStdString(test::fixture("audio/jfk.flac").string())),
              nullptr);
    EXPECT_EQ(AudioPlayerController::makeSystemOutput(file("empty.wav")), nullptr);
    EXPECT_EQ(AudioPlayerController::makeSystemOutput(folder + QStringLiteral("/absent.wav")), nullptr);
}

}  // namespace
}  // namespace norvel
