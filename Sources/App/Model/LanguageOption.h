#pragma once

#include <QString>

#include <optional>
#include <vector>

namespace norvel {

// A language the user can ask for; no code means: detect the language automatically.
struct LanguageOption {
    std::optional<QString> code;
    QString name;

    // The code, or "auto" for automatic detection.
    QString id() const { return code.value_or(QStringLiteral("auto")); }

    // The picker's 18 entries, automatic detection first.
    static const std::vector<LanguageOption>& all();

    friend bool operator==(const LanguageOption&, const LanguageOption&) = default;
};

}  // namespace norvel
