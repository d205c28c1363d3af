#include "platform/registry/HiveText.h"

#include <cstdio>
#include <vector>

#include "platform/registry/Registry.h"

namespace plat::registry {

namespace {

const char kHex[] = "0123456789abcdef";

void appendHexByte(std::string& out, uint8_t b) {
  out += kHex[b >> 4];
  out += kHex[b & 15];
}

int hexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// Key names: '%' and every byte outside printable ASCII as %HH. '\' never occurs in a name.
void appendKeyName(std::string& out, std::string_view name) {
  for (char c : name) {
    auto b = static_cast<uint8_t>(c);
    if (b < 0x20 || b >= 0x7f || c == '%') {
      out += '%';
      appendHexByte(out, b);
    } else {
      out += c;
    }
  }
}

// Quoted texts: C-like escapes.
void appendQuoted(std::string& out, std::string_view text) {
  out += '"';
  for (char c : text) {
    auto b = static_cast<uint8_t>(c);
    switch (c) {
      case '"':
        out += "\\\"";
        break;
      case '\\':
        out += "\\\\";
        break;
      case '\n':
        out += "\\n";
        break;
      case '\r':
        out += "\\r";
        break;
      case '\t':
        out += "\\t";
        break;
      default:
        if (b < 0x20 || b >= 0x7f) {
          out += "\\x";
          appendHexByte(out, b);
        } else {
          out += c;
        }
    }
  }
  out += '"';
}

void appendValue(std::string& out, const HiveValue& v) {
  if (v.name.empty()) {
    out += '@';
  } else {
    appendQuoted(out, v.name);
  }
  out += '=';
  const std::string& b = v.bytes;
  if (v.type == REG_SZ && !b.empty() && b.back() == '\0') {
    out += "sz:";
    appendQuoted(out, std::string_view(b).substr(0, b.size() - 1));
  } else if (v.type == REG_DWORD && b.size() == 4) {
    uint32_t x = uint32_t(uint8_t(b[0])) | uint32_t(uint8_t(b[1])) << 8 | uint32_t(uint8_t(b[2])) << 16 |
                 uint32_t(uint8_t(b[3])) << 24;
    char digits[16];
    std::snprintf(digits, sizeof digits, "%08x", x);
    out += "dword:";
    out += digits;
  } else {
    if (v.type == REG_BINARY) {
      out += "hex:";
    } else {
      char prefix[24];
      std::snprintf(prefix, sizeof prefix, "hex(%x):", v.type);
      out += prefix;
    }
    for (size_t i = 0; i < b.size(); ++i) {
      if (i) out += ',';
      appendHexByte(out, static_cast<uint8_t>(b[i]));
    }
  }
  out += '\n';
}

void appendKey(std::string& out, const HiveKey& key, std::string& path, bool isRoot) {
  if (!isRoot || !key.values.empty()) {
    out += '[';
    out += path;
    out += "]\n";
    for (const auto& v : key.values) appendValue(out, v);
  }
  for (const auto& child : key.children) {
    size_t keep = path.size();
    path += '\\';
    appendKeyName(path, child->name);
    appendKey(out, *child, path, false);
    path.resize(keep);
  }
}

// ---- parsing

struct Cursor {
  std::string_view s;
  size_t at = 0;
  bool done() const { return at >= s.size(); }
  bool take(std::string_view prefix) {
    if (s.substr(at, prefix.size()) != prefix) return false;
    at += prefix.size();
    return true;
  }
};

bool parseQuoted(Cursor& c, std::string* out) {
  if (!c.take("\"")) return false;
  out->clear();
  while (!c.done()) {
    char ch = c.s[c.at++];
    if (ch == '"') return true;
    if (ch != '\\') {
      out->push_back(ch);
      continue;
    }
    if (c.done()) return false;
    char e = c.s[c.at++];
    switch (e) {
      case '"':
        out->push_back('"');
        break;
      case '\\':
        out->push_back('\\');
        break;
      case 'n':
        out->push_back('\n');
        break;
      case 'r':
        out->push_back('\r');
        break;
      case 't':
        out->push_back('\t');
        break;
      case 'x': {
        if (c.at + 2 > c.s.size()) return false;
        int hi = hexDigit(c.s[c.at]), lo = hexDigit(c.s[c.at + 1]);
        if (hi < 0 || lo < 0) return false;
        out->push_back(static_cast<char>(hi << 4 | lo));
        c.at += 2;
        break;
      }
      default:
        return false;
    }
  }
  return false;  // no closing quote
}

bool parseHexList(Cursor& c, std::string* out) {
  out->clear();
  if (c.done()) return true;
  for (;;) {
    if (c.at + 2 > c.s.size()) return false;
    int hi = hexDigit(c.s[c.at]), lo = hexDigit(c.s[c.at + 1]);
    if (hi < 0 || lo < 0) return false;
    out->push_back(static_cast<char>(hi << 4 | lo));
    c.at += 2;
    if (c.done()) return true;
    if (!c.take(",")) return false;
  }
}

bool parseHexNumber(std::string_view digits, uint32_t* out) {
  if (digits.empty() || digits.size() > 8) return false;
  uint32_t x = 0;
  for (char ch : digits) {
    int d = hexDigit(ch);
    if (d < 0) return false;
    x = x << 4 | uint32_t(d);
  }
  *out = x;
  return true;
}

bool parseValueLine(std::string_view line, HiveKey* key) {
  Cursor c{line};
  std::string name;
  if (!c.take("@") && !parseQuoted(c, &name)) return false;
  if (!c.take("=")) return false;
  uint32_t type;
  std::string bytes;
  if (c.take("sz:")) {
    type = REG_SZ;
    if (!parseQuoted(c, &bytes) || !c.done()) return false;
    bytes.push_back('\0');
  } else if (c.take("dword:")) {
    type = REG_DWORD;
    std::string_view digits = line.substr(c.at);
    uint32_t x;
    if (digits.size() != 8 || !parseHexNumber(digits, &x)) return false;
    for (int i = 0; i < 4; ++i) bytes.push_back(static_cast<char>(x >> (8 * i)));
  } else if (c.take("hex:")) {
    type = REG_BINARY;
    if (!parseHexList(c, &bytes)) return false;
  } else if (c.take("hex(")) {
    size_t close = line.find(')', c.at);
    if (close == std::string_view::npos || !parseHexNumber(line.substr(c.at, close - c.at), &type))
      return false;
    c.at = close + 1;
    if (!c.take(":") || !parseHexList(c, &bytes)) return false;
  } else {
    return false;
  }
  key->setValue(name, type, std::move(bytes));
  return true;
}

bool parseKeyName(std::string_view text, std::string* out) {
  out->clear();
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] != '%') {
      out->push_back(text[i]);
      continue;
    }
    if (i + 2 >= text.size()) return false;
    int hi = hexDigit(text[i + 1]), lo = hexDigit(text[i + 2]);
    if (hi < 0 || lo < 0) return false;
    // "%5c" would smuggle the key separator into a name that no key path can then reach.
    if ((hi << 4 | lo) == '\\') return false;
    out->push_back(static_cast<char>(hi << 4 | lo));
    i += 2;
  }
  return !out->empty();
}

HiveKey* parseKeyLine(std::string_view line, unsigned roots, Hive* hive) {
  if (line.size() < 2 || line.back() != ']') return nullptr;
  std::string_view path = line.substr(1, line.size() - 2);
  size_t slash = path.find('\\');
  std::string_view rootName = path.substr(0, slash);
  HiveKey* key = nullptr;
  for (int r = 0; r < kHiveRootCount; ++r) {
    if ((roots & (1u << r)) && namesEqual(rootName, hiveRootName(static_cast<HiveRoot>(r)))) {
      key = &hive->root(static_cast<HiveRoot>(r));
    }
  }
  if (!key) return nullptr;
  while (slash != std::string_view::npos) {
    size_t next = path.find('\\', slash + 1);
    std::string_view part = path.substr(slash + 1, next == std::string_view::npos ? next : next - slash - 1);
    std::string name;
    if (!parseKeyName(part, &name)) return nullptr;
    key = key->childOrAdd(name);
    slash = next;
  }
  return key;
}

bool fail(std::string* error, size_t lineNumber, const char* what) {
  if (error) *error = "line " + std::to_string(lineNumber) + ": " + what;
  return false;
}

}  // namespace

std::string formatHive(const Hive& hive, unsigned roots) {
  std::string out(kHiveHeader);
  out += '\n';
  for (int r = 0; r < kHiveRootCount; ++r) {
    if (!(roots & (1u << r))) continue;
    std::string path = hiveRootName(static_cast<HiveRoot>(r));
    appendKey(out, hive.root(static_cast<HiveRoot>(r)), path, true);
  }
  out += kHiveEnd;
  out += '\n';
  return out;
}

bool parseHive(std::string_view text, unsigned roots, Hive* out, std::string* error) {
  size_t lineNumber = 0;
  size_t at = 0;
  bool ended = false;
  HiveKey* key = nullptr;
  while (at < text.size()) {
    size_t nl = text.find('\n', at);
    std::string_view line = text.substr(at, nl == std::string_view::npos ? nl : nl - at);
    at = nl == std::string_view::npos ? text.size() : nl + 1;
    ++lineNumber;
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    if (lineNumber == 1) {
      if (line != kHiveHeader) return fail(error, lineNumber, "not a hive (no header)");
      continue;
    }
    if (line.find_first_not_of(" \t") == std::string_view::npos) continue;
    if (ended) return fail(error, lineNumber, "text after END");
    if (line[0] == ';') continue;
    if (line == kHiveEnd) {
      ended = true;
    } else if (line[0] == '[') {
      key = parseKeyLine(line, roots, out);
      if (!key) return fail(error, lineNumber, "bad key line");
    } else if (line[0] == '@' || line[0] == '"') {
      if (!key) return fail(error, lineNumber, "value outside a key");
      if (!parseValueLine(line, key)) return fail(error, lineNumber, "bad value line");
    } else {
      return fail(error, lineNumber, "unknown line");
    }
  }
  if (lineNumber == 0) return fail(error, 0, "empty file");
  if (!ended) return fail(error, lineNumber, "no END line (truncated)");
  return true;
}

}  // namespace plat::registry
