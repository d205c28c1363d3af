#pragma once
// The compression manager on Linux: one driver (id 1) offering PCM and MPEG Layer-3 (tag 85),
// decoding MPEG-1 and MPEG-2 Layer III through libmpg123. A stream decodes its whole source
// from memory in one `streamConvert`, as interleaved signed 16-bit samples at the source's rate
// and channel count. libmpg123 finds every frame itself, so the first frame's format record
// only fixes the output layout.
#include "platform/acm/Acm.h"

namespace plat::acm {

class Mpg123Acm final : public Acm {
 public:
  Mpg123Acm();
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

  // The most PCM bytes `sourceBytes` of Layer III at `rate` and `channels` can decode to: every
  // frame is at least as long as one at the lowest bit rate of its MPEG version.
  static uint64_t pcmBound(uint64_t sourceBytes, uint32_t rate, uint32_t channels);

 private:
  static constexpr DriverId kDriverId = 1;
};

}  // namespace plat::acm
