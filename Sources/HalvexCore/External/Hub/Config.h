#pragma once

#include "HalvexCore/External/Hub/BinaryDistinctString.h"

#include <cstdint>
#include <functional>
#include <initializer_list>
#include <memory>
#include <optional>
#include <ostream>
#include <span>
#include <string>
#include <string_view>
#include <type_traits>
#include <unordered_map>
#include <utility>
#include <variant>
#include <vector>

#include <nlohmann/json_fwd.hpp>

namespace halvex {

// An immutable configuration tree as read from a JSON file. Strings and keys are exact UTF-16
// strings. Member lookup never fails: a missing member reads as null, and a camelCase name
// also finds its snake_case key. Copies are cheap: dictionaries and arrays are shared.
//
// Equality crosses cases (integer 1 == boolean true == string "1"), and the hash agrees with
// it, so equal values always hash alike.
class Config {
public:
    // The deepest nesting of arrays and objects that the JSON readers accept. Real configuration
    // files nest a handful of levels; a deeper document is refused as malformed.
    static constexpr std::size_t maximumNestingDepth = 512;

    enum class Kind : std::uint8_t { string, integer, boolean, floating, dictionary, array, token, null };

    using Dictionary = std::unordered_map<BinaryDistinctString, Config>;
    using Array = std::vector<Config>;
    struct Token {
        std::uint64_t id = 0;
        BinaryDistinctString text;
        bool operator==(const Token&) const = default;
    };

    // null
    Config() = default;
    Config(std::nullptr_t) {}
    Config(BinaryDistinctString text) : value_(std::move(text)) {}
    Config(const char* text) : value_(BinaryDistinctString(text)) {}
    Config(std::string_view text) : value_(BinaryDistinctString(text)) {}
    Config(const std::string& text) : value_(BinaryDistinctString(text)) {}
    Config(bool flag) : value_(flag) {}
    template <typename Integer,
              std::enable_if_t<std::is_integral_v<Integer> && !std::is_same_v<Integer, bool> &&
                                   !std::is_same_v<Integer, char> && !std::is_same_v<Integer, char16_t>,
                               int> = 0>
    Config(Integer number) : value_(static_cast<std::int64_t>(number)) {}
    Config(float number) : value_(number) {}
    Config(double number) : value_(static_cast<float>(number)) {}
    Config(Array elements);
    Config(Dictionary entries);
    Config(Token token) : value_(std::move(token)) {}

    // Compact forms for the large containers of tokenizer files, which the JSON reader makes:
    // a list of texts (an array whose elements are all strings, or all arrays of strings, as a
    // merge list is) and a table of integers (a dictionary whose values are all integers, as a
    // vocabulary is). Their code units sit in one buffer, with no allocation per element. They
    // read and compare like any array or dictionary; array() and dictionary() build the general
    // form once, on first use, so code that walks a vocabulary or a merge list uses
    // forEachMember and forEachElementTexts instead.
    struct TextList {
        std::vector<char16_t> units;
        std::vector<std::uint32_t> textEnds;   // end of each text in `units`
        std::vector<std::uint32_t> groupEnds;  // nested form: end of each element in texts
        bool nested = false;                   // elements are arrays of strings

        std::size_t size() const { return nested ? groupEnds.size() : textEnds.size(); }
        std::u16string_view text(std::size_t index) const;
        void addText(std::u16string_view text);
        // Nested form: the texts added since the last call make one element.
        void endGroup() { groupEnds.push_back(static_cast<std::uint32_t>(textEnds.size())); }
    };
    struct IntegerTable {
        std::vector<char16_t> units;
        std::vector<std::uint32_t> keyEnds;
        std::vector<std::int64_t> values;
        std::vector<std::uint32_t> slots;  // entry index + 1; 0 for an empty slot

        std::size_t size() const { return values.size(); }
        std::u16string_view key(std::size_t index) const;
        // Adds the entry, or gives a present key the new value.
        void set(std::u16string_view key, std::int64_t value);
        std::optional<std::size_t> find(std::u16string_view key) const;

    private:
        void rehash(std::size_t slotCount);
    };
    static Config packed(TextList list);
    static Config packed(IntegerTable table);

    // Literal-like builders. In a dictionary literal a repeated key takes the later value.
    static Config makeArray(std::initializer_list<Config> elements);
    static Config makeDictionary(std::initializer_list<std::pair<BinaryDistinctString, Config>> entries);
    static Config makeToken(std::uint64_t id, BinaryDistinctString text);

    // The tree the system makes of a parsed JSON document (see JSONSerialization): JSON true
    // and false become integer 1 and 0, integral numbers become integers, other numbers 32-bit
    // floats; strings and keys keep their exact code units. A document nested deeper than
    // maximumNestingDepth throws std::invalid_argument.
    static Config fromParsedJSON(const nlohmann::json& parsed);
    // The value's own JSON form, as `to_json` writes it: numbers try integer, then float;
    // true/false are booleans; [unsigned, string] is a token. Never fails; falls back to null,
    // also for a value nested deeper than maximumNestingDepth.
    static Config decode(const nlohmann::json& json);

    Kind kind() const noexcept {
        constexpr Kind kinds[] = {Kind::string, Kind::integer, Kind::boolean, Kind::floating, Kind::dictionary,
                                  Kind::array,  Kind::token,   Kind::null,    Kind::array,    Kind::dictionary};
        return kinds[value_.index()];
    }
    bool isNull() const noexcept { return kind() == Kind::null; }

    // Member lookup: the entry under the key as written, then under its snake_case form;
    // null when neither exists or the value is not a dictionary.
    Config operator[](const BinaryDistinctString& key) const;
    Config operator[](const char* key) const { return (*this)[BinaryDistinctString(key)]; }
    Config operator[](const std::string& key) const { return (*this)[BinaryDistinctString(key)]; }
    // Members are looked up by name only; an integer (even a literal 0) is not a key.
    template <typename Integer, std::enable_if_t<std::is_integral_v<Integer>, int> = 0>
    Config operator[](Integer) const = delete;
    // As operator[], but no value at all when the receiver is not a dictionary.
    std::optional<Config> optionalMember(const BinaryDistinctString& key) const;

    // snake_case form of a camelCase name: tokenizerClass -> tokenizer_class,
    // eosTokenID -> eos_token_id, URLPath -> urlpath.
    static BinaryDistinctString uncamelCase(const BinaryDistinctString& name);

    // Typed readers: no value when the case does not fit.
    std::optional<std::string> string() const;
    const BinaryDistinctString* binaryDistinctString() const { return std::get_if<BinaryDistinctString>(&value_); }
    std::optional<std::int64_t> integer() const;
    // A float, or an integer converted to a float.
    std::optional<float> floating() const;
    // Pointers into the shared tree; valid while any Config holding this tree lives.
    const Array* array() const;
    const Dictionary* dictionary() const;
    // The number of elements or members; 0 for other cases.
    std::size_t containerSize() const;
    // For a dictionary, f(key, value) for each member, in no fixed order; false for other cases.
    bool forEachMember(const std::function<void(std::u16string_view, const Config&)>& f) const;
    // For an array, f(kind, texts) for each element in order: a string gives itself as the one
    // text, an array the texts of its string elements, any other kind no text. False for other
    // cases.
    bool forEachElementTexts(const std::function<void(Kind, std::span<const std::u16string_view>)>& f) const;
    // boolean: itself; integer: == 1; string: true/t/1 or false/f/0 in any case.
    std::optional<bool> boolean() const;
    // The texts of the string elements of an array, others skipped.
    std::optional<std::vector<std::string>> get() const;
    // A token, or an array [string, integer] read as (integer, string). A negative integer
    // gives no value.
    std::optional<Token> token() const;

    bool operator==(const Config& other) const;
    std::size_t hash() const noexcept;

    // [[1, 2]], {[key: 1]}, "text", 1.0, (5, text), null
    std::string description() const;

private:
    static Config fromParsedJSON(const nlohmann::json& parsed, std::size_t depth);
    static Config decode(const nlohmann::json& json, std::size_t depth);

    // Arrays and dictionaries are freed by a deleter that never recurses: a tree nested
    // however deeply is taken apart one node at a time.
    struct PackedTexts;
    struct PackedIntegers;
    // True when both hold the same array or dictionary node.
    bool sharesNodeWith(const Config& other) const;
    using Storage = std::variant<BinaryDistinctString, std::int64_t, bool, float, std::shared_ptr<const Dictionary>,
                                 std::shared_ptr<const Array>, Token, std::monostate,
                                 std::shared_ptr<const PackedTexts>, std::shared_ptr<const PackedIntegers>>;
    Storage value_ = std::monostate{};
};

std::ostream& operator<<(std::ostream& os, const Config& config);

// JSON form: strings, integers, booleans, floats (shortest text that reads back as the same
// float), objects, arrays, tokens as [id, text], null. A NaN or infinite float cannot be
// written and throws std::invalid_argument.
void to_json(nlohmann::json& json, const Config& config);
void from_json(const nlohmann::json& json, Config& config);

}  // namespace halvex

template <>
struct std::hash<halvex::Config> {
    std::size_t operator()(const halvex::Config& c) const noexcept { return c.hash(); }
};
