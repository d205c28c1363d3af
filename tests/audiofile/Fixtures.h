#pragma once
// Byte images of sound files built by the tests, and a temporary folder for files on disk.
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <initializer_list>
#include <string>
#include <vector>

namespace fixtures {

struct Bytes {
  std::vector<uint8_t> v;

  Bytes& str(const char* s) {
    v.insert(v.end(), s, s + std::strlen(s));
    return *this;
  }
  Bytes& u8(uint32_t x) {
    v.push_back(static_cast<uint8_t>(x));
    return *this;
  }
  Bytes& le16(uint32_t x) { return u8(x).u8(x >> 8); }
  Bytes& le32(uint32_t x) { return le16(x).le16(x >> 16); }
  Bytes& be16(uint32_t x) { return u8(x >> 8).u8(x); }
  Bytes& be32(uint32_t x) { return be16(x >> 16).be16(x); }
  Bytes& raw(std::initializer_list<uint8_t> b) {
    v.insert(v.end(), b);
    return *this;
  }
  Bytes& append(const Bytes& b) {
    v.insert(v.end(), b.v.begin(), b.v.end());
    return *this;
  }
  Bytes& fill(size_t n, uint8_t x) {
    v.insert(v.end(), n, x);
    return *this;
  }
  // n bytes counting up from `start`, so every sample of a fixture differs from its neighbours.
  Bytes& ramp(size_t n, uint8_t start = 0) {
    for (size_t i = 0; i < n; ++i) v.push_back(static_cast<uint8_t>(start + i));
    return *this;
  }
  size_t size() const { return v.size(); }
  const uint8_t* data() const { return v.data(); }
};

// "fmt " chunk: tag, channels, rate, byte rate, block alignment, bits.
inline Bytes wavFmt(uint16_t tag, uint16_t channels, uint32_t rate, uint16_t align, uint16_t bits) {
  Bytes b;
  b.str("fmt ").le32(16);
  b.le16(tag).le16(channels).le32(rate).le32(rate * align).le16(align).le16(bits);
  return b;
}

// Any chunk, with its pad byte when the body is odd.
inline Bytes chunk(const char* id, const Bytes& body, bool bigEndian = false) {
  Bytes b;
  b.str(id);
  bigEndian ? b.be32(static_cast<uint32_t>(body.size())) : b.le32(static_cast<uint32_t>(body.size()));
  b.append(body);
  if (body.size() % 2 != 0) b.u8(0);
  return b;
}

// A RIFF file of the given chunks.
inline Bytes riff(std::initializer_list<Bytes> chunks, const char* prefix = "RIFF") {
  Bytes body;
  for (const Bytes& c : chunks) body.append(c);
  Bytes b;
  b.str(prefix).le32(static_cast<uint32_t>(body.size() + 4)).str("WAVE").append(body);
  return b;
}

// COMM body: channels, frames, bits, 80-bit rate, and a compression type when given.
inline Bytes comm(int16_t channels, uint32_t frames, int16_t bits, std::initializer_list<uint8_t> rate,
                  const char* compression = nullptr) {
  Bytes b;
  b.be16(static_cast<uint16_t>(channels)).be32(frames).be16(static_cast<uint16_t>(bits)).raw(rate);
  if (compression != nullptr) b.str(compression).u8(0).u8(0);  // type and an empty name
  return b;
}

constexpr std::initializer_list<uint8_t> kRate44100 = {0x40, 0x0E, 0xAC, 0x44, 0, 0, 0, 0, 0, 0};

// SSND body: offset, block size 0, `offset` leading bytes, the samples.
inline Bytes ssnd(const Bytes& samples, uint32_t offset = 0) {
  Bytes b;
  b.be32(offset).be32(0).fill(offset, 0xEE).append(samples);
  return b;
}

inline Bytes form(const char* type, std::initializer_list<Bytes> chunks) {
  Bytes body;
  for (const Bytes& c : chunks) body.append(c);
  Bytes b;
  b.str("FORM").be32(static_cast<uint32_t>(body.size() + 4)).str(type).append(body);
  return b;
}

class TempDir {
 public:
  TempDir() {
    std::string pattern = (std::filesystem::temp_directory_path() / "vl-audiofile-XXXXXX").string();
    path_ = mkdtemp(pattern.data()) != nullptr ? pattern : std::string();
  }
  ~TempDir() {
    std::error_code ec;
    if (!path_.empty()) std::filesystem::remove_all(path_, ec);
  }
  std::string file(const std::string& name) const { return path_ + "/" + name; }
  std::string write(const std::string& name, const Bytes& b) const {
    std::ofstream(file(name), std::ios::binary).write(reinterpret_cast<const char*>(b.data()), b.size());
    return file(name);
  }
  static std::vector<uint8_t> read(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::vector<uint8_t>(std::istreambuf_iterator<char>(in), {});
  }

 private:
  std::string path_;
};

}  // namespace fixtures
