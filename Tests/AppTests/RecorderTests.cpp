// The microphone recorder: permission answers and device problems as issues, the level of a
// buffer, and a recording that ends as a CAF file audio preparation can read.
#include "App/Services/AudioPrep.h"
#include "App/Services/CafWriter.h"
#include "App/Services/Recorder.h"
#include "AppTestSupport.h"
#include "Support/Fixtures.h"

#include <gtest/gtest.h>

#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <cmath>
#include <stdexcept>

namespace norvel {
namespace {

class ScriptedAccess : public MicrophoneAccess {
public:
    explicit ScriptedAccess(MicrophonePermission status) : status_(status) {}
    MicrophonePermission status() const override { return status_; }
    void request(std::function<void(bool)> answer) override {
        ++requests;
        pending = std::move(answer);
    }

    int requests = 0;
    std::function<void(bool)> pending;

private:
    MicrophonePermission status_;
};

class ScriptedCapture : public AudioCapture {
public:
    ScriptedCapture(Format format, bool failsToStart) : format_(format), failsToStart_(failsToStart) {}
    Format format() const override { return format_; }
    void start(BufferHandler onBuffer) override {
        if (failsToStart_) throw std::runtime_error("device busy");
        *handler = std::move(onBuffer);
    }
    void stop() override { *handler = nullptr; }

    std::shared_ptr<BufferHandler> handler = std::make_shared<BufferHandler>();

private:
    Format format_;
    bool failsToStart_;
};

class RecorderTest : public ::testing::Test {
protected:
    std::unique_ptr<Recorder> make(MicrophonePermission permission, bool device = true,
                                   AudioCapture::Format format = {48000, 2}, bool failsToStart = false) {
        access_ = std::make_shared<ScriptedAccess>(permission);
        return std::make_unique<Recorder>(
            access_,
            [=, this]() -> std::unique_ptr<AudioCapture> {
                if (!device) return nullptr;
                auto capture = std::make_unique<ScriptedCapture>(format, failsToStart);
                handler_ = capture->handler;
                ++captures_;
                return capture;
            },
            folder());
    }
    QString folder() const { return QString::fromStdString(dir_.path().string()); }
    QStringList files() const { return QDir(folder()).entryList(QDir::Files); }

    test::TemporaryDirectory dir_;
    std::shared_ptr<ScriptedAccess> access_;
    std::shared_ptr<AudioCapture::BufferHandler> handler_;
    int captures_ = 0;
};

TEST(RecorderLevel, LevelOfABuffer) {
    const std::vector<float> silence(512, 0.0f);
    std::vector<float> quiet(512);
    for (std::size_t i = 0; i < quiet.size(); ++i) quiet[i] = i % 2 ? 0.01f : -0.01f;  // rms 0.01: −40 dBFS
    std::vector<float> square(512);
    for (std::size_t i = 0; i < square.size(); ++i) square[i] = i % 2 ? 1.0f : -1.0f;
    std::vector<float> stereo(1024, 0.0f);  // loud only on the second channel
    for (std::size_t i = 1; i < stereo.size(); i += 2) stereo[i] = 0.9f;
    EXPECT_EQ(Recorder::levelOf(silence.data(), 512, 1), 0.0);
    EXPECT_NEAR(Recorder::levelOf(quiet.data(), 512, 1), 1.0 / 3.0, 1e-5);
    EXPECT_EQ(Recorder::levelOf(square.data(), 512, 1), 1.0);
    EXPECT_EQ(Recorder::levelOf(stereo.data(), 512, 2), 0.0);
    EXPECT_EQ(Recorder::levelOf(square.data(), 0, 1), 0.0);
}

TEST_F(RecorderTest, PermissionAndDeviceProblemsBecomeIssues) {
    const struct {
        const char* name;
        MicrophonePermission permission;
        bool device;
        AudioCapture::Format format;
        bool failsToStart;
        const char* message;
        const char* details;
        bool needsSettings;
    } cases[] = {
        {"restricted",
         MicrophonePermission::restricted,
         true,
         {48000, 1},
         false,
         "Microphone access is restricted on this computer (for example by a policy or parental controls), so Norvel "
         "cannot record.",
         "Microphone authorization status: restricted",
         true},
        {"denied",
         MicrophonePermission::denied,
         true,
         {48000, 1},
         false,
         nullptr,
         "Microphone authorization status: denied",
         true},
        {"unknown",
         MicrophonePermission::unknown,
         true,
         {48000, 1},
         false,
         "Norvel could not check the microphone permission.",
         "Unknown authorization status.",
         true},
        {"no device",
         MicrophonePermission::authorized,
         false,
         {48000, 1},
         false,
         "No microphone was found. Connect or enable an input device and try again.",
         "QMediaDevices::defaultAudioInput() returned no device.",
         false},
        {"no rate",
         MicrophonePermission::authorized,
         true,
         {0, 2},
         false,
         nullptr,
         "Input format: sampleRate 0.0, channels 2",
         false},
        {"no channel",
         MicrophonePermission::authorized,
         true,
         {44100, 0},
         false,
         nullptr,
         "Input format: sampleRate 44100.0, channels 0",
         false},
        {"device busy",
         MicrophonePermission::authorized,
         true,
         {44100, 1},
         true,
         "Recording could not start: device busy",
         nullptr,
         false},
    };
    for (const auto& c : cases) {
        auto recorder = make(c.permission, c.device, c.format, c.failsToStart);
        recorder->start();
        EXPECT_FALSE(recorder->isRecording()) << c.name;
        EXPECT_FALSE(recorder->isStarting()) << c.name;
        ASSERT_TRUE(recorder->issue().has_value()) << c.name;
        EXPECT_EQ(recorder->issue()->kind(), NorvelError::Kind::general) << c.name;
        if (c.message) {
            EXPECT_EQ(recorder->issue()->message(), QString::fromUtf8(c.message)) << c.name;
        }
        if (c.details) {
            EXPECT_EQ(recorder->issue()->details(), QString::fromUtf8(c.details)) << c.name;
        }
        EXPECT_EQ(recorder->issueNeedsSettings(), c.needsSettings) << c.name;
        EXPECT_TRUE(files().isEmpty()) << c.name;
        recorder->clearIssue();
        EXPECT_FALSE(recorder->issueNeedsSettings());
    }
}

TEST_F(RecorderTest, OneStartWhileThePermissionIsAsked) {
    auto recorder = make(MicrophonePermission::notDetermined);
    recorder->start();
    recorder->start();  // pressed again while the prompt is open
    EXPECT_EQ(access_->requests, 1);
    EXPECT_TRUE(recorder->isStarting());
    access_->pending(true);
    EXPECT_TRUE(recorder->isRecording());
    EXPECT_EQ(captures_, 1);
    ASSERT_TRUE(recorder->stop().has_value());

    auto refused = make(MicrophonePermission::notDetermined);
    refused->start();
    access_->pending(false);
    EXPECT_FALSE(refused->isRecording());
    EXPECT_EQ(refused->issue()->details(), QStringLiteral("The user declined the microphone permission prompt."));
    EXPECT_TRUE(refused->issueNeedsSettings());
}

TEST_F(RecorderTest, ARecordingBecomesAReadableFile) {
    auto recorder = make(MicrophonePermission::authorized, true, {48000, 2});
    EXPECT_EQ(recorder->stop(), std::nullopt);  // nothing recording: nothing changes
    recorder->start();
    ASSERT_TRUE(recorder->isRecording());
    EXPECT_EQ(recorder->seconds(), 0.0);

    // Two seconds of a tone on both channels, in buffers of 4096 frames.
    std::vector<float> buffer(4096 * 2);
    std::int64_t frame = 0;
    while (frame < 96000) {
        const int frames = int(std::min<std::int64_t>(4096, 96000 - frame));
        for (int i = 0; i < frames; ++i) {
            const float value = 0.5f * float(std::sin(2 * M_PI * 440.0 * double(frame + i) / 48000.0));
            buffer[std::size_t(2 * i)] = buffer[std::size_t(2 * i + 1)] = value;
        }
        (*handler_)(buffer.data(), frames);
        frame += frames;
    }
    EXPECT_GT(recorder->level(), 0.8);
    ASSERT_TRUE(test::waitUntil([&] { return recorder->seconds() > 0; }, 2000));  // the clock runs

    const std::optional<QString> file = recorder->stop();
    ASSERT_TRUE(file.has_value());
    EXPECT_TRUE(QFileInfo(*file).fileName().startsWith(QStringLiteral("Recording-")));
    EXPECT_TRUE(file->endsWith(QStringLiteral(".caf")));
    EXPECT_FALSE(recorder->isRecording());
    EXPECT_EQ(recorder->level(), 0.0);
    const double seconds = recorder->seconds();
    EXPECT_GT(seconds, 0.0);
    EXPECT_EQ(recorder->stop(), std::nullopt);
    EXPECT_EQ(recorder->seconds(), seconds);

    const PreparedAudio prepared = AudioPrep::prepare(*file, {}, {}, folder());
    EXPECT_EQ(prepared.duration, 2.0);
    EXPECT_NEAR(test::rms(test::wavSamples(prepared.url), 8000, 16000), 0.5 / std::sqrt(2.0), 0.01);
}

TEST_F(RecorderTest, AnUnfinishedRecordingIsStillReadable) {
    const QString path = folder() + QStringLiteral("/cut.caf");
    {
        CafWriter writer(path, 16000, 1);
        const std::vector<float> samples(8000, 0.25f);
        writer.write(samples.data(), 8000);
        writer.write(samples.data(), 8000);
        EXPECT_EQ(writer.framesWritten(), 16000);
    }  // never finished: the data size stays open
    EXPECT_EQ(AudioPrep::prepare(path, {}, {}, folder()).duration, 1.0);
}

}  // namespace
}  // namespace norvel
