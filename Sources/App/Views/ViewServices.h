#pragma once

namespace norvel {

class AudioPlayerController;
class ModelStore;
class Recorder;
class Transcriber;
class TranscriptStore;

// The five services the views read and call.
struct ViewServices {
    Transcriber& transcriber;
    ModelStore& models;
    TranscriptStore& store;
    AudioPlayerController& player;
    Recorder& recorder;
};

}  // namespace norvel
