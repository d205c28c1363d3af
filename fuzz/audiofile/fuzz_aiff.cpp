#include "FuzzReaders.h"
#include "audiofile/VLAudioFileAIFF.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  VLAudioFileAIFF reader;
  fuzzRead(reader, data, size);
  return 0;
}
