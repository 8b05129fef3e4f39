#pragma once

#include "App/Views/RoundedPanel.h"

class QLabel;
class QPushButton;

namespace norvel {

// The welcome card at the top of the main column: what Norvel keeps where, what recording
// needs, and the button that dismisses the card for good. The button that opens the system's
// microphone settings shows only where the desktop has such a page.
class FirstRunCard : public RoundedPanel {
    Q_OBJECT

public:
    // `dataFolder` is the folder the card names as the place of the models and transcripts;
    // `offerMicrophoneSettings` whether the desktop has a microphone settings page to open.
    FirstRunCard(const QString& dataFolder, bool offerMicrophoneSettings, QWidget* parent = nullptr);

    QPushButton* gotItButton() const { return gotIt_; }
    // Null where no settings page is offered.
    QPushButton* settingsButton() const { return settings_; }

Q_SIGNALS:
    // "Got it" was pressed.
    void dismissed();
    // "Open Microphone Settings" was pressed.
    void openSettingsRequested();

private:
    QPushButton* gotIt_ = nullptr;
    QPushButton* settings_ = nullptr;
};

}  // namespace norvel
