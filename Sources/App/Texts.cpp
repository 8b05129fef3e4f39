#include "App/Texts.h"

#include <QLocale>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstring>

namespace norvel::Texts {

QString welcomeBody(const QString& dataFolder) {
    return q("Everything happens on this computer. Your audio is never uploaded. Norvel stores two things in ") +
           dataFolder +
           q(": the speech models you download, and the text (with times) of your transcripts. The audio itself is "
             "not kept.");
}

QString modelPickerEntry(const QString& displayName, const QString& sizeLabel) {
    return displayName + q(" · ") + sizeLabel;
}

QString downloadingNamedModel(const QString& displayName, const QString& sizeLabel) {
    return q("Downloading ") + displayName + q(" (") + sizeLabel + q(")…");
}

QString elapsed(const QString& clock) { return q("Elapsed ") + clock; }

QString convertingNamedModel(const QString& displayName) {
    return q("Converting ") + displayName + q(" for this computer…");
}

QString corruptModel(const QString& displayName) {
    return q("The ") + displayName +
           q(" model could not be loaded. Its files may be damaged or incomplete, so Norvel deleted it. Press "
             "\"Download again\" to fetch a fresh copy. Show Details has the technical reason.");
}

QString micNotReadyDetails(double sampleRate, int channels) {
    // A whole rate keeps one decimal place, as in "16000.0".
    QString rate = QString::number(sampleRate, 'g', 17);
    if (!rate.contains(QLatin1Char('.')) && !rate.contains(QLatin1Char('e')) && !rate.contains(QLatin1Char('n'))) {
        rate += q(".0");
    }
    return q("Input format: sampleRate ") + rate + q(", channels ") + QString::number(channels);
}

QString playbackFailedDetails(const QString& error) { return q("QAudioSink::start failed: ") + error; }

QString noFileManager(const QString& path) {
    return q("No file manager could be opened to show ") + path +
           q(". Install a file manager, or open that folder yourself.");
}

QString exportNotWritten(const QString& fileName, const QString& folder, const QString& reason) {
    QString text = q("Norvel could not save “") + fileName + q("” in ") + folder + q(". ") + reason;
    // A full disk's sentence already says what to do.
    if (reason != q(diskFull)) text += q(" Choose another name or folder and try again.");
    return text;
}

QString historyNotWritten(const QString& folder, const QString& reason) {
    return q("Norvel could not save the transcript in its history folder ") + folder + q(". ") + reason;
}

QString writeProblem(int errorNumber) {
    switch (errorNumber) {
        case ENOENT: return q("The folder does not exist.");
        case ENOTDIR: return q("Part of the path is a file, not a folder.");
        case EACCES:
        case EPERM: return q("You do not have permission to write there.");
        case EROFS: return q("The folder is on a read-only disk.");
        case EDQUOT: return q("Your disk quota is used up.");
        case ENOSPC: return q(diskFull);
        case ENAMETOOLONG: return q("The file name is too long.");
        case EISDIR: return q("A folder of that name is already there.");
        default: break;
    }
    return q("The system reported: ") + QString::fromLocal8Bit(std::strerror(errorNumber)) + q(".");
}

QString deleteModelQuestion(const QString& displayName) { return q("Delete the ") + displayName + q(" model?"); }

QString deleteModelInformation(const QString& sizeText) {
    return q("It takes ") + sizeText + q(" on disk. Norvel downloads it again the next time you use it.");
}

// ==== Views ====

QString downloadPercent(double fraction, const QString& speedText, const QString& bytesText) {
    // The whole percent, the fraction dropped; a value that is not a number shows as 0.
    const double percent = fraction * 100.0;
    const long long whole = percent >= 0 && percent < 1e15 ? static_cast<long long>(percent) : 0;
    QString text = QLocale().toString(whole) + q("%  ");
    if (!bytesText.isEmpty()) text += bytesText + q("  ");
    return text + speedText;
}

QString bytesOfTotal(const QString& received, const QString& total) { return received + q(" of ") + total; }

QString historyInfo(const QString& dateText, const QString& durationClock, bool partial) {
    QString info = dateText + q(" · ") + durationClock;
    if (partial) info += q(" · ") + q(Texts::partial);
    return info;
}

QString inputLevelState(double level) {
    const double clamped = level > 0 ? std::min(level, 1.0) : 0.0;  // also a level that is not a number
    QString text = QLocale().toString(std::lround(clamped * 100)) + q("%");
    if (clamped > 0.85) text += q(", too loud");
    return text;
}

QString segmentAt(const QString& clock) { return q("Segment at ") + clock; }

}  // namespace norvel::Texts
