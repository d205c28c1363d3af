#pragma once
// MIDI devices on a running JACK server. How JACK MIDI works: every client has ports; a MIDI
// output port of another client is a source the host can read, so it is one of our inputs, and
// its MIDI input ports are our outputs. Opening an input registers an input port of the host's
// own client and, at start, connects the source to it; opening an output registers an output port
// and connects it to the destination. The mapper is one more output port of the host, left
// unconnected for other programs to connect to.
//
// The JACK process callback is the only code that touches port buffers. It moves incoming events
// into each open input's lock-free queue (the multimedia layer's delivery thread calls the host)
// and writes queued outgoing messages; it allocates nothing, locks nothing and never blocks.
// Open ports are published to it through atomic slots; a port is unpublished and the current
// cycle waited out before it is unregistered.
//
// The backing connects to a running server only (it never starts one). Without a server it lists
// nothing and opens nothing. Device names are the full port names ("client:port") or, for
// hardware ports, their first alias; both stay the same from one run to the next.
#include <jack/jack.h>

#include <array>
#include <atomic>
#include <cstdint>
#include <mutex>
#include <string>

#include "platform/mme/MidiBacking.h"
#include "platform/mme/SpscRing.h"

namespace plat::mme {

struct JackMidiOptions {
  std::string clientName = "Vellumar MIDI";
  // Tests: called at the start (true) and the end (false) of every process callback, on the
  // process thread, to count what the callback does there.
  void (*processHook)(bool entering, void* user) = nullptr;
  void* hookUser = nullptr;
};

class JackMidi final : public MidiBacking {
 public:
  explicit JackMidi(JackMidiOptions options = {});
  ~JackMidi() override;
  JackMidi(const JackMidi&) = delete;
  JackMidi& operator=(const JackMidi&) = delete;

  // Whether a server answered and the client is active (false again after a server shutdown).
  bool connected() const { return client_ && !dead_.load(); }
  // The host client's actual name (JACK may have made it unique), empty without a server.
  std::string clientName() const;

  std::vector<PortInfo> listInputs() override;
  std::vector<PortInfo> listOutputs() override;
  bool hasMapper() override { return connected(); }
  std::unique_ptr<InputPort> openInput(const std::string& key, InputSink& sink) override;
  std::unique_ptr<OutputPort> openOutput(const std::string& key) override;

  static constexpr size_t kMaxPorts = 64;
  // The host's own output port that the mapper device sends to and other programs connect to.
  static constexpr const char* kMapperPortName = "MIDI Out";

 private:
  struct InSlot {
    jack_port_t* port = nullptr;
    InputSink* sink = nullptr;
  };
  struct OutSlot {
    jack_port_t* port = nullptr;
    SpscRing<uint32_t, 512> ring;
    std::atomic_flag producing = ATOMIC_FLAG_INIT;  // orders several sending threads
  };
  class JackInputPort;
  class JackOutputPort;

  std::vector<PortInfo> list(unsigned long flags);
  jack_port_t* registerPort(bool input);
  void waitOutCycle();
  static int process(jack_nframes_t frames, void* arg) noexcept;
  static void shutdown(void* arg) noexcept;

  JackMidiOptions options_;
  jack_client_t* client_ = nullptr;
  std::atomic<bool> dead_{false};
  std::mutex mutex_;  // user-interface side: slot allocation and port naming
  unsigned serial_ = 0;
  std::array<std::atomic<InSlot*>, kMaxPorts> inputs_{};
  std::array<std::atomic<OutSlot*>, kMaxPorts> outputs_{};
  // Odd while a process callback runs; lets a closing port wait out the current cycle.
  std::atomic<uint64_t> epoch_{0};
};

}  // namespace plat::mme
