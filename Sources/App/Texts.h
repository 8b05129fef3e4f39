#pragma once

#include <QString>

// Every text Norvel shows to its user, in one place. Services and views take their words from
// here and nowhere else, so that the wording stays consistent and is checked once.
//
// The texts name this platform's own things: the file manager, this computer, the data folder
// by its real path, the system's sound settings, and the library call that failed.
namespace norvel::Texts {

// ---- Window ----
inline constexpr const char* appName = "Norvel";

// ---- First-run card ----
inline constexpr const char* welcomeTitle = "Welcome to Norvel";
// The privacy paragraph; `dataFolder` is the real data folder (AppPaths::root()).
QString welcomeBody(const QString& dataFolder);
inline constexpr const char* welcomeFootnote =
    "Recording uses the system's default microphone; you can choose another one in the system's sound settings. "
    "Models are downloaded once from the internet, then work offline.";
inline constexpr const char* gotIt = "Got it";
inline constexpr const char* openMicrophoneSettings = "Open Sound Settings";

// ---- Settings row ----
inline constexpr const char* modelLabel = "Model";
inline constexpr const char* downloaded = "Downloaded";
inline constexpr const char* deleteModel = "Delete model";
inline constexpr const char* downloadsFirstTime = "Downloads the first time you use it";
inline constexpr const char* languageLabel = "Language";
inline constexpr const char* translateToEnglish = "Translate to English";
// "Fast (tiny) · about 75 MB": a model's display name and size label as the picker shows them.
QString modelPickerEntry(const QString& displayName, const QString& sizeLabel);

// ---- Model choices ----
inline constexpr const char* modelFastName = "Fast (tiny)";
inline constexpr const char* modelBalancedName = "Balanced (base)";
inline constexpr const char* modelAccurateName = "Accurate (small)";
inline constexpr const char* modelBestName = "Best (large-v3 turbo)";
// The approximate size of each installed model.
inline constexpr const char* modelFastSize = "about 75 MB";
inline constexpr const char* modelBalancedSize = "about 147 MB";
inline constexpr const char* modelAccurateSize = "about 216 MB";
inline constexpr const char* modelBestSize = "about 954 MB";

// ---- Languages ----
inline constexpr const char* detectAutomatically = "Detect automatically";
// Recognizer code and name of each language the picker offers after automatic detection.
inline constexpr const char* languages[][2] = {
    {"en", "English"},    {"es", "Spanish"},   {"fr", "French"},  {"de", "German"}, {"it", "Italian"},
    {"pt", "Portuguese"}, {"nl", "Dutch"},     {"sv", "Swedish"}, {"pl", "Polish"}, {"tr", "Turkish"},
    {"ru", "Russian"},    {"uk", "Ukrainian"}, {"ar", "Arabic"},  {"hi", "Hindi"},  {"zh", "Chinese"},
    {"ja", "Japanese"},   {"ko", "Korean"},
};

// ---- Input row ----
inline constexpr const char* dropPrompt = "Drop an audio or video file here, or click to choose";
inline constexpr const char* supportedTypesCaption = "mp3, m4a, wav, aac, mp4, mov, m4v";
inline constexpr const char* record = "Record";
inline constexpr const char* stop = "Stop";
inline constexpr const char* microphone = "Microphone";

// ---- Progress panel ----
inline constexpr const char* preparingAudio = "Preparing audio…";
inline constexpr const char* downloadingModel = "Downloading model…";
inline constexpr const char* loadingModel = "Loading model…";
inline constexpr const char* transcribing = "Transcribing…";
inline constexpr const char* cancel = "Cancel";
// "Downloading Balanced (base) (about 147 MB)…"
QString downloadingNamedModel(const QString& displayName, const QString& sizeLabel);
// "Elapsed 1:15"
QString elapsed(const QString& clock);
// "Converting Fast (tiny) for this computer…": the downloaded model is turned into the form
// Norvel runs.
QString convertingNamedModel(const QString& displayName);

// ---- Issue banner ----
inline constexpr const char* downloadAgain = "Download again";
inline constexpr const char* dismiss = "Dismiss";
inline constexpr const char* showDetails = "Show Details";

// ---- Transcript view ----
inline constexpr const char* transcript = "Transcript";
inline constexpr const char* copyText = "Copy text";
inline constexpr const char* saveAs = "Save as…";
inline constexpr const char* exportTxt = "Plain text (.txt)";
inline constexpr const char* exportSrt = "Subtitles (.srt)";
inline constexpr const char* exportVtt = "Web subtitles (.vtt)";
inline constexpr const char* exportMd = "Markdown (.md)";
inline constexpr const char* transcriptPlaceholder = "Your transcript will appear here.";
inline constexpr const char* playFromHere = "Play from here";
inline constexpr const char* audioNotKept = "Audio is not kept in history";

// ---- History view ----
inline constexpr const char* history = "History";
inline constexpr const char* historyPlaceholder = "Earlier transcripts will be listed here.";
inline constexpr const char* openHistoryFolder = "Open the history folder in the file manager";
inline constexpr const char* showInFileManager = "Show in File Manager";
inline constexpr const char* deleteTranscript = "Delete";
inline constexpr const char* partial = "partial";
inline constexpr const char* recordingTitle = "Recording";

// ---- Errors: general mapping ----
inline constexpr const char* cancelled = "Cancelled.";
inline constexpr const char* noNetwork =
    "There is no network connection, so the model could not be downloaded. Connect to the internet once to "
    "download it; after that Norvel works offline.";
inline constexpr const char* diskFull = "The disk is full. Free some space and try again.";
inline constexpr const char* somethingWentWrongPrefix = "Something went wrong: ";

// ---- Errors: transcriber ----
inline constexpr const char* unsupportedFileType =
    "This file type is not supported. Use mp3, m4a, wav, aac, mp4, mov or m4v.";
inline constexpr const char* fileExtensionPrefix = "File extension: ";
inline constexpr const char* noExtension = "(none)";
// The message of a model that failed to load and was deleted.
QString corruptModel(const QString& displayName);
inline constexpr const char* cancelledPartial = "Transcription cancelled. The text transcribed so far was kept.";
inline constexpr const char* cancelledNoText = "Transcription cancelled before any text was ready.";
inline constexpr const char* noSpeech = "No speech was found in this file.";
inline constexpr const char* noSpeechDetails = "The model returned no text.";

// ---- Errors: speech session and model store ----
inline constexpr const char* modelNotLoaded = "The model is not loaded.";
inline constexpr const char* modelNotLoadedDetails = "run() was called before load().";
inline constexpr const char* anotherDownload = "Another model is already downloading.";
inline constexpr const char* downloadCancelled = "The model download was cancelled.";

// ---- Errors: audio preparation ----
inline constexpr const char* cannotOpenMedia =
    "This file could not be opened as audio or video. Try an mp3, m4a, wav, aac, mp4, mov or m4v file.";
inline constexpr const char* cannotReadMedia =
    "This file could not be read as audio or video. Try an mp3, m4a, wav, aac, mp4, mov or m4v file.";
inline constexpr const char* cannotReadMediaDetails = "avformat_find_stream_info failed";
inline constexpr const char* noAudioTrack = "This file has no audio track, so there is nothing to transcribe.";
inline constexpr const char* noAudioTrackDetailsPrefix = "No audio tracks found in ";
inline constexpr const char* unreadableAudioFormat = "The audio in this file uses a format Norvel cannot read.";
inline constexpr const char* unreadableAudioFormatDetails =
    "No decoder or resampler could be set up for any audio track";
inline constexpr const char* temporaryFileFailed = "Norvel could not create a temporary file. The disk may be full.";
inline constexpr const char* audioNotDecoded = "The audio in this file could not be decoded.";
inline constexpr const char* startReadingFailed = "startReading failed";
inline constexpr const char* readerFailed = "reader failed";
inline constexpr const char* nothingDecoded =
    "No audio could be read from this file, so there is nothing to transcribe.";
inline constexpr const char* nothingDecodedDetails = "Decoded 0 bytes of audio";

// ---- Errors: recorder ----
inline constexpr const char* micNotAllowed =
    "Microphone access was not allowed. To record, allow Norvel in the system's privacy settings for the "
    "microphone.";
inline constexpr const char* micNotAllowedDetails = "The user declined the microphone permission prompt.";
inline constexpr const char* micRestricted =
    "Microphone access is restricted on this computer (for example by a policy or parental controls), so Norvel "
    "cannot record.";
inline constexpr const char* micRestrictedDetails = "Microphone authorization status: restricted";
inline constexpr const char* micDenied =
    "Microphone access is turned off for Norvel. Turn it on in the system's privacy settings for the microphone, "
    "then press Record again.";
inline constexpr const char* micDeniedDetails = "Microphone authorization status: denied";
inline constexpr const char* micUnknownStatus = "Norvel could not check the microphone permission.";
inline constexpr const char* micUnknownStatusDetails = "Unknown authorization status.";
inline constexpr const char* noMicrophone = "No microphone was found. Connect or enable an input device and try again.";
inline constexpr const char* noMicrophoneDetails = "QMediaDevices::defaultAudioInput() returned no device.";
inline constexpr const char* micNotReady =
    "The microphone is not ready (it reports no sample rate). Check the input device in the system's sound "
    "settings, then try again.";
// "Input format: sampleRate 0.0, channels 0"
QString micNotReadyDetails(double sampleRate, int channels);
inline constexpr const char* recordingCouldNotStartPrefix = "Recording could not start: ";

// ---- Errors: playback ----
inline constexpr const char* noSoundOutput =
    "The audio cannot be played because no sound output device was found. Connect or turn on speakers or "
    "headphones, check the system's sound settings, then press Play again.";
inline constexpr const char* noSoundOutputDetails = "QMediaDevices::defaultAudioOutput() returned no device.";
inline constexpr const char* playbackFailed =
    "The audio could not be played. Check the output device in the system's sound settings, then press Play "
    "again.";
// "QAudioSink::start failed: OpenError"
QString playbackFailedDetails(const QString& error);

// ---- Errors: file manager ----
// No file manager could be asked to show `path` (a file or a folder).
QString noFileManager(const QString& path);
inline constexpr const char* noFileManagerDetails =
    "No file manager answered on the session bus (org.freedesktop.FileManager1), and no application is set up "
    "to open folders (xdg-open).";

// ---- Errors: writing files ----
// An export that could not be written: "Norvel could not save “Talk.srt” in /media/disk. ", the
// reason, and what to do.
QString exportNotWritten(const QString& fileName, const QString& folder, const QString& reason);
// A transcript that could not be written into the history folder.
QString historyNotWritten(const QString& folder, const QString& reason);
// Why a file could not be written into a folder, from the system's error number: "The folder
// does not exist.", "You do not have permission to write there.", …; for a full disk the
// sentence of `diskFull`, which also says what to do.
QString writeProblem(int errorNumber);

// ---- Deleting a model ----
// "Delete the Balanced (base) model?"
QString deleteModelQuestion(const QString& displayName);
// "It takes 147 MB on disk. Norvel downloads it again the next time you use it."
QString deleteModelInformation(const QString& sizeText);
inline constexpr const char* deleteModelConfirm = "Delete";

// A UTF-8 text of this table as a QString.
inline QString q(const char* utf8) { return QString::fromUtf8(utf8); }

// ==== Views ====
// Texts that only the window's views use, beyond those listed with their views above.

// The open panel's list of accepted files.
inline constexpr const char* audioOrVideoFiles = "Audio or video files";
// Names of the play and pause button, which shows only its symbol.
inline constexpr const char* play = "Play";
inline constexpr const char* pause = "Pause";
// A download's state under its progress bar: "42%  3.2 MB/s" (the fraction's whole percent,
// two blanks, the rate, which may be empty); with the bytes received so far,
// "42%  63 MB of 151 MB  3.2 MB/s".
QString downloadPercent(double fraction, const QString& speedText, const QString& bytesText = {});
// "63 MB of 151 MB": the bytes received of those to receive.
QString bytesOfTotal(const QString& received, const QString& total);
// A history row's second line: "May 1, 2024, 9:30 AM · 1:15", then " · partial" for a partial
// transcript.
QString historyInfo(const QString& dateText, const QString& durationClock, bool partial);

// ---- Names for screen readers ----
// Of the widgets that draw what they show, or show only a symbol.
inline constexpr const char* inputLevel = "Input level";
// The level meter's state: "45%", or "92%, too loud" where the meter turns red.
QString inputLevelState(double level);
// The drop zone's state.
inline constexpr const char* dropZoneReady = "Takes mp3, m4a, wav, aac, mp4, mov or m4v files.";
inline constexpr const char* dropZoneTargeted = "Release to transcribe this file.";
inline constexpr const char* dropZoneBusy = "Takes no file while a transcription or a recording runs.";
// A transcript's segment and its text: "Segment at 1:15".
QString segmentAt(const QString& clock);
// An issue banner's symbol.
inline constexpr const char* warning = "Warning";
inline constexpr const char* notice = "Notice";

}  // namespace norvel::Texts
