#include "App/Services/AudioPlayerController.h"

#include "App/Services/AudioPrep.h"
#include "App/Texts.h"

#include <QAudioDevice>
#include <QAudioFormat>
#include <QAudioSink>
#include <QFile>
#include <QMediaDevices>

#include <algorithm>
#include <cmath>

namespace norvel {

namespace {

// Plays the PCM part of our WAV file through a sink fed from the file itself.
class SinkOutput : public AudioOutput {
public:
    static std::unique_ptr<SinkOutput> open(const QString& path) {
        auto output = std::unique_ptr<SinkOutput>(new SinkOutput(path));
        if (!output->file_.open(QIODevice::ReadOnly)) return nullptr;
        const QByteArray header = output->file_.read(44);
        if (header.size() != 44 || !header.startsWith("RIFF") || header.mid(8, 4) != "WAVE") return nullptr;
        // Only the form audio preparation writes: 16 kHz, one channel, 16-bit integers.
        const QByteArray expected = AudioPrep::wavHeader(0);
        if (header.mid(12, 24) != expected.mid(12, 24)) return nullptr;
        output->dataBytes_ = std::max<qint64>(0, output->file_.size() - 44) & ~qint64(1);
        return output;
    }

    double duration() const override { return double(dataBytes_) / AudioPrep::bytesPerSecond; }

    double position() const override {
        if (!sink_ || sink_->state() == QAudio::StoppedState) return std::min(start_, duration());
        // What the sink has taken, less what still waits in its buffer.
        const double queued = double(sink_->bufferSize() - sink_->bytesFree()) / AudioPrep::bytesPerSecond;
        const double played = double(sink_->processedUSecs()) / 1e6 - std::max(0.0, queued);
        return std::clamp(start_ + std::max(0.0, played), 0.0, duration());
    }

    void setPosition(double seconds) override {
        const bool wasPlaying = isPlaying();
        stop();
        start_ = std::clamp(seconds, 0.0, duration());
        if (wasPlaying) play();
    }

    void play() override {
        if (sink_ && sink_->state() == QAudio::SuspendedState) {
            sink_->resume();
            return;
        }
        QAudioFormat format;
        format.setSampleRate(AudioPrep::sampleRate);
        format.setChannelCount(1);
        format.setSampleFormat(QAudioFormat::Int16);
        const QAudioDevice device = QMediaDevices::defaultAudioOutput();
        if (device.isNull()) {
            throw NorvelError(NorvelError::Kind::general, Texts::q(Texts::noSoundOutput),
                              Texts::q(Texts::noSoundOutputDetails));
        }
        sink_ = std::make_unique<QAudioSink>(device, format);
        const qint64 offset = qint64(std::llround(start_ * AudioPrep::sampleRate)) * 2;
        file_.seek(44 + std::min(offset, dataBytes_));
        sink_->start(&file_);
        if (sink_->error() != QAudio::NoError) {
            const QAudio::Error error = sink_->error();
            sink_.reset();
            throw NorvelError(NorvelError::Kind::general, Texts::q(Texts::playbackFailed),
                              Texts::playbackFailedDetails(errorName(error)));
        }
    }

    void pause() override {
        if (sink_ && sink_->state() == QAudio::ActiveState) sink_->suspend();
    }

    void stop() override {
        if (!sink_) return;
        start_ = position();
        sink_->stop();
        sink_.reset();
    }

    bool isPlaying() const override {
        if (!sink_) return false;
        const QAudio::State state = sink_->state();
        if (state == QAudio::ActiveState) return true;
        // Idle before the end means the sink waits for data that is still coming.
        return state == QAudio::IdleState && file_.pos() < 44 + dataBytes_;
    }

private:
    explicit SinkOutput(const QString& path) : file_(path) {}

    static QString errorName(QAudio::Error error) {
        switch (error) {
            case QAudio::NoError: return QStringLiteral("NoError");
            case QAudio::OpenError: return QStringLiteral("OpenError");
            case QAudio::IOError: return QStringLiteral("IOError");
            case QAudio::UnderrunError: return QStringLiteral("UnderrunError");
            case QAudio::FatalError: return QStringLiteral("FatalError");
        }
        return QString::number(int(error));
    }

    QFile file_;
    qint64 dataBytes_ = 0;
    double start_ = 0;
    std::unique_ptr<QAudioSink> sink_;
};

}  // namespace

std::unique_ptr<AudioOutput> AudioPlayerController::makeSystemOutput(const QString& path) {
    return SinkOutput::open(path);
}

AudioPlayerController::AudioPlayerController(QObject* parent)
    : AudioPlayerController(&AudioPlayerController::makeSystemOutput, parent) {}

AudioPlayerController::AudioPlayerController(OutputFactory factory, QObject* parent)
    : QObject(parent), factory_(std::move(factory)) {
    ticker_.setInterval(tickMilliseconds);
    connect(&ticker_, &QTimer::timeout, this, &AudioPlayerController::tick);
}

AudioPlayerController::~AudioPlayerController() {
    // The file was handed to the controller, and nobody can play it once the controller goes.
    player_.reset();
    removeCurrentFile();
}

void AudioPlayerController::setHasAudio(bool value) {
    if (hasAudio_ == value) return;
    hasAudio_ = value;
    Q_EMIT hasAudioChanged();
}

void AudioPlayerController::setIsPlaying(bool value) {
    if (isPlaying_ == value) return;
    isPlaying_ = value;
    Q_EMIT isPlayingChanged();
}

void AudioPlayerController::setCurrentTime(double value) {
    if (currentTime_ == value) return;
    currentTime_ = value;
    Q_EMIT currentTimeChanged();
}

void AudioPlayerController::setIssue(std::optional<NorvelError> value) {
    issue_ = std::move(value);
    Q_EMIT issueChanged();
}

void AudioPlayerController::clearIssue() { setIssue(std::nullopt); }

void AudioPlayerController::load(const QString& path) {
    stop();
    player_.reset();
    removeCurrentFile();
    auto output = factory_ ? factory_(path) : nullptr;
    if (!output) {
        // The file was handed over to us; nobody else will delete it.
        QFile::remove(path);
        setHasAudio(false);
        return;
    }
    player_ = std::move(output);
    currentUrl_ = path;
    setHasAudio(true);
}

void AudioPlayerController::play(double from) {
    if (!player_) return;
    const double duration = player_->duration();
    const double start = std::isnan(from) ? 0.0 : std::clamp(from, 0.0, std::max(0.0, duration));
    player_->setPosition(start);
    try {
        player_->play();
    } catch (...) {
        setIsPlaying(false);
        setCurrentTime(start);
        ticker_.stop();
        setIssue(NorvelError::from(std::current_exception()));
        return;
    }
    if (issue_) clearIssue();
    setIsPlaying(true);
    setCurrentTime(player_->position());
    startTicking();
}

void AudioPlayerController::pause() {
    if (player_) player_->pause();
    setIsPlaying(false);
    ticker_.stop();
}

void AudioPlayerController::stop() {
    if (player_) player_->stop();
    setIsPlaying(false);
    setCurrentTime(0);
    ticker_.stop();
}

void AudioPlayerController::release() {
    stop();
    player_.reset();
    removeCurrentFile();
    setHasAudio(false);
}

void AudioPlayerController::removeCurrentFile() {
    if (currentUrl_) QFile::remove(*currentUrl_);
    currentUrl_.reset();
}

void AudioPlayerController::startTicking() {
    ticker_.stop();
    ticker_.start();
}

void AudioPlayerController::tick() {
    if (!player_) {
        ticker_.stop();
        return;
    }
    setCurrentTime(player_->position());
    if (!player_->isPlaying()) {
        setIsPlaying(false);
        ticker_.stop();
    }
}

}  // namespace norvel
