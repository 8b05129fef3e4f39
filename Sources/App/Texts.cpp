#include "App/Texts.h"

#include <QLocale>

#include <cerrno>
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

QString approximateSize(const QString& amount) { return q("about ") + amount; }

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
    return q("Norvel could not save “") + fileName + q("” in ") + folder + q(". ") + reason +
           q(" Choose another name or folder and try again.");
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
        case ENOSPC: return q("The disk is full.");
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

QString downloadPercent(double fraction, const QString& speedText) {
    // The whole percent, the fraction dropped; a value that is not a number shows as 0.
    const double percent = fraction * 100.0;
    const long long whole = percent >= 0 && percent < 1e15 ? static_cast<long long>(percent) : 0;
    return QLocale().toString(whole) + q("%  ") + speedText;
}

QString historyInfo(const QString& dateText, const QString& durationClock, bool partial) {
    QString info = dateText + q(" · ") + durationClock;
    if (partial) info += q(" · ") + q(Texts::partial);
    return info;
}

}  // namespace norvel::Texts
