// The app tests run inside one QApplication on the offscreen platform, with the user's data
// and cache folders moved to temporary folders so that no test touches the real ones.
#include "App/AppEnvironment.h"
#include "Support/Fixtures.h"

#include <gtest/gtest.h>

#include <QApplication>

#include <cstdlib>
#include <memory>

int main(int argc, char** argv) {
    ::setenv("QT_QPA_PLATFORM", "offscreen", 1);
    norvel::test::TemporaryDirectory data;
    ::setenv("XDG_DATA_HOME", data.path().c_str(), 1);
    norvel::test::TemporaryDirectory cache;
    ::setenv("XDG_CACHE_HOME", cache.path().c_str(), 1);
    // Whatever asks the hub without a hub of its own (a download by a store built with the
    // defaults) reaches a loopback port where nothing listens, never an outside address.
    ::setenv("HF_ENDPOINT", "http://127.0.0.1:9", 1);
    QApplication app(argc, argv);
    norvel::NorvelApp::keepCNumericLocale();
    QApplication::setApplicationName(QStringLiteral("Norvel"));
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
