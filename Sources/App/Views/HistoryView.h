#pragma once

#include "App/Model/TranscriptDocument.h"

#include <QDateTime>
#include <QLocale>
#include <QWidget>

#include <vector>

class QLabel;
class QScrollArea;
class QToolButton;
class QVBoxLayout;

namespace norvel {

class ElidedLabel;
class Transcriber;
class TranscriptStore;

// One stored transcript in the history list: its title, and below it the date, the length and
// whether it is partial. A click anywhere on the row opens it; its two buttons show its file in
// the file manager and delete it.
class HistoryRow : public QWidget {
    Q_OBJECT

public:
    explicit HistoryRow(const TranscriptDocument& document, QWidget* parent = nullptr);

    const TranscriptDocument& document() const { return document_; }
    void setDocument(const TranscriptDocument& document);

    ElidedLabel* titleLabel() const { return title_; }
    QLabel* infoLabel() const { return info_; }
    QToolButton* revealButton() const { return reveal_; }
    QToolButton* deleteButton() const { return delete_; }

Q_SIGNALS:
    void openRequested();
    void revealRequested();
    void deleteRequested();

protected:
    void paintEvent(QPaintEvent* event) override;
    void mousePressEvent(QMouseEvent* event) override;
    void mouseReleaseEvent(QMouseEvent* event) override;
    void enterEvent(QEnterEvent* event) override;
    void leaveEvent(QEvent* event) override;

private:
    TranscriptDocument document_;
    ElidedLabel* title_ = nullptr;
    QLabel* info_ = nullptr;
    QToolButton* reveal_ = nullptr;
    QToolButton* delete_ = nullptr;
    bool pressed_ = false;
    bool hovered_ = false;
};

// The window's sidebar: the stored transcripts, newest first, and a button that opens the
// History folder. The transcript shown is the transcriber's; the list has no selection.
class HistoryView : public QWidget {
    Q_OBJECT

public:
    HistoryView(TranscriptStore& store, Transcriber& transcriber, QWidget* parent = nullptr);

    // A row's second line: the date in the locale's abbreviated date and short time, the
    // length, and "partial" for a partial transcript, separated by middle dots.
    static QString infoLine(const TranscriptDocument& document, const QLocale& locale = QLocale());
    // The date in the locale's abbreviated style (month name shortened, no weekday) and its
    // short time, in local time.
    static QString dateText(const QDateTime& date, const QLocale& locale = QLocale());

    QToolButton* folderButton() const { return folder_; }
    QLabel* placeholder() const { return placeholder_; }
    QScrollArea* list() const { return scroll_; }
    const std::vector<HistoryRow*>& rows() const { return rows_; }

    static constexpr int sidebarWidth = 240;

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    void sync();

    TranscriptStore& store_;
    Transcriber& transcriber_;
    QToolButton* folder_ = nullptr;
    QLabel* placeholder_ = nullptr;
    QScrollArea* scroll_ = nullptr;
    QWidget* rowsBox_ = nullptr;
    QVBoxLayout* rowsLayout_ = nullptr;
    std::vector<HistoryRow*> rows_;
};

}  // namespace norvel
