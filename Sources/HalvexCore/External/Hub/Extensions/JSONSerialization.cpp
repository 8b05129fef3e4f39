#include "HalvexCore/External/Hub/Extensions/JSONSerialization.h"

#include <cmath>
#include <cstdint>
#include <limits>
#include <string>
#include <vector>

namespace halvex {
namespace {

// Refuses a document whose arrays and objects nest deeper than a Config may be: such a tree
// exists only to exhaust the stack of whatever walks it.
void checkDepth(std::size_t openContainers) {
    if (openContainers >= Config::maximumNestingDepth) {
        throw nlohmann::json::parse_error::create(
            101, 0, "nesting deeper than " + std::to_string(Config::maximumNestingDepth) + " levels", nullptr);
    }
}

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
        checkDepth(depth_);
        Frame& frame = push();
        frame.isObject = true;
        return true;
    }
    bool key(string_t& value) override {
        frames_[depth_ - 1].keys.emplace_back(value);
        return true;
    }
    bool end_object() override {
        Frame& frame = frames_[depth_ - 1];
        // Build the table at its final size; a repeated key takes the later value.
        Config::Dictionary dictionary;
        dictionary.reserve(frame.keys.size());
        for (std::size_t i = 0; i < frame.keys.size(); ++i) {
            dictionary.insert_or_assign(std::move(frame.keys[i]), std::move(frame.values[i]));
        }
        --depth_;
        return add(Config(std::move(dictionary)));
    }
    bool start_array(std::size_t) override {
        checkDepth(depth_);
        push();
        return true;
    }
    bool end_array() override {
        Frame& frame = frames_[depth_ - 1];
        Config::Array array(std::make_move_iterator(frame.values.begin()), std::make_move_iterator(frame.values.end()));
        --depth_;
        return add(Config(std::move(array)));
    }

    bool parse_error(std::size_t, const std::string&, const nlohmann::detail::exception& error) override {
        // Report exactly the parser's own error.
        if (const auto* parse = dynamic_cast<const nlohmann::json::parse_error*>(&error)) throw *parse;
        if (const auto* range = dynamic_cast<const nlohmann::json::out_of_range*>(&error)) throw *range;
        throw nlohmann::json::parse_error::create(101, 0, error.what(), nullptr);
    }

private:
    // Frames are reused from one object or array to the next at the same depth, so their
    // buffers keep their capacity.
    struct Frame {
        bool isObject = false;
        std::vector<BinaryDistinctString> keys;
        std::vector<Config> values;
    };

    Frame& push() {
        if (depth_ == frames_.size()) frames_.emplace_back();
        Frame& frame = frames_[depth_++];
        frame.isObject = false;
        frame.keys.clear();
        frame.values.clear();
        return frame;
    }

    bool add(Config value) {
        if (depth_ == 0) {
            result_ = std::move(value);
            return true;
        }
        frames_[depth_ - 1].values.push_back(std::move(value));
        return true;
    }

    std::vector<Frame> frames_;
    std::size_t depth_ = 0;
    Config result_;
};

}  // namespace

nlohmann::json JSONSerialization::bomPreservingJsonObject(std::string_view data) {
    // The parser keeps every byte of a string value, byte-order marks included, and skips one
    // byte-order mark at the start of the document.
    return nlohmann::json::parse(data.begin(), data.end(),
                                 [](int depth, nlohmann::json::parse_event_t event, nlohmann::json&) {
                                     if (event == nlohmann::json::parse_event_t::object_start ||
                                         event == nlohmann::json::parse_event_t::array_start) {
                                         checkDepth(static_cast<std::size_t>(depth));
                                     }
                                     return true;
                                 });
}

Config JSONSerialization::bomPreservingConfig(std::string_view data) {
    ConfigBuilder builder;
    nlohmann::json::sax_parse(data.begin(), data.end(), &builder);
    return builder.result();
}

}  // namespace halvex
