#pragma once
// The multimedia MIDI functions the host uses, over a list of backings behind one device numbering:
// the inputs of every backing in the order the backings were given, then the same for outputs.
// The numbering is fixed by the last midiInGetNumDevs / midiOutGetNumDevs call (taken at the first
// query when neither was called), as device indices stay fixed between enumeration and open.
//
// Notifications: one delivery thread of this object calls every input callback, for all inputs of
// all backings, one notification at a time. Backings only queue messages (the JACK process
// callback into a lock-free ring); MIM_OPEN, MIM_DATA and MIM_CLOSE all come from the delivery
// thread. midiInStop and midiInReset return after every message received before them has been
// delivered, and no MIM_DATA follows them; midiInClose returns after its MIM_CLOSE was delivered,
// which comes exactly once per opened input. Callbacks must not call into this object.
//
// Enumeration, open, start, stop, reset and close run on the user-interface thread;
// midiOutShortMsg may be called from any thread, the audio thread included, on a handle that is
// open for the whole call.
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "platform/clock/Clock.h"
#include "platform/mme/InputSink.h"
#include "platform/mme/MidiBacking.h"
#include "platform/mme/MmeTypes.h"
#include "platform/thread/Thread.h"

namespace plat::mme {

class Mme {
 public:
  // The backings are not owned and must outlive this object. `clock` gives the time stamps.
  explicit Mme(std::vector<MidiBacking*> backings, clock::Clock& clock = clock::systemClock());
  // Closes what is still open (each input delivers its MIM_CLOSE) and ends the delivery thread.
  ~Mme();
  Mme(const Mme&) = delete;
  Mme& operator=(const Mme&) = delete;

  // The product name of the mapper entry.
  static constexpr const char* kMapperName = "MIDI Mapper";

  uint32_t midiInGetNumDevs();
  MMRESULT midiInGetDevCapsA(uintptr_t deviceId, MIDIINCAPSA* caps, uint32_t size);
  // `flags` CALLBACK_FUNCTION with a callback, or CALLBACK_NULL.
  MMRESULT midiInOpen(HMIDIIN* handle, uint32_t deviceId, MidiInProc callback, uintptr_t instance,
                      uint32_t flags);
  MMRESULT midiInStart(HMIDIIN handle);
  MMRESULT midiInStop(HMIDIIN handle);
  MMRESULT midiInReset(HMIDIIN handle);
  MMRESULT midiInClose(HMIDIIN handle);

  uint32_t midiOutGetNumDevs();
  // Also answers MIDI_MAPPER, when one of the backings offers the mapper.
  MMRESULT midiOutGetDevCapsA(uintptr_t deviceId, MIDIOUTCAPSA* caps, uint32_t size);
  // Only CALLBACK_NULL outputs are offered. MIDI_MAPPER opens the mapper.
  MMRESULT midiOutOpen(HMIDIOUT* handle, uint32_t deviceId, uintptr_t callback, uintptr_t instance,
                       uint32_t flags);
  // Any thread; neither allocates nor locks here (the backing's send decides the rest).
  MMRESULT midiOutShortMsg(HMIDIOUT handle, uint32_t message) noexcept;
  MMRESULT midiOutClose(HMIDIOUT handle);

  // Waits until every message queued so far has been delivered (tests use it to step).
  void flush();

 private:
  struct Device {
    MidiBacking* backing = nullptr;
    std::string key;
    std::string name;
    bool capsOk = true;
  };
  enum class RequestKind { Add, Remove, Flush, Quit };
  struct Request {
    RequestKind kind;
    MidiInHandle* handle;
    bool done = false;
  };

  void enumerateInputs();
  void enumerateOutputs();
  MidiBacking* mapperBacking();
  bool validInput(HMIDIIN handle);
  void stopInput(HMIDIIN handle);
  void request(RequestKind kind, MidiInHandle* handle);
  void serve(Request& r);
  void drain(MidiInHandle* handle);
  void deliveryLoop();

  std::vector<MidiBacking*> backings_;
  clock::Clock& clock_;

  std::mutex devicesMutex_;  // guards the tables and the open-handle sets (user-interface calls)
  std::vector<Device> inputs_;
  std::vector<Device> outputs_;
  bool inputsListed_ = false;
  bool outputsListed_ = false;
  std::set<MidiInHandle*> openInputs_;
  std::set<MidiOutHandle*> openOutputs_;

  Waker waker_;
  std::mutex requestMutex_;
  std::condition_variable requestDone_;
  std::vector<Request*> requests_;
  // Raised with every queued request, so that a wake-up for messages alone takes no lock.
  std::atomic<bool> requested_{false};
  std::vector<Request*> batch_;      // delivery thread only; swapped with requests_, capacity kept
  std::vector<MidiInHandle*> live_;  // delivery thread only
  std::atomic<std::thread::id> deliveryId_{};
  plat::thread::Thread delivery_;
};

}  // namespace plat::mme
