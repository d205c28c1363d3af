#pragma once
// The COM layer: class identifiers, per-thread initialisation, a reference-counted object base and
// creation of in-process servers. An in-process server is a shared library named by the default
// value of HKEY_CLASSES_ROOT\clsid\{...}\InprocServer32; it is loaded with the module layer and
// asked for the object through the exported entry `VLComCreateInstance` (see below).
#include <atomic>
#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <string>

#include "platform/registry/Registry.h"

namespace plat::com {

struct GUID {
  uint32_t Data1;
  uint16_t Data2;
  uint16_t Data3;
  uint8_t Data4[8];
  bool operator==(const GUID&) const = default;
  auto operator<=>(const GUID&) const = default;
};
static_assert(sizeof(GUID) == 16);
using CLSID = GUID;
using IID = GUID;
using REFCLSID = const GUID&;
using REFIID = const GUID&;

using HRESULT = int32_t;
inline constexpr HRESULT S_OK = 0;
inline constexpr HRESULT S_FALSE = 1;
inline constexpr HRESULT E_NOINTERFACE = int32_t(0x80004002);
inline constexpr HRESULT E_POINTER = int32_t(0x80004003);
inline constexpr HRESULT E_FAIL = int32_t(0x80004005);
inline constexpr HRESULT E_OUTOFMEMORY = int32_t(0x8007000E);
inline constexpr HRESULT E_INVALIDARG = int32_t(0x80070057);
inline constexpr HRESULT CO_E_CLASSSTRING = int32_t(0x800401F3);           // text is no class identifier
inline constexpr HRESULT REGDB_E_CLASSNOTREG = int32_t(0x80040154);        // class not in the registry
inline constexpr HRESULT CO_E_DLLNOTFOUND = int32_t(0x8004F001);           // server file missing/unloadable
inline constexpr HRESULT CO_E_ERRORINDLL = int32_t(0x800401F9);            // server lacks the entry
inline constexpr HRESULT CLASS_E_CLASSNOTAVAILABLE = int32_t(0x80040111);  // server refused the class
inline constexpr HRESULT CLASS_E_NOAGGREGATION = int32_t(0x80040110);      // an outer object was given
inline constexpr bool SUCCEEDED(HRESULT hr) {
  return hr >= 0;
}
inline constexpr bool FAILED(HRESULT hr) {
  return hr < 0;
}

inline constexpr uint32_t CLSCTX_INPROC_SERVER = 0x1;
inline constexpr uint32_t CLSCTX_ALL = 0x17;  // includes CLSCTX_INPROC_SERVER, the only kind served

inline constexpr IID IID_IUnknown = {0x00000000, 0x0000, 0x0000, {0xC0, 0, 0, 0, 0, 0, 0, 0x46}};

// "{xxxxxxxx-xxxx-xxxx-xxxx-xxxxxxxxxxxx}", hex digits in either case. On failure `out` is left
// alone and CO_E_CLASSSTRING is returned.
HRESULT CLSIDFromString(const char* text, CLSID* out);
// The registry text form, upper-case hex digits, with braces.
std::string StringFromCLSID(const CLSID& id);

// Per-thread initialisation counts. Creation does not require it (the layer has no apartments),
// but the calls are counted so tests can check that they pair up.
HRESULT CoInitialize(void* reserved);
void CoUninitialize();
int coInitializeCount();  // this thread's current count

struct IUnknown {
  virtual HRESULT QueryInterface(REFIID iid, void** object) = 0;
  virtual uint32_t AddRef() = 0;
  virtual uint32_t Release() = 0;

 protected:
  ~IUnknown() = default;
};

// A reference-counted implementation for one interface I (derived from IUnknown) answering
// IID_IUnknown and `iid`. It starts with one reference and deletes itself at zero.
template <class I>
class RefCounted : public I {
 public:
  explicit RefCounted(const IID& iid) : iid_(iid) {}
  HRESULT QueryInterface(REFIID iid, void** object) override {
    if (!object) return E_POINTER;
    if (iid == iid_ || iid == IID_IUnknown) {
      AddRef();
      *object = static_cast<I*>(this);
      return S_OK;
    }
    *object = nullptr;
    return E_NOINTERFACE;
  }
  uint32_t AddRef() override { return ++refs_; }
  uint32_t Release() override {
    uint32_t left = --refs_;
    if (left == 0) delete this;
    return left;
  }

 protected:
  virtual ~RefCounted() = default;

 private:
  IID iid_;
  std::atomic<uint32_t> refs_{1};
};

// The entry every in-process server exports (our own convention, in place of a class factory):
//   extern "C" HRESULT VLComCreateInstance(const GUID* clsid, const GUID* iid, void** object);
// It creates an object of class `clsid`, asks it for `iid` and stores the interface pointer (one
// reference, which the caller owns) in `*object`. An unknown class answers
// CLASS_E_CLASSNOTAVAILABLE; any other failure its own code, with `*object` null.
inline constexpr const char* kCreateInstanceEntry = "VLComCreateInstance";
using CreateInstanceEntry = HRESULT (*)(const GUID* clsid, const GUID* iid, void** object);

// Object creation over a registry (its HKEY_CLASSES_ROOT). In-process registrations made by
// `registerClass` are asked first; they let a test create a simulated driver without a file.
class Com {
 public:
  using Factory = std::function<HRESULT(REFIID iid, void** object)>;

  explicit Com(registry::Registry& registry) : registry_(registry) {}
  ~Com();
  Com(const Com&) = delete;
  Com& operator=(const Com&) = delete;

  // CoCreateInstance. Results: S_OK; REGDB_E_CLASSNOTREG (no such class, no InprocServer32 key
  // or default value, or a context without CLSCTX_INPROC_SERVER); CO_E_DLLNOTFOUND (the path is
  // empty, the file is missing or does not load); CO_E_ERRORINDLL (no entry); the server's or the
  // factory's own failure code otherwise, with `*object` null. E_POINTER for a null `object`,
  // CLASS_E_NOAGGREGATION for a non-null `outer`, E_FAIL when a server claims success but hands
  // back no object. Any thread may call it.
  // Loaded servers stay loaded until this object is destroyed: release every object created
  // through it before that.
  HRESULT CoCreateInstance(REFCLSID clsid, IUnknown* outer, uint32_t context, REFIID iid, void** object);

  void registerClass(const CLSID& clsid, Factory factory);
  void unregisterClass(const CLSID& clsid);

 private:
  registry::Registry& registry_;
  std::mutex mutex_;
  std::map<CLSID, Factory> classes_;
  std::map<std::string, void*> modules_;  // loaded servers, freed at destruction
};

}  // namespace plat::com
