#include "FuzzReaders.h"
#include "audiofile/VLAudioFileWAV.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  VLAudioFileWAV reader;
  fuzzRead(reader, data, size);
  return 0;
}
