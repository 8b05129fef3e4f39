#include "AudioTestSupport.h"
#include "Support/Fixtures.h"

#include "Murmex/Audio/AudioFile.h"
#include "Murmex/Audio/AudioProcessor.h"
#include "Murmex/Model/WhisperError.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cmath>
#include <filesystem>
#include <fstream>
#include <limits>
#include <string>
#include <thread>
#include <vector>

namespace {

using murmex::AudioFile;
using murmex::AudioFileError;
using murmex::AudioProcessor;
using murmex::WhisperError;
using norvel::test::fixture;
using norvel::test::TemporaryDirectory;
namespace fs = std::filesystem;
namespace support = murmex::test;

constexpr size_t kClipSamples = 176000;

void truncate(const fs::path& from, const fs::path& to, double fraction) {
    fs::copy_file(from, to);
    fs::resize_file(to, uintmax_t(double(fs::file_size(from)) * fraction));
}

TEST(AudioFileErrors, MissingPathIsReportedWithItsPath) {
    const std::string path = "/nonexistent/folder/speech.wav";
    for (int call = 0; call < 3; ++call) {
        SCOPED_TRACE(call);
        try {
            if (call == 0) AudioProcessor::loadAudio(path);
            if (call == 1) AudioProcessor::loadAudioAsFloatArray(path);
            if (call == 2) AudioProcessor::loadAudioAsync(path);
            FAIL() << "no error";
        } catch (const WhisperError& error) {
            EXPECT_EQ(error.kind(), WhisperError::Kind::loadAudioFailed);
            EXPECT_EQ(error.message(), "Resource path does not exist " + path);
        }
    }
}

TEST(AudioFileErrors, FilesWithoutReadableAudioAreRefused) {
    TemporaryDirectory directory;
    support::writeText(directory / "empty.wav", "");
    support::writeText(directory / "notes.mp3", "These are notes, not audio.\n");
    std::string noise(4096, '\0');
    for (size_t i = 0; i < noise.size(); ++i) noise[i] = char((i * 7919 + 13) % 251);
    support::writeText(directory / "noise.m4a", noise);
    fs::create_directory(directory / "folder.wav");
    ASSERT_EQ(mkfifo((directory / "pipe.mp3").c_str(), 0600), 0);
    ASSERT_TRUE(support::runFfmpeg({"-f", "lavfi", "-i", "testsrc=size=32x24:rate=5:duration=1", "-c:v", "mpeg4",
                                    (directory / "silent-film.mp4").string()}));
    for (const char* name : {"empty.wav", "notes.mp3", "noise.m4a", "folder.wav", "pipe.mp3", "silent-film.mp4"}) {
        SCOPED_TRACE(name);
        const auto path = (directory / name).string();
        EXPECT_THROW(AudioProcessor::loadAudioAsFloatArray(path), AudioFileError);
        EXPECT_THROW(AudioFile{path}, AudioFileError);
    }
}

TEST(AudioFileErrors, TruncatedOrDamagedFilesGiveWhatTheyHold) {
    TemporaryDirectory directory;
    const std::string clip = fixture("audio/jfk.flac").string();
    ASSERT_TRUE(support::runFfmpeg({"-i", clip, (directory / "clip.wav").string()}));
    ASSERT_TRUE(support::runFfmpeg({"-i", clip, (directory / "clip.mp3").string()}));
    ASSERT_TRUE(support::runFfmpeg({"-i", clip, (directory / "clip.flac").string()}));
    // Sample tables first, so that a cut file still describes the whole clip.
    ASSERT_TRUE(support::runFfmpeg({"-i", clip, "-movflags", "+faststart", (directory / "clip.m4a").string()}));
    for (const char* name : {"clip.wav", "clip.mp3", "clip.flac", "clip.m4a"}) {
        SCOPED_TRACE(name);
        const auto cut = directory / (std::string("cut-") + name);
        truncate(directory / name, cut, 0.5);
        const auto samples = AudioProcessor::loadAudioAsFloatArray(cut.string());
        EXPECT_GT(samples.size(), kClipSamples * 3 / 10);
        EXPECT_LT(samples.size(), kClipSamples * 7 / 10);
    }
    // Damage in the middle costs the damaged frames, not the file.
    for (const char* name : {"clip.mp3", "clip.flac"}) {
        SCOPED_TRACE(name);
        const auto damaged = directory / (std::string("damaged-") + name);
        fs::copy_file(directory / name, damaged);
        std::fstream file(damaged, std::ios::in | std::ios::out | std::ios::binary);
        file.seekp(std::streamoff(fs::file_size(damaged) / 2));
        for (int i = 0; i < 3000; ++i) file.put(char((i * 131 + 7) & 0xff));
        file.close();
        const auto samples = AudioProcessor::loadAudioAsFloatArray(damaged.string());
        EXPECT_GT(samples.size(), kClipSamples * 8 / 10);
        EXPECT_LE(samples.size(), kClipSamples + 1);
    }
    // With its sample tables at the end, a cut movie file has no description left.
    ASSERT_TRUE(support::runFfmpeg({"-i", clip, (directory / "clip.mov").string()}));
    truncate(directory / "clip.mov", directory / "cut-clip.mov", 0.5);
    EXPECT_THROW(AudioProcessor::loadAudioAsFloatArray((directory / "cut-clip.mov").string()), AudioFileError);
}

// A floating-point file with samples that are not numbers, or infinite, is read with those
// samples as silence: read as it is, or mixed and resampled (where one such sample would spread
// over its neighbours, or over the whole mix). The file is reported once.
TEST(AudioFileErrors, SamplesThatAreNotFiniteNumbersAreReadAsSilence) {
    TemporaryDirectory directory;
    struct Case {
        int rate;
        int channels;
    };
    for (const Case c : {Case{16000, 1}, Case{44100, 2}}) {
        SCOPED_TRACE(c.rate);
        auto tone = support::sine(440, 0.5, c.rate, 2 * int64_t(c.rate));
        tone[1000] = std::numeric_limits<float>::quiet_NaN();
        tone[size_t(c.rate)] = std::numeric_limits<float>::infinity();
        tone[tone.size() - 1] = -std::numeric_limits<float>::infinity();
        std::vector<std::vector<float>> channels(size_t(c.channels), tone);
        const auto path = directory / ("broken" + std::to_string(c.rate) + ".wav");
        support::writeFloatWav(path, channels, c.rate);

        support::LogCapture log;
        const auto samples = AudioProcessor::loadAudioAsFloatArray(path.string());
        ASSERT_EQ(samples.size(), 32000u);
        for (size_t i = 0; i < samples.size(); ++i) ASSERT_TRUE(std::isfinite(samples[i])) << i;
        EXPECT_LE(support::peak(samples), 0.55f);
        // Away from the broken samples the tone is untouched.
        EXPECT_LT(support::largestSineError(samples, 440, 0.5, 16000, 4000, 8000), 0.01);
        if (c.rate == 16000) {
            EXPECT_EQ(samples[1000], 0.0f);
            EXPECT_EQ(samples[16000], 0.0f);
            EXPECT_EQ(samples.back(), 0.0f);
        }
        int reports = 0;
        for (const auto& line : log.lines()) {
            reports +=
                line.find("holds samples that are not finite numbers; they are read as silence") != std::string::npos;
        }
        EXPECT_EQ(reports, 1);
    }
}

// A listening socket on the loopback interface that counts the connections it receives.
class Listener {
public:
    Listener() {
        fd_ = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        EXPECT_EQ(bind(fd_, reinterpret_cast<sockaddr*>(&address), sizeof(address)), 0);
        EXPECT_EQ(listen(fd_, 8), 0);
        socklen_t size = sizeof(address);
        getsockname(fd_, reinterpret_cast<sockaddr*>(&address), &size);
        port_ = ntohs(address.sin_port);
    }
    ~Listener() { close(fd_); }
    int port() const { return port_; }
    bool wasContacted() const {
        int client = accept(fd_, nullptr, nullptr);
        if (client >= 0) close(client);
        return client >= 0;
    }

private:
    int fd_ = -1;
    int port_ = 0;
};

TEST(AudioFileErrors, ListsAndPlaylistsCannotReachOtherFilesOrTheNetwork) {
    TemporaryDirectory directory;
    ASSERT_TRUE(support::runFfmpeg(
        {"-i", fixture("audio/jfk.flac").string(), "-t", "2", (directory / "segment.wav").string()}));
    Listener listener;
    const std::string remote = "http://127.0.0.1:" + std::to_string(listener.port()) + "/segment.ts";
    const std::string playlist = "#EXTM3U\n#EXT-X-TARGETDURATION:2\n#EXTINF:2.0,\n";
    support::writeText(directory / "local-playlist.mp3", playlist + "segment.wav\n#EXT-X-ENDLIST\n");
    support::writeText(directory / "absolute-playlist.m4a",
                       playlist + (directory / "segment.wav").string() + "\n#EXT-X-ENDLIST\n");
    support::writeText(directory / "remote-playlist.aac", playlist + remote + "\n#EXT-X-ENDLIST\n");
    support::writeText(directory / "list.wav", "ffconcat version 1.0\nfile 'segment.wav'\n");
    support::writeText(directory / "remote-list.wav", "ffconcat version 1.0\nfile '" + remote + "'\n");
    for (const char* name :
         {"local-playlist.mp3", "absolute-playlist.m4a", "remote-playlist.aac", "list.wav", "remote-list.wav"}) {
        SCOPED_TRACE(name);
        EXPECT_THROW(AudioProcessor::loadAudioAsFloatArray((directory / name).string()), AudioFileError);
    }
    EXPECT_FALSE(listener.wasContacted());
}

TEST(AudioFileErrors, SeveralFilesKeepTheirOrderAndTheirOwnOutcomes) {
    TemporaryDirectory directory;
    support::writeFloatWav(directory / "one.wav", {std::vector<float>(16000, 0.25f)}, 16000);
    support::writeFloatWav(directory / "three.wav", {std::vector<float>(8000, -0.5f)}, 16000);
    support::writeText(directory / "four.wav", "not audio");
    const std::string missing = (directory / "two.wav").string();
    const auto results =
        AudioProcessor::loadAudio({(directory / "one.wav").string(), missing, (directory / "three.wav").string(),
                                   (directory / "four.wav").string()});
    ASSERT_EQ(results.size(), 4u);
    ASSERT_TRUE(std::holds_alternative<std::vector<float>>(results[0]));
    EXPECT_EQ(std::get<std::vector<float>>(results[0]), std::vector<float>(16000, 0.25f));
    ASSERT_TRUE(std::holds_alternative<std::exception_ptr>(results[1]));
    try {
        std::rethrow_exception(std::get<std::exception_ptr>(results[1]));
    } catch (const WhisperError& error) {
        EXPECT_EQ(error.message(), "Resource path does not exist " + missing);
    }
    ASSERT_TRUE(std::holds_alternative<std::vector<float>>(results[2]));
    EXPECT_EQ(std::get<std::vector<float>>(results[2]), std::vector<float>(8000, -0.5f));
    ASSERT_TRUE(std::holds_alternative<std::exception_ptr>(results[3]));
    EXPECT_THROW(std::rethrow_exception(std::get<std::exception_ptr>(results[3])), AudioFileError);
    EXPECT_TRUE(AudioProcessor::loadAudio(std::vector<std::string>{}).empty());
}

int threadCount() {
    std::ifstream status("/proc/self/status");
    std::string line;
    while (std::getline(status, line)) {
        if (line.rfind("Threads:", 0) == 0) return std::stoi(line.substr(8));
    }
    return 0;
}

TEST(AudioFileErrors, ManyFilesAreLoadedByABoundedPool) {
    TemporaryDirectory directory;
    const auto path = directory / "tone.wav";
    support::writePcm16Wav(path, {support::sine(440, 0.5, 44100, 44100 * 4)}, 44100);
    const std::vector<std::string> paths(120, path.string());
    const int before = threadCount();
    std::atomic<bool> loading{true};
    std::atomic<int> most{0};
    std::thread watcher([&] {
        while (loading) {
            most = std::max(most.load(), threadCount());
            std::this_thread::sleep_for(std::chrono::microseconds(200));
        }
    });
    const auto results = AudioProcessor::loadAudio(paths);
    loading = false;
    watcher.join();
    ASSERT_EQ(results.size(), paths.size());
    for (const auto& result : results) {
        ASSERT_TRUE(std::holds_alternative<std::vector<float>>(result));
        EXPECT_EQ(std::get<std::vector<float>>(result).size(), 64000u);
    }
    // The watcher itself, and one loader per core at most.
    EXPECT_LE(most.load(), before + 1 + int(std::max(1u, std::thread::hardware_concurrency())));
}

}  // namespace
