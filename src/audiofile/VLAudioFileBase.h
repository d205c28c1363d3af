#pragma once
// The sound-file reader and writer shared by the player and the recorder. A file is read whole
// into two caller-owned float arrays (`readAll`), or written as 16-bit stereo frames
// (`writeFrames16`) after a header with final sizes. The uncompressed formats share the stream,
// the block reader and the writer here; the decoder replaces `readAll`.
//
// Contracts: all calls come from the user-interface thread. The object owns its stream and
// closes it in its destructor. The reader and the writer never allocate or free the sample
// arrays; for `readAll` the caller provides two arrays of at least the frame count that
// `openRead` returned, and a successful `readAll` has written every one of those frames (frames
// the layout does not convert are silence). Every size in a header is checked against the file before it is
// used, so a damaged file fails to open instead of asking for arrays it cannot fill.
#include <cstddef>
#include <cstdint>
#include <cstdio>

#include "audio/ChannelBufferPair.h"
#include "audiofile/SampleFormat.h"

class VLAudioFileBase {
 public:
  VLAudioFileBase() = default;
  virtual ~VLAudioFileBase();
  VLAudioFileBase(const VLAudioFileBase&) = delete;
  VLAudioFileBase& operator=(const VLAudioFileBase&) = delete;

  // The frame count, or 0 on failure. On success the stream stays open for `readAll`.
  virtual uint32_t openRead(const char* path) = 0;
  // Creates `path` and writes the header for `frames` 16-bit stereo frames.
  virtual bool openWrite(const char* path, uint32_t frames, int32_t sampleRate);
  virtual bool writeHeader(uint32_t frames, int32_t sampleRate) = 0;
  // Converts every frame of the sample data into `buffer` from index 0.
  virtual bool readAll(const ChannelBufferPair& buffer);
  virtual void close();
  // As `openRead`, over `size` bytes in memory, which must stay valid while the stream is open.
  virtual uint32_t openReadMemory(const void* data, size_t size) = 0;

  // Writes `frames` frames as interleaved 16-bit samples at the stream position, clamped to
  // +-32767; closes the stream afterwards when `closeAfter` is set, and on any failure. With
  // `closeAfter`, true means that the header and every frame reached the file.
  bool writeFrames16(const ChannelBufferPair& buffer, uint32_t frames, bool closeAfter);

  FILE* file = nullptr;
  int32_t dataOffset = 0;
  int32_t frameCount = 0;
  uint32_t dataBytes = 0;
  int32_t sampleRate = 0;
  int32_t channels = 0;
  uint32_t sampleFormat = 0;
  int32_t bitsPerSample = 0;
  int32_t fileKind = 0;
  int32_t bigEndian = 0;
  uint8_t writing = 0;

 protected:
  // Opens the stream with mode "rb" or "wb" and records `writing`.
  bool openStream(const char* path, bool forWriting);
  bool openMemoryStream(const void* data, size_t size);
  bool seekTo(int64_t offset);
  // Reads exactly `size` bytes; false on a short read.
  bool readExact(void* out, size_t size);
  // Writes exactly `size` bytes; on a short write flushes when writing, closes and returns false.
  bool writeExact(const void* data, size_t size);
  // As `close`; false when the stream was not open or its buffered bytes did not reach the file.
  bool closeStream();
  // Byte size of the open stream, or -1.
  int64_t streamLength();

  // RIFF stores 8-bit samples unsigned, offset by 128.
  bool unsigned8 = false;
};
