#include "App/Texts.h"

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

// ==== Views ====

QString downloadPercent(double fraction, const QString& speedText) {
    // The whole percent, the fraction dropped; a value that is not a number shows as 0.
    const double percent = fraction * 100.0;
    const long long whole = percent >= 0 && percent < 1e15 ? static_cast<long long>(percent) : 0;
    return QString::number(whole) + q("%  ") + speedText;
}

QString historyInfo(const QString& dateText, const QString& durationClock, bool partial) {
    QString info = dateText + q(" · ") + durationClock;
    if (partial) info += q(" · ") + q(Texts::partial);
    return info;
}

}  // namespace norvel::Texts
