#include "App/Views/IssueBanner.h"

#include "App/Services/AudioPlayerController.h"
#include "App/Services/Recorder.h"
#include "App/Services/Transcriber.h"
#include "App/Services/TranscriptStore.h"
#include "App/Texts.h"
#include "App/Views/Style.h"
#include "App/Views/Symbols.h"

#include <QHBoxLayout>
#include <QLabel>
#include <QPushButton>
#include <QScrollArea>
#include <QScrollBar>
#include <QToolButton>
#include <QVBoxLayout>

#include <algorithm>

namespace norvel {

namespace {

bool isNotice(const std::optional<NorvelError>& issue) {
    return issue && issue->kind() == NorvelError::Kind::cancelled;
}

// The details under the disclosure: as tall as their text at the width they get, up to the
// limit, beyond which they scroll.
class DetailsBox : public QScrollArea {
public:
    DetailsBox(QLabel* label, int maxHeight, QWidget* parent) : QScrollArea(parent), label_(label), max_(maxHeight) {
        QSizePolicy policy(QSizePolicy::Preferred, QSizePolicy::Fixed);
        policy.setHeightForWidth(true);
        setSizePolicy(policy);
    }

    bool hasHeightForWidth() const override { return true; }

    int heightForWidth(int width) const override {
        const int frame = 2 * frameWidth();
        int needed = label_->heightForWidth(std::max(1, width - frame));
        if (needed < 0) needed = label_->sizeHint().height();
        return std::clamp(needed + frame, 1, max_);
    }

    QSize sizeHint() const override {
        return {QScrollArea::sizeHint().width(),
                heightForWidth(width() > 1 ? width() : QScrollArea::sizeHint().width())};
    }

    QSize minimumSizeHint() const override { return {0, std::min(max_, label_->fontMetrics().lineSpacing())}; }

private:
    QLabel* label_;
    int max_;
};

}  // namespace

Banner::Banner(QWidget* parent) : RoundedPanel(10, {}, parent) {
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(10, 10, 10, 10);
    layout->setSpacing(6);

    auto* row = new QHBoxLayout();
    row->setSpacing(8);
    row->setAlignment(Qt::AlignTop);
    symbol_ = new QLabel(this);
    symbol_->setObjectName(QStringLiteral("issueSymbol"));
    row->addWidget(symbol_, 0, Qt::AlignTop);

    message_ = new QLabel(this);
    message_->setObjectName(QStringLiteral("issueMessage"));
    message_->setWordWrap(true);
    message_->setTextInteractionFlags(Qt::TextSelectableByMouse);
    message_->setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Preferred);
    row->addWidget(message_, 1, Qt::AlignTop);

    downloadAgain_ = new QPushButton(Texts::q(Texts::downloadAgain), this);
    downloadAgain_->setObjectName(QStringLiteral("downloadAgain"));
    connect(downloadAgain_, &QPushButton::clicked, this, &Banner::downloadAgainRequested);
    row->addWidget(downloadAgain_, 0, Qt::AlignTop);

    settings_ = new QPushButton(Texts::q(Texts::openMicrophoneSettings), this);
    settings_->setObjectName(QStringLiteral("openMicrophoneSettings"));
    connect(settings_, &QPushButton::clicked, this, &Banner::settingsRequested);
    row->addWidget(settings_, 0, Qt::AlignTop);

    dismiss_ = new QPushButton(Texts::q(Texts::dismiss), this);
    dismiss_->setObjectName(QStringLiteral("dismiss"));
    connect(dismiss_, &QPushButton::clicked, this, &Banner::dismissRequested);
    row->addWidget(dismiss_, 0, Qt::AlignTop);
    layout->addLayout(row);

    detailsToggle_ = new QToolButton(this);
    detailsToggle_->setObjectName(QStringLiteral("showDetails"));
    detailsToggle_->setText(Texts::q(Texts::showDetails));
    detailsToggle_->setFont(Style::caption());
    detailsToggle_->setAutoRaise(true);
    detailsToggle_->setToolButtonStyle(Qt::ToolButtonTextBesideIcon);
    detailsToggle_->setArrowType(Qt::RightArrow);
    detailsToggle_->setIconSize(QSize(8, 8));
    connect(detailsToggle_, &QToolButton::clicked, this, [this] {
        const bool expanded = !detailsExpanded_;
        setDetailsExpanded(expanded);
        Q_EMIT detailsToggled(expanded);
    });
    layout->addWidget(detailsToggle_, 0, Qt::AlignLeft);

    details_ = new QLabel();
    detailsArea_ = new DetailsBox(details_, maxDetailsHeight, this);
    detailsArea_->setObjectName(QStringLiteral("detailsArea"));
    detailsArea_->setFrameShape(QFrame::NoFrame);
    detailsArea_->setWidgetResizable(true);
    detailsArea_->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    detailsArea_->setVerticalScrollBarPolicy(Qt::ScrollBarAsNeeded);
    detailsArea_->viewport()->setAutoFillBackground(false);
    details_->setObjectName(QStringLiteral("issueDetails"));
    details_->setFont(Style::monospacedCaption());
    details_->setWordWrap(true);
    details_->setAlignment(Qt::AlignLeft | Qt::AlignTop);
    details_->setTextInteractionFlags(Qt::TextSelectableByMouse | Qt::TextSelectableByKeyboard);
    detailsArea_->setWidget(details_);
    // The details lie on the banner's background (setting the widget made it opaque).
    details_->setAutoFillBackground(false);
    detailsArea_->setVisible(false);
    layout->addWidget(detailsArea_);
}

void Banner::present(const NorvelError& issue, bool offerSettings) {
    issue_ = issue;
    const bool notice = isNotice(issue_);
    const QColor tint = notice ? Style::blue() : Style::orange();
    setFill([tint](const QPalette&) { return Style::withOpacity(tint, 0.12); });
    const int symbolSize = QFontMetrics(message_->font()).height();
    symbol_->setPixmap(symbolPixmap(notice ? Symbol::infoCircleFill : Symbol::warningTriangleFill, tint, symbolSize,
                                    devicePixelRatioF()));
    symbol_->setAccessibleName(Texts::q(notice ? Texts::notice : Texts::warning));
    message_->setText(issue.message());
    // A screen reader names the banner by its message.
    setAccessibleName(issue.message());
    downloadAgain_->setVisible(issue.kind() == NorvelError::Kind::corruptModel);
    settings_->setVisible(offerSettings);
    const bool hasDetails = !issue.details().isEmpty();
    details_->setText(issue.details());
    detailsToggle_->setVisible(hasDetails);
    detailsArea_->setVisible(hasDetails && detailsExpanded_);
    detailsArea_->updateGeometry();
    setVisible(true);
}

void Banner::setDetailsExpanded(bool expanded) {
    detailsExpanded_ = expanded;
    detailsToggle_->setArrowType(expanded ? Qt::DownArrow : Qt::RightArrow);
    detailsArea_->setVisible(expanded && issue_ && !issue_->details().isEmpty());
}

IssueBanner::IssueBanner(Transcriber& transcriber, TranscriptStore& store, AudioPlayerController& player,
                         Recorder& recorder, Desktop desktop, QWidget* parent)
    : QWidget(parent),
      transcriber_(transcriber),
      store_(store),
      player_(player),
      recorder_(recorder),
      desktop_(std::move(desktop)) {
    setObjectName(QStringLiteral("issueBanner"));
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    // The banners are items of the main column, spaced as its items are.
    layout->setSpacing(14);

    transcriberBanner_ = new Banner(this);
    transcriberBanner_->setObjectName(QStringLiteral("transcriberIssue"));
    recorderBanner_ = new Banner(this);
    recorderBanner_->setObjectName(QStringLiteral("recorderIssue"));
    storeBanner_ = new Banner(this);
    storeBanner_->setObjectName(QStringLiteral("historyIssue"));
    playerBanner_ = new Banner(this);
    playerBanner_->setObjectName(QStringLiteral("playerIssue"));
    for (Banner* banner : {transcriberBanner_, recorderBanner_, storeBanner_, playerBanner_}) {
        layout->addWidget(banner);
        banner->setVisible(false);
    }

    connect(transcriberBanner_, &Banner::dismissRequested, this, [this] { transcriber_.clearIssue(); });
    connect(transcriberBanner_, &Banner::downloadAgainRequested, this, [this] {
        transcriber_.clearIssue();
        // A recording under way would find the transcriber busy when it stops.
        if (!recorder_.isRecording()) transcriber_.retry();
    });
    connect(recorderBanner_, &Banner::dismissRequested, this, [this] { recorder_.clearIssue(); });
    connect(recorderBanner_, &Banner::downloadAgainRequested, this, [this] {
        recorder_.clearIssue();
        if (!recorder_.isRecording()) transcriber_.retry();
    });
    connect(storeBanner_, &Banner::dismissRequested, this, [this] { store_.clearIssue(); });
    connect(playerBanner_, &Banner::dismissRequested, this, [this] { player_.clearIssue(); });
    for (Banner* banner : {transcriberBanner_, recorderBanner_, storeBanner_, playerBanner_}) {
        connect(banner, &Banner::settingsRequested, this, [this] {
            if (desktop_.openUrl && !desktop_.microphoneSettings.isEmpty())
                desktop_.openUrl(desktop_.microphoneSettings);
        });
        connect(banner, &Banner::detailsToggled, this, &IssueBanner::setShowDetails);
    }

    connect(&transcriber_, &Transcriber::issueChanged, this, &IssueBanner::sync);
    connect(&recorder_, &Recorder::issueChanged, this, &IssueBanner::sync);
    connect(&recorder_, &Recorder::issueNeedsSettingsChanged, this, &IssueBanner::sync);
    connect(&recorder_, &Recorder::isRecordingChanged, this, &IssueBanner::sync);
    connect(&store_, &TranscriptStore::issueChanged, this, &IssueBanner::sync);
    connect(&player_, &AudioPlayerController::issueChanged, this, &IssueBanner::sync);
    sync();
}

void IssueBanner::setShowDetails(bool show) {
    showDetails_ = show;
    for (Banner* banner : {transcriberBanner_, recorderBanner_, storeBanner_, playerBanner_}) {
        banner->setDetailsExpanded(show);
    }
}

void IssueBanner::sync() {
    const bool settingsPage = !desktop_.microphoneSettings.isEmpty();
    const auto place = [this](Banner* banner, const std::optional<NorvelError>& issue, bool offerSettings) {
        if (!issue) {
            banner->setVisible(false);
            return;
        }
        banner->setDetailsExpanded(showDetails_);
        banner->present(*issue, offerSettings);
        banner->downloadAgainButton()->setEnabled(!recorder_.isRecording());
    };
    place(transcriberBanner_, transcriber_.issue(), false);
    place(recorderBanner_, recorder_.issue(), recorder_.issueNeedsSettings() && settingsPage);
    place(storeBanner_, store_.issue(), false);
    place(playerBanner_, player_.issue(), false);
    setVisible(transcriber_.issue().has_value() || recorder_.issue().has_value() || store_.issue().has_value() ||
               player_.issue().has_value());
}

}  // namespace norvel
