#pragma once
// The ASIO driver interface: the IASIO object a driver's in-process server hands out, and the
// records exchanged with it. Declared here from the published interface's facts: 4-byte structure
// packing, and 32-bit integers wherever the interface has `long` (it was defined on a platform
// where `long` is 32 bits; on Linux x86-64 it is not, so int32_t is spelled out).
//
// Threads: the host calls every IASIO method on its user-interface thread, except
// getSamplePosition and outputReady, which it calls from inside the driver's buffer-switch
// callback, on the driver's own thread.
#include <cstddef>
#include <cstdint>

#include "platform/com/Com.h"

namespace plat::asio {

using ASIOError = int32_t;
using ASIOBool = int32_t;
using ASIOSampleRate = double;
using ASIOSampleType = int32_t;

inline constexpr ASIOBool ASIOFalse = 0;
inline constexpr ASIOBool ASIOTrue = 1;

inline constexpr ASIOError ASE_OK = 0;
inline constexpr ASIOError ASE_SUCCESS = 0x3f4847a0;  // answer of `future` for a supported selector
inline constexpr ASIOError ASE_NotPresent = -1000;
inline constexpr ASIOError ASE_HWMalfunction = -999;
inline constexpr ASIOError ASE_InvalidParameter = -998;
inline constexpr ASIOError ASE_InvalidMode = -997;
inline constexpr ASIOError ASE_SPNotAdvancing = -996;
inline constexpr ASIOError ASE_NoClock = -995;
inline constexpr ASIOError ASE_NoMemory = -994;

// Sample types. MSB = big-endian, LSB = little-endian. The Int32 variants with a bit count carry
// that many significant bits in the low part of a 32-bit word.
inline constexpr ASIOSampleType ASIOSTInt16MSB = 0;
inline constexpr ASIOSampleType ASIOSTInt24MSB = 1;
inline constexpr ASIOSampleType ASIOSTInt32MSB = 2;
inline constexpr ASIOSampleType ASIOSTFloat32MSB = 3;
inline constexpr ASIOSampleType ASIOSTFloat64MSB = 4;
inline constexpr ASIOSampleType ASIOSTInt32MSB16 = 8;
inline constexpr ASIOSampleType ASIOSTInt32MSB18 = 9;
inline constexpr ASIOSampleType ASIOSTInt32MSB20 = 10;
inline constexpr ASIOSampleType ASIOSTInt32MSB24 = 11;
inline constexpr ASIOSampleType ASIOSTInt16LSB = 16;
inline constexpr ASIOSampleType ASIOSTInt24LSB = 17;
inline constexpr ASIOSampleType ASIOSTInt32LSB = 18;
inline constexpr ASIOSampleType ASIOSTFloat32LSB = 19;
inline constexpr ASIOSampleType ASIOSTFloat64LSB = 20;
inline constexpr ASIOSampleType ASIOSTInt32LSB16 = 24;
inline constexpr ASIOSampleType ASIOSTInt32LSB18 = 25;
inline constexpr ASIOSampleType ASIOSTInt32LSB20 = 26;
inline constexpr ASIOSampleType ASIOSTInt32LSB24 = 27;
inline constexpr ASIOSampleType ASIOSTDSDInt8LSB1 = 32;
inline constexpr ASIOSampleType ASIOSTDSDInt8MSB1 = 33;
inline constexpr ASIOSampleType ASIOSTDSDInt8NER8 = 40;
inline constexpr ASIOSampleType ASIOSTLastEntry = 41;

// Selectors of the host's asioMessage callback.
inline constexpr int32_t kAsioSelectorSupported = 1;
inline constexpr int32_t kAsioEngineVersion = 2;
inline constexpr int32_t kAsioResetRequest = 3;
inline constexpr int32_t kAsioBufferSizeChange = 4;
inline constexpr int32_t kAsioResyncRequest = 5;
inline constexpr int32_t kAsioLatenciesChanged = 6;
inline constexpr int32_t kAsioSupportsTimeInfo = 7;
inline constexpr int32_t kAsioSupportsTimeCode = 8;
inline constexpr int32_t kAsioMMCCommand = 9;
inline constexpr int32_t kAsioSupportsInputMonitor = 10;
inline constexpr int32_t kAsioSupportsInputGain = 11;
inline constexpr int32_t kAsioSupportsInputMeter = 12;
inline constexpr int32_t kAsioSupportsOutputGain = 13;
inline constexpr int32_t kAsioSupportsOutputMeter = 14;
inline constexpr int32_t kAsioOverload = 15;

// AsioTimeInfo flags.
inline constexpr uint32_t kSystemTimeValid = 1;
inline constexpr uint32_t kSamplePositionValid = 2;
inline constexpr uint32_t kSampleRateValid = 4;
inline constexpr uint32_t kSpeedValid = 8;
inline constexpr uint32_t kSampleRateChanged = 16;
inline constexpr uint32_t kClockSourceChanged = 32;

// ASIOTimeCode flags.
inline constexpr uint32_t kTcValid = 1;
inline constexpr uint32_t kTcRunning = 2;
inline constexpr uint32_t kTcReverse = 4;
inline constexpr uint32_t kTcOnspeed = 8;
inline constexpr uint32_t kTcStill = 16;
inline constexpr uint32_t kTcSpeedValid = 0x100;

#pragma pack(push, 4)

// A 64-bit count split into two 32-bit halves, high first.
struct ASIOSamples {
  uint32_t hi;
  uint32_t lo;
};
struct ASIOTimeStamp {
  uint32_t hi;
  uint32_t lo;
};

struct ASIODriverInfo {
  int32_t asioVersion;  // in: the host's ASIO version
  int32_t driverVersion;
  char name[32];
  char errorMessage[124];
  void* sysRef;  // in: the host's window handle; null here
};

struct ASIOClockSource {
  int32_t index;
  int32_t associatedChannel;
  int32_t associatedGroup;
  ASIOBool isCurrentSource;
  char name[32];
};

struct ASIOChannelInfo {
  int32_t channel;   // in: channel number of its direction, from 0
  ASIOBool isInput;  // in
  ASIOBool isActive;
  int32_t channelGroup;
  ASIOSampleType type;
  char name[32];
};

struct ASIOBufferInfo {
  ASIOBool isInput;    // in
  int32_t channelNum;  // in
  void* buffers[2];    // out: the two buffer halves
};

struct AsioTimeInfo {
  double speed;
  ASIOTimeStamp systemTime;  // nanoseconds
  ASIOSamples samplePosition;
  ASIOSampleRate sampleRate;
  uint32_t flags;
  char reserved[12];
};

struct ASIOTimeCode {
  double speed;
  ASIOSamples timeCodeSamples;
  uint32_t flags;
  char future[64];
};

struct ASIOTime {
  int32_t reserved[4];
  AsioTimeInfo timeInfo;
  ASIOTimeCode timeCode;
};

// The host's callbacks. bufferSwitch and bufferSwitchTimeInfo run on the driver's thread.
struct ASIOCallbacks {
  void (*bufferSwitch)(int32_t doubleBufferIndex, ASIOBool directProcess);
  void (*sampleRateDidChange)(ASIOSampleRate rate);
  int32_t (*asioMessage)(int32_t selector, int32_t value, void* message, double* opt);
  ASIOTime* (*bufferSwitchTimeInfo)(ASIOTime* params, int32_t doubleBufferIndex, ASIOBool directProcess);
};

#pragma pack(pop)

static_assert(sizeof(ASIOSamples) == 8 && sizeof(ASIOTimeStamp) == 8);
static_assert(sizeof(ASIODriverInfo) == 172 && offsetof(ASIODriverInfo, sysRef) == 164);
static_assert(sizeof(ASIOClockSource) == 48);
static_assert(sizeof(ASIOChannelInfo) == 52 && offsetof(ASIOChannelInfo, name) == 20);
static_assert(sizeof(ASIOBufferInfo) == 24 && offsetof(ASIOBufferInfo, buffers) == 8);
static_assert(sizeof(AsioTimeInfo) == 48 && offsetof(AsioTimeInfo, flags) == 32);
static_assert(sizeof(ASIOTimeCode) == 84);
static_assert(sizeof(ASIOTime) == 148 && offsetof(ASIOTime, timeCode) == 64);
static_assert(sizeof(ASIOCallbacks) == 32);

// The driver object. Its class identifier doubles as the interface identifier.
struct IASIO : public com::IUnknown {
  virtual ASIOBool init(void* sysHandle) = 0;
  virtual void getDriverName(char* name) = 0;  // at most 32 bytes with the zero
  virtual int32_t getDriverVersion() = 0;
  virtual void getErrorMessage(char* text) = 0;  // at most 124 bytes with the zero
  virtual ASIOError start() = 0;
  virtual ASIOError stop() = 0;
  virtual ASIOError getChannels(int32_t* numInputChannels, int32_t* numOutputChannels) = 0;
  virtual ASIOError getLatencies(int32_t* inputLatency, int32_t* outputLatency) = 0;
  virtual ASIOError getBufferSize(int32_t* minSize, int32_t* maxSize, int32_t* preferredSize,
                                  int32_t* granularity) = 0;
  virtual ASIOError canSampleRate(ASIOSampleRate rate) = 0;
  virtual ASIOError getSampleRate(ASIOSampleRate* rate) = 0;
  virtual ASIOError setSampleRate(ASIOSampleRate rate) = 0;
  virtual ASIOError getClockSources(ASIOClockSource* clocks, int32_t* numSources) = 0;
  virtual ASIOError setClockSource(int32_t reference) = 0;
  virtual ASIOError getSamplePosition(ASIOSamples* position, ASIOTimeStamp* timeStamp) = 0;
  virtual ASIOError getChannelInfo(ASIOChannelInfo* info) = 0;
  virtual ASIOError createBuffers(ASIOBufferInfo* bufferInfos, int32_t numChannels, int32_t bufferSize,
                                  ASIOCallbacks* callbacks) = 0;
  virtual ASIOError disposeBuffers() = 0;
  virtual ASIOError controlPanel() = 0;
  virtual ASIOError future(int32_t selector, void* opt) = 0;
  virtual ASIOError outputReady() = 0;

 protected:
  ~IASIO() = default;
};

// Width in bytes of one sample of a type, 0 for a type without a fixed PCM width (DSD, unknown).
inline constexpr int sampleWidth(ASIOSampleType type) {
  switch (type) {
    case ASIOSTInt16MSB:
    case ASIOSTInt16LSB:
      return 2;
    case ASIOSTInt24MSB:
    case ASIOSTInt24LSB:
      return 3;
    case ASIOSTFloat64MSB:
    case ASIOSTFloat64LSB:
      return 8;
    case ASIOSTInt32MSB:
    case ASIOSTFloat32MSB:
    case ASIOSTInt32MSB16:
    case ASIOSTInt32MSB18:
    case ASIOSTInt32MSB20:
    case ASIOSTInt32MSB24:
    case ASIOSTInt32LSB:
    case ASIOSTFloat32LSB:
    case ASIOSTInt32LSB16:
    case ASIOSTInt32LSB18:
    case ASIOSTInt32LSB20:
    case ASIOSTInt32LSB24:
      return 4;
    default:
      return 0;
  }
}

}  // namespace plat::asio
