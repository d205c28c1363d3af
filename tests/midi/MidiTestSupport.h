#pragma once
// What the tests of the MIDI devices share: a callback context that keeps every message it saw.
#include <vector>

#include "midi/MidiMessage.h"

namespace miditest {

struct Received {
  std::vector<MidiMessage> messages;
  int closes = 0;
  bool dataAfterClose = false;

  static bool callback(MidiMessage* m, void* context) {
    auto* self = static_cast<Received*>(context);
    if (m->status == 0 && m->statusHigh == 0) {
      ++self->closes;
    } else {
      if (self->closes > 0) self->dataAfterClose = true;
      self->messages.push_back(*m);
    }
    return true;
  }
};

}  // namespace miditest
