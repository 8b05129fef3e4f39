#include "HalvexCore/External/Hub/Config.h"
#include "Platform/Text/NumberText.h"

#include <algorithm>
#include <bit>
#include <charconv>
#include <cmath>
#include <cstdlib>
#include <limits>
#include <mutex>
#include <stdexcept>
#include <string>
#include <type_traits>
#include <vector>

#include <unicode/locid.h>
#include <unicode/uchar.h>
#include <unicode/utf16.h>
#include <nlohmann/json.hpp>

namespace halvex {
namespace {

const Config& nullConfig() {
    static const Config null;
    return null;
}

std::size_t mix(std::size_t seed, std::size_t value) {
    // 64-bit hash combination (boost-style with a stronger constant).
    return seed ^ (value + 0x9e3779b97f4a7c15ULL + (seed << 6) + (seed >> 2));
}

std::size_t unitsHash(const BinaryDistinctString& text) {
    return mix(std::hash<std::size_t>{}(text.value.size()), text.hash());
}

// True when the float equals some 64-bit integer converted to float.
bool isIntegralInInt64Range(float f) {
    return std::isfinite(f) && std::trunc(f) == f && f >= -9223372036854775808.0f && f <= 9223372036854775808.0f;
}

std::optional<bool> booleanOfText(const BinaryDistinctString& text) {
    if (text.value.size() > 5) return std::nullopt;
    std::string lowered = text.lowercased().string();
    if (lowered == "true" || lowered == "t" || lowered == "1") return true;
    if (lowered == "false" || lowered == "f" || lowered == "0") return false;
    return std::nullopt;
}

// Scalars that compare equal across cases hash to one of two values, by their Boolean reading.
std::size_t booleanClassHash(bool flag) { return flag ? 0x5bd1e995c0ffee11ULL : 0x2545f4914f6cdd1dULL; }

// A JSON number that is an integer fits the integer case; others become 32-bit floats.
Config numberFromDouble(double d) {
    if (std::isfinite(d) && std::trunc(d) == d && d >= -9223372036854775808.0 && d < 9223372036854775808.0) {
        return Config(static_cast<std::int64_t>(d));
    }
    return Config(static_cast<float>(d));
}

// Frees arrays and dictionaries without recursion. Destroying a node destroys its children;
// a child that was the last holder of its own node hands that node back here, and it is queued
// instead of being freed inside its parent's destructor. The first release on a thread drains
// the queue, so the stack stays flat however deep the tree is. The queue is an intrusive list
// over trivially destructible thread-local state, so it works during static destruction too.
struct ReleasedNode {
    virtual ~ReleasedNode() = default;
    ReleasedNode* nextPending = nullptr;
};

template <typename Contents>
struct NodeOf final : ReleasedNode {
    explicit NodeOf(Contents c) : contents(std::move(c)) {}
    Contents contents;
};

thread_local ReleasedNode* pendingHead = nullptr;
thread_local bool draining = false;

void release(ReleasedNode* node) {
    node->nextPending = pendingHead;
    pendingHead = node;
    if (draining) return;
    draining = true;
    while (pendingHead != nullptr) {
        std::unique_ptr<ReleasedNode> next(pendingHead);
        pendingHead = next->nextPending;
        // `next` is freed here; its children's nodes join the queue.
    }
    draining = false;
}

template <typename Contents>
std::shared_ptr<const Contents> makeNode(Contents contents) {
    auto owned = std::make_unique<NodeOf<Contents>>(std::move(contents));
    const Contents* view = &owned->contents;
    std::shared_ptr<NodeOf<Contents>> holder(owned.release(), [](NodeOf<Contents>* node) { release(node); });
    return std::shared_ptr<const Contents>(std::move(holder), view);
}

[[noreturn]] void throwTooDeep() {
    throw std::invalid_argument("JSON nesting deeper than " + std::to_string(Config::maximumNestingDepth) + " levels");
}

}  // namespace

// A compact container with the general form it is read as, built on first demand.
struct Config::PackedTexts {
    TextList list;
    mutable std::once_flag once;
    mutable std::unique_ptr<const Array> general;

    const Array& array() const {
        std::call_once(once, [this] {
            Array elements;
            elements.reserve(list.size());
            for (std::size_t i = 0; i < list.size(); ++i) elements.push_back(element(i));
            general = std::make_unique<const Array>(std::move(elements));
        });
        return *general;
    }
    Config element(std::size_t index) const {
        if (!list.nested) return Config(BinaryDistinctString(list.text(index)));
        Array texts;
        const std::uint32_t first = index == 0 ? 0 : list.groupEnds[index - 1];
        for (std::uint32_t t = first; t < list.groupEnds[index]; ++t)
            texts.emplace_back(BinaryDistinctString(list.text(t)));
        return Config(std::move(texts));
    }
};

struct Config::PackedIntegers {
    IntegerTable table;
    mutable std::once_flag once;
    mutable std::unique_ptr<const Dictionary> general;

    const Dictionary& dictionary() const {
        std::call_once(once, [this] {
            Dictionary entries;
            entries.reserve(table.size());
            for (std::size_t i = 0; i < table.size(); ++i) {
                entries.emplace(BinaryDistinctString(table.key(i)), Config(table.values[i]));
            }
            general = std::make_unique<const Dictionary>(std::move(entries));
        });
        return *general;
    }
};

std::u16string_view Config::TextList::text(std::size_t index) const {
    const std::uint32_t begin = index == 0 ? 0 : textEnds[index - 1];
    return std::u16string_view(units.data() + begin, textEnds[index] - begin);
}

void Config::TextList::addText(std::u16string_view text) {
    units.insert(units.end(), text.begin(), text.end());
    textEnds.push_back(static_cast<std::uint32_t>(units.size()));
}

std::u16string_view Config::IntegerTable::key(std::size_t index) const {
    const std::uint32_t begin = index == 0 ? 0 : keyEnds[index - 1];
    return std::u16string_view(units.data() + begin, keyEnds[index] - begin);
}

namespace {
std::size_t keyHash(std::u16string_view key) { return std::hash<std::u16string_view>{}(key); }
}  // namespace

std::optional<std::size_t> Config::IntegerTable::find(std::u16string_view key) const {
    if (slots.empty()) return std::nullopt;
    const std::size_t mask = slots.size() - 1;
    for (std::size_t s = keyHash(key) & mask;; s = (s + 1) & mask) {
        const std::uint32_t entry = slots[s];
        if (entry == 0) return std::nullopt;
        if (this->key(entry - 1) == key) return entry - 1;
    }
}

void Config::IntegerTable::rehash(std::size_t slotCount) {
    slots.assign(slotCount, 0);
    const std::size_t mask = slotCount - 1;
    for (std::size_t i = 0; i < values.size(); ++i) {
        std::size_t s = keyHash(key(i)) & mask;
        while (slots[s] != 0) s = (s + 1) & mask;
        slots[s] = static_cast<std::uint32_t>(i + 1);
    }
}

void Config::IntegerTable::set(std::u16string_view key, std::int64_t value) {
    if (auto found = find(key)) {
        values[*found] = value;
        return;
    }
    // At most three entries per four slots.
    if ((values.size() + 1) * 4 > slots.size() * 3) rehash(std::max<std::size_t>(16, slots.size() * 2));
    units.insert(units.end(), key.begin(), key.end());
    keyEnds.push_back(static_cast<std::uint32_t>(units.size()));
    values.push_back(value);
    const std::size_t mask = slots.size() - 1;
    std::size_t s = keyHash(key) & mask;
    while (slots[s] != 0) s = (s + 1) & mask;
    slots[s] = static_cast<std::uint32_t>(values.size());
}

Config Config::packed(TextList list) {
    Config config;
    auto node = std::make_shared<PackedTexts>();
    node->list = std::move(list);
    config.value_ = std::shared_ptr<const PackedTexts>(std::move(node));
    return config;
}

Config Config::packed(IntegerTable table) {
    Config config;
    auto node = std::make_shared<PackedIntegers>();
    node->table = std::move(table);
    config.value_ = std::shared_ptr<const PackedIntegers>(std::move(node));
    return config;
}

bool Config::sharesNodeWith(const Config& other) const {
    if (value_.index() != other.value_.index()) return false;
    return std::visit(
        [&](const auto& mine) {
            using Alternative = std::decay_t<decltype(mine)>;
            if constexpr (std::is_same_v<Alternative, std::shared_ptr<const Array>> ||
                          std::is_same_v<Alternative, std::shared_ptr<const Dictionary>> ||
                          std::is_same_v<Alternative, std::shared_ptr<const PackedTexts>> ||
                          std::is_same_v<Alternative, std::shared_ptr<const PackedIntegers>>) {
                return mine == std::get<Alternative>(other.value_);
            } else {
                return false;
            }
        },
        value_);
}

std::size_t Config::containerSize() const {
    if (const auto* shared = std::get_if<std::shared_ptr<const PackedTexts>>(&value_)) return (*shared)->list.size();
    if (const auto* shared = std::get_if<std::shared_ptr<const PackedIntegers>>(&value_))
        return (*shared)->table.size();
    if (const auto* shared = std::get_if<std::shared_ptr<const Array>>(&value_)) return (*shared)->size();
    if (const auto* shared = std::get_if<std::shared_ptr<const Dictionary>>(&value_)) return (*shared)->size();
    return 0;
}

bool Config::forEachMember(const std::function<void(std::u16string_view, const Config&)>& f) const {
    if (const auto* shared = std::get_if<std::shared_ptr<const PackedIntegers>>(&value_)) {
        const IntegerTable& table = (*shared)->table;
        for (std::size_t i = 0; i < table.size(); ++i) f(table.key(i), Config(table.values[i]));
        return true;
    }
    if (const auto* shared = std::get_if<std::shared_ptr<const Dictionary>>(&value_)) {
        for (const auto& [key, value] : **shared) f(key.value, value);
        return true;
    }
    return false;
}

bool Config::forEachElementTexts(const std::function<void(Kind, std::span<const std::u16string_view>)>& f) const {
    std::vector<std::u16string_view> texts;
    if (const auto* shared = std::get_if<std::shared_ptr<const PackedTexts>>(&value_)) {
        const TextList& list = (*shared)->list;
        for (std::size_t i = 0; i < list.size(); ++i) {
            if (!list.nested) {
                const std::u16string_view text = list.text(i);
                f(Kind::string, std::span<const std::u16string_view>(&text, 1));
                continue;
            }
            texts.clear();
            for (std::uint32_t t = i == 0 ? 0 : list.groupEnds[i - 1]; t < list.groupEnds[i]; ++t)
                texts.push_back(list.text(t));
            f(Kind::array, texts);
        }
        return true;
    }
    const auto* shared = std::get_if<std::shared_ptr<const Array>>(&value_);
    if (shared == nullptr) return false;
    for (const Config& element : **shared) {
        texts.clear();
        if (const auto* text = element.binaryDistinctString()) {
            texts.push_back(text->value);
        } else if (element.kind() == Kind::array) {
            element.forEachElementTexts([&](Kind kind, std::span<const std::u16string_view> parts) {
                if (kind == Kind::string) texts.push_back(parts.front());
            });
        }
        f(element.kind(), texts);
    }
    return true;
}

Config::Config(Array elements) : value_(makeNode(std::move(elements))) {}
Config::Config(Dictionary entries) : value_(makeNode(std::move(entries))) {}

Config Config::makeArray(std::initializer_list<Config> elements) { return Config(Array(elements)); }

Config Config::makeDictionary(std::initializer_list<std::pair<BinaryDistinctString, Config>> entries) {
    Dictionary dictionary;
    for (const auto& [key, value] : entries) dictionary.insert_or_assign(key, value);
    return Config(std::move(dictionary));
}

Config Config::makeToken(std::uint64_t id, BinaryDistinctString text) { return Config(Token{id, std::move(text)}); }

Config Config::fromParsedJSON(const nlohmann::json& parsed) { return fromParsedJSON(parsed, 0); }

Config Config::fromParsedJSON(const nlohmann::json& parsed, std::size_t depth) {
    using value_t = nlohmann::json::value_t;
    if ((parsed.is_object() || parsed.is_array()) && depth >= maximumNestingDepth) throwTooDeep();
    switch (parsed.type()) {
        case value_t::object: {
            Dictionary dictionary;
            dictionary.reserve(parsed.size());
            for (const auto& [key, value] : parsed.items()) {
                dictionary.insert_or_assign(BinaryDistinctString(key), fromParsedJSON(value, depth + 1));
            }
            return Config(std::move(dictionary));
        }
        case value_t::array: {
            Array array;
            array.reserve(parsed.size());
            for (const auto& element : parsed) array.push_back(fromParsedJSON(element, depth + 1));
            return Config(std::move(array));
        }
        case value_t::string: return Config(BinaryDistinctString(parsed.get_ref<const std::string&>()));
        case value_t::boolean: return Config(static_cast<std::int64_t>(parsed.get<bool>() ? 1 : 0));
        case value_t::number_integer: return Config(parsed.get<std::int64_t>());
        case value_t::number_unsigned: {
            auto u = parsed.get<std::uint64_t>();
            if (u <= static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max())) {
                return Config(static_cast<std::int64_t>(u));
            }
            return Config(static_cast<float>(u));
        }
        case value_t::number_float: return numberFromDouble(parsed.get<double>());
        default: return Config();
    }
}

Config Config::decode(const nlohmann::json& json) { return decode(json, 0); }

Config Config::decode(const nlohmann::json& json, std::size_t depth) {
    using value_t = nlohmann::json::value_t;
    if ((json.is_object() || json.is_array()) && depth >= maximumNestingDepth) return Config();
    switch (json.type()) {
        case value_t::null: return Config();
        case value_t::number_integer: return Config(json.get<std::int64_t>());
        case value_t::number_unsigned: {
            auto u = json.get<std::uint64_t>();
            if (u <= static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max())) {
                return Config(static_cast<std::int64_t>(u));
            }
            return Config(static_cast<float>(u));
        }
        case value_t::number_float: {
            double d = json.get<double>();
            if (!std::isfinite(d) || std::fabs(d) > std::numeric_limits<float>::max()) return Config();
            return numberFromDouble(d);
        }
        case value_t::boolean: return Config(json.get<bool>());
        case value_t::string: return Config(BinaryDistinctString(json.get_ref<const std::string&>()));
        case value_t::array: {
            if (json.size() == 2 && json[1].is_string() &&
                (json[0].is_number_unsigned() || (json[0].is_number_integer() && json[0].get<std::int64_t>() >= 0))) {
                return makeToken(json[0].get<std::uint64_t>(),
                                 BinaryDistinctString(json[1].get_ref<const std::string&>()));
            }
            Array array;
            array.reserve(json.size());
            for (const auto& element : json) array.push_back(decode(element, depth + 1));
            return Config(std::move(array));
        }
        case value_t::object: {
            Dictionary dictionary;
            dictionary.reserve(json.size());
            for (const auto& [key, value] : json.items()) {
                dictionary.insert_or_assign(BinaryDistinctString(key), decode(value, depth + 1));
            }
            return Config(std::move(dictionary));
        }
        default: return Config();
    }
}

Config Config::operator[](const BinaryDistinctString& key) const {
    if (const auto* shared = std::get_if<std::shared_ptr<const PackedIntegers>>(&value_)) {
        const IntegerTable& table = (*shared)->table;
        if (auto found = table.find(key.value)) return Config(table.values[*found]);
        if (auto found = table.find(uncamelCase(key).value)) return Config(table.values[*found]);
        return nullConfig();
    }
    const Dictionary* entries = dictionary();
    if (entries == nullptr) return nullConfig();
    if (auto found = entries->find(key); found != entries->end()) return found->second;
    if (auto found = entries->find(uncamelCase(key)); found != entries->end()) return found->second;
    return nullConfig();
}

std::optional<Config> Config::optionalMember(const BinaryDistinctString& key) const {
    if (kind() != Kind::dictionary) return std::nullopt;
    return (*this)[key];
}

BinaryDistinctString Config::uncamelCase(const BinaryDistinctString& name) {
    const std::u16string& units = name.value;
    std::u16string result;
    result.reserve(units.size() + 4);
    bool afterNonUppercase = false;
    std::size_t i = 0;
    while (i < units.size()) {
        UChar32 scalar;
        U16_NEXT(units.data(), i, units.size(), scalar);
        const auto category = u_charType(scalar);
        const bool uppercase = category == U_UPPERCASE_LETTER || category == U_TITLECASE_LETTER;
        if (uppercase) {
            if (afterNonUppercase) result += u'_';
            // Full lowercase mapping of the one scalar.
            char16_t buffer[U16_MAX_LENGTH];
            int32_t length = 0;
            U16_APPEND_UNSAFE(buffer, length, scalar);
            icu::UnicodeString lowered(buffer, length);
            lowered.toLower(icu::Locale::getRoot());
            result.append(lowered.getBuffer(), static_cast<std::size_t>(lowered.length()));
        } else {
            char16_t buffer[U16_MAX_LENGTH];
            int32_t length = 0;
            U16_APPEND_UNSAFE(buffer, length, scalar);
            result.append(buffer, static_cast<std::size_t>(length));
        }
        afterNonUppercase = !uppercase;
    }
    return BinaryDistinctString(std::move(result));
}

std::optional<std::string> Config::string() const {
    if (const auto* text = std::get_if<BinaryDistinctString>(&value_)) return text->string();
    return std::nullopt;
}

std::optional<std::int64_t> Config::integer() const {
    if (const auto* number = std::get_if<std::int64_t>(&value_)) return *number;
    return std::nullopt;
}

std::optional<float> Config::floating() const {
    if (const auto* number = std::get_if<float>(&value_)) return *number;
    if (const auto* number = std::get_if<std::int64_t>(&value_)) return static_cast<float>(*number);
    return std::nullopt;
}

const Config::Array* Config::array() const {
    if (const auto* shared = std::get_if<std::shared_ptr<const Array>>(&value_)) return shared->get();
    if (const auto* shared = std::get_if<std::shared_ptr<const PackedTexts>>(&value_)) return &(*shared)->array();
    return nullptr;
}

const Config::Dictionary* Config::dictionary() const {
    if (const auto* shared = std::get_if<std::shared_ptr<const Dictionary>>(&value_)) return shared->get();
    if (const auto* shared = std::get_if<std::shared_ptr<const PackedIntegers>>(&value_))
        return &(*shared)->dictionary();
    return nullptr;
}

std::optional<bool> Config::boolean() const {
    switch (kind()) {
        case Kind::boolean: return std::get<bool>(value_);
        case Kind::integer: return std::get<std::int64_t>(value_) == 1;
        case Kind::string: return booleanOfText(std::get<BinaryDistinctString>(value_));
        default: return std::nullopt;
    }
}

std::optional<std::vector<std::string>> Config::get() const {
    const Array* elements = array();
    if (elements == nullptr) return std::nullopt;
    std::vector<std::string> texts;
    for (const auto& element : *elements) {
        if (auto text = element.string()) texts.push_back(std::move(*text));
    }
    return texts;
}

std::optional<Config::Token> Config::token() const {
    if (const auto* token = std::get_if<Token>(&value_)) return *token;
    // A list of texts holds no integer.
    if (std::holds_alternative<std::shared_ptr<const PackedTexts>>(value_)) return std::nullopt;
    const Array* elements = array();
    if (elements == nullptr || elements->size() != 2) return std::nullopt;
    const auto* text = (*elements)[0].binaryDistinctString();
    const auto id = (*elements)[1].integer();
    if (text == nullptr || !id || *id < 0) return std::nullopt;
    return Token{static_cast<std::uint64_t>(*id), *text};
}

bool Config::operator==(const Config& other) const {
    const Kind left = kind();
    const Kind right = other.kind();
    if (left == Kind::boolean || right == Kind::boolean) {
        const Config& flag = left == Kind::boolean ? *this : other;
        const Config& rest = left == Kind::boolean ? other : *this;
        if (rest.kind() != Kind::boolean && rest.kind() != Kind::integer && rest.kind() != Kind::string) return false;
        auto reading = rest.boolean();
        return reading && *reading == std::get<bool>(flag.value_);
    }
    if (left == Kind::integer && right == Kind::floating) {
        return static_cast<float>(std::get<std::int64_t>(value_)) == std::get<float>(other.value_);
    }
    if (left == Kind::floating && right == Kind::integer) {
        return std::get<float>(value_) == static_cast<float>(std::get<std::int64_t>(other.value_));
    }
    if (left != right) return false;
    switch (left) {
        case Kind::string:
            return std::get<BinaryDistinctString>(value_) == std::get<BinaryDistinctString>(other.value_);
        case Kind::integer: return std::get<std::int64_t>(value_) == std::get<std::int64_t>(other.value_);
        case Kind::floating: return std::get<float>(value_) == std::get<float>(other.value_);
        case Kind::dictionary: {
            if (sharesNodeWith(other)) return true;
            const Dictionary& a = *dictionary();
            const Dictionary& b = *other.dictionary();
            if (&a == &b) return true;
            if (a.size() != b.size()) return false;
            for (const auto& [key, value] : a) {
                auto found = b.find(key);
                if (found == b.end() || !(found->second == value)) return false;
            }
            return true;
        }
        case Kind::array: {
            if (sharesNodeWith(other)) return true;
            if (containerSize() != other.containerSize()) return false;
            const Array& a = *array();
            const Array& b = *other.array();
            if (&a == &b) return true;
            if (a.size() != b.size()) return false;
            for (std::size_t i = 0; i < a.size(); ++i) {
                if (!(a[i] == b[i])) return false;
            }
            return true;
        }
        case Kind::token: return std::get<Token>(value_) == std::get<Token>(other.value_);
        case Kind::null: return true;
        case Kind::boolean: break;  // handled above
    }
    return false;
}

std::size_t Config::hash() const noexcept {
    switch (kind()) {
        case Kind::null: return mix(0, 0);
        case Kind::string: {
            const auto& text = std::get<BinaryDistinctString>(value_);
            if (auto reading = booleanOfText(text)) return booleanClassHash(*reading);
            return mix(1, unitsHash(text));
        }
        case Kind::integer: return booleanClassHash(std::get<std::int64_t>(value_) == 1);
        case Kind::boolean: return booleanClassHash(std::get<bool>(value_));
        case Kind::floating: {
            float f = std::get<float>(value_);
            if (isIntegralInInt64Range(f)) return booleanClassHash(f == 1.0f);
            return mix(4, std::hash<std::uint32_t>{}(std::bit_cast<std::uint32_t>(f)));
        }
        case Kind::dictionary: {
            std::size_t combined = 0;
            forEachMember([&](std::u16string_view key, const Config& value) {
                combined +=
                    mix(mix(std::hash<std::size_t>{}(key.size()), std::hash<std::u16string_view>{}(key)), value.hash());
            });
            return mix(5, combined);
        }
        case Kind::array: {
            std::size_t seed = mix(6, containerSize());
            if (const auto* shared = std::get_if<std::shared_ptr<const PackedTexts>>(&value_)) {
                for (std::size_t i = 0; i < (*shared)->list.size(); ++i) seed = mix(seed, (*shared)->element(i).hash());
                return seed;
            }
            for (const auto& element : *array()) seed = mix(seed, element.hash());
            return seed;
        }
        case Kind::token: {
            const auto& token = std::get<Token>(value_);
            return mix(mix(7, std::hash<std::uint64_t>{}(token.id)), unitsHash(token.text));
        }
    }
    return 0;
}

std::string Config::description() const {
    switch (kind()) {
        case Kind::string: {
            std::string text(1, '"');
            text += std::get<BinaryDistinctString>(value_).string();
            text += '"';
            return text;
        }
        case Kind::integer: return std::to_string(std::get<std::int64_t>(value_));
        case Kind::boolean: return std::get<bool>(value_) ? "true" : "false";
        case Kind::floating: {
            std::string text = platform::numbertext::shortest(std::get<float>(value_));
            if (text.find_first_of(".en") == std::string::npos) text += ".0";
            return text;
        }
        case Kind::dictionary: {
            const Dictionary& entries = *dictionary();
            if (entries.empty()) return "{[:]}";
            std::string text = "{[";
            bool first = true;
            for (const auto& [key, value] : entries) {
                if (!first) text += ", ";
                first = false;
                text += key.string() + ": " + value.description();
            }
            return text + "]}";
        }
        case Kind::array: {
            std::string text = "[[";
            bool first = true;
            for (const auto& element : *array()) {
                if (!first) text += ", ";
                first = false;
                text += element.description();
            }
            return text + "]]";
        }
        case Kind::token: {
            const auto& token = std::get<Token>(value_);
            std::string text(1, '(');
            text += std::to_string(token.id);
            text += ", ";
            text += token.text.string();
            text += ')';
            return text;
        }
        case Kind::null: return "null";
    }
    return "null";
}

std::ostream& operator<<(std::ostream& os, const Config& config) { return os << config.description(); }

void to_json(nlohmann::json& json, const Config& config) {
    switch (config.kind()) {
        case Config::Kind::string: json = config.binaryDistinctString()->string(); return;
        case Config::Kind::integer: json = *config.integer(); return;
        case Config::Kind::boolean: json = *config.boolean(); return;
        case Config::Kind::floating: {
            float f = *config.floating();
            if (!std::isfinite(f)) {
                throw std::invalid_argument("Unable to encode the non-finite float " +
                                            platform::numbertext::shortest(f) + " in JSON");
            }
            // Write the float's shortest text, not the digits of its double widening.
            json = platform::numbertext::shortestDecimalWidening(f);
            return;
        }
        case Config::Kind::dictionary: {
            json = nlohmann::json::object();
            for (const auto& [key, value] : *config.dictionary()) json[key.string()] = value;
            return;
        }
        case Config::Kind::array: {
            json = nlohmann::json::array();
            for (const auto& element : *config.array()) json.push_back(element);
            return;
        }
        case Config::Kind::token: {
            auto token = *config.token();
            json = nlohmann::json::array({token.id, token.text.string()});
            return;
        }
        case Config::Kind::null: json = nullptr; return;
    }
}

void from_json(const nlohmann::json& json, Config& config) { config = Config::decode(json); }

}  // namespace halvex
