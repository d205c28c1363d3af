#pragma once
// The compression-manager layer: the driver enumeration, format details and conversion streams
// that the MP3 decoder uses to turn a compressed file into 16-bit PCM. A driver offers format
// tags; a stream converts from one format record to another in one call over caller-owned
// buffers described by a stream header. Results are 0 on success and an error code otherwise.
// All calls come from the user-interface thread; nothing here is real-time safe.
//
// Two backings: `Mpg123Acm` (one driver offering format tag 85, MPEG-1/2 Layer III, decoded by
// libmpg123) and `SimAcm` (scripted drivers and a pattern codec for tests).
#include <cstddef>
#include <cstdint>

namespace plat::acm {

using DriverId = uintptr_t;  // identifies an installed driver during enumeration
using Driver = uintptr_t;    // an open driver, 0 when none
using Stream = uintptr_t;    // an open conversion stream, 0 when none

// Result codes.
constexpr uint32_t kOk = 0;
constexpr uint32_t kError = 1;
constexpr uint32_t kBadHandle = 5;
constexpr uint32_t kNoMemory = 7;
constexpr uint32_t kInvalidFlag = 10;
constexpr uint32_t kInvalidParam = 11;
constexpr uint32_t kNotPossible = 512;
constexpr uint32_t kUnprepared = 515;

// Driver support flags.
constexpr uint32_t kSupportCodec = 0x1;
constexpr uint32_t kSupportConverter = 0x2;

// Format tags.
constexpr uint16_t kTagPcm = 1;
constexpr uint16_t kTagMpegLayer3 = 85;

// Flags of the calls.
constexpr uint32_t kFormatTagDetailsIndex = 0x0;       // look the tag up by `formatTagIndex`
constexpr uint32_t kFormatSuggestFormatTag = 0x10000;  // the destination's tag is fixed
constexpr uint32_t kStreamOpenNonRealtime = 0x4;
constexpr uint32_t kStreamSizeSource = 0x0;  // the size given is the source's; ask the destination's
constexpr uint32_t kStreamConvertBlockAlign = 0x4;

// MPEG Layer-3 record: identifier and padding flags.
constexpr uint16_t kMpegLayer3IdMpeg = 1;
constexpr uint32_t kMpegLayer3FlagPaddingOn = 1;
constexpr uint32_t kMpegLayer3FlagPaddingOff = 2;

#pragma pack(push, 1)
// The common head of every wave format record (18 bytes, packed as in files).
struct WaveFormat {
  uint16_t formatTag = 0;
  uint16_t channels = 0;
  uint32_t samplesPerSec = 0;
  uint32_t avgBytesPerSec = 0;
  uint16_t blockAlign = 0;
  uint16_t bitsPerSample = 0;
  uint16_t extraSize = 0;  // bytes that follow this head
};
static_assert(sizeof(WaveFormat) == 18);

// Format tag 85: the head followed by 12 bytes describing the MPEG stream.
struct MpegLayer3Format {
  WaveFormat wfx;
  uint16_t id = 0;
  uint32_t flags = 0;
  uint16_t blockSize = 0;
  uint16_t framesPerBlock = 0;
  uint16_t codecDelay = 0;
};
static_assert(sizeof(MpegLayer3Format) == 30);
#pragma pack(pop)

struct DriverDetails {
  uint32_t support = 0;
  uint32_t formatTags = 0;  // number of format tags; indices 0 .. formatTags - 1
  char shortName[32] = {};
  char longName[128] = {};
};

struct FormatTagDetails {
  uint32_t formatTagIndex = 0;  // in: the index asked for
  uint32_t formatTag = 0;       // out
  uint32_t formatSize = 0;      // out: largest record of this tag
  uint32_t support = 0;         // out
  char name[48] = {};
};

// One conversion over whole buffers: the caller owns both and keeps them alive while prepared.
struct StreamHeader {
  const uint8_t* src = nullptr;
  uint32_t srcLength = 0;
  uint32_t srcLengthUsed = 0;  // out
  uint8_t* dst = nullptr;
  uint32_t dstLength = 0;
  uint32_t dstLengthUsed = 0;  // out
  bool prepared = false;
  bool done = false;
};

// Called once per enabled driver; returns true to continue the enumeration.
using DriverEnumCallback = bool (*)(DriverId id, void* instance, uint32_t support);

class Acm {
 public:
  virtual ~Acm() = default;
  virtual uint32_t driverEnum(DriverEnumCallback callback, void* instance, uint32_t flags) = 0;
  virtual uint32_t driverDetails(DriverId id, DriverDetails* details, uint32_t flags) = 0;
  virtual uint32_t driverOpen(Driver* driver, DriverId id, uint32_t flags) = 0;
  virtual uint32_t driverClose(Driver driver, uint32_t flags) = 0;
  virtual uint32_t formatTagDetails(Driver driver, FormatTagDetails* details, uint32_t flags) = 0;
  // Completes `destination` (of `destinationSize` bytes) for `source`. `driver` 0: any driver.
  virtual uint32_t formatSuggest(Driver driver, const WaveFormat* source, WaveFormat* destination,
                                 uint32_t destinationSize, uint32_t flags) = 0;
  virtual uint32_t streamOpen(Stream* stream, Driver driver, const WaveFormat* source,
                              const WaveFormat* destination, void* filter, uintptr_t callback,
                              uintptr_t instance, uint32_t flags) = 0;
  // The most destination bytes `sourceBytes` of source can produce.
  virtual uint32_t streamSize(Stream stream, uint32_t sourceBytes, uint32_t* destinationBytes,
                              uint32_t flags) = 0;
  virtual uint32_t streamPrepareHeader(Stream stream, StreamHeader* header, uint32_t flags) = 0;
  virtual uint32_t streamConvert(Stream stream, StreamHeader* header, uint32_t flags) = 0;
  virtual uint32_t streamUnprepareHeader(Stream stream, StreamHeader* header, uint32_t flags) = 0;
  virtual uint32_t streamClose(Stream stream, uint32_t flags) = 0;
};

// The process-wide libmpg123 backing, for composition roots and readers made without an injected
// layer.
Acm& systemAcm();

}  // namespace plat::acm
