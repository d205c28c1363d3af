#include "audio/AsioCallLayer.h"

#include <algorithm>
#include <cstring>

using namespace plat::asio;

IASIO* currentDriver = nullptr;

namespace {
void copyText(char* dst, size_t size, const char* src) {
  size_t n = std::min(std::strlen(src), size - 1);
  std::memcpy(dst, src, n);
  dst[n] = 0;
}
}  // namespace

ASIOError ASIOInit(ASIODriverInfo* info) {
  info->driverVersion = 0;
  copyText(info->name, sizeof info->name, "No ASIO Driver");
  if (!currentDriver) return ASE_NotPresent;
  if (currentDriver->init(info->sysRef)) {
    copyText(info->errorMessage, sizeof info->errorMessage, "No ASIO Driver Error");
    currentDriver->getDriverName(info->name);
    info->name[sizeof info->name - 1] = 0;  // a driver that fills all 32 bytes still ends in a zero
    info->driverVersion = currentDriver->getDriverVersion();
    return ASE_OK;
  }
  currentDriver->getErrorMessage(info->errorMessage);
  info->errorMessage[sizeof info->errorMessage - 1] = 0;
  currentDriver = nullptr;
  return ASE_NotPresent;
}

ASIOError ASIOStart() {
  return currentDriver ? currentDriver->start() : ASE_NotPresent;
}
ASIOError ASIOStop() {
  return currentDriver ? currentDriver->stop() : ASE_NotPresent;
}

ASIOError ASIOGetChannels(int32_t* numInputChannels, int32_t* numOutputChannels) {
  if (!currentDriver) {
    *numInputChannels = *numOutputChannels = 0;
    return ASE_NotPresent;
  }
  return currentDriver->getChannels(numInputChannels, numOutputChannels);
}

ASIOError ASIOGetLatencies(int32_t* inputLatency, int32_t* outputLatency) {
  if (!currentDriver) {
    *inputLatency = *outputLatency = 0;
    return ASE_NotPresent;
  }
  return currentDriver->getLatencies(inputLatency, outputLatency);
}

ASIOError ASIOGetBufferSize(int32_t* minSize, int32_t* maxSize, int32_t* preferredSize,
                            int32_t* granularity) {
  if (!currentDriver) {
    *minSize = *maxSize = *preferredSize = *granularity = 0;
    return ASE_NotPresent;
  }
  return currentDriver->getBufferSize(minSize, maxSize, preferredSize, granularity);
}

ASIOError ASIOCanSampleRate(ASIOSampleRate rate) {
  return currentDriver ? currentDriver->canSampleRate(rate) : ASE_NotPresent;
}
ASIOError ASIOGetSampleRate(ASIOSampleRate* rate) {
  return currentDriver ? currentDriver->getSampleRate(rate) : ASE_NotPresent;
}
ASIOError ASIOSetSampleRate(ASIOSampleRate rate) {
  return currentDriver ? currentDriver->setSampleRate(rate) : ASE_NotPresent;
}
ASIOError ASIOGetClockSources(ASIOClockSource* clocks, int32_t* numSources) {
  if (!currentDriver) {
    *numSources = 0;
    return ASE_NotPresent;
  }
  return currentDriver->getClockSources(clocks, numSources);
}
ASIOError ASIOSetClockSource(int32_t reference) {
  return currentDriver ? currentDriver->setClockSource(reference) : ASE_NotPresent;
}

// Audio thread: forwards only.
ASIOError ASIOGetSamplePosition(ASIOSamples* position, ASIOTimeStamp* timeStamp) noexcept {
  return currentDriver ? currentDriver->getSamplePosition(position, timeStamp) : ASE_NotPresent;
}

ASIOError ASIOGetChannelInfo(ASIOChannelInfo* info) {
  if (!currentDriver) {
    info->channelGroup = -1;
    info->type = ASIOSTInt16MSB;
    copyText(info->name, sizeof info->name, "None");
    return ASE_NotPresent;
  }
  return currentDriver->getChannelInfo(info);
}

ASIOError ASIOCreateBuffers(ASIOBufferInfo* bufferInfos, int32_t numChannels, int32_t bufferSize,
                            ASIOCallbacks* callbacks) {
  if (!currentDriver) {
    for (int32_t i = 0; bufferInfos && i < numChannels; ++i)
      bufferInfos[i].buffers[0] = bufferInfos[i].buffers[1] = nullptr;
    return ASE_NotPresent;
  }
  return currentDriver->createBuffers(bufferInfos, numChannels, bufferSize, callbacks);
}

ASIOError ASIODisposeBuffers() {
  return currentDriver ? currentDriver->disposeBuffers() : ASE_NotPresent;
}
ASIOError ASIOControlPanel() {
  return currentDriver ? currentDriver->controlPanel() : ASE_NotPresent;
}
ASIOError ASIOFuture(int32_t selector, void* opt) {
  return currentDriver ? currentDriver->future(selector, opt) : ASE_NotPresent;
}

// Audio thread: forwards only.
ASIOError ASIOOutputReady() noexcept {
  return currentDriver ? currentDriver->outputReady() : ASE_NotPresent;
}
