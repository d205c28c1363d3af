#pragma once
// The in-memory backing: the whole hive lives in the object and ends with it. All three roots
// may be seeded (seedValue, seedKey); through the registry operations the read-only roots stay
// read-only, as in the file backing.
#include "platform/registry/HiveRegistry.h"

namespace plat::registry {

class MemoryRegistry : public HiveRegistry {
 public:
  MemoryRegistry() : HiveRegistry(true) {}
};

}  // namespace plat::registry
