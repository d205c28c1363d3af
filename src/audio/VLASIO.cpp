#include "audio/VLASIO.h"

#include <algorithm>
#include <cstring>

#include "audio/AsioCallLayer.h"
#include "audio/SampleConversion.h"

using namespace plat::asio;

VLASIO* VLASIO::currentInstance = nullptr;

VLASIO::VLASIO(plat::registry::Registry& registry, plat::com::Com& com, plat::clock::Clock& clock)
    : AsioDrivers(registry, com), VLAudioBase(), clock_(clock) {
  currentInstance = this;
  callbacks.bufferSwitch = &VLASIO::bufferSwitch;
  callbacks.sampleRateDidChange = &VLASIO::sampleRateDidChange;
  callbacks.asioMessage = &VLASIO::asioMessage;
  callbacks.bufferSwitchTimeInfo = &VLASIO::bufferSwitchTimeInfo;
  for (int32_t i = 0; i < driverCount; ++i) {
    char name[256];
    if (getDriverName(i, name, sizeof name) != DRVERR_OK) break;
    for (bool input : {true, false}) {
      auto record = std::make_unique<AudioDeviceInfo>(DeviceTypeASIO, input);
      record->id = i;
      record->name = name;
      devices.push_back(std::move(record));
    }
  }
}

VLASIO::~VLASIO() {
  if (streaming) stop();
  if (currentInstance == this) currentInstance = nullptr;
}

bool VLASIO::initDriver() {
  bufferSize = 0;
  std::memset(&driverInfo, 0, sizeof driverInfo);
  minSize = maxSize = preferredSize = granularity = 0;
  inspectedInputs_ = inspectedOutputs_ = 0;
  if (ASIOInit(&driverInfo) != ASE_OK) return false;
  if (ASIOGetChannels(&inputChannels, &outputChannels) != ASE_OK) return false;
  if (ASIOGetBufferSize(&minSize, &maxSize, &preferredSize, &granularity) != ASE_OK) return false;
  // The callback's arrays hold the largest block the driver may ever switch to.
  if (maxSize < preferredSize || maxSize <= 0 || !allocateChannelBuffers(size_t(maxSize))) return false;
  bufferSize = preferredSize;
  if (ASIOGetSampleRate(&sampleRate) != ASE_OK) return false;
  postOutput = ASIOOutputReady() == ASE_OK;
  // The table holds 64 entries; only the first 32 channels of a direction can ever get buffers,
  // so those are the ones inspected (and listed by open).
  inspectedInputs_ = std::clamp(inputChannels, 0, kMaxBuffersPerSide);
  inspectedOutputs_ = std::clamp(outputChannels, 0, kMaxBuffersPerSide);
  for (int32_t k = 0; k < inspectedInputs_ + inspectedOutputs_; ++k) {
    bool input = k < inspectedInputs_;
    std::memset(&channelInfos[k], 0, sizeof channelInfos[k]);
    channelInfos[k].channel = input ? k : k - inspectedInputs_;
    channelInfos[k].isInput = input ? ASIOTrue : ASIOFalse;
    if (ASIOGetChannelInfo(&channelInfos[k]) != ASE_OK) return false;
    channelInfos[k].name[sizeof channelInfos[k].name - 1] = 0;
  }
  return true;
}

bool VLASIO::createBuffers() {
  int32_t nIn = std::clamp(inputChannels, 0, kMaxBuffersPerSide);
  int32_t nOut = std::clamp(outputChannels, 0, kMaxBuffersPerSide);
  for (int32_t k = 0; k < nIn + nOut; ++k) {
    bufferInfos[k].isInput = k < nIn ? ASIOTrue : ASIOFalse;
    bufferInfos[k].channelNum = k < nIn ? k : k - nIn;
    bufferInfos[k].buffers[0] = bufferInfos[k].buffers[1] = nullptr;
  }
  inputBuffers = nIn;
  outputBuffers = nOut;
  if (ASIOCreateBuffers(bufferInfos, nIn + nOut, bufferSize, &callbacks) != ASE_OK) return false;
  for (int32_t k = 0; k < nIn + nOut; ++k) {
    std::memset(&channelInfos[k], 0, sizeof channelInfos[k]);
    channelInfos[k].channel = bufferInfos[k].channelNum;
    channelInfos[k].isInput = bufferInfos[k].isInput;
    if (ASIOGetChannelInfo(&channelInfos[k]) != ASE_OK) return false;
  }
  return ASIOGetLatencies(&inputLatency, &outputLatency) == ASE_OK;
}

bool VLASIO::open(AudioDeviceInfo* record, bool) {
  if (!record) return false;
  if (record->infoValid) return true;
  if (!loadDriver(record->name.c_str())) return false;
  if (!initDriver()) {
    removeCurrentDriver();
    freeChannelBuffers();
    return false;
  }
  record->channelCount = static_cast<uint16_t>(outputChannels);
  record->sampleRate = sampleRate;
  record->bufferSize = bufferSize;
  record->channelNames.clear();
  for (int32_t k = 0; k < inspectedInputs_ + inspectedOutputs_; ++k)
    if ((channelInfos[k].isInput == ASIOTrue) == record->isInput)
      record->channelNames.emplace_back(channelInfos[k].name);
  removeCurrentDriver();
  record->infoValid = true;
  freeChannelBuffers();
  return true;
}

bool VLASIO::start(AudioDeviceInfo* input, AudioDeviceInfo* output, AudioCallback cb, void* user) {
  if (!output) return false;
  if (input && input->id != output->id) return false;
  if (output->id < 0 || output->id >= driverCount) return false;
  if (streaming) stop();
  callback = cb;
  callbackUser = user;
  if (input) {
    inputLeft = input->leftChannel;
    inputRight = input->rightChannel;
  }
  inputDevice = input;
  outputLeft = output->leftChannel;
  outputRight = output->rightChannel;
  char name[256];
  if (getDriverName(output->id, name, sizeof name) != DRVERR_OK) return false;
  if (!startInitializedCom_) {
    plat::com::CoInitialize(nullptr);
    startInitializedCom_ = true;
  }
  if (!loadDriver(name) || !initDriver() || !createBuffers() || ASIOStart() != ASE_OK) return false;
  streaming = true;
  return true;
}

void VLASIO::stop() {
  if (streaming) {
    streaming = false;
    // A callback already past its check of `streaming` normally finishes within this grace.
    clock_.sleepMs(100);
    // One that is later (a driver thread preempted, a slow plug-in) is waited for: the driver's
    // buffers and the channel buffers it works on are released only after it has left. The
    // count is raised before the check of `streaming` and the flag fell before this read, so a
    // block either sees the flag down or is counted here.
    while (blocksInside_.load() != 0) clock_.sleepMs(1);
    ASIOStop();
    ASIODisposeBuffers();
    removeCurrentDriver();
  }
  freeChannelBuffers();
  if (startInitializedCom_) {
    plat::com::CoUninitialize();
    startInitializedCom_ = false;
  }
}

bool VLASIO::controlPanel(AudioDeviceInfo* record) {
  if (streaming) return ASIOControlPanel() == ASE_OK;
  if (!record || record->id < 0 || record->id >= driverCount) return false;
  char name[256];
  if (getDriverName(record->id, name, sizeof name) != DRVERR_OK) return false;
  plat::com::CoInitialize(nullptr);
  bool ok = false;
  if (loadDriver(name)) {
    ok = ASIOControlPanel() == ASE_OK;
    removeCurrentDriver();
  }
  plat::com::CoUninitialize();
  return ok;
}

// Audio thread: called by drivers that do not use the time-info form.
void VLASIO::bufferSwitch(int32_t index, ASIOBool directProcess) noexcept {
  ASIOTime time;
  std::memset(&time, 0, sizeof time);
  if (ASIOGetSamplePosition(&time.timeInfo.samplePosition, &time.timeInfo.systemTime) == ASE_OK)
    time.timeInfo.flags = kSystemTimeValid | kSamplePositionValid;
  bufferSwitchTimeInfo(&time, index, directProcess);
}

void VLASIO::sampleRateDidChange(ASIOSampleRate) noexcept {}

int32_t VLASIO::asioMessage(int32_t selector, int32_t value, void*, double*) noexcept {
  switch (selector) {
    case kAsioSelectorSupported:
      switch (value) {
        case kAsioEngineVersion:
        case kAsioResetRequest:
        case kAsioResyncRequest:
        case kAsioLatenciesChanged:
        case kAsioSupportsTimeInfo:
        case kAsioSupportsTimeCode:
        case kAsioSupportsInputMonitor:
          return 1;
        default:
          return 0;
      }
    case kAsioEngineVersion:
      return 2;
    case kAsioResetRequest:
      return 1;
    case kAsioBufferSizeChange:
      return 0;
    case kAsioResyncRequest:
    case kAsioLatenciesChanged:
    case kAsioSupportsTimeInfo:
      return 1;
    default:
      return 0;
  }
}

// Audio thread: the block.
ASIOTime* VLASIO::bufferSwitchTimeInfo(ASIOTime*, int32_t index, ASIOBool) noexcept {
  VLASIO* self = currentInstance;
  if (self && (index == 0 || index == 1)) {
    self->blocksInside_.fetch_add(1);
    self->processBlock(index);
    self->blocksInside_.fetch_sub(1);
  }
  return nullptr;
}

// Audio thread: converts in, calls back, converts out. Reads only fields written while stopped.
void VLASIO::processBlock(int32_t index) noexcept {
  // Sequentially consistent, to pair with stop's store of the flag and read of the count.
  if (!streaming.load()) return;
  const int32_t created = inputBuffers + outputBuffers;
  const size_t frames = size_t(bufferSize);
  if (inputDevice) {
    float* sides[2] = {channelBuffers.left, channelBuffers.right};
    int used = 0;
    int32_t channel = 0;
    for (int32_t k = 0; k < created && used < 2; ++k) {
      if (bufferInfos[k].isInput != ASIOTrue) continue;
      int32_t number = channel++;
      if (number != inputLeft && number != inputRight) continue;
      void* half = bufferInfos[k].buffers[index];
      if (!half) continue;
      sampleconv::toFloat(channelInfos[k].type, half, sides[used++], frames);
    }
  }
  if (!callback || !callback(&channelBuffers, &channelBuffers, uint32_t(bufferSize), callbackUser)) return;
  const float* sides[2] = {channelBuffers.left, channelBuffers.right};
  int used = 0;
  int32_t channel = 0;
  for (int32_t k = 0; k < created; ++k) {
    if (bufferInfos[k].isInput == ASIOTrue) continue;
    int32_t number = channel++;
    void* half = bufferInfos[k].buffers[index];
    if (!half) continue;
    int32_t type = channelInfos[k].type;
    if (used < 2 && (number == outputLeft || number == outputRight)) {
      sampleconv::fromFloat(type, sides[used++], half, frames);
    } else {
      // A type outside the tables has no known silence; its half is left alone.
      std::memset(half, 0, frames * size_t(sampleWidth(type)));
    }
  }
  if (postOutput) ASIOOutputReady();
}
