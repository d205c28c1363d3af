#pragma once
// A scripted compression manager for tests. Its drivers are listed by the test (support flags,
// format tags, failing calls); any call of the stream can be made to fail; and its codec
// "decodes" any source into `pcmFrames` frames of a known pattern (`sample`), so a test can tell
// exactly which source bytes and which format record the decoder handed over.
#include <cstdint>
#include <vector>

#include "platform/acm/Acm.h"

namespace plat::acm {

struct SimDriver {
  uint32_t support = kSupportCodec;
  std::vector<uint32_t> tags{kTagPcm, kTagMpegLayer3};
  bool failDetails = false;
  bool failOpen = false;
  bool failTagDetails = false;
};

class SimAcm final : public Acm {
 public:
  // Scripted behaviour.
  std::vector<SimDriver> drivers{SimDriver{}};
  bool failSuggest = false;
  bool failStreamOpen = false;
  bool failSize = false;
  bool failPrepare = false;
  bool failConvert = false;
  uint32_t pcmFrames = 1000;     // frames the codec produces, at most what the destination holds
  uint16_t suggestChannels = 0;  // 0: the source's channel count
  uint32_t suggestRate = 0;      // 0: the source's rate

  // What the decoder handed over, and what it left open.
  MpegLayer3Format lastSource{};
  std::vector<uint8_t> lastSourceBytes;
  uint32_t lastDestinationSize = 0;
  int openDrivers = 0;
  int openStreams = 0;
  int preparedHeaders = 0;
  int conversions = 0;

  // The 16-bit value the codec writes for `frame` on `channel`.
  static int16_t sample(uint32_t frame, uint32_t channel);

  uint32_t driverEnum(DriverEnumCallback callback, void* instance, uint32_t flags) override;
  uint32_t driverDetails(DriverId id, DriverDetails* details, uint32_t flags) override;
  uint32_t driverOpen(Driver* driver, DriverId id, uint32_t flags) override;
  uint32_t driverClose(Driver driver, uint32_t flags) override;
  uint32_t formatTagDetails(Driver driver, FormatTagDetails* details, uint32_t flags) override;
  uint32_t formatSuggest(Driver driver, const WaveFormat* source, WaveFormat* destination,
                         uint32_t destinationSize, uint32_t flags) override;
  uint32_t streamOpen(Stream* stream, Driver driver, const WaveFormat* source, const WaveFormat* destination,
                      void* filter, uintptr_t callback, uintptr_t instance, uint32_t flags) override;
  uint32_t streamSize(Stream stream, uint32_t sourceBytes, uint32_t* destinationBytes,
                      uint32_t flags) override;
  uint32_t streamPrepareHeader(Stream stream, StreamHeader* header, uint32_t flags) override;
  uint32_t streamConvert(Stream stream, StreamHeader* header, uint32_t flags) override;
  uint32_t streamUnprepareHeader(Stream stream, StreamHeader* header, uint32_t flags) override;
  uint32_t streamClose(Stream stream, uint32_t flags) override;

 private:
  WaveFormat destination_{};
};

}  // namespace plat::acm
