// The JSON, SubRip and WebVTT writers, their time format, and the compression ratio.

#include <gtest/gtest.h>

extern "C" {
#include <libavformat/avformat.h>
#include <libavutil/dict.h>
}

#include <filesystem>
#include <fstream>
#include <limits>
#include <sstream>

#include "Murmex/Model/ResultWriters.h"
#include "Murmex/Model/TextUtilities.h"
#include "Support/Files.h"
#include "Support/Fixtures.h"

namespace murmex {
namespace {

namespace fs = std::filesystem;

std::string pathOf(const ResultWriteOutcome& outcome) {
    const auto* url = std::get_if<std::string>(&outcome);
    if (url == nullptr) {
        try {
            std::rethrow_exception(std::get<std::exception_ptr>(outcome));
        } catch (const std::exception& error) {
            ADD_FAILURE() << "write failed: " << error.what();
        }
        return {};
    }
    EXPECT_EQ(url->rfind("file:///", 0), 0u) << *url;
    return url->substr(7);
}

TranscriptionSegment segment(float start, float end, std::string text,
                             std::optional<std::vector<WordTiming>> words = {}) {
    TranscriptionSegment s;
    s.start = start;
    s.end = end;
    s.text = std::move(text);
    s.words = std::move(words);
    return s;
}

// A result with a segment split into words, one with an empty word list, one without words,
// and one past the first hour.
TranscriptionResult sampleResult() {
    return TranscriptionResult("",
                               {segment(0.5f, 2.0f, " Ask not what",
                                        std::vector<WordTiming>{{" Ask", {1}, 0.5f, 1.0f, 0.9f},
                                                                {" not", {2}, 1.0f, 1.25f, 0.8f},
                                                                {" what", {3}, 1.25f, 2.0f, 0.7f}}),
                                segment(2.0f, 4.2f, " your country", std::vector<WordTiming>{}),
                                segment(4.2f, 61.25f, " can do — für dich"), segment(3725.5f, 3727.0f, " for you.")},
                               "en");
}

TEST(DataModelWriters, TimeFormat) {
    struct Case {
        float seconds;
        bool hours;
        const char* marker;
        const char* expected;
    };
    const std::vector<Case> cases = {
        {0.0f, true, ",", "00:00:00,000"}, {3600.0f, false, ".", "01:00:00.000"}, {3599.9995f, false, ".", "59:59.999"},
        {4.2f, false, ".", "00:04.199"},   {1.5f, true, ",", "00:00:01,500"},     {61.25f, false, ".", "01:01.250"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(ResultWriting::formatTime(c.seconds, c.hours, c.marker), c.expected) << c.seconds;
    EXPECT_EQ(ResultWriting::formatSegment(7, 1.5f, 2.0f, " Hi"), "7\n00:00:01,500 --> 00:00:02,000\n Hi\n\n");
    EXPECT_EQ(ResultWriting::formatTiming(1.5f, 3725.5f, "Hi"), "00:01.500 --> 01:02:05.500\nHi\n\n");
}

TEST(DataModelWriters, SubtitleFilesHaveTheirEntries) {
    norvel::test::TemporaryDirectory folder;
    const std::string srt =
        norvel::test::readText(pathOf(WriteSRT(folder.path().string()).write(sampleResult(), "talk")));
    EXPECT_EQ(srt,
              "1\n00:00:00,500 --> 00:00:01,000\n Ask\n\n"
              "2\n00:00:01,000 --> 00:00:01,250\n not\n\n"
              "3\n00:00:01,250 --> 00:00:02,000\n what\n\n"
              "4\n00:00:02,000 --> 00:00:04,199\n your country\n\n"
              "5\n00:00:04,199 --> 00:01:01,250\n can do — für dich\n\n"
              "6\n01:02:05,500 --> 01:02:07,000\n for you.\n\n");
    const std::string vtt =
        norvel::test::readText(pathOf(WriteVTT(folder.path().string()).write(sampleResult(), "talk")));
    EXPECT_EQ(vtt,
              "WEBVTT\n\n"
              "00:00.500 --> 00:01.000\n Ask\n\n"
              "00:01.000 --> 00:01.250\n not\n\n"
              "00:01.250 --> 00:02.000\n what\n\n"
              "00:02.000 --> 00:04.199\n your country\n\n"
              "00:04.199 --> 01:01.250\n can do — für dich\n\n"
              "01:02:05.500 --> 01:02:07.000\n for you.\n\n");

    // A result without segments.
    TranscriptionResult empty;
    EXPECT_EQ(norvel::test::readText(pathOf(WriteSRT(folder.path().string()).write(empty, "empty"))), "");
    EXPECT_EQ(norvel::test::readText(pathOf(WriteVTT(folder.path().string()).write(empty, "empty"))), "WEBVTT\n\n");
    // Only the finished files are left in the folder.
    std::size_t files = 0;
    for (const auto& entry : fs::directory_iterator(folder.path())) {
        EXPECT_NE(entry.path().extension(), ".partial");
        ++files;
    }
    EXPECT_EQ(files, 4u);
}

struct Cue {
    std::int64_t startMs;
    std::int64_t endMs;
    std::string text;
    bool operator==(const Cue&) const = default;
};

std::ostream& operator<<(std::ostream& out, const Cue& cue) {
    return out << "[" << cue.startMs << ", " << cue.endMs << ") \"" << cue.text << "\"";
}

// The cues as the media library's own demuxer for `format` reads them.
std::vector<Cue> demuxCues(const std::string& path, const char* format) {
    AVFormatContext* context = nullptr;
    AVDictionary* options = nullptr;
    av_dict_set(&options, "protocol_whitelist", "file", 0);
    const int opened = avformat_open_input(&context, path.c_str(), av_find_input_format(format), &options);
    av_dict_free(&options);
    EXPECT_EQ(opened, 0) << "cannot open " << path;
    if (opened != 0) return {};
    EXPECT_GE(avformat_find_stream_info(context, nullptr), 0);
    EXPECT_EQ(context->nb_streams, 1u);
    std::vector<Cue> cues;
    AVPacket* packet = av_packet_alloc();
    int status;
    while ((status = av_read_frame(context, packet)) >= 0) {
        const AVRational base = context->streams[packet->stream_index]->time_base;
        const AVRational ms{1, 1000};
        std::string text(reinterpret_cast<const char*>(packet->data), static_cast<std::size_t>(packet->size));
        while (!text.empty() && (text.back() == '\n' || text.back() == '\r' || text.back() == '\0')) text.pop_back();
        cues.push_back(
            {av_rescale_q(packet->pts, base, ms), av_rescale_q(packet->pts + packet->duration, base, ms), text});
        av_packet_unref(packet);
    }
    EXPECT_EQ(status, AVERROR_EOF);
    av_packet_free(&packet);
    avformat_close_input(&context);
    return cues;
}

TEST(DataModelWriters, SubtitleFilesReadBackThroughTheMediaLibrary) {
    norvel::test::TemporaryDirectory folder;
    const TranscriptionResult result = sampleResult();
    // The demuxers trim the leading blank that each decoded text carries.
    const std::vector<Cue> expected = {
        {500, 1000, "Ask"},
        {1000, 1250, "not"},
        {1250, 2000, "what"},
        {2000, 4199, "your country"},
        {4199, 61250, "can do — für dich"},
        {3725500, 3727000, "for you."},
    };
    auto trimmed = [](std::vector<Cue> cues) {
        for (auto& cue : cues) {
            while (!cue.text.empty() && cue.text.front() == ' ') cue.text.erase(cue.text.begin());
        }
        return cues;
    };
    EXPECT_EQ(trimmed(demuxCues(pathOf(WriteSRT(folder.path().string()).write(result, "talk")), "srt")), expected);
    EXPECT_EQ(trimmed(demuxCues(pathOf(WriteVTT(folder.path().string()).write(result, "talk")), "webvtt")), expected);
}

TEST(DataModelWriters, JsonFileAndFailures) {
    norvel::test::TemporaryDirectory folder;
    const TranscriptionResult result = sampleResult();
    const std::string path = pathOf(WriteJSON(folder.path().string()).write(result, "talk"));
    EXPECT_EQ(fs::path(path).filename(), "talk.json");
    const Json written = Json::parse(norvel::test::readText(path));
    EXPECT_EQ(TranscriptionResult::decode(written)->segments(), result.segments());
    EXPECT_NE(norvel::test::readText(path).find("\n  \"segments\""), std::string::npos);  // pretty-printed

    // A folder that does not exist: a failure, and nothing written.
    const fs::path missing = folder.path() / "missing";
    std::vector<std::unique_ptr<ResultWriting>> writers;
    writers.push_back(std::make_unique<WriteJSON>(missing.string()));
    writers.push_back(std::make_unique<WriteSRT>(missing.string()));
    writers.push_back(std::make_unique<WriteVTT>(missing.string()));
    for (const auto& writer : writers) {
        EXPECT_TRUE(std::holds_alternative<std::exception_ptr>(writer->write(result, "talk")));
    }
    EXPECT_FALSE(fs::exists(missing));

    // A compression ratio that is not finite fails the JSON write with the field named, and no
    // file is left behind.
    auto segments = result.segments();
    segments[1].compressionRatio = std::numeric_limits<float>::infinity();
    TranscriptionResult broken("", segments, "en");
    const auto outcome = WriteJSON(folder.path().string()).write(broken, "broken");
    ASSERT_TRUE(std::holds_alternative<std::exception_ptr>(outcome));
    try {
        std::rethrow_exception(std::get<std::exception_ptr>(outcome));
    } catch (const EncodingError& error) {
        EXPECT_EQ(error.codingPath(), (std::vector<std::string>{"segments", "Index 1", "compressionRatio"}));
    }
    EXPECT_FALSE(fs::exists(folder.path() / "broken.json"));
    EXPECT_EQ(std::distance(fs::directory_iterator(folder.path()), fs::directory_iterator()), 1);

    // The URL of a name with a blank is percent-encoded.
    const auto url = std::get<std::string>(WriteVTT(folder.path().string()).write(result, "my talk"));
    EXPECT_NE(url.find("my%20talk.vtt"), std::string::npos);
}

TEST(DataModelCompressionRatio, TokensAndTexts) {
    // 4 bytes per token over the raw DEFLATE size at level 5.
    const std::vector<int> repeated(200, 50364);
    EXPECT_GT(TextUtilities::compressionRatio(repeated), 2.4f * 10);
    std::vector<int> varied;
    for (int i = 0; i < 64; ++i) varied.push_back(i * 797 % 50000);
    const float variedRatio = TextUtilities::compressionRatio(varied);
    EXPECT_GT(variedRatio, 0.5f);
    EXPECT_LT(variedRatio, 2.4f);
    // A single token: 4 bytes stored in a 9-byte stored/fixed block, well below 1.
    EXPECT_LT(TextUtilities::compressionRatio(std::vector<int>{440}), 1.0f);
    EXPECT_EQ(TextUtilities::compressionRatio(std::vector<int>{}), 0.0f);
    EXPECT_EQ(TextUtilities::compressionRatio(std::string()), std::numeric_limits<float>::infinity());
    const std::string loop = [] {
        std::string text;
        for (int i = 0; i < 40; ++i) text += "so so so ";
        return text;
    }();
    EXPECT_GT(TextUtilities::compressionRatio(loop), 2.4f);
}

}  // namespace
}  // namespace murmex
