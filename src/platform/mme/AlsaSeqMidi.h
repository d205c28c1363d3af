#pragma once
// MIDI devices on the ALSA sequencer. How the sequencer works: every program and every hardware
// MIDI port is a client with numbered ports; data flows along subscriptions from a readable port
// to a writable one. The readable ports of other clients are our inputs, their writable ports
// our outputs (the host's own ports are left out). Opening an input creates a writable port of
// the host and, at start, subscribes it to the source; opening an output creates a readable port
// and subscribes the destination to it. The mapper is a readable port of the host with no
// subscription, for other programs to connect to.
//
// One reader thread of this backing owns the sequencer traffic: it decodes incoming events into
// the open inputs' queues and sends what the outputs have queued. Sending only queues into a
// lock-free ring and wakes that thread, so it is safe on the audio thread.
//
// Where no sequencer exists (no /dev/snd), the backing lists nothing and every open fails.
// Device names are the port names (prefixed by the client's name when the port's name does not
// start with it); ports are listed by client and port number, which stay the same for the same
// hardware from one run to the next.
#include <alsa/asoundlib.h>

#include <array>
#include <atomic>
#include <mutex>
#include <string>
#include <vector>

#include "platform/mme/MidiBacking.h"
#include "platform/mme/SpscRing.h"
#include "platform/thread/Thread.h"

namespace plat::mme {

class AlsaSeqMidi final : public MidiBacking {
 public:
  explicit AlsaSeqMidi(const std::string& clientName = "Vellumar MIDI");
  ~AlsaSeqMidi() override;
  AlsaSeqMidi(const AlsaSeqMidi&) = delete;
  AlsaSeqMidi& operator=(const AlsaSeqMidi&) = delete;

  // Whether the sequencer opened.
  bool available() const { return seq_ != nullptr; }
  // The result of the sequencer open (0, or a negative error such as -ENOENT).
  int openError() const { return openError_; }

  std::vector<PortInfo> listInputs() override;
  std::vector<PortInfo> listOutputs() override;
  bool hasMapper() override { return available(); }
  std::unique_ptr<InputPort> openInput(const std::string& key, InputSink& sink) override;
  std::unique_ptr<OutputPort> openOutput(const std::string& key) override;

  static constexpr size_t kMaxPorts = 64;

 private:
  struct InSlot {
    int port = -1;
    snd_seq_addr_t source{};
    InputSink* sink = nullptr;
  };
  struct OutSlot {
    int port = -1;
    SpscRing<uint32_t, 512> ring;
    std::atomic_flag producing = ATOMIC_FLAG_INIT;
  };
  class AlsaInputPort;
  class AlsaOutputPort;

  std::vector<PortInfo> list(unsigned int caps);
  void wake() noexcept;
  void readerLoop();
  void dispatch(const snd_seq_event_t& event);
  void sendQueued();

  snd_seq_t* seq_ = nullptr;
  int openError_ = 0;
  int client_ = -1;
  int wakeFd_ = -1;
  snd_midi_event_t* decoder_ = nullptr;
  snd_midi_event_t* encoder_ = nullptr;
  std::atomic<bool> quit_{false};
  // Guards the sequencer handle and the slots: the reader thread holds it while it handles
  // traffic, the user-interface side while it creates, subscribes and removes ports.
  std::mutex mutex_;
  std::array<InSlot*, kMaxPorts> inputs_{};
  std::array<std::atomic<OutSlot*>, kMaxPorts> outputs_{};
  unsigned serial_ = 0;
  plat::thread::Thread reader_;
};

}  // namespace plat::mme
