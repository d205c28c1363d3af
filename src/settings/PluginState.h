#pragma once
// The plug-in's own state between runs: its bank chunk, byte for byte and without any header, in
// the file "saved.chunk" appended directly to the text of the settings' "contentpath" value (the
// value must end with a path separator; the host never writes it).
//
// Both functions run on the user-interface thread: loading once at start-up, saving at Exit and
// when the main window is destroyed. Neither reports anything to the user; the results are for
// callers and tests.
#include <string>

struct AEffect;
class HostSettings;

// "contentpath" + "saved.chunk"; false when there is no "contentpath" value (or it does not fit
// the 512-byte buffer).
bool pluginStatePath(HostSettings& settings, std::string& path);

// Asks the plug-in for its bank chunk (effGetChunk) and replaces the file with it. The new bytes go
// to a temporary file beside it, reach the disk, and are renamed over the old file, so a process
// that dies while writing leaves the previous chunk whole (its partial temporary is removed by
// the next save). A symbolic link in place of the file stays, and the file it leads to is the one
// replaced. Without settings, "contentpath" or a plug-in, and for a chunk of size 0, nothing is
// written. A size with a null pointer, a negative size or one beyond a signed 32-bit length is
// refused and the file stays as it was. True when the file was replaced.
bool savePluginState(HostSettings* settings, AEffect* effect);

// Reads the whole file and hands it to the plug-in (effSetChunk, value = its length). A missing
// file, anything that is not a regular file, a file beyond a signed 32-bit length or beyond the
// memory available, and a read that fails or comes up short are refused: the plug-in keeps its own
// state. An empty file is handed over as a chunk of size 0. True when the plug-in got the chunk.
bool loadPluginState(HostSettings* settings, AEffect* effect);
