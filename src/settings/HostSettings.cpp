#include "settings/HostSettings.h"

#include <charconv>
#include <cmath>
#include <cstring>

#include "audio/VLAudioBase.h"

using namespace plat::registry;

namespace {

// Text values come back through a buffer of this size and are taken up to the first zero.
constexpr DWORD kTextBufferSize = 512;
// Default buffer size of a restored device whose stored size is missing.
constexpr int32_t kDefaultBufferSize = 1024;
// Types of the default devices chooseDefaultAudioDevices takes from the system (of the defined
// types this is WASAPI shared mode) and of the devices it takes first come, first served (ASIO).
constexpr int32_t kDefaultEndpointMask = 0x14;
constexpr int32_t kFirstComeMask = DeviceTypeASIO;

bool queryDword(Registry& r, HKEY key, const char* name, int32_t& value) {
  // A value shorter than four bytes reads as zero-extended rather than mixing in old bytes.
  uint8_t bytes[4] = {0, 0, 0, 0};
  DWORD size = sizeof bytes;
  if (r.queryValueEx(key, name, nullptr, bytes, &size) != ERROR_SUCCESS) return false;
  uint32_t v =
      uint32_t(bytes[0]) | uint32_t(bytes[1]) << 8 | uint32_t(bytes[2]) << 16 | uint32_t(bytes[3]) << 24;
  value = int32_t(v);
  return true;
}

bool queryString(Registry& r, HKEY key, const char* name, std::string& text) {
  char buffer[kTextBufferSize];
  DWORD size = sizeof buffer;
  if (r.queryValueEx(key, name, nullptr, reinterpret_cast<uint8_t*>(buffer), &size) != ERROR_SUCCESS)
    return false;
  if (size > sizeof buffer) size = sizeof buffer;
  // A value without a terminating zero (stored by something else) ends at its stored size.
  const void* zero = std::memchr(buffer, 0, size);
  text.assign(buffer, zero ? static_cast<const char*>(zero) - buffer : size);
  return true;
}

// Flags of the Host key: any non-zero value is set.
void queryHostFlag(Registry& r, HKEY key, const char* name, bool& flag) {
  int32_t v;
  if (queryDword(r, key, name, v)) flag = v != 0;
}

// Flags of a MIDI device key: the low byte decides.
void queryMidiFlag(Registry& r, HKEY key, const char* name, bool& flag) {
  int32_t v;
  if (queryDword(r, key, name, v)) flag = (v & 0xFF) != 0;
}

// Every write deletes the value first, so a value of another type never lingers under the name.
bool setDword(Registry& r, HKEY key, const char* name, int32_t value) {
  r.deleteValue(key, name);
  uint32_t v = uint32_t(value);
  const uint8_t bytes[4] = {uint8_t(v), uint8_t(v >> 8), uint8_t(v >> 16), uint8_t(v >> 24)};
  return r.setValueEx(key, name, REG_DWORD, bytes, sizeof bytes) == ERROR_SUCCESS;
}

bool setString(Registry& r, HKEY key, const char* name, const std::string& text) {
  r.deleteValue(key, name);
  return r.setValueEx(key, name, REG_SZ, reinterpret_cast<const uint8_t*>(text.c_str()),
                      DWORD(text.size() + 1)) == ERROR_SUCCESS;
}

void setFlag(Registry& r, HKEY key, const char* name, bool flag) {
  setDword(r, key, name, flag ? 1 : 0);
}

const std::vector<std::unique_ptr<AudioDeviceInfo>>* backendDevices(HostSettings::AudioBackends backends,
                                                                    int which) {
  if (!backends || !backends[which]) return nullptr;
  return &backends[which]->devices;
}

AudioDeviceInfo* findAudioDevice(const std::vector<std::unique_ptr<AudioDeviceInfo>>& list, bool isInput,
                                 int32_t type, const std::string& name) {
  for (const auto& record : list) {
    if (record->isInput == isInput && record->type == type && record->name == name) return record.get();
  }
  return nullptr;
}

// Channels and buffer size of a restored device; the channels keep the record's own values when
// missing, the buffer size becomes 1024.
void loadDeviceOptions(Registry& r, HKEY host, const char* prefix, AudioDeviceInfo& device) {
  const std::string p = prefix;
  queryDword(r, host, (p + " Left").c_str(), device.leftChannel);
  queryDword(r, host, (p + " Right").c_str(), device.rightChannel);
  if (!queryDword(r, host, (p + " BufferSize").c_str(), device.bufferSize))
    device.bufferSize = kDefaultBufferSize;
}

void saveDevice(Registry& r, HKEY host, const char* prefix, const AudioDeviceInfo& device) {
  const std::string p = prefix;
  setDword(r, host, "AudioDeviceType", device.type);
  setString(r, host, (p + " Name").c_str(), device.name);
  setDword(r, host, (p + " Left").c_str(), device.leftChannel);
  setDword(r, host, (p + " Right").c_str(), device.rightChannel);
  setDword(r, host, (p + " BufferSize").c_str(), device.bufferSize);
}

std::string midiDeviceKeyName(int index) {
  return "Midi Device " + std::to_string(index);
}

}  // namespace

HostSettings::HostSettings(Registry& registry, const std::string& name, bool isSynth)
    : sampleLooped(!isSynth),
      sampleCalcTempo(!isSynth),
      openPlayerOnStartup(!isSynth),
      keyPath("Software\\Vellumar\\" + name),
      registry_(registry) {
  HKEY opened = nullptr;
  if (registry_.createKeyEx(HKEY_CURRENT_USER, keyPath.c_str(), KEY_ALL_ACCESS, &opened) == ERROR_SUCCESS) {
    key = opened;
  }
}

HostSettings::~HostSettings() {
  if (key) registry_.closeKey(key);
}

void HostSettings::load(AudioBackends audioBackends) {
  HKEY host = nullptr;
  if (registry_.openKey(HKEY_CURRENT_USER, (keyPath + "\\Host").c_str(), &host) != ERROR_SUCCESS) return;
  loadAudioGroup(host, audioBackends);
  loadMidiGroup(host);
  queryString(registry_, host, "samplePath", samplePath);
  queryHostFlag(registry_, host, "sampleLooped", sampleLooped);
  queryHostFlag(registry_, host, "sampleStartByMidi", sampleStartByMidi);
  queryHostFlag(registry_, host, "sampleCalcTempo", sampleCalcTempo);
  queryDword(registry_, host, "sampleRecordOption", sampleRecordOption);
  queryDword(registry_, host, "sampleRecordMaxBars", sampleRecordMaxBars);
  queryHostFlag(registry_, host, "openPlayerOnStartup", openPlayerOnStartup);
  queryHostFlag(registry_, host, "startPlayerAutomatic", startPlayerAutomatic);
  int32_t tab;
  if (queryDword(registry_, host, "tempoTab", tab)) tempoTab.store(tab);
  registry_.closeKey(host);
}

void HostSettings::loadAudioGroup(HKEY host, AudioBackends audioBackends) {
  int32_t type;
  // Without a known device type nothing of the audio group counts, the tempo included.
  if (!queryDword(registry_, host, "AudioDeviceType", type)) return;
  if (type != DeviceTypeASIO && type != DeviceTypeWASAPIShared && type != DeviceTypeWASAPIExclusive) return;

  const auto* list = backendDevices(audioBackends, type == DeviceTypeASIO ? kAsioBackend : kWasapiBackend);
  std::string inputName;
  const bool haveInputName = queryString(registry_, host, "AudioDeviceIn Name", inputName);
  std::string outputName;
  bool haveOutputName = queryString(registry_, host, "AudioDeviceOut Name", outputName);
  if (!haveOutputName && haveInputName) {
    // Layouts saved with an input only name the output through the input's name.
    outputName = inputName;
    haveOutputName = true;
  }
  if (list) {
    audioInputDevice = haveInputName ? findAudioDevice(*list, true, type, inputName) : nullptr;
    audioOutputDevice = haveOutputName ? findAudioDevice(*list, false, type, outputName) : nullptr;
  }
  if (audioInputDevice) loadDeviceOptions(registry_, host, "AudioDeviceIn", *audioInputDevice);
  if (audioOutputDevice) loadDeviceOptions(registry_, host, "AudioDeviceOut", *audioOutputDevice);

  std::string text;
  double bpm = kDefaultTempo;
  // A text that is not a usable tempo is treated like a missing one.
  if (!queryString(registry_, host, "Tempo", text) || !parseTempo(text, bpm)) bpm = kDefaultTempo;
  tempo.store(bpm);
}

void HostSettings::loadMidiGroup(HKEY host) {
  // The first missing index ends the list.
  for (int k = 0;; ++k) {
    HKEY device = nullptr;
    if (registry_.openKey(host, midiDeviceKeyName(k).c_str(), &device) != ERROR_SUCCESS) return;
    auto record = std::make_unique<MidiDeviceInfo>();
    record->id = -1;
    record->type = kMidiDeviceTypeMme;
    queryString(registry_, device, "name", record->name);
    queryMidiFlag(registry_, device, "in", record->in);
    queryMidiFlag(registry_, device, "active", record->active);
    queryMidiFlag(registry_, device, "sync", record->sync);
    queryMidiFlag(registry_, device, "syncWhilePlaying", record->syncWhilePlaying);
    queryDword(registry_, device, "delay", record->delay);
    queryMidiFlag(registry_, device, "filterCCMessages", record->filterCCMessages);
    queryMidiFlag(registry_, device, "filterProgramChanges", record->filterProgramChanges);
    queryDword(registry_, device, "channel", record->channel);
    queryDword(registry_, device, "keyboardRangeLeft", record->keyboardRangeLeft);
    queryDword(registry_, device, "keyboardRangeRight", record->keyboardRangeRight);
    midiDevices.push_back(std::move(record));
    registry_.closeKey(device);
  }
}

bool HostSettings::save() {
  // Requests come from several threads; one save at a time, and each one a single batch so a
  // crash in the middle leaves the previous layout whole.
  std::lock_guard<std::recursive_mutex> hold(saveMutex_);
  registry_.beginBatch();
  HKEY host = nullptr;
  const bool opened = registry_.createKeyEx(HKEY_CURRENT_USER, (keyPath + "\\Host").c_str(), KEY_ALL_ACCESS,
                                            &host) == ERROR_SUCCESS;
  if (opened) {
    saveLayout(host);
    registry_.closeKey(host);
  }
  const bool stored = registry_.endBatch() == ERROR_SUCCESS;
  return opened && stored;
}

void HostSettings::saveLayout(HKEY host) {
  // With both devices set the output's type is written last and wins.
  if (audioInputDevice) saveDevice(registry_, host, "AudioDeviceIn", *audioInputDevice);
  if (audioOutputDevice) saveDevice(registry_, host, "AudioDeviceOut", *audioOutputDevice);
  const double bpm = tempo.load();
  double check;
  // A tempo that could not be read back (a plug-in may ask for anything) leaves the stored one.
  const std::string text = formatTempo(bpm);
  if (parseTempo(text, check)) setString(registry_, host, "Tempo", text);

  for (size_t k = 0; k < midiDevices.size(); ++k) saveMidiDevice(host, int(k), *midiDevices[k]);

  setString(registry_, host, "samplePath", samplePath);
  setFlag(registry_, host, "sampleLooped", sampleLooped);
  setFlag(registry_, host, "sampleStartByMidi", sampleStartByMidi);
  setFlag(registry_, host, "sampleCalcTempo", sampleCalcTempo);
  setDword(registry_, host, "sampleRecordOption", sampleRecordOption);
  setDword(registry_, host, "sampleRecordMaxBars", sampleRecordMaxBars);
  setFlag(registry_, host, "openPlayerOnStartup", openPlayerOnStartup);
  setFlag(registry_, host, "startPlayerAutomatic", startPlayerAutomatic);
  setDword(registry_, host, "tempoTab", tempoTab.load());
}

void HostSettings::saveMidiDevice(HKEY host, int index, const MidiDeviceInfo& record) {
  HKEY device = nullptr;
  // A key that cannot be created skips its record; the index still counts it.
  if (registry_.createKeyEx(host, midiDeviceKeyName(index).c_str(), KEY_ALL_ACCESS, &device) != ERROR_SUCCESS)
    return;
  setString(registry_, device, "name", record.name);
  setFlag(registry_, device, "in", record.in);
  setFlag(registry_, device, "active", record.active);
  setFlag(registry_, device, "sync", record.sync);
  setFlag(registry_, device, "syncWhilePlaying", record.syncWhilePlaying);
  setDword(registry_, device, "delay", record.delay);
  setFlag(registry_, device, "filterCCMessages", record.filterCCMessages);
  setFlag(registry_, device, "filterProgramChanges", record.filterProgramChanges);
  setDword(registry_, device, "channel", record.channel);
  setDword(registry_, device, "keyboardRangeLeft", record.keyboardRangeLeft);
  setDword(registry_, device, "keyboardRangeRight", record.keyboardRangeRight);
  registry_.closeKey(device);
}

void HostSettings::mergeMidiDevices(const std::vector<std::unique_ptr<MidiDeviceInfo>>& devices) {
  for (const auto& present : devices) {
    if (!present) continue;
    if (MidiDeviceInfo* stored = findMidiDevice(present.get())) {
      stored->id = present->id;
      present->active = stored->active;
      continue;
    }
    auto record = std::make_unique<MidiDeviceInfo>();
    record->id = present->id;
    record->type = present->type;
    record->name = present->name;
    record->in = present->in;
    record->active = present->active;
    midiDevices.push_back(std::move(record));
  }
}

MidiDeviceInfo* HostSettings::findMidiDevice(const MidiDeviceInfo* record) const {
  if (!record) return nullptr;
  for (const auto& stored : midiDevices) {
    if (stored->in == record->in && stored->name == record->name) return stored.get();
  }
  return nullptr;
}

bool HostSettings::hasActiveSyncInput() const {
  for (const auto& stored : midiDevices) {
    if (stored->active && stored->sync) return true;
  }
  return false;
}

bool HostSettings::chooseDefaultAudioDevices(AudioBackends audioBackends) {
  const auto* wasapi = backendDevices(audioBackends, kWasapiBackend);
  const auto* list = (wasapi && !wasapi->empty()) ? wasapi : backendDevices(audioBackends, kAsioBackend);
  if (!list) return false;
  bool chosen = false;
  for (const auto& record : *list) {
    if (record->isDefault && (record->type & kDefaultEndpointMask) != 0) {
      if (record->isInput) {
        audioInputDevice = record.get();
        if (audioOutputDevice) break;
      } else {
        audioOutputDevice = record.get();
        chosen = true;
        if (audioInputDevice) break;
      }
    } else if ((record->type & kFirstComeMask) != 0) {
      if (record->isInput) {
        if (!audioInputDevice) audioInputDevice = record.get();
      } else if (!audioOutputDevice) {
        audioOutputDevice = record.get();
        chosen = true;
      }
      if (audioInputDevice && audioOutputDevice) break;
    }
  }
  return chosen;
}

bool HostSettings::readString(const char* valueName, std::string& text) {
  return key && queryString(registry_, key, valueName, text);
}

bool HostSettings::readDword(const char* valueName, int32_t& value) {
  return key && queryDword(registry_, key, valueName, value);
}

bool HostSettings::writeDword(const char* valueName, int32_t value) {
  return key && setDword(registry_, key, valueName, value);
}

std::string HostSettings::formatTempo(double bpm) {
  char text[64];
  auto result = std::to_chars(text, text + sizeof text, bpm, std::chars_format::general, 6);
  if (result.ec != std::errc()) return std::string();
  return std::string(text, result.ptr);
}

bool HostSettings::parseTempo(const std::string& text, double& bpm) {
  double value = 0.0;
  const char* end = text.data() + text.size();
  auto result = std::from_chars(text.data(), end, value);
  if (result.ec != std::errc() || result.ptr != end) return false;
  if (!std::isfinite(value) || value <= 0.0) return false;
  bpm = value;
  return true;
}
