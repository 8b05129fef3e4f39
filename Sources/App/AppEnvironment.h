#pragma once

#include "App/Services/AudioPlayerController.h"
#include "App/Services/ModelStore.h"
#include "App/Services/Recorder.h"
#include "App/Services/Transcriber.h"
#include "App/Services/TranscriptStore.h"
#include "App/Views/ViewServices.h"

#include <QApplication>

#include <memory>

namespace norvel {

// Owns the application's five services for the life of the process. They are built in this
// order, each completely before the next: the model store (which finds the downloaded
// models), the transcript store (which loads the history), the player, the recorder and the
// transcriber.
class AppEnvironment {
public:
    AppEnvironment();
    ~AppEnvironment();
    AppEnvironment(const AppEnvironment&) = delete;
    AppEnvironment& operator=(const AppEnvironment&) = delete;

    ModelStore& models() { return *models_; }
    TranscriptStore& store() { return *store_; }
    AudioPlayerController& player() { return *player_; }
    Recorder& recorder() { return *recorder_; }
    Transcriber& transcriber() { return *transcriber_; }
    // The five services as the views take them.
    ViewServices viewServices() { return {*transcriber_, *models_, *store_, *player_, *recorder_}; }

    // What the application does when it quits: work still running is asked to stop, so that
    // quitting does not wait for it, and edits of the shown transcript are saved and written
    // out, also those made just before.
    void shutDown();

private:
    std::unique_ptr<ModelStore> models_;
    std::unique_ptr<TranscriptStore> store_;
    std::unique_ptr<AudioPlayerController> player_;
    std::unique_ptr<Recorder> recorder_;
    std::unique_ptr<Transcriber> transcriber_;
};

// The application: builds the environment once and shows the one window, titled "Norvel".
struct NorvelApp {
    // Runs the event loop until the application quits; returns its exit code. At start-up the
    // temporary folders of earlier processes that are gone are deleted; at the end the
    // environment shuts down and this process's temporary folder is deleted. A request to end
    // the process (SIGTERM, SIGINT, SIGHUP, as at log-out) quits the same way.
    static int run(QApplication& app);

    // Making the application object sets the C library's locale from the user's environment.
    // The libraries read and write numbers in files, documents and logs, which must not take
    // the user's decimal comma, so the numeric part goes back to "C" straight after; numbers
    // shown to the user are formatted through QLocale.
    static void keepCNumericLocale();
};

}  // namespace norvel
