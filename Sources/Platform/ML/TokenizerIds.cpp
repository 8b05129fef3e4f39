#include "Platform/ML/TokenizerIds.h"

#include "Platform/IO/RegularFile.h"
#include "Platform/ML/MLError.h"
#include "Platform/Text/MessageText.h"
#include "Platform/Text/StrictJson.h"

#include <nlohmann/json.hpp>

namespace platform {

namespace {

[[noreturn]] void invalid(const std::filesystem::path& file, const std::string& why) {
    throw MLError(MLError::Code::invalidModel, "The tokenizer file " + file.string() + " " + why);
}

}  // namespace

TokenizerIds TokenizerIds::read(const std::filesystem::path& file) {
    std::string text;
    try {
        text = readRegularFile(file, maximumFileBytes);
    } catch (const RegularFileError& error) {
        if (error.reason() == RegularFileError::Reason::tooLarge)
            invalid(file, "is larger than " + std::to_string(maximumFileBytes >> 20) + " MiB");
        if (error.reason() == RegularFileError::Reason::notRegularFile) invalid(file, "is not a regular file");
        invalid(file, std::string("cannot be read: ") + error.what());
    }
    nlohmann::json document;
    try {
        document = parseStrictJson(text);
    } catch (const nlohmann::json::exception& error) {
        invalid(file, "is not valid JSON (" + messagetext::shortened(error.what(), 200) + ")");
    } catch (const DuplicateKeyError& error) {
        invalid(file, std::string("is not valid: ") + error.what());
    }
    if (!document.is_object()) invalid(file, "is not a JSON object");

    TokenizerIds ids;
    const auto consider = [&](const nlohmann::json& id, const std::string& token) {
        if (!id.is_number_unsigned())
            invalid(file, "gives the token \"" + messagetext::shortened(token) + "\" an id that is not a whole number");
        const auto value = id.get<std::uint64_t>();
        if (value > static_cast<std::uint64_t>(INT64_MAX))
            invalid(file, "gives the token \"" + messagetext::shortened(token) + "\" an id beyond any vocabulary");
        if (static_cast<std::int64_t>(value) > ids.highestId) {
            ids.highestId = static_cast<std::int64_t>(value);
            ids.highestToken = messagetext::shortened(token);
        }
    };
    if (document.contains("model") && document["model"].is_object() && document["model"].contains("vocab") &&
        document["model"]["vocab"].is_object()) {
        for (const auto& [token, id] : document["model"]["vocab"].items()) consider(id, token);
    }
    if (document.contains("added_tokens") && document["added_tokens"].is_array()) {
        for (const auto& added : document["added_tokens"]) {
            if (!added.is_object() || !added.contains("id")) invalid(file, "has an added token without an id");
            const auto content = added.contains("content") && added["content"].is_string()
                                     ? added["content"].get<std::string>()
                                     : std::string();
            consider(added["id"], content);
        }
    }
    return ids;
}

}  // namespace platform
