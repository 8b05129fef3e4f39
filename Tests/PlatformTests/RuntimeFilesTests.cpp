#include "Platform/ML/Conversion/MelFilterbank.h"
#include "Platform/ML/MLError.h"
#include "Platform/ML/Runtime/NumpyFile.h"
#include "Platform/ML/Runtime/SafeTensors.h"
#include "Support/Files.h"
#include "Support/Fixtures.h"

#include <gtest/gtest.h>

#include <sys/stat.h>

#include <cmath>
#include <cstring>
#include <fstream>

namespace {

using namespace platform;
using namespace platform::runtime;
using norvel::test::TemporaryDirectory;

using norvel::test::readText;
using norvel::test::writeText;

std::string repeated(const std::string& text, std::size_t times) {
    std::string all;
    all.reserve(text.size() * times);
    for (std::size_t i = 0; i < times; ++i) all += text;
    return all;
}

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
        const char* mentions = "";
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
        {"a name given twice",
         withHeader(R"({"t":{"dtype":"F32","shape":[1],"data_offsets":[0,4]},)"
                    R"("t":{"dtype":"F32","shape":[1],"data_offsets":[4,8]}})",
                    std::string(8, '\0')),
         "the header names tensor \"t\" twice"},
        {"two tensors sharing bytes",
         withHeader(R"({"a":{"dtype":"F32","shape":[2],"data_offsets":[0,8]},)"
                    R"("b":{"dtype":"F32","shape":[2],"data_offsets":[4,12]}})",
                    std::string(12, '\0')),
         "tensors \"a\" and \"b\" share bytes"},
        {"nine dimensions",
         withHeader(R"({"t":{"dtype":"F32","shape":[1,1,1,1,1,1,1,1,1],"data_offsets":[0,4]}})", std::string(4, '\0')),
         "has 9 dimensions, more than 8"},
        {"a shape of twenty million dimensions",
         withHeader(R"({"t":{"dtype":"F32","shape":[)" + repeated("1,", 20'000'000) + R"(1],"data_offsets":[0,4]}})",
                    std::string(4, '\0')),
         "more than the 4 MiB"},
        {"a header of five megabytes", withHeader("{}" + std::string(5 << 20, ' '), ""), "more than the 4 MiB"},
        {"a name of a megabyte with an unknown dtype",
         withHeader(R"({")" + std::string(1 << 20, 'n') + R"(":{"dtype":"F8","shape":[2],"data_offsets":[0,8]}})",
                    std::string(8, '\0')),
         "has an unknown dtype"},
    };
    for (const auto& c : cases) {
        writeText(dir / "bad.safetensors", c.bytes);
        try {
            SafeTensorsFile::open(dir / "bad.safetensors");
            ADD_FAILURE() << c.what << " was accepted";
        } catch (const MLError& error) {
            EXPECT_EQ(error.code(), MLError::Code::invalidModel) << c.what;
            EXPECT_NE(std::string(error.what()).find(c.mentions), std::string::npos) << c.what << ": " << error.what();
            EXPECT_LT(std::strlen(error.what()), 600u) << c.what << ": a message quotes no value at length";
        }
    }
    // Tensors side by side and empty tensors anywhere share nothing.
    writeText(dir / "adjacent.safetensors", withHeader(R"({"a":{"dtype":"F32","shape":[1],"data_offsets":[0,4]},)"
                                                       R"("e":{"dtype":"F32","shape":[0],"data_offsets":[2,2]},)"
                                                       R"("b":{"dtype":"F32","shape":[1],"data_offsets":[4,8]}})",
                                                       std::string(8, '\0')));
    EXPECT_NO_THROW(SafeTensorsFile::open(dir / "adjacent.safetensors"));
    // A FIFO is refused at once, not waited on for a writer.
    ASSERT_EQ(::mkfifo((dir / "fifo.safetensors").c_str(), 0644), 0);
    EXPECT_THROW(SafeTensorsFile::open(dir / "fifo.safetensors"), MLError);
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
    // A header of version 2 (a four-byte length) around any header text.
    const auto withNumpyHeader = [](const std::string& header, const std::string& data) {
        std::string bytes = "\x93NUMPY\x02";
        bytes.push_back('\0');
        for (int i = 0; i < 4; ++i) bytes.push_back(static_cast<char>((header.size() >> (8 * i)) & 0xFF));
        return bytes + header + data;
    };
    struct Case {
        const char* what;
        std::string bytes;
        const char* mentions;
    };
    const Case cases[] = {
        {"no signature", "NUMPY", "no .npy signature"},
        {"truncated header", good.substr(0, 30), "truncated header"},
        {"truncated data", good.substr(0, good.size() - 1), "data shorter than its shape"},
        {"an unknown element type", std::string(good).replace(good.find("|i1"), 3, "<c8"), "unsupported element type"},
        {"a descr of 200 kilobytes",
         withNumpyHeader("{'descr': '" + std::string(200'000, 'f') + "', 'fortran_order': False, 'shape': (2,), }\n",
                         ""),
         "unsupported element type"},
        {"40000 by 40000 declared, 8 bytes given",
         withNumpyHeader("{'descr': '<f4', 'fortran_order': False, 'shape': (40000, 40000), }\n", std::string(8, '\0')),
         "data shorter than its shape"},
        {"a shape whose elements overflow",
         withNumpyHeader("{'descr': '<f4', 'fortran_order': False, 'shape': (2147483647, 2147483647, 2147483647), }\n",
                         ""),
         "a shape of more elements than memory holds"},
        {"an unterminated shape", withNumpyHeader("{'descr': '<f4', 'fortran_order': False, 'shape': (2, 3", ""),
         "an unterminated value"},
    };
    for (const auto& c : cases) {
        writeText(dir / "bad.npy", c.bytes);
        try {
            readNumpyFile(dir / "bad.npy");
            ADD_FAILURE() << c.what << " was accepted";
        } catch (const MLError& error) {
            EXPECT_NE(std::string(error.what()).find(c.mentions), std::string::npos) << c.what << ": " << error.what();
            EXPECT_LT(std::strlen(error.what()), 600u) << c.what;
        }
    }
    ASSERT_EQ(::mkfifo((dir / "fifo.npy").c_str(), 0644), 0);
    EXPECT_THROW(readNumpyFile(dir / "fifo.npy"), MLError);
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
