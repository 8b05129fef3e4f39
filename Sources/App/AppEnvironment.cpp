#include "App/AppEnvironment.h"

#include "App/Texts.h"
#include "App/Views/ContentView.h"

namespace norvel {

AppEnvironment::AppEnvironment()
    : models_(std::make_unique<ModelStore>()),
      store_(std::make_unique<TranscriptStore>()),
      player_(std::make_unique<AudioPlayerController>()),
      recorder_(std::make_unique<Recorder>()),
      transcriber_(std::make_unique<Transcriber>(*models_, *store_, *player_)) {
    transcriber_->setRecorder(recorder_.get());
}

AppEnvironment::~AppEnvironment() = default;

int NorvelApp::run(QApplication& app) {
    QApplication::setApplicationName(Texts::q(Texts::appName));
    QApplication::setApplicationDisplayName(Texts::q(Texts::appName));
    AppEnvironment environment;
    QObject::connect(&app, &QCoreApplication::aboutToQuit, [&environment] {
        environment.transcriber().cancel();
        environment.models().cancelDownload();
    });
    ContentView window(environment);
    window.show();
    return app.exec();
}

}  // namespace norvel
