#include "audiofile/VLAudioFileWAV.h"

#include <cstring>

namespace {

constexpr uint16_t kTagFloat = 3;
constexpr uint16_t kTagPcm = 1;

uint16_t le16(const uint8_t* p) {
  return static_cast<uint16_t>(p[0] | (p[1] << 8));
}
uint32_t le32(const uint8_t* p) {
  return static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8) |
         (static_cast<uint32_t>(p[2]) << 16) | (static_cast<uint32_t>(p[3]) << 24);
}
void put16(uint8_t* p, uint32_t v) {
  p[0] = static_cast<uint8_t>(v);
  p[1] = static_cast<uint8_t>(v >> 8);
}
void put32(uint8_t* p, uint32_t v) {
  put16(p, v);
  put16(p + 2, v >> 16);
}

struct Fmt {
  uint16_t tag = 0;
  uint16_t channels = 0;
  uint32_t rate = 0;
  uint16_t blockAlign = 0;
  uint16_t bits = 0;
};

}  // namespace

VLAudioFileWAV::VLAudioFileWAV() {
  fileKind = FileKind::WAV;
  bigEndian = 0;
  unsigned8 = true;
}

uint32_t VLAudioFileWAV::openRead(const char* path) {
  if (!openStream(path, false)) return 0;
  return readHeader();
}

uint32_t VLAudioFileWAV::openReadMemory(const void* data, size_t size) {
  if (!openMemoryStream(data, size)) return 0;
  return readHeader();
}

uint32_t VLAudioFileWAV::readHeader() {
  const int64_t length = streamLength();
  uint8_t riff[12];
  if (length < 12 || !seekTo(0) || !readExact(riff, sizeof riff)) {
    close();
    return 0;
  }
  // The RIFF and WAVE identifiers are not compared: any 12-byte prefix is accepted.
  Fmt fmt;
  bool haveFmt = false;
  int64_t position = 12;
  uint32_t size = 0;
  for (;;) {
    uint8_t header[8];
    if (position + 8 > length || !seekTo(position) || !readExact(header, sizeof header)) {
      close();
      return 0;
    }
    size = le32(header + 4);
    if (std::memcmp(header, "fmt ", 4) == 0) {
      uint8_t body[16];
      if (!readExact(body, sizeof body)) {
        close();
        return 0;
      }
      fmt = Fmt{le16(body), le16(body + 2), le32(body + 4), le16(body + 12), le16(body + 14)};
      haveFmt = true;
    } else if (std::memcmp(header, "data", 4) == 0) {
      break;
    }
    position += 8 + static_cast<int64_t>(size) + (size & 1);  // odd chunks carry a pad byte
  }
  // A data chunk before any fmt chunk has no format to read it with.
  if (!haveFmt) {
    close();
    return 0;
  }
  // Sizes are checked against the file before anything is allocated for them.
  if (position + 8 > INT32_MAX || position + 8 + static_cast<int64_t>(size) > length ||
      fmt.rate > INT32_MAX) {
    close();
    return 0;
  }
  dataOffset = static_cast<int32_t>(position + 8);
  dataBytes = size;
  channels = fmt.channels;
  if (channels > 2) {
    close();
    return 0;
  }
  sampleRate = static_cast<int32_t>(fmt.rate);
  bitsPerSample = fmt.bits;
  switch (fmt.blockAlign) {
    case 1:
      sampleFormat = SampleFormat::Mono8;
      break;
    case 2:
      sampleFormat = channels == 1 ? SampleFormat::Mono16 : SampleFormat::Stereo8;
      break;
    case 3:
      sampleFormat = SampleFormat::Mono24;
      break;
    case 4:
      if (channels == 1) {
        sampleFormat = fmt.tag == kTagFloat ? SampleFormat::MonoFloat32 : SampleFormat::Mono32;
      } else {
        sampleFormat = SampleFormat::Stereo16;
      }
      break;
    case 6:
      sampleFormat = SampleFormat::Stereo24;
      break;
    case 8:
      // One channel of eight bytes is a double-precision (or 64-bit integer) sample, not a
      // stereo frame: read as stereo float32 a mono float64 file would play as noise.
      if (channels == 1) {
        sampleFormat = fmt.tag == kTagFloat ? uint32_t{SampleFormat::MonoFloat64}
                       : fmt.tag == kTagPcm ? uint32_t{SampleFormat::Mono64}
                                            : 0u;
        break;
      }
      sampleFormat = fmt.tag == kTagPcm     ? uint32_t{SampleFormat::Stereo32}
                     : fmt.tag == kTagFloat ? SampleFormat::StereoFloat32
                                            : 0u;
      break;
    case 16:
      sampleFormat = fmt.tag == kTagPcm     ? uint32_t{SampleFormat::Stereo64}
                     : fmt.tag == kTagFloat ? SampleFormat::StereoFloat64
                                            : 0u;
      break;
    default:
      close();
      return 0;
  }
  // The frame count is a signed 32-bit field; one-byte frames of a data chunk beyond 2 GB would
  // wrap it negative while the count handed back stayed large, and no frame would be read.
  if (dataBytes / fmt.blockAlign > INT32_MAX) {
    close();
    return 0;
  }
  frameCount = static_cast<int32_t>(dataBytes / fmt.blockAlign);
  return sampleFormat != 0 ? static_cast<uint32_t>(frameCount) : 0;
}

bool VLAudioFileWAV::writeHeader(uint32_t frames, int32_t rate) {
  sampleRate = rate;
  // The RIFF size must fit its 32-bit field.
  if (frames > (0xFFFFFFFFu - 36u) / 4u) {
    close();
    return false;
  }
  if (!seekTo(0)) {
    close();
    return false;
  }
  const uint32_t data = 4u * frames;
  uint8_t riff[12], chunk[8], fmt[16], size[4];
  std::memcpy(riff, "RIFF", 4);
  put32(riff + 4, 36u + data);
  std::memcpy(riff + 8, "WAVE", 4);
  std::memcpy(chunk, "fmt ", 4);
  put32(chunk + 4, 16);
  put16(fmt, kTagPcm);
  put16(fmt + 2, 2);
  put32(fmt + 4, static_cast<uint32_t>(rate));
  put32(fmt + 8, 4u * static_cast<uint32_t>(rate));
  put16(fmt + 12, 4);
  put16(fmt + 14, 16);
  put32(size, data);
  return writeExact(riff, sizeof riff) && writeExact(chunk, sizeof chunk) && writeExact(fmt, sizeof fmt) &&
         writeExact("data", 4) && writeExact(size, sizeof size);
}
