#include "platform/acm/Mpg123Acm.h"

#include <mpg123.h>
#include <sys/types.h>

#include <cstdio>
#include <cstring>
#include <new>

namespace plat::acm {
namespace {

constexpr Driver kOpenDriver = 0x4D503300;  // the one driver has one open handle value

struct StreamState {
  mpg123_handle* handle = nullptr;
  uint32_t rate = 0;
  uint32_t channels = 0;
};

// libmpg123 reads the source through these, so that it sees the whole buffer as a seekable file
// (it then finds and skips a trailing tag and knows where the stream ends).
struct MemoryReader {
  const uint8_t* data = nullptr;
  size_t size = 0;
  size_t pos = 0;
};

ssize_t memoryRead(void* handle, void* out, size_t count) {
  auto* r = static_cast<MemoryReader*>(handle);
  size_t n = r->size - r->pos < count ? r->size - r->pos : count;
  std::memcpy(out, r->data + r->pos, n);
  r->pos += n;
  return static_cast<ssize_t>(n);
}

off_t memorySeek(void* handle, off_t offset, int whence) {
  auto* r = static_cast<MemoryReader*>(handle);
  off_t base = whence == SEEK_SET   ? 0
               : whence == SEEK_CUR ? static_cast<off_t>(r->pos)
                                    : static_cast<off_t>(r->size);
  off_t target = base + offset;
  if (target < 0 || target > static_cast<off_t>(r->size)) return -1;
  r->pos = static_cast<size_t>(target);
  return target;
}

bool validLayer3(const WaveFormat* f) {
  return f != nullptr && f->formatTag == kTagMpegLayer3 && (f->channels == 1 || f->channels == 2) &&
         f->samplesPerSec > 0;
}

bool validPcmFor(const WaveFormat* pcm, const WaveFormat* source) {
  return pcm != nullptr && pcm->formatTag == kTagPcm && pcm->bitsPerSample == 16 &&
         pcm->channels == source->channels && pcm->samplesPerSec == source->samplesPerSec;
}

void copyName(char* out, size_t size, const char* text) {
  std::snprintf(out, size, "%s", text);
}

}  // namespace

Mpg123Acm::Mpg123Acm() {
  // A no-op in current libmpg123, required by older ones; safe to call more than once.
  mpg123_init();
}

uint32_t Mpg123Acm::driverEnum(DriverEnumCallback callback, void* instance, uint32_t) {
  if (callback == nullptr) return kInvalidParam;
  callback(kDriverId, instance, kSupportCodec);
  return kOk;
}

uint32_t Mpg123Acm::driverDetails(DriverId id, DriverDetails* details, uint32_t) {
  if (id != kDriverId) return kBadHandle;
  if (details == nullptr) return kInvalidParam;
  details->support = kSupportCodec;
  details->formatTags = 2;
  copyName(details->shortName, sizeof details->shortName, "MPEG Layer-3");
  copyName(details->longName, sizeof details->longName, "MPEG Layer-3 decoder (libmpg123)");
  return kOk;
}

uint32_t Mpg123Acm::driverOpen(Driver* driver, DriverId id, uint32_t) {
  if (driver == nullptr) return kInvalidParam;
  if (id != kDriverId) return kBadHandle;
  *driver = kOpenDriver;
  return kOk;
}

uint32_t Mpg123Acm::driverClose(Driver driver, uint32_t) {
  return driver == kOpenDriver ? kOk : kBadHandle;
}

uint32_t Mpg123Acm::formatTagDetails(Driver driver, FormatTagDetails* details, uint32_t flags) {
  if (driver != kOpenDriver) return kBadHandle;
  if (details == nullptr) return kInvalidParam;
  if (flags != kFormatTagDetailsIndex) return kInvalidFlag;
  switch (details->formatTagIndex) {
    case 0:
      details->formatTag = kTagPcm;
      details->formatSize = sizeof(WaveFormat);
      copyName(details->name, sizeof details->name, "PCM");
      break;
    case 1:
      details->formatTag = kTagMpegLayer3;
      details->formatSize = sizeof(MpegLayer3Format);
      copyName(details->name, sizeof details->name, "MPEG Layer-3");
      break;
    default:
      return kNotPossible;
  }
  details->support = kSupportCodec;
  return kOk;
}

uint32_t Mpg123Acm::formatSuggest(Driver, const WaveFormat* source, WaveFormat* destination,
                                  uint32_t destinationSize, uint32_t flags) {
  if (destination == nullptr || destinationSize < sizeof(WaveFormat) - sizeof(uint16_t)) return kInvalidParam;
  if (!validLayer3(source)) return kNotPossible;
  if ((flags & kFormatSuggestFormatTag) != 0 && destination->formatTag != kTagPcm) return kNotPossible;
  destination->formatTag = kTagPcm;
  destination->channels = source->channels;
  destination->samplesPerSec = source->samplesPerSec;
  destination->bitsPerSample = 16;
  destination->blockAlign = static_cast<uint16_t>(source->channels * 2);
  destination->avgBytesPerSec = source->samplesPerSec * destination->blockAlign;
  if (destinationSize >= sizeof(WaveFormat)) destination->extraSize = 0;
  return kOk;
}

uint32_t Mpg123Acm::streamOpen(Stream* stream, Driver, const WaveFormat* source,
                               const WaveFormat* destination, void*, uintptr_t, uintptr_t, uint32_t) {
  if (stream == nullptr) return kInvalidParam;
  *stream = 0;
  if (!validLayer3(source) || !validPcmFor(destination, source)) return kNotPossible;
  int error = MPG123_OK;
  mpg123_handle* handle = mpg123_new(nullptr, &error);
  if (handle == nullptr) return kNoMemory;
  mpg123_param(handle, MPG123_ADD_FLAGS, MPG123_QUIET, 0.0);
  mpg123_format_none(handle);
  if (mpg123_format(handle, static_cast<long>(source->samplesPerSec),
                    source->channels == 1 ? MPG123_MONO : MPG123_STEREO, MPG123_ENC_SIGNED_16) != MPG123_OK ||
      mpg123_replace_reader_handle(handle, memoryRead, memorySeek, nullptr) != MPG123_OK) {
    mpg123_delete(handle);
    return kNotPossible;
  }
  auto* state = new (std::nothrow) StreamState{handle, source->samplesPerSec, source->channels};
  if (state == nullptr) {
    mpg123_delete(handle);
    return kNoMemory;
  }
  *stream = reinterpret_cast<Stream>(state);
  return kOk;
}

uint64_t Mpg123Acm::pcmBound(uint64_t sourceBytes, uint32_t rate, uint32_t channels) {
  if (rate == 0) return 0;
  // MPEG-1 (32 kHz and up): 1152 samples, at least 32 kbit/s; MPEG-2: 576 samples, at least 8 kbit/s.
  const bool mpeg1 = rate >= 32000;
  const uint64_t samplesPerFrame = mpeg1 ? 1152 : 576;
  uint64_t minFrameBytes = (mpeg1 ? 144ull * 32000 : 72ull * 8000) / rate;
  if (minFrameBytes == 0) minFrameBytes = 1;
  const uint64_t frames = sourceBytes / minFrameBytes + 1;
  return frames * samplesPerFrame * channels * 2;
}

uint32_t Mpg123Acm::streamSize(Stream stream, uint32_t sourceBytes, uint32_t* destinationBytes,
                               uint32_t flags) {
  auto* state = reinterpret_cast<StreamState*>(stream);
  if (state == nullptr) return kBadHandle;
  if (destinationBytes == nullptr) return kInvalidParam;
  if (flags != kStreamSizeSource) return kInvalidFlag;
  const uint64_t bound = pcmBound(sourceBytes, state->rate, state->channels);
  // A source too long to state its bound in 32 bits still decodes, up to the largest whole
  // frame count that fits.
  const uint64_t frameBytes = state->channels * 2ull;
  *destinationBytes =
      static_cast<uint32_t>(bound > 0xFFFFFFFFull ? 0xFFFFFFFFull / frameBytes * frameBytes : bound);
  return kOk;
}

uint32_t Mpg123Acm::streamPrepareHeader(Stream stream, StreamHeader* header, uint32_t) {
  if (stream == 0) return kBadHandle;
  if (header == nullptr || header->src == nullptr || header->dst == nullptr) return kInvalidParam;
  header->prepared = true;
  header->done = false;
  return kOk;
}

uint32_t Mpg123Acm::streamConvert(Stream stream, StreamHeader* header, uint32_t) {
  auto* state = reinterpret_cast<StreamState*>(stream);
  if (state == nullptr) return kBadHandle;
  if (header == nullptr) return kInvalidParam;
  if (!header->prepared) return kUnprepared;
  header->srcLengthUsed = 0;
  header->dstLengthUsed = 0;
  MemoryReader reader{header->src, header->srcLength, 0};
  if (mpg123_open_handle(state->handle, &reader) != MPG123_OK) return kNotPossible;
  const size_t frameBytes = state->channels * 2u;
  const size_t capacity = header->dstLength / frameBytes * frameBytes;
  size_t used = 0;
  int result = MPG123_OK;
  while (used < capacity) {
    size_t got = 0;
    result = mpg123_read(state->handle, header->dst + used, capacity - used, &got);
    used += got;
    if (result == MPG123_NEW_FORMAT || (result == MPG123_OK && got > 0)) continue;
    break;  // done, an unrecoverable error, or nothing more to decode
  }
  mpg123_close(state->handle);
  header->srcLengthUsed = static_cast<uint32_t>(reader.pos);
  header->dstLengthUsed = static_cast<uint32_t>(used / frameBytes * frameBytes);
  header->done = true;
  // A stream that breaks off after some frames keeps what was decoded; one that yields nothing
  // has failed.
  return used > 0 || result == MPG123_DONE ? kOk : kNotPossible;
}

uint32_t Mpg123Acm::streamUnprepareHeader(Stream stream, StreamHeader* header, uint32_t) {
  if (stream == 0) return kBadHandle;
  if (header == nullptr) return kInvalidParam;
  if (!header->prepared) return kUnprepared;
  header->prepared = false;
  return kOk;
}

uint32_t Mpg123Acm::streamClose(Stream stream, uint32_t) {
  auto* state = reinterpret_cast<StreamState*>(stream);
  if (state == nullptr) return kBadHandle;
  mpg123_delete(state->handle);
  delete state;
  return kOk;
}

Acm& systemAcm() {
  static Mpg123Acm acm;
  return acm;
}

}  // namespace plat::acm
