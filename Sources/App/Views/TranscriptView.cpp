#include "App/Views/TranscriptView.h"

#include "App/Services/AudioPlayerController.h"
#include "App/Services/Exporter.h"
#include "App/Services/Transcriber.h"
#include "App/Texts.h"
#include "App/Views/ElidedLabel.h"
#include "App/Views/RoundedPanel.h"
#include "App/Views/SegmentRow.h"
#include "App/Views/Style.h"
#include "App/Views/Symbols.h"

#include <QClipboard>
#include <QGuiApplication>
#include <QHBoxLayout>
#include <QLabel>
#include <QMenu>
#include <QPushButton>
#include <QScrollArea>
#include <QScrollBar>
#include <QToolButton>
#include <QVBoxLayout>

#include <algorithm>
#include <map>

namespace norvel {

TranscriptView::TranscriptView(Transcriber& transcriber, AudioPlayerController& player, QWidget* parent)
    : QWidget(parent), transcriber_(transcriber), player_(player) {
    setObjectName(QStringLiteral("transcriptView"));
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(8);

    // The header: title, play/pause, "Copy text", "Save as…".
    header_ = new QWidget(this);
    header_->setObjectName(QStringLiteral("transcriptHeader"));
    auto* headerLayout = new QHBoxLayout(header_);
    headerLayout->setContentsMargins(0, 0, 0, 0);
    headerLayout->setSpacing(8);
    title_ = new ElidedLabel(1, header_);
    title_->setObjectName(QStringLiteral("transcriptTitle"));
    title_->setFont(Style::headline());
    headerLayout->addWidget(title_, 1);

    play_ = new QToolButton(header_);
    play_->setObjectName(QStringLiteral("playPause"));
    play_->setIconSize(QSize(16, 16));
    connect(play_, &QToolButton::clicked, this, [this] {
        if (player_.isPlaying()) {
            player_.pause();
        } else {
            // Playback resumes where it stopped.
            player_.play(player_.currentTime());
        }
    });
    headerLayout->addWidget(play_);

    copy_ = new QPushButton(Texts::q(Texts::copyText), header_);
    copy_->setObjectName(QStringLiteral("copyText"));
    connect(copy_, &QPushButton::clicked, this, &TranscriptView::copyText);
    headerLayout->addWidget(copy_);

    saveAs_ = new QPushButton(Texts::q(Texts::saveAs), header_);
    saveAs_->setObjectName(QStringLiteral("saveAs"));
    saveAs_->setFixedWidth(std::max(100, saveAs_->sizeHint().width()));
    saveAsMenu_ = new QMenu(saveAs_);
    for (const ExportFormat format : allExportFormats) {
        QAction* action = saveAsMenu_->addAction(menuTitle(format));
        action->setData(rawValue(format));
        connect(action, &QAction::triggered, this, [this, format] { transcriber_.saveAs(format); });
    }
    saveAs_->setMenu(saveAsMenu_);
    headerLayout->addWidget(saveAs_);
    layout->addWidget(header_);

    // The body: a hint while there is no transcript, else the rows.
    placeholder_ = new QLabel(Texts::q(Texts::transcriptPlaceholder), this);
    placeholder_->setObjectName(QStringLiteral("transcriptPlaceholder"));
    placeholder_->setAlignment(Qt::AlignCenter);
    placeholder_->setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Expanding);
    Style::setSecondary(*placeholder_);
    layout->addWidget(placeholder_, 1);

    listPanel_ = new RoundedPanel(
        10, [](const QPalette& palette) { return Style::textBackground(palette); }, this);
    auto* panelLayout = new QVBoxLayout(listPanel_);
    // The scroll bar stays clear of the rounded corners.
    panelLayout->setContentsMargins(0, 6, 4, 6);
    scroll_ = new QScrollArea(listPanel_);
    scroll_->setObjectName(QStringLiteral("transcriptList"));
    scroll_->setFrameShape(QFrame::NoFrame);
    scroll_->setWidgetResizable(true);
    scroll_->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    scroll_->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    scroll_->viewport()->setAutoFillBackground(false);
    rowsBox_ = new QWidget();
    rowsBox_->setAutoFillBackground(false);
    rowsLayout_ = new QVBoxLayout(rowsBox_);
    rowsLayout_->setContentsMargins(8, 8, 8, 8);
    rowsLayout_->setSpacing(4);
    rowsLayout_->addStretch(1);
    scroll_->setWidget(rowsBox_);
    // The rows lie on the panel's own background (setting the widget made it opaque).
    rowsBox_->setAutoFillBackground(false);
    panelLayout->addWidget(scroll_);
    layout->addWidget(listPanel_, 1);

    // Edits are saved once typing pauses, and at once when the user leaves the row.
    saveTimer_.setSingleShot(true);
    saveTimer_.setInterval(saveDelayMilliseconds);
    connect(&saveTimer_, &QTimer::timeout, this, [this] { transcriber_.persistEdits(); });

    connect(&transcriber_, &Transcriber::segmentsChanged, this, &TranscriptView::syncSegments);
    connect(&transcriber_, &Transcriber::titleChanged, this, &TranscriptView::syncHeader);
    connect(&player_, &AudioPlayerController::hasAudioChanged, this, &TranscriptView::syncPlayer);
    connect(&player_, &AudioPlayerController::isPlayingChanged, this, &TranscriptView::syncPlayer);
    connect(&player_, &AudioPlayerController::currentTimeChanged, this, &TranscriptView::syncHighlights);
    syncSegments();
    syncPlayer();
}

bool TranscriptView::isActive(double start, double end, bool isPlaying, double currentTime) {
    if (!isPlaying) return false;
    if (!(currentTime >= start)) return false;
    return currentTime < std::max(end, start + 0.05);
}

void TranscriptView::syncSegments() {
    const std::vector<TranscriptSegment>& segments = transcriber_.segments();
    const bool sameRows =
        rows_.size() == segments.size() &&
        std::equal(rows_.begin(), rows_.end(), segments.begin(),
                   [](const SegmentRow* row, const TranscriptSegment& s) { return row->id() == s.id; });
    if (!sameRows) {
        // Rows of segments that stay are kept (with their editor's focus and cursor); the
        // others are made or removed. The list is drawn once, when all rows are in place.
        rowsBox_->setUpdatesEnabled(false);
        std::multimap<QUuid, SegmentRow*> old;
        for (SegmentRow* row : rows_) old.emplace(row->id(), row);
        std::vector<SegmentRow*> rows;
        rows.reserve(segments.size());
        bool kept = false;
        for (const TranscriptSegment& segment : segments) {
            const auto found = old.find(segment.id);
            if (found != old.end()) {
                rows.push_back(found->second);
                old.erase(found);
                kept = true;
                continue;
            }
            auto* row = new SegmentRow(segment, rowsBox_);
            connect(row, &SegmentRow::textEdited, this, [this, row](const QString& text) { edit(row, text); });
            connect(row, &SegmentRow::editingFinished, this, &TranscriptView::saveEdits);
            connect(row, &SegmentRow::playRequested, this, [this](double start) { player_.play(start); });
            row->setHasAudio(player_.hasAudio());
            rows.push_back(row);
        }
        for (auto& [id, row] : old) {
            rowsLayout_->removeWidget(row);
            row->hide();
            row->deleteLater();
        }
        for (SegmentRow* row : rows) rowsLayout_->removeWidget(row);
        for (std::size_t i = 0; i < rows.size(); ++i) {
            rowsLayout_->insertWidget(int(i), rows[i]);
            rows[i]->show();
        }
        rows_ = std::move(rows);
        rowsBox_->setUpdatesEnabled(true);
        // Another transcript starts at its top.
        if (!kept) scroll_->verticalScrollBar()->setValue(0);
    }
    for (std::size_t i = 0; i < rows_.size(); ++i) rows_[i]->setSegment(segments[i]);

    const bool empty = segments.empty();
    placeholder_->setVisible(empty);
    listPanel_->setVisible(!empty);
    syncHeader();
    syncPlayer();
}

void TranscriptView::syncHeader() {
    const bool empty = transcriber_.segments().empty();
    title_->setText(empty ? Texts::q(Texts::transcript) : transcriber_.title());
    header_->setEnabled(!empty);
}

void TranscriptView::syncPlayer() {
    const bool hasAudio = player_.hasAudio();
    // Audio kept from an earlier transcript has no place over an empty one (a run under way,
    // or one that found no text): its button goes, and so does its sound.
    const bool shown = hasAudio && !rows_.empty();
    if (!shown && player_.isPlaying()) player_.pause();
    play_->setVisible(shown);
    const bool playing = player_.isPlaying();
    play_->setIcon(symbolIcon(playing ? Symbol::pauseFill : Symbol::playFill, palette().color(QPalette::ButtonText)));
    play_->setAccessibleName(Texts::q(playing ? Texts::pause : Texts::play));
    play_->setToolTip(Texts::q(playing ? Texts::pause : Texts::play));
    for (SegmentRow* row : rows_) row->setHasAudio(hasAudio);
    syncHighlights();
}

void TranscriptView::syncHighlights() {
    const bool playing = player_.isPlaying();
    const double now = player_.currentTime();
    for (SegmentRow* row : rows_) {
        row->setActive(isActive(row->segment().start, row->segment().end, playing, now));
    }
}

void TranscriptView::edit(SegmentRow* row, const QString& text) {
    const auto position = std::find(rows_.begin(), rows_.end(), row);
    if (position == rows_.end()) return;
    const std::size_t index = std::size_t(position - rows_.begin());
    std::vector<TranscriptSegment> segments = transcriber_.segments();
    // The row edits its own segment, found by place (identifiers of a stored document need
    // not be unique).
    if (index >= segments.size() || segments[index].id != row->id()) return;
    segments[index].text = text;
    transcriber_.setSegments(std::move(segments));
    saveTimer_.start();
}

void TranscriptView::saveEdits() {
    saveTimer_.stop();
    transcriber_.persistEdits();
}

void TranscriptView::copyText() {
    QClipboard* clipboard = QGuiApplication::clipboard();
    clipboard->clear();
    clipboard->setText(transcriber_.exportText(ExportFormat::txt));
}

}  // namespace norvel
