#include "App/Model/AppPaths.h"

#include <QDir>
#include <QStandardPaths>

namespace norvel {

QString AppPaths::root() {
    const QString base = QStandardPaths::writableLocation(QStandardPaths::GenericDataLocation);
    if (base.isEmpty()) return QDir(QDir::tempPath()).filePath(QStringLiteral("Norvel"));
    return QDir(base).filePath(QStringLiteral("Norvel"));
}

QString AppPaths::models() { return QDir(root()).filePath(QStringLiteral("Models")); }

QString AppPaths::history() { return QDir(root()).filePath(QStringLiteral("History")); }

void AppPaths::ensure(const QString& folder) { QDir().mkpath(folder); }

}  // namespace norvel
