#pragma once

// Cuts text at added tokens exactly as the alternation expression of the added tokens does
// (alternatives tried in order at each position, "\s*" around a token taken greedily), without
// running the expression: with a thousand and more added tokens the expression tries every
// alternative at every position, while this walks a prefix tree of the tokens.

#include <cstdint>
#include <vector>

#include "HalvexCore/External/Tokenizers/TextOperations.h"

namespace halvex {

class AddedTokenSplitter {
public:
    struct Alternative {
        text::Text content;  // matched literally, code unit by code unit
        bool prefix;         // "\s*" before the content
        bool suffix;         // "\s*" after the content
    };

    // The alternatives in the order of the expression.
    explicit AddedTokenSplitter(std::vector<Alternative> alternatives);

    // The same pieces as text::split(text, expression): the stretches between matches and,
    // for each match, the content it matched (without the whitespace around it); the text
    // alone when nothing matches.
    std::vector<text::Text> split(text::TextView text) const;

    // True for the characters "\s" matches.
    static bool isExpressionSpace(char32_t c);

private:
    struct Node {
        std::vector<std::pair<char16_t, int32_t>> children;  // sorted by unit
        std::vector<int32_t> alternatives;                   // ending here, in order
    };
    struct Match {
        int32_t lower;
        int32_t upper;
        int32_t contentLower;
        int32_t contentUpper;
    };
    // The first alternative (in order) whose content begins at `lower`; none when `index` is
    // INT32_MAX.
    struct Candidate {
        int32_t index;
        int32_t lower;
        int32_t upper;
    };
    // For one run of whitespace [begin, end): for each position k in (begin, end], the best
    // content of a token that takes the whitespace before it and begins at k or later. The
    // first alternative wins, and of one alternative the latest start (the whitespace is taken
    // greedily). Built once per run, so that matching at each of its positions costs no
    // further walk through the run.
    struct RunCandidates {
        int32_t begin = -1;
        int32_t end = -1;
        std::vector<Candidate> fromPosition;  // indexed by k - begin
    };

    int32_t child(int32_t node, char16_t unit) const;
    Candidate firstAt(text::TextView text, int32_t start, bool prefixedOnly) const;
    // The match of the expression that begins at `p`, if any.
    bool matchAt(text::TextView text, int32_t p, Match& match, RunCandidates& run) const;
    int32_t spaceRunEnd(text::TextView text, int32_t p) const;

    std::vector<Alternative> alternatives_;
    std::vector<Node> nodes_;
    std::vector<uint64_t> startUnits_;  // bitmap of the units a match can begin with
    bool anyPrefix_ = false;
};

}  // namespace halvex
