#include "App/Views/HistoryView.h"

#include "App/Model/Fmt.h"
#include "App/Services/Transcriber.h"
#include "App/Services/TranscriptStore.h"
#include "App/Texts.h"
#include "App/Views/ElidedLabel.h"
#include "App/Views/Style.h"
#include "App/Views/Symbols.h"

#include <QHBoxLayout>
#include <QLabel>
#include <QMouseEvent>
#include <QPainter>
#include <QPainterPath>
#include <QRegularExpression>
#include <QScrollArea>
#include <QToolButton>
#include <QVBoxLayout>

#include <map>

namespace norvel {

namespace {

QToolButton* symbolButton(Symbol symbol, const char* tip, QWidget* parent, bool borderless) {
    auto* button = new QToolButton(parent);
    button->setIcon(symbolIcon(symbol, parent->palette().color(QPalette::ButtonText), 16));
    button->setIconSize(QSize(14, 14));
    button->setToolTip(Texts::q(tip));
    button->setAccessibleName(Texts::q(tip));
    button->setAutoRaise(borderless);
    button->setCursor(Qt::ArrowCursor);
    return button;
}

}  // namespace

// ---- HistoryRow ----

HistoryRow::HistoryRow(const TranscriptDocument& document, QWidget* parent) : QWidget(parent) {
    setObjectName(QStringLiteral("historyRow"));
    setCursor(Qt::PointingHandCursor);
    setAttribute(Qt::WA_Hover);
    auto* layout = new QHBoxLayout(this);
    layout->setContentsMargins(8, 5, 6, 5);
    layout->setSpacing(2);

    auto* texts = new QVBoxLayout();
    texts->setSpacing(2);
    title_ = new ElidedLabel(1, this);
    title_->setObjectName(QStringLiteral("historyTitle"));
    title_->setFont(Style::body());
    texts->addWidget(title_);
    info_ = new QLabel(this);
    info_->setObjectName(QStringLiteral("historyInfo"));
    info_->setFont(Style::caption2());
    Style::setSecondary(*info_);
    texts->addWidget(info_);
    layout->addLayout(texts, 1);

    reveal_ = symbolButton(Symbol::magnifyingGlass, Texts::showInFileManager, this, true);
    reveal_->setObjectName(QStringLiteral("revealTranscript"));
    connect(reveal_, &QToolButton::clicked, this, &HistoryRow::revealRequested);
    layout->addWidget(reveal_);
    delete_ = symbolButton(Symbol::trash, Texts::deleteTranscript, this, true);
    delete_->setObjectName(QStringLiteral("deleteTranscript"));
    connect(delete_, &QToolButton::clicked, this, &HistoryRow::deleteRequested);
    layout->addWidget(delete_);

    for (QWidget* label : {static_cast<QWidget*>(title_), static_cast<QWidget*>(info_)}) {
        label->setAttribute(Qt::WA_TransparentForMouseEvents);
    }
    setDocument(document);
}

void HistoryRow::setDocument(const TranscriptDocument& document) {
    document_ = document;
    title_->setText(document.title);
    title_->setToolTip(document.title);
    info_->setText(HistoryView::infoLine(document));
    // The row opens the transcript when clicked; a screen reader names it as it reads.
    setAccessibleName(document.title);
    setAccessibleDescription(info_->text());
}

void HistoryRow::paintEvent(QPaintEvent*) {
    if (!hovered_) return;
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    QPainterPath path;
    path.addRoundedRect(QRectF(rect()).adjusted(4, 0, -4, 0), 6, 6);
    painter.fillPath(path, Style::withOpacity(Style::secondary(palette()), pressed_ ? 0.22 : 0.12));
}

void HistoryRow::mousePressEvent(QMouseEvent* event) {
    pressed_ = event->button() == Qt::LeftButton;
    update();
    event->accept();
}

void HistoryRow::mouseReleaseEvent(QMouseEvent* event) {
    const bool click = pressed_ && event->button() == Qt::LeftButton && rect().contains(event->position().toPoint());
    pressed_ = false;
    update();
    event->accept();
    if (click) Q_EMIT openRequested();
}

void HistoryRow::enterEvent(QEnterEvent* event) {
    hovered_ = true;
    update();
    QWidget::enterEvent(event);
}

void HistoryRow::leaveEvent(QEvent* event) {
    hovered_ = false;
    pressed_ = false;
    update();
    QWidget::leaveEvent(event);
}

// ---- HistoryView ----

HistoryView::HistoryView(TranscriptStore& store, Transcriber& transcriber, QWidget* parent)
    : QWidget(parent), store_(store), transcriber_(transcriber) {
    setObjectName(QStringLiteral("historyView"));
    setFixedWidth(sidebarWidth);
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(8);

    auto* header = new QHBoxLayout();
    header->setContentsMargins(12, 12, 12, 0);
    auto* title = new QLabel(Texts::q(Texts::history), this);
    title->setFont(Style::headline());
    header->addWidget(title);
    header->addStretch(1);
    folder_ = symbolButton(Symbol::folder, Texts::openHistoryFolder, this, false);
    folder_->setObjectName(QStringLiteral("openHistoryFolder"));
    connect(folder_, &QToolButton::clicked, this, [this] { store_.revealFolder(); });
    header->addWidget(folder_);
    layout->addLayout(header);

    placeholder_ = new QLabel(Texts::q(Texts::historyPlaceholder), this);
    placeholder_->setObjectName(QStringLiteral("historyPlaceholder"));
    placeholder_->setFont(Style::caption());
    placeholder_->setWordWrap(true);
    placeholder_->setContentsMargins(12, 0, 12, 0);
    Style::setSecondary(*placeholder_);
    layout->addWidget(placeholder_);

    scroll_ = new QScrollArea(this);
    scroll_->setObjectName(QStringLiteral("historyList"));
    scroll_->setFrameShape(QFrame::NoFrame);
    scroll_->setWidgetResizable(true);
    scroll_->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    scroll_->viewport()->setAutoFillBackground(false);
    rowsBox_ = new QWidget();
    rowsBox_->setAutoFillBackground(false);
    rowsLayout_ = new QVBoxLayout(rowsBox_);
    rowsLayout_->setContentsMargins(0, 0, 0, 8);
    rowsLayout_->setSpacing(0);
    rowsLayout_->addStretch(1);
    scroll_->setWidget(rowsBox_);
    // The rows lie on the sidebar's background (setting the widget made it opaque).
    rowsBox_->setAutoFillBackground(false);
    layout->addWidget(scroll_, 1);
    // Keeps the hint at the top while the list is hidden.
    layout->addStretch(0);

    connect(&store_, &TranscriptStore::itemsChanged, this, &HistoryView::sync);
    sync();
}

QString HistoryView::dateText(const QDateTime& date, const QLocale& locale) {
    // The locale's long date without its weekday and with the month name shortened.
    QString format = locale.dateFormat(QLocale::LongFormat);
    format.remove(QRegularExpression(QStringLiteral("d{4}[,.]?\\s*")));
    format.replace(QRegularExpression(QStringLiteral("M{4}")), QStringLiteral("MMM"));
    format = format.trimmed();
    if (format.isEmpty()) format = locale.dateFormat(QLocale::ShortFormat);
    // The short time in hours and minutes, without the seconds some locales add.
    QString time = locale.timeFormat(QLocale::ShortFormat);
    time.remove(QRegularExpression(QStringLiteral("[:.]s{1,2}(\\.z+)?")));
    const QDateTime local = date.toLocalTime();
    return locale.toString(local.date(), format) + QStringLiteral(", ") + locale.toString(local.time(), time);
}

QString HistoryView::infoLine(const TranscriptDocument& document, const QLocale& locale) {
    return Texts::historyInfo(dateText(document.date, locale), Fmt::clock(document.duration), document.partial);
}

void HistoryView::sync() {
    const std::vector<TranscriptDocument>& items = store_.items();
    // Rows of documents that stay are kept; a row whose button is being handled is removed
    // only once the event loop is back.
    std::multimap<QUuid, HistoryRow*> old;
    for (HistoryRow* row : rows_) old.emplace(row->document().id, row);
    std::vector<HistoryRow*> rows;
    rows.reserve(items.size());
    for (const TranscriptDocument& document : items) {
        const auto found = old.find(document.id);
        if (found != old.end()) {
            HistoryRow* row = found->second;
            old.erase(found);
            row->setDocument(document);
            rows.push_back(row);
            continue;
        }
        auto* row = new HistoryRow(document, rowsBox_);
        // Each action works on a copy: the row's own document changes with the list.
        connect(row, &HistoryRow::openRequested, this, [this, row] {
            const TranscriptDocument document = row->document();
            // The transcript shown already stays as it is, with its audio.
            const auto& shown = transcriber_.currentDocument();
            if (shown && shown->id == document.id && transcriber_.phase() == Transcriber::Phase::idle) return;
            transcriber_.open(document);
        });
        connect(row, &HistoryRow::revealRequested, this, [this, row] {
            const TranscriptDocument document = row->document();
            store_.reveal(document);
        });
        connect(row, &HistoryRow::deleteRequested, this, [this, row] {
            const TranscriptDocument document = row->document();
            store_.remove(document);
        });
        rows.push_back(row);
    }
    for (auto& [id, row] : old) {
        rowsLayout_->removeWidget(row);
        row->hide();
        row->deleteLater();
    }
    for (HistoryRow* row : rows) rowsLayout_->removeWidget(row);
    for (std::size_t i = 0; i < rows.size(); ++i) {
        rowsLayout_->insertWidget(int(i), rows[i]);
        rows[i]->show();
    }
    rows_ = std::move(rows);

    const bool empty = rows_.empty();
    placeholder_->setVisible(empty);
    scroll_->setVisible(!empty);
}

void HistoryView::paintEvent(QPaintEvent*) {
    // The sidebar sits on a slightly deeper shade of the window.
    QPainter painter(this);
    const QColor window = palette().color(QPalette::Window);
    painter.fillRect(rect(), window.lightness() > 128 ? window.darker(104) : window.lighter(115));
}

}  // namespace norvel
