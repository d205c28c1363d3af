#pragma once
// Events between host and plug-in (effProcessEvents into the plug-in, audioMasterProcessEvents
// out of it), in the published 64-bit layouts.
#include <cstddef>
#include <cstdint>

// VstEvent::type.
enum : int32_t {
  kVstMidiType = 1,
  kVstSysExType = 6,
};

// VstMidiEvent::flags.
enum : int32_t {
  kVstMidiEventIsRealtime = 1 << 0,
};

// The common head of every event; `byteSize` counts the bytes of the whole record.
struct VstEvent {
  int32_t type;
  int32_t byteSize;
  int32_t deltaFrames;  // frames from the start of the current block
  int32_t flags;
  char data[16];
};

struct VstMidiEvent {
  int32_t type;  // kVstMidiType
  int32_t byteSize;
  int32_t deltaFrames;
  int32_t flags;
  int32_t noteLength;
  int32_t noteOffset;
  char midiData[4];  // status, data 1, data 2, zero
  char detune;
  char noteOffVelocity;
  char reserved1;
  char reserved2;
};

struct VstMidiSysexEvent {
  int32_t type;  // kVstSysExType
  int32_t byteSize;
  int32_t deltaFrames;
  int32_t flags;
  int32_t dumpBytes;  // bytes at sysexDump
  intptr_t resvd1;
  char* sysexDump;
  intptr_t resvd2;
};

// A list of events: `numEvents` pointers at `events`. The published record declares two entries;
// the real list is as long as the sender allocated.
struct VstEvents {
  int32_t numEvents;
  intptr_t reserved;
  VstEvent* events[2];
};

static_assert(sizeof(VstEvent) == 32);
static_assert(sizeof(VstMidiEvent) == 32);
static_assert(offsetof(VstMidiEvent, deltaFrames) == 8);
static_assert(offsetof(VstMidiEvent, flags) == 12);
static_assert(offsetof(VstMidiEvent, midiData) == 24);
static_assert(offsetof(VstMidiEvent, detune) == 28);
static_assert(sizeof(VstMidiSysexEvent) == 48);
static_assert(offsetof(VstMidiSysexEvent, dumpBytes) == 16);
static_assert(offsetof(VstMidiSysexEvent, sysexDump) == 32);
static_assert(offsetof(VstEvents, reserved) == 8);
static_assert(offsetof(VstEvents, events) == 16);

// A VstEvents with room for `Capacity` pointers, laid out like the published record so that
// `asVstEvents()` can be handed to the plug-in (or to the host callback).
template <size_t Capacity>
struct VstEventsN {
  int32_t numEvents;
  intptr_t reserved;
  VstEvent* events[Capacity];

  VstEvents* asVstEvents() { return reinterpret_cast<VstEvents*>(this); }
};
static_assert(offsetof(VstEventsN<1>, events) == offsetof(VstEvents, events));

// One allocation holding a list header with room for Capacity + 1 pointers (the last stays null)
// followed by a pool of Capacity MIDI events: the shape of the engine's event buffers, which are
// filled on the MIDI thread and handed to the plug-in on the audio thread without allocating.
template <size_t Capacity>
struct VstMidiEventBlock {
  VstEventsN<Capacity + 1> header;
  VstMidiEvent pool[Capacity];
};
static_assert(sizeof(VstMidiEventBlock<256>) == 10264);
static_assert(offsetof(VstMidiEventBlock<256>, pool) == 16 + 257 * 8);
