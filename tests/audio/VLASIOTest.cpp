#include "audio/VLASIO.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <functional>
#include <memory>
#include <thread>
#include <vector>

#include "AsioTestHive.h"
#include "SimAsioDriver.h"
#include "audio/AsioCallLayer.h"
#include "audio/SampleConversion.h"

using namespace plat;
using namespace plat::asio;
using asiosim::Call;

namespace {

const char* kClsidSim = "{5B1E2C3D-4F50-4A61-8B72-93A4B5C6D701}";
const char* kClsidOther = "{5B1E2C3D-4F50-4A61-8B72-93A4B5C6D702}";

// A clock whose sleep runs a hook instead of waiting (the stop grace is observed, not waited).
class HookClock final : public clock::Clock {
 public:
  int64_t performanceCounter() noexcept override { return 0; }
  int64_t performanceFrequency() noexcept override { return 1; }
  uint32_t tickCount() noexcept override { return 0; }
  bool systemTimes(clock::SystemTimes&) noexcept override { return false; }
  bool processTimes(clock::ProcessTimes&) noexcept override { return false; }
  void sleepMs(uint32_t ms) noexcept override {
    slept.push_back(ms);
    if (onSleep) onSleep();
  }
  std::vector<uint32_t> slept;
  std::function<void()> onSleep;
};

// What the block callback saw, and what it writes.
struct Probe {
  int calls = 0;
  std::vector<uint32_t> frames;
  std::vector<float> left, right;  // input as seen at the last call
  float outLeft = 0.5f, outRight = -0.25f;
  bool result = true;
  static bool callback(ChannelBufferPair* in, ChannelBufferPair* out, uint32_t frames, void* user) {
    auto* p = static_cast<Probe*>(user);
    EXPECT_EQ(in, out);
    ++p->calls;
    p->frames.push_back(frames);
    p->left.assign(in->left, in->left + frames);
    p->right.assign(in->right, in->right + frames);
    for (uint32_t i = 0; i < frames; ++i) {
      out->left[i] = p->outLeft;
      out->right[i] = p->outRight;
    }
    return p->result;
  }
};

class VLASIOTest : public ::testing::Test {
 protected:
  void SetUp() override {
    asiotest::seedDriver(*reg, {"sim", kClsidSim, "Sim Driver"});
    asiotest::seedDriver(*reg, {"other", kClsidOther, "Other Driver"});
    com::CLSID id{};
    com::CLSIDFromString(kClsidSim, &id);
    com.registerClass(id, asiosim::simAsioFactory(sim));
    com::CLSIDFromString(kClsidOther, &id);
    com.registerClass(id, asiosim::simAsioFactory(other));
  }
  AudioDeviceInfo* record(int driver, bool input) {
    return host->devices[size_t(2 * driver + (input ? 0 : 1))].get();
  }
  asiosim::SimAsioDriver& driver() { return *sim->driver.load(); }
  void makeHost() { host = std::make_unique<VLASIO>(*reg, com, clock); }

  std::unique_ptr<registry::Registry> reg = registry::makeMemoryRegistry();
  com::Com com{*reg};
  std::shared_ptr<asiosim::SimAsioSetup> sim = std::make_shared<asiosim::SimAsioSetup>();
  std::shared_ptr<asiosim::SimAsioSetup> other = std::make_shared<asiosim::SimAsioSetup>();
  HookClock clock;
  std::unique_ptr<VLASIO> host;
  Probe probe;
};

TEST_F(VLASIOTest, ListsAnInputAndAnOutputRecordPerDriver) {
  makeHost();
  ASSERT_EQ(host->devices.size(), 4u);
  const char* names[] = {"Sim Driver", "Sim Driver", "Other Driver", "Other Driver"};
  for (size_t i = 0; i < 4; ++i) {
    const AudioDeviceInfo& r = *host->devices[i];
    EXPECT_EQ(r.name, names[i]);
    EXPECT_EQ(r.id, int(i / 2));
    EXPECT_EQ(r.isInput, i % 2 == 0);
    EXPECT_EQ(r.type, DeviceTypeASIO);
    EXPECT_EQ(r.bufferSize, 512);
    EXPECT_EQ(r.leftChannel, 0);
    EXPECT_EQ(r.rightChannel, 1);
    EXPECT_FALSE(r.infoValid);
    EXPECT_FALSE(r.isDefault);
  }
  EXPECT_EQ(VLASIO::currentInstance, host.get());
  EXPECT_TRUE(host->matchFormats(record(0, true), record(0, false)));
}

TEST_F(VLASIOTest, OpenReadsTheDriverAndUnloadsIt) {
  sim->inputTypes = {ASIOSTInt16LSB, ASIOSTInt24LSB, ASIOSTFloat32LSB};
  sim->outputTypes = {ASIOSTInt32LSB, ASIOSTInt32LSB};
  sim->preferredSize = 256;
  sim->sampleRate = 44100;
  makeHost();
  AudioDeviceInfo* in = record(0, true);
  AudioDeviceInfo* out = record(0, false);
  ASSERT_TRUE(host->open(in, true));
  ASSERT_TRUE(host->open(out, false));
  EXPECT_EQ(in->channelNames, (std::vector<std::string>{"In 1", "In 2", "In 3"}));
  EXPECT_EQ(out->channelNames, (std::vector<std::string>{"Out 1", "Out 2"}));
  EXPECT_EQ(in->bufferSize, 256);
  EXPECT_EQ(in->sampleRate, 44100);
  EXPECT_EQ(in->channelCount, 2);  // the output count, for both directions
  EXPECT_EQ(in->bitsPerSample, 0);
  EXPECT_TRUE(in->infoValid);
  EXPECT_EQ(sim->driver.load(), nullptr);
  EXPECT_EQ(currentDriver, nullptr);
  EXPECT_EQ(host->channelBuffers.left, nullptr);
  // An inspected record is answered without any driver access, even when the driver now fails.
  int created = sim->created;
  sim->fail(Call::init);
  sim->fail(Call::getSampleRate);
  in->channelNames.push_back("kept");
  EXPECT_TRUE(host->open(in, true));
  EXPECT_EQ(sim->created, created);
  EXPECT_EQ(in->channelNames.size(), 4u);
  EXPECT_FALSE(host->open(nullptr, true));
}

TEST_F(VLASIOTest, FailingCallsFailOpenAndStart) {
  const Call calls[] = {Call::init, Call::getChannels, Call::getBufferSize, Call::getSampleRate,
                        Call::getChannelInfo};
  for (Call c : calls) {
    SCOPED_TRACE(int(c));
    sim->failing = 0;
    sim->fail(c);
    makeHost();
    EXPECT_FALSE(host->open(record(0, false), true));
    EXPECT_FALSE(record(0, false)->infoValid);
    EXPECT_EQ(sim->driver.load(), nullptr);  // unloaded again
    EXPECT_FALSE(host->start(record(0, true), record(0, false), &Probe::callback, &probe));
    EXPECT_FALSE(host->streaming);
    host.reset();
  }
  for (Call c : {Call::createBuffers, Call::getLatencies, Call::start}) {
    sim->failing = 0;
    sim->fail(c);
    makeHost();
    EXPECT_TRUE(host->open(record(0, false), true));
    EXPECT_FALSE(host->start(record(0, true), record(0, false), &Probe::callback, &probe));
    EXPECT_FALSE(host->streaming);
    host.reset();
  }
}

// The records carry the full listed name; a driver whose name is 32 characters or longer opens
// and streams under it, and two such names with the same beginning each reach their own driver.
TEST_F(VLASIOTest, DriversWithLongNamesOpenAndStartUnderTheirFullName) {
  const std::string prefix = "A driver whose name is long enough ";
  asiotest::seedDriver(*reg, {"sim", kClsidSim, prefix + "(one)"});
  asiotest::seedDriver(*reg, {"other", kClsidOther, prefix + "(two)"});
  makeHost();
  ASSERT_EQ(host->devices.size(), 4u);
  EXPECT_EQ(record(1, false)->name, prefix + "(two)");
  ASSERT_TRUE(host->open(record(1, false), true));
  EXPECT_EQ(other->created, 1);
  EXPECT_EQ(sim->created, 0);
  ASSERT_TRUE(host->open(record(0, true), true));
  EXPECT_EQ(sim->created, 1);
  ASSERT_TRUE(host->start(record(1, true), record(1, false), &Probe::callback, &probe));
  ASSERT_NE(other->driver.load(), nullptr);
  EXPECT_TRUE(other->driver.load()->tick());
  EXPECT_EQ(probe.calls, 1);
  EXPECT_EQ(sim->driver.load(), nullptr);
}

TEST_F(VLASIOTest, StartRefusesTwoDriversAndBadRecords) {
  makeHost();
  EXPECT_FALSE(host->start(record(0, true), record(1, false), &Probe::callback, &probe));
  EXPECT_FALSE(host->start(record(0, true), nullptr, &Probe::callback, &probe));
  AudioDeviceInfo stray(DeviceTypeASIO, false);
  stray.id = 2;
  EXPECT_FALSE(host->start(nullptr, &stray, &Probe::callback, &probe));
  EXPECT_EQ(sim->created + other->created, 0);
}

// Channel selection lands in ascending order; blocks are the driver's preferred size.
TEST_F(VLASIOTest, InputSelectionFillsThePairInAscendingOrder) {
  sim->inputTypes = {ASIOSTFloat32LSB, ASIOSTFloat32LSB, ASIOSTInt16MSB, ASIOSTFloat32LSB};
  sim->preferredSize = 256;
  sim->input = [](int channel, int64_t frame, void* half, int32_t frames) {
    if (channel == 2) {
      std::memset(half, 0x11, size_t(frames) * 2);
      return;
    }
    auto* f = static_cast<float*>(half);
    for (int32_t i = 0; i < frames; ++i) f[i] = float(channel) + float(frame + i) * 1e-6f;
  };
  makeHost();
  AudioDeviceInfo* in = record(0, true);
  in->bufferSize = 1024;  // stale: the driver's preferred size wins
  in->leftChannel = 3;
  in->rightChannel = 1;
  ASSERT_TRUE(host->start(in, record(0, false), &Probe::callback, &probe));
  EXPECT_TRUE(host->streaming);
  ASSERT_TRUE(driver().tick());
  ASSERT_TRUE(driver().tick());
  ASSERT_EQ(probe.frames, (std::vector<uint32_t>{256, 256}));
  for (int i = 0; i < 256; ++i) {
    ASSERT_EQ(probe.left[size_t(i)], 1.0f + float(256 + i) * 1e-6f);
    ASSERT_EQ(probe.right[size_t(i)], 3.0f + float(256 + i) * 1e-6f);
  }
  // A big-endian channel is byte-reversed in place in the driver's buffer.
  host->stop();
  in->leftChannel = 2;
  in->rightChannel = 2;
  sim->input = [](int channel, int64_t, void* half, int32_t frames) {
    auto* b = static_cast<uint8_t*>(half);
    for (int32_t i = 0; channel == 2 && i < frames; ++i) {
      b[2 * i] = 0x40;  // 0x4000 high byte first
      b[2 * i + 1] = 0x00;
    }
  };
  probe.left.clear();
  ASSERT_TRUE(host->start(in, record(0, false), &Probe::callback, &probe));
  float rightBefore = host->channelBuffers.right[0];
  ASSERT_TRUE(driver().tick());
  EXPECT_EQ(probe.left[0], 16384.0f * std::bit_cast<float>(0x3800007Fu) + std::bit_cast<float>(0x3780007Fu));
  EXPECT_EQ(probe.right[0], rightBefore);  // one channel selected twice fills only `left`
  auto* raw = static_cast<uint8_t*>(driver().half(true, 2, 0));
  EXPECT_EQ(raw[0], 0x00);
  EXPECT_EQ(raw[1], 0x40);
}

// left = right on output: that channel carries `left`; every other output is zeroed over its width.
TEST_F(VLASIOTest, OutputSelectionAndSilence) {
  sim->outputTypes = {ASIOSTInt24MSB, ASIOSTInt16LSB, ASIOSTFloat64LSB, ASIOSTInt32LSB20, ASIOSTDSDInt8LSB1};
  sim->preferredSize = 64;
  makeHost();
  AudioDeviceInfo* out = record(0, false);
  out->leftChannel = 0;
  out->rightChannel = 0;
  ASSERT_TRUE(host->start(nullptr, out, &Probe::callback, &probe));
  const int widths[] = {3, 2, 8, 4, 1};
  for (int ch = 0; ch < 5; ++ch) std::memset(driver().half(false, ch, 0), 0xAA, size_t(64 * widths[ch]));
  ASSERT_TRUE(driver().tick());
  auto* b0 = static_cast<uint8_t*>(driver().half(false, 0, 0));
  // 0.5 -> trunc(2 * 0.5 * 4194304 - 0.5) = 4194303 = 0x3FFFFF, high byte first.
  for (int i = 0; i < 64; ++i) {
    ASSERT_EQ(b0[3 * i], 0x3F);
    ASSERT_EQ(b0[3 * i + 1], 0xFF);
    ASSERT_EQ(b0[3 * i + 2], 0xFF);
  }
  for (int ch = 1; ch < 4; ++ch) {
    auto* b = static_cast<uint8_t*>(driver().half(false, ch, 0));
    for (int i = 0; i < 64 * widths[ch]; ++i) ASSERT_EQ(b[i], 0) << ch << " " << i;
  }
  EXPECT_EQ(static_cast<uint8_t*>(driver().half(false, 4, 0))[0], 0xAA);  // no known silence for DSD
  EXPECT_EQ(sim->count(Call::outputReady), 2);  // the probe in initDriver and this block
}

TEST_F(VLASIOTest, RightSideGoesToTheSecondSelectedChannel) {
  sim->outputTypes = {ASIOSTFloat32LSB, ASIOSTFloat32LSB, ASIOSTFloat32LSB};
  sim->preferredSize = 32;
  makeHost();
  AudioDeviceInfo* out = record(0, false);
  out->leftChannel = 2;
  out->rightChannel = 0;
  ASSERT_TRUE(host->start(nullptr, out, &Probe::callback, &probe));
  ASSERT_TRUE(driver().tick());
  // Ascending: channel 0 takes `left`, channel 2 takes `right`.
  EXPECT_EQ(static_cast<float*>(driver().half(false, 0, 0))[5], 0.5f);
  EXPECT_EQ(static_cast<float*>(driver().half(false, 1, 0))[5], 0.0f);
  EXPECT_EQ(static_cast<float*>(driver().half(false, 2, 0))[5], -0.25f);
}

TEST_F(VLASIOTest, FalseResultWritesNothingAndSkipsOutputReady) {
  sim->outputTypes = {ASIOSTInt16LSB, ASIOSTInt16LSB, ASIOSTInt16LSB};
  sim->preferredSize = 32;
  makeHost();
  probe.result = false;
  ASSERT_TRUE(host->start(record(0, true), record(0, false), &Probe::callback, &probe));
  int ready = sim->count(Call::outputReady);
  for (int half = 0; half < 2; ++half)
    for (int ch = 0; ch < 3; ++ch) std::memset(driver().half(false, ch, half), 0x5A, 64);
  for (int i = 0; i < 4; ++i) ASSERT_TRUE(driver().tick());
  EXPECT_EQ(probe.calls, 4);  // called on every block all the same
  for (int half = 0; half < 2; ++half)
    for (int ch = 0; ch < 3; ++ch) EXPECT_EQ(static_cast<uint8_t*>(driver().half(false, ch, half))[63], 0x5A);
  EXPECT_EQ(sim->count(Call::outputReady), ready);
}

TEST_F(VLASIOTest, NoInputLeavesThePairAsThePreviousBlockLeftIt) {
  sim->preferredSize = 16;
  makeHost();
  probe.outLeft = 0.125f;
  ASSERT_TRUE(host->start(nullptr, record(0, false), &Probe::callback, &probe));
  ASSERT_TRUE(driver().tick());
  EXPECT_EQ(probe.left[0], 0.0f);  // zero-filled at allocation
  ASSERT_TRUE(driver().tick());
  EXPECT_EQ(probe.left[0], 0.125f);
}

TEST_F(VLASIOTest, NoOutputReadyWhenTheDriverRefusesIt) {
  sim->fail(Call::outputReady);
  makeHost();
  ASSERT_TRUE(host->start(nullptr, record(0, false), &Probe::callback, &probe));
  EXPECT_FALSE(host->postOutput);
  ASSERT_TRUE(driver().tick());
  EXPECT_EQ(sim->count(Call::outputReady), 1);  // only initDriver's probe
}

// stop clears `streaming`, waits 100 ms in which arriving blocks return at once, and only then
// stops the driver, disposes of its buffers and unloads it.
TEST_F(VLASIOTest, StopGraceLetsLateBlocksPassUntouched) {
  sim->outputTypes = {ASIOSTInt16LSB, ASIOSTInt16LSB};
  sim->preferredSize = 32;
  makeHost();
  ASSERT_TRUE(host->start(nullptr, record(0, false), &Probe::callback, &probe));
  ASSERT_TRUE(driver().tick());
  int calls = probe.calls;
  int stopsBefore = sim->count(Call::stop);
  bool lateBlockRan = false;
  clock.onSleep = [&] {
    EXPECT_FALSE(host->streaming);
    EXPECT_EQ(sim->count(Call::stop), stopsBefore);
    auto* half = static_cast<uint8_t*>(driver().half(false, 1, 1));
    std::memset(half, 0x77, 64);
    lateBlockRan = driver().tick();
    EXPECT_EQ(half[10], 0x77);
  };
  host->stop();
  EXPECT_EQ(clock.slept, (std::vector<uint32_t>{100}));
  EXPECT_TRUE(lateBlockRan);
  EXPECT_EQ(probe.calls, calls);
  EXPECT_EQ(sim->count(Call::disposeBuffers), 1);
  EXPECT_EQ(sim->driver.load(), nullptr);
  EXPECT_EQ(host->channelBuffers.left, nullptr);
  // Stop again: nothing streams, no wait.
  host->stop();
  EXPECT_EQ(clock.slept.size(), 1u);
}

// A block that is still inside the callback when the grace has passed keeps stop from releasing
// the driver's and the host's buffers until it has left.
TEST_F(VLASIOTest, StopWaitsForABlockStillRunningAfterTheGrace) {
  sim->outputTypes = {ASIOSTInt16LSB, ASIOSTInt16LSB};
  sim->preferredSize = 32;
  makeHost();
  struct Slow {
    std::atomic<bool> inside{false}, release{false};
    static bool cb(ChannelBufferPair* in, ChannelBufferPair* out, uint32_t frames, void* u) {
      auto* s = static_cast<Slow*>(u);
      s->inside = true;
      while (!s->release) std::this_thread::yield();
      for (uint32_t i = 0; i < frames; ++i) out->left[i] = out->right[i] = in->left[i];
      return true;
    }
  } slow;
  clock.onSleep = [] { std::this_thread::sleep_for(std::chrono::milliseconds(1)); };
  ASSERT_TRUE(host->start(nullptr, record(0, false), &Slow::cb, &slow));
  // The driver's thread, reduced to the switch itself: what a driver does with its own state after
  // the switch has returned is for its own stop to wait out.
  std::thread audio([] { VLASIO::bufferSwitchTimeInfo(nullptr, 0, ASIOFalse); });
  while (!slow.inside) std::this_thread::yield();
  std::atomic<bool> stopped{false};
  std::thread ui([&] {
    host->stop();
    stopped = true;
  });
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  EXPECT_FALSE(stopped.load()) << "stop returned while a block was still running";
  EXPECT_EQ(sim->count(Call::disposeBuffers), 0);
  slow.release = true;
  audio.join();
  ui.join();
  EXPECT_TRUE(stopped.load());
  EXPECT_EQ(sim->count(Call::disposeBuffers), 1);
  EXPECT_EQ(host->channelBuffers.left, nullptr);
}

TEST_F(VLASIOTest, StartStopsARunningStreamAndRestarts) {
  makeHost();
  ASSERT_TRUE(host->start(record(0, true), record(0, false), &Probe::callback, &probe));
  ASSERT_TRUE(host->start(record(0, true), record(0, false), &Probe::callback, &probe));
  EXPECT_EQ(clock.slept.size(), 1u);
  EXPECT_EQ(sim->created, 2);
  EXPECT_TRUE(driver().tick());
  host.reset();  // destruction stops the stream
  EXPECT_EQ(sim->driver.load(), nullptr);
}

TEST_F(VLASIOTest, DriverThreadStreamsUntilStop) {
  sim->pace = asiosim::Pace::asFastAsPossible;
  sim->preferredSize = 128;
  sim->recordOutput = false;
  makeHost();
  struct Count {
    std::atomic<int> blocks{0};
    static bool cb(ChannelBufferPair*, ChannelBufferPair*, uint32_t frames, void* u) {
      EXPECT_EQ(frames, 128u);
      static_cast<Count*>(u)->blocks++;
      return true;
    }
  } count;
  clock.onSleep = [] { std::this_thread::sleep_for(std::chrono::milliseconds(100)); };
  ASSERT_TRUE(host->start(record(0, true), record(0, false), &Count::cb, &count));
  while (count.blocks < 200) std::this_thread::yield();
  host->stop();
  int after = count.blocks;
  std::this_thread::sleep_for(std::chrono::milliseconds(20));
  EXPECT_EQ(count.blocks, after);
}

TEST_F(VLASIOTest, ControlPanel) {
  makeHost();
  EXPECT_TRUE(host->controlPanel(record(0, false)));
  EXPECT_EQ(sim->count(Call::init), 0);  // no ASIOInit for the panel
  EXPECT_EQ(sim->driver.load(), nullptr);
  EXPECT_FALSE(host->controlPanel(nullptr));
  sim->fail(Call::controlPanel);
  EXPECT_FALSE(host->controlPanel(record(0, false)));
  // While streaming, the running driver's panel whatever the record.
  sim->failing = 0;
  ASSERT_TRUE(host->start(nullptr, record(0, false), &Probe::callback, &probe));
  EXPECT_TRUE(host->controlPanel(nullptr));
  EXPECT_EQ(sim->count(Call::controlPanel), 3);
}

TEST_F(VLASIOTest, AsioMessageAnswers) {
  struct Case {
    int32_t selector, value, result;
  };
  const Case cases[] = {{kAsioSelectorSupported, kAsioEngineVersion, 1},
                        {kAsioSelectorSupported, kAsioResetRequest, 1},
                        {kAsioSelectorSupported, kAsioBufferSizeChange, 0},
                        {kAsioSelectorSupported, kAsioResyncRequest, 1},
                        {kAsioSelectorSupported, kAsioLatenciesChanged, 1},
                        {kAsioSelectorSupported, kAsioSupportsTimeInfo, 1},
                        {kAsioSelectorSupported, kAsioSupportsTimeCode, 1},
                        {kAsioSelectorSupported, kAsioMMCCommand, 0},
                        {kAsioSelectorSupported, kAsioSupportsInputMonitor, 1},
                        {kAsioSelectorSupported, 99, 0},
                        {kAsioEngineVersion, 0, 2},
                        {kAsioResetRequest, 0, 1},
                        {kAsioBufferSizeChange, 512, 0},
                        {kAsioResyncRequest, 0, 1},
                        {kAsioLatenciesChanged, 0, 1},
                        {kAsioSupportsTimeInfo, 0, 1},
                        {kAsioSupportsTimeCode, 0, 0},
                        {kAsioOverload, 0, 0}};
  for (const Case& c : cases)
    EXPECT_EQ(VLASIO::asioMessage(c.selector, c.value, nullptr, nullptr), c.result)
        << c.selector << "/" << c.value;
}

// A driver without time info calls bufferSwitch: the block runs the same way.
TEST_F(VLASIOTest, PlainBufferSwitchRunsTheBlock) {
  makeHost();
  ASSERT_TRUE(host->start(nullptr, record(0, false), &Probe::callback, &probe));
  VLASIO::bufferSwitch(0, ASIOFalse);
  EXPECT_EQ(probe.calls, 1);
  EXPECT_GE(sim->count(Call::getSamplePosition), 1);
}

}  // namespace

namespace {

// More channels than the tables hold: the first 32 of each direction are listed and get buffers.
TEST_F(VLASIOTest, DriversWithManyChannelsUseTheFirst32PerDirection) {
  sim->inputTypes.assign(40, ASIOSTFloat32LSB);
  sim->outputTypes.assign(40, ASIOSTFloat32LSB);
  sim->preferredSize = 16;
  sim->input = [](int channel, int64_t, void* half, int32_t frames) {
    auto* f = static_cast<float*>(half);
    for (int32_t i = 0; i < frames; ++i) f[i] = float(channel);
  };
  makeHost();
  AudioDeviceInfo* in = record(0, true);
  AudioDeviceInfo* out = record(0, false);
  ASSERT_TRUE(host->open(in, true));
  ASSERT_EQ(in->channelNames.size(), 32u);
  EXPECT_EQ(in->channelNames.back(), "In 32");
  EXPECT_EQ(in->channelCount, 40);
  in->leftChannel = 31;
  in->rightChannel = 35;  // has no buffer: `right` keeps what it held
  out->leftChannel = 31;
  ASSERT_TRUE(host->start(in, out, &Probe::callback, &probe));
  EXPECT_EQ(host->inputBuffers + host->outputBuffers, 64);
  ASSERT_TRUE(driver().tick());
  EXPECT_EQ(probe.left[0], 31.0f);
  EXPECT_EQ(probe.right[0], 0.0f);
  EXPECT_EQ(static_cast<float*>(driver().half(false, 1, 0))[3], 0.5f);  // right = 1 stayed: ascending
  EXPECT_EQ(static_cast<float*>(driver().half(false, 31, 0))[3], -0.25f);
  EXPECT_EQ(driver().half(false, 32, 0), nullptr);
}

}  // namespace
