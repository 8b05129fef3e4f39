#include "App/Services/Recorder.h"

#include "App/Model/AppPaths.h"
#include "App/Services/CafWriter.h"
#include "App/Texts.h"

#include <QAudioDevice>
#include <QAudioFormat>
#include <QAudioSource>
#include <QDir>
#include <QFile>
#include <QMediaDevices>
#include <QPointer>
#include <QUuid>

#include <algorithm>
#include <cmath>
#include <stdexcept>
#include <vector>

namespace norvel {

namespace {

class DesktopMicrophoneAccess : public MicrophoneAccess {
public:
    MicrophonePermission status() const override { return MicrophonePermission::authorized; }
    void request(std::function<void(bool)> answer) override { answer(true); }
};

// The default input through Qt Multimedia, read on the GUI thread as it fills.
class SystemCapture : public AudioCapture {
public:
    explicit SystemCapture(const QAudioDevice& device) : device_(device) {
        format_ = device_.preferredFormat();
        QAudioFormat asFloat = format_;
        asFloat.setSampleFormat(QAudioFormat::Float);
        if (device_.isFormatSupported(asFloat)) format_ = asFloat;
    }

    ~SystemCapture() override { stop(); }

    Format format() const override { return {double(format_.sampleRate()), format_.channelCount()}; }

    void start(BufferHandler onBuffer) override {
        source_ = std::make_unique<QAudioSource>(device_, format_);
        source_->setBufferSize(4096 * format_.bytesPerFrame());
        QIODevice* input = source_->start();
        if (input == nullptr || source_->error() != QAudio::NoError) {
            const int code = int(source_->error());
            source_.reset();
            throw std::runtime_error("QAudioSource::start failed (error " + std::to_string(code) + ")");
        }
        handler_ = std::move(onBuffer);
        QObject::connect(input, &QIODevice::readyRead, input, [this, input] { read(*input); });
    }

    void stop() override {
        if (!source_) return;
        source_->stop();
        source_.reset();
        handler_ = nullptr;
    }

private:
    void read(QIODevice& input) {
        const QByteArray bytes = input.readAll();
        const int frameBytes = format_.bytesPerFrame();
        if (!handler_ || frameBytes <= 0) return;
        const int frames = int(bytes.size() / frameBytes);
        if (frames <= 0) return;
        const int count = frames * format_.channelCount();
        samples_.resize(std::size_t(count));
        for (int i = 0; i < count; ++i) {
            samples_[std::size_t(i)] = format_.normalizedSampleValue(bytes.constData() + i * format_.bytesPerSample());
        }
        handler_(samples_.data(), frames);
    }

    QAudioDevice device_;
    QAudioFormat format_;
    std::unique_ptr<QAudioSource> source_;
    BufferHandler handler_;
    std::vector<float> samples_;
};

}  // namespace

std::unique_ptr<AudioCapture> Recorder::makeSystemCapture() {
    const QAudioDevice device = QMediaDevices::defaultAudioInput();
    if (device.isNull()) return nullptr;
    return std::make_unique<SystemCapture>(device);
}

QUrl Recorder::settingsUrl() { return {}; }

double Recorder::levelOf(const float* interleaved, int frames, int channels) {
    if (frames <= 0 || channels <= 0 || interleaved == nullptr) return 0;
    float sum = 0;
    for (int i = 0; i < frames; ++i) {
        const float sample = interleaved[std::size_t(i) * std::size_t(channels)];
        sum += sample * sample;
    }
    const float rms = std::sqrt(sum / float(frames));
    const float level = (20.0f * std::log10(std::max(rms, 0.00001f)) + 60.0f) / 60.0f;
    return double(std::clamp(level, 0.0f, 1.0f));
}

Recorder::Recorder(QObject* parent)
    : Recorder(std::make_shared<DesktopMicrophoneAccess>(), &Recorder::makeSystemCapture, AppPaths::temporaryFolder(),
               parent) {}

Recorder::Recorder(std::shared_ptr<MicrophoneAccess> access, CaptureFactory capture, QString temporaryFolder,
                   QObject* parent)
    : QObject(parent),
      access_(std::move(access)),
      captureFactory_(std::move(capture)),
      temporaryFolder_(std::move(temporaryFolder)) {
    clock_.setInterval(200);
    connect(&clock_, &QTimer::timeout, this, [this] { setSeconds(double(startedAt_.elapsed()) / 1000.0); });
    startedAt_.start();
}

Recorder::~Recorder() {
    teardown();
    writer_.reset();
}

void Recorder::setIsRecording(bool value) {
    if (isRecording_ == value) return;
    isRecording_ = value;
    Q_EMIT isRecordingChanged();
}

void Recorder::setLevel(double value) {
    if (level_ == value) return;
    level_ = value;
    Q_EMIT levelChanged();
}

void Recorder::setSeconds(double value) {
    if (seconds_ == value) return;
    seconds_ = value;
    Q_EMIT secondsChanged();
}

void Recorder::publishIssue(NorvelError issue, bool needsSettings) {
    issue_ = std::move(issue);
    Q_EMIT issueChanged();
    if (issueNeedsSettings_ != needsSettings) {
        issueNeedsSettings_ = needsSettings;
        Q_EMIT issueNeedsSettingsChanged();
    }
}

void Recorder::clearIssue() {
    issue_.reset();
    Q_EMIT issueChanged();
    if (issueNeedsSettings_) {
        issueNeedsSettings_ = false;
        Q_EMIT issueNeedsSettingsChanged();
    }
}

void Recorder::start() {
    if (isRecording_ || starting_) return;
    starting_ = true;
    clearIssue();
    const auto general = [](const char* message, const char* details) {
        return NorvelError(NorvelError::Kind::general, Texts::q(message), Texts::q(details));
    };
    switch (access_->status()) {
        case MicrophonePermission::notDetermined: {
            QPointer<Recorder> self(this);
            access_->request([self, general](bool granted) {
                if (!self) return;
                if (granted) return self->continueStart();
                self->publishIssue(general(Texts::micNotAllowed, Texts::micNotAllowedDetails), true);
                self->starting_ = false;
            });
            return;
        }
        case MicrophonePermission::restricted:
            publishIssue(general(Texts::micRestricted, Texts::micRestrictedDetails), true);
            break;
        case MicrophonePermission::denied:
            publishIssue(general(Texts::micDenied, Texts::micDeniedDetails), true);
            break;
        case MicrophonePermission::authorized: return continueStart();
        case MicrophonePermission::unknown:
            publishIssue(general(Texts::micUnknownStatus, Texts::micUnknownStatusDetails), true);
            break;
    }
    starting_ = false;
}

void Recorder::continueStart() {
    struct Done {
        bool& flag;
        ~Done() { flag = false; }
    } done{starting_};

    capture_ = captureFactory_ ? captureFactory_() : nullptr;
    if (!capture_) {
        publishIssue(NorvelError(NorvelError::Kind::general, Texts::q(Texts::noMicrophone),
                                 Texts::q(Texts::noMicrophoneDetails)),
                     false);
        return;
    }
    const AudioCapture::Format format = capture_->format();
    if (!(format.sampleRate > 0) || format.channels <= 0) {
        teardown();
        publishIssue(NorvelError(NorvelError::Kind::general, Texts::q(Texts::micNotReady),
                                 Texts::micNotReadyDetails(format.sampleRate, format.channels)),
                     false);
        return;
    }

    const QString path =
        QDir(temporaryFolder_)
            .filePath(QStringLiteral("Recording-") + QUuid::createUuid().toString(QUuid::WithoutBraces).toUpper() +
                      QStringLiteral(".caf"));
    try {
        writer_ = std::make_unique<CafWriter>(path, format.sampleRate, format.channels);
        QPointer<Recorder> self(this);
        CafWriter* writer = writer_.get();
        const int channels = format.channels;
        capture_->start([self, writer, channels](const float* samples, int frames) {
            if (!self || self->writer_.get() != writer) return;
            try {
                writer->write(samples, frames);
            } catch (const std::exception&) {
                return;  // the recording goes on without this buffer
            }
            self->setLevel(levelOf(samples, frames, channels));
        });
    } catch (...) {
        const std::exception_ptr failure = std::current_exception();
        teardown();
        writer_.reset();
        QFile::remove(path);
        const NorvelError mapped = NorvelError::from(failure);
        QString description;
        try {
            std::rethrow_exception(failure);
        } catch (const std::exception& e) {
            description = QString::fromUtf8(e.what());
        } catch (...) {}
        publishIssue(NorvelError(NorvelError::Kind::general,
                                 mapped.kind() == NorvelError::Kind::diskFull
                                     ? mapped.message()
                                     : Texts::q(Texts::recordingCouldNotStartPrefix) + description,
                                 mapped.details()),
                     false);
        return;
    }
    fileUrl_ = path;
    startedAt_.start();
    setSeconds(0);
    setIsRecording(true);
    clock_.start();
}

std::optional<QString> Recorder::stop() {
    if (!isRecording_) return std::nullopt;
    teardown();
    if (writer_) {
        try {
            writer_->finish();
        } catch (const std::exception&) {
            // The data size stays open ("until the end"), which readers accept.
        }
        writer_.reset();
    }
    std::optional<QString> url;
    url.swap(fileUrl_);
    return url;
}

void Recorder::teardown() {
    if (capture_) {
        capture_->stop();
        capture_.reset();
    }
    clock_.stop();
    setIsRecording(false);
    setLevel(0);
}

}  // namespace norvel
