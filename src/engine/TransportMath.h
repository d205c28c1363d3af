#pragma once
// The arithmetic of the transport: tempo from MIDI clock and from taps, the song-position steps, and
// the computer keyboard's note layout. Pure functions, so the rounding rules can be checked alone.
#include <cmath>
#include <cstdint>

namespace engine {

// MIDI clock runs at 24 per quarter note. The step is the single-precision value nearest 1/24,
// widened to double (0.041666668), and the free-wheel offset of a block without clock the one
// nearest 1/96 (0.010416667): plug-ins that compare positions expect exactly these values.
inline constexpr double kClockStep = static_cast<double>(1.0f / 24.0f);
inline constexpr double kFreewheelStep = static_cast<double>(1.0f / 96.0f);

// Taps further apart than this restart the average instead of counting.
inline constexpr uint32_t kTapResetMs = 1334;

// Whole milliseconds in `ticks` of a counter running at `frequency`, as ticks * 1000 / frequency
// would give, without the product overflowing for long gaps (a nanosecond counter overflows it
// after 107 days); saturates at UINT32_MAX, and a negative span counts as a long one.
inline uint32_t elapsedMs(int64_t ticks, int64_t frequency) {
  if (ticks < 0 || frequency <= 0) return UINT32_MAX;
  const int64_t ms = ticks / frequency * 1000 + ticks % frequency * 1000 / frequency;
  return ms > int64_t{UINT32_MAX} ? UINT32_MAX : static_cast<uint32_t>(ms);
}

// Song-position increment per frame: beats per second over frames per second.
inline double beatsPerSampleFor(double sampleRate, double tempo) {
  return 1.0 / (sampleRate / (tempo * (1.0 / 60.0)));
}

// Tempo from the summed length of 24 clock intervals, rounded to one decimal.
inline double clockTempo(double intervalSumMs) {
  double bpm = 60000.0 / intervalSumMs;
  return std::floor(bpm * 10.0 + 0.5) / 10.0;
}

// Tempo from the taps counted since the last pause: the mean interval in whole milliseconds
// (integer division), clamped to 45..250 BPM (a mean of 0 gives 250), rounded to two decimals.
inline double tapTempo(uint32_t intervalSumMs, int32_t count) {
  uint32_t average = intervalSumMs / static_cast<uint32_t>(count);
  double bpm = average == 0 ? 250.0 : 60000.0 / average;
  if (bpm < 45.0) bpm = 45.0;
  if (bpm > 250.0) bpm = 250.0;
  return std::floor(bpm * 100.0 + 0.5) / 100.0;
}

// Semitone above the octave's C for a note key of the letter rows, laid out like a piano octave
// (D = C, R = C sharp, F = D, ... L = B); -1 for every other key. Keys are virtual-key codes, the
// upper-case letter's character code.
inline int semitoneOfKey(uint8_t key) {
  switch (key) {
    case 'D':
      return 0;
    case 'R':
      return 1;
    case 'F':
      return 2;
    case 'T':
      return 3;
    case 'G':
      return 4;
    case 'H':
      return 5;
    case 'U':
      return 6;
    case 'J':
      return 7;
    case 'I':
      return 8;
    case 'K':
      return 9;
    case 'O':
      return 10;
    case 'L':
      return 11;
    default:
      return -1;
  }
}

}  // namespace engine
