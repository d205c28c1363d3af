#include "platform/mme/JackMidi.h"

#include <jack/midiport.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <thread>

#include "platform/mme/ShortMessage.h"

namespace plat::mme {

class JackMidi::JackInputPort final : public InputPort {
 public:
  JackInputPort(JackMidi& owner, size_t index, std::string source)
      : owner_(owner), index_(index), source_(std::move(source)) {}
  ~JackInputPort() override {
    stop();
    InSlot* slot = owner_.inputs_[index_].exchange(nullptr);
    owner_.waitOutCycle();
    if (slot) {
      if (!owner_.dead_.load()) jack_port_unregister(owner_.client_, slot->port);
      delete slot;
    }
  }
  bool start() override {
    if (owner_.dead_.load()) return false;
    InSlot* slot = owner_.inputs_[index_].load();
    const int rc = jack_connect(owner_.client_, source_.c_str(), jack_port_name(slot->port));
    connected_ = rc == 0 || rc == EEXIST;
    return connected_;
  }
  void stop() override {
    owner_.waitOutCycle();  // a cycle that is pushing into the sink finishes first
    if (!connected_) return;
    connected_ = false;
    InSlot* slot = owner_.inputs_[index_].load();
    if (slot && !owner_.dead_.load())
      jack_disconnect(owner_.client_, source_.c_str(), jack_port_name(slot->port));
  }

 private:
  JackMidi& owner_;
  size_t index_;
  std::string source_;
  bool connected_ = false;
};

class JackMidi::JackOutputPort final : public OutputPort {
 public:
  JackOutputPort(JackMidi& owner, size_t index)
      : owner_(owner), index_(index), slot_(owner.outputs_[index].load()) {}
  ~JackOutputPort() override {
    owner_.outputs_[index_].store(nullptr);
    owner_.waitOutCycle();
    if (!owner_.dead_.load()) jack_port_unregister(owner_.client_, slot_->port);
    delete slot_;
  }
  // Audio thread: a spin guard, not a lock, orders several senders; the ring never blocks.
  bool send(uint32_t packed) noexcept override {
    uint8_t bytes[3];
    if (unpackShortMessage(packed, bytes) == 0 || owner_.dead_.load(std::memory_order_relaxed)) return false;
    while (slot_->producing.test_and_set(std::memory_order_acquire)) {
    }
    const bool ok = slot_->ring.push(packed);
    slot_->producing.clear(std::memory_order_release);
    return ok;
  }

 private:
  JackMidi& owner_;
  size_t index_;
  OutSlot* slot_;
};

JackMidi::JackMidi(JackMidiOptions options) : options_(std::move(options)) {
  // Without a server the library explains itself on stderr; the host keeps no log and reports by
  // results, so the attempt runs with silent message functions, and the previous ones return.
  auto* const previousError = jack_error_callback;
  auto* const previousInfo = jack_info_callback;
  jack_set_error_function([](const char*) {});
  jack_set_info_function([](const char*) {});
  jack_status_t status{};
  client_ = jack_client_open(options_.clientName.c_str(), JackNoStartServer, &status);
  jack_set_error_function(previousError);
  jack_set_info_function(previousInfo);
  if (!client_) return;
  jack_set_process_callback(client_, &JackMidi::process, this);
  jack_on_shutdown(client_, &JackMidi::shutdown, this);
  if (jack_activate(client_) != 0) {
    jack_client_close(client_);
    client_ = nullptr;
  }
}

JackMidi::~JackMidi() {
  if (client_) jack_client_close(client_);  // deactivates: no process callback after this
}

std::string JackMidi::clientName() const {
  return client_ ? jack_get_client_name(client_) : std::string();
}

std::vector<PortInfo> JackMidi::list(unsigned long flags) {
  std::vector<PortInfo> result;
  if (!connected()) return result;
  const char** names = jack_get_ports(client_, nullptr, JACK_DEFAULT_MIDI_TYPE, flags);
  if (!names) return result;
  for (const char** n = names; *n; ++n) {
    jack_port_t* port = jack_port_by_name(client_, *n);
    if (!port || jack_port_is_mine(client_, port)) continue;
    PortInfo info{*n, *n, true};
    // A hardware port's alias names the device; its own name only numbers it.
    if (jack_port_flags(port) & JackPortIsPhysical) {
      const int size = jack_port_name_size();
      std::string a1(size, '\0'), a2(size, '\0');
      char* aliases[2] = {a1.data(), a2.data()};
      if (jack_port_get_aliases(port, aliases) > 0 && aliases[0][0]) info.name = aliases[0];
    }
    result.push_back(std::move(info));
  }
  jack_free(names);
  std::sort(result.begin(), result.end(), [](const PortInfo& a, const PortInfo& b) { return a.key < b.key; });
  return result;
}

std::vector<PortInfo> JackMidi::listInputs() {
  return list(JackPortIsOutput);
}
std::vector<PortInfo> JackMidi::listOutputs() {
  return list(JackPortIsInput);
}

jack_port_t* JackMidi::registerPort(bool input) {
  const std::string name = (input ? "in_" : "out_") + std::to_string(++serial_);
  return jack_port_register(client_, name.c_str(), JACK_DEFAULT_MIDI_TYPE,
                            input ? JackPortIsInput : JackPortIsOutput, 0);
}

std::unique_ptr<InputPort> JackMidi::openInput(const std::string& key, InputSink& sink) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (!connected() || !jack_port_by_name(client_, key.c_str())) return nullptr;
  auto free = std::find_if(inputs_.begin(), inputs_.end(), [](auto& s) { return s.load() == nullptr; });
  if (free == inputs_.end()) return nullptr;
  jack_port_t* port = registerPort(true);
  if (!port) return nullptr;
  free->store(new InSlot{port, &sink});
  return std::make_unique<JackInputPort>(*this, size_t(free - inputs_.begin()), key);
}

std::unique_ptr<OutputPort> JackMidi::openOutput(const std::string& key) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (!connected()) return nullptr;
  if (!key.empty() && !jack_port_by_name(client_, key.c_str())) return nullptr;
  auto free = std::find_if(outputs_.begin(), outputs_.end(), [](auto& s) { return s.load() == nullptr; });
  if (free == outputs_.end()) return nullptr;
  jack_port_t* port = nullptr;
  if (key.empty()) {
    // The mapper keeps one name across MIDI restarts, so a patchbay that reconnects by name finds
    // it again; only while an earlier mapper port still holds that name is a numbered one used.
    port = jack_port_register(client_, kMapperPortName, JACK_DEFAULT_MIDI_TYPE, JackPortIsOutput, 0);
    if (!port)
      port = jack_port_register(client_, ("midi_out_" + std::to_string(++serial_)).c_str(),
                                JACK_DEFAULT_MIDI_TYPE, JackPortIsOutput, 0);
  } else {
    port = registerPort(false);
  }
  if (!port) return nullptr;
  if (!key.empty()) {
    const int rc = jack_connect(client_, jack_port_name(port), key.c_str());
    if (rc != 0 && rc != EEXIST) {
      jack_port_unregister(client_, port);
      return nullptr;
    }
  }
  auto* slot = new OutSlot;
  slot->port = port;
  free->store(slot);
  return std::make_unique<JackOutputPort>(*this, size_t(free - outputs_.begin()));
}

// After a slot was unpublished: a process callback that started before may still use it, one
// that starts later cannot see it. So wait only while a cycle that was already running goes on.
void JackMidi::waitOutCycle() {
  const uint64_t seen = epoch_.load();
  if ((seen & 1) == 0) return;
  for (int i = 0; i < 2000 && epoch_.load() == seen && !dead_.load(); ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
}

// Audio thread: the JACK process callback.
int JackMidi::process(jack_nframes_t frames, void* arg) noexcept {
  auto& self = *static_cast<JackMidi*>(arg);
  self.epoch_.fetch_add(1);
  if (self.options_.processHook) self.options_.processHook(true, self.options_.hookUser);
  for (auto& published : self.inputs_) {
    InSlot* slot = published.load();
    if (!slot) continue;
    void* buffer = jack_port_get_buffer(slot->port, frames);
    const uint32_t count = jack_midi_get_event_count(buffer);
    for (uint32_t i = 0; i < count; ++i) {
      jack_midi_event_t event;
      uint32_t packed = 0;
      if (jack_midi_event_get(&event, buffer, i) == 0 && packShortMessage(event.buffer, event.size, packed))
        slot->sink->push(packed);
    }
  }
  for (auto& published : self.outputs_) {
    OutSlot* slot = published.load();
    if (!slot) continue;
    void* buffer = jack_port_get_buffer(slot->port, frames);
    jack_midi_clear_buffer(buffer);
    uint32_t packed = 0;
    // What does not fit into this cycle's port buffer waits in the ring for the next one.
    while (jack_midi_max_event_size(buffer) >= 3 && slot->ring.pop(packed)) {
      uint8_t bytes[3];
      const size_t size = unpackShortMessage(packed, bytes);
      if (size) jack_midi_event_write(buffer, 0, bytes, size);
    }
  }
  if (self.options_.processHook) self.options_.processHook(false, self.options_.hookUser);
  self.epoch_.fetch_add(1);
  return 0;
}

void JackMidi::shutdown(void* arg) noexcept {
  static_cast<JackMidi*>(arg)->dead_.store(true);
}

}  // namespace plat::mme
