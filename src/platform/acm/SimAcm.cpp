#include "platform/acm/SimAcm.h"

#include <cstring>

namespace plat::acm {
namespace {
// Driver ids and open handles are 1-based indices into `drivers`.
constexpr Stream kStream = 0x5EED;
}  // namespace

int16_t SimAcm::sample(uint32_t frame, uint32_t channel) {
  return static_cast<int16_t>(static_cast<int32_t>((frame * 37u + channel * 20000u) % 65536u) - 32768);
}

uint32_t SimAcm::driverEnum(DriverEnumCallback callback, void* instance, uint32_t) {
  if (callback == nullptr) return kInvalidParam;
  for (size_t i = 0; i < drivers.size(); ++i) {
    if (!callback(i + 1, instance, drivers[i].support)) break;
  }
  return kOk;
}

uint32_t SimAcm::driverDetails(DriverId id, DriverDetails* details, uint32_t) {
  if (id == 0 || id > drivers.size() || details == nullptr) return kBadHandle;
  const SimDriver& d = drivers[id - 1];
  if (d.failDetails) return kError;
  details->support = d.support;
  details->formatTags = static_cast<uint32_t>(d.tags.size());
  return kOk;
}

uint32_t SimAcm::driverOpen(Driver* driver, DriverId id, uint32_t) {
  if (id == 0 || id > drivers.size() || driver == nullptr) return kBadHandle;
  if (drivers[id - 1].failOpen) return kError;
  *driver = id;
  ++openDrivers;
  return kOk;
}

uint32_t SimAcm::driverClose(Driver driver, uint32_t) {
  if (driver == 0 || driver > drivers.size()) return kBadHandle;
  --openDrivers;
  return kOk;
}

uint32_t SimAcm::formatTagDetails(Driver driver, FormatTagDetails* details, uint32_t) {
  if (driver == 0 || driver > drivers.size() || details == nullptr) return kBadHandle;
  const SimDriver& d = drivers[driver - 1];
  if (d.failTagDetails || details->formatTagIndex >= d.tags.size()) return kNotPossible;
  details->formatTag = d.tags[details->formatTagIndex];
  return kOk;
}

uint32_t SimAcm::formatSuggest(Driver, const WaveFormat* source, WaveFormat* destination, uint32_t,
                               uint32_t) {
  if (failSuggest || source == nullptr || destination == nullptr) return kNotPossible;
  destination->formatTag = kTagPcm;
  destination->channels = suggestChannels != 0 ? suggestChannels : source->channels;
  destination->samplesPerSec = suggestRate != 0 ? suggestRate : source->samplesPerSec;
  destination->bitsPerSample = 16;
  destination->blockAlign = static_cast<uint16_t>(destination->channels * 2);
  destination->avgBytesPerSec = destination->samplesPerSec * destination->blockAlign;
  return kOk;
}

uint32_t SimAcm::streamOpen(Stream* stream, Driver, const WaveFormat* source, const WaveFormat* destination,
                            void*, uintptr_t, uintptr_t, uint32_t) {
  if (failStreamOpen || stream == nullptr || source == nullptr || destination == nullptr) return kNotPossible;
  lastSource = MpegLayer3Format{};
  std::memcpy(static_cast<void*>(&lastSource), source,
              source->extraSize >= 12 ? sizeof(MpegLayer3Format) : sizeof(WaveFormat));
  destination_ = *destination;
  *stream = kStream;
  ++openStreams;
  return kOk;
}

uint32_t SimAcm::streamSize(Stream stream, uint32_t, uint32_t* destinationBytes, uint32_t) {
  if (stream != kStream || destinationBytes == nullptr || failSize) return kNotPossible;
  *destinationBytes = pcmFrames * destination_.channels * 2u;
  lastDestinationSize = *destinationBytes;
  return kOk;
}

uint32_t SimAcm::streamPrepareHeader(Stream stream, StreamHeader* header, uint32_t) {
  if (stream != kStream || header == nullptr || failPrepare) return kNotPossible;
  header->prepared = true;
  ++preparedHeaders;
  return kOk;
}

uint32_t SimAcm::streamConvert(Stream stream, StreamHeader* header, uint32_t) {
  if (stream != kStream || header == nullptr || !header->prepared) return kUnprepared;
  ++conversions;
  lastSourceBytes.assign(header->src, header->src + header->srcLength);
  if (failConvert) return kError;
  const uint32_t channels = destination_.channels;
  const uint32_t frames = channels == 0 ? 0 : header->dstLength / (channels * 2u);
  const uint32_t produced = frames < pcmFrames ? frames : pcmFrames;
  for (uint32_t f = 0; f < produced; ++f) {
    for (uint32_t c = 0; c < channels; ++c) {
      const int16_t v = sample(f, c);
      std::memcpy(header->dst + (f * channels + c) * 2u, &v, 2);
    }
  }
  header->srcLengthUsed = header->srcLength;
  header->dstLengthUsed = produced * channels * 2u;
  header->done = true;
  return kOk;
}

uint32_t SimAcm::streamUnprepareHeader(Stream stream, StreamHeader* header, uint32_t) {
  if (stream != kStream || header == nullptr || !header->prepared) return kUnprepared;
  header->prepared = false;
  --preparedHeaders;
  return kOk;
}

uint32_t SimAcm::streamClose(Stream stream, uint32_t) {
  if (stream != kStream) return kBadHandle;
  --openStreams;
  return kOk;
}

}  // namespace plat::acm
