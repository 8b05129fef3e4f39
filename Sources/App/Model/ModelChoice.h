#pragma once

#include <QString>

#include <array>
#include <optional>

namespace norvel {

// The four model sizes the user can pick, in the order the pickers list them.
enum class ModelChoice { fast, balanced, accurate, best };

inline constexpr std::array<ModelChoice, 4> allModelChoices = {ModelChoice::fast, ModelChoice::balanced,
                                                               ModelChoice::accurate, ModelChoice::best};

// "fast", "balanced", "accurate" or "best"; also the choice's identity.
QString rawValue(ModelChoice choice);
// The choice whose raw value is exactly `text`; nothing for any other text (also "Fast").
std::optional<ModelChoice> modelChoiceFromRawValue(const QString& text);
// Shown in pickers and progress texts and stored as a transcript's model name: "Balanced (base)".
QString displayName(ModelChoice choice);
// The approximate size of the installed model, shown beside its name: "about 147 MB".
QString sizeLabel(ModelChoice choice);
// The name of the model repository's folder that holds this size's models, and of the local
// folder the model store looks for: "openai_whisper-base".
QString variantFolder(ModelChoice choice);

}  // namespace norvel
