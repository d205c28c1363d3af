#pragma once
// The one unit of audio in the host: two non-interleaved float arrays, left then right, one value
// per frame, nominal full scale +-1.0. Who owns the arrays is stated where each pair is made.
#include <cstdint>

struct ChannelBufferPair {
  float* left = nullptr;
  float* right = nullptr;
};

// The block callback. Input and output are the same pair when a device backend calls it (the
// callback processes in place). `frames` never exceeds the arrays' length. Runs on the audio
// thread: it must not allocate, lock or block. Result false: the backend writes nothing for this
// block (ASIO) or ends the stream (WASAPI).
using AudioCallback = bool (*)(ChannelBufferPair* input, ChannelBufferPair* output, uint32_t frames,
                               void* user);
