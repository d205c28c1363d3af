#include "audiofile/VLAudioFileDecoder.h"

#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>
#include <vector>

namespace acm = plat::acm;

namespace {

// kbit/s by bitrate index, and Hz by sampling-rate index, for MPEG-1 (row 0) and MPEG-2 (row 1).
constexpr uint32_t kBitrates[2][16] = {
    {0, 32, 40, 48, 56, 64, 80, 96, 112, 128, 160, 192, 224, 256, 320, 0},
    {0, 8, 16, 24, 32, 40, 48, 56, 64, 80, 96, 112, 128, 144, 160, 0},
};
constexpr uint32_t kRates[2][3] = {{44100, 48000, 32000}, {22050, 24000, 16000}};

constexpr size_t kId3v1Bytes = 128;

struct FrameHeader {
  uint32_t bitrate = 0;  // kbit/s
  uint32_t rate = 0;     // Hz
  uint32_t padding = 0;
  uint16_t channels = 0;
};

// The first frame header, or false when the data does not start with an MPEG-1 or MPEG-2
// Layer III header of a known bit rate and sampling rate.
bool parseFrameHeader(const uint8_t* h, size_t size, FrameHeader& out) {
  if (size < 4 || h[0] != 0xFF || h[1] < 0xE0) return false;
  const uint32_t version = (h[1] >> 3) & 3;
  if (version != 3 && version != 2) return false;  // MPEG-2.5 and the reserved value are refused
  if (((h[1] >> 1) & 3) != 1) return false;        // Layer III
  const uint32_t bitrateIndex = h[2] >> 4;
  const uint32_t rateIndex = (h[2] >> 2) & 3;
  // Free format (0), the invalid index 15 and the reserved rate index 3 give no usable values.
  if (bitrateIndex == 0 || bitrateIndex == 15 || rateIndex == 3) return false;
  const int row = version == 3 ? 0 : 1;
  out.bitrate = kBitrates[row][bitrateIndex];
  out.rate = kRates[row][rateIndex];
  out.padding = (h[2] >> 1) & 1;
  out.channels = h[3] >= 0xC0 ? 1 : 2;
  return true;
}

struct MallocFree {
  void operator()(void* p) const { std::free(p); }
};

}  // namespace

VLAudioFileDecoder::VLAudioFileDecoder(acm::Acm& acmLayer) : acm_(acmLayer) {
  sampleRate = 44100;
  channels = 2;
  sampleFormat = SampleFormat::Stereo16;
  bitsPerSample = 16;
}

VLAudioFileDecoder::~VLAudioFileDecoder() {
  dropPcm();
}

void VLAudioFileDecoder::dropPcm() {
  std::free(pcm_);
  pcm_ = nullptr;
  pcmFrames_ = 0;
  pcmChannels_ = 0;
}

bool VLAudioFileDecoder::findMp3Codec(acm::DriverId id, void* instance, uint32_t support) {
  auto* self = static_cast<VLAudioFileDecoder*>(instance);
  if (self == nullptr || (support & acm::kSupportCodec) == 0) return true;
  acm::DriverDetails details;
  if (self->acm_.driverDetails(id, &details, 0) != acm::kOk) return true;
  acm::Driver driver = 0;
  if (self->acm_.driverOpen(&driver, id, 0) != acm::kOk) return true;
  for (uint32_t i = 0; i < details.formatTags; ++i) {
    acm::FormatTagDetails tag;
    tag.formatTagIndex = i;
    if (self->acm_.formatTagDetails(driver, &tag, acm::kFormatTagDetailsIndex) == acm::kOk &&
        tag.formatTag == acm::kTagMpegLayer3) {
      self->codecFound = 1;
      self->acm_.driverClose(driver, 0);
      return false;
    }
  }
  self->acm_.driverClose(driver, 0);
  return true;
}

void VLAudioFileDecoder::searchCodec() {
  acm_.driverEnum(&VLAudioFileDecoder::findMp3Codec, this, 0);
}

uint32_t VLAudioFileDecoder::openRead(const char* filePath) {
  dropPcm();
  decodedFrames_ = 0;
  searchCodec();
  if (codecFound == 0 || filePath == nullptr) return 0;
  try {
    path = filePath;
  } catch (...) {
    return 0;
  }
  if (path.empty()) return 0;
  decodedFrames_ = decodeFile(path.c_str(), nullptr);
  return decodedFrames_;
}

uint32_t VLAudioFileDecoder::openReadMemory(const void* data, size_t size) {
  dropPcm();
  decodedFrames_ = 0;
  searchCodec();
  if (codecFound == 0 || data == nullptr) return 0;
  decodedFrames_ = decodeBytes(static_cast<const uint8_t*>(data), size, nullptr);
  return decodedFrames_;
}

bool VLAudioFileDecoder::readAll(const ChannelBufferPair& buffer) {
  if (buffer.left == nullptr || buffer.right == nullptr) return false;
  if (pcm_ != nullptr) {
    convertPcm(pcm_, pcmFrames_, pcmChannels_, buffer);
    dropPcm();
    return true;
  }
  if (codecFound == 0 || path.empty()) return false;
  return decodeFile(path.c_str(), &buffer) != 0;
}

uint32_t VLAudioFileDecoder::decodeFile(const char* filePath, const ChannelBufferPair* buffer) {
  if (filePath == nullptr) return 0;
  FILE* f = std::fopen(filePath, "rb");
  if (f == nullptr) return 0;
  std::vector<uint8_t> bytes;
  bool ok = fseeko(f, 0, SEEK_END) == 0;
  const off_t size = ok ? ftello(f) : -1;
  // The codec takes 32-bit lengths.
  ok = ok && size >= 0 && size <= static_cast<off_t>(UINT32_MAX) && fseeko(f, 0, SEEK_SET) == 0;
  if (ok) {
    try {
      bytes.resize(static_cast<size_t>(size));
    } catch (...) {
      ok = false;
    }
  }
  ok = ok && std::fread(bytes.data(), 1, bytes.size(), f) == bytes.size();
  std::fclose(f);
  if (!ok) return 0;
  return decodeBytes(bytes.data(), bytes.size(), buffer);
}

uint32_t VLAudioFileDecoder::decodeBytes(const uint8_t* data, size_t size, const ChannelBufferPair* buffer) {
  // Shorter than a trailing tag: the tag test would read before the data.
  if (data == nullptr || size < kId3v1Bytes || size > UINT32_MAX) return 0;
  const uint8_t* begin = data;
  size_t n = size;
  if (std::memcmp(begin, "ID3", 3) == 0) {
    const size_t s = (static_cast<size_t>(begin[6]) << 21) + (static_cast<size_t>(begin[7]) << 14) +
                     (static_cast<size_t>(begin[8]) << 7) + begin[9];
    if (s + 10 > n) return 0;  // a tag larger than the file
    begin += s + 10;
    n -= s + 10;
  } else if (std::memcmp(begin + n - kId3v1Bytes, "TAG", 3) == 0) {
    n -= kId3v1Bytes;
  }
  FrameHeader h;
  if (!parseFrameHeader(begin, n, h)) return 0;

  acm::MpegLayer3Format source;
  source.wfx.formatTag = acm::kTagMpegLayer3;
  source.wfx.channels = h.channels;
  source.wfx.samplesPerSec = h.rate;
  source.wfx.avgBytesPerSec = h.bitrate * 128;
  source.wfx.blockAlign = 1;
  source.wfx.bitsPerSample = 0;
  source.wfx.extraSize = 12;
  source.id = acm::kMpegLayer3IdMpeg;
  source.flags = h.padding != 0 ? acm::kMpegLayer3FlagPaddingOn : acm::kMpegLayer3FlagPaddingOff;
  source.blockSize = static_cast<uint16_t>(h.bitrate * 1152000u / h.rate / 8u + h.padding);
  source.framesPerBlock = 1;
  source.codecDelay = 1393;

  acm::WaveFormat destination;
  destination.formatTag = acm::kTagPcm;
  if (acm_.formatSuggest(0, &source.wfx, &destination, sizeof destination, acm::kFormatSuggestFormatTag) !=
      acm::kOk)
    return 0;
  // The PCM is read as 16-bit samples of the destination's channel count; a codec that suggests
  // anything else cannot be read safely.
  if (destination.formatTag != acm::kTagPcm || destination.bitsPerSample != 16 ||
      (destination.channels != 1 && destination.channels != 2) || destination.samplesPerSec == 0 ||
      destination.samplesPerSec > INT32_MAX)
    return 0;
  acm::Stream stream = 0;
  if (acm_.streamOpen(&stream, 0, &source.wfx, &destination, nullptr, 0, 0, acm::kStreamOpenNonRealtime) !=
      acm::kOk)
    return 0;
  uint32_t pcmBytes = 0;
  if (acm_.streamSize(stream, static_cast<uint32_t>(n), &pcmBytes, acm::kStreamSizeSource) != acm::kOk) {
    acm_.streamClose(stream, 0);
    return 0;
  }
  // Untouched pages of a generous size bound cost no memory, so the block is left uninitialised.
  std::unique_ptr<uint8_t, MallocFree> pcm(static_cast<uint8_t*>(std::malloc(pcmBytes < 4 ? 4 : pcmBytes)));
  if (!pcm) {
    acm_.streamClose(stream, 0);
    return 0;
  }
  std::memset(pcm.get(), 0, 4);
  acm::StreamHeader header;
  header.src = begin;
  header.srcLength = static_cast<uint32_t>(n);
  header.dst = pcm.get();
  header.dstLength = pcmBytes;
  if (acm_.streamPrepareHeader(stream, &header, 0) != acm::kOk) {
    acm_.streamClose(stream, 0);
    return 0;
  }
  const bool converted = acm_.streamConvert(stream, &header, acm::kStreamConvertBlockAlign) == acm::kOk;
  acm_.streamUnprepareHeader(stream, &header, 0);
  acm_.streamClose(stream, 0);

  const uint32_t frameBytes = destination.channels * 2u;
  const uint32_t used = header.dstLengthUsed <= pcmBytes ? header.dstLengthUsed : pcmBytes;
  uint32_t frames = used / frameBytes;
  if (!converted || frames == 0) return 0;
  sampleRate = static_cast<int32_t>(destination.samplesPerSec);
  const auto* samples = reinterpret_cast<const int16_t*>(pcm.get());
  if (buffer != nullptr) {
    // A second decode never yields more frames than the caller's arrays were sized for.
    if (decodedFrames_ != 0 && frames > decodedFrames_) frames = decodedFrames_;
    convertPcm(samples, frames, destination.channels, *buffer);
    // ... and a shorter one leaves silence, not stale memory, in the frames it did not reach.
    if (frames < decodedFrames_) {
      std::memset(buffer->left + frames, 0, (decodedFrames_ - frames) * sizeof(float));
      std::memset(buffer->right + frames, 0, (decodedFrames_ - frames) * sizeof(float));
    }
    return frames;
  }
  dropPcm();
  // Give back the unused part of the bound.
  void* kept = std::realloc(pcm.get(), static_cast<size_t>(frames) * frameBytes);
  if (kept != nullptr) pcm.release();
  pcm_ = static_cast<int16_t*>(kept != nullptr ? kept : pcm.release());
  pcmFrames_ = frames;
  pcmChannels_ = destination.channels;
  return frames;
}

void VLAudioFileDecoder::convertPcm(const int16_t* pcm, uint32_t frames, uint32_t pcmChannels,
                                    const ChannelBufferPair& buffer) {
  if (buffer.left == nullptr || buffer.right == nullptr) return;
  // int16 x 2^-15 is exact in single precision, so this equals the double-precision product.
  constexpr float kScale = 1.0f / 32768.0f;
  float* left = buffer.left;
  float* right = buffer.right;
  if (pcmChannels == 2) {
    for (uint32_t i = 0; i < frames; ++i) {
      left[i] = static_cast<float>(pcm[2 * i]) * kScale;
      right[i] = static_cast<float>(pcm[2 * i + 1]) * kScale;
    }
  } else {
    for (uint32_t i = 0; i < frames; ++i) left[i] = right[i] = static_cast<float>(pcm[i]) * kScale;
  }
}
