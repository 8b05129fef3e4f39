#pragma once

#include "App/Views/Desktop.h"

#include <QList>
#include <QStringList>
#include <QUrl>
#include <QWidget>

class QLabel;
class QPushButton;

namespace norvel {

class DropZone;
class LevelMeter;
class Recorder;
class Transcriber;

// How an input reaches the transcriber: the drop zone (drop a file, or click to choose one)
// and the microphone column with the record/stop button, the level meter and the clock.
//
// Input is taken only while the transcriber is idle and no recording runs, so that a
// recording always finds the transcriber free when it stops; a running recording can always
// be stopped.
class InputRow : public QWidget {
    Q_OBJECT

public:
    InputRow(Transcriber& transcriber, Recorder& recorder, Desktop desktop, QWidget* parent = nullptr);

    // The extensions the open panel offers: the transcriber's, in ascending order.
    static QStringList pickerExtensions();

    // Shows the open panel and starts the chosen file; nothing while input is not taken.
    void chooseFile();
    // Starts the first dropped file; answers whether the drop is taken (never while busy, nor
    // for an empty list). A first item that is not a local file ends the drop silently.
    bool handleDrop(const QList<QUrl>& urls);
    // Starts a recording, or stops the running one and starts its transcription.
    void toggleRecording();

    DropZone* dropZone() const { return dropZone_; }
    QPushButton* recordButton() const { return record_; }
    LevelMeter* levelMeter() const { return meter_; }
    QLabel* clockLabel() const { return clock_; }

private:
    bool takesInput() const;
    void sync();

    Transcriber& transcriber_;
    Recorder& recorder_;
    Desktop desktop_;
    DropZone* dropZone_ = nullptr;
    QPushButton* record_ = nullptr;
    LevelMeter* meter_ = nullptr;
    QLabel* clock_ = nullptr;
};

}  // namespace norvel
