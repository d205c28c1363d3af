#pragma once
// One source of MIDI ports behind the multimedia layer's device numbering (ALSA sequencer, JACK,
// simulated devices). The layer numbers the inputs of all backings in the order the backings were
// given, then does the same for the outputs; a backing lists its ports in an order that stays the
// same from run to run for the same ports.
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "platform/mme/InputSink.h"

namespace plat::mme {

struct PortInfo {
  std::string key;     // what the backing opens the port by (its full port name)
  std::string name;    // the name users see; the layer shortens it to 31 bytes and makes it unique
  bool capsOk = true;  // false: the capability query of this device fails
};

// An open input port. Between start and stop the backing pushes every short message it receives
// into the sink it was opened with. `stop` returns only when a push that was under way has
// finished (the layer has refused new ones before calling it), so that nothing the sink took is
// left behind. Once the destructor returns the backing never touches the sink again.
class InputPort {
 public:
  virtual ~InputPort() = default;
  virtual bool start() = 0;
  virtual void stop() = 0;
};

// An open output port.
class OutputPort {
 public:
  virtual ~OutputPort() = default;
  // Sends one packed short message. Any thread; the real-time backings neither allocate nor lock.
  virtual bool send(uint32_t packed) noexcept = 0;
};

class MidiBacking {
 public:
  virtual ~MidiBacking() = default;
  // Snapshots of the ports of other programs and devices; user-interface thread.
  virtual std::vector<PortInfo> listInputs() = 0;
  virtual std::vector<PortInfo> listOutputs() = 0;
  // Whether this backing can stand for the system mapper: an output of the host that other
  // programs connect to themselves.
  virtual bool hasMapper() = 0;
  // Null on failure. `key` is one of the listed keys.
  virtual std::unique_ptr<InputPort> openInput(const std::string& key, InputSink& sink) = 0;
  // An empty `key` opens the mapper.
  virtual std::unique_ptr<OutputPort> openOutput(const std::string& key) = 0;
};

}  // namespace plat::mme
