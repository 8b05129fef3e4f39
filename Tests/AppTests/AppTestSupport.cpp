#include "AppTestSupport.h"

#include <QFile>
#include <QThread>

#include <cmath>

namespace norvel::test {

QByteArray readAll(const QString& path) {
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) return {};
    return file.readAll();
}

std::vector<std::int16_t> wavSamples(const QString& path) {
    const QByteArray bytes = readAll(path);
    std::vector<std::int16_t> samples;
    for (qsizetype i = 44; i + 1 < bytes.size(); i += 2) {
        samples.push_back(
            std::int16_t(std::uint16_t(std::uint8_t(bytes[i])) | std::uint16_t(std::uint8_t(bytes[i + 1])) << 8));
    }
    return samples;
}

double rms(const std::vector<std::int16_t>& samples, std::size_t first, std::size_t count) {
    double sum = 0;
    std::size_t n = 0;
    for (std::size_t i = first; i < samples.size() && i < first + count; ++i, ++n) {
        const double value = samples[i] / 32768.0;
        sum += value * value;
    }
    return n == 0 ? 0 : std::sqrt(sum / double(n));
}

bool waitUntil(const std::function<bool()>& done, int milliseconds) {
    QElapsedTimer timer;
    timer.start();
    while (!done() && timer.elapsed() < milliseconds) {
        QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
        QThread::msleep(1);
    }
    return done();
}

}  // namespace norvel::test

#include <fstream>

namespace norvel::test {

void makeModelFiles(const std::filesystem::path& folder, const std::string& leaveOut) {
    for (const char* name : {"AudioEncoder", "MelSpectrogram", "TextDecoder"}) {
        for (const char* file : {"model.json", "weights.safetensors"}) {
            const std::string relative = std::string(name) + ".mlmodelc/" + file;
            if (relative == leaveOut) continue;
            std::filesystem::create_directories(folder / (std::string(name) + ".mlmodelc"));
            std::ofstream(folder / relative) << "x";
        }
    }
}

}  // namespace norvel::test
