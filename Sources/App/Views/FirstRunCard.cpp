#include "App/Views/FirstRunCard.h"

#include "App/Texts.h"
#include "App/Views/Style.h"

#include <QDir>
#include <QHBoxLayout>
#include <QLabel>
#include <QPushButton>
#include <QVBoxLayout>

namespace norvel {

FirstRunCard::FirstRunCard(const QString& dataFolder, bool offerMicrophoneSettings, QWidget* parent)
    : RoundedPanel(
          10, [](const QPalette& palette) { return Style::withOpacity(Style::accent(palette), 0.10); }, parent) {
    setObjectName(QStringLiteral("firstRunCard"));
    setFont(Style::callout());
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(12, 12, 12, 12);
    layout->setSpacing(8);

    auto* title = new QLabel(Texts::q(Texts::welcomeTitle), this);
    title->setFont(Style::headline());
    layout->addWidget(title);

    auto* body = new QLabel(Texts::welcomeBody(QDir::toNativeSeparators(dataFolder)), this);
    body->setObjectName(QStringLiteral("welcomeBody"));
    body->setWordWrap(true);
    body->setTextInteractionFlags(Qt::TextSelectableByMouse);
    layout->addWidget(body);

    auto* footnote = new QLabel(Texts::q(Texts::welcomeFootnote), this);
    footnote->setWordWrap(true);
    Style::setSecondary(*footnote);
    layout->addWidget(footnote);

    auto* buttons = new QHBoxLayout();
    buttons->setSpacing(8);
    if (offerMicrophoneSettings) {
        settings_ = new QPushButton(Texts::q(Texts::openMicrophoneSettings), this);
        settings_->setObjectName(QStringLiteral("openMicrophoneSettings"));
        connect(settings_, &QPushButton::clicked, this, &FirstRunCard::openSettingsRequested);
        buttons->addWidget(settings_);
    }
    buttons->addStretch(1);
    gotIt_ = new QPushButton(Texts::q(Texts::gotIt), this);
    gotIt_->setObjectName(QStringLiteral("gotIt"));
    // The window's default button: Return presses it (the window forwards the key).
    gotIt_->setDefault(true);
    connect(gotIt_, &QPushButton::clicked, this, &FirstRunCard::dismissed);
    buttons->addWidget(gotIt_);
    layout->addLayout(buttons);
}

}  // namespace norvel
