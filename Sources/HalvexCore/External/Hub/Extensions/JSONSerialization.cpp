#include "HalvexCore/External/Hub/Extensions/JSONSerialization.h"

#include <cmath>
#include <cstdint>
#include <limits>
#include <vector>

namespace halvex {
namespace {

// Builds a Config directly from parser events. JSON true/false become integer 1/0 and
// integral numbers integers, as Config::fromParsedJSON does for a parsed document.
class ConfigBuilder : public nlohmann::json_sax<nlohmann::json> {
public:
    Config result() { return std::move(result_); }

    bool null() override { return add(Config()); }
    bool boolean(bool value) override { return add(Config(static_cast<std::int64_t>(value ? 1 : 0))); }
    bool number_integer(number_integer_t value) override { return add(Config(static_cast<std::int64_t>(value))); }
    bool number_unsigned(number_unsigned_t value) override {
        if (value <= static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max())) {
            return add(Config(static_cast<std::int64_t>(value)));
        }
        return add(Config(static_cast<float>(value)));
    }
    bool number_float(number_float_t value, const string_t&) override {
        if (std::isfinite(value) && std::trunc(value) == value && value >= -9223372036854775808.0 &&
            value < 9223372036854775808.0) {
            return add(Config(static_cast<std::int64_t>(value)));
        }
        return add(Config(static_cast<float>(value)));
    }
    bool string(string_t& value) override { return add(Config(BinaryDistinctString(value))); }
    bool binary(binary_t&) override { return add(Config()); }

    bool start_object(std::size_t) override {
        frames_.emplace_back();
        frames_.back().isObject = true;
        return true;
    }
    bool key(string_t& value) override {
        frames_.back().key = BinaryDistinctString(value);
        return true;
    }
    bool end_object() override {
        Config finished(std::move(frames_.back().dictionary));
        frames_.pop_back();
        return add(std::move(finished));
    }
    bool start_array(std::size_t) override {
        frames_.emplace_back();
        return true;
    }
    bool end_array() override {
        Config finished(std::move(frames_.back().array));
        frames_.pop_back();
        return add(std::move(finished));
    }

    bool parse_error(std::size_t, const std::string&, const nlohmann::detail::exception& error) override {
        // Report exactly the parser's own error.
        if (const auto* parse = dynamic_cast<const nlohmann::json::parse_error*>(&error)) throw *parse;
        if (const auto* range = dynamic_cast<const nlohmann::json::out_of_range*>(&error)) throw *range;
        throw nlohmann::json::parse_error::create(101, 0, error.what(), nullptr);
    }

private:
    struct Frame {
        bool isObject = false;
        BinaryDistinctString key;
        Config::Dictionary dictionary;
        Config::Array array;
    };

    bool add(Config value) {
        if (frames_.empty()) {
            result_ = std::move(value);
            return true;
        }
        Frame& frame = frames_.back();
        if (frame.isObject) {
            frame.dictionary.insert_or_assign(std::move(frame.key), std::move(value));
        } else {
            frame.array.push_back(std::move(value));
        }
        return true;
    }

    std::vector<Frame> frames_;
    Config result_;
};

}  // namespace

nlohmann::json JSONSerialization::bomPreservingJsonObject(std::string_view data) {
    // The parser keeps every byte of a string value, byte-order marks included, and skips one
    // byte-order mark at the start of the document.
    return nlohmann::json::parse(data.begin(), data.end());
}

Config JSONSerialization::bomPreservingConfig(std::string_view data) {
    ConfigBuilder builder;
    nlohmann::json::sax_parse(data.begin(), data.end(), &builder);
    return builder.result();
}

}  // namespace halvex
