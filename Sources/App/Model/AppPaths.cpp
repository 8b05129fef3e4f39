#include "App/Model/AppPaths.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>
#include <QStandardPaths>
#include <QSysInfo>

#include <sys/stat.h>
#include <sys/types.h>
#include <unistd.h>
#include <cerrno>
#include <csignal>
#include <mutex>

namespace norvel {

namespace {

// The start time of a process in clock ticks after boot (field 22 of /proc/<pid>/stat);
// empty when the process does not exist or cannot be looked at.
QString startTimeOf(const QString& pid) {
    QFile stat(QStringLiteral("/proc/") + pid + QStringLiteral("/stat"));
    if (!stat.open(QIODevice::ReadOnly)) return {};
    const QByteArray line = stat.readAll();
    // The command name in parentheses may hold blanks and parentheses itself.
    const qsizetype close = line.lastIndexOf(')');
    if (close < 0) return {};
    const QList<QByteArray> fields = line.mid(close + 1).simplified().split(' ');
    // Fields after the name start with field 3 (the state); the start time is field 22.
    if (fields.size() < 20) return {};
    return QString::fromLatin1(fields[19]);
}

std::mutex& folderMutex() {
    static std::mutex mutex;
    return mutex;
}

}  // namespace

QString AppPaths::root() {
    const QString base = QStandardPaths::writableLocation(QStandardPaths::GenericDataLocation);
    if (base.isEmpty()) return QDir(QDir::tempPath()).filePath(QStringLiteral("Norvel"));
    return QDir(base).filePath(QStringLiteral("Norvel"));
}

QString AppPaths::models() { return QDir(root()).filePath(QStringLiteral("Models")); }

QString AppPaths::history() { return QDir(root()).filePath(QStringLiteral("History")); }

void AppPaths::ensure(const QString& folder) { QDir().mkpath(folder); }

QString AppPaths::temporaryFoldersParent() {
    QString base = QStandardPaths::writableLocation(QStandardPaths::GenericCacheLocation);
    QString norvel = QStringLiteral("Norvel");
    if (base.isEmpty()) {
        base = QDir::tempPath();
        norvel += QLatin1Char('-') + QString::number(::getuid());
    }
    QString host = QSysInfo::machineHostName();
    host.replace(QLatin1Char('/'), QLatin1Char('_'));
    if (host.isEmpty() || host == QLatin1String(".") || host == QLatin1String("..")) host = QStringLiteral("localhost");
    // One folder per computer: a home folder shared by several computers holds the folders of
    // processes this one cannot look at.
    return QDir(base).filePath(norvel + QStringLiteral("/Temporary/") + host);
}

QString AppPaths::processFolderName() {
    const QString pid = QString::number(::getpid());
    const QString start = startTimeOf(pid);
    return pid + QLatin1Char('-') + (start.isEmpty() ? QStringLiteral("0") : start);
}

QString AppPaths::temporaryFolder() {
    static const QString name = processFolderName();
    const QString folder = QDir(temporaryFoldersParent()).filePath(name);
    const std::lock_guard lock(folderMutex());
    if (!QFileInfo(folder).isDir()) {
        QDir().mkpath(folder);
        ::chmod(QFile::encodeName(folder).constData(), 0700);
    }
    return folder;
}

void AppPaths::removeTemporaryFolder() {
    const std::lock_guard lock(folderMutex());
    QDir(QDir(temporaryFoldersParent()).filePath(processFolderName())).removeRecursively();
}

bool AppPaths::isLiveProcessFolder(const QString& name) {
    static const QRegularExpression form(QStringLiteral("^([1-9][0-9]{0,9})-([0-9]{1,20})$"));
    const QRegularExpressionMatch match = form.match(name);
    if (!match.hasMatch()) return false;
    const QString pid = match.captured(1);
    const QString start = startTimeOf(pid);
    if (!start.isEmpty()) return start == match.captured(2) || match.captured(2) == QLatin1String("0");
    if (QFileInfo::exists(QStringLiteral("/proc/self/stat"))) return false;
    // Without a process table to read, only the number can be asked about.
    bool ok = false;
    const long number = pid.toLong(&ok);
    return ok && (::kill(pid_t(number), 0) == 0 || errno != ESRCH);
}

void AppPaths::removeStaleTemporaryFolders() {
    const QDir parent(temporaryFoldersParent());
    const QString own = processFolderName();
    for (const QString& name : parent.entryList(QDir::Dirs | QDir::NoDotAndDotDot | QDir::Hidden)) {
        if (name == own || isLiveProcessFolder(name)) continue;
        // Only folders this application names are ever deleted.
        static const QRegularExpression form(QStringLiteral("^[0-9]+-[0-9]+$"));
        if (!form.match(name).hasMatch()) continue;
        const QString path = parent.filePath(name);
        // A link is removed, never followed.
        if (QFileInfo(path).isSymLink()) {
            QFile::remove(path);
        } else {
            QDir(path).removeRecursively();
        }
    }
}

}  // namespace norvel
