#pragma once
// The MIDI device interface on the multimedia MIDI functions. One object per program run; it takes
// its snapshot of the devices when it is built.
//
// Threads: construction, open, close and destruction on the user-interface thread. Input
// messages of all open inputs arrive one at a time on the multimedia layer's delivery thread, so
// the one shared message record holds. sendShortMessage may be called on any thread, the audio
// thread included, also while close runs: close waits for a send in progress before it closes the
// output, so a send never reaches a closed handle.
#include <atomic>
#include <cstdint>
#include <vector>

#include "midi/VLMidiBase.h"
#include "platform/clock/Clock.h"
#include "platform/mme/Mme.h"

class VLMMMidi final : public VLMidiBase {
 public:
  // Enumerates the devices of `mme`; `clock` gives the counter deltaMs is measured with. Both
  // must outlive this object.
  VLMMMidi(plat::mme::Mme& mme, plat::clock::Clock& clock);
  ~VLMMMidi() override;

  // The callback sees every message of `input` and, last, its close notification. When open
  // returns false because the input failed, the callback is never called for it and `context`
  // stays the caller's to free. An output already open is closed first.
  bool open(MidiDeviceInfo* input, MidiDeviceInfo* output, MidiInputCallback callback,
            void* context) override;
  void close() override;

  // Sends status, data1 and data2 to the open output; nothing when closed or without an output.
  // Audio thread: allocates nothing and locks nothing here.
  void sendShortMessage(const MidiMessage& message) noexcept;

 private:
  struct InputContext {
    MidiInputCallback callback;
    void* context;
    VLMMMidi* owner;
  };

  void enumerate();
  void retireOutput();
  static void inputProc(plat::mme::HMIDIIN handle, uint32_t msg, uintptr_t instance, uintptr_t param1,
                        uintptr_t param2) noexcept;

  plat::mme::Mme& mme_;
  plat::clock::Clock& clock_;
  std::vector<plat::mme::HMIDIIN> inputs_;  // in the order they were opened
  std::atomic<plat::mme::HMIDIOUT> output_{nullptr};
  std::atomic<int> sending_{0};  // sendShortMessage calls in progress
  // Delivery thread only. A separate flag marks "no message yet": a counter reading of 0 is a
  // valid time (a clock that starts at zero), not a sentinel.
  int64_t lastCounter_ = 0;
  bool haveLastCounter_ = false;
  int64_t frequency_ = 1;
};
