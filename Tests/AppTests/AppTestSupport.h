#pragma once

#include <QByteArray>
#include <QCoreApplication>
#include <QElapsedTimer>
#include <QString>

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "Support/Ffmpeg.h"

namespace norvel::test {

// The whole content of a file (empty when it cannot be read).
QByteArray readAll(const QString& path);

// The 16-bit samples of a WAV file made by audio preparation (after its 44-byte header).
std::vector<std::int16_t> wavSamples(const QString& path);

// Root mean square of samples [first, first + count) scaled to [-1, 1].
double rms(const std::vector<std::int16_t>& samples, std::size_t first, std::size_t count);

// Runs the event loop until `done` answers true or `milliseconds` pass; returns `done()`.
bool waitUntil(const std::function<bool()>& done, int milliseconds = 20000);

}  // namespace norvel::test

#include <filesystem>

namespace norvel::test {

// A model folder as the runtime lays it out (the files hold nothing usable); `leaveOut` names
// a file that is not written, such as "TextDecoder.mlmodelc/weights.safetensors".
void makeModelFiles(const std::filesystem::path& folder, const std::string& leaveOut = {});

}  // namespace norvel::test
