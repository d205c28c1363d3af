// The probe plug-in itself, for what other tests read back from it: events, chunks, canDo texts,
// size requests from its editor and the maker's extension entries.
#include <gtest/gtest.h>

#include <cstring>

#include "plugin/VLVSTHostLib.h"
#include "probe/Probe.h"
#include "vst/Vst2.h"

namespace {

intptr_t onlySize = 0;
void onSize(void*, int32_t, int32_t width, int32_t height) {
  onlySize = width * 10000 + height;
}

TEST(Probe, RecordsWhatTheHostSends) {
  ProbeLibrary probe(VL_PROBE_PATH);
  ASSERT_TRUE(probe.ok());
  std::strcpy(probe.config().canDo[0], "receiveVstMidiEvent");
  const unsigned char bank[] = "0123456789";
  std::memcpy(probe.config().chunk, bank, 10);
  probe.config().chunkSize = 10;
  probe.config().sizeRequestWidth = 640;
  probe.config().sizeRequestHeight = 480;
  VLVSTHostLib lib;
  ASSERT_TRUE(lib.load(VL_PROBE_PATH, nullptr, nullptr, 0, false));
  lib.hostContext.setSizeHandler(&onSize, nullptr);
  AEffect* e = lib.effect;

  VstMidiSysexEvent sysex{kVstSysExType, sizeof(VstMidiSysexEvent), 0, 0, 0, 0, nullptr, 0};
  VstMidiEvent note{kVstMidiType, sizeof(VstMidiEvent), 3, 1, 0, 0, {char(0x91), 64, 90, 0}, 0, 0, 0, 0};
  VstEventsN<3> list{
      2, 0, {reinterpret_cast<VstEvent*>(&sysex), reinterpret_cast<VstEvent*>(&note), nullptr}};
  EXPECT_EQ(e->dispatcher(e, effProcessEvents, 0, 0, list.asVstEvents(), 0.0f), 1);
  ASSERT_EQ(probe.state().midiCount.load(), 1u);
  EXPECT_EQ(probe.state().midi[0].deltaFrames, 3);
  EXPECT_EQ(probe.state().midi[0].flags, 1);
  EXPECT_EQ(probe.state().midi[0].data[0], 0x91);
  EXPECT_EQ(probe.state().midi[0].data[2], 90);
  EXPECT_EQ(probe.state().midi[0].batch, 1u);

  void* chunk = nullptr;
  EXPECT_EQ(e->dispatcher(e, effGetChunk, 0, 0, &chunk, 0.0f), 10);
  EXPECT_EQ(std::memcmp(chunk, bank, 10), 0);
  EXPECT_EQ(e->dispatcher(e, effSetChunk, 0, 4, const_cast<unsigned char*>(bank) + 6, 0.0f), 1);
  EXPECT_EQ(probe.state().setChunkValue, 4);
  EXPECT_EQ(std::memcmp(probe.state().setChunk, "6789", 4), 0);

  char yes[] = "receiveVstMidiEvent", no[] = "sendVstMidiEvent";
  EXPECT_EQ(e->dispatcher(e, effCanDo, 0, 0, yes, 0.0f), 1);
  EXPECT_EQ(e->dispatcher(e, effCanDo, 0, 0, no, 0.0f), 0);
  EXPECT_STREQ(probe.state().calls[(probe.state().callCount - 1) % kProbeMaxCalls].text, "sendVstMidiEvent");

  EXPECT_EQ(e->dispatcher(e, effEditOpen, 0, 0, nullptr, 0.0f), 1);
  EXPECT_EQ(probe.state().sizeRequestAnswer, 1);
  EXPECT_EQ(onlySize, 640 * 10000 + 480);

  // The extension entries sit behind the record.
  probe.config().editorHasKeyFocus = 1;
  auto* bytes = reinterpret_cast<char*>(e);
  bool (*hasFocus)(AEffect*);
  std::memcpy(&hasFocus, bytes + kProbeEditorHasKeyFocusOffset, sizeof hasFocus);
  EXPECT_TRUE(hasFocus(e));
  void (*about)(AEffect*);
  std::memcpy(&about, bytes + kProbeShowAboutOffset, sizeof about);
  about(e);
  EXPECT_EQ(probe.state().extensionCalls[0].load(), 1u);
  EXPECT_EQ(probe.state().extensionCalls[3].load(), 1u);
  lib.closePlugin();
}

}  // namespace
