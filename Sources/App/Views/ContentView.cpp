#include "App/Views/ContentView.h"

#include "App/AppEnvironment.h"
#include "App/Texts.h"

#include <QLabel>

namespace norvel {

ContentView::ContentView(AppEnvironment& environment, QWidget* parent)
    : QMainWindow(parent), environment_(environment) {
    setWindowTitle(Texts::q(Texts::appName));
    setMinimumSize(940, 680);
    auto* label = new QLabel(Texts::q(Texts::transcriptPlaceholder), this);
    label->setObjectName(QStringLiteral("transcriptPlaceholder"));
    label->setAlignment(Qt::AlignCenter);
    setCentralWidget(label);
}

}  // namespace norvel
