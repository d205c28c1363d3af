#pragma once
// Simulated loopback MIDI devices for tests. A test adds named inputs and outputs (listed in the
// order added), injects messages into an input, which reach the host like a device's would, and
// reads back every message the host sent to an output or to the mapper. Every device carries
// scripted failures for its capability query, its open and (inputs) its start.
//
// Like a hardware port, an input can be open only once at a time; an injected message is taken
// only while the input is open and started. Any thread may inject; injection is serialised here.
#include <cstdint>
#include <deque>
#include <mutex>
#include <string>
#include <vector>

#include "platform/mme/MidiBacking.h"

namespace plat::mme {

class SimulatedMidi final : public MidiBacking {
 public:
  struct Device {
    std::string name;
    bool capsFails = false;
    bool openFails = false;
    bool startFails = false;  // inputs only
  };

  // The returned record stays valid for the backing's life; set its failures before the host
  // enumerates or opens.
  Device& addInput(const std::string& name);
  Device& addOutput(const std::string& name);
  // The mapper is offered unless switched off.
  void setMapper(bool offered);

  // Queues a short message on input `name`; false when that input is not open and started or its
  // queue is full.
  bool inject(const std::string& name, uint32_t packed);
  bool inject(const std::string& name, uint8_t status, uint8_t data1, uint8_t data2) {
    return inject(name, uint32_t(status) | uint32_t(data1) << 8 | uint32_t(data2) << 16);
  }

  // Everything sent to output `name` (or to the mapper) so far, in order.
  std::vector<uint32_t> sent(const std::string& name) const;
  std::vector<uint32_t> sentToMapper() const;
  bool inputOpen(const std::string& name) const;
  int openOutputs(const std::string& name) const;
  int openMappers() const;

  std::vector<PortInfo> listInputs() override;
  std::vector<PortInfo> listOutputs() override;
  bool hasMapper() override;
  std::unique_ptr<InputPort> openInput(const std::string& key, InputSink& sink) override;
  std::unique_ptr<OutputPort> openOutput(const std::string& key) override;

 private:
  struct Input {
    Device device;
    InputSink* sink = nullptr;  // set while open
  };
  struct Output {
    Device device;
    int opens = 0;
    std::vector<uint32_t> sent;
  };
  class SimInputPort;
  class SimOutputPort;

  Input* findInput(const std::string& name);
  Output* findOutput(const std::string& name);

  mutable std::mutex mutex_;
  std::deque<Input> inputs_;
  std::deque<Output> outputs_;
  Output mapper_;
  bool mapperOffered_ = true;
};

}  // namespace plat::mme
