#pragma once
// RIFF WAVE files: reads PCM and IEEE-float data of one or two channels, chosen by the fmt
// chunk's block alignment; writes 16-bit PCM stereo with a 44-byte header.
#include "audiofile/VLAudioFileBase.h"

class VLAudioFileWAV : public VLAudioFileBase {
 public:
  VLAudioFileWAV();
  uint32_t openRead(const char* path) override;
  bool writeHeader(uint32_t frames, int32_t sampleRate) override;
  uint32_t openReadMemory(const void* data, size_t size) override;

 private:
  // Walks the chunks of the open stream and fills the format fields.
  uint32_t readHeader();
};
