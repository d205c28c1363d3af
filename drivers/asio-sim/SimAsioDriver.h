#pragma once
// A simulated ASIO driver for tests. A test describes it in a `SimAsioSetup` (channels with a
// sample type each, buffer sizes, rate, scripted failures, the input it supplies) and registers
// `simAsioFactory(setup)` with plat::com::Com under a class identifier; the host then creates it
// through CoCreateInstance like any driver. The setup also reads back what happened: the calls
// made, the live driver object and the output it recorded.
//
// The double-buffer halves run in one of three ways: the test calls `tick()` (one half,
// synchronously, on the test's thread), or a thread of the driver runs them at the real-time pace
// of the rate and preferred size, or as fast as the host returns.
#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "platform/asio/Asio.h"
#include "platform/com/Com.h"

namespace asiosim {

// The driver methods whose failure a test can script.
enum class Call : int {
  init,
  start,
  stop,
  getChannels,
  getLatencies,
  getBufferSize,
  canSampleRate,
  getSampleRate,
  setSampleRate,
  getClockSources,
  setClockSource,
  getSamplePosition,
  getChannelInfo,
  createBuffers,
  disposeBuffers,
  controlPanel,
  future,
  outputReady,
  count
};

enum class Pace { manual, realTime, asFastAsPossible };

class SimAsioDriver;

struct SimAsioSetup {
  std::string name = "Sim ASIO";
  int32_t driverVersion = 7;
  std::string errorMessage = "Sim ASIO failed";
  std::vector<plat::asio::ASIOSampleType> inputTypes{4, plat::asio::ASIOSTInt32LSB};
  std::vector<plat::asio::ASIOSampleType> outputTypes{4, plat::asio::ASIOSTInt32LSB};
  int32_t minSize = 16, maxSize = 2048, preferredSize = 256, granularity = -1;
  double sampleRate = 48000.0;
  int32_t inputLatency = 256, outputLatency = 512;
  Pace pace = Pace::manual;
  // Keep a copy of every output half after each block (per output channel, raw bytes).
  bool recordOutput = true;

  // Scripted failures: bit (1 << Call) set makes that call fail (init returns false, the others
  // ASE_HWMalfunction). May be changed while the driver runs.
  std::atomic<uint32_t> failing{0};
  void fail(Call c) { failing |= 1u << int(c); }
  // Number of calls of each method, counted whether they fail or not.
  std::atomic<int> calls[int(Call::count)]{};
  int count(Call c) const { return calls[int(c)].load(); }

  // Fills the input half of one channel before each block: (channel, first frame of the block,
  // the half, frames). Raw bytes in the channel's type. Runs on the thread that runs the halves.
  std::function<void(int channel, int64_t frame, void* half, int32_t frames)> input;

  // Read back.
  std::atomic<SimAsioDriver*> driver{nullptr};  // the live object, null when released
  std::atomic<int> created{0};
  std::atomic<int64_t> blocks{0};              // halves run
  std::vector<std::vector<uint8_t>> recorded;  // per output channel; written by the halves' thread
};

// The factory to register with plat::com::Com::registerClass.
plat::com::Com::Factory simAsioFactory(std::shared_ptr<SimAsioSetup> setup);

class SimAsioDriver final : public plat::com::RefCounted<plat::asio::IASIO> {
 public:
  SimAsioDriver(const plat::com::IID& iid, std::shared_ptr<SimAsioSetup> setup);

  // Runs one half synchronously on the calling thread: fills the inputs, calls the host, records
  // the outputs. Only while started; false otherwise.
  bool tick();
  // Messages to the host, as a real driver would send them (reset request, ...).
  int32_t sendMessage(int32_t selector, int32_t value);
  // The current half's buffer of a created channel, for tests that inspect it directly.
  void* half(bool input, int channel, int index) const;
  int32_t bufferSize() const { return bufferSize_; }

  plat::asio::ASIOBool init(void* sysHandle) override;
  void getDriverName(char* name) override;
  int32_t getDriverVersion() override;
  void getErrorMessage(char* text) override;
  plat::asio::ASIOError start() override;
  plat::asio::ASIOError stop() override;
  plat::asio::ASIOError getChannels(int32_t* numInputChannels, int32_t* numOutputChannels) override;
  plat::asio::ASIOError getLatencies(int32_t* inputLatency, int32_t* outputLatency) override;
  plat::asio::ASIOError getBufferSize(int32_t* minSize, int32_t* maxSize, int32_t* preferredSize,
                                      int32_t* granularity) override;
  plat::asio::ASIOError canSampleRate(plat::asio::ASIOSampleRate rate) override;
  plat::asio::ASIOError getSampleRate(plat::asio::ASIOSampleRate* rate) override;
  plat::asio::ASIOError setSampleRate(plat::asio::ASIOSampleRate rate) override;
  plat::asio::ASIOError getClockSources(plat::asio::ASIOClockSource* clocks, int32_t* numSources) override;
  plat::asio::ASIOError setClockSource(int32_t reference) override;
  plat::asio::ASIOError getSamplePosition(plat::asio::ASIOSamples* position,
                                          plat::asio::ASIOTimeStamp* timeStamp) override;
  plat::asio::ASIOError getChannelInfo(plat::asio::ASIOChannelInfo* info) override;
  plat::asio::ASIOError createBuffers(plat::asio::ASIOBufferInfo* bufferInfos, int32_t numChannels,
                                      int32_t bufferSize, plat::asio::ASIOCallbacks* callbacks) override;
  plat::asio::ASIOError disposeBuffers() override;
  plat::asio::ASIOError controlPanel() override;
  plat::asio::ASIOError future(int32_t selector, void* opt) override;
  plat::asio::ASIOError outputReady() override;

 private:
  ~SimAsioDriver() override;
  bool failing(Call c);
  void runHalves();

  struct Buffer {
    bool input;
    int channel;
    plat::asio::ASIOSampleType type;
    std::vector<uint8_t> halves[2];
  };

  std::shared_ptr<SimAsioSetup> setup_;
  std::vector<Buffer> buffers_;
  plat::asio::ASIOCallbacks* callbacks_ = nullptr;
  int32_t bufferSize_ = 0;
  bool timeInfo_ = false;
  std::atomic<bool> running_{false};
  std::atomic<int64_t> position_{0};
  int index_ = 0;
  std::thread thread_;
};

}  // namespace asiosim
