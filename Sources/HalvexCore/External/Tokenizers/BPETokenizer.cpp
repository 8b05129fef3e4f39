#include "HalvexCore/External/Tokenizers/BPETokenizer.h"

#include <climits>
#include <cstdio>
#include <future>
#include <span>

#include "HalvexCore/External/Hub/Config.h"
#include "HalvexCore/External/Tokenizers/ByteLevelAlphabet.h"
#include "HalvexCore/External/Tokenizers/PreTokenizer.h"
#include "HalvexCore/External/Tokenizers/TokenizerError.h"
#include "HalvexCore/External/Tokenizers/TokenizerModel.h"

namespace halvex {

using text::Text;
using text::TextView;

namespace {

constexpr int32_t kNoRank = INT32_MAX;

uint64_t pairKey(int32_t a, int32_t b) {
    return (static_cast<uint64_t>(static_cast<uint32_t>(a)) << 32) | static_cast<uint32_t>(b);
}

// The parts of one merge-list element (its kind and texts, as Config::forEachElementTexts
// gives them), handed to `f` as views: a string is cut at every space, an array gives its
// strings. False for an element of another kind.
template <typename F>
bool forEachMergePart(Config::Kind kind, std::span<const TextView> texts, F&& f) {
    if (kind == Config::Kind::string) {
        TextView rest = texts.front();
        while (true) {
            size_t space = rest.find(u' ');
            f(rest.substr(0, space));
            if (space == TextView::npos) break;
            rest.remove_prefix(space + 1);
        }
        return true;
    }
    if (kind == Config::Kind::array) {
        for (TextView part : texts) f(part);
        return true;
    }
    return false;
}

std::optional<int> smallInteger(const Config& value) {
    auto i = value.integer();
    if (!i || *i < INT_MIN || *i > INT_MAX) return std::nullopt;
    return static_cast<int>(*i);
}

}  // namespace

std::optional<std::vector<std::vector<Text>>> BPETokenizer::mergesFromConfig(const Config& value) {
    std::vector<std::vector<Text>> merges;
    merges.reserve(value.containerSize());
    const bool isArray = value.forEachElementTexts([&](Config::Kind kind, std::span<const TextView> texts) {
        std::vector<Text> parts;
        if (forEachMergePart(kind, texts, [&](TextView part) { parts.emplace_back(part); }))
            merges.push_back(std::move(parts));
    });
    if (!isArray) return std::nullopt;
    return merges;
}

BPETokenizer::BPETokenizer(const Config& tokenizerConfig, const Config& tokenizerData,
                           const AddedTokenTable& addedTokens) {
    simpleSymbols_.fill(-1);
    Config model = tokenizerData["model"];
    const Config mergeList = model["merges"];
    if (mergeList.kind() != Config::Kind::array) throw TokenizerFileError("BPETokenizer requires merges");
    const Config vocab = model["vocab"];
    if (vocab.kind() != Config::Kind::dictionary) throw TokenizerError::missingVocab();

    // Merge parts are named by their entries in the token table, which is built first.
    buildTokens(vocab, addedTokens);
    buildMerges(mergeList);

    unknownToken_ = TokenizerModel::unknownToken(tokenizerConfig);
    if (unknownToken_) unknownTokenId_ = idOf(*unknownToken_);
    eosToken_ = addedTokenAsString(tokenizerConfig["eosToken"]);
    if (eosToken_) eosTokenId_ = idOf(*eosToken_);
    bosToken_ = addedTokenAsString(tokenizerConfig["bosToken"]);
    if (bosToken_) bosTokenId_ = idOf(*bosToken_);
    fuseUnknownTokens_ = tokenizerConfig["fuseUnk"].boolean().value_or(false);
}

void BPETokenizer::buildMerges(const Config& mergeList) {
    // Ranks: position in the list; a pair listed again takes its later rank. Elements of
    // another kind are skipped; a merge with fewer than two parts has no pair.
    const size_t count = mergeList.containerSize();
    merges_.reserve(count);
    int32_t rank = 0;
    TextView parts[2];
    Text joined;
    mergeList.forEachElementTexts([&](Config::Kind kind, std::span<const TextView> texts) {
        int count = 0;
        if (!forEachMergePart(kind, texts, [&](TextView part) {
                if (count < 2) parts[count] = part;
                ++count;
            }))
            return;
        int32_t position = rank++;
        if (count < 2) return;
        Text keyA, keyB;
        TextView a = parts[0], b = parts[1];
        if (!text::isCanonicalKey(a)) a = keyA = text::canonicalKey(a);
        if (!text::isCanonicalKey(b)) b = keyB = text::canonicalKey(b);
        joined.assign(a);
        joined.append(b);
        if (!text::isCanonicalKey(joined)) joined = text::nfc(joined);
        int32_t symbolA = intern(a);
        int32_t symbolB = intern(b);
        int32_t merged = intern(joined);
        merges_.insertOrAssign(pairKey(symbolA, symbolB), FlatPairMap::Value{position, merged});
    });
}

void BPETokenizer::buildTokens(const Config& vocab, const AddedTokenTable& addedTokens) {
    // Tokens: the vocabulary's integer entries, with the added tokens laid over them.
    tokensToIds_.reserve(vocab.containerSize() + addedTokens.size(), vocab.containerSize() * 8);
    vocab.forEachMember([&](TextView key, const Config& value) {
        if (auto id = smallInteger(value)) tokensToIds_.insert(key, *id, false);
    });
    for (const auto& [content, id] : addedTokens.entries()) tokensToIds_.insert(content, id, true);

    int maxId = -1;
    bool dense = true;
    for (const auto& entry : tokensToIds_.entries()) {
        if (entry.value < 0) dense = false;
        maxId = std::max(maxId, entry.value);
    }
    if (dense && static_cast<size_t>(maxId) < tokensToIds_.size() * 4 + 1024) {
        denseIdsToTokens_.assign(static_cast<size_t>(maxId + 1), -1);
        for (size_t i = 0; i < tokensToIds_.size(); ++i)
            denseIdsToTokens_[static_cast<size_t>(tokensToIds_.entry(i).value)] = static_cast<int32_t>(i);
    } else {
        for (size_t i = 0; i < tokensToIds_.size(); ++i)
            sparseIdsToTokens_[tokensToIds_.entry(i).value] = static_cast<uint32_t>(i);
    }
}

int32_t BPETokenizer::intern(TextView key) {
    if (key.size() == 1 && key[0] < 0x300) {
        int32_t& slot = simpleSymbols_[key[0]];
        if (slot < 0) slot = internKey(key);
        return slot;
    }
    return internKey(key);
}

int32_t BPETokenizer::internKey(TextView key) {
    const int64_t token = tokensToIds_.find(key);
    if (token >= 0) return static_cast<int32_t>(token);
    return static_cast<int32_t>(tokensToIds_.size() + extraSymbols_.insert(key, 0, false));
}

int32_t BPETokenizer::symbolOf(TextView piece) const {
    if (piece.size() == 1 && piece[0] < 0x300) return simpleSymbols_[piece[0]];
    Text canonical;
    const TextView key = text::isCanonicalKey(piece) ? piece : TextView(canonical = text::canonicalKey(piece));
    const int64_t token = tokensToIds_.find(key);
    if (token >= 0) return static_cast<int32_t>(token);
    const int64_t extra = extraSymbols_.find(key);
    return extra < 0 ? -1 : static_cast<int32_t>(tokensToIds_.size() + static_cast<size_t>(extra));
}

const BPETokenizer::Merge* BPETokenizer::findMerge(int32_t a, int32_t b) const {
    if (a < 0 || b < 0) return nullptr;
    return merges_.find(pairKey(a, b));
}

std::optional<int> BPETokenizer::rank(const BytePair& pair) const {
    const Merge* m = findMerge(symbolOf(pair.a), symbolOf(pair.b));
    if (!m) return std::nullopt;
    return m->first;
}

std::vector<BPETokenizer::Span> BPETokenizer::merge(TextView token) const {
    std::vector<Span> word;
    if (text::isSimple(token)) {
        word.reserve(token.size());
        for (size_t i = 0; i < token.size(); ++i)
            word.push_back(Span{simpleSymbols_[token[i]], static_cast<int32_t>(i), static_cast<int32_t>(i + 1)});
    } else {
        std::vector<int32_t> boundaries = text::characterBoundaries(token);
        word.reserve(boundaries.size());
        for (size_t i = 0; i + 1 < boundaries.size(); ++i) {
            TextView character = token.substr(static_cast<size_t>(boundaries[i]),
                                              static_cast<size_t>(boundaries[i + 1] - boundaries[i]));
            word.push_back(Span{symbolOf(character), boundaries[i], boundaries[i + 1]});
        }
    }
    if (word.size() < 2) return word;

    // The rank of each adjacent pair; after a merge only the pairs next to a joined element
    // are looked up again. The buffers are kept per thread between calls.
    auto rankOf = [&](const Span& left, const Span& right) {
        const Merge* m = findMerge(left.symbol, right.symbol);
        return m ? m->first : kNoRank;
    };
    thread_local std::vector<int32_t> ranks, nextRanks, origin;
    thread_local std::vector<Span> next;
    ranks.resize(word.size() - 1);
    for (size_t i = 0; i + 1 < word.size(); ++i) ranks[i] = rankOf(word[i], word[i + 1]);

    while (word.size() > 1) {
        size_t best = 0;
        for (size_t i = 1; i < ranks.size(); ++i)
            if (ranks[i] < ranks[best]) best = i;
        if (ranks[best] == kNoRank) break;
        const int32_t first = word[best].symbol;
        const int32_t second = word[best + 1].symbol;
        const int32_t joined = findMerge(first, second)->second;

        // Every occurrence of the pair, from left to right without overlap.
        next.clear();
        origin.clear();
        for (size_t i = 0; i < word.size();) {
            if (i + 1 < word.size() && word[i].symbol == first && word[i + 1].symbol == second) {
                next.push_back(Span{joined, word[i].lower, word[i + 1].upper});
                origin.push_back(-1);
                i += 2;
            } else {
                next.push_back(word[i]);
                origin.push_back(static_cast<int32_t>(i));
                i += 1;
            }
        }
        nextRanks.assign(next.size() - 1, kNoRank);
        for (size_t i = 0; i + 1 < next.size(); ++i) {
            if (origin[i] >= 0 && origin[i + 1] == origin[i] + 1)
                nextRanks[i] = ranks[static_cast<size_t>(origin[i])];
            else
                nextRanks[i] = rankOf(next[i], next[i + 1]);
        }
        word.assign(next.begin(), next.end());
        ranks.swap(nextRanks);
    }
    return word;
}

Text BPETokenizer::bpe(TextView token) const {
    Text joined;
    bool first = true;
    for (const Span& span : merge(token)) {
        if (!first) joined.push_back(u' ');
        joined.append(token.substr(static_cast<size_t>(span.lower), static_cast<size_t>(span.upper - span.lower)));
        first = false;
    }
    return joined;
}

std::optional<int> BPETokenizer::idOf(TextView token) const { return tokensToIds_.value(token); }

void BPETokenizer::appendTokens(TextView piece, std::vector<Text>& out) const {
    auto id = idOf(piece);
    if (id && (!unknownTokenId_ || *id != *unknownTokenId_)) {
        out.emplace_back(piece);
        return;
    }
    for (Text& byte : hexaEncode(piece)) out.push_back(std::move(byte));
}

std::vector<Text> BPETokenizer::tokenize(TextView text) const {
    std::vector<Text> tokens;
    for (const Span& span : merge(text)) {
        TextView piece = text.substr(static_cast<size_t>(span.lower), static_cast<size_t>(span.upper - span.lower));
        // Pieces are cut at spaces, empty ones dropped.
        while (!piece.empty()) {
            size_t space = piece.find(u' ');
            TextView part = piece.substr(0, space);
            if (!part.empty()) appendTokens(part, tokens);
            if (space == TextView::npos) break;
            piece.remove_prefix(space + 1);
        }
    }
    return tokens;
}

std::optional<int> BPETokenizer::convertTokenToId(TextView token) const {
    if (auto id = idOf(token)) return id;
    return unknownTokenId_;
}

std::optional<Text> BPETokenizer::convertIdToToken(int id) const {
    int64_t entry = -1;
    if (!denseIdsToTokens_.empty() || sparseIdsToTokens_.empty()) {
        if (id >= 0 && static_cast<size_t>(id) < denseIdsToTokens_.size())
            entry = denseIdsToTokens_[static_cast<size_t>(id)];
    } else {
        auto it = sparseIdsToTokens_.find(id);
        if (it != sparseIdsToTokens_.end()) entry = it->second;
    }
    if (entry < 0) return std::nullopt;
    return Text(tokensToIds_.key(static_cast<size_t>(entry)));
}

std::vector<Text> BPETokenizer::byteEncode(TextView text) const {
    Text encoded;
    appendByteLevel(text, encoded);
    std::vector<Text> out;
    out.reserve(encoded.size());
    for (char16_t c : encoded) out.emplace_back(1, c);
    return out;
}

std::vector<Text> BPETokenizer::hexaEncode(TextView text) const {
    static const text::SearchPattern pattern = text::SearchPattern::regularExpression(byteLevelSplitRegex());
    std::vector<Text> out;
    for (const text::Range& r : text::ranges(text, pattern)) {
        std::string bytes =
            text::toUtf8(text.substr(static_cast<size_t>(r.lower), static_cast<size_t>(r.upper - r.lower)));
        for (unsigned char b : bytes) {
            char buffer[8];
            std::snprintf(buffer, sizeof buffer, "<0x%02X>", b);
            out.emplace_back(buffer, buffer + 6);
        }
    }
    return out;
}

}  // namespace halvex
