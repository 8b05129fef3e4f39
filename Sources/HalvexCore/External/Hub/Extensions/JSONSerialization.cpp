#include "HalvexCore/External/Hub/Extensions/JSONSerialization.h"

#include <malloc.h>

#include <cmath>
#include <cstdint>
#include <limits>
#include <string>
#include <utility>
#include <vector>

namespace halvex {
namespace {

constexpr std::size_t kLargeDocument = std::size_t{16} << 20;

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
//
// Every container starts out compact: an array as a list of texts, an object as a table of
// integers. The first element that does not fit turns it into the general form. At its end a
// container of at least kCompactSize elements stays compact (a vocabulary, a merge list), a
// smaller one takes the general form.
class ConfigBuilder : public nlohmann::json_sax<nlohmann::json> {
public:
    Config result() { return std::move(result_); }

    bool null() override { return add(Config()); }
    bool boolean(bool value) override { return addInteger(value ? 1 : 0); }
    bool number_integer(number_integer_t value) override { return addInteger(static_cast<std::int64_t>(value)); }
    bool number_unsigned(number_unsigned_t value) override {
        if (value <= static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max())) {
            return addInteger(static_cast<std::int64_t>(value));
        }
        return add(Config(static_cast<float>(value)));
    }
    bool number_float(number_float_t value, const string_t&) override {
        if (std::isfinite(value) && std::trunc(value) == value && value >= -9223372036854775808.0 &&
            value < 9223372036854775808.0) {
            return addInteger(static_cast<std::int64_t>(value));
        }
        return add(Config(static_cast<float>(value)));
    }
    bool string(string_t& value) override {
        if (depth_ > 0) {
            Frame& frame = top();
            if (!frame.isObject && frame.compact && (frame.list.size() == 0 || !frame.list.nested)) {
                frame.list.addText(utf16FromUtf8(value));
                return true;
            }
        }
        return add(Config(BinaryDistinctString(value)));
    }
    bool binary(binary_t&) override { return add(Config()); }

    bool start_object(std::size_t) override {
        checkDepth(depth_);
        Frame& frame = push();
        frame.isObject = true;
        return true;
    }
    bool key(string_t& value) override {
        top().key = utf16FromUtf8(value);
        return true;
    }
    bool end_object() override {
        Frame& frame = top();
        Config made;
        if (frame.compact && frame.table.size() >= kCompactSize) {
            made = Config::packed(std::exchange(frame.table, {}));
        } else {
            if (frame.compact) toGeneral(frame);
            made = Config(std::exchange(frame.dictionary, {}));
        }
        --depth_;
        return add(std::move(made));
    }
    bool start_array(std::size_t) override {
        checkDepth(depth_);
        push();
        return true;
    }
    bool end_array() override {
        Frame& frame = top();
        // An array of texts inside a list of such arrays (a merge list of pairs) joins the list.
        if (frame.compact && !frame.list.nested && depth_ >= 2) {
            Frame& parent = frames_[depth_ - 2];
            if (!parent.isObject && parent.compact && (parent.list.size() == 0 || parent.list.nested)) {
                parent.list.nested = true;
                for (std::size_t i = 0; i < frame.list.size(); ++i) parent.list.addText(frame.list.text(i));
                parent.list.endGroup();
                --depth_;
                return true;
            }
        }
        Config made;
        if (frame.compact && frame.list.size() >= kCompactSize) {
            made = Config::packed(std::exchange(frame.list, {}));
        } else {
            if (frame.compact) toGeneral(frame);
            made = Config(std::exchange(frame.values, {}));
        }
        --depth_;
        return add(std::move(made));
    }

    bool parse_error(std::size_t, const std::string&, const nlohmann::detail::exception& error) override {
        // Report exactly the parser's own error.
        if (const auto* parse = dynamic_cast<const nlohmann::json::parse_error*>(&error)) throw *parse;
        if (const auto* range = dynamic_cast<const nlohmann::json::out_of_range*>(&error)) throw *range;
        throw nlohmann::json::parse_error::create(101, 0, error.what(), nullptr);
    }

private:
    static constexpr std::size_t kCompactSize = 64;

    struct Frame {
        bool isObject = false;
        bool compact = true;
        std::u16string key;
        Config::IntegerTable table;     // compact object
        Config::TextList list;          // compact array
        Config::Dictionary dictionary;  // general object
        Config::Array values;           // general array
    };

    Frame& top() { return frames_[depth_ - 1]; }

    Frame& push() {
        if (depth_ == frames_.size()) frames_.emplace_back();
        Frame& frame = frames_[depth_++];
        frame.isObject = false;
        frame.compact = true;
        frame.table = {};
        frame.list = {};
        frame.dictionary.clear();
        frame.values.clear();
        return frame;
    }

    static void toGeneral(Frame& frame) {
        frame.compact = false;
        if (frame.isObject) {
            frame.dictionary.reserve(frame.table.size());
            for (std::size_t i = 0; i < frame.table.size(); ++i) {
                frame.dictionary.insert_or_assign(BinaryDistinctString(frame.table.key(i)),
                                                  Config(frame.table.values[i]));
            }
            frame.table = {};
            return;
        }
        frame.values.reserve(frame.list.size());
        const Config packed = Config::packed(std::exchange(frame.list, {}));
        for (const Config& element : *packed.array()) frame.values.push_back(element);
    }

    bool addInteger(std::int64_t value) {
        if (depth_ > 0) {
            Frame& frame = top();
            if (frame.isObject && frame.compact) {
                frame.table.set(frame.key, value);
                return true;
            }
        }
        return add(Config(value));
    }

    bool add(Config value) {
        if (depth_ == 0) {
            result_ = std::move(value);
            return true;
        }
        Frame& frame = top();
        if (frame.compact) toGeneral(frame);
        if (frame.isObject) {
            frame.dictionary.insert_or_assign(BinaryDistinctString(std::move(frame.key)), std::move(value));
        } else {
            frame.values.push_back(std::move(value));
        }
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
    Config result;
    {
        ConfigBuilder builder;
        nlohmann::json::sax_parse(data.begin(), data.end(), &builder);
        result = builder.result();
    }
    // Reading a large file leaves the buffers its containers grew through; hand them back to
    // the system before the tokenizer is built from the tree.
    if (data.size() >= kLargeDocument) ::malloc_trim(0);
    return result;
}

}  // namespace halvex
