#pragma once

// The audio every speech model takes, and how the models divide it: mono samples at one rate,
// in windows of a fixed length; the mel program steps one hop between frames and the encoder
// halves the frame count, so each encoder frame, and each step of a timestamp token, stands for
// two hops. Everything else about the window is derived from these.
namespace platform::audiowindow {

// Samples per second of all model input.
inline constexpr int sampleRate = 16000;
// Samples per mel frame.
inline constexpr int hopLength = 160;
// Seconds of one window.
inline constexpr int seconds = 30;

// Samples of one window (480000).
inline constexpr int samples = seconds * sampleRate;
// Mel frames of one window (3000).
inline constexpr int melFrames = samples / hopLength;
// Encoder frames of one window (1500).
inline constexpr int encoderFrames = melFrames / 2;
// Seconds per encoder frame, which is also the step of one timestamp token: 0.02, rounded
// once to single precision as the quotient of two exact values.
inline constexpr float secondsPerEncoderFrame = static_cast<float>(2 * hopLength) / static_cast<float>(sampleRate);

static_assert(samples % hopLength == 0 && melFrames % 2 == 0);

}  // namespace platform::audiowindow
