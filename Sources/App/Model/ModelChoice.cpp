#include "App/Model/ModelChoice.h"

#include "App/Texts.h"

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

QString sizeLabel(ModelChoice choice) {
    switch (choice) {
        case ModelChoice::fast: return Texts::q(Texts::modelFastSize);
        case ModelChoice::balanced: return Texts::q(Texts::modelBalancedSize);
        case ModelChoice::accurate: return Texts::q(Texts::modelAccurateSize);
        case ModelChoice::best: return Texts::q(Texts::modelBestSize);
    }
    return {};
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
