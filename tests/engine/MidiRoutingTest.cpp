// MIDI routing: filters, the learned tap trigger, learning, the computer keyboard, opening the
// devices and the plug-in's MIDI out.
#include <gtest/gtest.h>

#include <chrono>
#include <thread>

#include "EngineRig.h"

using namespace enginetest;

namespace {

// An input as startMidi would open it, driven by the test on its own thread.
struct Input {
  MidiDeviceInfo device;
  VLVSTHostInterface::InputContext* context;
  explicit Input(VLVSTHostInterface& e) : context(new VLVSTHostInterface::InputContext(&device, &e)) {
    device.in = true;
    device.active = true;
  }
  ~Input() {
    MidiMessage close{};
    VLVSTHostInterface::onMidiInput(&close, context);
  }
  void send(uint8_t status, uint8_t d1, uint8_t d2) {
    MidiMessage m = message(status, d1, d2);
    VLVSTHostInterface::onMidiInput(&m, context);
  }
};

// Everything the plug-in gets at the next block.
std::vector<uint32_t> deliver(Rig& rig) {
  const uint32_t before = std::min<uint32_t>(rig.state().midiCount.load(), kProbeMaxMidi);
  EXPECT_TRUE(rig.block(32));
  std::vector<uint32_t> all = receivedMidi(rig.state());
  return std::vector<uint32_t>(all.begin() + before, all.end());
}

bool waitFor(const std::function<bool()>& condition) {
  for (int i = 0; i < 2000; ++i) {
    if (condition()) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return condition();
}

}  // namespace

TEST(MidiRouting, DeviceFilters) {
  struct Case {
    const char* name;
    void (*configure)(MidiDeviceInfo&);
    uint8_t status, d1, d2;
    bool passes;
  } cases[] = {
      {"all channels", [](MidiDeviceInfo&) {}, 0x93, 60, 100, true},
      {"channel 4 passes channel 4", [](MidiDeviceInfo& d) { d.channel = 4; }, 0x93, 60, 100, true},
      {"channel 5 drops channel 4", [](MidiDeviceInfo& d) { d.channel = 5; }, 0x93, 60, 100, false},
      {"channel 16", [](MidiDeviceInfo& d) { d.channel = 16; }, 0x9F, 60, 100, true},
      {"controllers filtered", [](MidiDeviceInfo& d) { d.filterCCMessages = true; }, 0xB2, 7, 100, false},
      {"notes pass the controller filter", [](MidiDeviceInfo& d) { d.filterCCMessages = true; }, 0x92, 7, 1,
       true},
      {"programs filtered", [](MidiDeviceInfo& d) { d.filterProgramChanges = true; }, 0xC0, 5, 0, false},
      {"range drops controller 7",
       [](MidiDeviceInfo& d) { d.keyboardRangeLeft = 36, d.keyboardRangeRight = 96; }, 0xB0, 7, 1, false},
      {"range passes controller 64",
       [](MidiDeviceInfo& d) { d.keyboardRangeLeft = 36, d.keyboardRangeRight = 96; }, 0xB0, 64, 1, true},
      {"range passes its upper edge",
       [](MidiDeviceInfo& d) { d.keyboardRangeLeft = 36, d.keyboardRangeRight = 96; }, 0x90, 96, 1, true},
      {"range drops a note above",
       [](MidiDeviceInfo& d) { d.keyboardRangeLeft = 36, d.keyboardRangeRight = 96; }, 0x80, 97, 1, false},
      {"range drops a pitch-bend low byte",
       [](MidiDeviceInfo& d) { d.keyboardRangeLeft = 36, d.keyboardRangeRight = 96; }, 0xE0, 0, 64, false},
  };
  Rig rig;
  rig.build();
  rig.wire();
  ASSERT_TRUE(rig.startDriver());
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Input input(*rig.engine);
    c.configure(input.device);
    input.send(c.status, c.d1, c.d2);
    std::vector<uint32_t> got = deliver(rig);
    if (c.passes)
      EXPECT_EQ(got, std::vector<uint32_t>{word(c.status, c.d1, c.d2)});
    else
      EXPECT_TRUE(got.empty());
  }
}

TEST(MidiRouting, LearnedControllerTapsOnEachRiseTo65) {
  Rig rig;
  rig.build();
  rig.settings->tempoTab = 0xB014;  // controller 20, learned earlier
  rig.wire();
  ASSERT_TRUE(rig.startDriver());
  Input input(*rig.engine);
  rig.manual.advanceMs(10000);
  const uint8_t values[] = {0, 127, 127, 10, 100};
  std::vector<int> taps;
  for (int i = 0; i < 5; ++i) {
    const int64_t before = rig.engine->lastTapTime;
    input.send(0xB3, 20, values[i]);  // any channel
    if (rig.engine->lastTapTime != before) taps.push_back(i + 1);
    rig.manual.advanceMs(400);
  }
  EXPECT_EQ(taps, (std::vector<int>{2, 5}));
  EXPECT_EQ(deliver(rig),
            (std::vector<uint32_t>{word(0xB3, 20, 0), word(0xB3, 20, 127), word(0xB3, 20, 10)}));
  // Another controller is not the trigger.
  input.send(0xB0, 21, 127);
  EXPECT_EQ(deliver(rig).size(), 1u);
}

TEST(MidiRouting, TapTempo) {
  struct Case {
    const char* name;
    std::vector<double> gapsMs;  // before each tap after the first
    double expected;
  } cases[] = {
      {"500 ms gives 120", {500, 500, 500}, 120.0},
      {"100 ms clamps to 250", {100, 100}, 250.0},
      {"1000 ms gives 60", {1000}, 60.0},
      {"1333 ms still counts", {1333}, 45.01},
      {"a pause of 1334 ms restarts, the first tap after it sets nothing", {400, 1334}, 150.0},
      {"the average runs over every interval since the pause", {400, 1334, 600, 400}, 120.0},
      {"700 ms: 85.71", {700}, 85.71},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Rig rig;
    rig.build();
    rig.settings->tempoTab = 0x9024;  // note 36
    rig.wire();
    Input input(*rig.engine);
    rig.manual.advanceMs(5000);
    input.send(0x90, 36, 100);
    EXPECT_EQ(rig.engine->getTempo(), 120.0) << "the first tap only starts the timing";
    rig.engine->tempo = 100.0;
    for (double gap : c.gapsMs) {
      rig.manual.advanceMs(gap);
      input.send(0x90, 36, 100);
    }
    EXPECT_EQ(rig.engine->getTempo(), c.expected);
    EXPECT_EQ(rig.settings->tempo.load(), 120.0) << "taps from MIDI do not change the stored tempo";
  }
}

TEST(MidiRouting, LearningTakesTheNextMessageUnfilteredAndSavesIt) {
  Rig rig;
  rig.build();
  rig.wire();
  ASSERT_TRUE(rig.startDriver());
  Input input(*rig.engine);
  input.device.channel = 2;  // filters do not apply to the learned message
  rig.engine->armLearnTap(true);
  input.send(0xB5, 20, 100);
  EXPECT_FALSE(rig.engine->learnTapArmed.load());
  EXPECT_EQ(rig.engine->learnedTrigger(), 0xB014);
  EXPECT_EQ(rig.settings->tempoTab.load(), 0xB014);
  EXPECT_TRUE(deliver(rig).empty());
  HostSettings reread(*rig.registry, "Probe", false);
  reread.load(rig.backends);
  EXPECT_EQ(reread.tempoTab.load(), 0xB014);

  // Arming again discards the trigger; disarming keeps it discarded.
  rig.engine->armLearnTap(true);
  EXPECT_EQ(rig.engine->learnedTrigger(), 0);
  rig.engine->armLearnTap(false);
  input.device.channel = 0;
  input.send(0xB0, 20, 100);
  EXPECT_EQ(deliver(rig).size(), 1u);
}

TEST(MidiRouting, ComputerKeyboard) {
  Rig rig;
  rig.build();
  EXPECT_FALSE(rig.engine->computerKeyboardNote('D', true)) << "not wired";
  rig.wire();
  ASSERT_TRUE(rig.startDriver());
  auto& e = *rig.engine;

  EXPECT_TRUE(e.computerKeyboardNote('D', true));
  EXPECT_TRUE(e.computerKeyboardNote('D', true));  // auto-repeat
  EXPECT_TRUE(e.computerKeyboardNote('L', true));
  EXPECT_EQ(deliver(rig), (std::vector<uint32_t>{word(0x90, 48, 94), word(0x90, 59, 94)}));
  EXPECT_TRUE(e.computerKeyboardNote('D', false));
  EXPECT_TRUE(e.computerKeyboardNote('D', false));  // not held any more
  EXPECT_TRUE(e.computerKeyboardNote('R', false));  // never held
  EXPECT_EQ(deliver(rig), (std::vector<uint32_t>{word(0x90, 48, 0)}));

  // P sends All Notes Off on its key-down and its key-up; so does the panic command.
  EXPECT_TRUE(e.computerKeyboardNote('P', true));
  EXPECT_TRUE(e.computerKeyboardNote('P', false));
  e.sendAllNotesOff();
  EXPECT_EQ(deliver(rig), std::vector<uint32_t>(3, word(0xB0, 123, 0)));

  // Octaves change on release only, and stay within 0..10.
  EXPECT_TRUE(e.computerKeyboardNote('V', true));
  EXPECT_EQ(e.keyOctave, 4);
  for (int i = 0; i < 5; ++i) e.computerKeyboardNote('V', false);
  EXPECT_EQ(e.keyOctave, 9);
  for (int i = 0; i < 3; ++i) e.computerKeyboardNote('V', false);
  EXPECT_EQ(e.keyOctave, 10);
  // At octave 10, H is note 125; K would be 129 and plays nothing.
  EXPECT_TRUE(e.computerKeyboardNote('H', true));
  EXPECT_TRUE(e.computerKeyboardNote('K', true));
  EXPECT_TRUE(e.computerKeyboardNote('K', false));
  EXPECT_TRUE(e.computerKeyboardNote('H', false));
  EXPECT_EQ(deliver(rig), (std::vector<uint32_t>{word(0x90, 125, 94), word(0x90, 125, 0)}));
  for (int i = 0; i < 12; ++i) e.computerKeyboardNote('C', false);
  EXPECT_EQ(e.keyOctave, 0);

  // A note released after an octave change stops the note it started.
  e.computerKeyboardNote('G', true);
  e.computerKeyboardNote('V', false);
  e.computerKeyboardNote('G', false);
  EXPECT_EQ(deliver(rig), (std::vector<uint32_t>{word(0x90, 4, 94), word(0x90, 4, 0)}));

  EXPECT_FALSE(e.computerKeyboardNote('A', true));
  EXPECT_FALSE(e.computerKeyboardNote('1', true));
}

TEST(MidiRouting, StartMidiOpensActiveInputsAndEachCloseFreesOneContext) {
  Rig rig({.midiInputs = {"Keys", "Pads"}});
  rig.build();
  rig.wire();
  ASSERT_TRUE(rig.startDriver());
  const int live = VLVSTHostInterface::InputContext::live.load();
  ASSERT_TRUE(rig.engine->startMidi());
  EXPECT_TRUE(rig.sim.inputOpen("Keys"));
  EXPECT_TRUE(rig.sim.inputOpen("Pads"));
  EXPECT_EQ(VLVSTHostInterface::InputContext::live.load(), live + 2);

  // A message from a device reaches the plug-in at the block after its arrival.
  ASSERT_TRUE(rig.sim.inject("Pads", 0x99, 38, 127));
  ASSERT_TRUE(waitFor([&] { return !deliver(rig).empty() || rig.state().midiCount.load() > 0; }));
  EXPECT_EQ(receivedMidi(rig.state()), std::vector<uint32_t>{word(0x99, 38, 127)});

  // Starting again closes everything first: the old contexts are freed, new ones made.
  ASSERT_TRUE(rig.engine->startMidi());
  EXPECT_EQ(VLVSTHostInterface::InputContext::live.load(), live + 2);
  rig.engine->stopMidi();
  EXPECT_TRUE(waitFor([&] { return VLVSTHostInterface::InputContext::live.load() == live; }));
  EXPECT_FALSE(rig.sim.inputOpen("Keys"));
}

TEST(MidiRouting, PluginWithoutMidiInputGetsNoInputsButStillKeyboardNotes) {
  Rig rig({.canDo = {}, .midiInputs = {"Keys"}});
  rig.build();
  rig.wire();
  ASSERT_TRUE(rig.startDriver());
  EXPECT_TRUE(rig.engine->startMidi());
  EXPECT_FALSE(rig.sim.inputOpen("Keys"));
  rig.engine->computerKeyboardNote('D', true);
  EXPECT_EQ(deliver(rig), std::vector<uint32_t>{word(0x90, 48, 94)});
}

TEST(MidiRouting, AFailingInputIsMarkedInactiveAndTheOthersStillOpen) {
  Rig rig({.midiInputs = {"Broken", "Keys"}});
  rig.sim.addInput("Later").openFails = true;
  rig.build();
  rig.wire();
  // A second stored record with the failing device's name: the first one is what gets opened.
  MidiDeviceInfo* first = nullptr;
  for (auto& r : rig.settings->midiDevices)
    if (r->name == "Later") first = r.get();
  ASSERT_NE(first, nullptr);
  auto duplicate = std::make_unique<MidiDeviceInfo>();
  duplicate->name = "Later";
  duplicate->in = true;
  duplicate->active = true;
  duplicate->id = first->id;
  MidiDeviceInfo* second = duplicate.get();
  rig.settings->midiDevices.push_back(std::move(duplicate));
  first->active = false;  // only the duplicate leads to the open, through findMidiDevice
  const int live = VLVSTHostInterface::InputContext::live.load();
  first->active = true;

  EXPECT_FALSE(rig.engine->startMidi());
  EXPECT_FALSE(first->active);
  EXPECT_FALSE(second->active);
  EXPECT_TRUE(rig.sim.inputOpen("Broken"));
  EXPECT_TRUE(rig.sim.inputOpen("Keys"));
  EXPECT_EQ(VLVSTHostInterface::InputContext::live.load(), live + 2) << "failed contexts are freed";
}

TEST(MidiRouting, PluginMidiOutGoesToTheActiveOutput) {
  Rig rig({.midiOutputs = {"Synth Out", "Other Out"}});
  rig.build();
  rig.wire();
  ASSERT_TRUE(rig.startDriver());
  for (auto& d : rig.midi->devices)
    if (d->name == "Other Out") d->active = true;
  ASSERT_TRUE(rig.engine->startMidi());
  ASSERT_NE(rig.engine->midiOutput, nullptr);
  EXPECT_EQ(rig.engine->midiOutput->name, "Other Out");
  rig.probe.config().midiOutCount = 2;
  rig.probe.config().midiOutData[0] = 0x91;
  rig.probe.config().midiOutData[1] = 64;
  rig.probe.config().midiOutData[2] = 33;
  rig.probe.config().midiOutInProcess = 1;
  ASSERT_TRUE(rig.block(32));
  EXPECT_EQ(rig.state().midiOutAnswer, 1);
  EXPECT_EQ(rig.sim.sent("Other Out"), (std::vector<uint32_t>{0x214091, 0x214091}));
  EXPECT_TRUE(rig.sim.sent("Synth Out").empty());
}

TEST(MidiRouting, NoOutputChosenWhenTheDeviceTypeIsNotMme) {
  Rig rig({.midiOutputs = {"Synth Out"}});
  rig.build();
  rig.wire();
  rig.midi->devices.front()->active = true;
  rig.settings->midiDeviceType = 2;
  EXPECT_TRUE(rig.engine->startMidi());
  EXPECT_EQ(rig.engine->midiOutput, nullptr);
}
