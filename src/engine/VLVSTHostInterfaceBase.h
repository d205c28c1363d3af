#pragma once
// The state the engine shares between its block cycle (audio thread), its MIDI routing (MIDI input
// thread) and its control side (user-interface thread): transport and tempo, the MIDI queue, the
// player and the recorder.
//
// Cross-thread fields are std::atomic and written with exchanges (plain assignment to an atomic is
// a sequentially consistent store). The hand-over rule: the writer stores the value first and then
// raises the flag; the audio thread reads the value after it has seen the flag and clears the flag
// after applying it.
//
// Player and recorder arrays are allocated with new float[] and freed with delete[]; the player
// arrays hold playerLength + 1 samples (the last repeats sample 0, so interpolation at the end and
// at a loop seam reads a real sample). The control side replaces or frees them only while the
// matching state is 0 and after it has seen inProcess false.
#include <atomic>
#include <cstdint>

#include "engine/EventBuffer.h"

class VLVSTHostLib;
class VLAudioBase;
class VLMidiBase;
class HostSettings;
class VLAudioFileBase;
struct MidiMessage;
struct MidiDeviceInfo;

class VLVSTHostInterfaceBase {
 public:
  VLVSTHostInterfaceBase();
  virtual ~VLVSTHostInterfaceBase();
  VLVSTHostInterfaceBase(const VLVSTHostInterfaceBase&) = delete;
  VLVSTHostInterfaceBase& operator=(const VLVSTHostInterfaceBase&) = delete;

  // The two audio backends of the main window: [0] the WASAPI backend, [1] the ASIO backend.
  using AudioBackends = VLAudioBase* const*;
  static constexpr int kWasapiBackend = 0;
  static constexpr int kAsioBackend = 1;

  std::atomic<bool> learnTapArmed{false};
  // Owned. Replaced by the MIDI thread (learning), discarded by the user-interface thread (the
  // Tempo dialog) and read by both: other classes go through VLVSTHostInterface::armLearnTap and
  // learnedTrigger, never through the pointer (see replaceLearnedTap).
  std::atomic<MidiMessage*> learnedTap{nullptr};
  bool tapControlLow = false;
  std::atomic<bool> muteDeviceInput{false};
  VLVSTHostLib* host = nullptr;
  AudioBackends audioDevices = nullptr;
  VLMidiBase* midi = nullptr;
  HostSettings* settings = nullptr;
  std::atomic<bool> running{false};
  std::atomic<bool> stopRequest{false};
  std::atomic<bool> inProcess{false};
  std::atomic<bool> tempoChanged{false};
  std::atomic<double> tempo{120.0};
  double beatsPerSample = 0;                 // audio thread, and startEngine while stopped
  std::atomic<bool> transportChanged{true};  // the first block applies "stopped"
  std::atomic<bool> requestedPlaying{false};
  std::atomic<int32_t> recorderState{0};  // 0 idle, 1 recording, 2 armed (starts at the first MIDI events)
  float* recorderLeft = nullptr;          // owned, recorderCapacity floats
  float* recorderRight = nullptr;
  uint32_t recorderCapacity = 0;
  std::atomic<uint32_t> recorderFill{0};
  std::atomic<int32_t> playerState{0};  // 0 stopped, 1 playing, 2 armed (starts at the first MIDI events)
  std::atomic<bool> startPlayerAndRecorder{false};
  float* playerLeft = nullptr;  // owned, playerLength + 1 floats
  float* playerRight = nullptr;
  VLAudioFileBase* playerFile = nullptr;  // owned
  std::atomic<uint32_t> playerPlayed{0};  // output frames since the player started, also after the end
  uint32_t playerLength = 0;
  bool playerLoop = false;
  std::atomic<bool> playerFinished{false};
  MidiDeviceInfo* midiOutput = nullptr;  // not owned
  EventBuffer eventBuffers[2];
  EventBuffer* writeBuffer = &eventBuffers[0];
  uint8_t writeIndex = 0;
  // Taken by whoever touches writeBuffer: producers spin for it, the audio thread only tries it
  // (see VLVSTHostInterface::append and the event step of processBlock).
  std::atomic<bool> eventLock{false};
  double clockIntervalSum = 0;  // MIDI input thread only
  int32_t clockCount = 0;       // MIDI input thread only
  std::atomic<bool> syncActive{false};
  std::atomic<double> playerPosition{0};  // fractional read position in player frames
  double playerIncrement = 0;             // file rate / device rate
  std::atomic<double> syncPosition{0};    // quarter notes, from MIDI clock
  std::atomic<double> lastSyncPosition{0};
  std::atomic<double> songPosition{0};  // free-running, quarter notes
  uint8_t keyNoteState[128] = {};       // user-interface thread only
  int32_t keyOctave = 4;                // user-interface thread only, 0..10
};
