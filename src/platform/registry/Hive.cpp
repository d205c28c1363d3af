#include "platform/registry/Hive.h"

namespace plat::registry {

namespace {
char lowerAscii(char c) {
  return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
}

bool keysEqual(const HiveKey& a, const HiveKey& b) {
  if (a.name != b.name || a.values.size() != b.values.size() || a.children.size() != b.children.size())
    return false;
  for (size_t i = 0; i < a.values.size(); ++i) {
    const HiveValue& x = a.values[i];
    const HiveValue& y = b.values[i];
    if (x.name != y.name || x.type != y.type || x.bytes != y.bytes) return false;
  }
  for (size_t i = 0; i < a.children.size(); ++i) {
    if (!keysEqual(*a.children[i], *b.children[i])) return false;
  }
  return true;
}
}  // namespace

bool namesEqual(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    if (lowerAscii(a[i]) != lowerAscii(b[i])) return false;
  }
  return true;
}

const char* hiveRootName(HiveRoot r) {
  switch (r) {
    case HiveRoot::ClassesRoot:
      return "HKEY_CLASSES_ROOT";
    case HiveRoot::CurrentUser:
      return "HKEY_CURRENT_USER";
    case HiveRoot::LocalMachine:
      return "HKEY_LOCAL_MACHINE";
  }
  return "";
}

HiveKey* HiveKey::child(std::string_view childName) const {
  for (const auto& c : children) {
    if (namesEqual(c->name, childName)) return c.get();
  }
  return nullptr;
}

HiveKey* HiveKey::childOrAdd(std::string_view childName) {
  if (HiveKey* c = child(childName)) return c;
  children.push_back(std::make_unique<HiveKey>());
  children.back()->name = std::string(childName);
  return children.back().get();
}

HiveValue* HiveKey::value(std::string_view valueName) {
  for (auto& v : values) {
    if (namesEqual(v.name, valueName)) return &v;
  }
  return nullptr;
}

const HiveValue* HiveKey::value(std::string_view valueName) const {
  return const_cast<HiveKey*>(this)->value(valueName);
}

void HiveKey::setValue(std::string_view valueName, uint32_t type, std::string bytes) {
  if (HiveValue* v = value(valueName)) {
    v->type = type;
    v->bytes = std::move(bytes);
    return;
  }
  values.push_back(HiveValue{std::string(valueName), type, std::move(bytes)});
}

bool HiveKey::removeValue(std::string_view valueName) {
  for (auto it = values.begin(); it != values.end(); ++it) {
    if (namesEqual(it->name, valueName)) {
      values.erase(it);
      return true;
    }
  }
  return false;
}

Hive::Hive() {
  for (int i = 0; i < kHiveRootCount; ++i) {
    roots_[i] = std::make_unique<HiveKey>();
    roots_[i]->name = hiveRootName(static_cast<HiveRoot>(i));
  }
}

HiveKey* Hive::find(HiveRoot r, const std::vector<std::string>& path) {
  HiveKey* k = &root(r);
  for (const auto& part : path) {
    k = k->child(part);
    if (!k) return nullptr;
  }
  return k;
}

HiveKey* Hive::findOrCreate(HiveRoot r, const std::vector<std::string>& path, bool* created) {
  HiveKey* k = &root(r);
  bool any = false;
  for (const auto& part : path) {
    HiveKey* c = k->child(part);
    if (!c) {
      c = k->childOrAdd(part);
      any = true;
    }
    k = c;
  }
  if (created) *created = any;
  return k;
}

void Hive::clear(HiveRoot r) {
  HiveKey& k = root(r);
  k.children.clear();
  k.values.clear();
}

bool Hive::equals(const Hive& other) const {
  for (int i = 0; i < kHiveRootCount; ++i) {
    if (!keysEqual(*roots_[i], *other.roots_[i])) return false;
  }
  return true;
}

}  // namespace plat::registry
