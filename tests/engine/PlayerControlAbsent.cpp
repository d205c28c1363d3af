// Built only while the player and recorder control is not part of the engine library yet: the
// cycle tests never call it, and fail loudly if the engine does.
#include <gtest/gtest.h>

#include "engine/VLVSTHostInterface.h"

#define VL_ABSENT(...)                                    \
  {                                                       \
    ADD_FAILURE() << "player control is not built yet"; \
    return __VA_ARGS__;                                   \
  }

uint32_t VLVSTHostInterface::loadPlayerFile(const char*) VL_ABSENT(0)
uint32_t VLVSTHostInterface::createReaderFor(const char*) VL_ABSENT(0)
bool VLVSTHostInterface::setPlayerState(int32_t, bool) VL_ABSENT(false)
void VLVSTHostInterface::rewindPlayer() VL_ABSENT()
int32_t VLVSTHostInterface::playerFileSampleRate() VL_ABSENT(0)
bool VLVSTHostInterface::armRecorder(int32_t, uint32_t) VL_ABSENT(false)
void VLVSTHostInterface::releaseRecorderBuffers() VL_ABSENT()
void VLVSTHostInterface::releasePlayerBuffers() VL_ABSENT()
bool VLVSTHostInterface::createWriterFor(VLAudioFileBase**, const char*, uint32_t, int32_t) VL_ABSENT(false)
