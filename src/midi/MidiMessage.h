#pragma once
// One short MIDI message as handed to an input callback or to VLMMMidi::sendShortMessage.
#include <cstdint>

struct MidiMessage {
  // Input: channel messages (0x80..0xEF) with the channel bits cleared, system messages
  // (0xF0..0xFF) whole. Outgoing: the whole status byte, channel included.
  uint8_t status = 0;
  uint8_t statusHigh = 0;  // input only: status byte AND 0xF0
  uint8_t channel = 0;     // input only: status byte AND 0x0F
  uint8_t data1 = 0;       // input: AND 0x7F
  uint8_t data2 = 0;       // input: AND 0x7F
  // Input only: milliseconds since the previous input message of the same MIDI object, from any of
  // its inputs; 0.0 for the first one.
  double deltaMs = 0.0;
};

// An input message reaches the caller through this function, with the caller's context pointer.
// The message record is shared and rewritten for the next message: copy what must be kept. A
// message with `status` and `statusHigh` both 0 is the close notification of the input; it comes
// exactly once per opened input, after its last data message, and after it the context pointer is
// never used again. The result is ignored.
using MidiInputCallback = bool (*)(MidiMessage* message, void* context);
