#pragma once
// The machine's MIDI as the composition root builds it: the ALSA sequencer's ports first, then the
// JACK server's (when one runs), behind one multimedia layer. The mapper is the sequencer's
// exported host port where a sequencer exists, otherwise a JACK port of the host. Built once,
// before the MIDI object, and destroyed after it.
#include "platform/clock/Clock.h"
#include "platform/mme/AlsaSeqMidi.h"
#include "platform/mme/JackMidi.h"
#include "platform/mme/Mme.h"

namespace plat::mme {

class SystemMidi {
 public:
  explicit SystemMidi(clock::Clock& clock = clock::systemClock()) : mme_({&alsa_, &jack_}, clock) {}
  Mme& mme() { return mme_; }

 private:
  AlsaSeqMidi alsa_;
  JackMidi jack_;
  Mme mme_;  // declared last: closes its handles before the backings go
};

}  // namespace plat::mme
