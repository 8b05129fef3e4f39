#pragma once

#include "App/Model/TranscriptDocument.h"

#include <QTimer>
#include <QWidget>

#include <vector>

class QLabel;
class QMenu;
class QPushButton;
class QScrollArea;
class QToolButton;
class QVBoxLayout;

namespace norvel {

class AudioPlayerController;
class ElidedLabel;
class RoundedPanel;
class SegmentRow;
class Transcriber;

// The transcript the transcriber holds, just made or opened from the history: its title, play
// and pause for a fresh transcript's audio, "Copy text" and "Save as…", and one row per
// segment with its start time (which plays from there) and its editable text. Edits go to the
// transcriber as they are typed, and are saved once typing pauses for `saveDelayMilliseconds`
// or the user leaves the row (the transcriber also saves them before it shows another
// transcript, and the application before it quits).
class TranscriptView : public QWidget {
    Q_OBJECT

public:
    TranscriptView(Transcriber& transcriber, AudioPlayerController& player, QWidget* parent = nullptr);

    // Whether the player is playing inside a segment from `start` to `end`: playing, at or after
    // the start, and before the end or, for a segment shorter than 0.05 s, before start + 0.05.
    static bool isActive(double start, double end, bool isPlaying, double currentTime);

    // The view takes the height it is given, whatever its width: the rows scroll inside it.
    bool hasHeightForWidth() const override { return false; }

    ElidedLabel* titleLabel() const { return title_; }
    QWidget* header() const { return header_; }
    QToolButton* playButton() const { return play_; }
    QPushButton* copyButton() const { return copy_; }
    QPushButton* saveAsButton() const { return saveAs_; }
    QMenu* saveAsMenu() const { return saveAsMenu_; }
    QLabel* placeholder() const { return placeholder_; }
    QScrollArea* list() const { return scroll_; }
    const std::vector<SegmentRow*>& rows() const { return rows_; }
    // Whether edits wait for a pause in typing to be saved.
    bool hasUnsavedEdits() const { return saveTimer_.isActive(); }

    static constexpr int saveDelayMilliseconds = 600;

private:
    void syncSegments();
    void syncHeader();
    void syncPlayer();
    void syncHighlights();
    void edit(SegmentRow* row, const QString& text);
    void saveEdits();
    void copyText();

    Transcriber& transcriber_;
    AudioPlayerController& player_;
    QWidget* header_ = nullptr;
    ElidedLabel* title_ = nullptr;
    QToolButton* play_ = nullptr;
    QPushButton* copy_ = nullptr;
    QPushButton* saveAs_ = nullptr;
    QMenu* saveAsMenu_ = nullptr;
    QLabel* placeholder_ = nullptr;
    RoundedPanel* listPanel_ = nullptr;
    QScrollArea* scroll_ = nullptr;
    QWidget* rowsBox_ = nullptr;
    QVBoxLayout* rowsLayout_ = nullptr;
    std::vector<SegmentRow*> rows_;
    QTimer saveTimer_;
};

}  // namespace norvel
