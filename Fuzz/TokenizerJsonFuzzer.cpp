// tokenizer.json: a tokenizer built from untrusted tokenizer data (model, normalizer,
// pre-tokenizer, post-processor, decoder, added tokens), then used to encode and decode. The
// first byte of an input chooses the tokenizer class (BPE, WordPiece or Unigram model); the
// rest is the tokenizer.json text.

#include "HalvexCore/External/Hub/Config.h"
#include "HalvexCore/External/Hub/Extensions/JSONSerialization.h"
#include "HalvexCore/External/Tokenizers/PreTrainedTokenizer.h"

#include <cstddef>
#include <cstdint>
#include <string_view>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0) {
        return 0;
    }
    static const halvex::Config configs[] = {
        halvex::JSONSerialization::bomPreservingConfig(
            R"({"tokenizer_class": "WhisperTokenizer", "bos_token": "<|endoftext|>", "eos_token": "<|endoftext|>",
                "unk_token": "<|endoftext|>"})"),
        halvex::JSONSerialization::bomPreservingConfig(
            R"({"tokenizer_class": "BertTokenizer", "unk_token": "[UNK]", "do_lower_case": true})"),
        halvex::JSONSerialization::bomPreservingConfig(
            R"({"tokenizer_class": "XLMRobertaTokenizer", "unk_token": "<unk>", "bos_token": "<s>",
                "eos_token": {"content": "</s>", "lstrip": true}})"),
    };
    const halvex::Config& tokenizerConfig = configs[data[0] % 3];
    const std::string_view text(reinterpret_cast<const char*>(data) + 1, size - 1);
    try {
        const halvex::Config tokenizerData = halvex::JSONSerialization::bomPreservingConfig(text);
        for (bool strict : {false, true}) {
            halvex::PreTrainedTokenizer tokenizer(tokenizerConfig, tokenizerData, strict);
            const auto ids = tokenizer.encode("Hello world! ça va?  <|endoftext|> 42", true);
            (void)tokenizer.decode(ids, false);
            (void)tokenizer.decode(ids, true);
            (void)tokenizer.decode({0, 1, 2, -1, 50257, 1 << 30}, false);
        }
    } catch (const std::exception&) {
        // Malformed tokenizer data is refused with an error; only crashes and hangs are findings.
    }
    return 0;
}
