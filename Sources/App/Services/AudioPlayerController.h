#pragma once

#include "App/Model/NorvelError.h"

#include <QObject>
#include <QString>
#include <QTimer>

#include <functional>
#include <memory>
#include <optional>

namespace norvel {

// The platform's player of one audio file.
class AudioOutput {
public:
    virtual ~AudioOutput() = default;
    // Seconds of audio in the file.
    virtual double duration() const = 0;
    // The playback position in seconds.
    virtual double position() const = 0;
    virtual void setPosition(double seconds) = 0;
    // Starts playing; throws a NorvelError saying why when the audio cannot be played (no
    // output device, a device that refuses the audio).
    virtual void play() = 0;
    virtual void pause() = 0;
    virtual void stop() = 0;
    // False once paused, stopped or at the end of the audio.
    virtual bool isPlaying() const = 0;
};

// Plays back the audio of the transcript just made, from any point. Owns the prepared WAV
// file it was given and deletes it when the next file is loaded, the audio is released or the
// controller goes. Audio that cannot be played becomes its issue. Lives on the GUI thread.
class AudioPlayerController : public QObject {
    Q_OBJECT
    Q_PROPERTY(bool hasAudio READ hasAudio NOTIFY hasAudioChanged)
    Q_PROPERTY(bool isPlaying READ isPlaying NOTIFY isPlayingChanged)
    Q_PROPERTY(double currentTime READ currentTime NOTIFY currentTimeChanged)
    Q_PROPERTY(std::optional<norvel::NorvelError> issue READ issue NOTIFY issueChanged)

public:
    // Makes the player of a file; null when the file cannot be played.
    using OutputFactory = std::function<std::unique_ptr<AudioOutput>(const QString& path)>;

    // Plays through the system's default audio output.
    explicit AudioPlayerController(QObject* parent = nullptr);
    // Plays through outputs made by `factory` (tests use a silent one).
    AudioPlayerController(OutputFactory factory, QObject* parent = nullptr);
    ~AudioPlayerController() override;

    bool hasAudio() const { return hasAudio_; }
    bool isPlaying() const { return isPlaying_; }
    double currentTime() const { return currentTime_; }
    // Why the audio could not be played the last time Play was pressed; cleared by a play
    // that starts and by the banner's dismissal.
    const std::optional<NorvelError>& issue() const { return issue_; }
    void clearIssue();
    // The loaded file, owned by the controller.
    std::optional<QString> currentUrl() const { return currentUrl_; }

    // Replaces the loaded audio with the file, deleting the previous file. A file that cannot
    // be played leaves the controller empty and is deleted as well, since it was handed over.
    void load(const QString& path);
    // Starts playing at the time, clamped to the audio; nothing without audio. When the audio
    // cannot be played, nothing plays and the reason becomes the issue.
    void play(double from);
    void pause();
    // Stops and rewinds the published position to 0.
    void stop();
    // Stops, drops the player and deletes the file: a stored transcript has no audio.
    void release();

    // The platform player of a 16 kHz mono 16-bit WAV file made by audio preparation.
    static std::unique_ptr<AudioOutput> makeSystemOutput(const QString& path);

    static constexpr int tickMilliseconds = 100;

Q_SIGNALS:
    void hasAudioChanged();
    void isPlayingChanged();
    void currentTimeChanged();
    void issueChanged();

private:
    void removeCurrentFile();
    void startTicking();
    void tick();
    void setHasAudio(bool value);
    void setIsPlaying(bool value);
    void setCurrentTime(double value);
    void setIssue(std::optional<NorvelError> value);

    OutputFactory factory_;
    std::unique_ptr<AudioOutput> player_;
    std::optional<QString> currentUrl_;
    QTimer ticker_;
    bool hasAudio_ = false;
    bool isPlaying_ = false;
    double currentTime_ = 0;
    std::optional<NorvelError> issue_;
};

}  // namespace norvel
