#pragma once
// The multimedia MIDI records, codes and handle types the host uses, with the published values.
#include <cstddef>
#include <cstdint>

namespace plat::mme {

using MMRESULT = uint32_t;
inline constexpr MMRESULT MMSYSERR_NOERROR = 0;
inline constexpr MMRESULT MMSYSERR_ERROR = 1;
inline constexpr MMRESULT MMSYSERR_BADDEVICEID = 2;
inline constexpr MMRESULT MMSYSERR_ALLOCATED = 4;
inline constexpr MMRESULT MMSYSERR_INVALHANDLE = 5;
inline constexpr MMRESULT MMSYSERR_NODRIVER = 6;
inline constexpr MMRESULT MMSYSERR_NOMEM = 7;
inline constexpr MMRESULT MMSYSERR_INVALFLAG = 10;
inline constexpr MMRESULT MMSYSERR_INVALPARAM = 11;
inline constexpr MMRESULT MIDIERR_NOTREADY = 67;

// The mapper's device id; as an int32 it is -1.
inline constexpr uint32_t MIDI_MAPPER = 0xFFFFFFFFu;

// Open flags.
inline constexpr uint32_t CALLBACK_NULL = 0x00000000u;
inline constexpr uint32_t CALLBACK_FUNCTION = 0x00030000u;

// Input notifications.
inline constexpr uint32_t MIM_OPEN = 0x3C1;
inline constexpr uint32_t MIM_CLOSE = 0x3C2;
inline constexpr uint32_t MIM_DATA = 0x3C3;
inline constexpr uint32_t MIM_LONGDATA = 0x3C4;
inline constexpr uint32_t MIM_ERROR = 0x3C5;
inline constexpr uint32_t MIM_LONGERROR = 0x3C6;

// Product names are zero-terminated in 32 bytes: at most 31 characters.
inline constexpr size_t MAXPNAMELEN = 32;

#pragma pack(push, 4)
struct MIDIINCAPSA {
  uint16_t wMid;
  uint16_t wPid;
  uint32_t vDriverVersion;
  char szPname[MAXPNAMELEN];
  uint32_t dwSupport;
};
struct MIDIOUTCAPSA {
  uint16_t wMid;
  uint16_t wPid;
  uint32_t vDriverVersion;
  char szPname[MAXPNAMELEN];
  uint16_t wTechnology;
  uint16_t wVoices;
  uint16_t wNotes;
  uint16_t wChannelMask;
  uint32_t dwSupport;
};
#pragma pack(pop)
static_assert(sizeof(MIDIINCAPSA) == 44);
static_assert(sizeof(MIDIOUTCAPSA) == 52);
static_assert(offsetof(MIDIINCAPSA, szPname) == 8 && offsetof(MIDIOUTCAPSA, szPname) == 8);

// Output technology codes.
inline constexpr uint16_t MOD_MIDIPORT = 1;
inline constexpr uint16_t MOD_MAPPER = 5;

// Opaque handles; they stay valid from a successful open to the matching close.
struct MidiInHandle;
struct MidiOutHandle;
using HMIDIIN = MidiInHandle*;
using HMIDIOUT = MidiOutHandle*;

// The input callback: handle, notification code, the instance data given to midiInOpen, and two
// parameters. For MIM_DATA the first packs status (bits 0-7), first data byte (8-15) and second
// data byte (16-23); the second is the time in milliseconds since midiInStart.
using MidiInProc = void (*)(HMIDIIN handle, uint32_t msg, uintptr_t instance, uintptr_t param1,
                            uintptr_t param2);

}  // namespace plat::mme
