#include "platform/mme/SimulatedMidi.h"

namespace plat::mme {

class SimulatedMidi::SimInputPort final : public InputPort {
 public:
  SimInputPort(SimulatedMidi& owner, Input& input) : owner_(owner), input_(input) {}
  ~SimInputPort() override {
    std::lock_guard<std::mutex> lock(owner_.mutex_);
    input_.sink = nullptr;
  }
  bool start() override {
    std::lock_guard<std::mutex> lock(owner_.mutex_);
    return !input_.device.startFails;
  }
  // Injection holds the lock while it pushes: taking it waits out one under way.
  void stop() override { std::lock_guard<std::mutex> lock(owner_.mutex_); }

 private:
  SimulatedMidi& owner_;
  Input& input_;
};

class SimulatedMidi::SimOutputPort final : public OutputPort {
 public:
  SimOutputPort(SimulatedMidi& owner, Output& output) : owner_(owner), output_(output) {}
  ~SimOutputPort() override {
    std::lock_guard<std::mutex> lock(owner_.mutex_);
    --output_.opens;
  }
  // A test fake: it records under a lock, which a real-time backing must not do.
  bool send(uint32_t packed) noexcept override {
    std::lock_guard<std::mutex> lock(owner_.mutex_);
    try {
      output_.sent.push_back(packed);
    } catch (...) {
      return false;
    }
    return true;
  }

 private:
  SimulatedMidi& owner_;
  Output& output_;
};

SimulatedMidi::Device& SimulatedMidi::addInput(const std::string& name) {
  std::lock_guard<std::mutex> lock(mutex_);
  inputs_.emplace_back();
  inputs_.back().device.name = name;
  return inputs_.back().device;
}

SimulatedMidi::Device& SimulatedMidi::addOutput(const std::string& name) {
  std::lock_guard<std::mutex> lock(mutex_);
  outputs_.emplace_back();
  outputs_.back().device.name = name;
  return outputs_.back().device;
}

void SimulatedMidi::setMapper(bool offered) {
  std::lock_guard<std::mutex> lock(mutex_);
  mapperOffered_ = offered;
}

SimulatedMidi::Input* SimulatedMidi::findInput(const std::string& name) {
  for (auto& i : inputs_)
    if (i.device.name == name) return &i;
  return nullptr;
}

SimulatedMidi::Output* SimulatedMidi::findOutput(const std::string& name) {
  for (auto& o : outputs_)
    if (o.device.name == name) return &o;
  return nullptr;
}

bool SimulatedMidi::inject(const std::string& name, uint32_t packed) {
  std::lock_guard<std::mutex> lock(mutex_);
  Input* input = findInput(name);
  return input && input->sink && input->sink->push(packed);
}

std::vector<uint32_t> SimulatedMidi::sent(const std::string& name) const {
  std::lock_guard<std::mutex> lock(mutex_);
  for (auto& o : outputs_)
    if (o.device.name == name) return o.sent;
  return {};
}

std::vector<uint32_t> SimulatedMidi::sentToMapper() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return mapper_.sent;
}

bool SimulatedMidi::inputOpen(const std::string& name) const {
  std::lock_guard<std::mutex> lock(mutex_);
  for (auto& i : inputs_)
    if (i.device.name == name) return i.sink != nullptr;
  return false;
}

int SimulatedMidi::openOutputs(const std::string& name) const {
  std::lock_guard<std::mutex> lock(mutex_);
  for (auto& o : outputs_)
    if (o.device.name == name) return o.opens;
  return 0;
}

int SimulatedMidi::openMappers() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return mapper_.opens;
}

std::vector<PortInfo> SimulatedMidi::listInputs() {
  std::lock_guard<std::mutex> lock(mutex_);
  std::vector<PortInfo> list;
  for (auto& i : inputs_) list.push_back(PortInfo{i.device.name, i.device.name, !i.device.capsFails});
  return list;
}

std::vector<PortInfo> SimulatedMidi::listOutputs() {
  std::lock_guard<std::mutex> lock(mutex_);
  std::vector<PortInfo> list;
  for (auto& o : outputs_) list.push_back(PortInfo{o.device.name, o.device.name, !o.device.capsFails});
  return list;
}

bool SimulatedMidi::hasMapper() {
  std::lock_guard<std::mutex> lock(mutex_);
  return mapperOffered_;
}

std::unique_ptr<InputPort> SimulatedMidi::openInput(const std::string& key, InputSink& sink) {
  std::lock_guard<std::mutex> lock(mutex_);
  Input* input = findInput(key);
  if (!input || input->sink || input->device.openFails) return nullptr;
  input->sink = &sink;
  return std::make_unique<SimInputPort>(*this, *input);
}

std::unique_ptr<OutputPort> SimulatedMidi::openOutput(const std::string& key) {
  std::lock_guard<std::mutex> lock(mutex_);
  Output* output = key.empty() ? (mapperOffered_ ? &mapper_ : nullptr) : findOutput(key);
  if (!output || output->device.openFails) return nullptr;
  ++output->opens;
  return std::make_unique<SimOutputPort>(*this, *output);
}

}  // namespace plat::mme
