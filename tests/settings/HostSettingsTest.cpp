// The settings store over both registry backings: the in-memory one and the durable file, where
// every "next run" is a fresh registry opened over the same hive file.
#include "settings/HostSettings.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cmath>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <random>
#include <thread>

#include "settings/SettingsFixture.h"
#include "support/JackServer.h"

extern char** environ;

using namespace settingstest;

namespace {

enum class Backing { Memory, File };

std::unique_ptr<MidiDeviceInfo> presentDevice(int32_t id, const std::string& name, bool in) {
  auto d = std::make_unique<MidiDeviceInfo>();
  d->id = id;
  d->name = name;
  d->in = in;
  d->active = in;
  return d;
}

class HostSettingsTest : public ::testing::TestWithParam<Backing> {
 protected:
  static constexpr const char* kName = "TestPlug";
  const std::string base = "Software\\Vellumar\\TestPlug";
  const std::string host = base + "\\Host";

  void SetUp() override { open(); }

  void open() {
    if (GetParam() == Backing::Memory) {
      if (!memory_) memory_ = makeMemoryRegistry();
      registry_ = memory_.get();
    } else {
      FileRegistryOptions options;
      options.userHivePath = dir_.file("user.reg");
      options.machineHivePaths[0] = dir_.file("machine.reg");
      file_ = openFileRegistry(options);
      registry_ = file_.get();
    }
    ASSERT_NE(registry_, nullptr);
    recording_ = std::make_unique<RecordingRegistry>(*registry_);
  }
  // The next run of the host: the file backing starts again from what reached the disk.
  void restart() {
    recording_.reset();
    if (GetParam() == Backing::File) {
      file_.reset();
      registry_ = nullptr;
    }
    open();
  }
  RecordingRegistry& reg() { return *recording_; }
  std::unique_ptr<HostSettings> make(bool isSynth = false, const std::string& name = kName) {
    return std::make_unique<HostSettings>(reg(), name, isSynth);
  }

  ListBackend wasapi;
  ListBackend asio;
  VLAudioBase* backends[2] = {&wasapi, &asio};

 private:
  testsupport::TempDir dir_;
  std::unique_ptr<Registry> memory_;
  std::unique_ptr<Registry> file_;
  Registry* registry_ = nullptr;
  std::unique_ptr<RecordingRegistry> recording_;
};

INSTANTIATE_TEST_SUITE_P(Backings, HostSettingsTest, ::testing::Values(Backing::Memory, Backing::File),
                         [](const auto& info) { return info.param == Backing::Memory ? "Memory" : "File"; });

TEST_P(HostSettingsTest, FirstRunStartsFromTheDefaultsOfEffectOrSynth) {
  for (bool isSynth : {false, true}) {
    SCOPED_TRACE(isSynth ? "synth" : "effect");
    const std::string name = isSynth ? "FreshSynth" : "FreshEffect";
    auto s = make(isSynth, name);
    s->load(backends);
    EXPECT_EQ(s->keyPath, "Software\\Vellumar\\" + name);
    EXPECT_NE(s->key, nullptr);
    EXPECT_EQ(s->audioInputDevice, nullptr);
    EXPECT_EQ(s->audioOutputDevice, nullptr);
    EXPECT_EQ(s->tempo, 120.0);
    EXPECT_EQ(s->tempoTab, 0);
    EXPECT_EQ(s->midiDeviceType, 1);
    EXPECT_EQ(s->samplePath, "");
    EXPECT_EQ(s->sampleLooped, !isSynth);
    EXPECT_EQ(s->sampleCalcTempo, !isSynth);
    EXPECT_EQ(s->openPlayerOnStartup, !isSynth);
    EXPECT_FALSE(s->sampleStartByMidi);
    EXPECT_FALSE(s->startPlayerAutomatic);
    EXPECT_EQ(s->sampleRecordOption, 0);
    EXPECT_EQ(s->sampleRecordMaxBars, 0);

    // Two inputs, one output and the mapper are present: one stored record each.
    std::vector<std::unique_ptr<MidiDeviceInfo>> present;
    present.push_back(presentDevice(0, "Keys", true));
    present.push_back(presentDevice(1, "Pads", true));
    present.push_back(presentDevice(0, "Synth Out", false));
    present.push_back(presentDevice(-1, "Mapper", false));
    s->mergeMidiDevices(present);
    ASSERT_EQ(s->midiDevices.size(), 4u);
    for (size_t i = 0; i < present.size(); ++i) {
      const MidiDeviceInfo& stored = *s->midiDevices[i];
      EXPECT_EQ(stored.name, present[i]->name);
      EXPECT_EQ(stored.id, present[i]->id);
      EXPECT_EQ(stored.in, present[i]->in);
      EXPECT_EQ(stored.active, present[i]->in);
      EXPECT_EQ(stored.keyboardRangeRight, 127);
      EXPECT_FALSE(stored.sync);
    }
  }
}

// "AudioDeviceType" decides whether anything of the audio group counts and which list is searched;
// the output falls back to the input's name.
TEST_P(HostSettingsTest, DeviceTypeSelectsTheListAndGatesTheTempo) {
  AudioDeviceInfo* asioIn = asio.add(DeviceTypeASIO, true, "Dev");
  AudioDeviceInfo* asioOut = asio.add(DeviceTypeASIO, false, "Dev");
  AudioDeviceInfo* exclIn = wasapi.add(DeviceTypeWASAPIExclusive, true, "Dev");
  AudioDeviceInfo* exclOut = wasapi.add(DeviceTypeWASAPIExclusive, false, "Dev");
  AudioDeviceInfo* sharedIn = wasapi.add(DeviceTypeWASAPIShared, true, "Dev");
  AudioDeviceInfo* sharedOut = wasapi.add(DeviceTypeWASAPIShared, false, "Dev");
  struct Case {
    int64_t type;  // -1: value missing
    AudioDeviceInfo* in;
    AudioDeviceInfo* out;
    double tempo;
  } cases[] = {
      {-1, nullptr, nullptr, 120.0}, {3, nullptr, nullptr, 120.0}, {6, nullptr, nullptr, 120.0},
      {0, nullptr, nullptr, 120.0},  {2, asioIn, asioOut, 133.25}, {4, sharedIn, sharedOut, 133.25},
      {8, exclIn, exclOut, 133.25},
  };
  int n = 0;
  for (const Case& c : cases) {
    SCOPED_TRACE("type " + std::to_string(c.type));
    const std::string name = "TypeCase" + std::to_string(n++);
    const std::string h = "Software\\Vellumar\\" + name + "\\Host";
    if (c.type >= 0) putDword(reg(), h, "AudioDeviceType", uint32_t(c.type));
    putText(reg(), h, "AudioDeviceIn Name", "Dev");
    putText(reg(), h, "Tempo", "133.25");
    auto s = make(false, name);
    s->load(backends);
    EXPECT_EQ(s->audioInputDevice, c.in);
    EXPECT_EQ(s->audioOutputDevice, c.out);
    EXPECT_EQ(s->tempo, c.tempo);
  }
}

TEST_P(HostSettingsTest, RestoredDevicesTakeTheirStoredChannelsAndBufferSize) {
  AudioDeviceInfo* in = asio.add(DeviceTypeASIO, true, "Card");
  AudioDeviceInfo* out = asio.add(DeviceTypeASIO, false, "Card");
  out->leftChannel = 5;
  out->rightChannel = 6;
  putDword(reg(), host, "AudioDeviceType", 2);
  putText(reg(), host, "AudioDeviceIn Name", "Card");
  putDword(reg(), host, "AudioDeviceIn Left", 3);
  putDword(reg(), host, "AudioDeviceIn Right", 4);
  putText(reg(), host, "AudioDeviceOut Name", "Card");
  putDword(reg(), host, "AudioDeviceOut BufferSize", 128);
  restart();
  auto s = make();
  s->load(backends);
  ASSERT_EQ(s->audioInputDevice, in);
  ASSERT_EQ(s->audioOutputDevice, out);
  EXPECT_EQ(in->leftChannel, 3);
  EXPECT_EQ(in->rightChannel, 4);
  EXPECT_EQ(in->bufferSize, 1024);  // missing: 1024, not the record's 512
  EXPECT_EQ(out->leftChannel, 5);   // missing: the record's own values
  EXPECT_EQ(out->rightChannel, 6);
  EXPECT_EQ(out->bufferSize, 128);
}

TEST_P(HostSettingsTest, NamesThatNoPresentDeviceCarriesRestoreNothing) {
  wasapi.add(DeviceTypeWASAPIShared, true, "Mic");
  wasapi.add(DeviceTypeWASAPIShared, false, "Speakers");
  putDword(reg(), host, "AudioDeviceType", 4);
  putText(reg(), host, "AudioDeviceIn Name", "Unplugged Mic");
  putText(reg(), host, "AudioDeviceOut Name", "Unplugged Speakers");
  putText(reg(), host, "Tempo", "99");
  auto s = make();
  s->load(backends);
  EXPECT_EQ(s->audioInputDevice, nullptr);
  EXPECT_EQ(s->audioOutputDevice, nullptr);
  EXPECT_EQ(s->tempo, 99.0);
}

TEST_P(HostSettingsTest, MidiKeysStopAtTheFirstGapAndHigherKeysSurviveTheSave) {
  for (int k : {0, 1, 3}) {
    const std::string key = host + "\\Midi Device " + std::to_string(k);
    putText(reg(), key, "name", "Device" + std::to_string(k));
    putDword(reg(), key, "in", 1);
    putDword(reg(), key, "channel", uint32_t(k + 7));
  }
  restart();
  auto s = make();
  s->load(backends);
  ASSERT_EQ(s->midiDevices.size(), 2u);
  EXPECT_EQ(s->midiDevices[0]->name, "Device0");
  EXPECT_EQ(s->midiDevices[1]->name, "Device1");
  EXPECT_EQ(s->midiDevices[1]->channel, 8);

  std::vector<std::unique_ptr<MidiDeviceInfo>> present;
  present.push_back(presentDevice(0, "New Keys", true));
  s->mergeMidiDevices(present);
  ASSERT_TRUE(s->save());
  s.reset();
  restart();
  EXPECT_EQ(getText(reg(), host + "\\Midi Device 0", "name"), "Device0");
  EXPECT_EQ(getText(reg(), host + "\\Midi Device 1", "name"), "Device1");
  EXPECT_EQ(getText(reg(), host + "\\Midi Device 2", "name"), "New Keys");
  EXPECT_EQ(getDword(reg(), host + "\\Midi Device 2", "active"), 1);
  EXPECT_EQ(getText(reg(), host + "\\Midi Device 3", "name"), "Device3");
  EXPECT_EQ(getDword(reg(), host + "\\Midi Device 3", "channel"), 10);

  // Now the list reaches key 3 and takes it over.
  auto next = make();
  next->load(backends);
  EXPECT_EQ(next->midiDevices.size(), 4u);
}

TEST_P(HostSettingsTest, MidiRecordsReadDefaultsAndTheLowByteOfFlags) {
  const std::string k0 = host + "\\Midi Device 0";
  const std::string k1 = host + "\\Midi Device 1";
  putText(reg(), k0, "name", "Bare");
  putText(reg(), k1, "name", "Flags");
  putDword(reg(), k1, "in", 0x100);      // low byte 0: clear
  putDword(reg(), k1, "active", 0x101);  // low byte 1: set
  putDword(reg(), k1, "sync", 0xFF00);
  putDword(reg(), k1, "filterCCMessages", 0x80);
  putDword(reg(), k1, "delay", uint32_t(-10));
  putDword(reg(), k1, "keyboardRangeRight", 64);
  putDword(reg(), host, "sampleStartByMidi", 0x100);  // Host-key flags: any non-zero value
  putDword(reg(), host, "sampleLooped", 0);
  restart();
  auto s = make();
  s->load(backends);
  ASSERT_EQ(s->midiDevices.size(), 2u);
  const MidiDeviceInfo& bare = *s->midiDevices[0];
  EXPECT_EQ(bare.id, -1);
  EXPECT_EQ(bare.type, 1);
  EXPECT_FALSE(bare.in);
  EXPECT_FALSE(bare.active);
  EXPECT_EQ(bare.keyboardRangeLeft, 0);
  EXPECT_EQ(bare.keyboardRangeRight, 127);
  EXPECT_EQ(bare.channel, 0);
  const MidiDeviceInfo& flags = *s->midiDevices[1];
  EXPECT_FALSE(flags.in);
  EXPECT_TRUE(flags.active);
  EXPECT_FALSE(flags.sync);
  EXPECT_TRUE(flags.filterCCMessages);
  EXPECT_EQ(flags.delay, -10);
  EXPECT_EQ(flags.keyboardRangeRight, 64);
  EXPECT_TRUE(s->sampleStartByMidi);
  EXPECT_FALSE(s->sampleLooped);
}

TEST_P(HostSettingsTest, UnpluggedInputKeepsItsOptionsAndRegainsThemWhenBack) {
  {
    auto s = make();
    s->load(backends);
    std::vector<std::unique_ptr<MidiDeviceInfo>> present;
    present.push_back(presentDevice(0, "Keystation", true));
    s->mergeMidiDevices(present);
    MidiDeviceInfo* stored = s->findMidiDevice(present[0].get());
    ASSERT_NE(stored, nullptr);
    stored->active = false;
    stored->sync = true;
    stored->channel = 5;
    stored->delay = -20;
    stored->keyboardRangeLeft = 36;
    ASSERT_TRUE(s->save());
  }
  restart();
  {  // Unplugged: nothing present matches; the record stays, unmatched, and is saved again.
    auto s = make();
    s->load(backends);
    std::vector<std::unique_ptr<MidiDeviceInfo>> present;
    s->mergeMidiDevices(present);
    ASSERT_EQ(s->midiDevices.size(), 1u);
    EXPECT_EQ(s->midiDevices[0]->id, -1);
    ASSERT_TRUE(s->save());
  }
  restart();
  {  // Back, at another index.
    auto s = make();
    s->load(backends);
    std::vector<std::unique_ptr<MidiDeviceInfo>> present;
    present.push_back(presentDevice(0, "Other", true));
    present.push_back(presentDevice(1, "Keystation", true));
    s->mergeMidiDevices(present);
    ASSERT_EQ(s->midiDevices.size(), 2u);
    const MidiDeviceInfo& back = *s->midiDevices[0];
    EXPECT_EQ(back.name, "Keystation");
    EXPECT_EQ(back.id, 1);
    EXPECT_TRUE(back.sync);
    EXPECT_EQ(back.channel, 5);
    EXPECT_EQ(back.delay, -20);
    EXPECT_EQ(back.keyboardRangeLeft, 36);
    EXPECT_FALSE(present[1]->active);  // the present record takes the stored choice
    EXPECT_TRUE(present[0]->active);
  }
}

TEST_P(HostSettingsTest, TwoPresentDevicesOfOneNameShareTheFirstStoredRecord) {
  const std::string k0 = host + "\\Midi Device 0";
  putText(reg(), k0, "name", "USB MIDI");
  putDword(reg(), k0, "in", 1);
  putDword(reg(), k0, "active", 1);
  restart();
  auto s = make();
  s->load(backends);
  std::vector<std::unique_ptr<MidiDeviceInfo>> present;
  present.push_back(presentDevice(0, "USB MIDI", true));
  present.push_back(presentDevice(1, "USB MIDI", true));
  present.push_back(presentDevice(0, "USB MIDI", false));  // the same name as an output is another device
  present[0]->active = present[1]->active = false;
  s->mergeMidiDevices(present);
  ASSERT_EQ(s->midiDevices.size(), 2u);
  EXPECT_EQ(s->midiDevices[0]->id, 1);  // the later device's index: only it is opened
  EXPECT_TRUE(present[0]->active);
  EXPECT_TRUE(present[1]->active);
  EXPECT_FALSE(s->midiDevices[1]->in);
  EXPECT_EQ(s->findMidiDevice(present[2].get()), s->midiDevices[1].get());
}

TEST_P(HostSettingsTest, TempoIsStoredAsSixSignificantDigitsAndReadBack) {
  struct Case {
    double bpm;
    const char* text;
    double readBack;
  } cases[] = {
      {133.25, "133.25", 133.25},
      {120.0, "120", 120.0},
      {90.5, "90.5", 90.5},
      {1.0 / 3.0, "0.333333", 0.333333},
      {123.4567, "123.457", 123.457},
      {250.0, "250", 250.0},
      {1234567.0, "1.23457e+06", 1234570.0},
  };
  auto out = wasapi.add(DeviceTypeWASAPIShared, false, "Speakers");
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    {
      auto s = make();
      s->audioOutputDevice = out;  // a device type, so that the next load reads "Tempo"
      s->tempo = c.bpm;
      ASSERT_TRUE(s->save());
    }
    restart();
    EXPECT_EQ(getText(reg(), host, "Tempo"), c.text);
    auto s = make();
    s->load(backends);
    EXPECT_EQ(s->tempo, c.readBack);
  }
}

// A stored tempo that does not parse (edited by hand, or left by another program) counts as
// missing: 120. A tempo in memory that could not be read back is not written.
TEST_P(HostSettingsTest, UnusableTempoFallsBackTo120AndIsNeverWritten) {
  putDword(reg(), host, "AudioDeviceType", 4);
  for (const char* text : {"abc", "", "12x", "133,25", " 120", "nan", "inf", "-5", "0", "1e999"}) {
    SCOPED_TRACE(text);
    putText(reg(), host, "Tempo", text);
    auto s = make();
    s->tempo = 77.0;
    s->load(backends);
    EXPECT_EQ(s->tempo, 120.0);
  }
  putText(reg(), host, "Tempo", "133.25");
  for (double bad : {std::nan(""), double(INFINITY), -1.0, 0.0}) {
    auto s = make();
    s->tempo = bad;
    ASSERT_TRUE(s->save());
    EXPECT_EQ(getText(reg(), host, "Tempo"), "133.25");
  }
}

TEST_P(HostSettingsTest, OutputOnlySaveWritesTheTypeOnceAndLeavesTheInputValues) {
  putText(reg(), host, "AudioDeviceIn Name", "Old Mic");
  putDword(reg(), host, "AudioDeviceIn Left", 7);
  AudioDeviceInfo* out = wasapi.add(DeviceTypeWASAPIExclusive, false, "Speakers");
  out->leftChannel = 2;
  out->rightChannel = 3;
  out->bufferSize = 256;
  auto s = make();
  s->audioOutputDevice = out;
  ASSERT_TRUE(s->save());
  int typeWrites = 0;
  for (const auto& w : reg().writes()) typeWrites += w.name == "AudioDeviceType";
  EXPECT_EQ(typeWrites, 1);
  s.reset();
  restart();
  EXPECT_EQ(getDword(reg(), host, "AudioDeviceType"), 8);
  EXPECT_EQ(getText(reg(), host, "AudioDeviceOut Name"), "Speakers");
  EXPECT_EQ(getDword(reg(), host, "AudioDeviceOut Left"), 2);
  EXPECT_EQ(getDword(reg(), host, "AudioDeviceOut Right"), 3);
  EXPECT_EQ(getDword(reg(), host, "AudioDeviceOut BufferSize"), 256);
  EXPECT_EQ(getText(reg(), host, "AudioDeviceIn Name"), "Old Mic");
  EXPECT_EQ(getDword(reg(), host, "AudioDeviceIn Left"), 7);
  EXPECT_EQ(getRaw(reg(), host, "AudioDeviceIn BufferSize"), "<missing>");
}

TEST_P(HostSettingsTest, MixedTypesAreSavedWithTheOutputsTypeAndReloadAsSuch) {
  AudioDeviceInfo* sharedMic = wasapi.add(DeviceTypeWASAPIShared, true, "Mic");
  AudioDeviceInfo* exclSpk = wasapi.add(DeviceTypeWASAPIExclusive, false, "Speakers");
  {
    auto s = make();
    s->audioInputDevice = sharedMic;
    s->audioOutputDevice = exclSpk;
    ASSERT_TRUE(s->save());
  }
  restart();
  EXPECT_EQ(getDword(reg(), host, "AudioDeviceType"), 8);
  {  // No exclusive-mode record carries the input's name: no input.
    auto s = make();
    s->load(backends);
    EXPECT_EQ(s->audioInputDevice, nullptr);
    EXPECT_EQ(s->audioOutputDevice, exclSpk);
  }
  AudioDeviceInfo* exclMic = wasapi.add(DeviceTypeWASAPIExclusive, true, "Mic");
  {
    auto s = make();
    s->load(backends);
    EXPECT_EQ(s->audioInputDevice, exclMic);
    EXPECT_EQ(s->audioOutputDevice, exclSpk);
  }
}

TEST_P(HostSettingsTest, SaveWritesTheWholeLayoutInOneBatchAndLoadRestoresIt) {
  AudioDeviceInfo* in = asio.add(DeviceTypeASIO, true, "Card");
  AudioDeviceInfo* out = asio.add(DeviceTypeASIO, false, "Card");
  {
    auto s = make();
    s->audioInputDevice = in;
    s->audioOutputDevice = out;
    in->bufferSize = 64;
    out->bufferSize = 64;
    out->leftChannel = 4;
    s->tempo = 98.5;
    s->tempoTab = 0x903C;
    s->samplePath = "/home/user/loops/break 120.wav";
    s->sampleLooped = false;
    s->sampleStartByMidi = true;
    s->sampleCalcTempo = false;
    s->sampleRecordOption = 2;
    s->sampleRecordMaxBars = 5;
    s->openPlayerOnStartup = false;
    s->startPlayerAutomatic = true;
    std::vector<std::unique_ptr<MidiDeviceInfo>> present;
    present.push_back(presentDevice(3, "Keys", true));
    s->mergeMidiDevices(present);
    s->midiDevices[0]->syncWhilePlaying = true;
    s->midiDevices[0]->filterProgramChanges = true;
    s->midiDevices[0]->keyboardRangeRight = 100;
    ASSERT_TRUE(s->save());
    EXPECT_EQ(reg().batches(), 1);
    const auto writes = reg().writes();
    EXPECT_EQ(writes.size(), 5u + 5u + 1u + 11u + 9u);
    for (const auto& w : writes) EXPECT_GE(w.batchDepth, 1) << w.name;
  }
  in->bufferSize = out->bufferSize = 512;
  out->leftChannel = 0;
  restart();
  EXPECT_EQ(getDword(reg(), host, "sampleLooped"), 0);
  EXPECT_EQ(getDword(reg(), host, "startPlayerAutomatic"), 1);
  auto s = make(true);
  s->load(backends);
  EXPECT_EQ(s->audioInputDevice, in);
  EXPECT_EQ(s->audioOutputDevice, out);
  EXPECT_EQ(in->bufferSize, 64);
  EXPECT_EQ(out->leftChannel, 4);
  EXPECT_EQ(s->tempo, 98.5);
  EXPECT_EQ(s->tempoTab, 0x903C);
  EXPECT_EQ(s->samplePath, "/home/user/loops/break 120.wav");
  EXPECT_FALSE(s->sampleLooped);
  EXPECT_TRUE(s->sampleStartByMidi);
  EXPECT_FALSE(s->sampleCalcTempo);
  EXPECT_EQ(s->sampleRecordOption, 2);
  EXPECT_EQ(s->sampleRecordMaxBars, 5);
  EXPECT_FALSE(s->openPlayerOnStartup);
  EXPECT_TRUE(s->startPlayerAutomatic);
  ASSERT_EQ(s->midiDevices.size(), 1u);
  const MidiDeviceInfo& keys = *s->midiDevices[0];
  EXPECT_EQ(keys.name, "Keys");
  EXPECT_EQ(keys.id, -1);  // not stored: unmatched until the merge
  EXPECT_TRUE(keys.in);
  EXPECT_TRUE(keys.active);
  EXPECT_TRUE(keys.syncWhilePlaying);
  EXPECT_TRUE(keys.filterProgramChanges);
  EXPECT_EQ(keys.keyboardRangeRight, 100);
}

TEST_P(HostSettingsTest, KeysThatCannotBeCreatedWriteNothingOrSkipTheirRecord) {
  {
    reg().refuseCreate("\\Host");
    auto s = make();
    EXPECT_FALSE(s->save());
    EXPECT_TRUE(reg().writes().empty());
  }
  {
    reg().refuseCreate("Midi Device 1");
    auto s = make();
    for (const char* name : {"A", "B", "C"}) s->midiDevices.push_back(presentDevice(0, name, true));
    EXPECT_TRUE(s->save());
    EXPECT_EQ(getText(reg(), host + "\\Midi Device 0", "name"), "A");
    EXPECT_EQ(getRaw(reg(), host + "\\Midi Device 1", "name"), "<missing>");
    EXPECT_EQ(getText(reg(), host + "\\Midi Device 2", "name"), "C");
  }
  {
    reg().refuseCreate("\\TestPlug");
    auto s = make();
    EXPECT_EQ(s->key, nullptr);
    std::string text = "kept";
    int32_t value = 42;
    EXPECT_FALSE(s->readString("contentpath", text));
    EXPECT_FALSE(s->readDword("playerPositionX", value));
    EXPECT_FALSE(s->writeDword("playerPositionX", 1));
    EXPECT_EQ(text, "kept");
    EXPECT_EQ(value, 42);
  }
}

TEST_P(HostSettingsTest, SingleValuesOfTheBaseKey) {
  auto s = make();
  std::string text = "kept";
  int32_t value = 42;
  EXPECT_FALSE(s->readString("contentpath", text));
  EXPECT_FALSE(s->readDword("playerPositionX", value));
  EXPECT_EQ(text, "kept");
  EXPECT_EQ(value, 42);

  ASSERT_TRUE(s->writeDword("playerPositionX", -300));
  ASSERT_TRUE(s->readDword("playerPositionX", value));
  EXPECT_EQ(value, -300);

  // Text through a 512-byte buffer: 511 characters and the zero fit, one more does not.
  putText(reg(), base, "contentpath", std::string(511, 'c'));
  ASSERT_TRUE(s->readString("contentpath", text));
  EXPECT_EQ(text.size(), 511u);
  putText(reg(), base, "contentpath", std::string(512, 'c'));
  text = "kept";
  EXPECT_FALSE(s->readString("contentpath", text));
  EXPECT_EQ(text, "kept");

  // No type check: a short text read as a number gives its bytes; a number read as text stops
  // at its first zero byte.
  putText(reg(), base, "mixed", "ab");
  ASSERT_TRUE(s->readDword("mixed", value));
  EXPECT_EQ(value, 0x6261);
  ASSERT_TRUE(s->writeDword("mixed", 0x00434241));
  ASSERT_TRUE(s->readString("mixed", text));
  EXPECT_EQ(text, "ABC");
  DWORD type = 0;
  getRaw(reg(), base, "mixed", &type);
  EXPECT_EQ(type, REG_DWORD);
}

TEST(HostSettings, ChoosesSystemDefaultsOrTheFirstAsioDevices) {
  struct Device {
    AudioDeviceType type;
    bool isInput;
    const char* name;
    bool isDefault;
  };
  struct Case {
    const char* what;
    std::vector<Device> wasapi;
    std::vector<Device> asio;
    const char* in;  // expected names, null = none
    const char* out;
    bool result;
  } cases[] = {
      {"shared-mode defaults; exclusive and non-default passed over",
       {{8, true, "ExclIn", true},
        {4, true, "PlainIn", false},
        {4, true, "DefIn", true},
        {4, false, "DefOut", true},
        {4, true, "LaterIn", true}},
       {{2, true, "Asio", false}, {2, false, "Asio", false}},
       "DefIn",
       "DefOut",
       true},
      {"the output first, then the first default input ends the walk",
       {{4, false, "Out", true}, {4, true, "In1", true}, {4, true, "In2", true}},
       {},
       "In1",
       "Out",
       true},
      {"a later default input replaces an earlier one while no output is set",
       {{4, true, "In1", true}, {4, true, "In2", true}},
       {},
       "In2",
       nullptr,
       false},
      {"WASAPI devices without defaults: ASIO is not consulted",
       {{4, true, "A", false}, {4, false, "B", false}},
       {{2, true, "Asio", false}, {2, false, "Asio", false}},
       nullptr,
       nullptr,
       false},
      {"no WASAPI devices: the first ASIO input and output",
       {},
       {{2, false, "X", false}, {2, true, "X", false}, {2, false, "Y", false}, {2, true, "Y", false}},
       "X",
       "X",
       true},
      {"an ASIO output alone", {}, {{2, false, "Z", false}}, nullptr, "Z", true},
      {"nothing at all", {}, {}, nullptr, nullptr, false},
  };
  auto memory = makeMemoryRegistry();
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    ListBackend wasapi, asio;
    for (const Device& d : c.wasapi) wasapi.add(d.type, d.isInput, d.name, d.isDefault);
    for (const Device& d : c.asio) asio.add(d.type, d.isInput, d.name, d.isDefault);
    VLAudioBase* backends[2] = {&wasapi, &asio};
    HostSettings s(*memory, "Defaults", false);
    EXPECT_EQ(s.chooseDefaultAudioDevices(backends), c.result);
    if (c.in) {
      ASSERT_NE(s.audioInputDevice, nullptr);
      EXPECT_EQ(s.audioInputDevice->name, c.in);
      EXPECT_TRUE(s.audioInputDevice->isInput);
    } else {
      EXPECT_EQ(s.audioInputDevice, nullptr);
    }
    if (c.out) {
      ASSERT_NE(s.audioOutputDevice, nullptr);
      EXPECT_EQ(s.audioOutputDevice->name, c.out);
      EXPECT_FALSE(s.audioOutputDevice->isInput);
    } else {
      EXPECT_EQ(s.audioOutputDevice, nullptr);
    }
  }
}

TEST(HostSettings, FindsStoredRecordsByExactNameAndDirection) {
  auto memory = makeMemoryRegistry();
  HostSettings s(*memory, "Find", false);
  s.midiDevices.push_back(presentDevice(-1, "Keys", true));
  s.midiDevices.push_back(presentDevice(-1, "Keys", false));
  s.midiDevices.push_back(presentDevice(-1, "Keys", true));
  EXPECT_EQ(s.findMidiDevice(presentDevice(0, "Keys", true).get()), s.midiDevices[0].get());
  EXPECT_EQ(s.findMidiDevice(presentDevice(0, "Keys", false).get()), s.midiDevices[1].get());
  EXPECT_EQ(s.findMidiDevice(presentDevice(0, "Keys ", true).get()), nullptr);
  EXPECT_EQ(s.findMidiDevice(presentDevice(0, "keys", true).get()), nullptr);
  EXPECT_EQ(s.findMidiDevice(presentDevice(0, std::string("Keys\0X", 6), true).get()), nullptr);
  EXPECT_EQ(s.findMidiDevice(nullptr), nullptr);

  EXPECT_FALSE(s.hasActiveSyncInput());  // active without sync
  s.midiDevices[0]->active = false;
  s.midiDevices[0]->sync = true;
  EXPECT_FALSE(s.hasActiveSyncInput());  // sync without active
  s.midiDevices[2]->sync = true;
  EXPECT_TRUE(s.hasActiveSyncInput());
}

// --- A real restart: a second process opens the same hive file and loads what the first saved.

constexpr const char* kHiveEnv = "VL_SETTINGS_RESTART_HIVE";

void fillRestartBackends(ListBackend& wasapi, ListBackend& asio) {
  wasapi.add(DeviceTypeWASAPIShared, true, "Microphone", true);
  wasapi.add(DeviceTypeWASAPIShared, false, "Speakers", true);
  asio.add(DeviceTypeASIO, true, "JACK");
  asio.add(DeviceTypeASIO, false, "JACK");
}

// Runs only inside the process that the restart test starts.
TEST(HostSettingsRestartChild, LoadsWhatTheFirstProcessSaved) {
  const char* hive = std::getenv(kHiveEnv);
  if (!hive) GTEST_SKIP() << "runs as the second process of HostSettingsRestart";
  FileRegistryOptions options;
  options.userHivePath = hive;
  auto registry = openFileRegistry(options);
  ASSERT_NE(registry, nullptr);
  ListBackend wasapi, asio;
  fillRestartBackends(wasapi, asio);
  VLAudioBase* backends[2] = {&wasapi, &asio};
  HostSettings s(*registry, "Restart Plug", true);
  s.load(backends);
  ASSERT_NE(s.audioInputDevice, nullptr);
  ASSERT_NE(s.audioOutputDevice, nullptr);
  EXPECT_EQ(s.audioInputDevice, asio.devices[0].get());
  EXPECT_EQ(s.audioOutputDevice, asio.devices[1].get());
  EXPECT_EQ(s.audioOutputDevice->bufferSize, 128);
  EXPECT_EQ(s.audioOutputDevice->rightChannel, 3);
  EXPECT_EQ(s.tempo, 133.25);
  EXPECT_EQ(s.tempoTab, 0xB040);
  EXPECT_EQ(s.samplePath, "/tmp/loop.aiff");
  EXPECT_TRUE(s.sampleLooped);  // a synth starts from 0: this came from the file
  ASSERT_EQ(s.midiDevices.size(), 2u);
  EXPECT_EQ(s.midiDevices[1]->name, "Pads");
  EXPECT_EQ(s.midiDevices[1]->channel, 10);
  EXPECT_TRUE(s.midiDevices[1]->sync);
  int32_t x = 0;
  EXPECT_TRUE(s.readDword("playerPositionX", x));
  EXPECT_EQ(x, 640);
  // The parent checks that this process got this far.
  if (!::testing::Test::HasFailure()) std::ofstream(std::string(hive) + ".ok") << "ok";
}

TEST(HostSettingsRestart, ASecondProcessLoadsWhatTheFirstSaved) {
  testsupport::TempDir dir;
  const std::string hive = dir.file("user.reg");
  {
    FileRegistryOptions options;
    options.userHivePath = hive;
    auto registry = openFileRegistry(options);
    ASSERT_NE(registry, nullptr);
    ListBackend wasapi, asio;
    fillRestartBackends(wasapi, asio);
    HostSettings s(*registry, "Restart Plug", true);
    s.audioInputDevice = asio.devices[0].get();
    s.audioOutputDevice = asio.devices[1].get();
    s.audioOutputDevice->bufferSize = 128;
    s.audioOutputDevice->rightChannel = 3;
    s.tempo = 133.25;
    s.tempoTab = 0xB040;
    s.samplePath = "/tmp/loop.aiff";
    s.sampleLooped = true;
    std::vector<std::unique_ptr<MidiDeviceInfo>> present;
    present.push_back(presentDevice(0, "Keys", true));
    present.push_back(presentDevice(1, "Pads", true));
    s.mergeMidiDevices(present);
    s.midiDevices[1]->channel = 10;
    s.midiDevices[1]->sync = true;
    ASSERT_TRUE(s.save());
    ASSERT_TRUE(s.writeDword("playerPositionX", 640));
  }
  const std::string self = "/proc/self/exe";
  std::string filter = "--gtest_filter=HostSettingsRestartChild.*";
  std::vector<std::string> env;
  for (char** e = environ; *e; ++e) env.emplace_back(*e);
  env.push_back(std::string(kHiveEnv) + "=" + hive);
  std::vector<char*> envp;
  for (auto& e : env) envp.push_back(e.data());
  envp.push_back(nullptr);
  char* argv[] = {const_cast<char*>(self.c_str()), filter.data(), nullptr};
  pid_t pid = -1;
  ASSERT_EQ(posix_spawn(&pid, self.c_str(), nullptr, nullptr, argv, envp.data()), 0);
  int status = 0;
  ASSERT_EQ(waitpid(pid, &status, 0), pid);
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0);
  EXPECT_TRUE(std::ifstream(hive + ".ok").good()) << "the second process did not load the saved values";
}

// A host killed in the middle of a save: the next run finds one whole layout, never a mixture.
TEST(HostSettingsCrash, AHostKilledDuringASaveLeavesOneWholeLayout) {
  testsupport::TempDir dir;
  FileRegistryOptions options;
  options.userHivePath = dir.file("user.reg");
  // Layout k: tempo 100 + k, samplePath "take k", recorder option k, MIDI channel k, in every value.
  auto apply = [](HostSettings& s, int k) {
    s.tempo = 100.0 + k;
    s.samplePath = "take " + std::to_string(k);
    s.sampleRecordOption = k;
    for (auto& d : s.midiDevices) d->channel = k;
  };
  auto fill = [](HostSettings& s) {
    while (s.midiDevices.size() < 8)
      s.midiDevices.push_back(presentDevice(-1, "In " + std::to_string(s.midiDevices.size()), true));
  };
  {
    auto registry = openFileRegistry(options);
    ASSERT_NE(registry, nullptr);
    HostSettings s(*registry, "Crash", false);
    fill(s);
    apply(s, 0);
    ASSERT_TRUE(s.save());
  }
  std::mt19937 rng(7);
  for (int round = 0; round < 30; ++round) {
    const pid_t pid = ::fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
      auto registry = openFileRegistry(options);
      if (!registry) ::_exit(3);
      HostSettings s(*registry, "Crash", false);
      fill(s);
      for (int k = 1;; k = k % 2 + 1) {
        apply(s, k);
        s.save();
      }
    }
    std::this_thread::sleep_for(std::chrono::microseconds(rng() % 20000));
    ::kill(pid, SIGKILL);
    int status = 0;
    ASSERT_EQ(::waitpid(pid, &status, 0), pid);

    auto registry = openFileRegistry(options);
    ASSERT_NE(registry, nullptr);
    putDword(*registry, "Software\\Vellumar\\Crash\\Host", "AudioDeviceType", 4);  // so that "Tempo" is read
    HostSettings s(*registry, "Crash", false);
    s.load(nullptr);
    const int k = s.sampleRecordOption;
    ASSERT_TRUE(k >= 0 && k <= 2) << "round " << round;
    EXPECT_EQ(s.tempo, 100.0 + k) << "round " << round;
    EXPECT_EQ(s.samplePath, "take " + std::to_string(k)) << "round " << round;
    ASSERT_EQ(s.midiDevices.size(), 8u);
    for (const auto& d : s.midiDevices) EXPECT_EQ(d->channel, k) << "round " << round;
  }
}

}  // namespace
