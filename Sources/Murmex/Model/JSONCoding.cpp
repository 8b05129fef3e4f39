#include "Murmex/Model/JSONCoding.h"
#include "Platform/Text/NumberText.h"

#include <charconv>
#include <cmath>
#include <cstdlib>
#include <limits>
#include <system_error>

namespace murmex::coding {

std::string describeJsonType(const Json& value) {
    switch (value.type()) {
        case Json::value_t::null: return "null";
        case Json::value_t::object: return "a dictionary";
        case Json::value_t::array: return "an array";
        case Json::value_t::string: return "a string";
        case Json::value_t::boolean: return "a boolean";
        case Json::value_t::number_integer:
        case Json::value_t::number_unsigned:
        case Json::value_t::number_float: return "a number";
        case Json::value_t::binary: return "binary data";
        case Json::value_t::discarded: return "nothing";
    }
    return "an unknown value";
}

void throwTypeMismatch(const std::string& expected, const Json& found) {
    if (found.is_null()) {
        throw DecodingError(DecodingError::Kind::valueNotFound, "Expected " + expected + " but found null instead.");
    }
    throw DecodingError(DecodingError::Kind::typeMismatch,
                        "Expected to decode " + expected + " but found " + describeJsonType(found) + " instead.");
}

void throwKeyNotFound(const std::string& key) {
    throw DecodingError(DecodingError::Kind::keyNotFound, "No value associated with key \"" + key + "\".", {key});
}

Json encodeFloat(float value) {
    if (!std::isfinite(value)) {
        throw EncodingError("Unable to encode Float." + std::string(std::isnan(value) ? "nan" : "infinity") +
                            " directly in JSON.");
    }
    // The shortest decimal text that reads back as this float, stored as the double it
    // denotes, so that the document shows 0.2 rather than 0.20000000298023224.
    return Json(platform::numbertext::shortestDecimalWidening(value));
}

Json encodeDouble(double value) {
    if (!std::isfinite(value)) {
        throw EncodingError("Unable to encode Double." + std::string(std::isnan(value) ? "nan" : "infinity") +
                            " directly in JSON.");
    }
    return Json(value);
}

bool decodeBool(const Json& value) {
    if (!value.is_boolean()) throwTypeMismatch("Bool", value);
    return value.get<bool>();
}

std::int64_t decodeInt64(const Json& value) {
    if (value.is_number_integer()) {
        if (value.is_number_unsigned() &&
            value.get<std::uint64_t>() > static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max())) {
            throw DecodingError(DecodingError::Kind::dataCorrupted,
                                "Parsed JSON number <" + value.dump() + "> does not fit in Int.");
        }
        return value.get<std::int64_t>();
    }
    if (value.is_number_float()) {
        double number = value.get<double>();
        // A whole number written with a fraction (2.0) is still that integer.
        if (std::isfinite(number) && std::trunc(number) == number && number >= -9.2233720368547758e18 &&
            number < 9.2233720368547758e18) {
            return static_cast<std::int64_t>(number);
        }
        throw DecodingError(DecodingError::Kind::dataCorrupted,
                            "Parsed JSON number <" + value.dump() + "> does not fit in Int.");
    }
    throwTypeMismatch("Int", value);
}

int decodeInt(const Json& value) {
    std::int64_t wide = decodeInt64(value);
    if (wide < std::numeric_limits<int>::min() || wide > std::numeric_limits<int>::max()) {
        throw DecodingError(DecodingError::Kind::dataCorrupted,
                            "Parsed JSON number <" + value.dump() + "> does not fit in Int.");
    }
    return static_cast<int>(wide);
}

float decodeFloat(const Json& value) {
    if (!value.is_number()) throwTypeMismatch("Float", value);
    double number = value.get<double>();
    if (std::fabs(number) > static_cast<double>(std::numeric_limits<float>::max())) {
        throw DecodingError(DecodingError::Kind::dataCorrupted,
                            "Parsed JSON number <" + value.dump() + "> does not fit in Float.");
    }
    return static_cast<float>(number);
}

double decodeDouble(const Json& value) {
    if (!value.is_number()) throwTypeMismatch("Double", value);
    return value.get<double>();
}

std::string decodeString(const Json& value) {
    if (!value.is_string()) throwTypeMismatch("String", value);
    return value.get<std::string>();
}

void requireObject(const Json& value, const std::string& typeName) {
    if (!value.is_object()) throwTypeMismatch(typeName + " (a dictionary)", value);
}

std::string decodeSingleCaseKey(const Json& value, const std::vector<std::string>& caseNames,
                                const std::string& typeName) {
    requireObject(value, typeName);
    std::string found;
    int count = 0;
    for (const auto& name : caseNames) {
        if (value.contains(name)) {
            found = name;
            ++count;
        }
    }
    if (count != 1) {
        throw DecodingError(DecodingError::Kind::typeMismatch, "Invalid number of keys found, expected one.");
    }
    return found;
}

Json Coder<std::map<std::int64_t, float>>::encode(const std::map<std::int64_t, float>& values) {
    Json object = Json::object();
    for (const auto& [token, probability] : values) {
        encodeKey(object, std::to_string(token), probability);
    }
    return object;
}

std::map<std::int64_t, float> Coder<std::map<std::int64_t, float>>::decode(const Json& json) {
    requireObject(json, "Dictionary<Int, Float>");
    std::map<std::int64_t, float> values;
    for (const auto& [key, item] : json.items()) {
        std::int64_t token = 0;
        auto [end, error] = std::from_chars(key.data(), key.data() + key.size(), token);
        if (key.empty() || error != std::errc() || end != key.data() + key.size()) {
            throw DecodingError(DecodingError::Kind::dataCorrupted, "Key \"" + key + "\" is not a decimal token id.",
                                {key});
        }
        try {
            values[token] = decodeFloat(item);
        } catch (DecodingError& failure) {
            failure.prependPath(key);
            throw;
        }
    }
    return values;
}

}  // namespace murmex::coding
