// The host callback: every opcode row, the capability texts, the handlers, 'VLEx', the override
// and unregistered callers. Most cases call the callback directly with a registered record; the
// last ones go through the probe plug-in, as a real plug-in calls.
#include "plugin/HostCallback.h"

#include <gtest/gtest.h>

#include <cstring>
#include <stdexcept>
#include <string>
#include <vector>

#include "plugin/EffectTable.h"
#include "plugin/HostContext.h"
#include "plugin/VLVSTHostLib.h"
#include "probe/Probe.h"
#include "support/RtCounter.h"
#include "vst/Vst2.h"

namespace {

struct Received {
  std::vector<std::string> midi;  // "status data1 data2"
  std::vector<double> tempos;
  std::vector<std::vector<int32_t>> sizes;  // opcode, width, height
  VstEvents* list = nullptr;
  int32_t shrinkTo = -1;  // the MIDI handler sets the list's numEvents to this
};

void onMidi(VstMidiEvent* e, void* user) {
  auto* r = static_cast<Received*>(user);
  r->midi.push_back(std::to_string(static_cast<unsigned char>(e->midiData[0])) + " " +
                    std::to_string(e->midiData[1]) + " " + std::to_string(e->midiData[2]));
  if (r->list && r->shrinkTo >= 0) r->list->numEvents = r->shrinkTo;
}
void onTempo(double bpm, void* user) {
  static_cast<Received*>(user)->tempos.push_back(bpm);
}
void onSize(void* user, int32_t opcode, int32_t width, int32_t height) {
  static_cast<Received*>(user)->sizes.push_back({opcode, width, height});
}

class HostCallbackTest : public ::testing::Test {
 protected:
  void SetUp() override {
    effect.magic = kEffectMagic;
    EffectTable::instance().append(&context, &effect);
  }
  void TearDown() override {
    EffectTable::instance().remove(&context);
    currentShellId = 0;
  }
  intptr_t call(AEffect* e, int32_t opcode, int32_t index = 0, intptr_t value = 0, void* ptr = nullptr,
                float opt = 0.0f) {
    return HostCallback::standalone(e, opcode, index, value, ptr, opt);
  }
  intptr_t call(int32_t opcode, int32_t index = 0, intptr_t value = 0, void* ptr = nullptr,
                float opt = 0.0f) {
    return call(&effect, opcode, index, value, ptr, opt);
  }
  void registerHandlers() {
    context.setMidiOutHandler(&onMidi, &received);
    context.setTempoHandler(&onTempo, &received);
    context.setSizeHandler(&onSize, &received);
  }

  AEffect effect{};
  HostContext context;
  Received received;
};

TEST_F(HostCallbackTest, PlainAnswers) {
  currentShellId = -7;
  struct Case {
    int32_t opcode;
    intptr_t answer;
  };
  const Case cases[] = {
      {audioMasterVersion, 2400},
      {audioMasterCurrentId, -7},  // int32, sign-extended
      {audioMasterAutomate, 0},
      {audioMasterIdle, 0},
      {audioMasterGetSampleRate, 0},
      {audioMasterGetBlockSize, 0},
      {audioMasterUpdateDisplay, 0},
      {audioMasterIOChanged, 0},
      {audioMasterVendorSpecific, 0},
      {audioMasterSizeWindow, 0},     // no handler
      {audioMasterProcessEvents, 0},  // no list
      {-1, 0},
      {1000, 0},
  };
  for (const Case& c : cases) EXPECT_EQ(call(c.opcode, 3, 4), c.answer) << c.opcode;
}

TEST_F(HostCallbackTest, VendorAndProductStringsOfBothVariants) {
  char text[64];
  std::memset(text, 'x', sizeof text);
  EXPECT_EQ(call(audioMasterGetVendorString, 0, 0, text), 1);
  EXPECT_STREQ(text, "Vellumar");
  EXPECT_EQ(call(audioMasterGetProductString, 0, 0, text), 1);
  EXPECT_STREQ(text, "Vellumar Standalone");
  EXPECT_EQ(HostCallback::hoster(&effect, audioMasterGetProductString, 0, 0, text, 0.0f), 1);
  EXPECT_STREQ(text, "Vellumar Hoster");
  EXPECT_EQ(HostCallback::hoster(&effect, audioMasterVersion, 0, 0, nullptr, 0.0f), 2400);
  // A null buffer is refused rather than written through.
  EXPECT_EQ(call(audioMasterGetVendorString), 0);
  EXPECT_EQ(call(audioMasterGetProductString), 0);
}

TEST_F(HostCallbackTest, CanDoIsExactAndCaseSensitive) {
  for (const char* yes :
       {"supplyIdle", "sendVstEvents", "sendVstMidiEvent", "sendVstTimeInfo", "receiveVstEvents",
        "receiveVstMidiEvent", "supportShell", "shellCategory", "sizeWindow"}) {
    char text[32];
    std::strcpy(text, yes);
    EXPECT_EQ(call(audioMasterCanDo, 0, 0, text), 1) << yes;
  }
  for (const char* no : {"SizeWindow", "sizewindow", "sizeWindow ", "sizeWin", "openFileSelector", "offline",
                         "startStopProcess", ""}) {
    EXPECT_EQ(call(audioMasterCanDo, 0, 0, const_cast<char*>(no)), 0) << '"' << no << '"';
  }
  EXPECT_EQ(call(audioMasterCanDo), 0);
}

TEST_F(HostCallbackTest, GetTimeReturnsTheRecordWhateverIsAsked) {
  for (intptr_t request :
       {intptr_t{0}, intptr_t{kVstBarsValid},
        intptr_t{kVstBarsValid | kVstTimeSigValid | kVstSmpteValid | kVstClockValid}, intptr_t{-1}}) {
    EXPECT_EQ(call(audioMasterGetTime, 0, request), reinterpret_cast<intptr_t>(&context.timeInfo)) << request;
  }
  const VstTimeInfo& t = context.timeInfo;
  EXPECT_EQ(t.samplePos, 0.0);
  EXPECT_EQ(t.sampleRate, 44100.0);
  EXPECT_EQ(t.nanoSeconds, 0.0);
  EXPECT_EQ(t.ppqPos, 0.0);
  EXPECT_EQ(t.tempo, 120.0);
  EXPECT_EQ(t.barStartPos, 0.0);
  EXPECT_EQ(t.cycleStartPos, 0.0);
  EXPECT_EQ(t.cycleEndPos, 0.0);
  EXPECT_EQ(t.timeSigNumerator, 4);
  EXPECT_EQ(t.timeSigDenominator, 4);
  EXPECT_EQ(t.smpteOffset, 0);
  EXPECT_EQ(t.smpteFrameRate, 1);
  EXPECT_EQ(t.samplesToNextClock, 0);
  EXPECT_EQ(t.flags, 0x600);
  EXPECT_EQ(t.flags & kVstBarsValid, 0);
}

TEST_F(HostCallbackTest, ProcessEventsPassesMidiEventsOnly) {
  registerHandlers();
  char dump[] = {char(0xF0), 0x01, char(0xF7)};
  VstMidiSysexEvent sysex{kVstSysExType, sizeof(VstMidiSysexEvent), 0, 0, 3, 0, dump, 0};
  VstMidiEvent note{kVstMidiType, sizeof(VstMidiEvent), 5, 0, 0, 0, {char(0x90), 60, 100, 0}, 0, 0, 0, 0};
  VstEventsN<2> list{2, 0, {reinterpret_cast<VstEvent*>(&sysex), reinterpret_cast<VstEvent*>(&note)}};
  EXPECT_EQ(call(audioMasterProcessEvents, 0, 0, list.asVstEvents()), 1);
  EXPECT_EQ(received.midi, std::vector<std::string>{"144 60 100"});

  VstEventsN<1> onlySysex{1, 0, {reinterpret_cast<VstEvent*>(&sysex)}};
  EXPECT_EQ(call(audioMasterProcessEvents, 0, 0, onlySysex.asVstEvents()), 0);
  VstEventsN<1> empty{0, 0, {nullptr}};
  EXPECT_EQ(call(audioMasterProcessEvents, 0, 0, empty.asVstEvents()), 0);
  VstEventsN<2> withNull{2, 0, {nullptr, reinterpret_cast<VstEvent*>(&note)}};
  EXPECT_EQ(call(audioMasterProcessEvents, 0, 0, withNull.asVstEvents()), 1);
  EXPECT_EQ(received.midi.size(), 2u);

  context.setMidiOutHandler(nullptr, nullptr);
  EXPECT_EQ(call(audioMasterProcessEvents, 0, 0, list.asVstEvents()), 0);
}

TEST_F(HostCallbackTest, ProcessEventsReadsTheCountAfterEveryHandlerCall) {
  registerHandlers();
  VstMidiEvent notes[3] = {};
  VstEventsN<3> list{3, 0, {}};
  for (int i = 0; i < 3; ++i) {
    notes[i] = VstMidiEvent{
        kVstMidiType, sizeof(VstMidiEvent), 0, 0, 0, 0, {char(0x90), char(60 + i), 1, 0}, 0, 0, 0, 0};
    list.events[i] = reinterpret_cast<VstEvent*>(&notes[i]);
  }
  received.list = list.asVstEvents();
  received.shrinkTo = 1;
  EXPECT_EQ(call(audioMasterProcessEvents, 0, 0, list.asVstEvents()), 1);
  EXPECT_EQ(received.midi, std::vector<std::string>{"144 60 1"});
}

TEST_F(HostCallbackTest, SizeWindowGoesToTheSizeHandler) {
  registerHandlers();
  EXPECT_EQ(call(audioMasterSizeWindow, 640, 480), 1);
  ASSERT_EQ(received.sizes.size(), 1u);
  EXPECT_EQ(received.sizes[0], (std::vector<int32_t>{audioMasterSizeWindow, 640, 480}));
}

TEST_F(HostCallbackTest, VendorOpcode) {
  EXPECT_EQ(kVLExOpcode, ('V' << 24) | ('L' << 16) | ('E' << 8) | 'x');
  EXPECT_EQ(call(kVLExOpcode, kVLExTempoRequest, 0, nullptr, 133.5f), 0);  // no handler
  registerHandlers();
  EXPECT_EQ(call(kVLExOpcode, kVLExTempoRequest, 0, nullptr, 133.5f), 1);
  EXPECT_EQ(received.tempos, std::vector<double>{133.5});

  context.timeInfo.ppqPos = 17.25;
  EXPECT_EQ(call(kVLExOpcode, kVLExTransportStart), 1);
  EXPECT_EQ(context.timeInfo.flags, 0x600 | kVstTransportPlaying);
  EXPECT_EQ(context.timeInfo.ppqPos, 0.0);

  EXPECT_EQ(call(kVLExOpcode, 2), 0);
  EXPECT_EQ(call(kVLExOpcode, -1), 0);
  EXPECT_EQ(received.tempos.size(), 1u);
}

TEST_F(HostCallbackTest, WithoutAContextOnlyTheContextFreeAnswersRemain) {
  registerHandlers();
  AEffect stranger{};
  for (AEffect* e : {static_cast<AEffect*>(nullptr), &stranger}) {
    SCOPED_TRACE(e ? "unregistered effect" : "null effect");
    VstMidiEvent note{kVstMidiType, sizeof(VstMidiEvent), 0, 0, 0, 0, {char(0x90), 1, 1, 0}, 0, 0, 0, 0};
    VstEventsN<1> list{1, 0, {reinterpret_cast<VstEvent*>(&note)}};
    EXPECT_EQ(call(e, audioMasterGetTime), 0);
    EXPECT_EQ(call(e, audioMasterProcessEvents, 0, 0, list.asVstEvents()), 0);
    EXPECT_EQ(call(e, audioMasterSizeWindow, 10, 10), 0);
    EXPECT_EQ(call(e, kVLExOpcode, kVLExTempoRequest, 0, nullptr, 90.0f), 0);
    EXPECT_EQ(call(e, kVLExOpcode, kVLExTransportStart), 0);
    EXPECT_EQ(call(e, audioMasterVersion), 2400);
    char text[64] = {};
    EXPECT_EQ(call(e, audioMasterGetVendorString, 0, 0, text), 1);
    EXPECT_STREQ(text, "Vellumar");
    char capability[] = "sizeWindow";
    EXPECT_EQ(call(e, audioMasterCanDo, 0, 0, capability), 1);
  }
  EXPECT_TRUE(received.midi.empty());
  EXPECT_TRUE(received.sizes.empty());
  EXPECT_TRUE(received.tempos.empty());
  EXPECT_EQ(context.timeInfo.flags, 0x600);
}

struct Forwarded {
  AEffect* effect;
  int32_t opcode, index;
  intptr_t value;
  void* ptr;
  float opt;
};
std::vector<Forwarded> gForwarded;
intptr_t recordingOverride(AEffect* e, int32_t opcode, int32_t index, intptr_t value, void* ptr, float opt) {
  gForwarded.push_back({e, opcode, index, value, ptr, opt});
  return 77;
}
intptr_t throwingOverride(AEffect*, int32_t, int32_t, intptr_t, void*, float) {
  throw std::runtime_error("override failed");
}

TEST_F(HostCallbackTest, OverrideGetsEverythingButCurrentId) {
  registerHandlers();
  int userObject = 0;
  context.setOverride(&recordingOverride, &userObject);
  gForwarded.clear();
  currentShellId = 42;
  char buffer[64] = "untouched";
  const int32_t opcodes[] = {audioMasterAutomate,
                             audioMasterVersion,
                             audioMasterGetTime,
                             audioMasterProcessEvents,
                             audioMasterSizeWindow,
                             audioMasterGetVendorString,
                             audioMasterGetProductString,
                             audioMasterCanDo,
                             kVLExOpcode,
                             999};
  for (int32_t opcode : opcodes)
    EXPECT_EQ(call(opcode, 5, intptr_t{0x180000001}, buffer, 1.5f), 77) << opcode;
  ASSERT_EQ(gForwarded.size(), std::size(opcodes));
  for (size_t i = 0; i < gForwarded.size(); ++i) {
    EXPECT_EQ(gForwarded[i].effect, reinterpret_cast<AEffect*>(&userObject));
    EXPECT_EQ(gForwarded[i].opcode, opcodes[i]);
    EXPECT_EQ(gForwarded[i].index, 5);
    EXPECT_EQ(gForwarded[i].value, -2147483647);  // 0x80000001 as int32
    EXPECT_EQ(gForwarded[i].ptr, buffer);
    EXPECT_EQ(gForwarded[i].opt, 1.5f);
  }
  EXPECT_STREQ(buffer, "untouched");
  EXPECT_TRUE(received.sizes.empty());
  EXPECT_EQ(call(audioMasterCurrentId), 42);
  EXPECT_EQ(gForwarded.size(), std::size(opcodes));
  // Value truncation keeps small and negative values.
  call(audioMasterAutomate, 0, -3);
  call(audioMasterAutomate, 0, 0x7fffffff);
  EXPECT_EQ(gForwarded[gForwarded.size() - 2].value, -3);
  EXPECT_EQ(gForwarded.back().value, 0x7fffffff);

  // Callers without a context never reach the override.
  EXPECT_EQ(call(nullptr, audioMasterVersion), 2400);

  context.setOverride(&throwingOverride, nullptr);
  EXPECT_EQ(call(audioMasterVersion), 0);
  EXPECT_EQ(call(audioMasterCurrentId), 42);
}

// Through the probe: the calls a plug-in makes from its process routine and on demand.
class HostCallbackThroughProbe : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(probe.ok());
    ASSERT_TRUE(lib.load(VL_PROBE_PATH, nullptr, nullptr, 0, false));
    lib.hostContext.setMidiOutHandler(&onMidi, &received);
    lib.hostContext.setTempoHandler(&onTempo, &received);
    lib.hostContext.setSizeHandler(&onSize, &received);
  }
  void processBlock() {
    ChannelBufferPair pair{left, right};
    lib.process(pair, pair, 32);
  }
  ProbeLibrary probe{VL_PROBE_PATH};
  VLVSTHostLib lib;
  Received received;
  float left[32] = {}, right[32] = {};
};

TEST_F(HostCallbackThroughProbe, CallsFromProcess) {
  lib.hostContext.timeInfo.ppqPos = 3.0;
  probe.config().tempoInProcess = 97.0f;
  probe.config().tempoRequestInProcess = 1;
  probe.config().midiOutCount = 2;
  probe.config().midiOutSysex = 1;
  probe.config().midiOutInProcess = 1;
  probe.config().timeRequestFlags = kVstBarsValid;
  processBlock();
  const ProbeState& s = probe.state();
  EXPECT_EQ(s.timeInfoNull, 0);
  EXPECT_EQ(s.lastTime.ppqPos, 3.0);
  EXPECT_EQ(s.lastTime.tempo, 120.0);
  EXPECT_EQ(s.tempoAnswer, 1);
  EXPECT_EQ(received.tempos, std::vector<double>{97.0});
  EXPECT_EQ(s.midiOutAnswer, 1);
  EXPECT_EQ(received.midi, (std::vector<std::string>{"144 60 100", "144 60 100"}));

  probe.config().transportStartInProcess = 1;
  processBlock();
  EXPECT_EQ(probe.state().transportAnswer, 1);
  EXPECT_NE(lib.hostContext.timeInfo.flags & kVstTransportPlaying, 0);
  EXPECT_EQ(lib.hostContext.timeInfo.ppqPos, 0.0);
  EXPECT_EQ(received.tempos.size(), 1u);  // one-shot requests are not repeated
}

TEST_F(HostCallbackThroughProbe, CallsOnDemand) {
  EXPECT_EQ(probe.callHost(lib.effect, audioMasterSizeWindow, 500, 300), 1);
  EXPECT_EQ(received.sizes, (std::vector<std::vector<int32_t>>{{audioMasterSizeWindow, 500, 300}}));
  const unsigned char cc[3] = {0xB0, 7, 64};
  EXPECT_EQ(probe.sendMidi(lib.effect, 1, cc, true), 1);
  EXPECT_EQ(received.midi, std::vector<std::string>{"176 7 64"});
  char product[64] = {};
  EXPECT_EQ(probe.callHost(lib.effect, audioMasterGetProductString, 0, 0, product), 1);
  EXPECT_STREQ(product, "Vellumar Standalone");
  // The latest entry's callback, called with a null effect, as plug-ins do while being created.
  EXPECT_EQ(probe.callHost(nullptr, audioMasterGetTime), 0);
  EXPECT_EQ(probe.callHost(nullptr, audioMasterVersion), 2400);
}

TEST_F(HostCallbackThroughProbe, HosterVariantGoesToTheModule) {
  VLVSTHostLib hosted;
  ASSERT_TRUE(hosted.load(VL_PROBE_PATH, nullptr, nullptr, 0, true));
  char product[64] = {};
  EXPECT_EQ(probe.callHost(hosted.effect, audioMasterGetProductString, 0, 0, product), 1);
  EXPECT_STREQ(product, "Vellumar Hoster");
}

TEST_F(HostCallbackThroughProbe, ProcessAndCallbackAllocateAndLockNothing) {
  if (!rt::available()) GTEST_SKIP() << "allocation counting is not available under a sanitizer";
  probe.config().tempoInProcess = 100.0f;
  lib.hostContext.setMidiOutHandler(
      +[](VstMidiEvent*, void*) {}, nullptr);
  lib.hostContext.setTempoHandler(
      +[](double, void*) {}, nullptr);
  processBlock();  // first call outside the counted region
  rt::resetCounts();
  {
    rt::Scope armed;
    for (int i = 0; i < 100; ++i) {
      probe.config().tempoRequestInProcess = 1;
      probe.config().transportStartInProcess = 1;
      probe.config().midiOutInProcess = 1;
      processBlock();
    }
  }
  EXPECT_EQ(rt::counts().total(), 0u);
  EXPECT_EQ(probe.state().processCalls.load(), 101u);
}

}  // namespace
