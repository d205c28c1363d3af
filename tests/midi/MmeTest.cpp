// The multimedia MIDI layer over simulated devices: numbering, names, capability records, the
// notification sequence of an input, and the short-message packing helpers.
#include "platform/mme/Mme.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <thread>
#include <vector>

#include "platform/clock/Clock.h"
#include "platform/mme/DeviceNames.h"
#include "platform/mme/ShortMessage.h"
#include "platform/mme/SimulatedMidi.h"

using namespace plat::mme;

namespace {

struct Notification {
  uint32_t msg;
  uintptr_t p1, p2;
};
struct Log {
  std::vector<Notification> seen;
  static void proc(HMIDIIN, uint32_t msg, uintptr_t instance, uintptr_t p1, uintptr_t p2) {
    reinterpret_cast<Log*>(instance)->seen.push_back({msg, p1, p2});
  }
  std::vector<uint32_t> codes() const {
    std::vector<uint32_t> c;
    for (auto& n : seen) c.push_back(n.msg);
    return c;
  }
};

std::string inName(Mme& mme, uint32_t i) {
  MIDIINCAPSA caps;
  std::memset(&caps, 0x55, sizeof caps);
  if (mme.midiInGetDevCapsA(i, &caps, sizeof caps) != MMSYSERR_NOERROR) return "<fail>";
  return caps.szPname;
}
std::string outName(Mme& mme, uintptr_t i) {
  MIDIOUTCAPSA caps;
  std::memset(&caps, 0x55, sizeof caps);
  if (mme.midiOutGetDevCapsA(i, &caps, sizeof caps) != MMSYSERR_NOERROR) return "<fail>";
  return caps.szPname;
}

TEST(DeviceNames, ShortNamesStayLongNamesAreCutWithAStableTag) {
  EXPECT_EQ(shortDeviceName("USB Keys"), "USB Keys");
  const std::string exact(31, 'x');
  EXPECT_EQ(shortDeviceName(exact), exact);

  const std::string a = "a2j:Midi Through [14] (capture): Port-0";
  const std::string b = "a2j:Midi Through [14] (capture): Port-1";
  const std::string sa = shortDeviceName(a), sb = shortDeviceName(b);
  EXPECT_EQ(sa.size(), 31u);
  EXPECT_EQ(sa.substr(0, 26), a.substr(0, 26));
  EXPECT_EQ(sa[26], '~');
  EXPECT_NE(sa, sb);
  EXPECT_EQ(shortDeviceName(a), sa);

  // A cut never splits a UTF-8 sequence: "é" is two bytes sitting across byte 26.
  const std::string accented = std::string(25, 'k') + "\xC3\xA9" + std::string(10, 'z');
  const std::string s = shortDeviceName(accented);
  EXPECT_LE(s.size(), 31u);
  EXPECT_EQ(s.substr(0, 26), std::string(25, 'k') + "~");
}

TEST(DeviceNames, DuplicatesGetNumbersWithinTheLimitAndReservedNamesAreAvoided) {
  std::vector<std::string> names{"Keys", "Keys", "MIDI Mapper", std::string(31, 'L'), std::string(31, 'L'),
                                 "Keys"};
  uniqueDeviceNames(names, {"MIDI Mapper"});
  EXPECT_EQ(names[0], "Keys");
  EXPECT_EQ(names[1], "Keys 2");
  EXPECT_EQ(names[2], "MIDI Mapper 2");
  EXPECT_EQ(names[3], std::string(31, 'L'));
  EXPECT_EQ(names[4], std::string(29, 'L') + " 2");
  EXPECT_EQ(names[5], "Keys 3");
}

TEST(Mme, NumbersDevicesOfAllBackingsInOrderWithUniqueShortNames) {
  SimulatedMidi first, second;
  first.addInput("Keys");
  first.addOutput("Synth");
  second.addInput("Keys");
  second.addInput("A rather long name of a port that goes on");
  second.addOutput("Drums");
  second.setMapper(false);
  first.setMapper(false);
  Mme mme({&first, &second});
  ASSERT_EQ(mme.midiInGetNumDevs(), 3u);
  EXPECT_EQ(inName(mme, 0), "Keys");
  EXPECT_EQ(inName(mme, 1), "Keys 2");
  EXPECT_EQ(inName(mme, 2), shortDeviceName("A rather long name of a port that goes on"));
  EXPECT_EQ(inName(mme, 3), "<fail>");
  ASSERT_EQ(mme.midiOutGetNumDevs(), 2u);
  EXPECT_EQ(outName(mme, 0), "Synth");
  EXPECT_EQ(outName(mme, 1), "Drums");
  EXPECT_EQ(outName(mme, MIDI_MAPPER), "<fail>");  // no backing offers the mapper

  // The index reaches the right backing's device.
  HMIDIIN h = nullptr;
  ASSERT_EQ(mme.midiInOpen(&h, 1, nullptr, 0, CALLBACK_NULL), MMSYSERR_NOERROR);
  EXPECT_TRUE(second.inputOpen("Keys"));
  EXPECT_FALSE(first.inputOpen("Keys"));
  EXPECT_EQ(mme.midiInClose(h), MMSYSERR_NOERROR);
}

TEST(Mme, CapabilityRecordsAndBadIds) {
  SimulatedMidi sim;
  sim.addInput(std::string(40, 'n'));
  sim.addOutput("Out");
  Mme mme({&sim});
  MIDIINCAPSA in;
  std::memset(&in, 0x55, sizeof in);
  ASSERT_EQ(mme.midiInGetDevCapsA(0, &in, sizeof in), MMSYSERR_NOERROR);
  EXPECT_EQ(strnlen(in.szPname, sizeof in.szPname), 31u);
  EXPECT_EQ(mme.midiInGetDevCapsA(1, &in, sizeof in), MMSYSERR_BADDEVICEID);
  EXPECT_EQ(mme.midiInGetDevCapsA(MIDI_MAPPER, &in, sizeof in), MMSYSERR_BADDEVICEID);
  EXPECT_EQ(mme.midiInGetDevCapsA(0, nullptr, sizeof in), MMSYSERR_INVALPARAM);

  MIDIOUTCAPSA out{};
  ASSERT_EQ(mme.midiOutGetDevCapsA(MIDI_MAPPER, &out, sizeof out), MMSYSERR_NOERROR);
  EXPECT_STREQ(out.szPname, Mme::kMapperName);
  EXPECT_EQ(out.wTechnology, MOD_MAPPER);
  EXPECT_EQ(mme.midiOutGetDevCapsA(1, &out, sizeof out), MMSYSERR_BADDEVICEID);

  HMIDIIN h = reinterpret_cast<HMIDIIN>(1);
  EXPECT_EQ(mme.midiInOpen(&h, MIDI_MAPPER, &Log::proc, 0, CALLBACK_FUNCTION), MMSYSERR_BADDEVICEID);
  EXPECT_EQ(h, nullptr);
  EXPECT_EQ(mme.midiInOpen(&h, 0, nullptr, 0, CALLBACK_FUNCTION), MMSYSERR_INVALPARAM);
  HMIDIOUT o = nullptr;
  EXPECT_EQ(mme.midiOutOpen(&o, 5, 0, 0, CALLBACK_NULL), MMSYSERR_BADDEVICEID);
}

TEST(Mme, InputNotifiesOpenDataOnlyWhileStartedAndCloseOnce) {
  plat::clock::ManualClock clock;
  SimulatedMidi sim;
  sim.addInput("In");
  Log log;
  Mme mme({&sim}, clock);
  HMIDIIN h = nullptr;
  ASSERT_EQ(mme.midiInOpen(&h, 0, &Log::proc, reinterpret_cast<uintptr_t>(&log), CALLBACK_FUNCTION),
            MMSYSERR_NOERROR);
  HMIDIIN second = nullptr;
  EXPECT_EQ(mme.midiInOpen(&second, 0, &Log::proc, 0, CALLBACK_FUNCTION), MMSYSERR_ALLOCATED);  // taken
  EXPECT_FALSE(sim.inject("In", 0x90, 1, 1));  // not started: dropped

  clock.advanceMs(1000);
  ASSERT_EQ(mme.midiInStart(h), MMSYSERR_NOERROR);
  clock.advanceMs(25);
  ASSERT_TRUE(sim.inject("In", 0x90, 60, 100));
  // Stop returns after what arrived before it was delivered; nothing is taken after it.
  ASSERT_EQ(mme.midiInStop(h), MMSYSERR_NOERROR);
  EXPECT_FALSE(sim.inject("In", 0x80, 60, 0));
  ASSERT_EQ(mme.midiInReset(h), MMSYSERR_NOERROR);
  ASSERT_EQ(mme.midiInClose(h), MMSYSERR_NOERROR);
  EXPECT_EQ(mme.midiInClose(h), MMSYSERR_INVALHANDLE);
  EXPECT_EQ(mme.midiInStart(h), MMSYSERR_INVALHANDLE);

  EXPECT_EQ(log.codes(), (std::vector<uint32_t>{MIM_OPEN, MIM_DATA, MIM_CLOSE}));
  ASSERT_EQ(log.seen.size(), 3u);
  EXPECT_EQ(log.seen[1].p1, 0x00643C90u);
  EXPECT_EQ(log.seen[1].p2, 25u);  // milliseconds since start
  EXPECT_FALSE(sim.inputOpen("In"));
}

TEST(Mme, DestructorClosesWhatIsStillOpen) {
  SimulatedMidi sim;
  sim.addInput("In");
  sim.addOutput("Out");
  Log log;
  {
    Mme mme({&sim});
    HMIDIIN h = nullptr;
    HMIDIOUT o = nullptr;
    ASSERT_EQ(mme.midiInOpen(&h, 0, &Log::proc, reinterpret_cast<uintptr_t>(&log), CALLBACK_FUNCTION), 0u);
    ASSERT_EQ(mme.midiInStart(h), 0u);
    ASSERT_EQ(mme.midiOutOpen(&o, 0, 0, 0, CALLBACK_NULL), 0u);
    ASSERT_EQ(mme.midiOutShortMsg(o, 0x00643C90), 0u);
  }
  EXPECT_EQ(log.codes(), (std::vector<uint32_t>{MIM_OPEN, MIM_CLOSE}));
  EXPECT_FALSE(sim.inputOpen("In"));
  EXPECT_EQ(sim.openOutputs("Out"), 0);
  EXPECT_EQ(sim.sent("Out"), std::vector<uint32_t>{0x00643C90});
}

// A callback that is slow fills the input's queue: the overflow is refused at the door, and
// every message that was taken is delivered in order.
TEST(Mme, FullQueueRefusesMessagesAndLosesNoneItTook) {
  SimulatedMidi sim;
  sim.addInput("In");
  Mme mme({&sim});
  struct Slow {
    std::atomic<bool> release{false};
    std::atomic<int> first{0};
    std::vector<uint32_t> got;
    static void proc(HMIDIIN, uint32_t msg, uintptr_t instance, uintptr_t p1, uintptr_t) {
      auto* self = reinterpret_cast<Slow*>(instance);
      if (msg != MIM_DATA) return;
      self->first.store(1);
      while (!self->release.load()) std::this_thread::yield();
      self->got.push_back(uint32_t(p1));
    }
  } slow;
  HMIDIIN h = nullptr;
  ASSERT_EQ(mme.midiInOpen(&h, 0, &Slow::proc, reinterpret_cast<uintptr_t>(&slow), CALLBACK_FUNCTION), 0u);
  ASSERT_EQ(mme.midiInStart(h), 0u);
  ASSERT_TRUE(sim.inject("In", 0x90, 0, 1));
  while (!slow.first.load()) std::this_thread::yield();  // the delivery thread is now held
  std::vector<uint32_t> taken{0x00010090};
  int refused = 0;
  for (int i = 0; i < 1100; ++i) {
    const uint32_t p = 0x90 | uint32_t(i % 128) << 8 | uint32_t(i / 128 + 1) << 16;
    if (sim.inject("In", p))
      taken.push_back(p);
    else
      ++refused;
  }
  EXPECT_EQ(refused, 1100 - 1024);
  slow.release.store(true);
  mme.midiInClose(h);
  EXPECT_EQ(slow.got, taken);
}

TEST(ShortMessage, PacksCompleteShortMessagesOnly) {
  struct Case {
    std::vector<uint8_t> bytes;
    bool ok;
    uint32_t packed;
  } cases[] = {
      {{0x93, 0x3C, 0x64}, true, 0x00643C93},
      {{0xC2, 0x05}, true, 0x000005C2},
      {{0xD0, 0x40}, true, 0x000040D0},
      {{0xF8}, true, 0xF8},
      {{0xF2, 0x01, 0x02}, true, 0x000201F2},
      {{0xF3, 0x04}, true, 0x000004F3},
      {{0xC2, 0x05, 0x06}, false, 0},  // wrong length
      {{0x90, 0x3C}, false, 0},        // truncated
      {{0x3C, 0x64}, false, 0},        // running status is not a complete message
      {{0xF0, 0x7E, 0xF7}, false, 0},  // system exclusive
      {{0x90, 0xBC, 0x64}, false, 0},  // data byte with the high bit
      {{}, false, 0},
  };
  for (const auto& c : cases) {
    uint32_t packed = 0;
    SCOPED_TRACE(c.bytes.empty() ? -1 : int(c.bytes[0]));
    EXPECT_EQ(packShortMessage(c.bytes.data(), c.bytes.size(), packed), c.ok);
    if (c.ok) {
      EXPECT_EQ(packed, c.packed);
    }
  }
  uint8_t bytes[3];
  EXPECT_EQ(unpackShortMessage(0x00643C90, bytes), 3u);
  EXPECT_EQ(bytes[1], 0x3C);
  EXPECT_EQ(unpackShortMessage(0x000007C5, bytes), 2u);
  EXPECT_EQ(unpackShortMessage(0x000000FE, bytes), 1u);
  EXPECT_EQ(unpackShortMessage(0x0000003C, bytes), 0u);
}

}  // namespace
