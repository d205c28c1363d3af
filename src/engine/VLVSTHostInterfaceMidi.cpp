// MIDI routing: the event queue's producers, opening the MIDI devices, the input handler with its
// tap trigger, learning and filters, the plug-in's MIDI out and the computer keyboard.
#include <thread>

#include "engine/TransportMath.h"
#include "engine/VLVSTHostInterface.h"
#include "midi/VLMMMidi.h"
#include "platform/clock/Clock.h"
#include "plugin/VLVSTHostLib.h"
#include "settings/HostSettings.h"
#include "vst/Vst2.h"

namespace {
intptr_t canDo(AEffect* effect, const char* text) {
  return effect && effect->dispatcher
             ? effect->dispatcher(effect, effCanDo, 0, 0, const_cast<char*>(text), 0.0f)
             : 0;
}
}  // namespace

// eventLock is a try-lock shared by the producers (MIDI input thread, user-interface thread) and
// the audio thread. A producer spins until it owns the flag, so two producers never append at once
// and no append overlaps the swap; the audio thread never waits for it (it skips delivery for that
// block instead). The flag is held only for the few instructions of one append.
bool VLVSTHostInterface::append(uint8_t status, uint8_t data1, uint8_t data2) noexcept {
  for (int spins = 0; eventLock.exchange(true); ++spins)
    if (spins > 64) std::this_thread::yield();
  const bool stored = writeBuffer->append(status, data1, data2);
  if (stored) eventsWaiting_.store(true, std::memory_order_relaxed);
  eventLock = false;
  return stored;
}

bool VLVSTHostInterface::startMidi() {
  if (!host || !midi || !audioDevices || !settings) return false;
  stopMidi();
  midiOutput = nullptr;
  if (settings->midiDeviceType == kMidiDeviceTypeMme) {
    for (auto& device : midi->devices) {
      if (device && !device->in && device->active) {
        midiOutput = device.get();
        break;
      }
    }
  }

  bool ok = true;
  if (canDo(host->effect, "receiveVstMidiEvent") == 1) {
    for (auto& stored : settings->midiDevices) {
      MidiDeviceInfo* record = stored.get();
      if (!record || !record->in || !record->active || record->id == -1) continue;
      MidiDeviceInfo* device = settings->findMidiDevice(record);
      if (!device) return false;
      auto* context = new InputContext(device, this);
      if (device->sync) syncActive = true;
      if (!midi->open(device, nullptr, onMidiInput, context)) {
        auto guard = settings->lock();
        record->active = false;
        device->active = false;
        ok = false;
        // A failed input never calls back, so its context is still ours.
        delete context;
      }
    }
  }

  if (canDo(host->effect, "sendVstMidiEvent") == 1 && midiOutput) {
    if (midi->open(nullptr, midiOutput, nullptr, this)) {
      midiSender_ = dynamic_cast<VLMMMidi*>(midi);
      host->hostContext.setMidiOutHandler(onPluginMidiOut, this);
    } else {
      midiOutput = nullptr;
      return false;
    }
  }
  return ok;
}

void VLVSTHostInterface::stopMidi() {
  if (!host || !midi || !audioDevices || !settings) return;
  midi->close();
  syncActive = false;
}

bool VLVSTHostInterface::onMidiInput(MidiMessage* message, void* contextPointer) {
  auto* context = static_cast<InputContext*>(contextPointer);
  if (!message || !context || !context->engine || !context->device) return false;
  VLVSTHostInterface& engine = *context->engine;
  const MidiMessage m = *message;  // the MIDI object's record is rewritten by the next message
  if (m.status == 0 && m.statusHigh == 0) {
    delete context;
    return true;
  }
  if (m.statusHigh == 0xF0) {
    // System messages never reach the plug-in; they drive the transport from sync inputs only.
    if (context->device->sync) engine.handleSystemMessage(m, *context);
    return true;
  }
  if (engine.checkTap(m)) return true;
  if (engine.learnTapArmed.load()) {
    engine.learnMessage(m);
    return true;
  }
  const MidiDeviceInfo& device = *context->device;
  if (device.channel != 0 && device.channel - 1 != m.channel) return true;
  if (device.filterCCMessages && m.status == 0xB0) return true;
  if (device.filterProgramChanges && m.status == 0xC0) return true;
  // The range applies to the first data byte of every channel message, not only to notes.
  if (m.data1 < device.keyboardRangeLeft || m.data1 > device.keyboardRangeRight) return true;
  engine.append(static_cast<uint8_t>(m.status | (m.channel & 0x0F)), m.data1, m.data2);
  return true;
}

// The learned trigger is read by the MIDI thread (every message) and the user-interface thread
// (the Tempo dialog's timer), replaced by the MIDI thread (learning) and discarded by the
// user-interface thread (Learn Tap). Readers announce themselves in tapReaders_ around the load and
// their use of the record; a writer first swaps the pointer, so no new reader can find the old
// record, then waits until the readers that might still hold it have left, and only then frees it.
// Read sections are a few loads long, so the wait is short and never involves the audio thread.
void VLVSTHostInterface::replaceLearnedTap(MidiMessage* replacement) {
  MidiMessage* previous = learnedTap.exchange(replacement);
  if (!previous) return;
  while (tapReaders_.load() != 0) std::this_thread::yield();
  delete previous;
}

int32_t VLVSTHostInterface::learnedTrigger() {
  tapReaders_.fetch_add(1);
  const MidiMessage* tap = learnedTap.load();
  const int32_t trigger = tap ? (int32_t(tap->status) << 8) | tap->data1 : 0;
  tapReaders_.fetch_sub(1);
  return trigger;
}

void VLVSTHostInterface::armLearnTap(bool arm) {
  if (arm) {
    replaceLearnedTap(nullptr);
    learnTapArmed = true;
  } else {
    learnTapArmed = false;
  }
}

bool VLVSTHostInterface::checkTap(const MidiMessage& m) {
  const int32_t trigger = learnedTrigger();
  if (trigger == 0 || (trigger >> 8) != m.status || (trigger & 0xFF) != m.data1) return false;
  if (m.status == 0xB0) {
    // A controller taps once each time it rises from below 65 to 65 or more.
    if (m.data2 < 65) {
      tapControlLow = true;
      return false;
    }
    if (!tapControlLow) return false;
    tapControlLow = false;
  } else {
    tapControlLow = m.data2 < 65;
  }
  countTap();
  return true;
}

void VLVSTHostInterface::countTap() {
  const int64_t now = clock.performanceCounter();
  // The very first tap has no predecessor; it only starts the timing.
  const uint32_t elapsedMs =
      lastTapTime == 0 ? UINT32_MAX : engine::elapsedMs(now - lastTapTime, perfFrequency);
  if (elapsedMs < engine::kTapResetMs) {
    tapIntervalSum += elapsedMs;
    ++tapCount;
  } else {
    tapCount = 0;
    tapIntervalSum = 0;
  }
  if (tapCount > 0) setTempo(engine::tapTempo(tapIntervalSum, tapCount));
  lastTapTime = now;
}

void VLVSTHostInterface::learnMessage(const MidiMessage& m) {
  replaceLearnedTap(new MidiMessage(m));
  learnTapArmed = false;
  tapControlLow = false;
  if (settings) {
    settings->tempoTab = (int32_t(m.status) << 8) | m.data1;
    settings->save();
  }
}

void VLVSTHostInterface::onPluginMidiOut(VstMidiEvent* event, void* user) {
  auto* engine = static_cast<VLVSTHostInterface*>(user);
  if (!engine || !event) return;
  VLMMMidi* sender = engine->midiSender_.load();
  if (!sender) return;
  MidiMessage m{};
  m.status = static_cast<uint8_t>(event->midiData[0]);
  m.data1 = static_cast<uint8_t>(event->midiData[1]);
  m.data2 = static_cast<uint8_t>(event->midiData[2]);
  sender->sendShortMessage(m);
}

bool VLVSTHostInterface::computerKeyboardNote(uint8_t key, bool down) {
  if (!host || !midi || !audioDevices || !settings) return false;
  if (key == 'P') {
    append(0xB0, 123, 0);  // All Notes Off, channel 1
    return true;
  }
  bool taken = true;
  if (const int semitone = engine::semitoneOfKey(key); semitone >= 0) {
    if (down) {
      const int note = keyOctave * 12 + semitone;
      // Keys above note 127 (octave 10, I to L) play nothing.
      if (note <= 127 && keyNoteState[note] == 0 && keyNote_[semitone] == 0) {
        keyNoteState[note] = 1;
        keyNote_[semitone] = static_cast<uint8_t>(note + 1);
        append(0x90, static_cast<uint8_t>(note), 94);
      }
    } else if (keyNote_[semitone] != 0) {
      const int note = keyNote_[semitone] - 1;
      keyNote_[semitone] = 0;
      if (keyNoteState[note] == 1) {
        keyNoteState[note] = 0;
        append(0x90, static_cast<uint8_t>(note), 0);
      }
    }
  } else if (key == 'C') {
    if (!down) --keyOctave;
  } else if (key == 'V') {
    if (!down) ++keyOctave;
  } else {
    taken = false;
  }
  if (keyOctave < 0) keyOctave = 0;
  if (keyOctave > 10) keyOctave = 10;
  return taken;
}

void VLVSTHostInterface::sendAllNotesOff() {
  computerKeyboardNote('P', true);
}
