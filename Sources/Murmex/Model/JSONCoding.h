#pragma once

// Reading and writing the library's records as JSON.
//
// Every record has `to_json`/`from_json` overloads on `murmex::Json` (an insertion-ordered
// document, so keys come out in field order). They are built from the helpers below, which
// make the forms strict in the same way everywhere:
//   * floats are written in their shortest decimal form (0.2f is written as 0.2) and a NaN or
//     infinite value fails the write with `EncodingError`; it is never written as null;
//   * reading checks every type itself (1.5 is not an integer, "3" is not a number) and fails
//     with `DecodingError`, whose coding path names the key or index where it happened;
//   * a required key must be present; an optional one may be missing or null.

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include <nlohmann/json.hpp>

#include "Murmex/Model/CodingError.h"

namespace murmex {

using Json = nlohmann::ordered_json;

namespace coding {

// The value types of JSON, as named in error descriptions ("a string", "a number", …).
std::string describeJsonType(const Json& value);

[[noreturn]] void throwTypeMismatch(const std::string& expected, const Json& found);

// Scalars.
Json encodeFloat(float value);
Json encodeDouble(double value);
bool decodeBool(const Json& value);
std::int64_t decodeInt64(const Json& value);
int decodeInt(const Json& value);
float decodeFloat(const Json& value);
double decodeDouble(const Json& value);
std::string decodeString(const Json& value);

// Fails with a type mismatch naming `typeName` unless the value is an object.
void requireObject(const Json& value, const std::string& typeName);

// Reads a tagged variant written as {"case": {...}}: collects the members named after one of
// `caseNames` (others are ignored) and returns the one found; fails with a type mismatch
// "Invalid number of keys found, expected one." unless exactly one is present.
std::string decodeSingleCaseKey(const Json& value, const std::vector<std::string>& caseNames,
                                const std::string& typeName);

// Encoding and decoding of any supported type: scalars, strings, lists, optionals, maps from
// Int to Float (keys written as decimal strings) and the library's records (through their
// `to_json`/`from_json`).
template <class T>
struct Coder {
    static Json encode(const T& value) {
        Json json;
        to_json(json, value);
        return json;
    }
    static T decode(const Json& json) {
        T value{};
        from_json(json, value);
        return value;
    }
};

template <class T>
Json encode(const T& value) {
    return Coder<T>::encode(value);
}

template <class T>
T decode(const Json& json) {
    return Coder<T>::decode(json);
}

template <>
struct Coder<bool> {
    static Json encode(bool value) { return Json(value); }
    static bool decode(const Json& json) { return decodeBool(json); }
};

template <>
struct Coder<int> {
    static Json encode(int value) { return Json(value); }
    static int decode(const Json& json) { return decodeInt(json); }
};

template <>
struct Coder<std::int64_t> {
    static Json encode(std::int64_t value) { return Json(value); }
    static std::int64_t decode(const Json& json) { return decodeInt64(json); }
};

template <>
struct Coder<float> {
    static Json encode(float value) { return encodeFloat(value); }
    static float decode(const Json& json) { return decodeFloat(json); }
};

template <>
struct Coder<double> {
    static Json encode(double value) { return encodeDouble(value); }
    static double decode(const Json& json) { return decodeDouble(json); }
};

template <>
struct Coder<std::string> {
    static Json encode(const std::string& value) { return Json(value); }
    static std::string decode(const Json& json) { return decodeString(json); }
};

template <class T>
struct Coder<std::vector<T>> {
    static Json encode(const std::vector<T>& values) {
        Json array = Json::array();
        for (std::size_t i = 0; i < values.size(); ++i) {
            try {
                array.push_back(Coder<T>::encode(values[i]));
            } catch (EncodingError& error) {
                error.prependPath("Index " + std::to_string(i));
                throw;
            }
        }
        return array;
    }
    static std::vector<T> decode(const Json& json) {
        if (!json.is_array()) throwTypeMismatch("an array", json);
        std::vector<T> values;
        values.reserve(json.size());
        for (std::size_t i = 0; i < json.size(); ++i) {
            try {
                values.push_back(Coder<T>::decode(json[i]));
            } catch (DecodingError& error) {
                error.prependPath("Index " + std::to_string(i));
                throw;
            }
        }
        return values;
    }
};

// An optional inside a list or at the top level: null when absent.
template <class T>
struct Coder<std::optional<T>> {
    static Json encode(const std::optional<T>& value) { return value ? Coder<T>::encode(*value) : Json(nullptr); }
    static std::optional<T> decode(const Json& json) {
        if (json.is_null()) return std::nullopt;
        return Coder<T>::decode(json);
    }
};

// Maps from token id to a probability: an object whose keys are the ids in decimal.
template <>
struct Coder<std::map<std::int64_t, float>> {
    static Json encode(const std::map<std::int64_t, float>& values);
    static std::map<std::int64_t, float> decode(const Json& json);
};

// Writes `value` under `key`, naming the key in an encoding failure.
template <class T>
void encodeKey(Json& object, const std::string& key, const T& value) {
    try {
        object[key] = Coder<T>::encode(value);
    } catch (EncodingError& error) {
        error.prependPath(key);
        throw;
    }
}

// Writes an optional value under `key` only when it holds one.
template <class T>
void encodeKeyIfPresent(Json& object, const std::string& key, const std::optional<T>& value) {
    if (value) encodeKey(object, key, *value);
}

[[noreturn]] void throwKeyNotFound(const std::string& key);

// Reads the required member `key`; missing fails with key-not-found, null with value-not-found.
template <class T>
T decodeKey(const Json& object, const std::string& key) {
    auto it = object.find(key);
    if (it == object.end()) throwKeyNotFound(key);
    try {
        if (it->is_null())
            throw DecodingError(DecodingError::Kind::valueNotFound, "Expected a value but found null instead.");
        return Coder<T>::decode(*it);
    } catch (DecodingError& error) {
        error.prependPath(key);
        throw;
    }
}

// Reads the optional member `key`: missing or null gives no value.
template <class T>
std::optional<T> decodeKeyIfPresent(const Json& object, const std::string& key) {
    auto it = object.find(key);
    if (it == object.end() || it->is_null()) return std::nullopt;
    try {
        return Coder<T>::decode(*it);
    } catch (DecodingError& error) {
        error.prependPath(key);
        throw;
    }
}

}  // namespace coding
}  // namespace murmex
