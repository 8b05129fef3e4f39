#include "App/Views/ContentView.h"

#include "App/Model/AppPaths.h"
#include "App/Services/Transcriber.h"
#include "App/Texts.h"
#include "App/Views/ColumnScrollArea.h"
#include "App/Views/FirstRunCard.h"
#include "App/Views/HistoryView.h"
#include "App/Views/InputRow.h"
#include "App/Views/IssueBanner.h"
#include "App/Views/ProgressPanel.h"
#include "App/Views/SettingsRow.h"
#include "App/Views/TranscriptView.h"

#include <QFrame>
#include <QHBoxLayout>
#include <QKeyEvent>
#include <QScrollArea>
#include <QVBoxLayout>

namespace norvel {

ContentView::ContentView(ViewServices services, std::unique_ptr<QSettings> settings, Desktop desktop, QWidget* parent)
    : QMainWindow(parent), settings_(std::move(settings)), desktop_(std::move(desktop)) {
    setObjectName(QStringLiteral("contentView"));
    setWindowTitle(Texts::q(Texts::appName));
    firstRunDismissed_ = settings_ && settings_->value(QLatin1String(firstRunDismissedKey), false).toBool();

    auto* root = new QWidget(this);
    root->setObjectName(QStringLiteral("rootView"));
    root->setMinimumSize(minimumContentWidth, minimumContentHeight);
    auto* split = new QHBoxLayout(root);
    split->setContentsMargins(0, 0, 0, 0);
    split->setSpacing(0);

    history_ = new HistoryView(services.store, services.transcriber, root);
    split->addWidget(history_);
    auto* divider = new QFrame(root);
    divider->setFrameShape(QFrame::VLine);
    divider->setFrameShadow(QFrame::Plain);
    divider->setForegroundRole(QPalette::Mid);
    divider->setLineWidth(1);
    divider->setFixedWidth(1);
    split->addWidget(divider);

    auto* columnScroll = new ColumnScrollArea(root);
    columnScroll->setObjectName(QStringLiteral("mainColumnScroll"));
    column_ = new QWidget();
    column_->setObjectName(QStringLiteral("mainColumn"));
    auto* column = new QVBoxLayout(column_);
    column->setContentsMargins(18, 18, 18, 18);
    column->setSpacing(14);
    if (!firstRunDismissed_) {
        card_ = new FirstRunCard(AppPaths::root(), !desktop_.microphoneSettings.isEmpty(), column_);
        connect(card_, &FirstRunCard::dismissed, this, &ContentView::dismissFirstRun);
        connect(card_, &FirstRunCard::openSettingsRequested, this, [this] {
            if (desktop_.openUrl && !desktop_.microphoneSettings.isEmpty())
                desktop_.openUrl(desktop_.microphoneSettings);
        });
        column->addWidget(card_);
    }
    settingsRow_ = new SettingsRow(services.transcriber, services.models, column_);
    column->addWidget(settingsRow_);
    inputRow_ = new InputRow(services.transcriber, services.recorder, desktop_, column_);
    column->addWidget(inputRow_);
    progress_ = new ProgressPanel(services.transcriber, services.models, column_);
    column->addWidget(progress_);
    issues_ =
        new IssueBanner(services.transcriber, services.store, services.player, services.recorder, desktop_, column_);
    column->addWidget(issues_);
    transcript_ = new TranscriptView(services.transcriber, services.player, column_);
    column->addWidget(transcript_, 1);
    // The items above the transcript keep the height their content needs at the column's
    // width; the transcript takes what is left, but no less than a few rows. Only when a small
    // window cannot hold them all does the column scroll, rather than cut any text off.
    for (QWidget* item : std::initializer_list<QWidget*>{card_, settingsRow_, inputRow_, progress_, issues_}) {
        if (item != nullptr) item->setSizePolicy(QSizePolicy::Preferred, QSizePolicy::Fixed);
    }
    transcript_->setMinimumHeight(140);
    columnScroll->setColumn(column_);
    split->addWidget(columnScroll, 1);

    setCentralWidget(root);
    // The save panel is a window of this one, so it cannot open behind it.
    transcriber_ = &services.transcriber;
    if (desktop_.chooseSaveFile) {
        transcriber_->setSavePanel([this](const QString& proposedFileName) -> std::optional<QString> {
            return desktop_.chooseSaveFile(this, proposedFileName);
        });
    }
    // The window takes its smallest size from its content now, not only once shown.
    layout()->activate();
    resize(1100, 760);
}

ContentView::~ContentView() {
    if (desktop_.chooseSaveFile) transcriber_->setSavePanel({});
}

std::unique_ptr<QSettings> ContentView::userSettings() {
    const QString name = Texts::q(Texts::appName);
    return std::make_unique<QSettings>(QSettings::NativeFormat, QSettings::UserScope, name, name);
}

void ContentView::dismissFirstRun() {
    if (firstRunDismissed_) return;
    firstRunDismissed_ = true;
    if (settings_) {
        settings_->setValue(QLatin1String(firstRunDismissedKey), true);
        settings_->sync();
    }
    if (card_) {
        card_->hide();
        card_->deleteLater();
        card_ = nullptr;
    }
}

void ContentView::keyPressEvent(QKeyEvent* event) {
    // "Got it" is the window's default button: Return presses it while the card shows and no
    // control has taken the key.
    if (card_ && (event->key() == Qt::Key_Return || event->key() == Qt::Key_Enter) &&
        event->modifiers() == Qt::NoModifier) {
        dismissFirstRun();
        event->accept();
        return;
    }
    QMainWindow::keyPressEvent(event);
}

}  // namespace norvel
