#include "Platform/ML/Conversion/MelFilterbank.h"
#include "Platform/ML/MLError.h"
#include "Platform/ML/Runtime/NumpyFile.h"
#include "Platform/ML/Runtime/SafeTensors.h"
#include "Support/Files.h"
#include "Support/Fixtures.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <fstream>

namespace {

using namespace platform;
using namespace platform::runtime;
using norvel::test::TemporaryDirectory;

using norvel::test::readText;
using norvel::test::writeText;

std::string withHeader(const std::string& json, const std::string& data) {
    std::string bytes(8, '\0');
    for (int i = 0; i < 8; ++i) bytes[static_cast<std::size_t>(i)] = static_cast<char>((json.size() >> (8 * i)) & 0xFF);
    return bytes + json + data;
}

TEST(SafeTensors, WrittenFilesReadBackWithMetadataAndAlignedData) {
    TemporaryDirectory dir;
    SafeTensorsWriter writer;
    writer.setMetadata("model.json", "{\"kind\": 1}");
    writer.addF32("a", {2, 3}, {1, 2, 3, 4, 5, 6});
    writer.addF16("b", {3}, {0.5f, -10000.0f, 65520.0f});
    writer.addBF16("c", {2}, {1.0f, 3.14159f});
    writer.addF32("empty", {0, 4}, {});
    writer.write(dir / "w.safetensors");
    EXPECT_FALSE(std::filesystem::exists(dir / "w.safetensors.partial"));

    auto file = SafeTensorsFile::open(dir / "w.safetensors");
    EXPECT_EQ(file->metadata().at("model.json"), "{\"kind\": 1}");
    const auto& a = file->require("a", {2, 3});
    EXPECT_EQ(a.dtype, TensorDType::F32);
    EXPECT_EQ(reinterpret_cast<std::uintptr_t>(a.data) % 64, 0u);
    EXPECT_EQ(a.toFloat(), (std::vector<float>{1, 2, 3, 4, 5, 6}));
    EXPECT_EQ(file->require("b", {3}).toFloat(), (std::vector<float>{0.5f, -10000.0f, INFINITY}));
    EXPECT_EQ(file->require("c", {2}).toFloat(), (std::vector<float>{1.0f, 3.140625f}));
    EXPECT_EQ(file->require("empty", {0, 4}).elementCount(), 0);
    EXPECT_THROW(file->require("a", {3, 2}), MLError);
    EXPECT_THROW(file->require("missing", {1}), MLError);
}

TEST(SafeTensors, MalformedOrTruncatedFilesAreErrorsNotCrashes) {
    TemporaryDirectory dir;
    SafeTensorsWriter writer;
    writer.addF32("weight", {4, 4}, std::vector<float>(16, 1.0f));
    writer.write(dir / "good.safetensors");
    const std::string good = readText(dir / "good.safetensors");

    struct Case {
        const char* what;
        std::string bytes;
    };
    const std::string tensor = R"("t":{"dtype":"F32","shape":[2],"data_offsets":[0,8]})";
    const Case cases[] = {
        {"empty file", ""},
        {"shorter than the length field", good.substr(0, 5)},
        {"truncated inside the header", good.substr(0, 20)},
        {"truncated inside the data", good.substr(0, good.size() - 10)},
        {"header length beyond the file", withHeader("{}", "").replace(0, 1, 1, '\x7f')},
        {"huge header length", std::string(7, '\xff') + '\x7f' + "{}"},
        {"header is not JSON", withHeader("{not json", "")},
        {"header is a list", withHeader("[1,2]", "")},
        {"unknown dtype", withHeader(R"({"t":{"dtype":"F8","shape":[2],"data_offsets":[0,8]}})", std::string(8, '\0'))},
        {"negative dimension",
         withHeader(R"({"t":{"dtype":"F32","shape":[-2],"data_offsets":[0,8]}})", std::string(8, '\0'))},
        {"size does not match the shape",
         withHeader(R"({"t":{"dtype":"F32","shape":[3],"data_offsets":[0,8]}})", std::string(8, '\0'))},
        {"offsets past the data", withHeader("{" + tensor + "}", std::string(4, '\0'))},
        {"reversed offsets",
         withHeader(R"({"t":{"dtype":"F32","shape":[0],"data_offsets":[8,0]}})", std::string(8, '\0'))},
        {"overflowing shape",
         withHeader(R"({"t":{"dtype":"F32","shape":[4294967296,4294967296],"data_offsets":[0,8]}})",
                    std::string(8, '\0'))},
        {"missing data_offsets", withHeader(R"({"t":{"dtype":"F32","shape":[2]}})", std::string(8, '\0'))},
        {"metadata not strings", withHeader(R"({"__metadata__":{"a":1}})", "")},
    };
    for (const auto& c : cases) {
        writeText(dir / "bad.safetensors", c.bytes);
        try {
            SafeTensorsFile::open(dir / "bad.safetensors");
            ADD_FAILURE() << c.what << " was accepted";
        } catch (const MLError& error) {
            EXPECT_EQ(error.code(), MLError::Code::invalidModel) << c.what;
        }
    }
    writeText(dir / "ok.safetensors", withHeader("{" + tensor + "}", std::string(8, '\0')));
    EXPECT_NO_THROW(SafeTensorsFile::open(dir / "ok.safetensors"));
    try {
        SafeTensorsFile::open(dir / "absent.safetensors");
        ADD_FAILURE() << "a missing file was accepted";
    } catch (const MLError& error) {
        EXPECT_EQ(error.code(), MLError::Code::modelNotFound);
    }
}

TEST(NumpyFile, RoundTripsEveryElementTypeAndRejectsBadFiles) {
    TemporaryDirectory dir;
    for (auto type : {MultiArrayDataType::float16, MultiArrayDataType::float32, MultiArrayDataType::float64,
                      MultiArrayDataType::int32, MultiArrayDataType::int8}) {
        MultiArray array({2, 1, 3}, type);
        for (int i = 0; i < 6; ++i) array.setValue(i, i - 2);
        writeNumpyFile(dir / "a.npy", array);
        MultiArray back = readNumpyFile(dir / "a.npy");
        EXPECT_EQ(back.shape(), array.shape());
        EXPECT_EQ(back.dataType(), type);
        for (int i = 0; i < 6; ++i) EXPECT_EQ(back.value(i), i - 2);
    }
    const std::string good = readText(dir / "a.npy");
    for (const std::string& bad : {std::string("NUMPY"), good.substr(0, 30), good.substr(0, good.size() - 1),
                                   std::string(good).replace(good.find("|i1"), 3, "<c8")}) {
        writeText(dir / "bad.npy", bad);
        EXPECT_THROW(readNumpyFile(dir / "bad.npy"), MLError);
    }
}

// The dimensions of a shape are read as plain decimal integers, whatever the locale; texts of
// the same length stand in for the written "(2,1,3)" so the header keeps its size.
TEST(NumpyFile, ReadsTheShapesDimensions) {
    TemporaryDirectory dir;
    writeNumpyFile(dir / "a.npy", MultiArray({2, 1, 3}, MultiArrayDataType::int8));
    const std::string good = readText(dir / "a.npy");
    const auto at = good.find("(2,1,3)");
    ASSERT_NE(at, std::string::npos);
    const std::vector<std::pair<std::string, bool>> cases = {
        {"(2,1,3)", true},   {"(2,+1,3)", true},  {"( 2,1,3)", true},   {"(2,1,\v3)", true},
        {"(2,-1,3)", false}, {"(2,1,3x)", false}, {"(2,1.0,3)", false}, {"(2,0x1,3)", false},
    };
    for (const auto& [shape, accepted] : cases) {
        std::string bytes = good;
        // Spaces of the header's padding make up for a longer text.
        bytes.replace(at, 7, shape);
        bytes.erase(bytes.find(" \n") - (shape.size() - 7), shape.size() - 7);
        writeText(dir / "shape.npy", bytes);
        if (accepted) {
            EXPECT_EQ(readNumpyFile(dir / "shape.npy").shape(), (std::vector<int>{2, 1, 3})) << shape;
        } else {
            EXPECT_THROW(readNumpyFile(dir / "shape.npy"), MLError) << shape;
        }
    }
}

TEST(MelFilterbank, MatchesTheReferenceFilterbanks) {
    for (int bands : {80, 128}) {
        const std::string bytes = readText(norvel::test::fixture("mel/mel_" + std::to_string(bands) + ".f32"));
        ASSERT_EQ(bytes.size(), static_cast<std::size_t>(bands) * 201 * 4);
        std::vector<float> expected(static_cast<std::size_t>(bands) * 201);
        std::memcpy(expected.data(), bytes.data(), bytes.size());
        const auto filters = platform::conversion::slaneyMelFilterbank(16000, 400, bands);
        ASSERT_EQ(filters.size(), expected.size());
        float worst = 0;
        for (std::size_t i = 0; i < filters.size(); ++i) worst = std::max(worst, std::fabs(filters[i] - expected[i]));
        EXPECT_LE(worst, 1e-6f) << bands << " bands";
    }
}

}  // namespace
