#include "HalvexCore/External/Tokenizers/AddedTokenSplitter.h"

#include <unicode/uchar.h>

#include <algorithm>
#include <climits>

namespace halvex {

using text::Text;
using text::TextView;

bool AddedTokenSplitter::isExpressionSpace(char32_t c) {
    return u_hasBinaryProperty(static_cast<UChar32>(c), UCHAR_WHITE_SPACE);
}

AddedTokenSplitter::AddedTokenSplitter(std::vector<Alternative> alternatives)
    : alternatives_(std::move(alternatives)), nodes_(1), startUnits_(65536 / 64, 0) {
    for (size_t i = 0; i < alternatives_.size(); ++i) {
        const Alternative& alternative = alternatives_[i];
        if (alternative.content.empty()) continue;
        int32_t node = 0;
        for (char16_t unit : alternative.content) {
            int32_t next = child(node, unit);
            if (next < 0) {
                next = static_cast<int32_t>(nodes_.size());
                auto& children = nodes_[static_cast<size_t>(node)].children;
                children.insert(std::lower_bound(children.begin(), children.end(), std::make_pair(unit, INT32_MIN)),
                                {unit, next});
                nodes_.emplace_back();
            }
            node = next;
        }
        nodes_[static_cast<size_t>(node)].alternatives.push_back(static_cast<int32_t>(i));
        char16_t first = alternative.content.front();
        startUnits_[first / 64] |= uint64_t{1} << (first % 64);
        if (alternative.prefix) anyPrefix_ = true;
    }
    if (anyPrefix_) {
        // A match may begin with the whitespace before a token.
        for (char32_t c = 0; c < 0x10000; ++c)
            if (isExpressionSpace(c)) startUnits_[c / 64] |= uint64_t{1} << (c % 64);
    }
}

int32_t AddedTokenSplitter::child(int32_t node, char16_t unit) const {
    const auto& children = nodes_[static_cast<size_t>(node)].children;
    auto it = std::lower_bound(children.begin(), children.end(), std::make_pair(unit, INT32_MIN));
    return it != children.end() && it->first == unit ? it->second : -1;
}

int32_t AddedTokenSplitter::spaceRunEnd(TextView text, int32_t p) const {
    const auto n = static_cast<int32_t>(text.size());
    while (p < n) {
        char32_t c = text::codePointAt(text, static_cast<size_t>(p));
        if (!isExpressionSpace(c)) break;
        p += c >= 0x10000 ? 2 : 1;
    }
    return p;
}

AddedTokenSplitter::Candidate AddedTokenSplitter::firstAt(TextView text, int32_t start, bool prefixedOnly) const {
    const auto n = static_cast<int32_t>(text.size());
    Candidate first{INT32_MAX, start, start};
    int32_t node = 0;
    for (int32_t q = start; q < n; ++q) {
        node = child(node, text[static_cast<size_t>(q)]);
        if (node < 0) break;
        for (int32_t i : nodes_[static_cast<size_t>(node)].alternatives) {
            if (i >= first.index) break;
            if (prefixedOnly && !alternatives_[static_cast<size_t>(i)].prefix) continue;
            first = Candidate{i, start, q + 1};
            break;
        }
    }
    return first;
}

bool AddedTokenSplitter::matchAt(TextView text, int32_t p, Match& match, RunCandidates& run) const {
    // Of the alternatives that match here the first in order wins; a "\s*" before the content
    // takes as much whitespace as lets the content follow.
    Candidate best = firstAt(text, p, false);
    if (anyPrefix_) {
        if (p < run.begin || p >= run.end) {
            run.begin = p;
            run.end = spaceRunEnd(text, p);
            // Whitespace is in the Basic Multilingual Plane: every position of the run is a
            // scalar's start. Walk the run backwards, keeping the best from each position on.
            const auto length = static_cast<size_t>(run.end - run.begin);
            run.fromPosition.assign(length + 2, Candidate{INT32_MAX, 0, 0});
            for (int32_t k = run.end; k > run.begin; --k) {
                Candidate here = firstAt(text, k, true);
                const Candidate& later = run.fromPosition[static_cast<size_t>(k - run.begin) + 1];
                run.fromPosition[static_cast<size_t>(k - run.begin)] = here.index < later.index ? here : later;
            }
        }
        const Candidate& prefixed = run.fromPosition[static_cast<size_t>(p - run.begin) + 1];
        if (prefixed.index <= best.index) best = prefixed;
    }
    if (best.index == INT32_MAX) return false;
    match.lower = p;
    match.contentLower = best.lower;
    match.contentUpper = best.upper;
    match.upper = alternatives_[static_cast<size_t>(best.index)].suffix ? spaceRunEnd(text, best.upper) : best.upper;
    return true;
}

std::vector<Text> AddedTokenSplitter::split(TextView text) const {
    const auto n = static_cast<int32_t>(text.size());
    std::vector<Text> pieces;
    int32_t last = 0;
    bool matched = false;
    Match match{};
    RunCandidates run;
    for (int32_t p = 0; p < n;) {
        char16_t unit = text[static_cast<size_t>(p)];
        if ((startUnits_[unit / 64] >> (unit % 64) & 1) && matchAt(text, p, match, run)) {
            matched = true;
            if (last < match.lower)
                pieces.emplace_back(text.substr(static_cast<size_t>(last), static_cast<size_t>(match.lower - last)));
            pieces.emplace_back(text.substr(static_cast<size_t>(match.contentLower),
                                            static_cast<size_t>(match.contentUpper - match.contentLower)));
            last = match.upper;
            p = match.upper;
            continue;
        }
        p += text::codePointAt(text, static_cast<size_t>(p)) >= 0x10000 ? 2 : 1;
    }
    if (!matched) return {Text(text)};
    if (last < n) pieces.emplace_back(text.substr(static_cast<size_t>(last)));
    return pieces;
}

}  // namespace halvex
