#include "App/AppEnvironment.h"

#include "App/Texts.h"
#include "App/Views/ContentView.h"

namespace norvel {

AppEnvironment::AppEnvironment() : store_(std::make_unique<TranscriptStore>()) {}

int NorvelApp::run(QApplication& app) {
    QApplication::setApplicationName(Texts::q(Texts::appName));
    AppEnvironment environment;
    ContentView window(environment);
    window.show();
    return app.exec();
}

}  // namespace norvel
