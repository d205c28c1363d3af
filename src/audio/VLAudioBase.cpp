#include "audio/VLAudioBase.h"

#include <cstdlib>
#include <cstring>

VLAudioBase::~VLAudioBase() {
  freeChannelBuffers();
}

bool VLAudioBase::allocateChannelBuffers(size_t frames) {
  freeChannelBuffers();
  // aligned_alloc wants a size that is a multiple of the alignment; never ask for zero bytes.
  size_t bytes = (frames * sizeof(float) + 15) & ~size_t(15);
  if (bytes == 0) bytes = 16;
  void* l = std::aligned_alloc(16, bytes);
  void* r = std::aligned_alloc(16, bytes);
  if (!l || !r) {
    std::free(l);
    std::free(r);
    return false;
  }
  std::memset(l, 0, bytes);
  std::memset(r, 0, bytes);
  channelBuffers.left = static_cast<float*>(l);
  channelBuffers.right = static_cast<float*>(r);
  return true;
}

void VLAudioBase::freeChannelBuffers() {
  std::free(channelBuffers.left);
  std::free(channelBuffers.right);
  channelBuffers.left = nullptr;
  channelBuffers.right = nullptr;
}
