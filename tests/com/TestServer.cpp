// A tiny in-process class server, loaded by the tests through CoCreateInstance.
#include <atomic>
#include <new>

#include "com/TestServer.h"

namespace {

std::atomic<int> gLive{0};

class Answer : public plat::com::RefCounted<comtest::IAnswer> {
 public:
  Answer() : RefCounted(comtest::kAnswerClass) { ++gLive; }
  int32_t answer() override { return 42; }

 protected:
  ~Answer() override { --gLive; }
};

}  // namespace

extern "C" __attribute__((visibility("default"))) plat::com::HRESULT VLComCreateInstance(
    const plat::com::GUID* clsid, const plat::com::GUID* iid, void** object) {
  using namespace plat::com;
  if (!clsid || !iid || !object) return E_POINTER;
  *object = nullptr;
  if (*clsid == comtest::kFailingClass) return E_OUTOFMEMORY;
  if (*clsid != comtest::kAnswerClass) return CLASS_E_CLASSNOTAVAILABLE;
  auto* a = new (std::nothrow) Answer();
  if (!a) return E_OUTOFMEMORY;
  HRESULT hr = a->QueryInterface(*iid, object);
  a->Release();  // the query's reference, if any, is the caller's
  return hr;
}

extern "C" __attribute__((visibility("default"))) int VLTestServerLiveObjects() {
  return gLive.load();
}
