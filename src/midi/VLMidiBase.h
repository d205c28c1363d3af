#pragma once
// The MIDI device interface the engine, the Midi Settings dialog and the settings store work with.
#include <atomic>
#include <memory>
#include <vector>

#include "midi/MidiDeviceInfo.h"
#include "midi/MidiMessage.h"

class VLMidiBase {
 public:
  VLMidiBase() = default;
  VLMidiBase(const VLMidiBase&) = delete;
  VLMidiBase& operator=(const VLMidiBase&) = delete;
  virtual ~VLMidiBase() = default;

  // Opens `input` and/or `output` (only their `id` is read); `callback` receives the input's
  // messages with `context`. False when both are null or a device cannot be opened.
  // User-interface thread.
  virtual bool open(MidiDeviceInfo* input, MidiDeviceInfo* output, MidiInputCallback callback,
                    void* context) = 0;
  // Stops and closes every open input (each delivers its close notification) and the output.
  // User-interface thread.
  virtual void close() = 0;

  // All inputs in device-index order, then all outputs in device-index order, then the mapper.
  // Filled once at construction; the records stay put for the object's life (callers keep
  // pointers to them).
  std::vector<std::unique_ptr<MidiDeviceInfo>> devices;
  // The one record every input message is written into before the callback runs.
  MidiMessage message{};
  // Set by close, cleared by open; while set, nothing is sent. Atomic because sendShortMessage
  // reads it on whatever thread the plug-in sends its MIDI from.
  std::atomic<bool> closed{false};
};
