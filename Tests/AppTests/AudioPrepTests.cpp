// Audio preparation: any media file becomes a 16 kHz mono 16-bit WAV of the right length,
// with all audio tracks mixed; failures are user errors and leave no temporary file.
#include "App/Model/NorvelError.h"
#include "App/Services/AudioPrep.h"
#include "AppTestSupport.h"
#include "HalvexCore/External/Hub/CancellationError.h"
#include "Support/Fixtures.h"

#include <gtest/gtest.h>

#include <QDir>
#include <QFile>

#include <sys/stat.h>

#include <cstring>

namespace norvel {
namespace {

std::uint32_t le32(const QByteArray& bytes, int at) {
    std::uint32_t value = 0;
    for (int i = 3; i >= 0; --i) value = value << 8 | std::uint8_t(bytes[at + i]);
    return value;
}

class AudioPrepTest : public ::testing::Test {
protected:
    QString path(const char* name) const { return QString::fromStdString((media_.path() / name).string()); }
    QString temporary() const { return QString::fromStdString(temporary_.path().string()); }
    QStringList leftovers() const { return QDir(temporary()).entryList(QDir::Files | QDir::Hidden); }

    // A tone of `seconds` as a media file made by ffmpeg with extra arguments.
    QString make(const char* name, const std::vector<std::string>& arguments) const {
        std::vector<std::string> all = arguments;
        all.push_back(path(name).toStdString());
        EXPECT_TRUE(test::runFfmpeg(all)) << name;
        return path(name);
    }

    NorvelError failure(const QString& input) const {
        try {
            AudioPrep::prepare(input, {}, {}, temporary());
        } catch (const NorvelError& error) {
            return error;
        }
        ADD_FAILURE() << "prepare did not fail for " << input.toStdString();
        return NorvelError(NorvelError::Kind::general, {});
    }

    test::TemporaryDirectory media_;
    test::TemporaryDirectory temporary_;
};

TEST_F(AudioPrepTest, HeaderLayoutAndCap) {
    const QByteArray header = AudioPrep::wavHeader(320000);
    ASSERT_EQ(header.size(), 44);
    EXPECT_EQ(header.left(4), QByteArray("RIFF"));
    EXPECT_EQ(le32(header, 4), 320036u);
    EXPECT_EQ(header.mid(8, 8), QByteArray("WAVEfmt "));
    const unsigned char format[] = {16, 0, 0, 0, 1, 0, 1, 0, 0x80, 0x3e, 0, 0, 0x00, 0x7d, 0, 0, 2, 0, 16, 0};
    EXPECT_EQ(std::memcmp(header.constData() + 16, format, sizeof(format)), 0);
    EXPECT_EQ(header.mid(36, 4), QByteArray("data"));
    EXPECT_EQ(le32(header, 40), 320000u);

    EXPECT_EQ(AudioPrep::cappedDataSize(5'000'000'000ull), 4294967231u);
    EXPECT_EQ(AudioPrep::cappedDataSize(4294967231ull), 4294967231u);
    EXPECT_EQ(AudioPrep::cappedDataSize(12), 12u);
    EXPECT_EQ(le32(AudioPrep::wavHeader(AudioPrep::cappedDataSize(~0ull)), 4), 4294967267u);
}

TEST_F(AudioPrepTest, StereoWavBecomesMonoAtSixteenKilohertzWithTheExactLength) {
    const QString input = make("tone.wav", {"-f", "lavfi", "-i", "sine=frequency=440:sample_rate=44100:duration=10",
                                            "-af", "pan=stereo|c0=c0|c1=c0", "-c:a", "pcm_s16le"});
    std::vector<double> fractions;
    const PreparedAudio prepared = AudioPrep::prepare(
        input, [&](double fraction) { fractions.push_back(fraction); }, {}, temporary());

    EXPECT_EQ(prepared.duration, 10.0);
    EXPECT_TRUE(QFileInfo(prepared.url).fileName().startsWith(QStringLiteral("Norvel-")));
    EXPECT_TRUE(prepared.url.endsWith(QStringLiteral(".wav")));
    const QByteArray bytes = test::readAll(prepared.url);
    ASSERT_EQ(bytes.size(), 44 + 320000);
    EXPECT_EQ(bytes.left(44), AudioPrep::wavHeader(320000));
    // The tone survives: both channels carry a 440 Hz sine of amplitude 1/8, whose RMS is 0.088.
    const auto samples = test::wavSamples(prepared.url);
    EXPECT_NEAR(test::rms(samples, 16000, 16000), 0.125 / std::sqrt(2.0), 0.01);

    ASSERT_FALSE(fractions.empty());
    for (std::size_t i = 1; i < fractions.size(); ++i) EXPECT_GE(fractions[i], fractions[i - 1]);
    EXPECT_GE(fractions.front(), 0.0);
    EXPECT_NEAR(fractions.back(), 1.0, 0.01);
    QFile::remove(prepared.url);
}

TEST_F(AudioPrepTest, EverySupportedContainerGivesItsAudio) {
    const std::vector<std::string> tone = {"-f", "lavfi", "-i", "sine=frequency=300:sample_rate=48000:duration=3"};
    const std::vector<std::string> video = {"-f", "lavfi", "-i", "testsrc=size=64x48:rate=10:duration=3"};
    const struct {
        const char* name;
        std::vector<std::string> arguments;
    } cases[] = {
        {"a.mp3", {"-c:a", "libmp3lame"}},
        {"a.m4a", {"-c:a", "aac"}},
        {"a.aac", {"-c:a", "aac"}},
        {"a.mp4", {"-c:v", "mpeg4", "-c:a", "aac", "-shortest"}},
        {"a.mov", {"-c:v", "mpeg4", "-c:a", "aac", "-shortest"}},
        {"a.m4v", {"-c:v", "mpeg4", "-c:a", "aac", "-shortest"}},
    };
    for (const auto& c : cases) {
        std::vector<std::string> arguments = tone;
        const bool withVideo = std::string(c.name).find(".m4a") == std::string::npos &&
                               std::string(c.name).find(".mp3") == std::string::npos &&
                               std::string(c.name).find(".aac") == std::string::npos;
        if (withVideo) arguments.insert(arguments.end(), video.begin(), video.end());
        arguments.insert(arguments.end(), c.arguments.begin(), c.arguments.end());
        const QString input = make(c.name, arguments);
        const PreparedAudio prepared = AudioPrep::prepare(input, {}, {}, temporary());
        EXPECT_NEAR(prepared.duration, 3.0, 0.1) << c.name;
        const auto samples = test::wavSamples(prepared.url);
        EXPECT_EQ(double(samples.size()) / 16000.0, prepared.duration) << c.name;
        EXPECT_GT(test::rms(samples, 8000, 16000), 0.05) << c.name;
        QFile::remove(prepared.url);
    }
    EXPECT_TRUE(leftovers().isEmpty());
}

TEST_F(AudioPrepTest, AllAudioTracksAreMixed) {
    // Track one sounds in the first two seconds only, track two in the last two only.
    const QString input = make(
        "two.mkv", {"-f", "lavfi", "-i", "sine=frequency=440:sample_rate=44100:duration=4,volume='lt(t,2)':eval=frame",
                    "-f", "lavfi", "-i", "sine=frequency=660:sample_rate=22050:duration=4,volume='gte(t,2)':eval=frame",
                    "-map", "0:a", "-map", "1:a", "-c:a", "pcm_s16le"});
    const PreparedAudio prepared = AudioPrep::prepare(input, {}, {}, temporary());
    EXPECT_EQ(prepared.duration, 4.0);
    const auto samples = test::wavSamples(prepared.url);
    EXPECT_GT(test::rms(samples, 8000, 16000), 0.05);
    EXPECT_GT(test::rms(samples, 40000, 16000), 0.05);
    QFile::remove(prepared.url);
}

TEST(AudioPrepMixer, GapsCostNoMemoryAndComeOutAsSilenceInBoundedBlocks) {
    using Mixer = AudioPrep::Mixer;
    Mixer mixer;
    const std::vector<float> tone(1000, 0.5f);
    const std::int64_t twoHours = std::int64_t(2) * 3600 * AudioPrep::sampleRate;
    mixer.add(0, tone.data(), tone.size());
    mixer.add(twoHours, tone.data(), tone.size());        // a track that starts two hours in
    mixer.add(twoHours + 500, tone.data(), tone.size());  // overlapping the one before: summed
    EXPECT_LE(mixer.heldSamples(), std::size_t(3 * Mixer::blockSamples)) << "the gap is not held";
    EXPECT_EQ(mixer.end(), twoHours + 1500);

    std::size_t largest = 0;
    std::int64_t at = 0;
    std::vector<std::pair<std::int64_t, std::int16_t>> sounding;  // where the output is not silent
    const std::size_t taken = mixer.take(mixer.end(), [&](const std::int16_t* pcm, std::size_t count) {
        largest = std::max(largest, count);
        for (std::size_t i = 0; i < count; ++i) {
            if (pcm[i] != 0 && (sounding.empty() || sounding.back().second != pcm[i] ||
                                sounding.back().first + 1 != at + std::int64_t(i))) {
                sounding.emplace_back(at + std::int64_t(i), pcm[i]);
            } else if (pcm[i] != 0) {
                sounding.back().first = at + std::int64_t(i);
            }
        }
        at += std::int64_t(count);
    });
    EXPECT_EQ(std::int64_t(taken), twoHours + 1500);
    EXPECT_LE(largest, std::size_t(Mixer::blockSamples));
    EXPECT_LE(mixer.heldSamples(), std::size_t(Mixer::blockSamples)) << "at most the block of the last samples";
    // Runs of equal samples, each recorded by its last position: 0.5 until 999, 0.5 from two
    // hours on, 1.0 (clamped) where the two late pieces overlap, then 0.5 again.
    const std::int16_t half = 16384;  // lrint(0.5 × 32767)
    ASSERT_EQ(sounding.size(), 4u);
    EXPECT_EQ(sounding[0], std::make_pair(std::int64_t(999), half));
    EXPECT_EQ(sounding[1], std::make_pair(twoHours + 499, half));
    EXPECT_EQ(sounding[2], std::make_pair(twoHours + 999, std::int16_t(32767)));
    EXPECT_EQ(sounding[3], std::make_pair(twoHours + 1499, half));

    // What was handed out is gone: later samples for it are dropped.
    mixer.add(10, tone.data(), tone.size());
    EXPECT_EQ(mixer.take(mixer.end(), [](const std::int16_t*, std::size_t) {}), 0u);
}

TEST_F(AudioPrepTest, ATrackThatStartsLateKeepsItsPlaceAfterSilence) {
    // The second track begins 40 seconds after the first has ended.
    const QString input =
        make("late.mkv", {"-f", "lavfi", "-i", "sine=frequency=440:sample_rate=16000:duration=2", "-itsoffset", "40",
                          "-f", "lavfi", "-i", "sine=frequency=660:sample_rate=16000:duration=2", "-map", "0:a", "-map",
                          "1:a", "-c:a", "pcm_s16le"});
    const PreparedAudio prepared = AudioPrep::prepare(input, {}, {}, temporary());
    EXPECT_NEAR(prepared.duration, 42.0, 0.05);
    const auto samples = test::wavSamples(prepared.url);
    EXPECT_GT(test::rms(samples, 8000, 16000), 0.05);
    EXPECT_EQ(test::rms(samples, 3 * 16000, 36 * 16000), 0.0);
    EXPECT_GT(test::rms(samples, 40 * 16000 + 8000, 16000), 0.05);
    QFile::remove(prepared.url);
}

TEST_F(AudioPrepTest, InputsWithoutUsableAudioAreRefused) {
    const QString video =
        make("clip.mov", {"-f", "lavfi", "-i", "testsrc=size=64x48:rate=10:duration=1", "-c:v", "mpeg4"});
    const QString empty =
        make("empty.wav", {"-f", "lavfi", "-i", "anullsrc=r=16000:cl=mono", "-t", "0", "-c:a", "pcm_s16le"});
    {
        QFile text(path("notes.mp3"));
        ASSERT_TRUE(text.open(QIODevice::WriteOnly));
        text.write("These are not the droids.\n");
    }
    // The pipe would stall an open that waits for a writer; the list and the playlist name a
    // real file beside them, which the container may not reach.
    ASSERT_EQ(::mkfifo(path("pipe.wav").toLocal8Bit().constData(), 0600), 0);
    make("segment.wav", {"-f", "lavfi", "-i", "sine=frequency=440:sample_rate=16000:duration=2", "-c:a", "pcm_s16le"});
    const auto writeText = [&](const char* name, const QByteArray& text) {
        QFile file(path(name));
        EXPECT_TRUE(file.open(QIODevice::WriteOnly)) << name;
        file.write(text);
        return path(name);
    };
    const QString list = writeText("list.wav", "ffconcat version 1.0\nfile 'segment.wav'\n");
    const QString playlist = writeText("playlist.m4a", "#EXTM3U\n#EXT-X-TARGETDURATION:2\n#EXTINF:2.0,\n" +
                                                           path("segment.wav").toUtf8() + "\n#EXT-X-ENDLIST\n");
    const struct {
        const char* name;
        QString input;
        NorvelError::Kind kind;
        const char* message;
        const char* details;
    } cases[] = {
        {"video only", video, NorvelError::Kind::noAudio,
         "This file has no audio track, so there is nothing to transcribe.", "No audio tracks found in clip.mov"},
        {"nothing decoded", empty, NorvelError::Kind::noAudio,
         "No audio could be read from this file, so there is nothing to transcribe.", "Decoded 0 bytes of audio"},
        {"text named mp3", path("notes.mp3"), NorvelError::Kind::unsupported, nullptr, nullptr},
        {"missing file", path("absent.wav"), NorvelError::Kind::unsupported,
         "This file could not be opened as audio or video. Try an mp3, m4a, wav, aac, mp4, mov or m4v file.", nullptr},
        {"a folder", QString::fromStdString(media_.path().string()), NorvelError::Kind::unsupported, nullptr, nullptr},
        {"a named pipe", path("pipe.wav"), NorvelError::Kind::unsupported, nullptr, "The input is not a regular file."},
        {"a list naming another file", list, NorvelError::Kind::unsupported, nullptr, nullptr},
        {"a playlist naming another file", playlist, NorvelError::Kind::unsupported, nullptr, nullptr},
    };
    for (const auto& c : cases) {
        const NorvelError error = failure(c.input);
        EXPECT_EQ(error.kind(), c.kind) << c.name;
        if (c.message) {
            EXPECT_EQ(error.message(), QString::fromUtf8(c.message)) << c.name;
        }
        if (c.details) {
            EXPECT_EQ(error.details(), QString::fromUtf8(c.details)) << c.name;
        }
    }
    EXPECT_TRUE(leftovers().isEmpty()) << leftovers().join(QStringLiteral(", ")).toStdString();
}

TEST_F(AudioPrepTest, CancellingDeletesTheFileAndThePartWrittenSoFarHasAnEmptyHeader) {
    const QString input = make(
        "long.wav", {"-f", "lavfi", "-i", "sine=frequency=440:sample_rate=16000:duration=20", "-c:a", "pcm_s16le"});
    std::stop_source stop;
    QByteArray headerWhileWriting;
    EXPECT_THROW(AudioPrep::prepare(
                     input,
                     [&](double fraction) {
                         if (headerWhileWriting.isEmpty()) {
                             const QStringList files = leftovers();
                             if (files.size() == 1)
                                 headerWhileWriting = test::readAll(QDir(temporary()).filePath(files[0])).left(44);
                         }
                         if (fraction > 0.3) stop.request_stop();
                     },
                     stop.get_token(), temporary()),
                 halvex::CancellationError);
    EXPECT_EQ(headerWhileWriting, AudioPrep::wavHeader(0));
    EXPECT_TRUE(leftovers().isEmpty());
}

}  // namespace
}  // namespace norvel
