#include "audiofile/VLAudioFileAIFF.h"

#include <cstring>

namespace {

uint16_t be16(const uint8_t* p) {
  return static_cast<uint16_t>((p[0] << 8) | p[1]);
}
uint32_t be32(const uint8_t* p) {
  return (static_cast<uint32_t>(p[0]) << 24) | (static_cast<uint32_t>(p[1]) << 16) |
         (static_cast<uint32_t>(p[2]) << 8) | static_cast<uint32_t>(p[3]);
}

}  // namespace

VLAudioFileAIFF::VLAudioFileAIFF() {
  fileKind = FileKind::AIFF;
  bigEndian = 1;
}

uint32_t VLAudioFileAIFF::openRead(const char* path) {
  if (!openStream(path, false)) return 0;
  return readHeader();
}

uint32_t VLAudioFileAIFF::openReadMemory(const void* data, size_t size) {
  if (!openMemoryStream(data, size)) return 0;
  return readHeader();
}

int32_t VLAudioFileAIFF::decodeExtended80(const uint8_t in[10]) {
  if (in[0] != 0x40 || in[1] > 28) return 0;
  const uint32_t m = (static_cast<uint32_t>(in[2]) << 23) | (static_cast<uint32_t>(in[3]) << 15) |
                     (static_cast<uint32_t>(in[4]) << 7) | (in[5] >> 1);
  return static_cast<int32_t>(m >> (29 - in[1]));
}

void VLAudioFileAIFF::encodeExtended80(uint32_t rate, uint8_t out[10]) {
  if (rate <= 1) {
    out[0] = 0x3F;
    out[1] = 0xFF;
    out[2] = 0x80;
    return;
  }
  if (rate >= (1u << 30)) {
    out[0] = 0x40;
    out[1] = 0x1D;
    return;
  }
  int p = 31;
  while ((rate & (1u << p)) == 0) --p;
  const uint32_t m = rate << (31 - p);
  out[0] = 0x40;
  out[1] = static_cast<uint8_t>(p - 1);
  out[2] = static_cast<uint8_t>(m >> 24);
  out[3] = static_cast<uint8_t>(m >> 16);
  out[4] = static_cast<uint8_t>(m >> 8);
  out[5] = static_cast<uint8_t>(m);
}

uint32_t VLAudioFileAIFF::readHeader() {
  float32 = false;
  float64 = false;
  bigEndian = 1;
  const int64_t length = streamLength();
  uint8_t form[12];
  if (length < 12 || !seekTo(0) || !readExact(form, sizeof form)) {
    close();
    return 0;
  }
  // Only the form type is examined, and only to allow a compression type.
  const bool aifc = std::memcmp(form + 8, "AIFC", 4) == 0;
  int64_t position = 12;
  for (;;) {
    uint8_t header[8];
    if (position + 8 > length || !seekTo(position) || !readExact(header, sizeof header)) {
      close();
      return 0;
    }
    const uint32_t size = be32(header + 4);
    if (std::memcmp(header, "COMM", 4) == 0) {
      uint8_t comm[18];
      if (!readExact(comm, sizeof comm)) {
        close();
        return 0;
      }
      channels = static_cast<int16_t>(be16(comm));
      frameCount = static_cast<int32_t>(be32(comm + 2));
      bitsPerSample = static_cast<int16_t>(be16(comm + 6));
      sampleRate = decodeExtended80(comm + 8);
      if (aifc && size >= 19) {
        uint8_t type[4];
        if (!readExact(type, sizeof type)) {
          close();
          return 0;
        }
        if (std::memcmp(type, "sowt", 4) == 0) {
          bigEndian = 0;
        } else if (std::memcmp(type, "fl32", 4) == 0) {
          float32 = true;
        } else if (std::memcmp(type, "fl64", 4) == 0) {
          float64 = true;
        } else if (std::memcmp(type, "NONE", 4) != 0) {
          close();
          return 0;
        }
      }
    } else if (std::memcmp(header, "SSND", 4) == 0) {
      uint8_t offset[4];
      if (!readExact(offset, sizeof offset)) {
        close();
        return 0;
      }
      // Past the offset field, the block-size field and `offset` leading bytes.
      const int64_t start = position + 8 + 4 + 4 + be32(offset);
      return finishAtSound(start, length);
    }
    position += 8 + static_cast<int64_t>(size) + (size & 1);  // odd chunks carry a pad byte
  }
}

uint32_t VLAudioFileAIFF::finishAtSound(int64_t start, int64_t length) {
  const bool mono = channels == 1;
  uint32_t bytesPerSample = 0;
  switch (bitsPerSample) {
    case 8:
      sampleFormat = mono ? SampleFormat::Mono8 : SampleFormat::Stereo8;
      bytesPerSample = 1;
      break;
    case 16:
      sampleFormat = mono ? SampleFormat::Mono16 : SampleFormat::Stereo16;
      bytesPerSample = 2;
      break;
    case 24:
      sampleFormat = mono ? SampleFormat::Mono24 : SampleFormat::Stereo24;
      bytesPerSample = 3;
      break;
    case 32:
      sampleFormat = float32 ? (mono ? SampleFormat::MonoFloat32 : SampleFormat::StereoFloat32)
                             : (mono ? SampleFormat::Mono32 : SampleFormat::Stereo32);
      bytesPerSample = 4;
      break;
    case 64:
      sampleFormat = float64 ? (mono ? SampleFormat::MonoFloat64 : SampleFormat::StereoFloat64)
                             : (mono ? SampleFormat::Mono64 : SampleFormat::Stereo64);
      bytesPerSample = 8;
      break;
    default:  // also an SSND chunk met before any COMM chunk
      close();
      return 0;
  }
  float32 = false;
  float64 = false;
  // Only one or two channels fit the player's two arrays; other counts (0 included) would make
  // the data and the frame count disagree.
  if (channels != 1 && channels != 2) {
    close();
    return 0;
  }
  if (frameCount == 0) return 0;
  const int64_t bytes = static_cast<int64_t>(channels) * static_cast<uint32_t>(frameCount) * bytesPerSample;
  if (frameCount < 0 || start > INT32_MAX || bytes > UINT32_MAX || start + bytes > length) {
    close();
    return 0;
  }
  dataOffset = static_cast<int32_t>(start);
  dataBytes = static_cast<uint32_t>(bytes);
  return static_cast<uint32_t>(frameCount);
}

bool VLAudioFileAIFF::writeHeader(uint32_t frames, int32_t rate) {
  if (frames > (0xFFFFFFFFu - 46u) / 4u || !seekTo(0)) {
    close();
    return false;
  }
  const bool be = bigEndian != 0;
  auto put16 = [&](uint32_t v) {
    const uint8_t b[2] = {static_cast<uint8_t>(be ? v >> 8 : v), static_cast<uint8_t>(be ? v : v >> 8)};
    return writeExact(b, 2);
  };
  auto put32 = [&](uint32_t v) {
    uint8_t b[4];
    for (int i = 0; i < 4; ++i) b[i] = static_cast<uint8_t>(v >> (be ? 24 - 8 * i : 8 * i));
    return writeExact(b, 4);
  };
  uint8_t extended[10] = {};
  encodeExtended80(static_cast<uint32_t>(rate), extended);
  return writeExact("FORM", 4) && put32(46u + 4u * frames) && writeExact("AIFF", 4) &&
         writeExact("COMM", 4) && put32(18) && put16(2) && put32(frames) && put16(16) &&
         writeExact(extended, 10) && writeExact("SSND", 4) && put32(8u + 4u * frames) && put32(0) && put32(0);
}
