#include "App/Model/ModelChoice.h"

#include "App/Texts.h"
#include "Murmex/Model/ModelCheckpoint.h"

#include <algorithm>
#include <cmath>

namespace norvel {

QString rawValue(ModelChoice choice) {
    switch (choice) {
        case ModelChoice::fast: return QStringLiteral("fast");
        case ModelChoice::balanced: return QStringLiteral("balanced");
        case ModelChoice::accurate: return QStringLiteral("accurate");
        case ModelChoice::best: return QStringLiteral("best");
    }
    return QStringLiteral("balanced");
}

std::optional<ModelChoice> modelChoiceFromRawValue(const QString& text) {
    for (ModelChoice choice : allModelChoices) {
        if (rawValue(choice) == text) return choice;
    }
    return std::nullopt;
}

QString displayName(ModelChoice choice) {
    switch (choice) {
        case ModelChoice::fast: return Texts::q(Texts::modelFastName);
        case ModelChoice::balanced: return Texts::q(Texts::modelBalancedName);
        case ModelChoice::accurate: return Texts::q(Texts::modelAccurateName);
        case ModelChoice::best: return Texts::q(Texts::modelBestName);
    }
    return {};
}

QString sizeLabel(ModelChoice choice) { return sizeLabelForBytes(knownDownloadBytes(choice)); }

std::int64_t knownDownloadBytes(ModelChoice choice) {
    const auto checkpoint = murmex::ModelCheckpoint::forVariant(variantFolder(choice).toStdString());
    return checkpoint ? checkpoint->knownDownloadBytes : 0;
}

QString sizeLabelForBytes(std::int64_t bytes, const QLocale& locale) {
    const double megabytes = static_cast<double>(std::max<std::int64_t>(bytes, 0)) / 1e6;
    if (megabytes < 999.5)
        return Texts::approximateSize(locale.toString(std::max(1.0, std::round(megabytes)), 'f', 0) +
                                      QStringLiteral(" MB"));
    return Texts::approximateSize(locale.toString(std::round(megabytes / 100.0) / 10.0, 'f', 1) +
                                  QStringLiteral(" GB"));
}

QString variantFolder(ModelChoice choice) {
    // The repository's family prefix, the Whisper size, "_turbo" for the turbo model and
    // "_<N>MB" for a size-reduced variant.
    switch (choice) {
        case ModelChoice::fast: return QStringLiteral("openai_whisper-tiny");
        case ModelChoice::balanced: return QStringLiteral("openai_whisper-base");
        case ModelChoice::accurate: return QStringLiteral("openai_whisper-small_216MB");
        case ModelChoice::best: return QStringLiteral("openai_whisper-large-v3_turbo_954MB");
    }
    return {};
}

}  // namespace norvel
