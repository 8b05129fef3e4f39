#include "App/AppEnvironment.h"

#include "App/Model/AppPaths.h"
#include "App/Texts.h"
#include "App/Views/ContentView.h"

#include <QSocketNotifier>

#include <fcntl.h>
#include <unistd.h>
#include <clocale>
#include <csignal>

namespace norvel {

namespace {

// The write end of the pipe that turns a request to end the process into a quit of the event
// loop; a signal handler may do little more than write to it.
int quitPipe[2] = {-1, -1};

extern "C" void requestQuit(int) {
    const char byte = 1;
    if (quitPipe[1] >= 0) {
        [[maybe_unused]] const ssize_t written = ::write(quitPipe[1], &byte, 1);
    }
}

// Quits the event loop when the process is asked to end, so that it ends as if the window
// were closed. Restores the previous handlers when it goes.
class QuitOnSignals {
public:
    explicit QuitOnSignals(QApplication& app) {
        if (::pipe2(quitPipe, O_CLOEXEC | O_NONBLOCK) != 0) return;
        notifier_ = std::make_unique<QSocketNotifier>(quitPipe[0], QSocketNotifier::Read);
        QObject::connect(notifier_.get(), &QSocketNotifier::activated, &app, [&app] {
            char bytes[16];
            while (::read(quitPipe[0], bytes, sizeof(bytes)) > 0) {}
            app.quit();
        });
        struct sigaction action {};
        action.sa_handler = &requestQuit;
        sigemptyset(&action.sa_mask);
        action.sa_flags = SA_RESTART;
        for (std::size_t i = 0; i < std::size(signals_); ++i) ::sigaction(signals_[i], &action, &previous_[i]);
    }

    ~QuitOnSignals() {
        if (!notifier_) return;
        for (std::size_t i = 0; i < std::size(signals_); ++i) ::sigaction(signals_[i], &previous_[i], nullptr);
        notifier_.reset();
        ::close(quitPipe[0]);
        ::close(quitPipe[1]);
        quitPipe[0] = quitPipe[1] = -1;
    }

    QuitOnSignals(const QuitOnSignals&) = delete;
    QuitOnSignals& operator=(const QuitOnSignals&) = delete;

private:
    static constexpr int signals_[3] = {SIGTERM, SIGINT, SIGHUP};
    struct sigaction previous_[3]{};
    std::unique_ptr<QSocketNotifier> notifier_;
};

}  // namespace

AppEnvironment::AppEnvironment()
    : models_(std::make_unique<ModelStore>()),
      store_(std::make_unique<TranscriptStore>()),
      player_(std::make_unique<AudioPlayerController>()),
      recorder_(std::make_unique<Recorder>()),
      transcriber_(std::make_unique<Transcriber>(*models_, *store_, *player_)) {
    transcriber_->setRecorder(recorder_.get());
}

AppEnvironment::~AppEnvironment() = default;

void AppEnvironment::shutDown() {
    transcriber_->cancel();
    models_->cancelDownload();
    transcriber_->persistEdits();
    store_->waitForWrites();
}

void NorvelApp::keepCNumericLocale() { std::setlocale(LC_NUMERIC, "C"); }

int NorvelApp::run(QApplication& app) {
    QApplication::setApplicationName(Texts::q(Texts::appName));
    QApplication::setApplicationDisplayName(Texts::q(Texts::appName));
    AppPaths::removeStaleTemporaryFolders();
    QuitOnSignals quitOnSignals(app);
    int status = 0;
    {
        AppEnvironment environment;
        QObject::connect(&app, &QCoreApplication::aboutToQuit, [&environment] { environment.shutDown(); });
        ContentView window(environment.viewServices());
        window.show();
        status = app.exec();
    }
    AppPaths::removeTemporaryFolder();
    return status;
}

}  // namespace norvel
