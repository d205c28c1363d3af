#include "platform/registry/HiveRegistry.h"

#include <cstring>

namespace plat::registry {

namespace {
bool rootOf(HKEY key, HiveRoot* root) {
  if (key == HKEY_CLASSES_ROOT) {
    *root = HiveRoot::ClassesRoot;
  } else if (key == HKEY_CURRENT_USER) {
    *root = HiveRoot::CurrentUser;
  } else if (key == HKEY_LOCAL_MACHINE) {
    *root = HiveRoot::LocalMachine;
  } else {
    return false;
  }
  return true;
}

std::string_view valueNameOf(const char* name) {
  return name ? std::string_view(name) : std::string_view();
}
}  // namespace

HiveRegistry::~HiveRegistry() {
  for (KeyObject* k : handles_) delete k;
}

std::vector<std::string> HiveRegistry::splitPath(const char* path) {
  std::vector<std::string> parts;
  if (!path) return parts;
  std::string part;
  for (const char* p = path; *p; ++p) {
    if (*p == '\\') {
      if (!part.empty()) parts.push_back(std::move(part));
      part.clear();
    } else {
      part += *p;
    }
  }
  if (!part.empty()) parts.push_back(std::move(part));
  return parts;
}

bool HiveRegistry::resolve(HKEY key, HiveRoot* root, std::vector<std::string>* path) const {
  if (rootOf(key, root)) {
    path->clear();
    return true;
  }
  auto it = handles_.find(key);
  if (it == handles_.end()) return false;
  *root = (*it)->root;
  *path = (*it)->path;
  return true;
}

HKEY HiveRegistry::newHandle(HiveRoot root, std::vector<std::string> path) {
  auto* k = new KeyObject{root, std::move(path)};
  handles_.insert(k);
  return k;
}

void HiveRegistry::readBegin() {
  if (batchDepth_ == 0) refresh();
}

template <class F>
LSTATUS HiveRegistry::write(F&& change) {
  bool own = batchDepth_ == 0;
  if (own) {
    LSTATUS s = beginTransaction();
    if (s != ERROR_SUCCESS) {
      commitTransaction(false);
      return s;
    }
  }
  LSTATUS r = change();
  if (own) {
    LSTATUS c = commitTransaction(changed_);
    changed_ = false;
    if (r == ERROR_SUCCESS) r = c;
  }
  return r;
}

LSTATUS HiveRegistry::createKeyEx(HKEY parent, const char* subKey, DWORD /*access*/, HKEY* result) {
  if (!result) return ERROR_INVALID_PARAMETER;
  *result = nullptr;
  std::lock_guard lock(mutex_);
  HiveRoot root;
  std::vector<std::string> path;
  if (!resolve(parent, &root, &path)) return ERROR_INVALID_HANDLE;
  for (auto& part : splitPath(subKey)) path.push_back(std::move(part));
  if (readOnlyRoot(root)) {
    // Opening an existing machine key for writing is allowed; creating one is not.
    readBegin();
    if (!hive_.find(root, path)) return ERROR_ACCESS_DENIED;
    *result = newHandle(root, std::move(path));
    return ERROR_SUCCESS;
  }
  LSTATUS s = write([&] {
    bool created = false;
    hive_.findOrCreate(root, path, &created);
    changed_ = changed_ || created;
    return ERROR_SUCCESS;
  });
  if (s == ERROR_SUCCESS) *result = newHandle(root, std::move(path));
  return s;
}

LSTATUS HiveRegistry::openKeyEx(HKEY parent, const char* subKey, DWORD /*access*/, HKEY* result) {
  if (!result) return ERROR_INVALID_PARAMETER;
  *result = nullptr;
  std::lock_guard lock(mutex_);
  HiveRoot root;
  std::vector<std::string> path;
  if (!resolve(parent, &root, &path)) return ERROR_INVALID_HANDLE;
  readBegin();
  for (auto& part : splitPath(subKey)) path.push_back(std::move(part));
  HiveKey* k = hive_.find(root, path);
  if (!k) return ERROR_FILE_NOT_FOUND;
  // Take the stored case of each name, so the handle names the key as it was created.
  HiveKey* walk = &hive_.root(root);
  for (auto& part : path) {
    walk = walk->child(part);
    part = walk->name;
  }
  *result = newHandle(root, std::move(path));
  return ERROR_SUCCESS;
}

LSTATUS HiveRegistry::enumKey(HKEY key, DWORD index, char* name, DWORD nameSize) {
  if (!name) return ERROR_INVALID_PARAMETER;
  std::lock_guard lock(mutex_);
  HiveRoot root;
  std::vector<std::string> path;
  if (!resolve(key, &root, &path)) return ERROR_INVALID_HANDLE;
  readBegin();
  HiveKey* k = hive_.find(root, path);
  if (!k || index >= k->children.size()) return ERROR_NO_MORE_ITEMS;
  const std::string& childName = k->children[index]->name;
  if (childName.size() + 1 > nameSize) return ERROR_MORE_DATA;
  std::memcpy(name, childName.data(), childName.size());
  name[childName.size()] = '\0';
  return ERROR_SUCCESS;
}

LSTATUS HiveRegistry::queryValueEx(HKEY key, const char* name, DWORD* type, uint8_t* data, DWORD* size) {
  if (data && !size) return ERROR_INVALID_PARAMETER;
  std::lock_guard lock(mutex_);
  HiveRoot root;
  std::vector<std::string> path;
  if (!resolve(key, &root, &path)) return ERROR_INVALID_HANDLE;
  readBegin();
  HiveKey* k = hive_.find(root, path);
  const HiveValue* v = k ? k->value(valueNameOf(name)) : nullptr;
  if (!v) return ERROR_FILE_NOT_FOUND;
  if (type) *type = v->type;
  DWORD stored = static_cast<DWORD>(v->bytes.size());
  if (!size) return ERROR_SUCCESS;
  if (data) {
    if (*size < stored) {
      *size = stored;
      return ERROR_MORE_DATA;
    }
    if (stored) std::memcpy(data, v->bytes.data(), stored);
  }
  *size = stored;
  return ERROR_SUCCESS;
}

LSTATUS HiveRegistry::setValueEx(HKEY key, const char* name, DWORD type, const uint8_t* data, DWORD size) {
  if (!data && size) return ERROR_INVALID_PARAMETER;
  std::lock_guard lock(mutex_);
  HiveRoot root;
  std::vector<std::string> path;
  if (!resolve(key, &root, &path)) return ERROR_INVALID_HANDLE;
  if (readOnlyRoot(root)) return ERROR_ACCESS_DENIED;
  return write([&] {
    HiveKey* k = hive_.findOrCreate(root, path);
    k->setValue(valueNameOf(name), type, std::string(reinterpret_cast<const char*>(data), size));
    changed_ = true;
    return ERROR_SUCCESS;
  });
}

LSTATUS HiveRegistry::deleteValue(HKEY key, const char* name) {
  std::lock_guard lock(mutex_);
  HiveRoot root;
  std::vector<std::string> path;
  if (!resolve(key, &root, &path)) return ERROR_INVALID_HANDLE;
  if (readOnlyRoot(root)) return ERROR_ACCESS_DENIED;
  return write([&] {
    HiveKey* k = hive_.find(root, path);
    if (!k || !k->removeValue(valueNameOf(name))) return ERROR_FILE_NOT_FOUND;
    changed_ = true;
    return ERROR_SUCCESS;
  });
}

LSTATUS HiveRegistry::closeKey(HKEY key) {
  std::lock_guard lock(mutex_);
  HiveRoot root;
  if (rootOf(key, &root)) return ERROR_SUCCESS;
  auto it = handles_.find(key);
  if (it == handles_.end()) return ERROR_INVALID_HANDLE;
  delete *it;
  handles_.erase(it);
  return ERROR_SUCCESS;
}

void HiveRegistry::beginBatch() {
  mutex_.lock();
  if (batchDepth_++ == 0) {
    batchOwner_.store(std::this_thread::get_id());
    changed_ = false;
    batchStatus_ = beginTransaction();
  }
}

LSTATUS HiveRegistry::endBatch() {
  // Only the thread holding the batch may end it; anyone else would unlock a mutex it lacks.
  if (batchOwner_.load() != std::this_thread::get_id()) return ERROR_INVALID_PARAMETER;
  LSTATUS r = ERROR_SUCCESS;
  if (--batchDepth_ == 0) {
    batchOwner_.store(std::thread::id());
    LSTATUS c = commitTransaction(changed_);
    changed_ = false;
    r = batchStatus_ != ERROR_SUCCESS ? batchStatus_ : c;
  }
  mutex_.unlock();
  return r;
}

bool HiveRegistry::seed(HKEY rootKey, const std::string& keyPath, const std::string* valueName, DWORD type,
                        const std::string& bytes) {
  if (!allowsSeeding_) return false;
  std::lock_guard lock(mutex_);
  HiveRoot root;
  if (!rootOf(rootKey, &root)) return false;
  HiveKey* k = hive_.findOrCreate(root, splitPath(keyPath.c_str()));
  if (valueName) k->setValue(*valueName, type, bytes);
  return true;
}

}  // namespace plat::registry
