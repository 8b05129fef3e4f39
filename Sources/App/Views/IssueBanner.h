#pragma once

#include "App/Model/NorvelError.h"
#include "App/Views/Desktop.h"
#include "App/Views/RoundedPanel.h"

#include <functional>
#include <optional>

class QLabel;
class QPushButton;
class QScrollArea;
class QToolButton;

namespace norvel {

class AudioPlayerController;
class Recorder;
class Transcriber;
class TranscriptStore;

// One banner: an issue's message with the actions that fit it, and its technical details
// under a "Show Details" disclosure. Blue with an information symbol for a cancellation, which
// is a notice; orange with a warning symbol for every other kind.
class Banner : public RoundedPanel {
    Q_OBJECT

public:
    explicit Banner(QWidget* parent = nullptr);

    // Shows `issue`. "Download again" is offered for a damaged model, the microphone settings
    // when `offerSettings` is true.
    void present(const NorvelError& issue, bool offerSettings);
    // Expands or folds the details.
    void setDetailsExpanded(bool expanded);

    const std::optional<NorvelError>& issue() const { return issue_; }
    QLabel* symbolLabel() const { return symbol_; }
    QLabel* messageLabel() const { return message_; }
    QPushButton* downloadAgainButton() const { return downloadAgain_; }
    QPushButton* settingsButton() const { return settings_; }
    QPushButton* dismissButton() const { return dismiss_; }
    QToolButton* detailsToggle() const { return detailsToggle_; }
    QScrollArea* detailsArea() const { return detailsArea_; }
    QLabel* detailsLabel() const { return details_; }

    static constexpr int maxDetailsHeight = 90;

Q_SIGNALS:
    void dismissRequested();
    void downloadAgainRequested();
    void settingsRequested();
    // The user expanded or folded the details.
    void detailsToggled(bool expanded);

private:
    std::optional<NorvelError> issue_;
    QLabel* symbol_ = nullptr;
    QLabel* message_ = nullptr;
    QPushButton* downloadAgain_ = nullptr;
    QPushButton* settings_ = nullptr;
    QPushButton* dismiss_ = nullptr;
    QToolButton* detailsToggle_ = nullptr;
    QScrollArea* detailsArea_ = nullptr;
    QLabel* details_ = nullptr;
    bool detailsExpanded_ = false;
};

// The banners of the services' issues, one item of the main column each: the transcriber's
// first, then the recorder's, the history's (a transcript that could not be written, a file
// manager that could not be opened) and the player's (audio that cannot be played).
// Dismissing a banner clears its service's issue. Whether details are shown belongs to the
// view, not to an issue: all banners share it, and it stays as it is when one issue goes and
// another comes.
class IssueBanner : public QWidget {
    Q_OBJECT

public:
    IssueBanner(Transcriber& transcriber, TranscriptStore& store, AudioPlayerController& player, Recorder& recorder,
                Desktop desktop, QWidget* parent = nullptr);

    Banner* transcriberBanner() const { return transcriberBanner_; }
    Banner* recorderBanner() const { return recorderBanner_; }
    Banner* storeBanner() const { return storeBanner_; }
    Banner* playerBanner() const { return playerBanner_; }
    bool showDetails() const { return showDetails_; }

private:
    void sync();
    void setShowDetails(bool show);

    Transcriber& transcriber_;
    TranscriptStore& store_;
    AudioPlayerController& player_;
    Recorder& recorder_;
    Desktop desktop_;
    Banner* transcriberBanner_ = nullptr;
    Banner* recorderBanner_ = nullptr;
    Banner* storeBanner_ = nullptr;
    Banner* playerBanner_ = nullptr;
    bool showDetails_ = false;
};

}  // namespace norvel
