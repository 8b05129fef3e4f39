#include "HalvexCore/External/Tokenizers/FlatTextMap.h"

#include <bit>

namespace halvex {

namespace {

// The tables probe linearly and keep at most three entries per four slots: a vocabulary of
// millions of tokens must not cost several times its own size in empty slots.
size_t slotsFor(size_t entries) { return std::bit_ceil(entries + entries / 3 + 16); }

bool overLoaded(size_t entries, size_t slots) { return entries * 4 > slots * 3; }

}  // namespace

uint32_t FlatTextMap::hashOf(text::TextView key) {
    uint64_t h = 0xcbf29ce484222325ULL ^ key.size();
    for (char16_t c : key) {
        h ^= c;
        h *= 0x100000001b3ULL;
    }
    h ^= h >> 29;
    return static_cast<uint32_t>(h);
}

void FlatTextMap::reserve(size_t entries, size_t codeUnits) {
    entries_.reserve(entries);
    units_.reserve(codeUnits);
    size_t wanted = slotsFor(entries);
    if (wanted > slots_.size()) {
        slots_.assign(wanted, Slot{0, 0});
        mask_ = wanted - 1;
        for (size_t i = 0; i < entries_.size(); ++i) {
            size_t s = entries_[i].hash & mask_;
            while (slots_[s].entry != 0) s = (s + 1) & mask_;
            slots_[s] = Slot{entries_[i].hash, static_cast<uint32_t>(i + 1)};
        }
    }
}

void FlatTextMap::grow() { reserve(entries_.size() * 2 + 16, units_.size()); }

int64_t FlatTextMap::find(text::TextView key) const {
    if (entries_.empty()) return -1;
    const uint32_t h = hashOf(key);
    for (size_t s = h & mask_;; s = (s + 1) & mask_) {
        const Slot& slot = slots_[s];
        if (slot.entry == 0) return -1;
        if (slot.hash != h) continue;
        const Entry& e = entries_[slot.entry - 1];
        if (e.length == key.size() && text::TextView(units_.data() + e.offset, e.length) == key) return slot.entry - 1;
    }
}

uint32_t FlatTextMap::insert(text::TextView key, int32_t value, bool overwrite) {
    if (overLoaded(entries_.size() + 1, slots_.size())) grow();
    const uint32_t h = hashOf(key);
    size_t s = h & mask_;
    for (;; s = (s + 1) & mask_) {
        const Slot& slot = slots_[s];
        if (slot.entry == 0) break;
        if (slot.hash != h) continue;
        Entry& e = entries_[slot.entry - 1];
        if (e.length == key.size() && text::TextView(units_.data() + e.offset, e.length) == key) {
            if (overwrite) e.value = value;
            return slot.entry - 1;
        }
    }
    auto offset = static_cast<uint32_t>(units_.size());
    units_.insert(units_.end(), key.begin(), key.end());
    entries_.push_back(Entry{offset, static_cast<uint32_t>(key.size()), h, value});
    slots_[s] = Slot{h, static_cast<uint32_t>(entries_.size())};
    return static_cast<uint32_t>(entries_.size() - 1);
}

void FlatPairMap::reserve(size_t entries) {
    size_t wanted = slotsFor(entries);
    if (wanted <= slots_.size()) return;
    std::vector<Slot> old = std::move(slots_);
    slots_.assign(wanted, Slot{kEmpty, {0, 0}});
    mask_ = wanted - 1;
    for (const Slot& slot : old) {
        if (slot.key == kEmpty) continue;
        size_t s = hashOf(slot.key) & mask_;
        while (slots_[s].key != kEmpty) s = (s + 1) & mask_;
        slots_[s] = slot;
    }
}

void FlatPairMap::grow() { reserve(size_ * 2 + 16); }

void FlatPairMap::insertOrAssign(uint64_t key, Value value) {
    if (overLoaded(size_ + 1, slots_.size())) grow();
    size_t s = hashOf(key) & mask_;
    while (slots_[s].key != kEmpty && slots_[s].key != key) s = (s + 1) & mask_;
    if (slots_[s].key == kEmpty) {
        slots_[s].key = key;
        ++size_;
    }
    slots_[s].value = value;
}

const FlatPairMap::Value* FlatPairMap::find(uint64_t key) const {
    if (size_ == 0) return nullptr;
    for (size_t s = hashOf(key) & mask_; slots_[s].key != kEmpty; s = (s + 1) & mask_)
        if (slots_[s].key == key) return &slots_[s].value;
    return nullptr;
}

}  // namespace halvex
