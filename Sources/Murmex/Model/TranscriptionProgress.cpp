#include "Murmex/Model/TranscriptionProgress.h"

namespace murmex {

std::string_view description(TranscriptionState state) {
    switch (state) {
        case TranscriptionState::convertingAudio: return "Converting Audio";
        case TranscriptionState::transcribing: return "Transcribing";
        case TranscriptionState::finished: return "Finished";
    }
    return "";
}

}  // namespace murmex
