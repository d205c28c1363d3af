#pragma once
// The device backend interface. Each backend enumerates its devices once, when constructed, into
// `devices`; the records live as long as the backend.
//
// Block callback contract, for every backend:
//  1. The callback runs once per block on the backend's audio thread; calls never overlap.
//  2. Input pair and output pair are the same `channelBuffers`: the callback works in place.
//  3. Before the call the backend has converted the input record's `leftChannel` into `left` and
//     `rightChannel` into `right`. Without an input record it writes nothing, and the pair holds
//     what the previous block left in it.
//  4. The frame count is at most the arrays' length (ASIO: the same count on every call; WASAPI:
//     may change from call to call).
//  5. True: the backend converts `left`/`right` into the output record's selected channels and
//     silences every other output channel. False: ASIO writes nothing for this block; WASAPI ends
//     the stream after it.
//  6. After the call the arrays are the backend's scratch space again.
#include <atomic>
#include <cstddef>
#include <memory>
#include <vector>

#include "audio/AudioDeviceInfo.h"
#include "audio/ChannelBufferPair.h"

class VLAudioBase {
 public:
  VLAudioBase() = default;
  VLAudioBase(const VLAudioBase&) = delete;
  VLAudioBase& operator=(const VLAudioBase&) = delete;

  // Deletes every record and frees both channel buffers.
  virtual ~VLAudioBase();
  // Starts streaming between `input` (may be null: output only) and `output` (not null).
  // VLASIO returns at once and the driver's thread calls back until `stop`; VLWASAPI runs the
  // stream on the calling thread and returns when it ends.
  virtual bool start(AudioDeviceInfo* input, AudioDeviceInfo* output, AudioCallback callback, void* user) = 0;
  // Stops streaming (ASIO) and frees the channel buffers.
  virtual void stop() = 0;
  // Makes an input and an output record agree on sample rate and bit depth.
  virtual bool matchFormats(AudioDeviceInfo* input, AudioDeviceInfo* output) = 0;
  // Reads a device's format, channel names and buffer size into its record. A null record is
  // false; a record with `infoValid` set is true without any device access.
  virtual bool open(AudioDeviceInfo* record, bool probeOnly) = 0;

  // Owned records, in creation order; their addresses are stable for the backend's lifetime.
  std::vector<std::unique_ptr<AudioDeviceInfo>> devices;
  // The current stream's buffers; both null while none exist.
  ChannelBufferPair channelBuffers;
  // Set by VLASIO while its stream runs; read by the driver's thread on every block.
  std::atomic<bool> streaming{false};

 protected:
  // Allocates both arrays, `frames` floats each, 16-byte aligned and zero-filled, freeing any
  // previous ones. False (and both null) when memory is short.
  bool allocateChannelBuffers(size_t frames);
  void freeChannelBuffers();
};
