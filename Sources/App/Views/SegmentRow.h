#pragma once

#include "App/Model/TranscriptDocument.h"
#include "App/Views/RoundedPanel.h"

#include <QTextEdit>

class QPushButton;

namespace norvel {

// The borderless editor of one segment's text: it wraps and grows downward with its text,
// never scrolls, and lets Tab move on to the next control.
class SegmentEditor : public QTextEdit {
    Q_OBJECT

public:
    explicit SegmentEditor(QWidget* parent = nullptr);

    // Replaces the text when it differs (so the cursor of an unchanged text stays put).
    void setText(const QString& text);
    QString text() const { return toPlainText(); }

    QSize sizeHint() const override;
    QSize minimumSizeHint() const override;

Q_SIGNALS:
    // The editor lost the keyboard focus: the user left the row.
    void editingFinished();

protected:
    void focusOutEvent(QFocusEvent* event) override;

private:
    void fitHeight();
};

// One row of the transcript: the start time, a link that plays from there, and the editable
// text. The row is tinted with the accent colour while the playhead is inside its segment.
class SegmentRow : public RoundedPanel {
    Q_OBJECT

public:
    explicit SegmentRow(const TranscriptSegment& segment, QWidget* parent = nullptr);

    const QUuid& id() const { return segment_.id; }
    const TranscriptSegment& segment() const { return segment_; }
    // Shows the segment's time and text (the text only when it differs from the editor's).
    void setSegment(const TranscriptSegment& segment);
    // Whether the time link plays: with audio it does and says so; without it is disabled and
    // tells that the audio is not kept.
    void setHasAudio(bool hasAudio);
    void setActive(bool active);
    bool isActive() const { return active_; }

    QPushButton* timeButton() const { return time_; }
    SegmentEditor* editor() const { return editor_; }

Q_SIGNALS:
    // The user changed the text.
    void textEdited(const QString& text);
    // The user left the row's text.
    void editingFinished();
    // The time link was pressed.
    void playRequested(double start);

private:
    void applyHasAudio(bool hasAudio);
    // The row and its text are named after the segment's start: "Segment at 1:15".
    void nameForScreenReaders();

    TranscriptSegment segment_;
    QPushButton* time_ = nullptr;
    SegmentEditor* editor_ = nullptr;
    bool active_ = false;
    bool hasAudio_ = false;
};

}  // namespace norvel
