// A host's view of the plug-in: records and tables read and written by byte
// offset, wide texts as 2-byte code units, and the log captured through the
// log library's sink.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <mutex>
#include <string>
#include <vector>

#include <kx_traxel/kx_types.h>

namespace kxtest {

inline uint32_t ReadU32(const void* base, size_t offset) {
  uint32_t value;
  std::memcpy(&value, static_cast<const uint8_t*>(base) + offset, sizeof value);
  return value;
}

inline int32_t ReadI32(const void* base, size_t offset) { return static_cast<int32_t>(ReadU32(base, offset)); }

inline uint64_t ReadU64(const void* base, size_t offset) {
  uint64_t value;
  std::memcpy(&value, static_cast<const uint8_t*>(base) + offset, sizeof value);
  return value;
}

inline const void* ReadPointer(const void* base, size_t offset) {
  const void* value;
  std::memcpy(&value, static_cast<const uint8_t*>(base) + offset, sizeof value);
  return value;
}

inline void WriteU32(void* base, size_t offset, uint32_t value) {
  std::memcpy(static_cast<uint8_t*>(base) + offset, &value, sizeof value);
}

inline void WriteU64(void* base, size_t offset, uint64_t value) {
  std::memcpy(static_cast<uint8_t*>(base) + offset, &value, sizeof value);
}

inline void WritePointer(void* base, size_t offset, const void* value) {
  std::memcpy(static_cast<uint8_t*>(base) + offset, &value, sizeof value);
}

inline void WriteDouble(void* base, size_t offset, double value) {
  std::memcpy(static_cast<uint8_t*>(base) + offset, &value, sizeof value);
}

// A wide text as plain ASCII (anything else becomes '?'), for comparisons
// that read well in a failure message.
inline std::string Ascii(const kx_wchar* text, size_t maxUnits = SIZE_MAX) {
  std::string out;
  for (size_t i = 0; i < maxUnits && text[i] != 0; ++i) {
    const auto unit = static_cast<uint16_t>(text[i]);
    out += unit < 0x80 ? static_cast<char>(unit) : '?';
  }
  return out;
}

// The NUL-terminated text of a fixed wide field of `units` code units.
// `tailZero` reports whether every unit after the terminator is zero (and a
// terminator exists inside the field).
inline std::string WideField(const void* base, size_t offset, size_t units, bool* tailZero = nullptr) {
  std::vector<uint16_t> field(units);
  std::memcpy(field.data(), static_cast<const uint8_t*>(base) + offset, units * 2);
  std::string text;
  size_t i = 0;
  for (; i < units && field[i] != 0; ++i) text += field[i] < 0x80 ? static_cast<char>(field[i]) : '?';
  if (tailZero != nullptr) {
    bool zero = i < units;
    for (; i < units; ++i) zero = zero && field[i] == 0;
    *tailZero = zero;
  }
  return text;
}

inline bool BytesAreZero(const void* base, size_t offset, size_t count) {
  const auto* bytes = static_cast<const uint8_t*>(base) + offset;
  for (size_t i = 0; i < count; ++i) {
    if (bytes[i] != 0) return false;
  }
  return true;
}

inline uint32_t FourCC(const char* text) {
  return static_cast<uint32_t>(static_cast<uint8_t>(text[0])) |
         static_cast<uint32_t>(static_cast<uint8_t>(text[1])) << 8 |
         static_cast<uint32_t>(static_cast<uint8_t>(text[2])) << 16 |
         static_cast<uint32_t>(static_cast<uint8_t>(text[3])) << 24;
}

inline std::string FourCCText(uint32_t fourcc) {
  std::string text;
  for (int i = 0; i < 4; ++i) text += static_cast<char>((fourcc >> (8 * i)) & 0xFF);
  return text;
}

// Widens an ASCII literal to the host's UTF-16 text.
inline std::basic_string<kx_wchar> Wide(const std::string& ascii) {
  return std::basic_string<kx_wchar>(ascii.begin(), ascii.end());
}

// Collects every log record (as ASCII) while it lives; the default log
// destination comes back when it goes. Records may arrive from any thread.
class LogCapture {
 public:
  LogCapture();
  ~LogCapture();
  LogCapture(const LogCapture&) = delete;
  LogCapture& operator=(const LogCapture&) = delete;

  bool active() const { return active_; }
  std::vector<std::string> Records() const;
  void Clear();

 private:
  static void Receive(void* context, const kx_wchar* text);

  mutable std::mutex mutex_;
  std::vector<std::string> records_;
  bool active_ = false;
};

}  // namespace kxtest
