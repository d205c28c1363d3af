#include "engine/EventBuffer.h"

#include <cstdlib>

EventBuffer::EventBuffer() {
  block_ = static_cast<Block*>(std::calloc(1, sizeof(Block)));
  if (!block_) return;
  for (uint32_t i = 0; i < kCapacity; ++i) {
    VstMidiEvent& e = block_->pool[i];
    e.type = kVstMidiType;
    e.byteSize = static_cast<int32_t>(sizeof(VstMidiEvent));
    e.flags = kVstMidiEventIsRealtime;
    block_->header.events[i] = reinterpret_cast<VstEvent*>(&e);
  }
  events = block_->header.asVstEvents();
  pool = block_->pool;
}

EventBuffer::~EventBuffer() {
  std::free(block_);
}

bool EventBuffer::append(uint8_t status, uint8_t data1, uint8_t data2) noexcept {
  if (!block_ || count >= capacity) return false;
  auto* e = reinterpret_cast<VstMidiEvent*>(block_->header.events[count]);
  ++count;
  e->deltaFrames = 0;
  e->midiData[0] = static_cast<char>(status);
  e->midiData[1] = static_cast<char>(data1);
  e->midiData[2] = static_cast<char>(data2);
  return true;
}
