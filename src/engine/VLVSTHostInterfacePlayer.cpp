// The control side of the player and the recorder, on the user-interface thread: loading a file
// into the player arrays, starting and stopping the player (and with it the transport), arming
// the recorder, and choosing the file classes by name.
//
// The audio thread reads the arrays, the lengths and the increment only while the matching state
// is 1, so every change here first sets the state to 0, then waits until no block is running
// (a block that began before the state change may still be reading), and only then replaces or
// frees anything.
#include <algorithm>
#include <cctype>
#include <cstdint>
#include <cstring>
#include <new>

#include "audiofile/VLAudioFileAIFF.h"
#include "audiofile/VLAudioFileDecoder.h"
#include "audiofile/VLAudioFileWAV.h"
#include "engine/VLVSTHostInterface.h"
#include "settings/HostSettings.h"

namespace {

double outputDeviceRate(const HostSettings* settings) {
  return settings != nullptr && settings->audioOutputDevice != nullptr
             ? settings->audioOutputDevice->sampleRate
             : 0.0;
}

bool haveOutputDevice(const HostSettings* settings) {
  return settings != nullptr && settings->audioOutputDevice != nullptr;
}

char lastCharacter(const char* path) {
  const size_t n = std::strlen(path);
  return n == 0 ? '\0' : path[n - 1];
}

void freeArrays(float*& left, float*& right) {
  delete[] left;
  delete[] right;
  left = nullptr;
  right = nullptr;
}

}  // namespace

uint32_t VLVSTHostInterface::loadPlayerFile(const char* path) {
  if (!haveOutputDevice(settings)) return 0;
  // State first, then the wait: a block that has not started yet sees the player stopped, and
  // one that has is waited for.
  const int32_t previous = playerState.exchange(0);
  waitForBlockEnd();
  freeArrays(playerLeft, playerRight);
  playerPlayed = 0;
  playerLength = 0;

  const uint32_t n = createReaderFor(path);
  if (n == 0) return 0;
  float* left = new (std::nothrow) float[static_cast<size_t>(n) + 1];
  float* right = new (std::nothrow) float[static_cast<size_t>(n) + 1];
  if (left == nullptr || right == nullptr) {
    freeArrays(left, right);
    return 0;
  }
  // No clearing pass: a successful readAll writes every one of the n frames (silence where the
  // layout converts nothing), and on a failed one the arrays are dropped.
  if (!playerFile->readAll({left, right})) {
    freeArrays(left, right);
    return 0;
  }
  // The guard entry: interpolation at the end and at a loop seam reads the first sample again.
  left[n] = left[0];
  right[n] = right[0];
  playerLeft = left;
  playerRight = right;
  playerLength = n;

  waitForBlockEnd();
  playerState = previous;
  return n;
}

uint32_t VLVSTHostInterface::createReaderFor(const char* path) {
  if (path == nullptr) return 0;
  delete playerFile;
  playerFile = nullptr;
  VLAudioFileBase* reader = nullptr;
  switch (std::tolower(static_cast<unsigned char>(lastCharacter(path)))) {
    case 'v':
      reader = new (std::nothrow) VLAudioFileWAV();
      break;
    case 'f':
      reader = new (std::nothrow) VLAudioFileAIFF();
      break;
    default:
      reader = new (std::nothrow) VLAudioFileDecoder();
      break;
  }
  if (reader == nullptr) return 0;
  playerFile = reader;
  return reader->openRead(path);
}

bool VLVSTHostInterface::setPlayerState(int32_t state, bool loop) {
  if (!haveOutputDevice(settings) || playerLeft == nullptr || playerRight == nullptr) return false;
  if (state < 0 || state > 2) return false;
  if (state > 0) {
    // The block cycle must not read the values below half-written. The wait is needed even when
    // the player is already stopped: a block that read "playing" just before the stop may still
    // be stepping through the file, and would otherwise mark the new start finished or carry on
    // from its own position.
    playerState.exchange(0);
    waitForBlockEnd();
    playerPlayed = 0;
    playerLoop = loop;
    playerFinished = false;
    const float fileRate = static_cast<float>(playerFileSampleRate());
    const float deviceRate = static_cast<float>(outputDeviceRate(settings));
    // A file or device without a usable rate stands still rather than stepping by infinity, a
    // negative amount or NaN through the arrays.
    const float increment = fileRate > 0.0f && deviceRate > 0.0f ? fileRate / deviceRate : 0.0f;
    playerIncrement = static_cast<double>(increment);
    playerPosition = 0;
  }
  songPosition = 0;
  playerState = state;
  requestedPlaying = state > 0;
  transportChanged = true;
  return true;
}

void VLVSTHostInterface::rewindPlayer() {
  songPosition = 0;
  playerPosition = 0;
  playerPlayed = 0;
}

int32_t VLVSTHostInterface::playerFileSampleRate() {
  return playerFile != nullptr ? playerFile->sampleRate : 0;
}

bool VLVSTHostInterface::armRecorder(int32_t state, uint32_t capacity) {
  if (!haveOutputDevice(settings)) return false;
  if (state < 0 || state > 2) return false;
  if (state > 0) {
    // A recording may still run (the dialog can be reopened during one): stop it and let the
    // current block finish before its arrays go.
    recorderState.exchange(0);
    waitForBlockEnd();
    freeArrays(recorderLeft, recorderRight);
    const double rate = outputDeviceRate(settings);
    const int64_t deviceRate = rate > 0.0 && rate < 2147483647.0 ? static_cast<int64_t>(rate) : 0;
    const int64_t ceiling = std::min<int64_t>(300 * deviceRate, UINT32_MAX);
    recorderCapacity = capacity == 0 || capacity > ceiling ? static_cast<uint32_t>(ceiling) : capacity;
    recorderFill = 0;
    float* left = new (std::nothrow) float[recorderCapacity];
    float* right = new (std::nothrow) float[recorderCapacity];
    if (left == nullptr || right == nullptr) {
      freeArrays(left, right);
      recorderCapacity = 0;
      return false;
    }
    recorderLeft = left;
    recorderRight = right;
  }
  recorderState = state;
  return true;
}

void VLVSTHostInterface::releaseRecorderBuffers() {
  // Only a stopped recorder gives its arrays up; freeing them under a running one would leave the
  // block cycle writing into freed memory.
  if (recorderState.load() != 0) return;
  waitForBlockEnd();
  freeArrays(recorderLeft, recorderRight);
}

void VLVSTHostInterface::releasePlayerBuffers() {
  if (playerState.load() != 0) return;
  waitForBlockEnd();
  freeArrays(playerLeft, playerRight);
}

bool VLVSTHostInterface::createWriterFor(VLAudioFileBase** slot, const char* path, uint32_t frames,
                                         int32_t sampleRate) {
  if (slot == nullptr) return false;
  delete *slot;
  *slot = nullptr;
  if (path == nullptr) return false;
  // Compared without case folding: a name ending in ".WAV" is not saved.
  switch (lastCharacter(path)) {
    case 'v':
      *slot = new (std::nothrow) VLAudioFileWAV();
      break;
    case 'f':
      *slot = new (std::nothrow) VLAudioFileAIFF();
      break;
    default:
      return false;
  }
  return *slot != nullptr && (*slot)->openWrite(path, frames, sampleRate);
}
