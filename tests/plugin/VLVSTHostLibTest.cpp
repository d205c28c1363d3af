// The wrapper through the real dlopen path, with the probe plug-in and the modules that fail.
#include "plugin/VLVSTHostLib.h"

#include <dlfcn.h>
#include <gtest/gtest.h>

#include <cmath>
#include <filesystem>
#include <string>
#include <vector>

#include "platform/module/Module.h"
#include "plugin/EffectTable.h"
#include "plugin/HostCallback.h"
#include "probe/Probe.h"
#include "support/JackServer.h"
#include "vst/Opcodes.h"

namespace {

bool libraryMapped(const char* path) {
  void* h = dlopen(path, RTLD_NOW | RTLD_NOLOAD);
  if (h) dlclose(h);
  return h != nullptr;
}

intptr_t timeInfoAnswer(AEffect* effect) {
  return HostCallback::standalone(effect, audioMasterGetTime, 0, 0, nullptr, 0.0f);
}

std::vector<ProbeDispatch> callsSince(const ProbeLibrary& probe, uint32_t from) {
  std::vector<ProbeDispatch> calls;
  for (uint32_t k = from; k < probe.state().callCount.load(); ++k)
    calls.push_back(probe.state().calls[k % kProbeMaxCalls]);
  return calls;
}

class VLVSTHostLibTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(probe.ok()) << dlerror(); }
  ProbeLibrary probe{VL_PROBE_PATH};
};

TEST_F(VLVSTHostLibTest, LoadObtainsAndRegistersTheEffect) {
  const size_t before = EffectTable::instance().size();
  {
    VLVSTHostLib lib;
    ASSERT_TRUE(lib.load(VL_PROBE_PATH, nullptr, nullptr, 1234, false));
    ASSERT_NE(lib.effect, nullptr);
    EXPECT_EQ(lib.effect->magic, kEffectMagic);
    EXPECT_STREQ(probe.state().entryName, "VSTPluginMain");
    // currentShellId is set before the entry runs: the plug-in may ask for it there.
    EXPECT_EQ(probe.state().entryShellIdAnswer, 1234);
    EXPECT_EQ(probe.state().entryVersionAnswer, 2400);
    EXPECT_EQ(EffectTable::instance().size(), before + 1);
    EXPECT_EQ(timeInfoAnswer(lib.effect), reinterpret_cast<intptr_t>(&lib.hostContext.timeInfo));
    EXPECT_FALSE(lib.isSynth());
  }
  // The destructor removed the pair and freed the module (the test still holds its own handle).
  EXPECT_EQ(EffectTable::instance().size(), before);
}

TEST(VLVSTHostLibLoad, ModuleExportingOnlyMainLoads) {
  ProbeLibrary probe(VL_PROBE_MAINONLY_PATH);
  ASSERT_TRUE(probe.ok());
  ASSERT_EQ(dlsym(probe.handle(), "VSTPluginMain"), nullptr);
  VLVSTHostLib lib;
  ASSERT_TRUE(lib.load(VL_PROBE_MAINONLY_PATH, nullptr, nullptr, 0, false));
  EXPECT_STREQ(probe.state().entryName, "main");
  EXPECT_EQ(probe.state().entryCalls.load(), 1u);
}

TEST(VLVSTHostLibLoad, FailuresReturnFalseAndFreeOrKeepTheLibrary) {
  struct Case {
    const char* path;
    bool mappedUntilUnload;  // the library stays loaded after the failure, until unload
  };
  const Case cases[] = {
      {"/nonexistent/Plugin.so", false}, {VL_PROBE_BADMAGIC_PATH, false},  // wrong magic: freed at once
      {VL_PROBE_NULLENTRY_PATH, true},   {VL_PROBE_THROWS_PATH, true},    {VL_PROBE_NOENTRY_PATH, true},
  };
  const size_t before = EffectTable::instance().size();
  for (const Case& c : cases) {
    SCOPED_TRACE(c.path);
    ASSERT_FALSE(libraryMapped(c.path));
    VLVSTHostLib lib;
    EXPECT_FALSE(lib.load(c.path, nullptr, nullptr, 0, false));
    EXPECT_EQ(lib.effect, nullptr);
    EXPECT_EQ(EffectTable::instance().size(), before);
    EXPECT_EQ(lib.module.loaded(), c.mappedUntilUnload);
    EXPECT_EQ(libraryMapped(c.path), c.mappedUntilUnload);
    lib.unload();
    EXPECT_FALSE(libraryMapped(c.path));
  }
}

TEST_F(VLVSTHostLibTest, OpenSequence) {
  struct Case {
    const char* what;
    int32_t effectNameAnswer;
    int32_t rectNull;
    int32_t rectAnswerIsPointer;
    const char* name;
    std::vector<int32_t> opcodes;
  };
  const Case cases[] = {
      {"name from effGetEffectName", 1, 0, 0, "Probe", {effOpen, effEditGetRect, effGetEffectName}},
      // The product string lands in the same (uncleared) buffer.
      {"name from effGetProductString",
       0,
       0,
       0,
       "Probe Product",
       {effOpen, effEditGetRect, effGetEffectName, effGetProductString}},
      {"no rectangle", 1, 1, 0, "Probe", {effOpen, effEditGetRect, effGetEffectName}},
      {"rectangle pointer as the answer", 1, 0, 1, "Probe", {effOpen, effEditGetRect, effGetEffectName}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    probe.reset();
    probe.config().effectNameAnswer = c.effectNameAnswer;
    probe.config().editorRectNull = c.rectNull;
    probe.config().editorRectAnswerIsPointer = c.rectAnswerIsPointer;
    probe.config().editorRect = ERect{0, 0, 240, 320};
    VLVSTHostLib lib;
    ASSERT_TRUE(lib.load(VL_PROBE_PATH, nullptr, nullptr, 0, false));
    const uint32_t from = probe.state().callCount.load();
    ERect rect{1, 1, 1, 1};
    std::string name = "stale";
    ASSERT_TRUE(lib.openPlugin(rect, name));
    EXPECT_EQ(name, c.name);
    EXPECT_EQ(rect.bottom, c.rectNull ? 0 : 240);
    EXPECT_EQ(rect.right, c.rectNull ? 0 : 320);
    auto calls = callsSince(probe, from);
    ASSERT_EQ(calls.size(), c.opcodes.size());
    for (size_t i = 0; i < calls.size(); ++i) EXPECT_EQ(calls[i].opcode, c.opcodes[i]) << i;
    EXPECT_EQ(calls[0].index, 0);
    EXPECT_EQ(calls[0].value, 0);
    EXPECT_EQ(calls[0].ptr, 0);
    EXPECT_EQ(calls[0].opt, 0.0f);
    EXPECT_NE(calls[1].ptr, 0);  // the address of the host's ERect pointer
    lib.closePlugin();
  }
}

TEST_F(VLVSTHostLibTest, CloseSequenceThenModuleFreedAtDestruction) {
  const uint32_t from = probe.state().callCount.load();
  {
    VLVSTHostLib lib;
    ASSERT_TRUE(lib.load(VL_PROBE_PATH, nullptr, nullptr, 0, false));
    lib.closePlugin();
    EXPECT_EQ(lib.effect, nullptr);
    EXPECT_TRUE(lib.module.loaded());
    auto calls = callsSince(probe, from);
    ASSERT_EQ(calls.size(), 2u);
    EXPECT_EQ(calls[0].opcode, effEditClose);
    EXPECT_EQ(calls[1].opcode, effClose);
    for (const auto& call : calls) {
      EXPECT_EQ(call.index, 0);
      EXPECT_EQ(call.value, 0);
      EXPECT_EQ(call.ptr, 0);
      EXPECT_EQ(call.opt, 0.0f);
    }
    lib.closePlugin();  // nothing left to close
    EXPECT_EQ(callsSince(probe, from).size(), 2u);
  }
}

// Two wrappers share the plug-in's library. The first closes its plug-in but lives on; the
// second's entry call gets the freed record's address back, as allocators hand out memory just
// freed. The plug-in's calls through that address belong to the second wrapper now.
TEST_F(VLVSTHostLibTest, AClosedEffectsAddressServesTheWrapperThatGetsItNext) {
  probe.config().reuseClosedEffect = 1;
  VLVSTHostLib first, second;
  ASSERT_TRUE(first.load(VL_PROBE_PATH, nullptr, nullptr, 0, false));
  AEffect* closed = first.effect;
  first.closePlugin();
  EXPECT_EQ(timeInfoAnswer(closed), 0);
  ASSERT_TRUE(second.load(VL_PROBE_PATH, nullptr, nullptr, 0, false));
  ASSERT_EQ(second.effect, closed);
  EXPECT_EQ(timeInfoAnswer(second.effect), reinterpret_cast<intptr_t>(&second.hostContext.timeInfo));
  second.closePlugin();
}

TEST_F(VLVSTHostLibTest, UnloadDeregistersAndFrees) {
  // A library the test does not hold itself, to see it unmapped.
  ASSERT_FALSE(libraryMapped(VL_PROBE_MAINONLY_PATH));
  VLVSTHostLib lib;
  auto override = +[](AEffect*, int32_t, int32_t, intptr_t, void*, float) -> intptr_t { return 9; };
  ASSERT_TRUE(lib.load(VL_PROBE_MAINONLY_PATH, override, nullptr, 0, false));
  AEffect* effect = lib.effect;
  EXPECT_EQ(timeInfoAnswer(effect), 9);
  lib.unload();
  EXPECT_EQ(lib.effect, nullptr);
  EXPECT_FALSE(lib.module.loaded());
  EXPECT_EQ(lib.hostContext.overrideCallback.load(), nullptr);
  EXPECT_FALSE(libraryMapped(VL_PROBE_MAINONLY_PATH));
  EXPECT_EQ(timeInfoAnswer(effect), 0);
}

TEST_F(VLVSTHostLibTest, LoadingAgainReplacesTheFirstPlugin) {
  const size_t before = EffectTable::instance().size();
  VLVSTHostLib lib;
  ASSERT_TRUE(lib.load(VL_PROBE_PATH, nullptr, nullptr, 0, false));
  AEffect* first = lib.effect;
  ASSERT_TRUE(lib.load(VL_PROBE_PATH, nullptr, nullptr, 0, false));
  EXPECT_NE(lib.effect, first);
  EXPECT_EQ(EffectTable::instance().size(), before + 1);
  EXPECT_EQ(timeInfoAnswer(first), 0);
  EXPECT_EQ(timeInfoAnswer(lib.effect), reinterpret_cast<intptr_t>(&lib.hostContext.timeInfo));
}

TEST_F(VLVSTHostLibTest, TwoWrappersHaveTheirOwnContexts) {
  const size_t before = EffectTable::instance().size();
  auto a = std::make_unique<VLVSTHostLib>();
  VLVSTHostLib b;
  ASSERT_TRUE(a->load(VL_PROBE_PATH, nullptr, nullptr, 0, false));
  ASSERT_TRUE(b.load(VL_PROBE_PATH, nullptr, nullptr, 0, true));
  ASSERT_NE(a->effect, b.effect);
  EXPECT_EQ(timeInfoAnswer(a->effect), reinterpret_cast<intptr_t>(&a->hostContext.timeInfo));
  EXPECT_EQ(timeInfoAnswer(b.effect), reinterpret_cast<intptr_t>(&b.hostContext.timeInfo));
  AEffect* gone = a->effect;
  a.reset();
  EXPECT_EQ(EffectTable::instance().size(), before + 1);
  EXPECT_EQ(timeInfoAnswer(gone), 0);
  EXPECT_EQ(timeInfoAnswer(b.effect), reinterpret_cast<intptr_t>(&b.hostContext.timeInfo));
}

TEST_F(VLVSTHostLibTest, ProcessHandsTheOutputPairAsEveryChannelPair) {
  struct Case {
    int32_t inputs, outputs;
  };
  // Beyond 32 channels: a multi-out instrument, a many-input analyser, and more than the array holds.
  const Case cases[] = {{2, 2}, {2, 4}, {4, 2}, {6, 1}, {0, 2}, {2, 40}, {0, 64}, {48, 2}, {2, 300}};
  constexpr uint32_t kFrames = 64;
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << c.inputs << " in, " << c.outputs << " out");
    probe.reset();
    probe.config().numInputs = c.inputs;
    probe.config().numOutputs = c.outputs;
    probe.config().gain = 0.5f;
    VLVSTHostLib lib;
    ASSERT_TRUE(lib.load(VL_PROBE_PATH, nullptr, nullptr, 0, false));
    std::vector<float> left(kFrames), right(kFrames), unused(kFrames, 7.0f);
    for (uint32_t n = 0; n < kFrames; ++n) {
      left[n] = static_cast<float>(n) / kFrames;
      right[n] = -left[n];
    }
    const std::vector<float> leftIn = left, rightIn = right;
    ChannelBufferPair in{unused.data(), unused.data()}, out{left.data(), right.data()};
    lib.process(in, out, kFrames);
    const ProbeState& s = probe.state();
    ASSERT_EQ(s.processCalls.load(), 1u);
    EXPECT_EQ(s.lastFrames, static_cast<int32_t>(kFrames));
    // Whole pairs: an odd count gets the right array at its last even entry + 1 as well.
    const int32_t provided = std::min((c.outputs + 1) / 2 * 2, VLVSTHostLib::kMaxChannels);
    const int32_t seen = std::min(std::max(c.inputs, c.outputs), int32_t{kProbeMaxChannels});
    for (int32_t i = 0; i < seen; ++i) {
      const uintptr_t expected =
          i < provided ? reinterpret_cast<uintptr_t>(i % 2 == 0 ? out.left : out.right) : 0;
      EXPECT_EQ(s.lastOutputs[i], expected) << "output " << i;
      EXPECT_EQ(s.lastInputs[i], expected) << "input " << i;  // the same array serves as inputs
    }
    // In place: the output pair was the input. One output only: the right array is untouched.
    for (uint32_t n = 0; n < kFrames; ++n) {
      const float l = c.inputs >= 1 ? leftIn[n] * 0.5f : 0.0f;
      const float r = c.outputs >= 2 ? (c.inputs >= 2 ? rightIn[n] * 0.5f : 0.0f) : rightIn[n];
      ASSERT_FLOAT_EQ(left[n], l) << n;
      ASSERT_FLOAT_EQ(right[n], r) << n;
      ASSERT_EQ(unused[n], 7.0f);
    }
  }
}

TEST_F(VLVSTHostLibTest, SynthSineIsAudibleAndFinite) {
  probe.config().isSynth = 1;
  probe.config().numInputs = 0;
  probe.config().sineAmplitude = 0.25f;
  VLVSTHostLib lib;
  ASSERT_TRUE(lib.load(VL_PROBE_PATH, nullptr, nullptr, 0, false));
  EXPECT_TRUE(lib.isSynth());
  std::vector<float> left(128, 1.0f), right(128, 1.0f);
  ChannelBufferPair pair{left.data(), right.data()};
  lib.process(pair, pair, 128);
  float peak = 0;
  for (float v : left) peak = std::max(peak, std::fabs(v));
  EXPECT_NEAR(peak, 0.25f, 0.01f);
  EXPECT_EQ(left, right);
}

TEST(VLVSTHostLibLoad, ModuleBesideTheExecutable) {
  testsupport::TempDir dir;
  struct Case {
    const char* executable;
    const char* module;
  };
  const Case cases[] = {{"Synth", "Synth.so"}, {"Synth.exe", "Synth.dll"}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.executable);
    std::filesystem::copy_file(VL_PROBE_PATH, dir.file(c.module));
    const std::string path = plat::module::pluginPathFor(dir.file(c.executable));
    EXPECT_EQ(path, dir.file(c.module));
    VLVSTHostLib lib;
    EXPECT_TRUE(lib.load(path, nullptr, nullptr, 0, false));
  }
}

}  // namespace
