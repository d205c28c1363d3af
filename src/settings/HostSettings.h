#pragma once
// The settings store: every host setting that outlives a run, and the one place that knows the
// registry layout under HKEY_CURRENT_USER\Software\Vellumar\<plug-in name>.
//
// Layout (B = keyPath):
//   B                       "contentpath" (never written here), "playerPositionX/Y" (writeDword)
//   B\Host                  the audio devices, "Tempo", the player/recorder options, "tempoTab"
//   B\Host\Midi Device <k>  one key per record of `midiDevices`, k = 0, 1, ... in list order
//
// Threads: `load` and `mergeMidiDevices` run once on the user-interface thread at start-up.
// `save` may be requested from the user-interface thread, the MIDI input thread and whatever
// thread the plug-in asks for a tempo from; saves are serialised and each one lands in the
// registry as one atomic batch. `tempo` and `tempoTab` are the fields written off the
// user-interface thread, so they are atomics. Every other field belongs to the user-interface
// thread, but a save on another thread reads them all: code that changes them (a text, a device
// pointer, a stored MIDI record) while other threads may save holds `lock()` around the change,
// and may call `save` inside it. Nothing here is for the audio thread.
#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "audio/AudioDeviceInfo.h"
#include "midi/MidiDeviceInfo.h"
#include "platform/registry/Registry.h"

class VLAudioBase;

class HostSettings {
 public:
  // The two audio backends side by side, as the main window holds them: [0] the WASAPI backend,
  // [1] the ASIO backend. The array and either entry may be null (an empty device list).
  using AudioBackends = VLAudioBase* const*;
  static constexpr int kWasapiBackend = 0;
  static constexpr int kAsioBackend = 1;

  // Builds keyPath from the plug-in's name and creates or opens the base key; when that fails
  // `key` stays null and the single-value accessors answer false. `registry` must outlive this.
  HostSettings(plat::registry::Registry& registry, const std::string& name, bool isSynth);
  ~HostSettings();
  HostSettings(const HostSettings&) = delete;
  HostSettings& operator=(const HostSettings&) = delete;

  // Reads the Host key: the audio devices (matched by name and type in the backends' lists), the
  // tempo, the player and recorder options and the stored MIDI device list. Without a Host key
  // everything keeps its initial value.
  void load(AudioBackends audioBackends);
  // Held while changing fields that a save on another thread reads; saves wait for it. The lock is
  // recursive, so the holder may save before letting go.
  std::unique_lock<std::recursive_mutex> lock() { return std::unique_lock<std::recursive_mutex>(saveMutex_); }
  // Writes the whole layout as one registry batch. Values of a device that is not set, and
  // "Midi Device" keys beyond the list, stay as they are. True when the batch reached the store.
  bool save();
  // Folds the present MIDI devices into `midiDevices`: a stored record with the same name and
  // direction learns the device's `id` and hands its `active` choice to the present record; a
  // device seen for the first time is appended.
  void mergeMidiDevices(const std::vector<std::unique_ptr<MidiDeviceInfo>>& devices);
  // The first stored record with the same name (same bytes) and direction, or null.
  MidiDeviceInfo* findMidiDevice(const MidiDeviceInfo* record) const;
  // True when some stored record is both active and synced to MIDI clock.
  bool hasActiveSyncInput() const;
  // Picks the system's default WASAPI shared-mode devices, or else the first ASIO devices. True
  // when an output device was chosen.
  bool chooseDefaultAudioDevices(AudioBackends audioBackends);

  // Single values of the base key. The reads store the value and answer true only when it exists
  // (and, for text, fits the 512-byte buffer); all three answer false when `key` is null.
  bool readString(const char* valueName, std::string& text);
  bool readDword(const char* valueName, int32_t& value);
  bool writeDword(const char* valueName, int32_t value);

  // "Tempo" text: general format with six significant digits and no trailing zeros (120 gives
  // "120", 133.25 gives "133.25").
  static std::string formatTempo(double bpm);
  // Parses a stored "Tempo" text. Only the whole text as a finite number above zero counts; the
  // caller falls back to the default for anything else.
  static bool parseTempo(const std::string& text, double& bpm);
  static constexpr double kDefaultTempo = 120.0;

  AudioDeviceInfo* audioInputDevice = nullptr;               // not owned; null = no input
  AudioDeviceInfo* audioOutputDevice = nullptr;              // not owned
  std::vector<std::unique_ptr<MidiDeviceInfo>> midiDevices;  // every MIDI device ever seen; only grows
  int32_t midiDeviceType = 1;                                // not persisted
  std::atomic<double> tempo{kDefaultTempo};
  // Learned tap trigger: (status << 8) | data1 of the learned message; 0 = none.
  std::atomic<int32_t> tempoTab{0};
  std::string samplePath;
  bool sampleLooped;
  bool sampleStartByMidi = false;
  bool sampleCalcTempo;
  int32_t sampleRecordOption = 0;
  int32_t sampleRecordMaxBars = 0;
  bool openPlayerOnStartup;
  bool startPlayerAutomatic = false;
  std::string keyPath;
  plat::registry::HKEY key = nullptr;

 private:
  void loadAudioGroup(plat::registry::HKEY host, AudioBackends audioBackends);
  void loadMidiGroup(plat::registry::HKEY host);
  void saveMidiDevice(plat::registry::HKEY host, int index, const MidiDeviceInfo& record);
  void saveLayout(plat::registry::HKEY host);

  plat::registry::Registry& registry_;
  std::recursive_mutex saveMutex_;
};
