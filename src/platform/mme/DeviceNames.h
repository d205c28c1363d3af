#pragma once
// Device names as the settings match them: at most 31 bytes, unique within a direction, and the
// same from one run to the next for the same ports.
#include <string>
#include <vector>

namespace plat::mme {

inline constexpr size_t kMaxDeviceName = 31;

// A name of at most 31 bytes. Longer names keep their first bytes (never cutting a UTF-8
// sequence) and end in "~" and four hex digits of a hash of the whole name, so that two long
// names with the same beginning stay apart and each keeps its shortened form whatever other
// ports exist.
std::string shortDeviceName(const std::string& full);

// Shortens every name and makes each one unique within the list and against `reserved`: the
// second and later holders of a name get " 2", " 3", ... (the name cut to make room). Names are
// handled in list order, so the same ports in the same order get the same names.
void uniqueDeviceNames(std::vector<std::string>& names, const std::vector<std::string>& reserved = {});

}  // namespace plat::mme
