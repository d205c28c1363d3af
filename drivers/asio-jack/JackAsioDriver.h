#pragma once
// An ASIO driver backed by a JACK client. How JACK works, as far as the driver cares: a server
// owns the sample rate and the period (buffer size) and calls every client's process callback once
// per period on a real-time thread; a client's ports correspond to channels, and "physical"
// ports are the server's own capture (source) and playback (sink) ports.
//
// The driver connects to a running server (it never starts one), offers one channel per physical
// port (at least two per direction), all Float32LSB, and reports the server's period as its only
// buffer size. Each JACK cycle runs one ASIO half synchronously inside the process callback: the
// cycle's input is copied into the half, the host's buffer switch runs, and the half is copied to
// the cycle's output, so the driver adds no latency of its own. A block the host did not finish
// (it did not call outputReady, once it has shown that it uses it) plays as silence. The host is
// told through asioMessage(kAsioResetRequest) when the server shuts down or changes its period.
#include <jack/jack.h>

#include <atomic>
#include <string>
#include <vector>

#include "platform/asio/Asio.h"
#include "platform/com/Com.h"

namespace asiojack {

// {5E7B4C1A-9D2F-4E63-A8B0-3C6D1F2E4A57}
inline constexpr plat::com::CLSID kClsid = {
    0x5E7B4C1A, 0x9D2F, 0x4E63, {0xA8, 0xB0, 0x3C, 0x6D, 0x1F, 0x2E, 0x4A, 0x57}};
inline constexpr const char* kDriverName = "Vellumar JACK";
inline constexpr const char* kClientName = "Vellumar ASIO";

class JackAsioDriver final : public plat::com::RefCounted<plat::asio::IASIO> {
 public:
  explicit JackAsioDriver(const plat::com::IID& iid) : RefCounted(iid) {}

  plat::asio::ASIOBool init(void* sysHandle) override;
  void getDriverName(char* name) override;
  int32_t getDriverVersion() override { return 1; }
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
  // Audio thread (the host calls it inside the buffer switch).
  plat::asio::ASIOError getSamplePosition(plat::asio::ASIOSamples* position,
                                          plat::asio::ASIOTimeStamp* timeStamp) noexcept override;
  plat::asio::ASIOError getChannelInfo(plat::asio::ASIOChannelInfo* info) override;
  plat::asio::ASIOError createBuffers(plat::asio::ASIOBufferInfo* bufferInfos, int32_t numChannels,
                                      int32_t bufferSize, plat::asio::ASIOCallbacks* callbacks) override;
  plat::asio::ASIOError disposeBuffers() override;
  plat::asio::ASIOError controlPanel() override;
  plat::asio::ASIOError future(int32_t selector, void* opt) override;
  // Audio thread (the host calls it inside the buffer switch).
  plat::asio::ASIOError outputReady() noexcept override;

 private:
  ~JackAsioDriver() override;

  struct Channel {
    std::string name;      // the physical port it is connected to, or our own port's name
    std::string physical;  // full name of that physical port; empty when there is none
    jack_port_t* port = nullptr;
    float* halves[2] = {nullptr, nullptr};  // while buffers exist
    bool active = false;
  };

  static int processEntry(jack_nframes_t frames, void* self) noexcept;
  static int bufferSizeEntry(jack_nframes_t frames, void* self) noexcept;
  static void shutdownEntry(jack_status_t code, const char* reason, void* self) noexcept;
  int process(jack_nframes_t frames) noexcept;
  void silence(jack_nframes_t frames) noexcept;
  // Makes sure no cycle is running or will run the host's callback again.
  void quiesce();
  void requestReset() noexcept;
  void closeClient();

  jack_client_t* client_ = nullptr;
  std::vector<Channel> inputs_, outputs_;
  std::vector<Channel*> activeInputs_, activeOutputs_;  // channels with buffers, built before start
  std::string error_ = "JACK server not running";
  int32_t bufferSize_ = 0;  // the period at init
  double sampleRate_ = 0;
  plat::asio::ASIOCallbacks* callbacks_ = nullptr;
  bool timeInfo_ = false;
  bool running_ = false;
  int index_ = 0;                     // audio thread only
  std::atomic<bool> enabled_{false};  // cycles may run the host
  std::atomic<bool> busy_{false};     // a cycle is running
  std::atomic<bool> serverGone_{false};
  std::atomic<bool> sizeChanged_{false};
  std::atomic<bool> hostUsesOutputReady_{false};
  std::atomic<bool> outputReadyThisBlock_{false};
  std::atomic<int64_t> position_{0};
  std::atomic<uint64_t> cycleNanos_{0};
};

}  // namespace asiojack
