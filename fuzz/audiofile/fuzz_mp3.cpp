// The decoder's own parsing and the libmpg123 driver behind it, over memory input.
#include "FuzzReaders.h"
#include "audiofile/VLAudioFileDecoder.h"
#include "platform/acm/Mpg123Acm.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static plat::acm::Mpg123Acm acm;
  VLAudioFileDecoder reader(acm);
  const uint32_t frames = reader.openReadMemory(data, size);
  if (frames == 0) return 0;
  std::vector<float> left(frames), right(frames);
  reader.readAll({left.data(), right.data()});
  return 0;
}
