#pragma once
// The hive text format of the settings files (described for users in README.md, "Settings file
// format"). The text is printable ASCII: every other byte of a name or value is escaped, so any
// text of the ANSI code page, and any bytes at all, survive a write and a read unchanged.
#include <string>
#include <string_view>

#include "platform/registry/Hive.h"

namespace plat::registry {

// Roots a file may hold: the user hive holds HKEY_CURRENT_USER only, a machine hive the other two.
inline constexpr unsigned kUserRoots = 1u << static_cast<int>(HiveRoot::CurrentUser);
inline constexpr unsigned kMachineRoots =
    (1u << static_cast<int>(HiveRoot::LocalMachine)) | (1u << static_cast<int>(HiveRoot::ClassesRoot));

inline constexpr std::string_view kHiveHeader = "Vellumar hive 1";
inline constexpr std::string_view kHiveEnd = "END";

// The text of the roots in `roots`.
std::string formatHive(const Hive& hive, unsigned roots);

// Parses `text` into the roots of `out` (merged with what they hold). False, with a short reason
// in `error`, when the text is not a complete hive of those roots; `out` may then hold part of it.
bool parseHive(std::string_view text, unsigned roots, Hive* out, std::string* error = nullptr);

}  // namespace plat::registry
