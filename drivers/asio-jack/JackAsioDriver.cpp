#include "JackAsioDriver.h"

#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <new>
#include <thread>
#include <utility>

using namespace plat::asio;

extern char** environ;

namespace asiojack {

namespace {

void copyText(char* dst, size_t size, const std::string& src) {
  size_t n = std::min(src.size(), size - 1);
  std::memcpy(dst, src.data(), n);
  dst[n] = 0;
}

std::vector<std::string> physicalPorts(jack_client_t* client, unsigned long flags) {
  std::vector<std::string> names;
  const char** ports = jack_get_ports(client, nullptr, JACK_DEFAULT_AUDIO_TYPE, JackPortIsPhysical | flags);
  for (const char** p = ports; p && *p; ++p) names.emplace_back(*p);
  if (ports) jack_free(ports);
  return names;
}

// Finds a program on PATH.
bool onPath(const std::string& program) {
  const char* path = std::getenv("PATH");
  std::string all = path ? path : "/usr/bin:/bin";
  size_t start = 0;
  while (start <= all.size()) {
    size_t end = all.find(':', start);
    std::string dir = all.substr(start, end == std::string::npos ? std::string::npos : end - start);
    if (!dir.empty() && ::access((dir + "/" + program).c_str(), X_OK) == 0) return true;
    if (end == std::string::npos) break;
    start = end + 1;
  }
  return false;
}

}  // namespace

JackAsioDriver::~JackAsioDriver() {
  closeClient();
}

void JackAsioDriver::closeClient() {
  if (!client_) return;
  if (running_) {
    quiesce();
    if (!serverGone_) jack_deactivate(client_);
  }
  running_ = false;
  jack_client_close(client_);
  client_ = nullptr;
  for (Channel& c : inputs_)
    for (float*& h : c.halves) std::free(std::exchange(h, nullptr));
  for (Channel& c : outputs_)
    for (float*& h : c.halves) std::free(std::exchange(h, nullptr));
  inputs_.clear();
  outputs_.clear();
  activeInputs_.clear();
  activeOutputs_.clear();
}

ASIOBool JackAsioDriver::init(void*) {
  if (client_) return ASIOTrue;
  jack_status_t status{};
  // Never start a server: the user's (or the test's) server is the one to use.
  client_ = jack_client_open(kClientName, JackNoStartServer, &status);
  if (!client_) {
    error_ = "JACK server not running";
    return ASIOFalse;
  }
  bufferSize_ = int32_t(jack_get_buffer_size(client_));
  sampleRate_ = double(jack_get_sample_rate(client_));
  // Physical capture ports are sources (outputs of the server), playback ports are sinks.
  std::vector<std::string> capture = physicalPorts(client_, JackPortIsOutput);
  std::vector<std::string> playback = physicalPorts(client_, JackPortIsInput);
  auto build = [&](std::vector<Channel>& list, const std::vector<std::string>& phys, const char* prefix,
                   unsigned long flags) {
    size_t count = std::max<size_t>(phys.size(), 2);
    list.resize(count);
    for (size_t i = 0; i < count; ++i) {
      std::string own = prefix + std::to_string(i + 1);
      list[i].physical = i < phys.size() ? phys[i] : std::string();
      list[i].name = i < phys.size() ? phys[i] : own;
      list[i].port = jack_port_register(client_, own.c_str(), JACK_DEFAULT_AUDIO_TYPE, flags, 0);
      if (!list[i].port) return false;
    }
    return true;
  };
  if (!build(inputs_, capture, "in_", JackPortIsInput) ||
      !build(outputs_, playback, "out_", JackPortIsOutput) ||
      jack_set_process_callback(client_, &JackAsioDriver::processEntry, this) != 0 ||
      jack_set_buffer_size_callback(client_, &JackAsioDriver::bufferSizeEntry, this) != 0) {
    error_ = "JACK ports could not be registered";
    closeClient();
    return ASIOFalse;
  }
  jack_on_info_shutdown(client_, &JackAsioDriver::shutdownEntry, this);
  return ASIOTrue;
}

void JackAsioDriver::getDriverName(char* name) {
  copyText(name, 32, kDriverName);
}
void JackAsioDriver::getErrorMessage(char* text) {
  // The shutdown thread only raises the flag: writing the text there would race with this read.
  copyText(text, 124, serverGone_.load() ? std::string("JACK server shut down") : error_);
}

ASIOError JackAsioDriver::getChannels(int32_t* numInputChannels, int32_t* numOutputChannels) {
  if (!client_) return ASE_NotPresent;
  *numInputChannels = int32_t(inputs_.size());
  *numOutputChannels = int32_t(outputs_.size());
  return ASE_OK;
}

ASIOError JackAsioDriver::getLatencies(int32_t* inputLatency, int32_t* outputLatency) {
  if (!client_) return ASE_NotPresent;
  // The driver adds nothing; what remains is the server's own port latency.
  auto latency = [](const std::vector<Channel>& list, jack_latency_callback_mode_t mode) {
    jack_latency_range_t range{0, 0};
    if (!list.empty() && list[0].port) jack_port_get_latency_range(list[0].port, mode, &range);
    return int32_t(range.max);
  };
  *inputLatency = latency(inputs_, JackCaptureLatency);
  *outputLatency = latency(outputs_, JackPlaybackLatency);
  return ASE_OK;
}

ASIOError JackAsioDriver::getBufferSize(int32_t* minSize, int32_t* maxSize, int32_t* preferredSize,
                                        int32_t* granularity) {
  if (!client_) return ASE_NotPresent;
  *minSize = *maxSize = *preferredSize = bufferSize_;
  *granularity = 0;
  return ASE_OK;
}

ASIOError JackAsioDriver::canSampleRate(ASIOSampleRate rate) {
  if (!client_) return ASE_NotPresent;
  return rate == sampleRate_ ? ASE_OK : ASE_NoClock;
}

ASIOError JackAsioDriver::getSampleRate(ASIOSampleRate* rate) {
  if (!client_) return ASE_NotPresent;
  *rate = sampleRate_;
  return ASE_OK;
}

// The server owns the rate: only the current one can be "set".
ASIOError JackAsioDriver::setSampleRate(ASIOSampleRate rate) {
  return canSampleRate(rate);
}

ASIOError JackAsioDriver::getClockSources(ASIOClockSource* clocks, int32_t* numSources) {
  if (!clocks || !numSources || *numSources < 1) return ASE_InvalidParameter;
  std::memset(clocks, 0, sizeof *clocks);
  clocks->associatedChannel = clocks->associatedGroup = -1;
  clocks->isCurrentSource = ASIOTrue;
  copyText(clocks->name, sizeof clocks->name, "JACK server");
  *numSources = 1;
  return ASE_OK;
}

ASIOError JackAsioDriver::setClockSource(int32_t reference) {
  return reference == 0 ? ASE_OK : ASE_InvalidParameter;
}

// Audio thread: reads two atomics.
ASIOError JackAsioDriver::getSamplePosition(ASIOSamples* position, ASIOTimeStamp* timeStamp) noexcept {
  if (!running_) return ASE_SPNotAdvancing;
  uint64_t p = uint64_t(position_.load(std::memory_order_relaxed));
  uint64_t ns = cycleNanos_.load(std::memory_order_relaxed);
  position->hi = uint32_t(p >> 32);
  position->lo = uint32_t(p);
  timeStamp->hi = uint32_t(ns >> 32);
  timeStamp->lo = uint32_t(ns);
  return ASE_OK;
}

ASIOError JackAsioDriver::getChannelInfo(ASIOChannelInfo* info) {
  if (!client_) return ASE_NotPresent;
  const std::vector<Channel>& list = info->isInput ? inputs_ : outputs_;
  if (info->channel < 0 || size_t(info->channel) >= list.size()) return ASE_InvalidParameter;
  const Channel& c = list[size_t(info->channel)];
  info->isActive = c.active ? ASIOTrue : ASIOFalse;
  info->channelGroup = 0;
  info->type = ASIOSTFloat32LSB;
  copyText(info->name, sizeof info->name, c.name);
  return ASE_OK;
}

ASIOError JackAsioDriver::createBuffers(ASIOBufferInfo* infos, int32_t numChannels, int32_t bufferSize,
                                        ASIOCallbacks* callbacks) {
  if (!client_) return ASE_NotPresent;
  if (running_) return ASE_InvalidMode;
  if (!infos || !callbacks || numChannels <= 0 || bufferSize != bufferSize_) return ASE_InvalidMode;
  disposeBuffers();
  for (int32_t i = 0; i < numChannels; ++i) {
    std::vector<Channel>& list = infos[i].isInput ? inputs_ : outputs_;
    if (infos[i].channelNum < 0 || size_t(infos[i].channelNum) >= list.size() ||
        list[size_t(infos[i].channelNum)].active) {
      disposeBuffers();
      return ASE_InvalidParameter;
    }
    Channel& c = list[size_t(infos[i].channelNum)];
    for (float*& h : c.halves) {
      h = static_cast<float*>(std::calloc(size_t(bufferSize), sizeof(float)));
      if (!h) {
        disposeBuffers();
        return ASE_NoMemory;
      }
    }
    c.active = true;
    (infos[i].isInput ? activeInputs_ : activeOutputs_).push_back(&c);
    infos[i].buffers[0] = c.halves[0];
    infos[i].buffers[1] = c.halves[1];
  }
  callbacks_ = callbacks;
  timeInfo_ = callbacks->asioMessage &&
              callbacks->asioMessage(kAsioSelectorSupported, kAsioSupportsTimeInfo, nullptr, nullptr) == 1 &&
              callbacks->asioMessage(kAsioSupportsTimeInfo, 0, nullptr, nullptr) == 1;
  return ASE_OK;
}

ASIOError JackAsioDriver::disposeBuffers() {
  if (!client_) return ASE_NotPresent;
  if (running_) stop();
  for (std::vector<Channel>* list : {&inputs_, &outputs_})
    for (Channel& c : *list) {
      for (float*& h : c.halves) std::free(std::exchange(h, nullptr));
      c.active = false;
    }
  activeInputs_.clear();
  activeOutputs_.clear();
  callbacks_ = nullptr;
  return ASE_OK;
}

ASIOError JackAsioDriver::start() {
  if (!client_ || !callbacks_ || serverGone_) return ASE_NotPresent;
  if (running_) return ASE_OK;
  position_ = 0;
  index_ = 0;
  sizeChanged_ = false;
  running_ = true;
  enabled_.store(true);
  if (jack_activate(client_) != 0) {
    enabled_.store(false);
    running_ = false;
    return ASE_HWMalfunction;
  }
  // Ports can be connected only while active. A connection that fails leaves that channel
  // unconnected; the stream runs all the same.
  for (const Channel& c : inputs_)
    if (!c.physical.empty()) jack_connect(client_, c.physical.c_str(), jack_port_name(c.port));
  for (const Channel& c : outputs_)
    if (!c.physical.empty()) jack_connect(client_, jack_port_name(c.port), c.physical.c_str());
  return ASE_OK;
}

ASIOError JackAsioDriver::stop() {
  if (!client_) return ASE_NotPresent;
  if (!running_) return ASE_OK;
  // jack_deactivate returns once the process callback has finished and will not run again. A
  // server that has gone away must not be asked anything, and its client thread may still be
  // inside a cycle: no cycle touches the host or the buffers once `enabled_` is clear and `busy_`
  // has been seen clear after it.
  quiesce();
  if (!serverGone_) jack_deactivate(client_);
  running_ = false;
  return ASE_OK;
}

ASIOError JackAsioDriver::controlPanel() {
  for (const char* program : {"qjackctl", "cadence", "jack-control-panel"}) {
    if (!onPath(program)) continue;
    char* argv[] = {const_cast<char*>(program), nullptr};
    pid_t pid = 0;
    if (posix_spawnp(&pid, program, nullptr, nullptr, argv, environ) == 0) {
      // The program runs on its own; a thread reaps it when it ends, so no zombie is left.
      std::thread([pid] { ::waitpid(pid, nullptr, 0); }).detach();
      return ASE_OK;
    }
  }
  return ASE_NotPresent;
}

ASIOError JackAsioDriver::future(int32_t, void*) {
  return ASE_InvalidParameter;
}

// Audio thread.
ASIOError JackAsioDriver::outputReady() noexcept {
  hostUsesOutputReady_.store(true, std::memory_order_relaxed);
  outputReadyThisBlock_.store(true, std::memory_order_relaxed);
  return ASE_OK;
}

// Audio thread: a cycle runs only while enabled, and says so in `busy_` (both sequentially
// consistent, so either the cycle sees `enabled_` clear or quiesce() sees `busy_` set).
int JackAsioDriver::processEntry(jack_nframes_t frames, void* self) noexcept {
  auto* d = static_cast<JackAsioDriver*>(self);
  d->busy_.store(true);
  int result = 0;
  if (d->enabled_.load())
    result = d->process(frames);
  else if (!d->serverGone_.load())
    d->silence(frames);  // between stop's quiesce and deactivation; the port list is still intact
  d->busy_.store(false);
  return result;
}

void JackAsioDriver::quiesce() {
  enabled_.store(false);
  // A cycle takes a period at most; a client thread stuck past two seconds is given up on.
  for (int i = 0; i < 2000 && busy_.load(); ++i) ::usleep(1000);
}

// Audio thread.
void JackAsioDriver::silence(jack_nframes_t frames) noexcept {
  for (Channel& c : outputs_)
    if (c.port) std::memset(jack_port_get_buffer(c.port, frames), 0, frames * sizeof(float));
}

// Audio thread: one JACK cycle is one ASIO half.
int JackAsioDriver::process(jack_nframes_t frames) noexcept {
  const bool runHost =
      callbacks_ && int32_t(frames) == bufferSize_ && !sizeChanged_.load(std::memory_order_relaxed);
  if (!runHost) {
    silence(frames);
    return 0;
  }
  const int index = index_;
  for (Channel* c : activeInputs_)
    std::memcpy(c->halves[index], jack_port_get_buffer(c->port, frames), frames * sizeof(float));
  cycleNanos_.store(uint64_t(jack_get_time()) * 1000u, std::memory_order_relaxed);
  outputReadyThisBlock_.store(false, std::memory_order_relaxed);
  if (timeInfo_) {
    ASIOTime time;
    std::memset(&time, 0, sizeof time);
    uint64_t p = uint64_t(position_.load(std::memory_order_relaxed));
    time.timeInfo.samplePosition = {uint32_t(p >> 32), uint32_t(p)};
    uint64_t ns = cycleNanos_.load(std::memory_order_relaxed);
    time.timeInfo.systemTime = {uint32_t(ns >> 32), uint32_t(ns)};
    time.timeInfo.sampleRate = sampleRate_;
    time.timeInfo.flags = kSystemTimeValid | kSamplePositionValid | kSampleRateValid;
    callbacks_->bufferSwitchTimeInfo(&time, index, ASIOTrue);
  } else {
    callbacks_->bufferSwitch(index, ASIOTrue);
  }
  const bool filled = !hostUsesOutputReady_.load(std::memory_order_relaxed) ||
                      outputReadyThisBlock_.load(std::memory_order_relaxed);
  for (Channel* c : activeOutputs_) {
    void* out = jack_port_get_buffer(c->port, frames);
    if (filled)
      std::memcpy(out, c->halves[index], frames * sizeof(float));
    else
      std::memset(out, 0, frames * sizeof(float));
  }
  position_.store(position_.load(std::memory_order_relaxed) + frames, std::memory_order_relaxed);
  index_ = 1 - index;
  return 0;
}

void JackAsioDriver::requestReset() noexcept {
  ASIOCallbacks* cb = callbacks_;
  if (cb && cb->asioMessage &&
      cb->asioMessage(kAsioSelectorSupported, kAsioResetRequest, nullptr, nullptr) == 1)
    cb->asioMessage(kAsioResetRequest, 0, nullptr, nullptr);
}

int JackAsioDriver::bufferSizeEntry(jack_nframes_t frames, void* self) noexcept {
  auto* d = static_cast<JackAsioDriver*>(self);
  // The first call reports the size the client already knows; only a change matters. Blocks of
  // the new size are silent until the host has rebuilt its buffers.
  if (d->bufferSize_ != 0 && int32_t(frames) != d->bufferSize_ && !d->sizeChanged_.exchange(true))
    d->requestReset();
  return 0;
}

// Runs on a thread of libjack after the server went away; no JACK call may be made from here.
void JackAsioDriver::shutdownEntry(jack_status_t, const char*, void* self) noexcept {
  auto* d = static_cast<JackAsioDriver*>(self);
  if (!d->serverGone_.exchange(true)) d->requestReset();
}

}  // namespace asiojack

// The in-process server's entry.
extern "C" __attribute__((visibility("default"))) plat::com::HRESULT VLComCreateInstance(
    const plat::com::GUID* clsid, const plat::com::GUID* iid, void** object) {
  if (!object) return plat::com::E_POINTER;
  *object = nullptr;
  if (!clsid || !iid || !(*clsid == asiojack::kClsid)) return plat::com::CLASS_E_CLASSNOTAVAILABLE;
  auto* d = new (std::nothrow) asiojack::JackAsioDriver(*iid);
  if (!d) return plat::com::E_OUTOFMEMORY;
  plat::com::HRESULT hr = d->QueryInterface(*iid, object);
  d->Release();
  return hr;
}
