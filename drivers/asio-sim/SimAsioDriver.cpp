#include "SimAsioDriver.h"

#include <algorithm>
#include <chrono>
#include <cstring>

using namespace plat::asio;

namespace asiosim {

plat::com::Com::Factory simAsioFactory(std::shared_ptr<SimAsioSetup> setup) {
  return [setup](plat::com::REFIID iid, void** object) -> plat::com::HRESULT {
    if (!object) return plat::com::E_POINTER;
    auto* d = new SimAsioDriver(iid, setup);
    plat::com::HRESULT hr = d->QueryInterface(iid, object);
    d->Release();
    return hr;
  };
}

SimAsioDriver::SimAsioDriver(const plat::com::IID& iid, std::shared_ptr<SimAsioSetup> setup)
    : RefCounted(iid), setup_(std::move(setup)) {
  setup_->driver = this;
  ++setup_->created;
}

SimAsioDriver::~SimAsioDriver() {
  stop();
  if (setup_->driver == this) setup_->driver = nullptr;
}

bool SimAsioDriver::failing(Call c) {
  ++setup_->calls[int(c)];
  return (setup_->failing.load() >> int(c)) & 1;
}

ASIOBool SimAsioDriver::init(void*) {
  return failing(Call::init) ? ASIOFalse : ASIOTrue;
}

void SimAsioDriver::getDriverName(char* name) {
  size_t n = std::min(setup_->name.size(), size_t(31));
  std::memcpy(name, setup_->name.data(), n);
  name[n] = 0;
}

int32_t SimAsioDriver::getDriverVersion() {
  return setup_->driverVersion;
}

void SimAsioDriver::getErrorMessage(char* text) {
  size_t n = std::min(setup_->errorMessage.size(), size_t(123));
  std::memcpy(text, setup_->errorMessage.data(), n);
  text[n] = 0;
}

ASIOError SimAsioDriver::start() {
  if (failing(Call::start)) return ASE_HWMalfunction;
  if (buffers_.empty() || running_) return ASE_InvalidMode;
  position_ = 0;
  index_ = 0;
  running_ = true;
  if (setup_->pace != Pace::manual) thread_ = std::thread([this] { runHalves(); });
  return ASE_OK;
}

ASIOError SimAsioDriver::stop() {
  bool fail = failing(Call::stop);
  running_ = false;
  if (thread_.joinable()) thread_.join();
  return fail ? ASE_HWMalfunction : ASE_OK;
}

void SimAsioDriver::runHalves() {
  using clock = std::chrono::steady_clock;
  auto period = std::chrono::duration<double>(double(bufferSize_) / setup_->sampleRate);
  auto next = clock::now();
  while (running_) {
    tick();
    if (setup_->pace == Pace::realTime) {
      next += std::chrono::duration_cast<clock::duration>(period);
      std::this_thread::sleep_until(next);
    } else {
      std::this_thread::yield();
    }
  }
}

bool SimAsioDriver::tick() {
  if (!running_ || !callbacks_) return false;
  int index = index_;
  int64_t frame = position_;
  if (setup_->input)
    for (Buffer& b : buffers_)
      if (b.input) setup_->input(b.channel, frame, b.halves[index].data(), bufferSize_);
  if (timeInfo_) {
    ASIOTime time{};
    time.timeInfo.samplePosition.hi = uint32_t(uint64_t(frame) >> 32);
    time.timeInfo.samplePosition.lo = uint32_t(frame);
    time.timeInfo.sampleRate = setup_->sampleRate;
    time.timeInfo.flags = kSamplePositionValid | kSampleRateValid;
    callbacks_->bufferSwitchTimeInfo(&time, index, ASIOFalse);
  } else {
    callbacks_->bufferSwitch(index, ASIOFalse);
  }
  if (setup_->recordOutput)
    for (Buffer& b : buffers_)
      if (!b.input && size_t(b.channel) < setup_->recorded.size())
        setup_->recorded[b.channel].insert(setup_->recorded[b.channel].end(), b.halves[index].begin(),
                                           b.halves[index].end());
  position_ += bufferSize_;
  index_ = 1 - index;
  ++setup_->blocks;
  return true;
}

int32_t SimAsioDriver::sendMessage(int32_t selector, int32_t value) {
  return callbacks_ ? callbacks_->asioMessage(selector, value, nullptr, nullptr) : 0;
}

void* SimAsioDriver::half(bool input, int channel, int index) const {
  for (const Buffer& b : buffers_)
    if (b.input == input && b.channel == channel) return const_cast<uint8_t*>(b.halves[index].data());
  return nullptr;
}

ASIOError SimAsioDriver::getChannels(int32_t* numInputChannels, int32_t* numOutputChannels) {
  if (failing(Call::getChannels)) return ASE_HWMalfunction;
  *numInputChannels = int32_t(setup_->inputTypes.size());
  *numOutputChannels = int32_t(setup_->outputTypes.size());
  return ASE_OK;
}

ASIOError SimAsioDriver::getLatencies(int32_t* inputLatency, int32_t* outputLatency) {
  if (failing(Call::getLatencies)) return ASE_HWMalfunction;
  *inputLatency = setup_->inputLatency;
  *outputLatency = setup_->outputLatency;
  return ASE_OK;
}

ASIOError SimAsioDriver::getBufferSize(int32_t* minSize, int32_t* maxSize, int32_t* preferredSize,
                                       int32_t* granularity) {
  if (failing(Call::getBufferSize)) return ASE_HWMalfunction;
  *minSize = setup_->minSize;
  *maxSize = setup_->maxSize;
  *preferredSize = setup_->preferredSize;
  *granularity = setup_->granularity;
  return ASE_OK;
}

ASIOError SimAsioDriver::canSampleRate(ASIOSampleRate rate) {
  if (failing(Call::canSampleRate)) return ASE_HWMalfunction;
  return rate == setup_->sampleRate ? ASE_OK : ASE_NoClock;
}

ASIOError SimAsioDriver::getSampleRate(ASIOSampleRate* rate) {
  if (failing(Call::getSampleRate)) return ASE_HWMalfunction;
  *rate = setup_->sampleRate;
  return ASE_OK;
}

ASIOError SimAsioDriver::setSampleRate(ASIOSampleRate rate) {
  if (failing(Call::setSampleRate)) return ASE_HWMalfunction;
  return rate == setup_->sampleRate ? ASE_OK : ASE_NoClock;
}

ASIOError SimAsioDriver::getClockSources(ASIOClockSource* clocks, int32_t* numSources) {
  if (failing(Call::getClockSources)) return ASE_HWMalfunction;
  if (*numSources < 1) return ASE_InvalidParameter;
  std::memset(clocks, 0, sizeof *clocks);
  clocks->associatedChannel = clocks->associatedGroup = -1;
  clocks->isCurrentSource = ASIOTrue;
  std::strcpy(clocks->name, "Internal");
  *numSources = 1;
  return ASE_OK;
}

ASIOError SimAsioDriver::setClockSource(int32_t reference) {
  if (failing(Call::setClockSource)) return ASE_HWMalfunction;
  return reference == 0 ? ASE_OK : ASE_InvalidParameter;
}

ASIOError SimAsioDriver::getSamplePosition(ASIOSamples* position, ASIOTimeStamp* timeStamp) {
  if (failing(Call::getSamplePosition)) return ASE_HWMalfunction;
  uint64_t p = uint64_t(position_.load());
  position->hi = uint32_t(p >> 32);
  position->lo = uint32_t(p);
  uint64_t ns = uint64_t(double(p) / setup_->sampleRate * 1e9);
  timeStamp->hi = uint32_t(ns >> 32);
  timeStamp->lo = uint32_t(ns);
  return ASE_OK;
}

ASIOError SimAsioDriver::getChannelInfo(ASIOChannelInfo* info) {
  if (failing(Call::getChannelInfo)) return ASE_HWMalfunction;
  const auto& types = info->isInput ? setup_->inputTypes : setup_->outputTypes;
  if (info->channel < 0 || size_t(info->channel) >= types.size()) return ASE_InvalidParameter;
  info->type = types[size_t(info->channel)];
  info->channelGroup = 0;
  info->isActive = ASIOFalse;
  for (const Buffer& b : buffers_)
    if (b.input == bool(info->isInput) && b.channel == info->channel) info->isActive = ASIOTrue;
  std::string name = std::string(info->isInput ? "In " : "Out ") + std::to_string(info->channel + 1);
  std::strncpy(info->name, name.c_str(), sizeof info->name - 1);
  info->name[sizeof info->name - 1] = 0;
  return ASE_OK;
}

ASIOError SimAsioDriver::createBuffers(ASIOBufferInfo* infos, int32_t numChannels, int32_t bufferSize,
                                       ASIOCallbacks* callbacks) {
  if (failing(Call::createBuffers)) return ASE_HWMalfunction;
  if (!infos || !callbacks || bufferSize < setup_->minSize || bufferSize > setup_->maxSize)
    return ASE_InvalidMode;
  buffers_.clear();
  for (int32_t i = 0; i < numChannels; ++i) {
    const auto& types = infos[i].isInput ? setup_->inputTypes : setup_->outputTypes;
    if (infos[i].channelNum < 0 || size_t(infos[i].channelNum) >= types.size()) {
      buffers_.clear();
      return ASE_InvalidParameter;
    }
    ASIOSampleType type = types[size_t(infos[i].channelNum)];
    size_t bytes = size_t(bufferSize) * size_t(std::max(sampleWidth(type), 1));
    Buffer b{bool(infos[i].isInput),
             infos[i].channelNum,
             type,
             {std::vector<uint8_t>(bytes), std::vector<uint8_t>(bytes)}};
    buffers_.push_back(std::move(b));
  }
  for (int32_t i = 0; i < numChannels; ++i) {
    infos[i].buffers[0] = buffers_[size_t(i)].halves[0].data();
    infos[i].buffers[1] = buffers_[size_t(i)].halves[1].data();
  }
  callbacks_ = callbacks;
  bufferSize_ = bufferSize;
  timeInfo_ = callbacks->asioMessage &&
              callbacks->asioMessage(kAsioSelectorSupported, kAsioSupportsTimeInfo, nullptr, nullptr) == 1 &&
              callbacks->asioMessage(kAsioSupportsTimeInfo, 0, nullptr, nullptr) == 1;
  setup_->recorded.assign(setup_->outputTypes.size(), {});
  return ASE_OK;
}

ASIOError SimAsioDriver::disposeBuffers() {
  if (failing(Call::disposeBuffers)) return ASE_HWMalfunction;
  if (running_) stop();
  buffers_.clear();
  callbacks_ = nullptr;
  return ASE_OK;
}

ASIOError SimAsioDriver::controlPanel() {
  return failing(Call::controlPanel) ? ASE_HWMalfunction : ASE_OK;
}

ASIOError SimAsioDriver::future(int32_t, void*) {
  return failing(Call::future) ? ASE_HWMalfunction : ASE_InvalidParameter;
}

ASIOError SimAsioDriver::outputReady() {
  return failing(Call::outputReady) ? ASE_NotPresent : ASE_OK;
}

}  // namespace asiosim
