#pragma once
// The installed ASIO drivers, read once from the machine hive: every subkey of
// HKEY_LOCAL_MACHINE "software\asio" whose "clsid" names a class under HKEY_CLASSES_ROOT "clsid"
// with an existing InprocServer32 file. The list owns the driver objects it opens.
// User-interface thread only.
#include <cstdint>

#include "platform/asio/Asio.h"
#include "platform/com/Com.h"
#include "platform/registry/Registry.h"

// Results of the list operations.
inline constexpr int32_t DRVERR_OK = 0;
inline constexpr int32_t DRVERR_INVALID_PARAM = -5001;
inline constexpr int32_t DRVERR_DEVICE_ALREADY_OPEN = -5002;
inline constexpr int32_t DRVERR_DEVICE_NOT_FOUND = -5003;

struct DriverNode {
  int32_t driverId;                 // position in the list, from 0
  plat::com::CLSID clsid;           // class and interface identifier of the driver object; zero if unparsable
  char driverName[128];             // the entry's "description", else its key name
  plat::asio::IASIO* driverObject;  // while open
  DriverNode* next;
};

class AsioDriverList {
 public:
  AsioDriverList(plat::registry::Registry& registry, plat::com::Com& com);
  // Releases every open driver object and deletes the nodes.
  ~AsioDriverList();
  AsioDriverList(const AsioDriverList&) = delete;
  AsioDriverList& operator=(const AsioDriverList&) = delete;

  // Creates the driver object of `driverId` (CoCreateInstance, in-process, interface = clsid).
  // -5001 null `object`, -5003 unknown id, -5002 already open, else the creation's result.
  int32_t openDriver(int32_t driverId, plat::asio::IASIO** object);
  // Releases the object of `driverId` if it is open. Always 0.
  int32_t closeDriver(int32_t driverId);
  // Copies the name whole when it is shorter than `bufferSize`, else its first bufferSize - 4
  // characters and "...". -5001 for a null buffer or a buffer too small for "..." and its zero,
  // -5003 for an unknown id.
  int32_t getDriverName(int32_t driverId, char* buffer, int32_t bufferSize);

  // The node of `driverId`, or null.
  DriverNode* node(int32_t driverId) const;

  DriverNode* driverList = nullptr;
  int32_t driverCount = 0;

 protected:
  plat::com::Com& com_;

 private:
  void addDriver(plat::registry::HKEY asioKey, const char* keyName);
  bool findServerFile(const char* clsidLower);

  plat::registry::Registry& registry_;
  bool comInitialized_ = false;
};
