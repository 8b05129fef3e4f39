#include "Murmex/Core/MurmexConfig.h"

#include <utility>

namespace murmex {

MurmexConfig::MurmexConfig(Arguments a)
    : model_(std::move(a.model)),
      downloadBase_(std::move(a.downloadBase)),
      modelRepo_(std::move(a.modelRepo)),
      modelToken_(std::move(a.modelToken)),
      modelEndpoint_(std::move(a.modelEndpoint)),
      modelFolder_(std::move(a.modelFolder)),
      tokenizerFolder_(std::move(a.tokenizerFolder)),
      computeOptions_(std::move(a.computeOptions)),
      audioInputConfigStorage_(std::move(a.audioInputConfig)),
      audioProcessor_(std::move(a.audioProcessor)),
      featureExtractor_(std::move(a.featureExtractor)),
      audioEncoder_(std::move(a.audioEncoder)),
      textDecoder_(std::move(a.textDecoder)),
      logitsFilters_(std::move(a.logitsFilters)),
      segmentSeeker_(std::move(a.segmentSeeker)),
      voiceActivityDetector_(std::move(a.voiceActivityDetector)),
      verbose_(a.verbose),
      logLevel_(a.logLevel),
      prewarm_(a.prewarm),
      load_(a.load),
      download_(a.download),
      useBackgroundDownloadSession_(a.useBackgroundDownloadSession) {}

}  // namespace murmex
