#include "midi/VLMMMidi.h"

#include <cstring>
#include <new>
#include <thread>

using namespace plat::mme;

VLMMMidi::VLMMMidi(Mme& mme, plat::clock::Clock& clock) : mme_(mme), clock_(clock) {
  enumerate();
  frequency_ = clock_.performanceFrequency();
  if (frequency_ <= 0) frequency_ = 1;
  lastCounter_ = 0;
  haveLastCounter_ = false;
}

VLMMMidi::~VLMMMidi() {
  close();
  devices.clear();
}

void VLMMMidi::enumerate() {
  devices.clear();
  auto add = [this](int32_t id, const char* name, bool in) {
    auto record = std::make_unique<MidiDeviceInfo>();
    record->id = id;
    record->type = kMidiDeviceTypeMme;
    record->name.assign(name, strnlen(name, MAXPNAMELEN - 1));
    record->in = in;
    record->active = in;
    devices.push_back(std::move(record));
  };
  const uint32_t n = mme_.midiInGetNumDevs();
  for (uint32_t i = 0; i < n; ++i) {
    MIDIINCAPSA caps{};
    if (mme_.midiInGetDevCapsA(i, &caps, sizeof caps) == MMSYSERR_NOERROR)
      add(int32_t(i), caps.szPname, true);
  }
  const uint32_t m = mme_.midiOutGetNumDevs();
  for (uint32_t i = 0; i <= m; ++i) {
    const uint32_t device = i < m ? i : MIDI_MAPPER;
    MIDIOUTCAPSA caps{};
    if (mme_.midiOutGetDevCapsA(device, &caps, sizeof caps) == MMSYSERR_NOERROR)
      add(static_cast<int32_t>(device), caps.szPname, false);
  }
}

bool VLMMMidi::open(MidiDeviceInfo* input, MidiDeviceInfo* output, MidiInputCallback callback,
                    void* context) {
  if (!input && !output) return false;
  closed.store(false);
  if (input) {
    auto* ctx = new (std::nothrow) InputContext{callback, context, this};
    if (!ctx) return false;
    HMIDIIN handle = nullptr;
    if (mme_.midiInOpen(&handle, static_cast<uint32_t>(input->id), &VLMMMidi::inputProc,
                        reinterpret_cast<uintptr_t>(ctx), CALLBACK_FUNCTION) != MMSYSERR_NOERROR) {
      delete ctx;  // no notification will ever carry it
      return false;
    }
    if (mme_.midiInStart(handle) != MMSYSERR_NOERROR) {
      // Close it again so that the device is free; the caller hears nothing of this input, and
      // the close notification frees the context record.
      ctx->callback = nullptr;
      mme_.midiInReset(handle);
      mme_.midiInClose(handle);
      return false;
    }
    inputs_.push_back(handle);
  }
  if (!output) return true;
  retireOutput();
  HMIDIOUT handle = nullptr;
  if (mme_.midiOutOpen(&handle, static_cast<uint32_t>(output->id), 0, 0, CALLBACK_NULL) != MMSYSERR_NOERROR)
    return false;
  output_.store(handle);
  return true;
}

// Takes the output away from senders, waits for a send in progress, then closes it.
void VLMMMidi::retireOutput() {
  HMIDIOUT handle = output_.exchange(nullptr);
  if (!handle) return;
  while (sending_.load() != 0) std::this_thread::yield();
  mme_.midiOutClose(handle);
}

void VLMMMidi::close() {
  closed.store(true);
  for (HMIDIIN handle : inputs_) {
    mme_.midiInStop(handle);
    mme_.midiInReset(handle);
    mme_.midiInClose(handle);  // delivers the close notification
  }
  inputs_.clear();
  retireOutput();
}

void VLMMMidi::sendShortMessage(const MidiMessage& message) noexcept {
  // Announce the send before looking at the handle: retireOutput sees the count once it has
  // taken the handle, so it cannot close a handle this call still uses.
  sending_.fetch_add(1);
  if (!closed.load()) {
    if (HMIDIOUT handle = output_.load())
      mme_.midiOutShortMsg(
          handle, uint32_t(message.status) | uint32_t(message.data1) << 8 | uint32_t(message.data2) << 16);
  }
  sending_.fetch_sub(1);
}

// MIDI delivery thread: one notification at a time for all inputs.
void VLMMMidi::inputProc(HMIDIIN, uint32_t msg, uintptr_t instance, uintptr_t param1, uintptr_t) noexcept {
  auto* ctx = reinterpret_cast<InputContext*>(instance);
  if (!ctx) return;
  VLMMMidi& self = *ctx->owner;
  MidiMessage& m = self.message;
  if (msg == MIM_DATA) {
    const uint32_t p = static_cast<uint32_t>(param1);
    const uint8_t s = p & 0xFF;
    m.status = s > 0xEF ? s : s & 0xF0;
    m.statusHigh = s & 0xF0;
    m.channel = s & 0x0F;
    m.data1 = (p >> 8) & 0x7F;
    m.data2 = (p >> 16) & 0x7F;
    const int64_t now = self.clock_.performanceCounter();
    m.deltaMs =
        self.haveLastCounter_ ? double(now - self.lastCounter_) / double(self.frequency_) * 1000.0 : 0.0;
    self.lastCounter_ = now;
    self.haveLastCounter_ = true;
    if (ctx->callback) ctx->callback(&m, ctx->context);
  } else if (msg == MIM_CLOSE) {
    m.status = 0;
    m.statusHigh = 0;
    if (ctx->callback) ctx->callback(&m, ctx->context);
    delete ctx;
  }
}
