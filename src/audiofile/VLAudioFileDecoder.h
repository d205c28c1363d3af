#pragma once
// MPEG-1 and MPEG-2 Layer III files, decoded whole to 16-bit PCM through an installed codec of
// the compression manager (format tag 85) and turned into floats. The stream is described to
// the codec from its first frame header; ID3v2 tags in front and an ID3v1 tag at the end are
// dropped first. The reported format is stereo 16-bit at the stream's own rate, so the player
// steps through the file at its true speed.
//
// `openRead` decodes the file once to count its frames and keeps that decode for the first
// `readAll`, which then only converts; a later `readAll` decodes the file again. The decoder
// never writes.
#include <string>

#include "audiofile/VLAudioFileBase.h"
#include "platform/acm/Acm.h"

class VLAudioFileDecoder : public VLAudioFileBase {
 public:
  explicit VLAudioFileDecoder(plat::acm::Acm& acm = plat::acm::systemAcm());
  ~VLAudioFileDecoder() override;

  uint32_t openRead(const char* path) override;
  bool openWrite(const char*, uint32_t, int32_t) override { return false; }
  bool writeHeader(uint32_t, int32_t) override { return false; }
  bool readAll(const ChannelBufferPair& buffer) override;
  uint32_t openReadMemory(const void* data, size_t size) override;

  // Decodes the file at `path`; stores the frames into `buffer` when given, otherwise keeps the
  // PCM for the next `readAll`. The frame count, or 0.
  uint32_t decodeFile(const char* path, const ChannelBufferPair* buffer);
  // As `decodeFile`, over `size` bytes in memory.
  uint32_t decodeBytes(const uint8_t* data, size_t size, const ChannelBufferPair* buffer);

  // The driver-enumeration callback of the codec search; `instance` is the decoder.
  static bool findMp3Codec(plat::acm::DriverId id, void* instance, uint32_t support);

  uint8_t codecFound = 0;
  std::string path;

 private:
  void searchCodec();
  void dropPcm();
  // Converts `frames` frames of interleaved PCM with `pcmChannels` channels into `buffer`.
  static void convertPcm(const int16_t* pcm, uint32_t frames, uint32_t pcmChannels,
                         const ChannelBufferPair& buffer);

  plat::acm::Acm& acm_;
  uint32_t decodedFrames_ = 0;  // what `openRead` promised the caller's arrays hold
  int16_t* pcm_ = nullptr;      // the kept decode
  uint32_t pcmFrames_ = 0;
  uint32_t pcmChannels_ = 0;
};
