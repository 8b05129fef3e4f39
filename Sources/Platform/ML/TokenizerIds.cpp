#include "Platform/ML/TokenizerIds.h"

#include "Platform/IO/RegularFile.h"
#include "Platform/ML/MLError.h"
#include "Platform/Text/MessageText.h"

#include <nlohmann/json.hpp>

#include <cstdint>
#include <optional>
#include <vector>

namespace platform {

namespace {

[[noreturn]] void invalid(const std::filesystem::path& file, const std::string& why) {
    throw MLError(MLError::Code::invalidModel, "The tokenizer file " + file.string() + " " + why);
}

using nlohmann::json;

// Reads the token ids of a tokenizer.json as its text is scanned, without building the document:
// the file has tens of thousands of entries, and only the ids of model.vocab and of each entry of
// added_tokens matter here.
class IdScanner : public nlohmann::json_sax<json> {
public:
    explicit IdScanner(const std::filesystem::path& file) : file_(file) {}

    const TokenizerIds& ids() const { return ids_; }
    const std::string& error() const { return error_; }

    bool null() override { return value(false, 0); }
    bool boolean(bool) override { return value(false, 0); }
    bool number_integer(number_integer_t number) override {
        return value(number >= 0, static_cast<std::uint64_t>(number));
    }
    bool number_unsigned(number_unsigned_t number) override { return value(true, number); }
    bool number_float(number_float_t, const string_t&) override { return value(false, 0); }
    bool string(string_t& text) override {
        if (inAddedToken() && key_ == "content") content_ = text;
        return value(false, 0);
    }
    bool binary(binary_t&) override { return value(false, 0); }
    bool start_object(std::size_t) override {
        open(true);
        if (inAddedToken()) {
            id_.reset();
            content_.clear();
        }
        return true;
    }
    bool key(string_t& key) override {
        key_ = key;
        return true;
    }
    bool end_object() override {
        if (inAddedToken()) {
            if (!id_) invalid(file_, "has an added token without a whole-number id");
            consider(*id_, content_);
        }
        close();
        return true;
    }
    bool start_array(std::size_t) override {
        open(false);
        return true;
    }
    bool end_array() override {
        close();
        return true;
    }
    bool parse_error(std::size_t, const std::string&, const nlohmann::detail::exception& failure) override {
        error_ = failure.what();
        return false;
    }

private:
    // Each open container: whether it is an object, and the key it stands under in its parent
    // (empty in an array).
    struct Level {
        bool object;
        std::string key;
    };

    void open(bool object) {
        levels_.push_back({object, levels_.empty() || !levels_.back().object ? std::string() : key_});
        key_.clear();
    }
    void close() {
        levels_.pop_back();
        key_.clear();
    }
    bool inVocabulary() const {
        return levels_.size() == 3 && levels_[1].key == "model" && levels_[2].key == "vocab" && levels_[2].object;
    }
    bool inAddedToken() const {
        return levels_.size() == 3 && levels_[1].key == "added_tokens" && !levels_[1].object && levels_[2].object;
    }
    bool value(bool wholeNumber, std::uint64_t number) {
        if (inVocabulary()) {
            if (!wholeNumber)
                invalid(file_,
                        "gives the token \"" + messagetext::shortened(key_) + "\" an id that is not a whole number");
            consider(number, key_);
        } else if (inAddedToken() && key_ == "id") {
            if (!wholeNumber) invalid(file_, "has an added token whose id is not a whole number");
            id_ = number;
        }
        return true;
    }
    void consider(std::uint64_t id, const std::string& token) {
        if (id > static_cast<std::uint64_t>(INT64_MAX))
            invalid(file_, "gives the token \"" + messagetext::shortened(token) + "\" an id beyond any vocabulary");
        if (static_cast<std::int64_t>(id) > ids_.highestId) {
            ids_.highestId = static_cast<std::int64_t>(id);
            ids_.highestToken = messagetext::shortened(token);
        }
    }

    const std::filesystem::path& file_;
    TokenizerIds ids_;
    std::vector<Level> levels_;
    std::string key_;
    std::optional<std::uint64_t> id_;
    std::string content_;
    std::string error_;
};

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
    const auto start = text.find_first_not_of(" \t\r\n");
    if (start == std::string::npos || text[start] != '{') invalid(file, "is not a JSON object");
    IdScanner scanner(file);
    if (!json::sax_parse(text, &scanner))
        invalid(file, "is not valid JSON (" + messagetext::shortened(scanner.error(), 200) + ")");
    return scanner.ids();
}

}  // namespace platform
