#pragma once
// The engine: the per-block cycle between the audio device, the MIDI inputs, the player, the
// recorder and the plug-in; transport and tempo; MIDI event routing; starting and stopping the
// audio device for the user interface.
//
// Threads: the user-interface thread (wire, start, stop, tempo and transport requests, keyboard
// notes, player and recorder control), the audio thread (processBlock only), the MIDI input
// thread (onMidiInput), and the engine's own worker thread, which does on behalf of the audio
// thread what must not run there (reading the CPU times, saving a tempo the plug-in asked for).
#include <atomic>
#include <cstdint>
#include <string>

#include "audio/ChannelBufferPair.h"
#include "engine/CpuMeter.h"
#include "engine/VLVSTHostInterfaceBase.h"
#include "platform/thread/Thread.h"

struct AudioDeviceInfo;
struct VstMidiEvent;
class VLMMMidi;

namespace plat::clock {
class Clock;
}
namespace plat::ui {
class MessageBox;
}

class VLVSTHostInterface : public VLVSTHostInterfaceBase {
 public:
  // `clock` and `messageBox` must outlive the engine; so must what `wire` hands it, because the
  // worker may still be saving a plug-in tempo into the settings until the destructor has run.
  VLVSTHostInterface(plat::clock::Clock& clock, plat::ui::MessageBox& messageBox);
  ~VLVSTHostInterface() override;

  // ---- Engine cycle ----
  // Stores the references, takes the tempo and the learned tap trigger from the settings. Does
  // nothing when any argument is null. Called once, before any other operation.
  void wire(VLVSTHostLib* host, AudioBackends audioDevices, VLMidiBase* midi, HostSettings* settings);
  bool startEngine();
  void stopEngine();
  // The AudioCallback handed to the backends; `user` is the engine.
  // Audio thread: allocates nothing, locks nothing, never blocks.
  static bool processBlock(ChannelBufferPair* in, ChannelBufferPair* out, uint32_t frames,
                           void* user) noexcept;
  // Thread-driven backends stream on this routine's thread until the callback returns false.
  static void threadRoutine(VLVSTHostInterface* engine);

  // ---- Transport and tempo ----
  // Requests a tempo; may wait up to 52 x 5 ms while a block runs with an unapplied change.
  void setTempo(double bpm);
  double getTempo() const { return tempo.load(); }
  void setPlaying(bool play);
  bool isPlaying() const;
  // The plug-in's tempo request; any thread (see the definition).
  static void onPluginTempo(double bpm, void* user);
  // Starts the transport for the maker's two plug-ins that expect it running, unless a MIDI input
  // with clock sync will drive it. `pluginName` is the name the open sequence read.
  void applyStartupRule(const std::string& pluginName);

  // ---- MIDI routing ----
  bool startMidi();
  void stopMidi();
  // The MidiInputCallback of every opened input; `context` is the engine's InputContext.
  static bool onMidiInput(MidiMessage* message, void* context);
  // The plug-in's outgoing MIDI; `user` is the engine. Runs on the plug-in's calling thread.
  static void onPluginMidiOut(VstMidiEvent* event, void* user);
  bool computerKeyboardNote(uint8_t key, bool down);
  void sendAllNotesOff();
  // The Tempo dialog's Learn Tap button: arming discards the learned trigger, disarming only
  // clears the armed flag.
  void armLearnTap(bool arm);
  // The learned trigger as (status << 8) | data1, 0 for none. Safe on any thread while the MIDI
  // thread replaces the record.
  int32_t learnedTrigger();
  // Adds one event to the queue the plug-in gets at the next block. Any producer thread; never
  // called on the audio thread. False when the event was dropped (queue full).
  bool append(uint8_t status, uint8_t data1, uint8_t data2) noexcept;

  // What an opened input hands back to onMidiInput.
  struct InputContext {
    MidiDeviceInfo* device = nullptr;
    VLVSTHostInterface* engine = nullptr;
    int64_t lastClock = 0;  // counter reading of this input's previous clock, when haveClock
    bool haveClock = false;
    // Contexts alive, for tests that prove each close notification frees exactly one.
    static std::atomic<int> live;
    InputContext(MidiDeviceInfo* d, VLVSTHostInterface* e) : device(d), engine(e) { live.fetch_add(1); }
    ~InputContext() { live.fetch_sub(1); }
  };

  // ---- Player and recorder control (defined with the audio-file classes) ----
  uint32_t loadPlayerFile(const char* path);
  uint32_t createReaderFor(const char* path);
  bool setPlayerState(int32_t state, bool loop);
  void rewindPlayer();
  int32_t playerFileSampleRate();
  bool armRecorder(int32_t state, uint32_t capacity);
  void releaseRecorderBuffers();
  void releasePlayerBuffers();
  static bool createWriterFor(VLAudioFileBase** slot, const char* path, uint32_t frames, int32_t sampleRate);

  // Waits, polling every 5 ms, until no block is running.
  void waitForBlockEnd();
  // Blocks until the worker has done everything the audio thread asked of it so far (for tests and
  // for callers that read cpuLoad right after a burst of blocks).
  void drainWorker();

  CpuMeter cpuMeter;
  int32_t blockCounter = 0;         // audio thread
  std::atomic<int32_t> cpuLoad{0};  // percent; -1 until the meter has two samples
  int64_t perfFrequency;
  int64_t lastTapTime = 0;  // MIDI input thread only
  uint32_t tapIntervalSum = 0;
  int32_t tapCount = 0;

  plat::clock::Clock& clock;
  plat::ui::MessageBox& messageBox;

 private:
  // Audio thread: one block.
  bool runBlock(ChannelBufferPair* in, ChannelBufferPair* out, uint32_t frames) noexcept;
  void deliverEvents() noexcept;
  void feedPlayer(ChannelBufferPair* in, uint32_t frames) noexcept;
  void record(const ChannelBufferPair* out, uint32_t frames) noexcept;
  void updatePluginPosition() noexcept;
  void writeTransportFlag(bool play) noexcept;

  void handleSystemMessage(const MidiMessage& message, InputContext& context);
  // True when the message was a tap of the learned trigger (and is therefore not forwarded).
  bool checkTap(const MidiMessage& message);
  void countTap();
  void learnMessage(const MidiMessage& message);
  // Publishes `replacement` (may be null) as the learned trigger and frees the previous one once no
  // reader can still hold it.
  void replaceLearnedTap(MidiMessage* replacement);
  void applyPluginTempo(double bpm);

  // Ends the thread-driven stream's thread, asking a stream that still runs to stop.
  void endStreamThread();

  void workerLoop();
  void wakeWorker(uint32_t bits) noexcept;

  plat::thread::Thread engineThread_;  // thread-driven backends
  plat::thread::Thread worker_;
  static constexpr uint32_t kWorkCpu = 1, kWorkPluginTempo = 2, kWorkStop = 4;
  std::atomic<uint32_t> workPending_{0};
  std::atomic<uint64_t> workRequested_{0};
  std::atomic<uint64_t> workDone_{0};
  std::atomic<double> pluginTempoRequest_{0};
  // Set (under eventLock) when an event was stored since the last swap.
  std::atomic<bool> eventsWaiting_{false};
  // Readers of learnedTap currently inside their read section.
  std::atomic<int32_t> tapReaders_{0};
  // The MIDI object as the sender of the plug-in's MIDI, set when the output opened.
  std::atomic<VLMMMidi*> midiSender_{nullptr};
  // Fixed while the device runs; set by startEngine, read by the block cycle.
  double outputRate_ = 44100.0;
  bool blockIsSynth_ = false;
  bool blockHasInput_ = false;
  // The note each note key started (+1; 0 = none), so the release stops the same note even when
  // the octave changed while the key was held.
  uint8_t keyNote_[12] = {};
};
