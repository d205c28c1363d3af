#include "platform/mme/AlsaSeqMidi.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>

#include "platform/mme/ShortMessage.h"

namespace plat::mme {

namespace {

std::string addressKey(int client, int port) {
  return std::to_string(client) + ":" + std::to_string(port);
}

bool parseKey(const std::string& key, snd_seq_addr_t& addr) {
  int client = -1, port = -1;
  if (std::sscanf(key.c_str(), "%d:%d", &client, &port) != 2 || client < 0 || port < 0) return false;
  addr.client = static_cast<unsigned char>(client);
  addr.port = static_cast<unsigned char>(port);
  return true;
}

// The library prints its open failures on stderr; the host keeps no log and reports failures by
// results, so the open runs with a silent handler.
void quietAlsa(const char*, int, const char*, int, const char*, ...) {}

}  // namespace

class AlsaSeqMidi::AlsaInputPort final : public InputPort {
 public:
  AlsaInputPort(AlsaSeqMidi& owner, size_t index) : owner_(owner), index_(index) {}
  ~AlsaInputPort() override {
    stop();
    std::lock_guard<std::mutex> lock(owner_.mutex_);
    InSlot* slot = owner_.inputs_[index_];
    owner_.inputs_[index_] = nullptr;
    snd_seq_delete_simple_port(owner_.seq_, slot->port);
    delete slot;
  }
  bool start() override {
    std::lock_guard<std::mutex> lock(owner_.mutex_);
    InSlot* slot = owner_.inputs_[index_];
    subscribed_ = snd_seq_connect_from(owner_.seq_, slot->port, slot->source.client, slot->source.port) == 0;
    return subscribed_;
  }
  // The reader thread pushes only while it holds the lock: taking it waits out a push.
  void stop() override {
    std::lock_guard<std::mutex> lock(owner_.mutex_);
    if (!subscribed_) return;
    subscribed_ = false;
    InSlot* slot = owner_.inputs_[index_];
    snd_seq_disconnect_from(owner_.seq_, slot->port, slot->source.client, slot->source.port);
  }

 private:
  AlsaSeqMidi& owner_;
  size_t index_;
  bool subscribed_ = false;
};

class AlsaSeqMidi::AlsaOutputPort final : public OutputPort {
 public:
  AlsaOutputPort(AlsaSeqMidi& owner, size_t index)
      : owner_(owner), index_(index), slot_(owner.outputs_[index].load()) {}
  ~AlsaOutputPort() override {
    std::lock_guard<std::mutex> lock(owner_.mutex_);
    owner_.outputs_[index_].store(nullptr);
    snd_seq_delete_simple_port(owner_.seq_, slot_->port);
    delete slot_;
  }
  // Audio thread: queue and wake the reader thread, which does the system call.
  bool send(uint32_t packed) noexcept override {
    uint8_t bytes[3];
    if (unpackShortMessage(packed, bytes) == 0) return false;
    while (slot_->producing.test_and_set(std::memory_order_acquire)) {
    }
    const bool ok = slot_->ring.push(packed);
    slot_->producing.clear(std::memory_order_release);
    if (ok) owner_.wake();
    return ok;
  }

 private:
  AlsaSeqMidi& owner_;
  size_t index_;
  OutSlot* slot_;
};

AlsaSeqMidi::AlsaSeqMidi(const std::string& clientName) {
  const snd_lib_error_handler_t previous = snd_lib_error;
  snd_lib_error_set_handler(&quietAlsa);
  openError_ = snd_seq_open(&seq_, "default", SND_SEQ_OPEN_DUPLEX, SND_SEQ_NONBLOCK);
  snd_lib_error_set_handler(previous);
  if (openError_ < 0) {
    seq_ = nullptr;
    return;
  }
  snd_seq_set_client_name(seq_, clientName.c_str());
  client_ = snd_seq_client_id(seq_);
  wakeFd_ = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
  if (client_ < 0 || wakeFd_ < 0 || snd_midi_event_new(16, &decoder_) < 0 ||
      snd_midi_event_new(16, &encoder_) < 0 || !reader_.start([this] { readerLoop(); })) {
    if (decoder_) snd_midi_event_free(decoder_);
    if (encoder_) snd_midi_event_free(encoder_);
    if (wakeFd_ >= 0) ::close(wakeFd_);
    decoder_ = encoder_ = nullptr;
    wakeFd_ = -1;
    snd_seq_close(seq_);
    seq_ = nullptr;
    return;
  }
  snd_midi_event_no_status(decoder_, 1);  // every message with its own status byte
}

AlsaSeqMidi::~AlsaSeqMidi() {
  if (!seq_) return;
  quit_.store(true);
  wake();
  reader_.join();
  snd_midi_event_free(decoder_);
  snd_midi_event_free(encoder_);
  ::close(wakeFd_);
  snd_seq_close(seq_);
}

void AlsaSeqMidi::wake() noexcept {
  const uint64_t one = 1;
  [[maybe_unused]] ssize_t n = ::write(wakeFd_, &one, sizeof one);
}

std::vector<PortInfo> AlsaSeqMidi::list(unsigned int caps) {
  std::vector<PortInfo> result;
  if (!seq_) return result;
  std::lock_guard<std::mutex> lock(mutex_);
  snd_seq_client_info_t* client;
  snd_seq_port_info_t* port;
  snd_seq_client_info_alloca(&client);
  snd_seq_port_info_alloca(&port);
  snd_seq_client_info_set_client(client, -1);
  while (snd_seq_query_next_client(seq_, client) >= 0) {
    const int id = snd_seq_client_info_get_client(client);
    if (id == SND_SEQ_CLIENT_SYSTEM || id == client_) continue;
    const std::string clientName = snd_seq_client_info_get_name(client);
    snd_seq_port_info_set_client(port, id);
    snd_seq_port_info_set_port(port, -1);
    while (snd_seq_query_next_port(seq_, port) >= 0) {
      const unsigned int c = snd_seq_port_info_get_capability(port);
      if ((c & caps) != caps || (c & SND_SEQ_PORT_CAP_NO_EXPORT)) continue;
      const unsigned int type = snd_seq_port_info_get_type(port);
      if (!(type & (SND_SEQ_PORT_TYPE_MIDI_GENERIC | SND_SEQ_PORT_TYPE_APPLICATION | SND_SEQ_PORT_TYPE_SYNTH |
                    SND_SEQ_PORT_TYPE_SOFTWARE)))
        continue;
      std::string name = snd_seq_port_info_get_name(port);
      if (name.rfind(clientName, 0) != 0) name = clientName + ": " + name;
      result.push_back(PortInfo{addressKey(id, snd_seq_port_info_get_port(port)), name, true});
    }
  }
  return result;
}

std::vector<PortInfo> AlsaSeqMidi::listInputs() {
  return list(SND_SEQ_PORT_CAP_READ | SND_SEQ_PORT_CAP_SUBS_READ);
}
std::vector<PortInfo> AlsaSeqMidi::listOutputs() {
  return list(SND_SEQ_PORT_CAP_WRITE | SND_SEQ_PORT_CAP_SUBS_WRITE);
}

std::unique_ptr<InputPort> AlsaSeqMidi::openInput(const std::string& key, InputSink& sink) {
  snd_seq_addr_t source{};
  if (!seq_ || !parseKey(key, source)) return nullptr;
  std::lock_guard<std::mutex> lock(mutex_);
  auto free = std::find(inputs_.begin(), inputs_.end(), nullptr);
  if (free == inputs_.end()) return nullptr;
  const std::string name = "in " + std::to_string(++serial_);
  const int port =
      snd_seq_create_simple_port(seq_, name.c_str(), SND_SEQ_PORT_CAP_WRITE | SND_SEQ_PORT_CAP_NO_EXPORT,
                                 SND_SEQ_PORT_TYPE_MIDI_GENERIC | SND_SEQ_PORT_TYPE_APPLICATION);
  if (port < 0) return nullptr;
  *free = new InSlot{port, source, &sink};
  return std::make_unique<AlsaInputPort>(*this, size_t(free - inputs_.begin()));
}

std::unique_ptr<OutputPort> AlsaSeqMidi::openOutput(const std::string& key) {
  snd_seq_addr_t dest{};
  if (!seq_ || (!key.empty() && !parseKey(key, dest))) return nullptr;
  std::lock_guard<std::mutex> lock(mutex_);
  auto free = std::find_if(outputs_.begin(), outputs_.end(), [](auto& s) { return s.load() == nullptr; });
  if (free == outputs_.end()) return nullptr;
  // The mapper is exported for others to subscribe to; a port for one destination is not.
  const std::string name = key.empty() ? "MIDI Out" : "out " + std::to_string(++serial_);
  const unsigned caps = key.empty() ? SND_SEQ_PORT_CAP_READ | SND_SEQ_PORT_CAP_SUBS_READ
                                    : SND_SEQ_PORT_CAP_READ | SND_SEQ_PORT_CAP_NO_EXPORT;
  const int port = snd_seq_create_simple_port(seq_, name.c_str(), caps,
                                              SND_SEQ_PORT_TYPE_MIDI_GENERIC | SND_SEQ_PORT_TYPE_APPLICATION);
  if (port < 0) return nullptr;
  if (!key.empty() && snd_seq_connect_to(seq_, port, dest.client, dest.port) < 0) {
    snd_seq_delete_simple_port(seq_, port);
    return nullptr;
  }
  auto* slot = new OutSlot;
  slot->port = port;
  free->store(slot);
  return std::make_unique<AlsaOutputPort>(*this, size_t(free - outputs_.begin()));
}

void AlsaSeqMidi::readerLoop() {
  const int n = snd_seq_poll_descriptors_count(seq_, POLLIN);
  std::vector<pollfd> fds(size_t(n) + 1);
  snd_seq_poll_descriptors(seq_, fds.data(), static_cast<unsigned>(n), POLLIN);
  fds[size_t(n)] = pollfd{wakeFd_, POLLIN, 0};
  while (!quit_.load()) {
    if (poll(fds.data(), fds.size(), -1) < 0) continue;
    if (fds[size_t(n)].revents & POLLIN) {
      uint64_t count;
      [[maybe_unused]] ssize_t r = ::read(wakeFd_, &count, sizeof count);
    }
    std::lock_guard<std::mutex> lock(mutex_);
    snd_seq_event_t* event = nullptr;
    while (snd_seq_event_input(seq_, &event) >= 0 && event) dispatch(*event);
    sendQueued();
  }
}

void AlsaSeqMidi::dispatch(const snd_seq_event_t& event) {
  for (InSlot* slot : inputs_) {
    if (!slot || slot->port != event.dest.port) continue;
    unsigned char bytes[16];
    snd_midi_event_reset_decode(decoder_);
    const long size = snd_midi_event_decode(decoder_, bytes, sizeof bytes, &event);
    uint32_t packed = 0;
    if (size > 0 && packShortMessage(bytes, size_t(size), packed)) slot->sink->push(packed);
    return;
  }
}

void AlsaSeqMidi::sendQueued() {
  for (auto& published : outputs_) {
    OutSlot* slot = published.load();
    if (!slot) continue;
    uint32_t packed = 0;
    while (slot->ring.pop(packed)) {
      uint8_t bytes[3];
      const size_t size = unpackShortMessage(packed, bytes);
      snd_seq_event_t event;
      snd_seq_ev_clear(&event);
      snd_midi_event_reset_encode(encoder_);
      if (snd_midi_event_encode(encoder_, bytes, long(size), &event) != long(size) ||
          event.type == SND_SEQ_EVENT_NONE)
        continue;
      snd_seq_ev_set_source(&event, slot->port);
      snd_seq_ev_set_subs(&event);
      snd_seq_ev_set_direct(&event);
      snd_seq_event_output_direct(seq_, &event);
    }
  }
}

}  // namespace plat::mme
