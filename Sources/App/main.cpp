// Norvel's entry point: the application object, the services, and the one window.
#include "App/AppEnvironment.h"
#include "App/Views/ContentView.h"

#include <QApplication>

int main(int argc, char** argv) {
    QApplication app(argc, argv);
    norvel::NorvelApp::keepCNumericLocale();
    return norvel::NorvelApp::run(app);
}
