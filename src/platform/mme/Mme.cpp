#include "platform/mme/Mme.h"

#include <algorithm>
#include <cstring>
#include <new>

#include "platform/mme/DeviceNames.h"

namespace plat::mme {

// One open input: its queue, the backing's port and the caller's callback.
struct MidiInHandle {
  MidiInHandle(clock::Clock& clock, Waker& waker) : sink(clock, waker) {}
  InputSink sink;
  std::unique_ptr<InputPort> port;
  MidiInProc proc = nullptr;
  uintptr_t instance = 0;
  std::atomic<bool> delivering{false};  // MIM_DATA reaches the callback (between start and stop)
  std::atomic<uint32_t> startTick{0};
  bool started = false;  // user-interface thread only
};

struct MidiOutHandle {
  std::unique_ptr<OutputPort> port;
};

namespace {

constexpr uint32_t kCallbackTypeMask = 0x00070000u;

bool isMapperId(uintptr_t id) {
  return id == MIDI_MAPPER || id == UINTPTR_MAX;
}

void copyName(char (&dst)[MAXPNAMELEN], const std::string& name) {
  std::memset(dst, 0, sizeof dst);
  std::memcpy(dst, name.data(), std::min(name.size(), sizeof dst - 1));
}

// Copies as much of the record as the caller's size allows, like the platform does.
template <typename Caps>
void copyCaps(const Caps& full, Caps* caps, uint32_t size) {
  std::memcpy(caps, &full, std::min<size_t>(size, sizeof(Caps)));
}

}  // namespace

Mme::Mme(std::vector<MidiBacking*> backings, clock::Clock& clock)
    : backings_(std::move(backings)), clock_(clock) {
  backings_.erase(std::remove(backings_.begin(), backings_.end(), nullptr), backings_.end());
  delivery_.start([this] { deliveryLoop(); });
}

Mme::~Mme() {
  std::vector<MidiInHandle*> inputs;
  std::vector<MidiOutHandle*> outputs;
  {
    std::lock_guard<std::mutex> lock(devicesMutex_);
    inputs.assign(openInputs_.begin(), openInputs_.end());
    outputs.assign(openOutputs_.begin(), openOutputs_.end());
  }
  for (auto* h : inputs) midiInClose(h);
  for (auto* h : outputs) midiOutClose(h);
  if (delivery_.joinable()) {
    request(RequestKind::Quit, nullptr);
    delivery_.join();
  }
}

// ---- enumeration

void Mme::enumerateInputs() {
  inputs_.clear();
  std::vector<std::string> names;
  for (auto* b : backings_) {
    for (auto& p : b->listInputs()) {
      inputs_.push_back(Device{b, p.key, p.name, p.capsOk});
      names.push_back(p.name);
    }
  }
  uniqueDeviceNames(names);
  for (size_t i = 0; i < names.size(); ++i) inputs_[i].name = names[i];
  inputsListed_ = true;
}

void Mme::enumerateOutputs() {
  outputs_.clear();
  std::vector<std::string> names;
  for (auto* b : backings_) {
    for (auto& p : b->listOutputs()) {
      outputs_.push_back(Device{b, p.key, p.name, p.capsOk});
      names.push_back(p.name);
    }
  }
  uniqueDeviceNames(names, {kMapperName});
  for (size_t i = 0; i < names.size(); ++i) outputs_[i].name = names[i];
  outputsListed_ = true;
}

MidiBacking* Mme::mapperBacking() {
  for (auto* b : backings_)
    if (b->hasMapper()) return b;
  return nullptr;
}

uint32_t Mme::midiInGetNumDevs() {
  std::lock_guard<std::mutex> lock(devicesMutex_);
  enumerateInputs();
  return static_cast<uint32_t>(inputs_.size());
}

uint32_t Mme::midiOutGetNumDevs() {
  std::lock_guard<std::mutex> lock(devicesMutex_);
  enumerateOutputs();
  return static_cast<uint32_t>(outputs_.size());
}

MMRESULT Mme::midiInGetDevCapsA(uintptr_t deviceId, MIDIINCAPSA* caps, uint32_t size) {
  if (!caps || size == 0) return MMSYSERR_INVALPARAM;
  std::lock_guard<std::mutex> lock(devicesMutex_);
  if (!inputsListed_) enumerateInputs();
  if (deviceId >= inputs_.size()) return MMSYSERR_BADDEVICEID;
  const Device& d = inputs_[deviceId];
  if (!d.capsOk) return MMSYSERR_NODRIVER;
  MIDIINCAPSA full{};
  copyName(full.szPname, d.name);
  copyCaps(full, caps, size);
  return MMSYSERR_NOERROR;
}

MMRESULT Mme::midiOutGetDevCapsA(uintptr_t deviceId, MIDIOUTCAPSA* caps, uint32_t size) {
  if (!caps || size == 0) return MMSYSERR_INVALPARAM;
  std::lock_guard<std::mutex> lock(devicesMutex_);
  MIDIOUTCAPSA full{};
  full.wVoices = 0;
  full.wNotes = 0;
  full.wChannelMask = 0xFFFF;
  if (isMapperId(deviceId)) {
    if (!mapperBacking()) return MMSYSERR_NODRIVER;
    copyName(full.szPname, kMapperName);
    full.wTechnology = MOD_MAPPER;
  } else {
    if (!outputsListed_) enumerateOutputs();
    if (deviceId >= outputs_.size()) return MMSYSERR_BADDEVICEID;
    const Device& d = outputs_[deviceId];
    if (!d.capsOk) return MMSYSERR_NODRIVER;
    copyName(full.szPname, d.name);
    full.wTechnology = MOD_MIDIPORT;
  }
  copyCaps(full, caps, size);
  return MMSYSERR_NOERROR;
}

// ---- inputs

bool Mme::validInput(HMIDIIN handle) {
  std::lock_guard<std::mutex> lock(devicesMutex_);
  return handle && openInputs_.count(handle) != 0;
}

MMRESULT Mme::midiInOpen(HMIDIIN* handle, uint32_t deviceId, MidiInProc callback, uintptr_t instance,
                         uint32_t flags) {
  if (!handle) return MMSYSERR_INVALPARAM;
  *handle = nullptr;
  if (!delivery_.joinable()) return MMSYSERR_NOMEM;  // the system refused the delivery thread
  const uint32_t type = flags & kCallbackTypeMask;
  if ((flags & ~kCallbackTypeMask) != 0) return MMSYSERR_INVALFLAG;
  if (type == CALLBACK_FUNCTION && !callback) return MMSYSERR_INVALPARAM;
  if (type != CALLBACK_FUNCTION && type != CALLBACK_NULL) return MMSYSERR_INVALFLAG;

  Device device;
  {
    std::lock_guard<std::mutex> lock(devicesMutex_);
    if (!inputsListed_) enumerateInputs();
    if (deviceId >= inputs_.size()) return MMSYSERR_BADDEVICEID;
    device = inputs_[deviceId];
  }
  auto* h = new (std::nothrow) MidiInHandle(clock_, waker_);
  if (!h) return MMSYSERR_NOMEM;
  h->proc = type == CALLBACK_FUNCTION ? callback : nullptr;
  h->instance = instance;
  h->port = device.backing->openInput(device.key, h->sink);
  if (!h->port) {
    delete h;
    return MMSYSERR_ALLOCATED;
  }
  {
    std::lock_guard<std::mutex> lock(devicesMutex_);
    openInputs_.insert(h);
  }
  request(RequestKind::Add, h);  // delivers MIM_OPEN
  *handle = h;
  return MMSYSERR_NOERROR;
}

MMRESULT Mme::midiInStart(HMIDIIN handle) {
  if (!validInput(handle)) return MMSYSERR_INVALHANDLE;
  if (handle->started) return MMSYSERR_NOERROR;
  handle->startTick.store(clock_.tickCount());
  handle->delivering.store(true);
  if (!handle->port->start()) {
    handle->delivering.store(false);
    return MMSYSERR_ERROR;
  }
  handle->sink.accepting_.store(true);
  handle->started = true;
  return MMSYSERR_NOERROR;
}

// Refuses new messages, waits until the backing's producer is past any push it began before (the
// port's stop), delivers everything queued, and only then closes the gate to the callback.
void Mme::stopInput(HMIDIIN handle) {
  if (!handle->started) return;
  handle->sink.accepting_.store(false);
  handle->port->stop();
  request(RequestKind::Flush, handle);
  handle->delivering.store(false);
  handle->started = false;
}

MMRESULT Mme::midiInStop(HMIDIIN handle) {
  if (!validInput(handle)) return MMSYSERR_INVALHANDLE;
  stopInput(handle);
  return MMSYSERR_NOERROR;
}

// Short messages have no buffers to return; resetting stops the input like the platform does.
MMRESULT Mme::midiInReset(HMIDIIN handle) {
  return midiInStop(handle);
}

MMRESULT Mme::midiInClose(HMIDIIN handle) {
  if (!validInput(handle)) return MMSYSERR_INVALHANDLE;
  stopInput(handle);
  handle->port.reset();                  // the backing lets go of the sink
  request(RequestKind::Remove, handle);  // delivers MIM_CLOSE
  {
    std::lock_guard<std::mutex> lock(devicesMutex_);
    openInputs_.erase(handle);
  }
  delete handle;
  return MMSYSERR_NOERROR;
}

// ---- outputs

MMRESULT Mme::midiOutOpen(HMIDIOUT* handle, uint32_t deviceId, uintptr_t callback, uintptr_t /*instance*/,
                          uint32_t flags) {
  if (!handle) return MMSYSERR_INVALPARAM;
  *handle = nullptr;
  if ((flags & kCallbackTypeMask) != CALLBACK_NULL || callback != 0) return MMSYSERR_INVALFLAG;
  MidiBacking* backing = nullptr;
  std::string key;
  {
    std::lock_guard<std::mutex> lock(devicesMutex_);
    if (isMapperId(deviceId)) {
      backing = mapperBacking();
      if (!backing) return MMSYSERR_BADDEVICEID;
    } else {
      if (!outputsListed_) enumerateOutputs();
      if (deviceId >= outputs_.size()) return MMSYSERR_BADDEVICEID;
      backing = outputs_[deviceId].backing;
      key = outputs_[deviceId].key;
    }
  }
  auto* h = new (std::nothrow) MidiOutHandle;
  if (!h) return MMSYSERR_NOMEM;
  h->port = backing->openOutput(key);
  if (!h->port) {
    delete h;
    return MMSYSERR_ALLOCATED;
  }
  std::lock_guard<std::mutex> lock(devicesMutex_);
  openOutputs_.insert(h);
  *handle = h;
  return MMSYSERR_NOERROR;
}

// Audio thread: one virtual call into the backing, which only queues (real-time backings).
MMRESULT Mme::midiOutShortMsg(HMIDIOUT handle, uint32_t message) noexcept {
  if (!handle) return MMSYSERR_INVALHANDLE;
  return handle->port->send(message) ? MMSYSERR_NOERROR : MIDIERR_NOTREADY;
}

MMRESULT Mme::midiOutClose(HMIDIOUT handle) {
  {
    std::lock_guard<std::mutex> lock(devicesMutex_);
    if (!handle || !openOutputs_.erase(handle)) return MMSYSERR_INVALHANDLE;
  }
  delete handle;
  return MMSYSERR_NOERROR;
}

// ---- delivery

void Mme::flush() {
  request(RequestKind::Flush, nullptr);
}

void Mme::request(RequestKind kind, MidiInHandle* handle) {
  Request r{kind, handle};
  if (std::this_thread::get_id() == deliveryId_.load()) {
    serve(r);  // a callback that calls back in: serve it in place instead of waiting on itself
    return;
  }
  std::unique_lock<std::mutex> lock(requestMutex_);
  requests_.push_back(&r);
  requested_.store(true);
  waker_.wake();
  requestDone_.wait(lock, [&] { return r.done; });
}

void Mme::drain(MidiInHandle* h) {
  InputEvent e;
  while (h->sink.ring_.pop(e)) {
    if (h->proc && h->delivering.load())
      h->proc(h, MIM_DATA, h->instance, e.packed, e.tick - h->startTick.load());
  }
}

void Mme::serve(Request& r) {
  switch (r.kind) {
    case RequestKind::Add:
      live_.push_back(r.handle);
      if (r.handle->proc) r.handle->proc(r.handle, MIM_OPEN, r.handle->instance, 0, 0);
      break;
    case RequestKind::Remove:
      drain(r.handle);
      live_.erase(std::remove(live_.begin(), live_.end(), r.handle), live_.end());
      if (r.handle->proc) r.handle->proc(r.handle, MIM_CLOSE, r.handle->instance, 0, 0);
      break;
    case RequestKind::Flush:
      for (auto* h : live_) drain(h);
      break;
    case RequestKind::Quit:
      break;
  }
}

// Most wake-ups are for messages only: those drain the queues without a lock or an allocation,
// since the thread runs the host's input handler, which times each message on arrival.
void Mme::deliveryLoop() {
  deliveryId_.store(std::this_thread::get_id());
  for (bool quit = false; !quit;) {
    waker_.wait();
    if (requested_.exchange(false)) {
      std::lock_guard<std::mutex> lock(requestMutex_);
      batch_.swap(requests_);
    }
    for (auto* h : live_) drain(h);
    for (Request* r : batch_) {
      serve(*r);
      quit = quit || r->kind == RequestKind::Quit;
    }
    if (!batch_.empty()) {
      std::lock_guard<std::mutex> lock(requestMutex_);
      for (Request* r : batch_) r->done = true;
      requestDone_.notify_all();
      batch_.clear();
    }
  }
}

}  // namespace plat::mme
