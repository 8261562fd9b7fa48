#include "plugin.h"

#include <cctype>
#include <cstdio>
#include <cstring>

#include <kx_traxel/zq_log.h>

#include "error.h"
#include "os.h"

#ifndef KX_HOST_RELATIVE_LIBDIR
#define KX_HOST_RELATIVE_LIBDIR "../lib"
#endif

namespace kxhost {

std::string FourCCText(uint32_t fourcc) {
  std::string text;
  for (int i = 0; i < 4; ++i) {
    const char c = static_cast<char>((fourcc >> (8 * i)) & 0xFF);
    text += c >= 0x20 && c < 0x7F ? c : '?';
  }
  return text;
}

bool ParseFourCC(const std::string& text, uint32_t& fourcc) {
  if (text.size() != 4) return false;
  for (char c : text) {
    if (c < 0x21 || c > 0x7E) return false;
  }
  fourcc = KX_FOURCC(text[0], text[1], text[2], text[3]);
  return true;
}

namespace {

void AppendUtf8(std::string& out, uint32_t code) {
  if (code < 0x80) {
    out += static_cast<char>(code);
  } else if (code < 0x800) {
    out += static_cast<char>(0xC0 | (code >> 6));
    out += static_cast<char>(0x80 | (code & 0x3F));
  } else if (code < 0x10000) {
    out += static_cast<char>(0xE0 | (code >> 12));
    out += static_cast<char>(0x80 | ((code >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (code & 0x3F));
  } else {
    out += static_cast<char>(0xF0 | (code >> 18));
    out += static_cast<char>(0x80 | ((code >> 12) & 0x3F));
    out += static_cast<char>(0x80 | ((code >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (code & 0x3F));
  }
}

// UTF-16 up to its NUL or `units`; an unpaired surrogate becomes U+FFFD.
std::string Utf8OfWide(const kx_wchar* text, size_t units) {
  std::string out;
  for (size_t i = 0; i < units && text[i] != 0; ++i) {
    uint32_t code = static_cast<uint16_t>(text[i]);
    if (code >= 0xD800 && code < 0xDC00 && i + 1 < units && static_cast<uint16_t>(text[i + 1]) >= 0xDC00 &&
        static_cast<uint16_t>(text[i + 1]) < 0xE000) {
      code = 0x10000 + ((code - 0xD800) << 10) + (static_cast<uint16_t>(text[++i]) - 0xDC00);
    } else if (code >= 0xD800 && code < 0xE000) {
      code = 0xFFFD;
    }
    AppendUtf8(out, code);
  }
  return out;
}

}  // namespace

std::string TextOf(const kx_wchar* field, size_t units) { return Utf8OfWide(field, units); }

bool WideOf(const std::string& utf8, std::basic_string<kx_wchar>& wide) {
  wide.clear();
  const auto* bytes = reinterpret_cast<const uint8_t*>(utf8.data());
  for (size_t i = 0; i < utf8.size();) {
    const uint8_t lead = bytes[i];
    const size_t length = lead < 0x80 ? 1 : (lead >> 5) == 6 ? 2 : (lead >> 4) == 14 ? 3 : (lead >> 3) == 30 ? 4 : 0;
    if (length == 0 || i + length > utf8.size()) return false;
    uint32_t code = length == 1 ? lead : lead & (0x7F >> length);
    for (size_t k = 1; k < length; ++k) {
      if ((bytes[i + k] & 0xC0) != 0x80) return false;
      code = (code << 6) | (bytes[i + k] & 0x3F);
    }
    static constexpr uint32_t kSmallest[] = {0, 0, 0x80, 0x800, 0x10000};
    if (code < kSmallest[length] || code > 0x10FFFF || (code >= 0xD800 && code < 0xE000) || code == 0) return false;
    if (code >= 0x10000) {
      wide += static_cast<kx_wchar>(0xD800 + ((code - 0x10000) >> 10));
      wide += static_cast<kx_wchar>(0xDC00 + ((code - 0x10000) & 0x3FF));
    } else {
      wide += static_cast<kx_wchar>(code);
    }
    i += length;
  }
  return true;
}

std::vector<uint32_t> CodecsOf(const CodecListEntry* list) {
  std::vector<uint32_t> codecs;
  for (; list != nullptr && list->fourcc != 0; ++list) codecs.push_back(list->fourcc);
  return codecs;
}

LogRecords& LogRecords::Instance() {
  static LogRecords* records = new LogRecords();  // never destroyed: a close thread may still log
  return *records;
}

void LogRecords::Add(const std::string& text) {
  std::lock_guard<std::mutex> lock(mutex_);
  records_.push_back(text);
  if (echo) std::fprintf(stderr, "kx_Traxel: %s\n", text.c_str());
}

size_t LogRecords::Count() {
  std::lock_guard<std::mutex> lock(mutex_);
  return records_.size();
}

namespace {

bool SaysFailure(const std::string& line) {
  for (const char* word : {"failed", "Failed", "refuse", "wrong", "no memory", "out of memory", "not "}) {
    if (line.find(word) != std::string::npos) return true;
  }
  return false;
}

std::string Trimmed(std::string text) {
  while (!text.empty() && (text.back() == '\n' || text.back() == ' ' || text.back() == '\r')) text.pop_back();
  return text;
}

}  // namespace

// A failed call is named with its parentheses ("CreateAudioMediaType()
// failed"); a bare result ("E_FAIL failed") says less and comes second.
std::string LogRecords::ReasonSince(size_t first) {
  std::lock_guard<std::mutex> lock(mutex_);
  for (const bool namesCall : {true, false}) {
    for (size_t i = first; i < records_.size(); ++i) {
      if (SaysFailure(records_[i]) && (!namesCall || records_[i].find(") failed") != std::string::npos)) {
        return Trimmed(records_[i]);
      }
    }
  }
  return first < records_.size() ? Trimmed(records_.back()) : "";
}

bool LogRecords::MentionedSince(size_t first, const char* text) {
  std::lock_guard<std::mutex> lock(mutex_);
  for (size_t i = first; i < records_.size(); ++i) {
    if (records_[i].find(text) != std::string::npos) return true;
  }
  return false;
}

bool LogRecords::FailedSince(size_t first) {
  std::lock_guard<std::mutex> lock(mutex_);
  for (size_t i = first; i < records_.size(); ++i) {
    std::string line = records_[i];
    for (char& c : line) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    if (line.find("failed") != std::string::npos) return true;
  }
  return false;
}

namespace {

void CollectRecord(void*, const kx_wchar* text) {
  LogRecords::Instance().Add(Utf8OfWide(text, SIZE_MAX));
}

// The first candidate that exists.
std::string DefaultPluginPath() {
  const std::string folder = ProgramFolder();
  const std::string candidates[] = {folder + PluginFileName(),
                                    folder + KX_HOST_RELATIVE_LIBDIR + "/" + PluginFileName()};
  for (const std::string& candidate : candidates) {
    if (FileExists(candidate)) return candidate;
  }
  throw HostError(kExitPlugin, std::string("no ") + PluginFileName() + " beside the program or in " + folder +
                                   KX_HOST_RELATIVE_LIBDIR + " (use --plugin PATH)");
}

}  // namespace

Plugin::Plugin(const std::string& path) : path_(path.empty() ? DefaultPluginPath() : path) {
  Library library = LoadLibraryByPath(path_);
  if (library.handle == nullptr) throw HostError(kExitPlugin, "cannot load the plug-in " + path_ + ": " + library.error);
  handle_ = library.handle;
  const auto getEncoders = reinterpret_cast<GetEncodersFn>(LibrarySymbol(handle_, "GetEncoders"));
  const auto getFileFormats = reinterpret_cast<GetFileFormatsFn>(LibrarySymbol(handle_, "GetFileFormats"));
  const auto getMultiStream =
      reinterpret_cast<GetFileMultiStreamFormatsFn>(LibrarySymbol(handle_, "GetFileMultiStreamFormats"));
  if (getEncoders == nullptr || getFileFormats == nullptr || getMultiStream == nullptr) {
    UnloadAndWait();
    throw HostError(kExitPlugin, path_ + " does not export GetEncoders, GetFileFormats and GetFileMultiStreamFormats");
  }
  if (const auto setSink = reinterpret_cast<decltype(&ZqLog_SetSink)>(LogSinkSetterOf(handle_))) {
    setSink(CollectRecord, nullptr);
    logCaptured_ = true;
  } else {
    std::fprintf(stderr, "kx-host: warning: %s's log cannot be read (no ZqLog_SetSink): failures it only logs may go "
                 "unseen\n", path_.c_str());
  }
  encoders_ = getEncoders();
  fileFormats_ = getFileFormats();
  multiStream_ = getMultiStream();
  if (encoders_ == nullptr || fileFormats_ == nullptr || multiStream_ == nullptr) {
    UnloadAndWait();
    throw HostError(kExitPlugin, path_ + " returned a null table");
  }
}

Plugin::~Plugin() { UnloadAndWait(); }

void* Plugin::Symbol(const char* name) const { return handle_ != nullptr ? LibrarySymbol(handle_, name) : nullptr; }

void Plugin::UnloadAndWait() {
  if (handle_ == nullptr) return;
  UnloadPluginAndWait(handle_, path_);
  handle_ = nullptr;
}

}  // namespace kxhost
