#pragma once

#include "Platform/IO/FileHandle.h"

#include <QString>

#include <cstdint>

namespace norvel {

// Writes interleaved 32-bit float samples into a Core Audio Format file as they arrive. The
// data chunk's size is left open (-1, "until the end of the file") while writing, so a
// recording cut short stays readable; `finish` writes the real size.
class CafWriter {
public:
    // Creates the file; throws std::filesystem::filesystem_error when it cannot.
    CafWriter(const QString& path, double sampleRate, int channels);
    CafWriter(const CafWriter&) = delete;
    CafWriter& operator=(const CafWriter&) = delete;

    // Appends `frames` frames; throws std::filesystem::filesystem_error when the write fails.
    void write(const float* interleaved, std::int64_t frames);
    // Writes the data size and closes the file; throws when that fails.
    void finish();

    std::int64_t framesWritten() const { return frames_; }

private:
    void writeAll(const void* data, std::size_t size);

    QString path_;
    platform::FileHandle fd_;
    int channels_;
    std::int64_t frames_ = 0;
    std::int64_t dataSizeOffset_ = 0;
};

}  // namespace norvel
