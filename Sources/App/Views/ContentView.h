#pragma once

#include "App/Views/Desktop.h"
#include "App/Views/ViewServices.h"

#include <QMainWindow>
#include <QSettings>

#include <memory>

namespace norvel {

class FirstRunCard;
class HistoryView;
class InputRow;
class IssueBanner;
class ProgressPanel;
class SettingsRow;
class Transcriber;
class TranscriptView;

// The application's one window, titled "Norvel": the history sidebar beside the main column,
// which holds, from the top, the first-run card (until it is dismissed for good), the
// settings row, the input row, the progress panel, the issue banners and the transcript. It
// cannot be made smaller than 940 × 680.
class ContentView : public QMainWindow {
    Q_OBJECT

public:
    // The window over the services, keeping its one setting in `settings` (by default the
    // user's) and talking to `desktop` (by default the system's); tests give their own.
    explicit ContentView(ViewServices services, std::unique_ptr<QSettings> settings = userSettings(),
                         Desktop desktop = Desktop::system(), QWidget* parent = nullptr);
    ~ContentView() override;

    // The user's settings: "Norvel" in the user's configuration folder.
    static std::unique_ptr<QSettings> userSettings();
    // The key of the one setting: whether the first-run card was dismissed.
    static constexpr const char* firstRunDismissedKey = "firstRunDismissed";

    bool firstRunDismissed() const { return firstRunDismissed_; }
    // Dismisses the first-run card for good: stored in the settings, and the card removed.
    void dismissFirstRun();

    // Null once the card is dismissed.
    FirstRunCard* firstRunCard() const { return card_; }
    HistoryView* historyView() const { return history_; }
    QWidget* mainColumn() const { return column_; }
    SettingsRow* settingsRow() const { return settingsRow_; }
    InputRow* inputRow() const { return inputRow_; }
    ProgressPanel* progressPanel() const { return progress_; }
    IssueBanner* issueBanner() const { return issues_; }
    TranscriptView* transcriptView() const { return transcript_; }

    static constexpr int minimumContentWidth = 940;
    static constexpr int minimumContentHeight = 680;

protected:
    void keyPressEvent(QKeyEvent* event) override;

private:
    std::unique_ptr<QSettings> settings_;
    Desktop desktop_;
    Transcriber* transcriber_ = nullptr;
    bool firstRunDismissed_ = false;
    FirstRunCard* card_ = nullptr;
    HistoryView* history_ = nullptr;
    QWidget* column_ = nullptr;
    SettingsRow* settingsRow_ = nullptr;
    InputRow* inputRow_ = nullptr;
    ProgressPanel* progress_ = nullptr;
    IssueBanner* issues_ = nullptr;
    TranscriptView* transcript_ = nullptr;
};

}  // namespace norvel
