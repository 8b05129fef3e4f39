#include "Platform/Text/StrictJson.h"

#include "Platform/Text/MessageText.h"

#include <set>
#include <vector>

namespace platform {

DuplicateKeyError::DuplicateKeyError(const std::string& key)
    : std::runtime_error("the key \"" + messagetext::shortened(key) + "\" appears twice in one object"),
      key_(messagetext::shortened(key)) {}

nlohmann::json parseStrictJson(std::string_view text) {
    using nlohmann::json;
    // The keys seen so far in each object that is open.
    std::vector<std::set<std::string>> open;
    std::string duplicate;
    bool found = false;
    const json::parser_callback_t check = [&](int, json::parse_event_t event, json& parsed) {
        switch (event) {
            case json::parse_event_t::object_start: open.emplace_back(); break;
            case json::parse_event_t::object_end:
                if (!open.empty()) open.pop_back();
                break;
            case json::parse_event_t::key:
                if (!found && !open.empty() && !open.back().insert(parsed.get<std::string>()).second) {
                    duplicate = parsed.get<std::string>();
                    found = true;
                }
                break;
            default: break;
        }
        return true;
    };
    json document = json::parse(text.begin(), text.end(), check);
    if (found) throw DuplicateKeyError(duplicate);
    return document;
}

}  // namespace platform
