#pragma once

#include "App/Services/TranscriptStore.h"

#include <QApplication>

#include <memory>

namespace norvel {

// Owns the application's services for the life of the process.
class AppEnvironment {
public:
    AppEnvironment();
    AppEnvironment(const AppEnvironment&) = delete;
    AppEnvironment& operator=(const AppEnvironment&) = delete;

    TranscriptStore& store() { return *store_; }

private:
    std::unique_ptr<TranscriptStore> store_;
};

// The application: builds the environment once and shows the window.
struct NorvelApp {
    // Runs the event loop until the application quits; returns its exit code.
    static int run(QApplication& app);
};

}  // namespace norvel
