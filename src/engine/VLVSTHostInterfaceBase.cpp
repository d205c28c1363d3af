#include "engine/VLVSTHostInterfaceBase.h"

#include "audiofile/VLAudioFileBase.h"
#include "midi/MidiMessage.h"

VLVSTHostInterfaceBase::VLVSTHostInterfaceBase() = default;

VLVSTHostInterfaceBase::~VLVSTHostInterfaceBase() {
  delete learnedTap.exchange(nullptr);
  delete[] recorderLeft;
  delete[] recorderRight;
  delete[] playerLeft;
  delete[] playerRight;
  delete playerFile;
}
