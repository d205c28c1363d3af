#pragma once
// The ASIO backend. Lists every installed driver as an input and an output record (type 2), reads
// a driver's channels, rate and block length on request, and runs a stream in which the driver's
// own thread calls `bufferSwitchTimeInfo` once per buffer half: the two selected input channels
// are converted into `channelBuffers`, the block callback runs in place, and the pair is
// converted back into the two selected output channels while every other output is zeroed.
//
// ASIO callbacks carry no user pointer, so the one instance registers itself in
// `currentInstance`. open, start, stop and controlPanel run on the user-interface thread.
#include <atomic>
#include <cstdint>

#include "audio/AsioDrivers.h"
#include "audio/VLAudioBase.h"
#include "platform/asio/Asio.h"
#include "platform/clock/Clock.h"

class VLASIO : public AsioDrivers, public VLAudioBase {
 public:
  static constexpr int kMaxChannels = 64;        // entries of the channel table
  static constexpr int kMaxBuffersPerSide = 32;  // buffers created per direction

  VLASIO(plat::registry::Registry& registry, plat::com::Com& com,
         plat::clock::Clock& clock = plat::clock::systemClock());
  // Stops a running stream first, so that the driver's thread never calls into a dead object.
  ~VLASIO() override;

  bool start(AudioDeviceInfo* input, AudioDeviceInfo* output, AudioCallback callback, void* user) override;
  void stop() override;
  bool matchFormats(AudioDeviceInfo*, AudioDeviceInfo*) override { return true; }
  bool open(AudioDeviceInfo* record, bool probeOnly) override;
  // Opens the driver's own settings window: the running driver's while streaming, else the
  // record's driver, loaded for the call and unloaded after it.
  bool controlPanel(AudioDeviceInfo* record);

  // The callbacks handed to the driver.
  static void bufferSwitch(int32_t index, plat::asio::ASIOBool directProcess) noexcept;
  static void sampleRateDidChange(plat::asio::ASIOSampleRate rate) noexcept;
  static int32_t asioMessage(int32_t selector, int32_t value, void* message, double* opt) noexcept;
  static plat::asio::ASIOTime* bufferSwitchTimeInfo(plat::asio::ASIOTime* timeInfo, int32_t index,
                                                    plat::asio::ASIOBool directProcess) noexcept;

  static VLASIO* currentInstance;

  plat::asio::ASIODriverInfo driverInfo{};
  plat::asio::ASIOCallbacks callbacks{};
  plat::asio::ASIOChannelInfo channelInfos[kMaxChannels]{};
  int32_t inputChannels = 0, outputChannels = 0;
  plat::asio::ASIOBufferInfo bufferInfos[kMaxChannels]{};
  int32_t inputBuffers = 0, outputBuffers = 0;
  int32_t inputLatency = 0, outputLatency = 0;
  int32_t minSize = 0, maxSize = 0, preferredSize = 0, granularity = 0;
  double sampleRate = 0.0;
  int32_t bufferSize = 0;
  bool postOutput = false;
  int32_t inputLeft = 0, inputRight = 0, outputLeft = 0, outputRight = 0;
  AudioDeviceInfo* inputDevice = nullptr;
  AudioCallback callback = nullptr;
  void* callbackUser = nullptr;

 private:
  bool initDriver();
  bool createBuffers();
  // Audio thread: one block.
  void processBlock(int32_t index) noexcept;

  plat::clock::Clock& clock_;
  // Entries of the channel table that initDriver filled (inputs first).
  int32_t inspectedInputs_ = 0, inspectedOutputs_ = 0;
  bool startInitializedCom_ = false;
  // Blocks inside bufferSwitchTimeInfo now; stop releases nothing while one is.
  std::atomic<int32_t> blocksInside_{0};
};
