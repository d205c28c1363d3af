#include "audiofile/VLAudioFileBase.h"

#include <cmath>
#include <cstring>
#include <initializer_list>

namespace {

constexpr uint32_t kBlockBytes = 1024;
// For three- and six-byte units: a multiple of 3 and of 6, so that no unit is split across two
// blocks. 1024 is a multiple of every other unit size.
constexpr uint32_t kBlockBytes24 = 972;

int16_t toInt16(float v) {
  if (v > 1.0f) return 32767;
  if (v < -1.0f) return -32767;
  if (std::isnan(v)) return 0;  // a NaN from the plug-in is silence, not an undefined conversion
  return static_cast<int16_t>(v * 32767.0f);
}

}  // namespace

VLAudioFileBase::~VLAudioFileBase() {
  VLAudioFileBase::close();
}

bool VLAudioFileBase::openStream(const char* path, bool forWriting) {
  if (path == nullptr) return false;
  if (file != nullptr) close();
  file = std::fopen(path, forWriting ? "wb" : "rb");
  writing = forWriting ? 1 : 0;
  return file != nullptr;
}

bool VLAudioFileBase::openMemoryStream(const void* data, size_t size) {
  if (file != nullptr) close();
  writing = 0;
  if (data == nullptr || size == 0) return false;
  file = fmemopen(const_cast<void*>(data), size, "rb");
  return file != nullptr;
}

bool VLAudioFileBase::seekTo(int64_t offset) {
  return file != nullptr && offset >= 0 && fseeko(file, static_cast<off_t>(offset), SEEK_SET) == 0;
}

bool VLAudioFileBase::readExact(void* out, size_t size) {
  return file != nullptr && std::fread(out, 1, size, file) == size;
}

bool VLAudioFileBase::writeExact(const void* data, size_t size) {
  if (file == nullptr) return false;
  if (std::fwrite(data, 1, size, file) == size) return true;
  close();
  return false;
}

int64_t VLAudioFileBase::streamLength() {
  if (file == nullptr) return -1;
  const off_t here = ftello(file);
  if (here < 0 || fseeko(file, 0, SEEK_END) != 0) return -1;
  const off_t end = ftello(file);
  if (fseeko(file, here, SEEK_SET) != 0) return -1;
  return end;
}

bool VLAudioFileBase::openWrite(const char* path, uint32_t frames, int32_t rate) {
  if (!openStream(path, true)) return false;
  return writeHeader(frames, rate);
}

void VLAudioFileBase::close() {
  closeStream();
}

bool VLAudioFileBase::closeStream() {
  if (file == nullptr) return false;
  bool ok = writing == 0 || std::fflush(file) == 0;
  ok = std::fclose(file) == 0 && ok;
  file = nullptr;
  bitsPerSample = 0;
  dataOffset = 0;
  frameCount = 0;
  return ok;
}

bool VLAudioFileBase::readAll(const ChannelBufferPair& buffer) {
  if (file == nullptr || buffer.left == nullptr || buffer.right == nullptr) return false;
  if (!seekTo(dataOffset)) return false;
  const audiofile::SampleLayout layout{sampleFormat, bigEndian != 0, unsigned8};
  const uint32_t unit = audiofile::unitBytes(sampleFormat);
  if (unit == 0) return false;
  // The block follows the unit, not the declared bit depth: a header may declare 20-bit samples
  // in three bytes or 24-bit ones in four-byte words, and a block that ended inside a unit would
  // shift every sample after it.
  const uint32_t blockBytes = unit % 3 == 0 ? kBlockBytes24 : kBlockBytes;
  // The caller's arrays hold `frameCount` frames; no header can make this write past them.
  const uint32_t limit = frameCount > 0 ? static_cast<uint32_t>(frameCount) : 0;
  uint8_t block[kBlockBytes];
  uint32_t remaining = dataBytes;
  uint32_t index = 0;
  auto convert = [&](uint32_t bytes) {
    uint32_t units = bytes / unit;
    if (units > limit - index) units = limit - index;
    audiofile::convertUnits(layout, block, units, buffer.left + index, buffer.right + index);
    index += units;
  };
  // Frames that the layout does not convert are written as silence, so every frame the caller
  // was promised is written and the caller need not clear its arrays first.
  auto silenceRest = [&] {
    if (index < limit) {
      std::memset(buffer.left + index, 0, (limit - index) * sizeof(float));
      std::memset(buffer.right + index, 0, (limit - index) * sizeof(float));
    }
    return true;
  };
  while (remaining >= blockBytes) {
    if (!readExact(block, blockBytes)) return false;
    convert(blockBytes);
    remaining -= blockBytes;
    if (remaining == 0) return silenceRest();
  }
  if (!readExact(block, remaining)) return false;
  convert(remaining);
  return silenceRest();
}

bool VLAudioFileBase::writeFrames16(const ChannelBufferPair& buffer, uint32_t frames, bool closeAfter) {
  if (file == nullptr || buffer.left == nullptr || buffer.right == nullptr) return false;
  constexpr uint32_t kFramesPerChunk = kBlockBytes / 4;
  uint8_t chunk[kBlockBytes];
  const bool be = bigEndian != 0;
  for (uint32_t done = 0; done < frames;) {
    const uint32_t n = frames - done < kFramesPerChunk ? frames - done : kFramesPerChunk;
    uint8_t* out = chunk;
    for (uint32_t i = 0; i < n; ++i) {
      for (const float* channel : {buffer.left, buffer.right}) {
        const auto v = static_cast<uint16_t>(toInt16(channel[done + i]));
        *out++ = static_cast<uint8_t>(be ? v >> 8 : v & 0xFF);
        *out++ = static_cast<uint8_t>(be ? v & 0xFF : v >> 8);
      }
    }
    if (!writeExact(chunk, n * 4u)) return false;
    // The stream buffers, so a full disk shows only here; a take that did not reach the file is
    // not reported as saved.
    if (std::fflush(file) != 0) {
      close();
      return false;
    }
    done += n;
  }
  // What is still buffered (with no frames, the whole header) reaches the file only here.
  if (closeAfter) return closeStream();
  return true;
}
