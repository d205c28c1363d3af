#pragma once
// The wrapper around the one plug-in of the host: loads the module beside the executable, obtains
// and checks its AEffect, registers it in the effect table with this wrapper's host context, runs
// the open and close sequences, and calls the plug-in's process routine once per audio block.
// The main window derives from it. Dispatcher calls of other classes go straight to `effect`.
//
// Threads: load, open, close and unload on the user-interface thread while the audio device is
// stopped; process on the audio thread. No lock is taken around plug-in calls.
#include <cstdint>
#include <string>

#include "audio/ChannelBufferPair.h"
#include "plugin/HostContext.h"
#include "plugin/PluginModule.h"
#include "vst/AEffect.h"

class VLVSTHostLib {
 public:
  // The most pointers the process array holds; channels beyond it are not provided. Plug-ins read
  // and write every channel they declare, so the array is sized for the many-output instruments
  // (multi-out samplers of 64 and more), not for the two channels the host carries: a channel past
  // its end would be a stray stack word the plug-in writes its audio through.
  static constexpr int32_t kMaxChannels = 256;
  // Size of the buffer the plug-in's name is read into.
  static constexpr size_t kNameBufferSize = 256;

  VLVSTHostLib() = default;
  // Removes the wrapper's pair from the effect table and frees the module if still loaded.
  virtual ~VLVSTHostLib();
  VLVSTHostLib(const VLVSTHostLib&) = delete;
  VLVSTHostLib& operator=(const VLVSTHostLib&) = delete;

  // Sets currentShellId to `shellId`, loads the module at `path` and obtains its effect, which is
  // registered in the effect table with this wrapper's host context. The plug-in gets the
  // "Vellumar Standalone" callback, or "Vellumar Hoster" with `hoster`. True when an effect was
  // obtained. A module still loaded from before is unloaded first.
  virtual bool load(const std::string& path, audioMasterCallback overrideCallback, void* overrideUser,
                    int32_t shellId, bool hoster);
  // Clears the override, deregisters the effect and frees the module. Does not talk to the
  // plug-in: close it first.
  virtual void unload();
  // Audio thread: one block, in place on `output` (prepared by the engine as the input): every
  // even entry of the channel array is output.left, every odd one output.right, up to numOutputs;
  // the same array serves as inputs, so inputs past numOutputs find null. `input` is not used.
  virtual void process(const ChannelBufferPair& input, const ChannelBufferPair& output,
                       uint32_t frames) noexcept;

  // The open sequence, right after a successful load: effOpen; effEditGetRect into `rect` (all
  // zero when the plug-in has no rectangle); the name from effGetEffectName, else
  // effGetProductString. False without an effect.
  bool openPlugin(ERect& rect, std::string& name);
  // The close sequence: effEditClose, effClose; the pair leaves the effect table and `effect`
  // becomes null. The module stays loaded until unload or destruction.
  void closePlugin();

  bool isSynth() const { return effect && (effect->flags & effFlagsIsSynth) != 0; }

  HostContext hostContext;
  AEffect* effect = nullptr;
  PluginModule module;

 private:
  AEffect* loadModule(const std::string& path, audioMasterCallback overrideCallback, void* overrideUser,
                      bool hoster);
  intptr_t dispatch(int32_t opcode, int32_t index = 0, intptr_t value = 0, void* ptr = nullptr,
                    float opt = 0.0f);
};
