#pragma once

#include "App/Model/NorvelError.h"

#include <QElapsedTimer>
#include <QObject>
#include <QString>
#include <QTimer>
#include <QUrl>

#include <functional>
#include <memory>
#include <optional>

namespace norvel {

class CafWriter;

// Whether the application may use the microphone.
enum class MicrophonePermission { notDetermined, restricted, denied, authorized, unknown };

// The system's microphone permission. The desktop grants it to every application unless a
// sandbox says otherwise, so the standard one answers `authorized`.
class MicrophoneAccess {
public:
    virtual ~MicrophoneAccess() = default;
    virtual MicrophonePermission status() const = 0;
    // Asks the user; `answer` is called on the GUI thread with whether access was granted.
    virtual void request(std::function<void(bool granted)> answer) = 0;
};

// The default microphone while it records. Buffers arrive as interleaved 32-bit floats on
// the GUI thread; after `stop` returns no buffer arrives any more.
class AudioCapture {
public:
    struct Format {
        double sampleRate = 0;
        int channels = 0;
    };
    using BufferHandler = std::function<void(const float* interleaved, int frames)>;

    virtual ~AudioCapture() = default;
    // The device's own rate and channel count.
    virtual Format format() const = 0;
    // Starts capturing; throws std::runtime_error (or a system error) when it cannot.
    virtual void start(BufferHandler onBuffer) = 0;
    virtual void stop() = 0;
};

// Records the default microphone into a temporary CAF file, with a level meter and a clock,
// and hands the file over when stopped. Lives on the GUI thread.
class Recorder : public QObject {
    Q_OBJECT
    Q_PROPERTY(bool isRecording READ isRecording NOTIFY isRecordingChanged)
    Q_PROPERTY(double level READ level NOTIFY levelChanged)
    Q_PROPERTY(double seconds READ seconds NOTIFY secondsChanged)
    Q_PROPERTY(std::optional<norvel::NorvelError> issue READ issue NOTIFY issueChanged)
    Q_PROPERTY(bool issueNeedsSettings READ issueNeedsSettings NOTIFY issueNeedsSettingsChanged)

public:
    // The default input device, or null when there is none.
    using CaptureFactory = std::function<std::unique_ptr<AudioCapture>()>;

    // Records the system's default input.
    explicit Recorder(QObject* parent = nullptr);
    // Records through other devices and permission, into another folder (tests use all three).
    Recorder(std::shared_ptr<MicrophoneAccess> access, CaptureFactory capture, QString temporaryFolder,
             QObject* parent = nullptr);
    ~Recorder() override;

    bool isRecording() const { return isRecording_; }
    // The input level from 0 (−60 dBFS and below) to 1 (0 dBFS), per captured buffer.
    double level() const { return level_; }
    // Length of the current (or last) recording, updated every 200 ms.
    double seconds() const { return seconds_; }
    const std::optional<NorvelError>& issue() const { return issue_; }
    // The banner should offer the system's settings with the issue.
    bool issueNeedsSettings() const { return issueNeedsSettings_; }
    // Whether a start waits for the permission answer.
    bool isStarting() const { return starting_; }

    // Checks the permission and starts recording, or publishes an issue. A start while one is
    // under way or a recording runs does nothing.
    void start();
    // Ends the recording and returns its finished file, which the caller now owns; nothing
    // when no recording runs.
    std::optional<QString> stop();
    // The banner's dismissal; also drops the settings offer.
    void clearIssue();

    // The system's microphone settings; empty where the desktop offers no such link.
    static QUrl settingsUrl();
    // The level of one buffer of float samples (its first channel): (20·log10(rms) + 60) / 60,
    // clamped to 0…1, with the rms floored at 0.00001.
    static double levelOf(const float* interleaved, int frames, int channels);
    // The standard capture of the system's default input device; null when there is none.
    static std::unique_ptr<AudioCapture> makeSystemCapture();

Q_SIGNALS:
    void isRecordingChanged();
    void levelChanged();
    void secondsChanged();
    void issueChanged();
    void issueNeedsSettingsChanged();

private:
    void continueStart();
    void teardown();
    void publishIssue(NorvelError issue, bool needsSettings);
    void setIsRecording(bool value);
    void setLevel(double value);
    void setSeconds(double value);

    std::shared_ptr<MicrophoneAccess> access_;
    CaptureFactory captureFactory_;
    QString temporaryFolder_;

    bool isRecording_ = false;
    double level_ = 0;
    double seconds_ = 0;
    std::optional<NorvelError> issue_;
    bool issueNeedsSettings_ = false;

    std::unique_ptr<AudioCapture> capture_;
    std::unique_ptr<CafWriter> writer_;
    bool starting_ = false;
    std::optional<QString> fileUrl_;
    QElapsedTimer startedAt_;
    QTimer clock_;
};

}  // namespace norvel
