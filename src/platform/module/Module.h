#pragma once
// The module layer: the executable's own path and run-time loading of shared libraries (plug-ins,
// ASIO drivers, class servers).
#include <string>

namespace plat::module {

using ModuleHandle = void*;

// The running executable's full path (/proc/self/exe), or an empty text when it cannot be read.
std::string executablePath();

// The plug-in module that belongs to an executable: the first ".exe" (exact, lower case) becomes
// ".dll"; a path without one gets ".so" appended, which is every normal Linux path, so
// /opt/Synth/Synth loads /opt/Synth/Synth.so. A path shorter than 3 characters yields an empty
// text: start-up then ends without a message.
std::string pluginPathFor(const std::string& executable);

// dlopen with immediate binding and local symbols; null on failure.
ModuleHandle loadLibrary(const std::string& path);
// A symbol of a loaded module, or null.
void* findSymbol(ModuleHandle module, const char* name);
// Frees a module; a null handle is ignored.
void freeLibrary(ModuleHandle module);
// The loader's last error text, for tests and diagnostics.
std::string lastError();

}  // namespace plat::module
