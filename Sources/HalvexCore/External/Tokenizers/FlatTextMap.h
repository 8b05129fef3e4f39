#pragma once

// Compact hash tables for the large vocabularies of tokenization models: keys are kept in one
// buffer of code units, entries in one array, and the table probes linearly, so that building
// and searching a table of tens of thousands of tokens costs no allocation per entry.

#include <cstdint>
#include <optional>
#include <utility>
#include <vector>

#include "HalvexCore/External/Tokenizers/TextOperations.h"

namespace halvex {

// A map from exact code-unit strings to integers. Entries keep their insertion order.
class FlatTextMap {
public:
    struct Entry {
        uint32_t offset;
        uint32_t length;
        uint32_t hash;
        int32_t value;
    };

    void reserve(size_t entries, size_t codeUnits);

    // Inserts the key with the value, or, when present, replaces its value when `overwrite`
    // is set. Returns the entry's index.
    uint32_t insert(text::TextView key, int32_t value, bool overwrite);
    // The index of the key's entry, or -1.
    int64_t find(text::TextView key) const;
    std::optional<int32_t> value(text::TextView key) const {
        int64_t i = find(key);
        if (i < 0) return std::nullopt;
        return entries_[static_cast<size_t>(i)].value;
    }

    size_t size() const { return entries_.size(); }
    const Entry& entry(size_t index) const { return entries_[index]; }
    text::TextView key(size_t index) const {
        const Entry& e = entries_[index];
        return text::TextView(units_.data() + e.offset, e.length);
    }
    const std::vector<Entry>& entries() const { return entries_; }

    static uint32_t hashOf(text::TextView key);

private:
    void grow();
    std::vector<char16_t> units_;
    std::vector<Entry> entries_;
    struct Slot {
        uint32_t hash;
        uint32_t entry;  // entry index + 1, 0 for an empty slot
    };
    std::vector<Slot> slots_;
    size_t mask_ = 0;
};

// A map from 64-bit keys to a pair of integers.
class FlatPairMap {
public:
    struct Value {
        int32_t first;
        int32_t second;
    };

    void reserve(size_t entries);
    void insertOrAssign(uint64_t key, Value value);
    const Value* find(uint64_t key) const;
    size_t size() const { return size_; }

private:
    static constexpr uint64_t kEmpty = ~uint64_t{0};  // never a key: symbols are below 2^31
    struct Slot {
        uint64_t key;
        Value value;
    };
    void grow();
    static size_t hashOf(uint64_t key) {
        key ^= key >> 33;
        key *= 0xff51afd7ed558ccdULL;
        key ^= key >> 33;
        return static_cast<size_t>(key);
    }
    std::vector<Slot> slots_;
    size_t mask_ = 0;
    size_t size_ = 0;
};

}  // namespace halvex
