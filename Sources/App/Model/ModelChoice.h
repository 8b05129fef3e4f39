#pragma once

#include <QLocale>
#include <QString>

#include <array>
#include <cstdint>
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
// The approximate download size known beforehand: "about 293 MB".
QString sizeLabel(ModelChoice choice);
// The bytes a download of the choice fetches, as far as known beforehand: its checkpoint's
// weights, configuration and tokenizer files.
std::int64_t knownDownloadBytes(ModelChoice choice);
// "about 293 MB" below a gigabyte, "about 1.6 GB" above (decimal units), with the decimal
// sign of `locale` ("about 1,6 GB" in German).
QString sizeLabelForBytes(std::int64_t bytes, const QLocale& locale = QLocale());
// The name of the model repository's folder that holds this size's models, and of the local
// folder the model store looks for: "openai_whisper-base".
QString variantFolder(ModelChoice choice);

}  // namespace norvel
